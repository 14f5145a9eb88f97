// cehost's readers of what its user types: the profile ("name = value"
// lines) and the recipient list of --to and "Encrypt for key number".
#include "fuzz_support.h"

#include "host/profile.h"

#include <algorithm>

namespace {

using cehost::Failure;

bool Trimmed(const std::string &s) {
  const auto blank = [](char c) {
    return std::string_view(" \t\r\n\f\v").find(c) != std::string_view::npos;
  };
  return s.empty() || (!blank(s.front()) && !blank(s.back()));
}

// A message shows the bad bytes escaped: it never carries a control
// character other than none at all.
bool Printable(const char *message) {
  return std::none_of(message, message + std::char_traits<char>::length(message),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);

  try {
    const cehost::Profile profile = cehost::Profile::Parse(text, "fuzz");
    FUZZ_CHECK(Trimmed(profile.rootPath));
    for (const auto &[name, value] : profile.values) {
      FUZZ_CHECK(!name.empty() && name != "Root path" && name[0] != '#');
      FUZZ_CHECK(name.find('=') == std::string::npos);
      FUZZ_CHECK(Trimmed(name) && Trimmed(value));
      for (const std::string *s : {&name, &value})
        FUZZ_CHECK(s->find('\n') == std::string::npos && s->find('\0') == std::string::npos);
    }
    // What the profile writes, it reads back to the same profile.
    const cehost::Profile again = cehost::Profile::Parse(profile.Text(), "again");
    FUZZ_CHECK(again.rootPath == profile.rootPath && again.values == profile.values);
  } catch (const Failure &f) {
    FUZZ_CHECK(f.exitCode == cehost::kExitUsage);
    FUZZ_CHECK(std::string_view(f.what()).substr(0, 5) == "fuzz:");
  }

  try {
    const std::vector<std::string> items = cehost::ParseRecipients(text, "--to");
    FUZZ_CHECK(!items.empty());
    for (const std::string &item : items) {
      FUZZ_CHECK(item.size() == 4 || item.size() == 10 || item.size() == 12);
      FUZZ_CHECK(
          std::all_of(item.begin(), item.end(), [](char c) { return c >= '0' && c <= '9'; }));
      FUZZ_CHECK(item.compare(0, 4, "0000") != 0);
    }
    // Joined for the module, the list reads back item for item.
    const std::string joined = cehost::JoinRecipients(items);
    FUZZ_CHECK(static_cast<std::size_t>(std::count(joined.begin(), joined.end(), ';')) ==
               items.size() - 1);
    FUZZ_CHECK(cehost::ParseRecipients(joined, "joined") == items);
  } catch (const Failure &f) {
    FUZZ_CHECK(f.exitCode == cehost::kExitUsage);
    FUZZ_CHECK(Printable(f.what()));
  }
  return 0;
}
