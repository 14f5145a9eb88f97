#include "host/module_api.h"

#if !defined(_WIN32) && !(defined(CE_MODULE_SONAME) && defined(CE_MODULE_INSTALLED_PATH))
#error "CE_MODULE_SONAME and CE_MODULE_INSTALLED_PATH must name the module"
#endif

namespace cehost {

template <typename F> void ModuleApi::Bind(F &slot, const char *name) {
  slot = reinterpret_cast<F>(platform::FindSymbol(module_, name));
  if (slot == nullptr && error_.empty())
    error_ = "the module " + path_ + " has no export " + name;
}

ModuleApi::ModuleApi(const std::string &path) : path_(path) {
  if (!platform::FileExists(path)) {
    error_ = "the module " + path + " does not exist";
    return;
  }
  module_ = platform::LoadLibraryFile(path);
  if (module_ == nullptr) {
    error_ = "the module " + path + " cannot be loaded";
    return;
  }
  Bind(GetCryptObj, "GetCryptObj");
  Bind(DoneEngine, "DoneEngine");
  Bind(GetCryptoParamNumber, "GetCryptoParamNumber");
  Bind(GetCryptoParamName, "GetCryptoParamName");
  Bind(GetCryptoParamValue, "GetCryptoParamValue");
  Bind(SetCryptoParamValue, "SetCryptoParamValue");
  Bind(GetParamInfo, "GetParamInfo");
  Bind(GetCryptoErrorString, "GetCryptoErrorString");
  Bind(SetRootPath, "SetRootPath");
  Bind(SetTMRequestFunc, "SetTMRequestFunc");
  Bind(EncodeData, "EncodeData");
  Bind(DecodeData, "DecodeData");
  Bind(GetMaxAdditionEx, "GetMaxAdditionEx");
  Bind(SignData, "SignData");
  Bind(VerifyData, "VerifyData");
  Bind(GetMaxSignatureLength, "GetMaxSignatureLength");
  Bind(AddSign, "AddSign");
  Bind(RemoveSign, "RemoveSign");
  Bind(GetMaxSignAddition, "GetMaxSignAddition");
  Bind(IncludePublicKey, "IncludePublicKey");
  Bind(IncludePublicEncodeKey, "IncludePublicEncodeKey");
  Bind(RemoveCertificate, "RemoveCertificate");
  Bind(GetReport, "GetReport");
  Bind(GetMaxReportSize, "GetMaxReportSize");
  Bind(ClearCash, "ClearCash");
  Bind(GetMaxErrorStringLength, "GetMaxErrorStringLength");
  Bind(GetMaxUIDLength, "GetMaxUIDLength");
  Bind(GetMaxCryptoParamNameLength, "GetMaxCryptoParamNameLength");
  Bind(GetMaxCryptoParamValueLength, "GetMaxCryptoParamValueLength");
}

ModuleApi::~ModuleApi() { platform::FreeLibraryHandle(module_); }

std::string DefaultModulePath() {
#if defined(_WIN32)
  return platform::ExecutableDirectory() + "ce_kestrel.dll";
#else
  // By its SONAME (libce_kestrel.so.1): libce_kestrel.so is only the
  // development link, absent where just the runtime is installed. Installed,
  // the library directory lies where the install put it as seen from the
  // program's (../lib, ../lib64, ../lib/<triplet>); in the build tree at ../lib.
  const std::string directory = platform::ExecutableDirectory();
  const std::string installed = directory + CE_MODULE_INSTALLED_PATH;
  if (platform::FileExists(installed))
    return installed;
  return directory + "../lib/" CE_MODULE_SONAME;
#endif
}

} // namespace cehost
