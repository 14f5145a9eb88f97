// The engine's parameters: the input's lines become parameters 1 to 12 (as
// a host sets them, each cut at a NUL), then everything that reads them
// reads them: the key-access settings, the verify switch, the own key
// number, root and directory path expansion, the stored values, the size
// query for the configured recipients, the parameter descriptions and the
// identifier queries, each into a buffer of exactly the size the engine
// announces.
#include "fuzz_support.h"

#include "engine/kestrel4_engine.h"
#include "engine/recipients.h"
#include "support/rgenutil.h"

#include <cstring>
#include <vector>

namespace {

// A key time-out reads when it is empty or an integer.
bool TimeOutReads(const std::string &text) {
  int32_t ignored = 0;
  return text.empty() || TryStrToInt(text, ignored);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  TKestrel4Engine engine;
  engine.SetEngineRootPath("C:\\Bank\\Client");
  const std::string_view input(reinterpret_cast<const char *>(data), size);
  std::vector<std::string> values;
  for (std::size_t start = 0; start <= input.size() && values.size() < kParamCount;) {
    const std::size_t end = std::min(input.find('\n', start), input.size());
    const std::string line(input.substr(start, end - start));
    values.emplace_back(line.c_str()); // the host's text ends at a NUL
    start = end + 1;
  }
  for (std::size_t i = 0; i < values.size(); ++i)
    FUZZ_CHECK(engine.SetCryptoParamValue(static_cast<int32_t>(i + 1), values[i].c_str()) == 0);

  // Stored values come back cut to the announced length, always terminated.
  const int32_t valueLength = engine.GetMaxCryptoParamValueLength();
  std::vector<char> buffer(static_cast<std::size_t>(valueLength) + 1);
  for (int32_t i = 0; i <= kParamCount + 1; ++i) {
    engine.GetCryptoParamValue(i, buffer.data());
    const std::size_t length = std::strlen(buffer.data());
    FUZZ_CHECK(length <= static_cast<std::size_t>(valueLength));
    if (i >= 1 && static_cast<std::size_t>(i) <= values.size())
      FUZZ_CHECK(values[static_cast<std::size_t>(i) - 1].compare(0, length, buffer.data()) == 0);
  }

  TKeyAccessSettings settings;
  settings.WaitTimeOut = -7;
  const bool read = engine.ReadKeyAccessSettings(settings);
  const auto value = [&](int32_t param) {
    return static_cast<std::size_t>(param) <= values.size()
               ? values[static_cast<std::size_t>(param) - 1]
               : std::string(engine.FParamValues[static_cast<std::size_t>(param) - 1]);
  };
  FUZZ_CHECK(read == (TimeOutReads(value(kParamKeyRequestTimeOut)) &&
                      TimeOutReads(value(kParamLastOperationKeyTimeOut))));
  if (read)
    FUZZ_CHECK(settings.WaitTimeOut >= 0);
  (void)engine.ReadUse0SlotForVerify();
  (void)ReadKeyNumber(value(kParamEncodeUID));

  for (int32_t param : {kParamPathToSecret, kParamPathToPublic, kParamKeyDevice}) {
    const std::string directory = engine.ExpandDirPath(value(param));
    FUZZ_CHECK(directory.empty() == value(param).empty());
    FUZZ_CHECK(directory.empty() || directory.back() == '\\');
  }

  // Encrypting without a list of its own uses the configured recipients:
  // the size the host is told for a nil or empty list covers them.
  const int32_t addition = engine.GetMaxAdditionEx(nullptr);
  FUZZ_CHECK(addition == engine.GetMaxAdditionEx("") && addition == engine.GetMaxEncodeAddition());
  FUZZ_CHECK(addition >= 255);
  std::vector<uint16_t> recipients;
  if (ReadRecipientList(value(kParamEncryptForKeyNumber), recipients) == 0)
    FUZZ_CHECK(addition >= EncryptionAddition(recipients.size() - 1));

  // Descriptions: the size query first, then a buffer of that size.
  for (int32_t i = 0; i <= kParamCount + 1; ++i) {
    int32_t kind = -1;
    int32_t need = 0;
    const int32_t result = engine.GetParamInfo(i, &kind, nullptr, &need);
    if (result != 0)
      continue;
    if (need == 0)
      continue;
    std::vector<char> info(static_cast<std::size_t>(need));
    int32_t size2 = need;
    FUZZ_CHECK(engine.GetParamInfo(i, &kind, info.data(), &size2) == 0);
    FUZZ_CHECK(std::strlen(info.data()) + 1 == static_cast<std::size_t>(need));
  }

  // Identifier queries into buffers of GetMaxUIDLength bytes.
  std::vector<char> uid(static_cast<std::size_t>(engine.GetMaxUIDLength()));
  if (engine.GetCurrentUID(uid.data()) == 0)
    FUZZ_CHECK(value(kParamSignUID) == uid.data());
  if (engine.GetEncodeUIDBySignUID(value(kParamSignUID).c_str(), uid.data()) == 0)
    FUZZ_CHECK(std::strlen(uid.data()) + 8 == value(kParamSignUID).size());
  return 0;
}
