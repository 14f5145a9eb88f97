// The records and entry points the module shares with the library, checked
// at compile time against the library's own header: the same sizes and
// offsets, and for every entry point the same convention and the same bytes
// of arguments, in whatever data model the build has. (A file of its own: the
// module's public header declares a SignFile of its own.)
#include "kestrel/kestrel_api.h"
#include "provider/include/kestrel.h"

#include <cstddef>

namespace {

static_assert(sizeof(kestrel::TDriverSlotInfo) == sizeof(KestrelSlotInfo));
static_assert(offsetof(kestrel::TDriverSlotInfo, Num) == offsetof(KestrelSlotInfo, Num));
static_assert(offsetof(kestrel::TDriverSlotInfo, NumP) == offsetof(KestrelSlotInfo, NumP));
static_assert(offsetof(kestrel::TDriverSlotInfo, SlotInfo) == offsetof(KestrelSlotInfo, SlotInfo));
static_assert(offsetof(kestrel::TDriverSlotInfo, SlotNo) == offsetof(KestrelSlotInfo, SlotNo));
static_assert(kestrel::kSlotTableBytes == KESTREL_MAX_SLOTS * sizeof(KestrelSlotInfo));
static_assert(kestrel::kStatusRecordSize == sizeof(KestrelSignStatus));
static_assert(kestrel::kStatusVerdictOffset == offsetof(KestrelSignStatus, Verdict));
static_assert(kestrel::kStatusSignerLength == sizeof(KestrelSignStatus::Signer));

// Bytes a stdcall callee removes from the stack: every argument takes a
// multiple of 4. The deduction also fails when either side is not stdcall.
template <typename R, typename... A> constexpr std::size_t StackBytes(R(KESTREL_STDCALL *)(A...)) {
  return (0 + ... + ((sizeof(A) + 3) / 4 * 4));
}
template <typename R, typename... A> constexpr std::size_t ResultBytes(R(KESTREL_STDCALL *)(A...)) {
  return sizeof(R);
}
#define CE_SAME_CALL(name)                                                                         \
  static_assert(StackBytes(kestrel::P##name{}) == StackBytes(decltype(&::name){}) &&               \
                    ResultBytes(kestrel::P##name{}) == ResultBytes(decltype(&::name){}),           \
                #name)
CE_SAME_CALL(InitKey);
CE_SAME_CALL(ResetKeyEx);
CE_SAME_CALL(GetDrvInfo);
CE_SAME_CALL(FreeMemory);
CE_SAME_CALL(SignInit);
CE_SAME_CALL(SignDone);
CE_SAME_CALL(SignLogIn);
CE_SAME_CALL(SignLogOut);
CE_SAME_CALL(DelSign);
CE_SAME_CALL(SignFile);
CE_SAME_CALL(check_file_sign);
CE_SAME_CALL(SignMem);
CE_SAME_CALL(SignMemEx);
CE_SAME_CALL(check_mem_sign);
CE_SAME_CALL(Del_Mem_Sign);
CE_SAME_CALL(SignMemSeparate);
CE_SAME_CALL(SignMemSeparateEx);
CE_SAME_CALL(CheckMemSeparate);
CE_SAME_CALL(CryptoInit);
CE_SAME_CALL(CryptoDone);
CE_SAME_CALL(EnCryptFile);
CE_SAME_CALL(DeCryptFile);
CE_SAME_CALL(GetCryptKeysF);
CE_SAME_CALL(GetCryptKeysM);
CE_SAME_CALL(DeCryptMem);
CE_SAME_CALL(EnCryptMem);
CE_SAME_CALL(GetFileSenderID);
CE_SAME_CALL(GetMemSenderID);
CE_SAME_CALL(AddOpenKey);
CE_SAME_CALL(GetAlias);
CE_SAME_CALL(ExtractKey);
CE_SAME_CALL(DelOpenKey);
#undef CE_SAME_CALL

} // namespace
