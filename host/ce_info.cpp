// ce-info: loads the module at run time like a host does and prints what an
// engine tells about itself: its name, its parameters with their
// descriptions, and the sizes a host sizes its buffers with.
#include "Cryptlib/cryptobj.h"
#include "include/ce_kestrel.h"
#include "platform/cp1251.h"
#include "platform/platform.h"

#include <cstdio>
#include <string>

namespace {

template <typename F> F Symbol(platform::ModuleHandle module, const char *name) {
  return reinterpret_cast<F>(platform::FindSymbol(module, name));
}

std::string DefaultModulePath() {
#if defined(_WIN32)
  return platform::ExecutableDirectory() + "ce_kestrel.dll";
#else
  return platform::ExecutableDirectory() + "../lib/libce_kestrel.so";
#endif
}

} // namespace

int main(int argc, char **argv) {
  const std::string path = argc > 1 ? argv[1] : DefaultModulePath();
  platform::ModuleHandle module = platform::LoadLibraryFile(path);
  if (module == nullptr) {
    std::fprintf(stderr, "ce-info: cannot load the module %s\n", path.c_str());
    return 2;
  }
  auto getCryptObj = Symbol<decltype(&GetCryptObj)>(module, "GetCryptObj");
  auto doneEngine = Symbol<decltype(&DoneEngine)>(module, "DoneEngine");
  auto paramNumber = Symbol<decltype(&GetCryptoParamNumber)>(module, "GetCryptoParamNumber");
  auto paramName = Symbol<decltype(&GetCryptoParamName)>(module, "GetCryptoParamName");
  auto paramValue = Symbol<decltype(&GetCryptoParamValue)>(module, "GetCryptoParamValue");
  auto paramInfo = Symbol<decltype(&GetParamInfo)>(module, "GetParamInfo");
  if (!getCryptObj || !doneEngine || !paramNumber || !paramName || !paramValue || !paramInfo) {
    std::fprintf(stderr, "ce-info: %s lacks the expected exports\n", path.c_str());
    return 2;
  }
  CE_HANDLE engine = getCryptObj(0);
  if (engine == nullptr) {
    std::fprintf(stderr, "ce-info: the module could not create an engine\n");
    return 1;
  }

  // The engine name is an operation of the engine object, not an export:
  // holders of the object reach it through its interface.
  char name[256] = {};
  static_cast<TCryptoEngine *>(engine)->GetEngineName(name);
  std::printf("module: %s\nengine: %s\n\nparameters:\n", path.c_str(), name);

  const int32_t count = paramNumber(engine);
  for (int32_t i = 1; i <= count; ++i) {
    char pname[256] = {}, pvalue[256] = {}, info[256] = {};
    paramName(engine, i, pname);
    paramValue(engine, i, pvalue);
    int32_t kind = 0, size = sizeof info;
    paramInfo(engine, i, &kind, info, &size);
    std::printf("  %2d %-32s = %-10s kind %2d %s\n", i, platform::Cp1251ToUtf8(pname).c_str(),
                ("\"" + platform::Cp1251ToUtf8(pvalue) + "\"").c_str(), kind,
                platform::Cp1251ToUtf8(info).c_str());
  }

  std::printf("\nsizes:\n");
  const char *sizes[] = {"GetMaxEncodeAddition",        "GetMaxSignatureLength",
                         "GetMaxSignAddition",          "GetMaxUIDLength",
                         "GetMaxCryptoParamNameLength", "GetMaxCryptoParamValueLength",
                         "GetMaxErrorStringLength",     "GetMaxPasswordLength",
                         "GetMaxReportSize",            "GetMaxPublicKeyTransferSize",
                         "GetMaxFilePathLength"};
  for (const char *query : sizes) {
    auto fn = Symbol<int32_t(CE_STDCALL *)(CE_HANDLE)>(module, query);
    std::printf("  %-30s %d\n", query, fn ? fn(engine) : -1);
  }
  auto addition = Symbol<decltype(&GetMaxAdditionEx)>(module, "GetMaxAdditionEx");
  if (addition)
    std::printf("  %-30s %d (for recipients 0001;0002)\n", "GetMaxAdditionEx",
                addition(engine, "0001;0002"));
  doneEngine(engine);
  platform::FreeLibraryHandle(module);
  return 0;
}
