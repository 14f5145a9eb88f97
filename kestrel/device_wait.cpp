#include "kestrel/device_wait.h"

#include "kestrel/result_codes.h"
#include "platform/platform.h"
#include "support/rgenutil.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <thread>

namespace {

constexpr int32_t kNoResultYet = kestrel::TBindingCodes::kCallException;

// Shows the host's key-device request window and withdraws it again when the
// wait ends, whichever way it ends.
class TDeviceRequest {
public:
  explicit TDeviceRequest(CE_TM_REQUEST_FUNC request) : FRequest(request) {}
  ~TDeviceRequest() {
    if (FShown)
      FRequest(1);
  }
  TDeviceRequest(const TDeviceRequest &) = delete;
  TDeviceRequest &operator=(const TDeviceRequest &) = delete;

  void Show() {
    FRequest(0);
    FShown = true;
  }
  bool Shown() const { return FShown; }

private:
  CE_TM_REQUEST_FUNC FRequest;
  bool FShown = false;
};

} // namespace

bool IsKeyDevice(std::string_view path) {
  static constexpr std::array<std::string_view, 6> kDeviceNames = {"TM:A4.P", "TM:COM0", "TM:COM1",
                                                                   "TM:COM2", "SC:GSR4", "SC:TOWT"};
  const std::string upper = UpperCaseAscii(path);
  return std::find(kDeviceNames.begin(), kDeviceNames.end(), upper) != kDeviceNames.end();
}

bool IsDeviceWaitCode(int32_t code) {
  switch (code) {
  case 6:   // key not found or damaged
  case 34:  // GK unreadable
  case 35:  // KC unreadable
  case 36:  // removable key device error
  case 101: // key number does not match the device
  case 105: // UZ unreadable
  case 106: // CKD or CKDI unreadable
    return true;
  default:
    return false;
  }
}

bool IsAnyFailure(int32_t code) { return code != 0; }

int32_t RunDeviceWaitLoop(std::string_view path, int32_t waitTimeOutSeconds,
                          CE_TM_REQUEST_FUNC request, bool (*raises)(int32_t),
                          const std::function<int32_t()> &call) {
  // Without a request function there is no window to wait behind: one attempt.
  const bool canRequest = request != nullptr && IsKeyDevice(path);
  TDeviceRequest window(request);
  double start = 0; // when the window appeared
  int32_t result = kNoResultYet;
  for (;;) {
    result = call();
    if (result == 0)
      return result;
    if (!window.Shown() && canRequest && raises != nullptr && raises(result)) {
      window.Show();
      start = platform::NowLocalDays();
    }
    if (!window.Shown())
      return result;
    // Every retry waits for the device, so a persistent error of another
    // kind cannot turn the wait into a busy loop of library calls.
    std::this_thread::sleep_for(std::chrono::milliseconds(kDeviceWaitPauseMs));
    if (IsTimeElapsed(waitTimeOutSeconds, start))
      return result;
  }
}
