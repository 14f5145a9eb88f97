#include "host/profile.h"

#include <algorithm>
#include <sstream>

namespace cehost {
namespace {

constexpr std::string_view kBlanks = " \t\r\n\f\v";

std::string_view Trim(std::string_view s) {
  const auto first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos)
    return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

bool AllDigits(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A byte sequence shown in a message: printable ASCII as it is, anything
// else as \xNN, so a message never carries control characters.
std::string Shown(std::string_view s) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b != 0x7F) {
      out += c;
    } else {
      out += "\\x";
      out += digits[b >> 4];
      out += digits[b & 15];
    }
  }
  return out;
}

} // namespace

Profile Profile::Parse(std::string_view text, const std::string &fileName) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF")
    text.remove_prefix(3);
  Profile profile;
  std::map<std::string, int> lineOf;
  int number = 0;
  while (!text.empty() || number == 0) {
    ++number;
    const auto end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const std::string where = fileName + ":" + std::to_string(number) + ": ";
    if (line.find('\0') != std::string_view::npos)
      throw Failure(kExitUsage, where + "a NUL byte (is this a text file?)");
    if (line.empty() || line[0] == '#')
      continue;
    const auto eq = line.find('=');
    if (eq == std::string_view::npos)
      throw Failure(kExitUsage, where + "expected \"name = value\"");
    const std::string name(Trim(line.substr(0, eq)));
    const std::string value(Trim(line.substr(eq + 1)));
    if (name.empty())
      throw Failure(kExitUsage, where + "no parameter name before '='");
    if (const auto [it, added] = lineOf.emplace(name, number); !added)
      throw Failure(kExitUsage, where + "\"" + Shown(name) + "\" is given twice (also line " +
                                    std::to_string(it->second) + ")");
    if (name == "Root path")
      profile.rootPath = value;
    else
      profile.values[name] = value;
  }
  return profile;
}

std::string Profile::Text() const {
  std::ostringstream out;
  out << "# cehost profile: one user's parameters by name\n";
  if (!rootPath.empty())
    out << "Root path = " << rootPath << "\n";
  for (const auto &[name, value] : values)
    out << name << " = " << value << "\n";
  return out.str();
}

std::vector<std::string> ParseRecipients(std::string_view text, const std::string &where) {
  std::vector<std::string> items;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto end = std::min(text.find_first_of(";, \t\r\n", pos), text.size());
    const std::string_view item = text.substr(pos, end - pos);
    pos = end + 1;
    if (item.empty())
      continue;
    if (!AllDigits(item) || (item.size() != 4 && item.size() != 10 && item.size() != 12))
      throw Failure(kExitUsage, where + ": \"" + Shown(item) +
                                    "\" is not a recipient: give four-digit key numbers (such as "
                                    "0002) or full 10- or 12-digit key identifiers, separated by "
                                    "';', ',' or blanks");
    // The module ends its list at key number 0: no key has it.
    if (item.substr(0, 4) == "0000")
      throw Failure(kExitUsage, where + ": \"" + Shown(item) +
                                    "\" names key number 0000, which no key has: give the "
                                    "recipient's key number (such as 0002)");
    items.emplace_back(item);
  }
  if (items.empty())
    throw Failure(kExitUsage, where + " names no recipient: give key numbers such as 0002;0017");
  return items;
}

std::string JoinRecipients(const std::vector<std::string> &items) {
  std::string joined;
  for (const std::string &item : items)
    joined += (joined.empty() ? "" : ";") + item;
  return joined;
}

} // namespace cehost
