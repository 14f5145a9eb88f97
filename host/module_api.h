// The module as a host sees it: loaded at run time by path, its exports
// looked up by name. Nothing here links against the module.
#pragma once

#include "include/ce_kestrel.h"
#include "platform/platform.h"

#include <string>

namespace cehost {

class ModuleApi {
public:
  // Loads the module; on failure Error() says what is missing.
  explicit ModuleApi(const std::string &path);
  ~ModuleApi();
  ModuleApi(const ModuleApi &) = delete;
  ModuleApi &operator=(const ModuleApi &) = delete;

  bool Loaded() const { return module_ != nullptr && error_.empty(); }
  const std::string &Error() const { return error_; }
  const std::string &Path() const { return path_; }

  decltype(&::GetCryptObj) GetCryptObj = nullptr;
  decltype(&::DoneEngine) DoneEngine = nullptr;
  decltype(&::GetCryptoParamNumber) GetCryptoParamNumber = nullptr;
  decltype(&::GetCryptoParamName) GetCryptoParamName = nullptr;
  decltype(&::GetCryptoParamValue) GetCryptoParamValue = nullptr;
  decltype(&::SetCryptoParamValue) SetCryptoParamValue = nullptr;
  decltype(&::GetParamInfo) GetParamInfo = nullptr;
  decltype(&::GetCryptoErrorString) GetCryptoErrorString = nullptr;
  decltype(&::SetRootPath) SetRootPath = nullptr;
  decltype(&::SetTMRequestFunc) SetTMRequestFunc = nullptr;
  decltype(&::EncodeData) EncodeData = nullptr;
  decltype(&::DecodeData) DecodeData = nullptr;
  decltype(&::GetMaxAdditionEx) GetMaxAdditionEx = nullptr;
  decltype(&::SignData) SignData = nullptr;
  decltype(&::VerifyData) VerifyData = nullptr;
  decltype(&::GetMaxSignatureLength) GetMaxSignatureLength = nullptr;
  decltype(&::AddSign) AddSign = nullptr;
  decltype(&::RemoveSign) RemoveSign = nullptr;
  decltype(&::GetMaxSignAddition) GetMaxSignAddition = nullptr;
  decltype(&::IncludePublicKey) IncludePublicKey = nullptr;
  decltype(&::IncludePublicEncodeKey) IncludePublicEncodeKey = nullptr;
  decltype(&::RemoveCertificate) RemoveCertificate = nullptr;
  decltype(&::GetReport) GetReport = nullptr;
  decltype(&::GetMaxReportSize) GetMaxReportSize = nullptr;
  decltype(&::ClearCash) ClearCash = nullptr;
  decltype(&::GetMaxErrorStringLength) GetMaxErrorStringLength = nullptr;
  decltype(&::GetMaxUIDLength) GetMaxUIDLength = nullptr;
  decltype(&::GetMaxCryptoParamNameLength) GetMaxCryptoParamNameLength = nullptr;
  decltype(&::GetMaxCryptoParamValueLength) GetMaxCryptoParamValueLength = nullptr;

private:
  template <typename F> void Bind(F &slot, const char *name);

  std::string path_;
  std::string error_;
  platform::ModuleHandle module_ = nullptr;
};

// The module's file beside this program: <libdir>/libce_kestrel.so.1 on POSIX,
// ce_kestrel.dll in the same folder on Windows.
std::string DefaultModulePath();

} // namespace cehost
