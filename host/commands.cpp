#include "host/commands.h"

#include "host/batch.h"
#include "host/files.h"
#include "host/fingerprint.h"
#include "platform/cp1251.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <optional>

namespace cehost {
namespace {

// A key identifier from the command line for the module.
std::string ModuleUid(const std::string &uid) { return ModuleText(uid, "the key identifier"); }

// A buffer for an identifier the module writes (sender, signer).
std::vector<char> UidBuffer(Session *s) {
  return std::vector<char>(
      ReportedSize(s->Api().GetMaxUIDLength(s->Handle()), "GetMaxUIDLength") + 1, '\0');
}

// An identifier the module took from a block or signature, for the
// terminal: whatever the sender put there, control characters are shown as
// '?', so they cannot move the cursor or retitle the window.
std::string Shown(const std::vector<char> &uid) {
  std::string text = uid.data();
  for (char &c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F || b == 0x98) // 0x98: the one control of Windows-1251
      c = '?';
  }
  return platform::Cp1251ToUtf8(text);
}

// The module reported more bytes than the buffer its own query sized.
void CheckFits(int32_t length, std::size_t capacity, const char *what) {
  if (length < 0 || static_cast<std::size_t>(length) > capacity)
    throw Failure(kExitFailed, std::string("the module reported ") + std::to_string(length) +
                                   " bytes of " + what + " for a buffer of " +
                                   std::to_string(capacity) + "; nothing was written");
}

bool EndsWith(const std::string &s, const std::string &suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Splits "-o FILE" / "--to LIST" style options from positional arguments.
struct Args {
  std::vector<std::string> positional;
  std::string output;
  std::optional<std::string> recipients;
  std::optional<unsigned> jobs; // --jobs
};

Args Parse(const std::vector<std::string> &args, bool allowOutput, bool allowRecipients,
           bool allowJobs = false) {
  Args parsed;
  bool options = true;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (!options) {
      parsed.positional.push_back(a);
    } else if (a == "--") {
      options = false; // what follows are file names, also those that begin with '-'
    } else if (allowJobs && (a == "--jobs" || a == "-j")) {
      if (++i >= args.size())
        throw Failure(kExitUsage, a + " needs a number of worker processes");
      parsed.jobs = ParseJobs(args[i]);
    } else if (allowOutput && (a == "-o" || a == "--output")) {
      if (++i >= args.size())
        throw Failure(kExitUsage, a + " needs a file name");
      if (!parsed.output.empty())
        throw Failure(kExitUsage, a + " is given twice: give one output");
      parsed.output = args[i];
    } else if (allowRecipients && a == "--to") {
      if (++i >= args.size())
        throw Failure(kExitUsage, "--to needs a recipient list such as 0002;0017");
      if (parsed.recipients)
        throw Failure(kExitUsage, "--to is given twice: give all recipients in one list");
      parsed.recipients = args[i];
    } else if (a.size() > 1 && a[0] == '-' && !std::isdigit(static_cast<unsigned char>(a[1]))) {
      throw Failure(kExitUsage, "unknown option " + a);
    } else {
      parsed.positional.push_back(a);
    }
  }
  return parsed;
}

void Expect(const Args &a, std::size_t low, std::size_t high, const char *what) {
  if (a.positional.size() < low || a.positional.size() > high)
    throw Failure(kExitUsage, std::string("expected ") + what);
}

int Params(Session *s, const std::vector<std::string> &args) {
  Expect(Parse(args, false, false), 0, 0, "no arguments");
  ModuleApi &api = s->Api();
  const int32_t count = api.GetCryptoParamNumber(s->Handle());
  std::vector<char> name(
      ReportedSize(api.GetMaxCryptoParamNameLength(s->Handle()), "GetMaxCryptoParamNameLength") +
      1);
  for (int32_t i = 1; i <= count; ++i) {
    std::fill(name.begin(), name.end(), '\0');
    api.GetCryptoParamName(s->Handle(), i, name.data());
    int32_t kind = 0;
    char info[256] = {};
    int32_t size = sizeof info;
    const int32_t rc = api.GetParamInfo(s->Handle(), i, &kind, info, &size);
    const char *kinds[] = {"", "integer", "text", "yes/no", "recipients"};
    const std::string kindName = kind == 11 ? "path" : (kind >= 1 && kind <= 4 ? kinds[kind] : "?");
    std::string describe = kindName;
    if (rc == 0 && size > 0)
      describe += kind == 1    ? " in " + platform::Cp1251ToUtf8(info)
                  : kind == 11 ? ", files " + platform::Cp1251ToUtf8(info)
                               : ", up to " + platform::Cp1251ToUtf8(info) + " characters";
    std::string quoted(1, '"');
    quoted += s->ParamValue(i);
    quoted += '"';
    std::printf("%2d  %-32s = %-24s (%s)\n", i, platform::Cp1251ToUtf8(name.data()).c_str(),
                quoted.c_str(), describe.c_str());
  }
  return kExitOk;
}

// Keys for comparing paths: two names of one file (./a and a, a link and
// its target) give the same key, also for a file not written yet. A batch
// names thousands of files in a few folders: each folder is resolved once,
// and a name that is itself a symbolic link is resolved whole.
class PathKeys {
public:
  std::string Of(const std::string &name) {
    const std::filesystem::path path(name);
    const std::filesystem::path file = path.filename();
    std::error_code error;
    if (file.empty() || file == "." || file == ".." ||
        std::filesystem::is_symlink(std::filesystem::symlink_status(path, error)))
      return Resolved(name);
    const std::string folder = path.parent_path().string();
    auto [it, added] = folders_.try_emplace(folder);
    if (added)
      it->second = std::filesystem::path(Resolved(folder.empty() ? "." : folder));
    return (it->second / file).string();
  }

private:
  static std::string Resolved(const std::string &name) {
    std::error_code error;
    std::filesystem::path path = std::filesystem::weakly_canonical(name, error);
    if (error)
      path = std::filesystem::absolute(name, error).lexically_normal();
    return path.string();
  }
  std::map<std::string, std::filesystem::path> folders_;
};

// The files of a batch and what each reads and writes; refuses (exit 2) a
// batch that names one file twice, or where one file's output is another
// file's input or output: workers run at the same time, so what such a
// batch left behind would depend on which came first.
void CheckDistinct(const std::vector<std::string> &files,
                   const std::vector<std::vector<std::string>> &reads,
                   const std::vector<std::string> &writes) {
  struct Use {
    std::size_t item;
    bool written;
  };
  PathKeys keys;
  std::map<std::string, Use> uses;
  const auto add = [&](const std::string &key, const std::string &name, std::size_t item,
                       bool written, bool primary) {
    const auto [it, added] = uses.emplace(key, Use{item, written});
    if (added || it->second.item == item) {
      it->second.written = it->second.written || written;
      return;
    }
    const std::string &other = files[it->second.item];
    if (primary && keys.Of(other) == it->first)
      throw Failure(kExitUsage,
                    ShownName(files[item]) +
                        (other == files[item] ? " is" : " and " + ShownName(other) + " are") +
                        " given twice: give each file once");
    if (written || it->second.written)
      throw Failure(kExitUsage, ShownName(name) + " is read or written for both " +
                                    ShownName(other) + " and " + ShownName(files[item]) +
                                    ": do them in separate commands");
  };
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string file = keys.Of(files[i]);
    const std::string write = writes[i].empty() ? std::string() : keys.Of(writes[i]);
    add(file, files[i], i, write == file, true);
    for (const std::string &r : reads[i])
      add(keys.Of(r), r, i, false, false);
    if (!write.empty())
      add(write, writes[i], i, true, false);
  }
}

// The plan of a batch command over a.positional: each file's other inputs
// and its output (empty: none), then the work on one file.
BatchPlan Plan(const Args &a, const std::vector<std::vector<std::string>> &reads,
               const std::vector<std::string> &writes,
               std::function<std::string(Session &, std::size_t)> run) {
  CheckDistinct(a.positional, reads, writes);
  // A worker costs a module and key load of its own (a few milliseconds):
  // unless --jobs says otherwise, each gets at least 16 files.
  const std::size_t files = a.positional.size();
  const unsigned jobs =
      a.jobs ? *a.jobs
             : static_cast<unsigned>(std::min<std::size_t>(DefaultJobs(), (files + 15) / 16));
  return BatchPlan{a.positional, std::max(jobs, 1u), std::move(run)};
}

std::vector<std::string> Outputs(const Args &a,
                                 const std::function<std::string(const std::string &)> &byDefault) {
  if (!a.output.empty() && a.positional.size() != 1)
    throw Failure(kExitUsage, "-o names the output of a single file; with several files each "
                              "output is named after its file");
  std::vector<std::string> outputs;
  for (const std::string &file : a.positional)
    outputs.push_back(a.output.empty() ? byDefault(file) : a.output);
  return outputs;
}

// The public key block the directory holds under uid, read back from the
// module's report on it (its hexadecimal dump); nothing when it holds none
// or the report fails (*result: the module's code).
std::optional<std::vector<unsigned char>> DirectoryKey(Session *s, const std::string &uid,
                                                       int32_t *result = nullptr) {
  std::vector<char> report(
      ReportedSize(s->Api().GetMaxReportSize(s->Handle()), "GetMaxReportSize") + 1, '\0');
  const int32_t rc = s->Api().GetReport(s->Handle(), ModuleUid(uid).c_str(), report.data());
  if (result != nullptr)
    *result = rc;
  if (rc != 0)
    return std::nullopt;
  const char *dump = std::strstr(report.data(), "PKey=");
  if (dump == nullptr)
    return std::nullopt;
  std::vector<unsigned char> block;
  int high = -1;
  for (const char *p = dump + 5; *p != '\0'; ++p) {
    const char c = *p;
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0)
      continue;
    if (high < 0) {
      high = digit;
    } else {
      block.push_back(static_cast<unsigned char>(high * 16 + digit));
      high = -1;
    }
  }
  return block;
}

// The module encrypts for the key number, the first four digits, of each
// item. A full identifier names one key: the directory must hold exactly
// that one, or the file would be encrypted for whatever key it holds under
// the number (after a renewal, another key than named).
void CheckIdentifiers(Session &s, const std::vector<std::string> &items, const std::string &where) {
  constexpr int32_t kNotInDirectory = 117;
  for (const std::string &item : items) {
    if (item.size() != 10 && item.size() != 12)
      continue;
    int32_t rc = 0;
    if (DirectoryKey(&s, item, &rc))
      continue;
    if (rc != kNotInDirectory)
      s.Check(rc, "looking up " + item + " (" + where + ")");
    throw Failure(kExitUsage, where + ": \"" + item + "\": the public key directory \"" +
                                  s.ParamValue("Path to public") +
                                  "\" holds no such key; include it first (cehost " +
                                  (item.size() == 10 ? "include-encode-key" : "include-key") +
                                  " FILE), or check the identifier with its owner");
  }
}

BatchPlan Encrypt(const std::vector<std::string> &args) {
  const Args a = Parse(args, true, true, true);
  if (a.positional.empty())
    throw Failure(kExitUsage, "expected one or more files to encrypt");
  const std::vector<std::string> outputs =
      Outputs(a, [](const std::string &file) { return file + ".enc"; });
  // Without --to the module encrypts for the profile's list, and its size
  // query answers for that list when it is given none.
  const auto items = std::make_shared<std::vector<std::string>>();
  const auto recipients = std::make_shared<std::optional<std::string>>();
  if (a.recipients) {
    *items = ParseRecipients(*a.recipients, "--to");
    *recipients = JoinRecipients(*items);
  }
  const auto addition = std::make_shared<std::optional<int32_t>>();
  // A list refused for the first file is refused for the others at once.
  const auto refused = std::make_shared<std::exception_ptr>();
  return Plan(
      a, std::vector<std::vector<std::string>>(outputs.size()), outputs,
      [a, outputs, items, recipients, addition, refused](Session &s, std::size_t i) {
        const char *list = *recipients ? (*recipients)->c_str() : nullptr;
        const std::string where = *recipients ? "--to" : "the profile's \"Encrypt for key number\"";
        const std::string forWhom =
            *recipients ? **recipients : s.ParamValue("Encrypt for key number");
        if (*refused)
          std::rethrow_exception(*refused);
        if (!*addition) {
          // Once per engine: the profile's list was read when it was set.
          try {
            CheckIdentifiers(
                s, *recipients || forWhom.empty() ? *items : ParseRecipients(forWhom, where),
                where);
          } catch (const Failure &) {
            *refused = std::current_exception();
            throw;
          }
          *addition = static_cast<int32_t>(
              ReportedSize(s.Api().GetMaxAdditionEx(s.Handle(), list), "GetMaxAdditionEx"));
        }
        const std::string &file = a.positional[i];
        std::vector<unsigned char> data = ReadFile(file).bytes;
        int32_t size = CheckedLength(data.size(), file);
        if (size > std::numeric_limits<int32_t>::max() - **addition)
          throw Failure(kExitFileError, file + " is too large to encrypt");
        data.resize(data.size() + static_cast<std::size_t>(**addition));
        const int32_t rc = s.Api().EncodeData(s.Handle(), data.data(), &size, list);
        s.Check(rc, "encrypting " + file + " for " + forWhom,
                rc != CE_ERR_ENCODE_UID_SETTINGS
                    ? std::string()
                    : "The recipients \"" + forWhom + "\" (" + where + ") or \"Encode UID\" (\"" +
                          s.ParamValue("Encode UID") +
                          "\") do not begin with a four-digit key number other than "
                          "0000: correct the list or the profile.");
        CheckFits(size, data.size(), "encrypted data");
        data.resize(static_cast<std::size_t>(size));
        WriteFile(outputs[i], data);
        return "encrypted " + file + " -> " + outputs[i] + " (" + std::to_string(size) + " bytes)";
      });
}

BatchPlan Decrypt(const std::vector<std::string> &args) {
  const Args a = Parse(args, true, false, true);
  Expect(a, 1, SIZE_MAX, "one or more encrypted files");
  const std::vector<std::string> outputs = Outputs(a, [](const std::string &file) {
    return EndsWith(file, ".enc") ? file.substr(0, file.size() - 4) : file + ".dec";
  });
  return Plan(
      a, std::vector<std::vector<std::string>>(outputs.size()), outputs,
      [a, outputs](Session &s, std::size_t i) {
        const std::string &file = a.positional[i];
        FileContent in = ReadFile(file);
        std::vector<unsigned char> &data = in.bytes;
        int32_t size = CheckedLength(data.size(), file);
        std::vector<char> sender = UidBuffer(&s);
        const int32_t rc = s.Api().DecodeData(s.Handle(), data.data(), &size, sender.data());
        s.Check(rc, "decrypting " + file + (sender[0] != '\0' ? " from " + Shown(sender) : ""));
        CheckFits(size, data.size(), "decrypted data");
        data.resize(static_cast<std::size_t>(size));
        // The plaintext is never readable by more people than its
        // encrypted form.
        WriteFile(outputs[i], data, in.permissions);
        return "decrypted " + file + " -> " + outputs[i] + " (" + std::to_string(size) +
               " bytes), sender " + Shown(sender);
      });
}

BatchPlan Sign(const std::vector<std::string> &args) {
  const Args a = Parse(args, true, false, true);
  Expect(a, 1, SIZE_MAX, "one or more files to sign");
  const std::vector<std::string> outputs =
      Outputs(a, [](const std::string &file) { return file + ".sig"; });
  return Plan(a, std::vector<std::vector<std::string>>(outputs.size()), outputs,
              [a, outputs](Session &s, std::size_t i) {
                const std::string &file = a.positional[i];
                const std::vector<unsigned char> data = ReadFile(file).bytes;
                std::vector<unsigned char> signature(ReportedSize(
                    s.Api().GetMaxSignatureLength(s.Handle()), "GetMaxSignatureLength"));
                int32_t length = 0;
                s.Check(s.Api().SignData(s.Handle(), data.data(), CheckedLength(data.size(), file),
                                         signature.data(), &length, nullptr),
                        "signing " + file + " as " + s.ParamValue("Sign UID"));
                CheckFits(length, signature.size(), "signature");
                signature.resize(static_cast<std::size_t>(length));
                WriteFile(outputs[i], signature);
                return "signed " + file + " -> " + outputs[i] + " (" + std::to_string(length) +
                       " bytes)";
              });
}

BatchPlan Verify(const std::vector<std::string> &args) {
  const Args a = Parse(args, false, false, true);
  Expect(a, 1, SIZE_MAX,
         "the signed files (each with FILE.sig beside it), or one file and its "
         "signature file");
  // Two names, the second ending in .sig and the first not: one file and
  // its signature. Otherwise every file is checked with FILE.sig.
  const bool pair = a.positional.size() == 2 && EndsWith(a.positional[1], ".sig") &&
                    !EndsWith(a.positional[0], ".sig");
  Args files = a;
  std::vector<std::vector<std::string>> signatures;
  if (pair) {
    files.positional.pop_back();
    signatures.push_back({a.positional[1]});
  } else {
    for (const std::string &file : a.positional)
      signatures.push_back({file + ".sig"});
  }
  return Plan(files, signatures, std::vector<std::string>(signatures.size()),
              [files, signatures](Session &s, std::size_t i) {
                const std::string &file = files.positional[i];
                const std::string &sigFile = signatures[i][0];
                const std::vector<unsigned char> data = ReadFile(file).bytes;
                const std::vector<unsigned char> signature = ReadFile(sigFile).bytes;
                std::vector<char> signer = UidBuffer(&s);
                const int32_t rc = s.Api().VerifyData(
                    s.Handle(), data.data(), CheckedLength(data.size(), file), signature.data(),
                    CheckedLength(signature.size(), sigFile), signer.data());
                s.Check(rc, "verifying " + file + " with " + sigFile +
                                (signer[0] != '\0' ? ", signer " + Shown(signer) : ""));
                return "signature of " + file + " is valid, signer " + Shown(signer);
              });
}

BatchPlan AddSignCommand(const std::vector<std::string> &args) {
  const Args a = Parse(args, true, false, true);
  Expect(a, 1, SIZE_MAX, "one or more files to sign in place (or one file and -o for another)");
  const std::vector<std::string> outputs = Outputs(a, [](const std::string &file) { return file; });
  return Plan(a, std::vector<std::vector<std::string>>(outputs.size()), outputs,
              [a, outputs](Session &s, std::size_t i) {
                const std::string &file = a.positional[i];
                FileContent in = ReadFile(file);
                std::vector<unsigned char> &data = in.bytes;
                int32_t length = CheckedLength(data.size(), file);
                const int32_t room = static_cast<int32_t>(
                    ReportedSize(s.Api().GetMaxSignAddition(s.Handle()), "GetMaxSignAddition"));
                if (length > std::numeric_limits<int32_t>::max() - room)
                  throw Failure(kExitFileError, file + " is too large to sign");
                data.resize(data.size() + static_cast<std::size_t>(room));
                s.Check(s.Api().AddSign(s.Handle(), data.data(), &length, nullptr),
                        "signing " + file + " as " + s.ParamValue("Sign UID"));
                CheckFits(length, data.size(), "signed data");
                data.resize(static_cast<std::size_t>(length));
                WriteFile(outputs[i], data, in.permissions);
                return "added a signature: " + outputs[i] + " (" + std::to_string(length) +
                       " bytes)";
              });
}

BatchPlan RemoveSignCommand(const std::vector<std::string> &args) {
  const Args a = Parse(args, true, false, true);
  Expect(a, 1, SIZE_MAX,
         "one or more signed files (changed in place, or one file and -o for another)");
  const std::vector<std::string> outputs = Outputs(a, [](const std::string &file) { return file; });
  return Plan(a, std::vector<std::vector<std::string>>(outputs.size()), outputs,
              [a, outputs](Session &s, std::size_t i) {
                const std::string &file = a.positional[i];
                FileContent in = ReadFile(file);
                std::vector<unsigned char> &data = in.bytes;
                int32_t length = CheckedLength(data.size(), file);
                std::vector<char> signer = UidBuffer(&s);
                const int32_t rc =
                    s.Api().RemoveSign(s.Handle(), data.data(), &length, signer.data());
                s.Check(rc, "checking and removing the signature of " + file +
                                (signer[0] != '\0' ? ", signer " + Shown(signer) : ""));
                CheckFits(length, data.size(), "data");
                data.resize(static_cast<std::size_t>(length));
                WriteFile(outputs[i], data, in.permissions);
                return "removed a valid signature of " + Shown(signer) + ": " + outputs[i] + " (" +
                       std::to_string(length) + " bytes)";
              });
}

// What a public key file says about itself: its identifier and kind, read
// from the header of the public key block the module's provider writes
// (240 or 304 bytes, "KPUB", kind 'E' or 'S' at 6, identifier at 8).
struct KeyBlockHeader {
  std::string uid;
  bool encryption;
};

std::optional<KeyBlockHeader> ReadKeyBlockHeader(const std::vector<unsigned char> &block) {
  if ((block.size() != 240 && block.size() != 304) || std::memcmp(block.data(), "KPUB", 4) != 0 ||
      (block[6] != 'E' && block[6] != 'S'))
    return std::nullopt;
  std::string uid;
  for (std::size_t i = 8; i < 20 && block[i] != 0; ++i)
    uid += static_cast<char>(block[i]);
  const bool digits =
      std::all_of(uid.begin(), uid.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits || uid.size() != (block[6] == 'E' ? 10u : 12u))
    return std::nullopt;
  return KeyBlockHeader{uid, block[6] == 'E'};
}

// The largest file include-key reads: a public key file has 240 or 304 bytes.
constexpr std::uintmax_t kMaxKeyFileSize = 64 * 1024;

int IncludeKey(Session *s, const std::vector<std::string> &args, bool encryptionKey) {
  const Args a = Parse(args, false, false);
  Expect(a, 1, 1, "one public key file");
  const std::string &file = a.positional[0];
  const char *kind = encryptionKey ? "encryption" : "signature";
  // The file is read here by exactly its name, and the module includes a
  // private copy of these bytes: what is reported below is what it took.
  const std::vector<unsigned char> fileBlock = ReadFile(file, kMaxKeyFileSize).bytes;
  const std::optional<KeyBlockHeader> header = ReadKeyBlockHeader(fileBlock);
  if (header && header->encryption != encryptionKey)
    std::fprintf(stderr, "cehost: note: %s holds the %s key %s, included here as a %s key\n",
                 file.c_str(), header->encryption ? "encryption" : "signature", header->uid.c_str(),
                 kind);
  const std::optional<std::vector<unsigned char>> before =
      header ? DirectoryKey(s, header->uid) : std::nullopt;

  {
    const ModuleCopy copy(fileBlock, file);
    const char *path = copy.ModulePath().c_str();
    const int32_t rc = encryptionKey ? s->Api().IncludePublicEncodeKey(s->Handle(), path)
                                     : s->Api().IncludePublicKey(s->Handle(), path);
    s->Check(rc, "including " + file + (header ? " (key " + header->uid + ")" : "") + " into " +
                     s->ParamValue("Path to public"));
  }
  if (!header) {
    std::printf("included the %s public key %s (its identifier cannot be read from the file)\n",
                kind, file.c_str());
    return kExitOk;
  }
  const std::optional<std::vector<unsigned char>> now = DirectoryKey(s, header->uid);
  if (!now || *now != fileBlock)
    throw Failure(kExitFailed,
                  "the module included " + file + ", but the public key directory \"" +
                      s->ParamValue("Path to public") + "\" " +
                      (now ? "holds another key under " + header->uid + " (fingerprint " +
                                 Fingerprint(*now) + ", the file's " + Fingerprint(fileBlock) + ")"
                           : "holds no key " + header->uid) +
                      ": did another program change the directory meanwhile? Check it with "
                      "cehost report " +
                      header->uid);
  std::printf("included %s, %s key, fingerprint %s, from %s\n", header->uid.c_str(),
              header->encryption ? "encryption" : "signature", Fingerprint(*now).c_str(),
              file.c_str());
  if (before && *before != *now)
    std::printf("replaced the different key the directory held under %s: old fingerprint %s, "
                "new fingerprint %s\n",
                header->uid.c_str(), Fingerprint(*before).c_str(), Fingerprint(*now).c_str());
  else if (before)
    std::printf("the directory held this key already\n");
  return kExitOk;
}

int IncludeSignKey(Session *s, const std::vector<std::string> &args) {
  return IncludeKey(s, args, false);
}
int IncludeEncodeKey(Session *s, const std::vector<std::string> &args) {
  return IncludeKey(s, args, true);
}

int RemoveKey(Session *s, const std::vector<std::string> &args) {
  const Args a = Parse(args, false, false);
  Expect(a, 1, 1, "one key identifier (10 or 12 characters)");
  s->Check(s->Api().RemoveCertificate(s->Handle(), ModuleUid(a.positional[0]).c_str()),
           "removing " + a.positional[0] + " from " + s->ParamValue("Path to public"));
  std::printf("removed the public key %s\n", a.positional[0].c_str());
  return kExitOk;
}

int Report(Session *s, const std::vector<std::string> &args) {
  const Args a = Parse(args, false, false);
  Expect(a, 1, 1, "one key identifier");
  std::vector<char> report(
      ReportedSize(s->Api().GetMaxReportSize(s->Handle()), "GetMaxReportSize") + 1, '\0');
  s->Check(s->Api().GetReport(s->Handle(), ModuleUid(a.positional[0]).c_str(), report.data()),
           "reporting on " + a.positional[0] + " in " + s->ParamValue("Path to public"));
  std::fputs(platform::Cp1251ToUtf8(report.data()).c_str(), stdout);
  return kExitOk;
}

int ErrorTextCommand(Session *s, const std::vector<std::string> &args) {
  const Args a = Parse(args, false, false);
  Expect(a, 1, 1, "one result code");
  std::size_t used = 0;
  long code = 0;
  try {
    code = std::stol(a.positional[0], &used);
  } catch (const std::exception &) {
    used = 0;
  }
  if (used != a.positional[0].size() || code < std::numeric_limits<int32_t>::min() ||
      code > std::numeric_limits<int32_t>::max())
    throw Failure(kExitUsage, "not a result code: " + a.positional[0]);
  std::printf("%ld: %s\n", code, s->ErrorText(static_cast<int32_t>(code)).c_str());
  return kExitOk;
}

int ClearCache(Session *s, const std::vector<std::string> &args) {
  Expect(Parse(args, false, false), 0, 0, "no arguments");
  s->Api().ClearCash(s->Handle());
  std::printf("the key cache is empty\n");
  return kExitOk;
}

// The help every batch command shares.
#define CEHOST_BATCH_HELP                                                                          \
  "\n\nWith several files the work goes on past a failed file; each failure is named,\n"           \
  "a summary line (done, failed, time) ends the batch, and a progress bar is drawn\n"              \
  "on a terminal. --jobs N (-j N, 1 to 256) spreads the files over N worker\n"                     \
  "processes, each loading the module and the keys once (default: the number of\n"                 \
  "processors, at most one per 16 files). The exit code is that of the failed\n"                   \
  "files, or 1 when they failed differently.\n"                                                    \
  "-- ends the options: names after it may begin with '-'."

} // namespace

int32_t CheckedLength(std::size_t size, const std::string &fileName) {
  if (size == 0)
    throw Failure(kExitFileError, fileName + " is empty");
  if (size > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()) / 2)
    throw Failure(kExitFileError, fileName + " is too large");
  return static_cast<int32_t>(size);
}

const std::vector<Command> &Commands() {
  static const std::vector<Command> commands = {
      {"params", "", "list the parameters: name, value and description",
       "Shows the values the profile gives (defaults for the rest).", false, Params, nullptr},
      {"encrypt", "--to LIST FILE... [-o OUT] [--jobs N]", "encrypt files for recipients",
       "LIST holds four-digit key numbers (or full 10- or 12-digit key identifiers)\n"
       "separated by ';', ',' or blanks; anything else is refused, key number 0000 too\n"
       "(default: the profile's \"Encrypt for key number\"). A 10-digit identifier must\n"
       "be the very key the public key directory holds. Each FILE is written to FILE.enc\n"
       "(or OUT for a single file)." CEHOST_BATCH_HELP,
       true, nullptr, Encrypt},
      {"decrypt", "FILE... [-o OUT] [--jobs N]", "decrypt files and print their senders",
       "Writes each FILE without its .enc ending (or FILE.dec, or OUT for a "
       "single\nfile)." CEHOST_BATCH_HELP,
       true, nullptr, Decrypt},
      {"sign", "FILE... [-o SIG] [--jobs N]", "make detached signatures",
       "Writes the signature of each FILE to FILE.sig (or SIG for a single "
       "file)." CEHOST_BATCH_HELP,
       true, nullptr, Sign},
      {"verify", "FILE... | FILE SIG [--jobs N]", "check detached signatures and print the signers",
       "Checks each FILE with FILE.sig; two names of which only the second ends in .sig\n"
       "are one file and its signature." CEHOST_BATCH_HELP,
       true, nullptr, Verify},
      {"add-sign", "FILE... [-o OUT] [--jobs N]", "add a signature to files",
       "Changes each FILE in place (or writes OUT for a single file)." CEHOST_BATCH_HELP, true,
       nullptr, AddSignCommand},
      {"remove-sign", "FILE... [-o OUT] [--jobs N]",
       "check and remove the newest signature of files",
       "Prints the signer; changes each FILE in place (or writes OUT for a single "
       "file)." CEHOST_BATCH_HELP,
       true, nullptr, RemoveSignCommand},
      {"include-key", "FILE", "include a correspondent's signature public key",
       "FILE holds exactly one public key block; it is read by exactly its name and the\n"
       "module includes a copy of what was read.",
       true, IncludeSignKey, nullptr},
      {"include-encode-key", "FILE", "include a correspondent's encryption public key",
       "FILE holds exactly one public key block; it is read by exactly its name and the\n"
       "module includes a copy of what was read.",
       true, IncludeEncodeKey, nullptr},
      {"remove-key", "UID", "remove a public key from the directory",
       "UID has 10 (encryption) or 12 (signature) characters.", true, RemoveKey, nullptr},
      {"report", "UID", "print the report on a public key", "", true, Report, nullptr},
      {"error-text", "CODE", "print the text of a result code", "", false, ErrorTextCommand,
       nullptr},
      {"clear-cache", "", "empty the module's cache of loaded keys", "", false, ClearCache,
       nullptr},
  };
  return commands;
}

const Command *FindCommand(const std::string &name) {
  for (const Command &c : Commands())
    if (name == c.name)
      return &c;
  return nullptr;
}

} // namespace cehost
