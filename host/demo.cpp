// cehost demo: a bank and a client, created from nothing in a fresh temporary
// directory, exchange a signed and encrypted payment order; a tampered copy
// is refused. Exits 0 only if every step did what it should.
#include "host/commands.h"
#include "host/os.h"

#include "platform/cp1251.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace cehost {
namespace {

namespace fs = std::filesystem;

struct User {
  std::string name;
  std::string number; // four-digit key number
  fs::path home;
  std::string encodeUid;
  std::string signUid;
  Profile profile;
};

class Transcript {
public:
  void Step(const std::string &text) { std::printf("%2d. %s\n", ++step_, text.c_str()); }
  void Detail(const std::string &text) { std::printf("    %s\n", text.c_str()); }
  [[noreturn]] void Fail(const std::string &text) {
    std::printf("    FAILED: %s\n", text.c_str());
    throw Failure(kExitFailed, "demo step " + std::to_string(step_) + " failed: " + text);
  }

private:
  int step_ = 0;
};

std::string KeyToolPath() {
  return platform::ExecutableDirectory() + ProgramFileName("kestrel-keys");
}

std::string Quote(const std::string &s) { return "\"" + s + "\""; }

// Runs the key tool and returns the value of "key=" from its output.
std::map<std::string, std::string> RunKeyTool(const std::string &arguments, const fs::path &log) {
  const std::string tool = KeyToolPath();
  if (!fs::exists(tool))
    throw Failure(kExitNoModule, "the key tool " + tool + " does not exist");
  const std::string command = Quote(tool) + " " + arguments + " > " + Quote(log.string()) + " 2>&1";
  const int rc = RunCommandLine(command);
  std::ifstream in(log);
  std::map<std::string, std::string> values;
  std::string line, all;
  while (std::getline(in, line)) {
    all += line + "\n";
    const auto eq = line.find('=');
    if (eq != std::string::npos)
      values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  if (rc != 0)
    throw Failure(kExitFailed, "kestrel-keys " + arguments + " failed:\n" + all);
  return values;
}

User MakeUser(const std::string &name, const std::string &number, const fs::path &root,
              const fs::path &exchange) {
  User user{name, number, root / name, {}, {}, {}};
  fs::create_directories(user.home / "keys");
  fs::create_directories(user.home / "public");
  auto values = RunKeyTool("new --device " + Quote((user.home / "keys").string()) + " --number " +
                               number + " --public-out " + Quote(exchange.string()),
                           root / (name + "-keys.log"));
  user.encodeUid = values["encode-uid"];
  user.signUid = values["sign-uid"];
  if (user.encodeUid.size() != 10 || user.signUid.size() != 12)
    throw Failure(kExitFailed, "kestrel-keys did not report the identifiers of " + name);
  Profile &p = user.profile;
  p.rootPath = root.string();
  p.values["Path to secret"] = (user.home / "keys").string();
  p.values["Path to public"] = (user.home / "public").string();
  p.values["Key device"] = (user.home / "keys").string();
  p.values["Encode UID"] = user.encodeUid;
  p.values["Sign UID"] = user.signUid;
  std::ofstream(user.home / "profile.txt") << p.Text();
  return user;
}

std::vector<unsigned char> Bytes(const std::string &s) { return {s.begin(), s.end()}; }

void Include(Session &s, Transcript &t, const fs::path &exchange, const User &owner,
             const User &of) {
  const std::string signKey = (exchange / (of.signUid + ".pub")).string();
  const std::string encodeKey = (exchange / (of.encodeUid + ".pub")).string();
  int32_t rc = s.Api().IncludePublicKey(s.Handle(), platform::Utf8ToCp1251(signKey).c_str());
  if (rc != 0)
    t.Fail(owner.name + " could not include " + of.name + "'s signature key: " + s.ErrorText(rc));
  rc = s.Api().IncludePublicEncodeKey(s.Handle(), platform::Utf8ToCp1251(encodeKey).c_str());
  if (rc != 0)
    t.Fail(owner.name + " could not include " + of.name + "'s encryption key: " + s.ErrorText(rc));
}

} // namespace

int RunDemo(ModuleApi &api, const std::vector<std::string> &args) {
  bool keep = false;
  for (const std::string &a : args) {
    if (a == "--keep")
      keep = true;
    else
      throw Failure(kExitUsage, "demo takes only --keep");
  }
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const fs::path root = fs::temp_directory_path() / ("cehost-demo-" + std::to_string(stamp));
  const fs::path exchange = root / "exchange";
  fs::create_directories(exchange);
  struct Cleanup {
    fs::path dir;
    bool keep;
    ~Cleanup() {
      std::error_code ec;
      if (!keep)
        fs::remove_all(dir, ec);
    }
  } cleanup{root, keep};

  Transcript t;
  std::printf("cehost demo: a client sends its bank a signed, encrypted payment order\n");
  std::printf("work directory: %s%s\n\n", root.string().c_str(), keep ? " (kept)" : "");

  t.Step("The bank and the client get their key pairs from kestrel-keys");
  const User bank = MakeUser("bank", "0002", root, exchange);
  const User client = MakeUser("client", "0001", root, exchange);
  t.Detail("bank:   encryption key " + bank.encodeUid + ", signature key " + bank.signUid);
  t.Detail("client: encryption key " + client.encodeUid + ", signature key " + client.signUid);

  Session bankSession(api, bank.profile);
  Session clientSession(api, client.profile);

  t.Step("They exchange public keys: each includes the other's into its directory");
  Include(clientSession, t, exchange, client, bank);
  Include(bankSession, t, exchange, bank, client);
  Include(clientSession, t, exchange, client, client);
  Include(bankSession, t, exchange, bank, bank);

  const std::string order = "PAYMENT ORDER No. 1207\r\nPayer: client 0001\r\nPayee: "
                            "supplier, account 40702810900000001234\r\nAmount: 125000.00 RUB\r\n"
                            "Purpose: invoice 77 of 2026-12-01\r\n";
  t.Step("The client signs the payment order (detached signature)");
  std::vector<unsigned char> signature(
      ReportedSize(api.GetMaxSignatureLength(clientSession.Handle()), "GetMaxSignatureLength"));
  int32_t signatureLength = 0;
  std::vector<unsigned char> orderBytes = Bytes(order);
  int32_t rc = api.SignData(clientSession.Handle(), orderBytes.data(),
                            static_cast<int32_t>(orderBytes.size()), signature.data(),
                            &signatureLength, nullptr);
  if (rc != 0)
    t.Fail("signing: " + clientSession.ErrorText(rc));
  if (signatureLength <= 0 || static_cast<std::size_t>(signatureLength) > signature.size())
    t.Fail("the module reported a signature of " + std::to_string(signatureLength) + " bytes");
  signature.resize(static_cast<std::size_t>(signatureLength));
  t.Detail(std::to_string(orderBytes.size()) + "-byte order, " + std::to_string(signatureLength) +
           "-byte signature");

  t.Step("The client encrypts the order for the bank (" + bank.number + ")");
  const std::size_t addition = ReportedSize(
      api.GetMaxAdditionEx(clientSession.Handle(), bank.number.c_str()), "GetMaxAdditionEx");
  if (addition > 4096)
    t.Fail("the module asked for " + std::to_string(addition) + " bytes for one recipient");
  std::vector<unsigned char> block(orderBytes.size() + addition, 0);
  std::copy(orderBytes.begin(), orderBytes.end(), block.begin());
  int32_t size = static_cast<int32_t>(orderBytes.size());
  rc = api.EncodeData(clientSession.Handle(), block.data(), &size, bank.number.c_str());
  if (rc != 0)
    t.Fail("encrypting: " + clientSession.ErrorText(rc));
  block.resize(static_cast<std::size_t>(size));
  t.Detail(std::to_string(orderBytes.size()) + " bytes -> " + std::to_string(size) +
           " bytes encrypted");

  t.Step("The bank decrypts the order and learns who sent it");
  std::vector<unsigned char> received = block;
  int32_t receivedSize = size;
  char sender[256] = {};
  rc = api.DecodeData(bankSession.Handle(), received.data(), &receivedSize, sender);
  if (rc != 0)
    t.Fail("decrypting: " + bankSession.ErrorText(rc));
  received.resize(static_cast<std::size_t>(receivedSize));
  if (received != orderBytes)
    t.Fail("the decrypted order differs from the one sent");
  t.Detail("sender " + platform::Cp1251ToUtf8(sender) + ", the order arrived unchanged");

  t.Step("The bank verifies the client's signature");
  char signer[256] = {};
  rc = api.VerifyData(bankSession.Handle(), received.data(), receivedSize, signature.data(),
                      signatureLength, signer);
  if (rc != 0)
    t.Fail("verifying: " + bankSession.ErrorText(rc));
  if (platform::Cp1251ToUtf8(signer) != client.signUid)
    t.Fail("the signer is " + std::string(signer) + ", not the client");
  t.Detail("valid, signed by " + platform::Cp1251ToUtf8(signer));

  t.Step("Someone changes one byte of the encrypted order in transit");
  std::vector<unsigned char> tampered = block;
  tampered[tampered.size() / 2] ^= 0x01;
  int32_t tamperedSize = size;
  char sender2[256] = {};
  rc = api.DecodeData(bankSession.Handle(), tampered.data(), &tamperedSize, sender2);
  if (rc == 0)
    t.Fail("the tampered block was accepted");
  if (tampered !=
          [&] {
            auto copy = block;
            copy[copy.size() / 2] ^= 0x01;
            return copy;
          }() ||
      tamperedSize != size)
    t.Fail("the failed decryption changed the bank's buffer");
  t.Detail("refused: " + bankSession.ErrorText(rc) + " (code " + std::to_string(rc) + ")");

  t.Step("Someone changes the amount after signing");
  std::string altered = order;
  altered.replace(altered.find("125000.00"), 9, "925000.00");
  std::vector<unsigned char> alteredBytes = Bytes(altered);
  rc = api.VerifyData(bankSession.Handle(), alteredBytes.data(),
                      static_cast<int32_t>(alteredBytes.size()), signature.data(), signatureLength,
                      signer);
  if (rc == 0)
    t.Fail("the altered order passed verification");
  t.Detail("refused: " + bankSession.ErrorText(rc) + " (code " + std::to_string(rc) + ")");

  std::printf("\nEvery step did what it should.\n");
  return kExitOk;
}

} // namespace cehost
