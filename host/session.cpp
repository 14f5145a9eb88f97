#include "host/session.h"

#include "host/files.h"
#include "platform/cp1251.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace cehost {
namespace {

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

constexpr const char *kRecipientsParameter = "Encrypt for key number";
constexpr std::uintmax_t kMaxProfileSize = 64 * 1024;

} // namespace

Profile LoadProfile(const std::string &fileName) {
  switch (KindOf(fileName)) {
  case PathKind::Missing:
    throw Failure(kExitUsage, "the profile " + fileName +
                                  " does not exist: give the file that holds your parameters "
                                  "(--profile FILE or CEHOST_PROFILE)");
  case PathKind::Directory:
    throw Failure(kExitUsage, "the profile " + fileName +
                                  " is a directory: give the profile file itself (--profile FILE "
                                  "or CEHOST_PROFILE)");
  case PathKind::Other:
    throw Failure(kExitUsage, "the profile " + fileName +
                                  " is not a regular file (a pipe or a device): give the profile "
                                  "file itself (--profile FILE or CEHOST_PROFILE)");
  default:
    break;
  }
  FileContent content;
  try {
    std::error_code error;
    if (const auto size = std::filesystem::file_size(fileName, error);
        !error && size > kMaxProfileSize)
      throw Failure(kExitUsage,
                    "the profile " + fileName + " is larger than 64 KiB: is it a profile?");
    content = ReadFile(fileName);
  } catch (const Failure &f) {
    throw Failure(kExitUsage, std::string(f.what()) + " (the profile)");
  }
  return Profile::Parse(
      std::string_view(reinterpret_cast<const char *>(content.bytes.data()), content.bytes.size()),
      fileName);
}

void SetKeyDevicePrompt(const std::string &deviceName) { g_deviceName = deviceName; }

Session::Session(ModuleApi &api, const Profile &profile) : api_(api) {
  engine_ = api_.GetCryptObj(0);
  if (engine_ == nullptr)
    throw Failure(kExitFailed, "the module could not create an engine");
  try {
    Configure(profile);
  } catch (...) {
    // No destructor runs for a constructor that throws: the engine goes here.
    api_.DoneEngine(engine_);
    throw;
  }
}

void Session::Configure(const Profile &profile) {
  if (!profile.rootPath.empty())
    api_.SetRootPath(engine_, ModuleText(profile.rootPath, "the profile's \"Root path\"").c_str());
  for (const auto &[name, value] : profile.values) {
    // The module reads only the first four characters of each entry of a
    // recipient list, so "0002,0003" would mean 0002 alone: the profile's
    // list is read like --to and handed over with ';' between the items.
    if (name == kRecipientsParameter && !value.empty())
      SetParam(name, JoinRecipients(ParseRecipients(value, std::string("the profile's \"") +
                                                               kRecipientsParameter + "\"")));
    else
      SetParam(name, value);
  }
  SetKeyDevicePrompt(ParamValue("Key device"));
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

std::string Session::Advice(int32_t code) const {
  // Built by appending: "\"" + value + "\"" sets off GCC 12's -Wrestrict at -O3.
  const auto quoted = [this](const char *name) {
    std::string text = "\"";
    text += ParamValue(name);
    text += '"';
    return text;
  };
  switch (code) {
  case -9:
  case 122:
    return "The public key directory " + quoted("Path to public") +
           " does not exist: create it, or correct \"Path to public\" in the profile.";
  case 128:
    return "The key device " + quoted("Key device") + " knows a public key directory in " +
           quoted("Path to public") +
           " whose file is missing: put it back from a backup, or give it up with "
           "kestrel-keys retire-directory --device " +
           quoted("Key device") + " --directory " + quoted("Path to public") +
           " and include the keys again.";
  case 132:
    return "The public key directory " + quoted("Path to public") +
           " is older than one the key device " + quoted("Key device") +
           " has seen (a copy put back?): use the newest copy.";
  case 134:
    return "Another program holds the public key directory " + quoted("Path to public") +
           " locked: try again when it has finished.";
  case 117:
    return "The key is not in the public key directory " + quoted("Path to public") +
           ": include the correspondent's key first (cehost include-encode-key FILE for "
           "encryption, cehost include-key FILE for signatures).";
  case CE_PUBLIC_KEY_NOT_FOUND:
    return "The signer's key is not in the public key directory " + quoted("Path to public") +
           ": include it first with cehost include-key FILE.";
  case 36:
    return "The key device " + quoted("Key device") +
           " was not found: insert it, or correct \"Key device\" in the profile.";
  case 6:
    return "No usable key " + quoted("Encode UID") + "/" + quoted("Sign UID") +
           " on the key device " + quoted("Key device") +
           ": check \"Key device\", \"Encode UID\" and \"Sign UID\" in the profile "
           "(kestrel-keys new prints the identifiers).";
  case 101:
  case 129:
    return "Wrong key: the block is not for " + quoted("Encode UID") + " on " +
           quoted("Key device") +
           " (it was encrypted for other recipients, or the profile names another user's key).";
  case 131:
    return "The public key directory " + quoted("Path to public") +
           " belongs to another user's key: use your own directory in \"Path to public\".";
  case -10:
    return "\"Encode UID\" must be a 10-digit and \"Sign UID\" a 12-digit key identifier "
           "(now " +
           quoted("Encode UID") + " and " + quoted("Sign UID") + "): correct the profile.";
  case CE_ERR_ENCODE_UID_SETTINGS:
    return "\"Encode UID\" (" + quoted("Encode UID") +
           ") does not begin with a four-digit key number: correct the profile.";
  case 4:
    return "The encrypted file was changed or damaged on its way: ask the sender for a new copy.";
  case CE_SIGNATURE_WRONG:
    return "The signature does not match the file: the file was changed after signing, or the "
           "signature belongs to another file.";
  default:
    return {};
  }
}

void Session::Check(int32_t code, const std::string &what, const std::string &advice) const {
  if (code == 0)
    return;
  const int exit =
      (code == CE_ERR_LOAD_LIBRARY || code == CE_ERR_ENTRY_POINTS) ? kExitNoModule : kExitFailed;
  std::string message = what + ": " + ErrorText(code) + " (code " + std::to_string(code) + ")";
  if (const std::string line = advice.empty() ? Advice(code) : advice; !line.empty())
    message += "\n  " + line;
  throw Failure(exit, message);
}

int32_t Session::ParamIndex(const std::string &utf8Name) const {
  const std::string wanted = platform::Utf8ToCp1251(utf8Name);
  const int32_t count = api_.GetCryptoParamNumber(engine_);
  std::vector<char> name(
      ReportedSize(api_.GetMaxCryptoParamNameLength(engine_), "GetMaxCryptoParamNameLength") + 1);
  for (int32_t i = 1; i <= count; ++i) {
    std::fill(name.begin(), name.end(), '\0');
    api_.GetCryptoParamName(engine_, i, name.data());
    if (wanted == name.data())
      return i;
  }
  return 0;
}

std::string Session::ParamValue(int32_t index) const {
  std::vector<char> value(
      ReportedSize(api_.GetMaxCryptoParamValueLength(engine_), "GetMaxCryptoParamValueLength") + 1,
      '\0');
  api_.GetCryptoParamValue(engine_, index, value.data());
  return platform::Cp1251ToUtf8(value.data());
}

std::string Session::ParamValue(const std::string &utf8Name) const {
  const int32_t index = ParamIndex(utf8Name);
  return index == 0 ? std::string() : ParamValue(index);
}

void Session::SetParam(const std::string &utf8Name, const std::string &utf8Value) {
  const int32_t index = ParamIndex(utf8Name);
  if (index == 0)
    throw Failure(kExitUsage,
                  "the module has no parameter \"" + utf8Name + "\" (cehost params lists them)");
  Check(api_.SetCryptoParamValue(
            engine_, index, ModuleText(utf8Value, "the profile's \"" + utf8Name + "\"").c_str()),
        "setting \"" + utf8Name + "\"");
}

std::size_t ReportedSize(int32_t size, const char *query) {
  if (size < 0)
    throw Failure(kExitFailed, std::string("the module could not answer ") + query);
  return static_cast<std::size_t>(size);
}

} // namespace cehost
