#include "host/session.h"

#include "platform/cp1251.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#if defined(_WIN32)
#include <io.h>
#define CEHOST_ISATTY _isatty
#define CEHOST_FILENO _fileno
#else
#include <unistd.h>
#define CEHOST_ISATTY isatty
#define CEHOST_FILENO fileno
#endif

namespace cehost {
namespace {

std::string Trim(const std::string &s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos)
    return {};
  const auto last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

std::string g_deviceName;
bool g_prompting = false;

void CE_STDCALL KeyDeviceRequest(int32_t state) {
  const bool terminal = StderrIsTerminal();
  if (state == 0) {
    std::fprintf(stderr, "Insert the key device %s ...%s", g_deviceName.c_str(),
                 terminal ? "" : "\n");
    g_prompting = true;
  } else if (g_prompting) {
    // Withdraw the prompt: erase it on a terminal, say so elsewhere.
    if (terminal)
      std::fprintf(stderr, "\r\033[K");
    else
      std::fprintf(stderr, "Key device wait ended.\n");
    g_prompting = false;
  }
  std::fflush(stderr);
}

} // namespace

bool StderrIsTerminal() { return CEHOST_ISATTY(CEHOST_FILENO(stderr)) != 0; }

Profile Profile::Load(const std::string &fileName) {
  std::ifstream in(platform::NativePath(fileName));
  if (!in)
    throw Failure(kExitUsage, "cannot read the profile " + fileName);
  Profile profile;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string text = Trim(line);
    if (text.empty() || text[0] == '#')
      continue;
    const auto eq = text.find('=');
    if (eq == std::string::npos)
      throw Failure(kExitUsage,
                    fileName + ":" + std::to_string(number) + ": expected \"name = value\"");
    const std::string name = Trim(text.substr(0, eq));
    const std::string value = Trim(text.substr(eq + 1));
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

void SetKeyDevicePrompt(const std::string &deviceName) { g_deviceName = deviceName; }

Session::Session(ModuleApi &api, const Profile &profile) : api_(api) {
  engine_ = api_.GetCryptObj(0);
  if (engine_ == nullptr)
    throw Failure(kExitFailed, "the module could not create an engine");
  if (!profile.rootPath.empty())
    api_.SetRootPath(engine_, platform::Utf8ToCp1251(profile.rootPath).c_str());
  for (const auto &[name, value] : profile.values)
    SetParam(name, value);
  SetKeyDevicePrompt(ParamValue(ParamIndex("Key device")));
  api_.SetTMRequestFunc(engine_, &KeyDeviceRequest);
}

Session::~Session() {
  if (engine_ != nullptr)
    api_.DoneEngine(engine_);
}

std::string Session::ErrorText(int32_t code) const {
  std::vector<char> buffer(
      ReportedSize(api_.GetMaxErrorStringLength(engine_), "GetMaxErrorStringLength") + 1, '\0');
  api_.GetCryptoErrorString(engine_, code, buffer.data());
  return platform::Cp1251ToUtf8(buffer.data());
}

void Session::Check(int32_t code, const std::string &what) const {
  if (code == 0)
    return;
  const int exit =
      (code == CE_ERR_LOAD_LIBRARY || code == CE_ERR_ENTRY_POINTS) ? kExitNoModule : kExitFailed;
  throw Failure(exit, what + ": " + ErrorText(code) + " (code " + std::to_string(code) + ")");
}

int32_t Session::ParamIndex(const std::string &utf8Name) const {
  const std::string wanted = platform::Utf8ToCp1251(utf8Name);
  const int32_t count = api_.GetCryptoParamNumber(engine_);
  for (int32_t i = 1; i <= count; ++i) {
    char name[256] = {};
    api_.GetCryptoParamName(engine_, i, name);
    if (wanted == name)
      return i;
  }
  return 0;
}

std::string Session::ParamValue(int32_t index) const {
  char value[256] = {};
  api_.GetCryptoParamValue(engine_, index, value);
  return platform::Cp1251ToUtf8(value);
}

void Session::SetParam(const std::string &utf8Name, const std::string &utf8Value) {
  const int32_t index = ParamIndex(utf8Name);
  if (index == 0)
    throw Failure(kExitUsage, "the module has no parameter \"" + utf8Name + "\"");
  Check(api_.SetCryptoParamValue(engine_, index, platform::Utf8ToCp1251(utf8Value).c_str()),
        "setting \"" + utf8Name + "\"");
}

std::size_t ReportedSize(int32_t size, const char *query) {
  if (size < 0)
    throw Failure(kExitFailed, std::string("the module could not answer ") + query);
  return static_cast<std::size_t>(size);
}

std::vector<unsigned char> ReadFile(const std::string &fileName) {
  std::ifstream in(platform::NativePath(fileName), std::ios::binary);
  if (!in)
    throw Failure(kExitFileError, "cannot read " + fileName);
  std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  if (in.bad())
    throw Failure(kExitFileError, "cannot read " + fileName);
  return data;
}

void WriteFile(const std::string &fileName, const std::vector<unsigned char> &data) {
  if (!platform::WriteFileAtomically(fileName, data.data(), data.size()))
    throw Failure(kExitFileError, "cannot write " + fileName + " (nothing was changed)");
}

} // namespace cehost
