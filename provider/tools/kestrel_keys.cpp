// kestrel-keys: makes a user's key pair on a key device, describes public
// key files and lets an owner start a public key directory over.
// kestrel-keys --help describes every option.
#include "directory.h"
#include "key_driver.h"
#include "keygen.h"
#include "platform/cp1251.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using namespace kestrel_provider;

namespace {

namespace fs = std::filesystem;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

void Usage() {
  std::cerr << "usage: kestrel-keys new --device DIR --number NNNN [--serial SSSSSS]\n"
               "                        [--generation 4|5] [--public-out DIR2]\n"
               "       kestrel-keys show FILE\n"
               "       kestrel-keys retire-directory --device DIR --directory PUB\n"
               "       kestrel-keys --help\n";
}

void Help() {
  std::cout
      << "kestrel-keys: makes a user's key pair on a key device and describes public key files.\n"
         "\n"
         "usage: kestrel-keys new --device DIR --number NNNN [--serial SSSSSS]\n"
         "                        [--generation 4|5] [--public-out DIR2]\n"
         "       kestrel-keys show FILE\n"
         "       kestrel-keys retire-directory --device DIR --directory PUB\n"
         "       kestrel-keys --help\n"
         "\n"
         "new  makes the encryption key NNNN+SSSSSS (10 digits) and the signature key\n"
         "     NNNN+SSSSSS+\"01\" (12 digits) and prints \"encode-uid=...\" and \"sign-uid=...\".\n"
         "  --device DIR       the key device: a folder (created if missing) that receives the\n"
         "                     secret key files encrypt.key and sign.key, readable by their\n"
         "                     owner only. A device that already holds a key is never\n"
         "                     overwritten: of two runs on one device exactly one succeeds,\n"
         "                     and a device never holds half a pair.\n"
         "  --number NNNN      the four-digit key number; correspondents encrypt for it\n"
         "  --serial SSSSSS    the six-digit series (default 000001)\n"
         "  --generation 4|5   the provider generation the keys are for (default 4);\n"
         "                     public key files have 240 bytes in 4, 304 in 5\n"
         "  --public-out DIR2  the folder (created if missing) for the public key files\n"
         "                     <identifier>.pub, one per key, to give to correspondents.\n"
         "                     Without it they go into DIR, beside the secret keys.\n"
         "show FILE  describes a public key file: identifier, kind, generation, algorithm and\n"
         "           the key's coordinates.\n"
         "retire-directory  gives up the public key directory that the key device DIR knows in\n"
         "     the folder PUB, to start over there (its file was lost, or is damaged and was\n"
         "     deleted): every copy of it is refused from then on, and the next key included\n"
         "     in PUB starts a new directory. Until then an include or removal there, with\n"
         "     the file missing, fails with 128.\n"
         "\n"
         "Exit codes: 0 success; 1 failure (the device already holds a key, a file cannot be\n"
         "read or written, the device knows no directory in PUB); 2 wrong usage (also a path\n"
         "Windows-1251 cannot hold).\n";
}

// Wrong usage: the message is printed and the exit code is 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A native path (a command-line argument, a folder made from one) in the
// form the platform layer takes (Windows-1251); a name Windows-1251 cannot
// hold is refused, never turned into another name.
std::string PlatformText(const std::string &native) {
  std::optional<std::string> text = platform::FromNativeText(native);
  if (!text)
    throw UsageError("the path \"" + native +
                     "\" has characters that file names in Windows-1251 cannot hold (Latin, "
                     "Cyrillic, digits and common signs can be held); use another path");
  return *std::move(text);
}

std::string Hex(const std::uint8_t *p, std::size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

// The native form of a folder path from the command line, without a
// trailing separator.
fs::path Folder(const std::string &path) {
  fs::path folder = fs::path(platform::NativePath(path)).lexically_normal();
  if (!folder.has_filename() && folder.has_parent_path() && folder != folder.root_path())
    folder = folder.parent_path();
  return folder;
}

// A native path in the form the platform layer takes (Windows-1251).
std::string PlatformPath(const fs::path &native) { return PlatformText(native.string()); }

bool HoldsKey(const fs::path &device) {
  std::error_code ignored;
  return fs::exists(device / kEncryptionKeyFile, ignored) ||
         fs::exists(device / kSignatureKeyFile, ignored);
}

bool WriteInto(const fs::path &folder, const std::string &name, const Bytes &data) {
  return platform::WriteFileAtomically(PlatformPath(folder / name), data.data(), data.size());
}

// The files of a new key device, written into a folder of their own (in
// `parent`, under a fresh name) before they go onto the device together.
// The folder goes when the object does.
class Staging {
public:
  struct File {
    std::string name;
    const Bytes *data;
    bool secret;
  };

  Staging(const fs::path &parent, const std::string &base, const std::vector<File> &files) {
    std::random_device random;
    for (int attempt = 0; attempt < 16 && folder_.empty(); ++attempt) {
      const fs::path candidate =
          parent / ("." + base + ".new-" + std::to_string(platform::CurrentProcessId()) + "-" +
                    std::to_string(random()));
      std::error_code error;
      if (fs::create_directory(candidate, error))
        folder_ = candidate;
      else if (error)
        return;
    }
    if (folder_.empty())
      return;
    // Secret key files are readable by their owner alone (POSIX).
    for (const File &file : files)
      if (!platform::WriteFileAtomically(PlatformPath(folder_ / file.name), file.data->data(),
                                         file.data->size(), file.secret))
        return;
    ok_ = true;
  }
  ~Staging() {
    std::error_code ignored;
    if (!folder_.empty())
      fs::remove_all(folder_, ignored);
  }
  Staging(const Staging &) = delete;
  Staging &operator=(const Staging &) = delete;

  bool Ok() const { return ok_; }
  const fs::path &Folder() const { return folder_; }

private:
  fs::path folder_;
  bool ok_ = false;
};

enum class Commit { Done, AlreadyHeld, Failed };

// A device that does not exist or is empty: the staging folder beside it
// replaces it in one rename, which fails when another run got there first.
Commit RenameOnto(Staging &staging, const fs::path &device) {
  std::error_code error;
  if (fs::exists(device, error))
    fs::permissions(staging.Folder(), fs::status(device, error).permissions(), error);
  fs::rename(staging.Folder(), device, error);
  // Where a folder is renamed only to a free name (Windows), the empty
  // device goes first; a run that got there in between is not empty.
  std::error_code ignored;
  if (error && fs::is_empty(device, ignored) && fs::remove(device, ignored))
    fs::rename(staging.Folder(), device, error);
  if (!error)
    return Commit::Done;
  return HoldsKey(device) ? Commit::AlreadyHeld : Commit::Failed;
}

// A device that holds other files (or cannot be renamed onto, such as a
// mount point): the staging folder is inside it, and the key files are
// linked into place one after the other, each only where no file of that
// name exists. The first link decides which run owns the device; a second
// that fails takes the first back. Other files are renamed into place.
Commit LinkInto(Staging &staging, const fs::path &device, const std::vector<std::string> &names) {
  std::error_code error;
  std::vector<fs::path> linked;
  for (const std::string &name : names) {
    const bool key = name == kEncryptionKeyFile || name == kSignatureKeyFile;
    if (key)
      fs::create_hard_link(staging.Folder() / name, device / name, error);
    else
      fs::rename(staging.Folder() / name, device / name, error);
    if (error) {
      std::error_code ignored;
      const bool held = linked.empty() && fs::exists(device / name, ignored);
      for (const fs::path &path : linked)
        fs::remove(path, ignored);
      return held ? Commit::AlreadyHeld : Commit::Failed;
    }
    if (key)
      linked.push_back(device / name);
  }
  return Commit::Done;
}

int New(const std::map<std::string, std::string> &options) {
  const auto get = [&](const std::string &name) -> std::optional<std::string> {
    const auto it = options.find(name);
    return it == options.end() ? std::nullopt : std::optional(it->second);
  };
  const auto deviceArgument = get("--device");
  const auto number = get("--number");
  if (!deviceArgument || !number) {
    std::cerr << "kestrel-keys: --device and --number are required (kestrel-keys --help)\n";
    return kExitUsage;
  }
  const std::string series = get("--serial").value_or("000001");
  const std::string generationText = get("--generation").value_or("4");
  if (generationText != "4" && generationText != "5") {
    std::cerr << "kestrel-keys: --generation must be 4 or 5\n";
    return kExitUsage;
  }
  const Generation generation = generationText == "5" ? Generation::G5 : Generation::G4;
  const std::string publicArgument = get("--public-out").value_or(*deviceArgument);

  GeneratedKeys keys;
  try {
    keys = GenerateKeys(generation, *number, series);
  } catch (const std::invalid_argument &) {
    std::cerr << "kestrel-keys: --number must be 4 digits and --serial 6 digits\n";
    return kExitUsage;
  }
  const fs::path device = Folder(PlatformText(*deviceArgument));
  const fs::path publicFolder = Folder(PlatformText(publicArgument));
  const std::string encryptionPublic = keys.encryption.id + ".pub";
  const std::string signaturePublic = keys.signature.id + ".pub";
  const auto refuse = [&] {
    std::cerr << "kestrel-keys: the device " << *deviceArgument
              << " already holds a key; nothing was written\n";
    return kExitFailure;
  };
  if (HoldsKey(device))
    return refuse();
  std::error_code error;
  if (device.has_parent_path())
    fs::create_directories(device.parent_path(), error);

  // Everything that goes onto the device is staged first, the public key
  // files too when they go there.
  const bool publicOnDevice = publicFolder == device;
  SecretBuffer encryption, signature;
  encryption.bytes() = BuildSecretKeyFile(keys.encryption);
  signature.bytes() = BuildSecretKeyFile(keys.signature);
  std::vector<Staging::File> files = {{std::string(kEncryptionKeyFile), &encryption.bytes(), true},
                                      {std::string(kSignatureKeyFile), &signature.bytes(), true}};
  if (publicOnDevice) {
    files.push_back({encryptionPublic, &keys.encryptionPublic, false});
    files.push_back({signaturePublic, &keys.signaturePublic, false});
  }
  std::vector<std::string> names;
  for (const Staging::File &file : files)
    names.push_back(file.name);
  const std::string base = device.filename().string();

  Commit commit = Commit::Failed;
  // A device named by a symbolic link keeps its link: its files go into the
  // folder the link names.
  if (!fs::is_symlink(fs::symlink_status(device, error)) &&
      (!fs::exists(device, error) || fs::is_empty(device, error))) {
    Staging beside(device.has_parent_path() ? device.parent_path() : fs::path("."), base, files);
    if (beside.Ok())
      commit = RenameOnto(beside, device);
  }
  if (commit == Commit::Failed && fs::is_directory(device, error)) {
    Staging inside(device, base, files);
    if (inside.Ok())
      commit = LinkInto(inside, device, names);
  }
  if (commit == Commit::AlreadyHeld)
    return refuse();
  if (commit == Commit::Failed) {
    std::cerr << "kestrel-keys: cannot write the key files onto " << *deviceArgument << "\n";
    return kExitFailure;
  }
  if (!publicOnDevice) {
    fs::create_directories(publicFolder, error);
    if (!WriteInto(publicFolder, encryptionPublic, keys.encryptionPublic) ||
        !WriteInto(publicFolder, signaturePublic, keys.signaturePublic)) {
      // Without its public keys the pair is of no use: take it back.
      fs::remove(device / kEncryptionKeyFile, error);
      fs::remove(device / kSignatureKeyFile, error);
      fs::remove(publicFolder / encryptionPublic, error);
      std::cerr << "kestrel-keys: cannot write the public key files into " << publicArgument
                << "; the key pair was removed again\n";
      return kExitFailure;
    }
  }
  std::cout << "encode-uid=" << keys.encryption.id << "\n"
            << "sign-uid=" << keys.signature.id << "\n";
  return 0;
}

int Show(const std::string &file) {
  const std::string path = PlatformText(file);
  platform::ReadOnlyFile in(path);
  if (!in.IsOpen()) {
    std::cerr << "kestrel-keys: cannot open " << file << "\n";
    return kExitFailure;
  }
  const std::int64_t size = in.Size();
  std::optional<Generation> generation;
  if (size == static_cast<std::int64_t>(PublicKeyBlockSize(Generation::G4)))
    generation = Generation::G4;
  else if (size == static_cast<std::int64_t>(PublicKeyBlockSize(Generation::G5)))
    generation = Generation::G5;
  if (!generation) {
    std::cerr << "kestrel-keys: " << file << " is not a public key file (size " << size << ")\n";
    return kExitFailure;
  }
  Bytes data(static_cast<std::size_t>(size));
  PublicKeyBlock block;
  if (in.Read(data.data(), data.size()) != data.size() ||
      ParsePublicKeyBlock(data.data(), data.size(), *generation, block) != 0) {
    std::cerr << "kestrel-keys: " << file << " is damaged or not a public key file\n";
    return kExitFailure;
  }
  std::cout << "identifier=" << block.id << "\n"
            << "kind=" << (block.kind == KeyKind::Encryption ? "encryption" : "signature") << "\n"
            << "generation=" << static_cast<int>(block.generation) << "\n"
            << "algorithm=GOST R 34.10-2012 256-bit, tc26 set A\n"
            << "key-x=" << Hex(block.key.data(), 32) << "\n"
            << "key-y=" << Hex(block.key.data() + 32, 32) << "\n";
  return 0;
}

int RetireDirectoryIn(const std::map<std::string, std::string> &options) {
  const auto device = options.find("--device");
  const auto directory = options.find("--directory");
  if (device == options.end() || directory == options.end()) {
    std::cerr << "kestrel-keys: --device and --directory are required (kestrel-keys --help)\n";
    return kExitUsage;
  }
  KeyDriver &driver = KeyDriver::Instance();
  const auto owner = driver.Load(PlatformText(device->second)) == 0 && !driver.Slots().empty()
                         ? driver.EncryptionKeyOfPair(driver.Slots().front().num)
                         : std::nullopt;
  if (!owner) {
    std::cerr << "kestrel-keys: cannot read the keys on " << device->second << "\n";
    return kExitFailure;
  }
  bool known = false;
  const Code c = RetireDirectory(*owner, PlatformText(directory->second), known);
  if (c == code::kDirectoryBusy) {
    std::cerr << "kestrel-keys: another process holds the record on " << device->second
              << "; nothing changed, try again\n";
    return kExitFailure;
  }
  if (c != 0) {
    std::cerr << "kestrel-keys: cannot read or write the record on " << device->second
              << "; nothing changed\n";
    return kExitFailure;
  }
  if (!known) {
    std::cerr << "kestrel-keys: " << device->second << " knows no directory in "
              << directory->second << "; nothing changed\n";
    return kExitFailure;
  }
  std::cout << "retired: copies of the directory in " << directory->second
            << " are refused from now on; the next key included there starts a new one\n";
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto isHelp = [](const std::string &a) { return a == "--help" || a == "-h"; };
    const auto usageError = [](const std::string &message) {
      std::cerr << "kestrel-keys: " << message << "\n";
      Usage();
      return kExitUsage;
    };
    if (args.empty())
      return usageError("no command (kestrel-keys --help describes them)");
    if (isHelp(args[0]) || args[0] == "help" || std::any_of(args.begin(), args.end(), isHelp)) {
      Help();
      return 0;
    }
    if (args[0] == "show") {
      if (args.size() == 2 && args[1].rfind("--", 0) != 0)
        return Show(args[1]);
      if (args.size() > 1 && args[1].rfind("--", 0) == 0)
        return usageError("unknown option " + args[1] + " of show");
      return usageError("show takes one public key file");
    }
    const bool retire = args[0] == "retire-directory";
    if (args[0] != "new" && !retire)
      return usageError((args[0][0] == '-' ? "unknown option " : "unknown command ") + args[0]);
    std::map<std::string, std::string> options;
    for (std::size_t i = 1; i < args.size(); i += 2) {
      const std::string &name = args[i];
      const bool known = retire ? name == "--device" || name == "--directory"
                                : name == "--device" || name == "--number" || name == "--serial" ||
                                      name == "--generation" || name == "--public-out";
      if (!known)
        return usageError("unknown option " + name);
      if (i + 1 >= args.size())
        return usageError(name + " needs a value");
      if (!options.emplace(name, args[i + 1]).second)
        return usageError(name + " is given twice");
    }
    return retire ? RetireDirectoryIn(options) : New(options);
  } catch (const UsageError &e) {
    std::cerr << "kestrel-keys: " << e.what() << "\n";
    return kExitUsage;
  } catch (const std::exception &e) {
    std::cerr << "kestrel-keys: " << e.what() << "\n";
    return kExitFailure;
  }
}
