#include "host/module_api.h"

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

} // namespace cehost
