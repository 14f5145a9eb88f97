// The key report: a public key's identifier and a hexadecimal dump of its
// public key block, as text for the host.
#include "engine/kestrel4_engine.h"
#include "kestrel/kestrel_dll.h"
#include "support/rgenutil.h"

#include <cstring>
#include <string>

namespace {

// The dump shows the bytes in pairs, 18 bytes to a line.
constexpr int32_t kDumpGroup = 2;
constexpr int32_t kDumpLine = 18;

// "UID=<identifier>", "PKey=", the dump, then an empty line; lines end with
// CR LF and the dump's last line carries its own only when it is full.
std::string BuildReport(const std::string &uid, const std::string &keyBlock) {
  std::string report = "UID=" + uid + "\r\nPKey=\r\n";
  report +=
      BytesToHex(keyBlock.data(), static_cast<uint32_t>(keyBlock.size()), kDumpGroup, kDumpLine);
  report += "\r\n\r\n";
  return report;
}

} // namespace

int32_t TKestrel4Engine::GetMaxReportSize() { return 1024; }

int32_t TKestrel4Engine::GetReport(const char *uid, char *buffer) {
  if (uid == nullptr || buffer == nullptr)
    return CE_ERR_BAD_ARGUMENT;

  return WithBinding("GetReport", [&](TKestrelDLL &binding) -> int32_t {
    // Only the root placeholder is expanded here; no delimiter is appended.
    const std::string directory = ExpandRootPath(ParamValue(kParamPathToPublic));
    std::string keyBlock;
    if (const int32_t result = binding.ExtractPublicKey(uid, directory, keyBlock); result != CE_OK)
      return result;

    const std::string report = BuildReport(uid, keyBlock);
    // The host's buffer holds GetMaxReportSize bytes; a report that would not
    // fit (a very long identifier) is refused without writing anything.
    if (static_cast<int64_t>(report.size()) > GetMaxReportSize())
      return CE_ERR_BAD_ARGUMENT;
    // Exactly the text: no terminating NUL, the bytes after it stay as they were.
    std::memcpy(buffer, report.data(), report.size());
    return CE_OK;
  });
}
