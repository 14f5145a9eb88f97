// The POSIX file-system boundary: a Windows-1251 path with backslashes
// becomes a UTF-8 path, and names that do not exist exactly are matched
// ignoring letter case, against a real tree the target builds once.
#include "fuzz_support.h"

#include "platform/cp1251.h"
#include "platform/platform.h"

#include <filesystem>
#include <fstream>
#include <vector>

#include <sys/stat.h>

namespace {

bool Exists(const std::string &path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Names on the disk (UTF-8, except the last one, which no code page maps).
const char *const kTree[] = {
    "Keys/",           "Keys/Secret.KEY",
    "Keys/ключи/",     "Keys/ключи/Ключ.pub",
    "public/",         "Public/",
    "Public/Bank.pub", "public/bank.PUB",
    "ёлка.txt",        "ЁЛКА.TXT.sig",
    "café.txt",        "Straße",
    "x\xff.bin",       "Keys/ключи/Ключ.pub.tmp",
};

struct TTree {
  cefuzz::TempFolder Folder{"ce-fuzz-paths"};
  TTree() {
    for (const char *name : kTree) {
      const std::filesystem::path path = Folder.Path() + "/" + name;
      if (path.filename().empty())
        std::filesystem::create_directories(path);
      else
        std::ofstream(path) << name;
    }
  }
};

std::vector<std::string> Components(const std::string &path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos)
      end = path.size();
    if (end > start)
      parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string Upper(const std::string &utf8) {
  std::string text = platform::Utf8ToCp1251(utf8);
  for (char &c : text)
    c = platform::Cp1251Upper(c);
  return text;
}

// A name Windows-1251 can hold exactly.
bool Representable(const std::string &utf8) {
  return platform::Cp1251ToUtf8(platform::Utf8ToCp1251(utf8)) == utf8;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const TTree tree;
  const std::string relative = cefuzz::HostText(data, std::min<std::size_t>(size, 512));

  // Every byte of Windows-1251 has a UTF-8 form and comes back from it.
  FUZZ_CHECK(platform::Utf8ToCp1251(platform::Cp1251ToUtf8(relative)) == relative);

  std::string written = platform::Cp1251ToUtf8(relative);
  for (char &c : written)
    if (c == '\\')
      c = '/';
  // Inputs that climb out of the tree would match against the machine's
  // own folders; they are left out.
  int depth = 0;
  for (const std::string &part : Components(written)) {
    depth += part == ".." ? -1 : part == "." ? 0 : 1;
    if (depth < 0)
      return 0;
  }

  const std::string root = tree.Folder.Path();
  const std::string result = platform::NativePath(root + "\\" + relative);
  const std::string exact = root + "/" + written;

  if (Exists(exact))
    FUZZ_CHECK(result == exact); // an existing name is never traded for a case variant
  FUZZ_CHECK(result.compare(0, root.size() + 1, root + "/") == 0);
  FUZZ_CHECK(result.back() == '/' || written.empty() || written.back() != '/');

  // Component by component: the written name, or an existing entry that
  // differs from it only in letter case where the written one is absent.
  const std::vector<std::string> got = Components(result.substr(root.size()));
  const std::vector<std::string> asked = Components(written);
  FUZZ_CHECK(got.size() == asked.size());
  std::string parent = root;
  for (std::size_t i = 0; i < got.size() && i < asked.size(); ++i) {
    if (got[i] != asked[i]) {
      FUZZ_CHECK(Upper(got[i]) == Upper(asked[i]));
      FUZZ_CHECK(Representable(got[i]));
      FUZZ_CHECK(Exists(parent + "/" + got[i]));
      FUZZ_CHECK(!Exists(parent + "/" + asked[i]));
    }
    parent += "/" + got[i];
  }

  // A name of the tree, written in any letter case, is found.
  std::string joined;
  for (const std::string &part : asked)
    joined += (joined.empty() ? "" : "/") + part;
  // (A file written with a separator after it names no file.)
  const bool asDirectory = !written.empty() && written.back() == '/';
  for (const char *name : kTree) {
    std::string entry = name;
    const bool directory = entry.back() == '/';
    if (directory)
      entry.pop_back();
    if (Representable(entry) && Upper(entry) == Upper(joined) && (directory || !asDirectory))
      FUZZ_CHECK(Exists(result));
  }
  return 0;
}
