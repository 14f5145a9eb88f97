// The benchmark suite: the same operations at three layers in one run
// (raw libgcrypt, the provider's entry points called directly, the module's
// exports through a host session), so each figure is also a ratio to the
// layer below; then scaling with data size, recipients, host threads and
// engines, and the key cache.
//
// Names are LAYER/OPERATION/ARGUMENTS; scripts/bench.sh turns the JSON into
// the ratio tables of docs/performance.md.
#include "bench/raw_gcrypt.h"
#if defined(CE_BENCH_OPENSSL)
#include "bench/raw_openssl.h"
#endif
#include "bench/world.h"
#include "kestrel/key_identifiers.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

using bench::World;
using Buffer = std::vector<std::uint8_t>;

constexpr std::int64_t kKiB = 1024;
constexpr std::int64_t kMiB = 1024 * kKiB;
const std::vector<std::int64_t> kSizes = {kKiB, 64 * kKiB, kMiB, 16 * kMiB, 64 * kMiB};
constexpr std::size_t kStatusBuffer = 256;

Buffer RandomData(std::size_t n) {
  Buffer b(n);
  std::mt19937_64 rng(n);
  for (auto &x : b)
    x = static_cast<std::uint8_t>(rng());
  return b;
}

std::size_t Size(const benchmark::State &state) { return static_cast<std::size_t>(state.range(0)); }

void SetBytes(benchmark::State &state, std::size_t n) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(n));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// Runs `body`, turning an exception into a benchmark error.
template <typename F> void Guarded(benchmark::State &state, F body) {
  try {
    body();
  } catch (const std::exception &e) {
    state.SkipWithError(e.what());
  }
}

// ---------------------------------------------------------------- raw layer

void RawEncrypt(benchmark::State &state) {
  const std::size_t n = Size(state);
  const Buffer in = RandomData(n);
  Buffer out(n);
  bench::raw::Digest digest{};
  for (auto _ : state) {
    bench::raw::EncryptPipeline(in.data(), out.data(), n, digest);
    benchmark::DoNotOptimize(digest);
  }
  SetBytes(state, n);
}

void RawDecrypt(benchmark::State &state) {
  const std::size_t n = Size(state);
  Buffer data = RandomData(n);
  bench::raw::Digest digest{};
  for (auto _ : state) {
    bench::raw::DecryptPipeline(data.data(), n, digest);
    benchmark::DoNotOptimize(digest);
  }
  SetBytes(state, n);
}

void RawStreebog(benchmark::State &state) {
  const std::size_t n = Size(state);
  const Buffer in = RandomData(n);
  for (auto _ : state)
    benchmark::DoNotOptimize(bench::raw::Streebog256(in.data(), n));
  SetBytes(state, n);
}

void RawSign(benchmark::State &state) {
  const bench::raw::Digest digest = bench::raw::Streebog256(nullptr, 0);
  for (auto _ : state)
    benchmark::DoNotOptimize(bench::raw::Sign(digest));
  SetBytes(state, 0);
}

void RawVerify(benchmark::State &state) {
  const bench::raw::Digest digest = bench::raw::Streebog256(nullptr, 0);
  const auto signature = bench::raw::Sign(digest);
  for (auto _ : state)
    if (!bench::raw::Verify(digest, signature))
      state.SkipWithError("raw verification failed");
  SetBytes(state, 0);
}

// One hash of the data plus one signature: the floor of signing it.
void RawHashSign(benchmark::State &state) {
  const std::size_t n = Size(state);
  const Buffer in = RandomData(n);
  for (auto _ : state)
    benchmark::DoNotOptimize(bench::raw::Sign(bench::raw::Streebog256(in.data(), n)));
  SetBytes(state, n);
}

void RawHashVerify(benchmark::State &state) {
  const std::size_t n = Size(state);
  const Buffer in = RandomData(n);
  const auto signature = bench::raw::Sign(bench::raw::Streebog256(in.data(), n));
  for (auto _ : state)
    if (!bench::raw::Verify(bench::raw::Streebog256(in.data(), n), signature))
      state.SkipWithError("raw verification failed");
  SetBytes(state, n);
}

void RawVko(benchmark::State &state) {
  std::array<std::uint8_t, 8> ukm{1, 2, 3, 4, 5, 6, 7, 8};
  for (auto _ : state)
    benchmark::DoNotOptimize(bench::raw::Vko(ukm));
  SetBytes(state, 0);
}

#if defined(CE_BENCH_OPENSSL)
// The same on OpenSSL + the GOST engine: Streebog stays on libgcrypt, as in
// the provider's OpenSSL backend.
void OsslHashSign(benchmark::State &state) {
  const std::size_t n = Size(state);
  const Buffer in = RandomData(n);
  for (auto _ : state)
    benchmark::DoNotOptimize(bench::raw_openssl::Sign(bench::raw::Streebog256(in.data(), n)));
  SetBytes(state, n);
}

void OsslHashVerify(benchmark::State &state) {
  const std::size_t n = Size(state);
  const Buffer in = RandomData(n);
  const auto signature = bench::raw_openssl::Sign(bench::raw::Streebog256(in.data(), n));
  for (auto _ : state)
    if (!bench::raw_openssl::Verify(bench::raw::Streebog256(in.data(), n), signature))
      state.SkipWithError("raw verification failed");
  SetBytes(state, n);
}

void OsslSign(benchmark::State &state) {
  const bench::raw::Digest digest = bench::raw::Streebog256(nullptr, 0);
  for (auto _ : state)
    benchmark::DoNotOptimize(bench::raw_openssl::Sign(digest));
  SetBytes(state, 0);
}

void OsslVerify(benchmark::State &state) {
  const bench::raw::Digest digest = bench::raw::Streebog256(nullptr, 0);
  const auto signature = bench::raw_openssl::Sign(digest);
  for (auto _ : state)
    if (!bench::raw_openssl::Verify(digest, signature))
      state.SkipWithError("raw verification failed");
  SetBytes(state, 0);
}

void OsslVko(benchmark::State &state) {
  std::array<std::uint8_t, 8> ukm{1, 2, 3, 4, 5, 6, 7, 8};
  for (auto _ : state)
    benchmark::DoNotOptimize(bench::raw_openssl::Vko(ukm));
  SetBytes(state, 0);
}
#endif

// ----------------------------------------------------------- provider layer

void ProviderEncrypt(benchmark::State &state) {
  Guarded(state, [&] {
    World &w = World::Get();
    auto &p = w.Direct();
    const std::size_t n = Size(state);
    const int recipients = static_cast<int>(state.range(1));
    const Buffer in = RandomData(n);
    Buffer out(n + kestrel::EncryptedBlockOverhead(static_cast<std::size_t>(recipients)));
    const auto list = w.RecipientNumbers(recipients);
    bench::CheckProvider(p.CryptoInit("", w.Sender().publicDir.string().c_str()), "CryptoInit");
    for (auto _ : state)
      bench::CheckProvider(
          p.EnCryptMem(in.data(), static_cast<int32_t>(n), out.data(), 1, list.data(), ""),
          "EnCryptMem");
    p.CryptoDone();
    SetBytes(state, n);
  });
}

// An encrypted block for the first recipient, made through the module.
Buffer EncryptedForRecipient(World &w, std::size_t n) {
  Buffer block = RandomData(n);
  block.resize(n + kestrel::EncryptedBlockOverhead(1));
  int32_t size = static_cast<int32_t>(n);
  bench::Check(w.SenderSession(),
               w.Api().EncodeData(w.SenderSession().Handle(), block.data(), &size,
                                  w.Recipient().number.c_str()),
               "EncodeData");
  return block;
}

void ProviderDecrypt(benchmark::State &state) {
  Guarded(state, [&] {
    World &w = World::Get();
    auto &p = w.Direct();
    const std::size_t n = Size(state);
    const Buffer block = EncryptedForRecipient(w, n);
    Buffer work(block.size());
    bench::CheckProvider(p.CryptoInit("", w.Recipient().publicDir.string().c_str()), "CryptoInit");
    for (auto _ : state) {
      state.PauseTiming();
      std::memcpy(work.data(), block.data(), block.size());
      state.ResumeTiming();
      int32_t length = static_cast<int32_t>(block.size());
      bench::CheckProvider(p.DeCryptMem(work.data(), &length, 2), "DeCryptMem");
    }
    p.CryptoDone();
    SetBytes(state, n);
  });
}

// Opens the signature context on the sender's directory for one benchmark.
struct SignContext {
  bench::Provider &p;
  explicit SignContext(World &w) : p(w.Direct()) {
    bench::CheckProvider(p.SignInit("", w.Sender().publicDir.string().c_str()), "SignInit");
  }
  ~SignContext() { p.SignDone(); }
};

void ProviderSignDetached(benchmark::State &state) {
  Guarded(state, [&] {
    World &w = World::Get();
    SignContext context(w);
    const std::size_t n = Size(state);
    const Buffer in = RandomData(n);
    Buffer signature(kStatusBuffer);
    for (auto _ : state) {
      int32_t length = 0;
      bench::CheckProvider(context.p.SignMemSeparateEx(in.data(), static_cast<int32_t>(n), &length,
                                                       w.Sender().signUid.c_str(),
                                                       signature.data()),
                           "SignMemSeparateEx");
    }
    SetBytes(state, n);
  });
}

void ProviderVerifyDetached(benchmark::State &state) {
  Guarded(state, [&] {
    World &w = World::Get();
    SignContext context(w);
    const std::size_t n = Size(state);
    const Buffer in = RandomData(n);
    Buffer signature(kStatusBuffer);
    int32_t length = 0;
    bench::CheckProvider(context.p.SignMemSeparateEx(in.data(), static_cast<int32_t>(n), &length,
                                                     w.Sender().signUid.c_str(), signature.data()),
                         "SignMemSeparateEx");
    for (auto _ : state) {
      uint8_t count = 0;
      bench::SignStatus *status = nullptr;
      bench::CheckProvider(context.p.CheckMemSeparate(in.data(), static_cast<int32_t>(n), length,
                                                      &count, &status, signature.data()),
                           "CheckMemSeparate");
      const bool valid = count == 1 && status[0].Verdict == 0;
      context.p.FreeMemory(status);
      if (!valid)
        state.SkipWithError("the signature did not verify");
    }
    SetBytes(state, n);
  });
}

void ProviderSignAttached(benchmark::State &state) {
  Guarded(state, [&] {
    World &w = World::Get();
    SignContext context(w);
    const std::size_t n = Size(state);
    Buffer block = RandomData(n);
    block.resize(n + 400);
    for (auto _ : state) {
      int32_t length = static_cast<int32_t>(n);
      bench::CheckProvider(context.p.SignMemEx(block.data(), &length, w.Sender().signUid.c_str()),
                           "SignMemEx");
    }
    SetBytes(state, n);
  });
}

// What RemoveSign asks of the provider: check the newest signature, remove it.
void ProviderCheckAndRemove(benchmark::State &state) {
  Guarded(state, [&] {
    World &w = World::Get();
    SignContext context(w);
    const std::size_t n = Size(state);
    Buffer block = RandomData(n);
    block.resize(n + 400);
    int32_t signedLength = static_cast<int32_t>(n);
    bench::CheckProvider(
        context.p.SignMemEx(block.data(), &signedLength, w.Sender().signUid.c_str()), "SignMemEx");
    for (auto _ : state) {
      uint8_t count = 0;
      bench::SignStatus *status = nullptr;
      bench::CheckProvider(context.p.check_mem_sign(block.data(), signedLength, &count, &status),
                           "check_mem_sign");
      const bool valid = count >= 1 && status[0].Verdict == 0;
      context.p.FreeMemory(status);
      int32_t length = signedLength;
      bench::CheckProvider(context.p.Del_Mem_Sign(block.data(), &length, 1), "Del_Mem_Sign");
      if (!valid || length != static_cast<int32_t>(n))
        state.SkipWithError("the attached signature did not check out");
    }
    SetBytes(state, n);
  });
}

// check_mem_sign + Del_Mem_Sign on range(0) bytes with one genuine signature
// under range(1) junk records: well formed, signed by no one, each naming
// another signer absent from the directory (verdict 2). The work grows with
// the data plus the records, not with their product.
void ProviderCheckJunk(benchmark::State &state) {
  Guarded(state, [&] {
    World &w = World::Get();
    SignContext context(w);
    const std::size_t n = Size(state);
    const auto junk = static_cast<std::size_t>(state.range(1));
    constexpr std::size_t kRecord = 96;
    Buffer block = RandomData(n);
    block.resize(n + (junk + 1) * kRecord);
    int32_t length = static_cast<int32_t>(n);
    bench::CheckProvider(context.p.SignMemEx(block.data(), &length, w.Sender().signUid.c_str()),
                         "SignMemEx");
    // A record: signer (12), covered length (4), signature (64), zero (4),
    // version 2, algorithm 1, zero (2), "KSATTSIG".
    for (std::size_t i = 0; i < junk; ++i) {
      std::uint8_t *r = block.data() + length;
      std::memset(r, 0, kRecord);
      const std::string signer = std::to_string(900000000000 + i);
      std::memcpy(r, signer.data(), 12);
      for (int b = 0; b < 4; ++b)
        r[12 + b] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(length) >> (8 * b));
      std::memset(r + 16, 0x5A, 64);
      r[84] = 2;
      r[85] = 1;
      std::memcpy(r + 88, "KSATTSIG", 8);
      length += static_cast<int32_t>(kRecord);
    }
    for (auto _ : state) {
      uint8_t count = 0;
      bench::SignStatus *status = nullptr;
      bench::CheckProvider(context.p.check_mem_sign(block.data(), length, &count, &status),
                           "check_mem_sign");
      const bool judged = count == junk + 1 && status[count - 1].Verdict == 0;
      context.p.FreeMemory(status);
      int32_t shorter = length;
      bench::CheckProvider(context.p.Del_Mem_Sign(block.data(), &shorter, 1), "Del_Mem_Sign");
      if (!judged)
        state.SkipWithError("the genuine signature under the junk did not check out");
    }
    SetBytes(state, n);
  });
}

// ------------------------------------------------------------- module layer

cehost::Session &SessionFor(World &w, benchmark::State &state, int engines) {
  if (engines == 0)
    return w.SenderSession();
  return w.SenderEngine(state.thread_index() % engines);
}

void ModuleEncode(benchmark::State &state, bool reload) {
  Guarded(state, [&] {
    World &w = World::Get();
    cehost::Session &s = reload ? w.ReloadingSession() : w.SenderSession();
    const std::size_t n = Size(state);
    const int recipients = static_cast<int>(state.range(1));
    const std::string list = w.RecipientList(recipients);
    Buffer data = RandomData(n);
    data.resize(n + kestrel::EncryptedBlockOverhead(static_cast<std::size_t>(recipients)));
    for (auto _ : state) {
      int32_t size = static_cast<int32_t>(n);
      bench::Check(s, w.Api().EncodeData(s.Handle(), data.data(), &size, list.c_str()),
                   "EncodeData");
    }
    SetBytes(state, n);
  });
}

// EncodeData for the first recipient and VerifyData of the sender's
// signature with a directory of range(1) entries.
void ModuleEncodeSized(benchmark::State &state) {
  Guarded(state, [&] {
    World &w = World::Get();
    cehost::Session &s = w.SizedDirectorySession(static_cast<int>(state.range(1)));
    const std::size_t n = Size(state);
    const std::string list = w.RecipientList(1);
    Buffer data = RandomData(n);
    data.resize(n + 37 + 48);
    for (auto _ : state) {
      int32_t size = static_cast<int32_t>(n);
      bench::Check(s, w.Api().EncodeData(s.Handle(), data.data(), &size, list.c_str()),
                   "EncodeData");
    }
    SetBytes(state, n);
  });
}

void ModuleVerifySized(benchmark::State &state) {
  Guarded(state, [&] {
    World &w = World::Get();
    cehost::Session &s = w.SizedDirectorySession(static_cast<int>(state.range(1)));
    const std::size_t n = Size(state);
    const Buffer in = RandomData(n);
    Buffer signature(static_cast<std::size_t>(w.Api().GetMaxSignatureLength(s.Handle())));
    int32_t length = 0;
    bench::Check(s,
                 w.Api().SignData(s.Handle(), in.data(), static_cast<int32_t>(n), signature.data(),
                                  &length, nullptr),
                 "SignData");
    char signer[64] = {};
    for (auto _ : state)
      bench::Check(s,
                   w.Api().VerifyData(s.Handle(), in.data(), static_cast<int32_t>(n),
                                      signature.data(), length, signer),
                   "VerifyData");
    SetBytes(state, n);
  });
}

void ModuleDecode(benchmark::State &state) {
  Guarded(state, [&] {
    World &w = World::Get();
    cehost::Session &s = w.RecipientSession();
    const std::size_t n = Size(state);
    const Buffer block = EncryptedForRecipient(w, n);
    Buffer work(block.size());
    char sender[64] = {};
    for (auto _ : state) {
      state.PauseTiming();
      std::memcpy(work.data(), block.data(), block.size());
      state.ResumeTiming();
      int32_t size = static_cast<int32_t>(block.size());
      bench::Check(s, w.Api().DecodeData(s.Handle(), work.data(), &size, sender), "DecodeData");
    }
    SetBytes(state, n);
  });
}

void ModuleSign(benchmark::State &state, bool reload, int engines) {
  Guarded(state, [&] {
    World &w = World::Get();
    cehost::Session &s = reload ? w.ReloadingSession() : SessionFor(w, state, engines);
    const std::size_t n = Size(state);
    const Buffer in = RandomData(n);
    Buffer signature(static_cast<std::size_t>(w.Api().GetMaxSignatureLength(s.Handle())));
    for (auto _ : state) {
      int32_t length = 0;
      bench::Check(s,
                   w.Api().SignData(s.Handle(), in.data(), static_cast<int32_t>(n),
                                    signature.data(), &length, nullptr),
                   "SignData");
    }
    SetBytes(state, n);
  });
}

void ModuleVerify(benchmark::State &state) {
  Guarded(state, [&] {
    World &w = World::Get();
    cehost::Session &s = w.SenderSession();
    const std::size_t n = Size(state);
    const Buffer in = RandomData(n);
    Buffer signature(static_cast<std::size_t>(w.Api().GetMaxSignatureLength(s.Handle())));
    int32_t length = 0;
    bench::Check(s,
                 w.Api().SignData(s.Handle(), in.data(), static_cast<int32_t>(n), signature.data(),
                                  &length, nullptr),
                 "SignData");
    char signer[64] = {};
    for (auto _ : state)
      bench::Check(s,
                   w.Api().VerifyData(s.Handle(), in.data(), static_cast<int32_t>(n),
                                      signature.data(), length, signer),
                   "VerifyData");
    SetBytes(state, n);
  });
}

void ModuleAddSign(benchmark::State &state) {
  Guarded(state, [&] {
    World &w = World::Get();
    cehost::Session &s = w.SenderSession();
    const std::size_t n = Size(state);
    Buffer block = RandomData(n);
    block.resize(n + static_cast<std::size_t>(w.Api().GetMaxSignAddition(s.Handle())));
    for (auto _ : state) {
      int32_t size = static_cast<int32_t>(n);
      bench::Check(s, w.Api().AddSign(s.Handle(), block.data(), &size, nullptr), "AddSign");
    }
    SetBytes(state, n);
  });
}

void ModuleRemoveSign(benchmark::State &state) {
  Guarded(state, [&] {
    World &w = World::Get();
    cehost::Session &s = w.SenderSession();
    const std::size_t n = Size(state);
    Buffer block = RandomData(n);
    block.resize(n + static_cast<std::size_t>(w.Api().GetMaxSignAddition(s.Handle())));
    int32_t signedSize = static_cast<int32_t>(n);
    bench::Check(s, w.Api().AddSign(s.Handle(), block.data(), &signedSize, nullptr), "AddSign");
    const Buffer saved = block;
    char signer[64] = {};
    for (auto _ : state) {
      std::memcpy(block.data() + n, saved.data() + n, static_cast<std::size_t>(signedSize) - n);
      int32_t size = signedSize;
      bench::Check(s, w.Api().RemoveSign(s.Handle(), block.data(), &size, signer), "RemoveSign");
    }
    SetBytes(state, n);
  });
}

// ------------------------------------------------------------ registration

void Sizes(benchmark::internal::Benchmark *b) {
  for (auto n : kSizes)
    b->Arg(n);
  b->Unit(benchmark::kMicrosecond);
}

void SizesOneRecipient(benchmark::internal::Benchmark *b) {
  for (auto n : kSizes)
    b->Args({n, 1});
  b->Unit(benchmark::kMicrosecond);
}

void Recipients(benchmark::internal::Benchmark *b) {
  for (int r : {1, 2, 4, 16, 64})
    b->Args({kKiB, r});
  b->Unit(benchmark::kMicrosecond);
}

void OneKiB(benchmark::internal::Benchmark *b) { b->Arg(kKiB)->Unit(benchmark::kMicrosecond); }

void Register() {
  using benchmark::RegisterBenchmark;
  // Bulk encryption and decryption at the three layers.
  RegisterBenchmark("raw/encrypt_pipeline", RawEncrypt)->Apply(Sizes);
  RegisterBenchmark("provider/EnCryptMem", ProviderEncrypt)->Apply(SizesOneRecipient);
  RegisterBenchmark("module/EncodeData", ModuleEncode, false)->Apply(SizesOneRecipient);
  RegisterBenchmark("raw/decrypt_pipeline", RawDecrypt)->Apply(Sizes);
  RegisterBenchmark("provider/DeCryptMem", ProviderDecrypt)->Apply(Sizes);
  RegisterBenchmark("module/DecodeData", ModuleDecode)->Apply(Sizes);
  // Signatures at the three layers.
  RegisterBenchmark("raw/hash_sign", RawHashSign)->Apply(Sizes);
  RegisterBenchmark("provider/SignMemSeparateEx", ProviderSignDetached)->Apply(Sizes);
  RegisterBenchmark("module/SignData", ModuleSign, false, 0)->Apply(Sizes);
  RegisterBenchmark("raw/hash_verify", RawHashVerify)->Apply(Sizes);
  RegisterBenchmark("provider/CheckMemSeparate", ProviderVerifyDetached)->Apply(Sizes);
  RegisterBenchmark("module/VerifyData", ModuleVerify)->Apply(Sizes);
  RegisterBenchmark("provider/SignMemEx", ProviderSignAttached)->Apply(OneKiB);
  RegisterBenchmark("module/AddSign", ModuleAddSign)->Apply(OneKiB);
  RegisterBenchmark("provider/check_mem_sign+Del_Mem_Sign", ProviderCheckAndRemove)->Apply(OneKiB);
  RegisterBenchmark("module/RemoveSign", ModuleRemoveSign)->Apply(OneKiB);
  RegisterBenchmark("provider/check_mem_sign+Del_Mem_Sign/junk", ProviderCheckJunk)
      ->Args({4 * kMiB, 0})
      ->Args({4 * kMiB, 254})
      ->Unit(benchmark::kMillisecond);
  // The primitives on their own.
  RegisterBenchmark("raw/streebog256", RawStreebog)->Apply(Sizes);
  RegisterBenchmark("raw/sign", RawSign)->Unit(benchmark::kMicrosecond);
  RegisterBenchmark("raw/verify", RawVerify)->Unit(benchmark::kMicrosecond);
  RegisterBenchmark("raw/vko", RawVko)->Unit(benchmark::kMicrosecond);
#if defined(CE_BENCH_OPENSSL)
  RegisterBenchmark("raw_openssl/hash_sign", OsslHashSign)->Apply(Sizes);
  RegisterBenchmark("raw_openssl/hash_verify", OsslHashVerify)->Apply(Sizes);
  RegisterBenchmark("raw_openssl/sign", OsslSign)->Unit(benchmark::kMicrosecond);
  RegisterBenchmark("raw_openssl/verify", OsslVerify)->Unit(benchmark::kMicrosecond);
  RegisterBenchmark("raw_openssl/vko", OsslVko)->Unit(benchmark::kMicrosecond);
#endif
  // Scaling with recipients.
  RegisterBenchmark("scaling/recipients/provider/EnCryptMem", ProviderEncrypt)->Apply(Recipients);
  RegisterBenchmark("scaling/recipients/module/EncodeData", ModuleEncode, false)->Apply(Recipients);
  // Directory size: the lookup does not grow with the entries.
  for (int entries : {10, 10000}) {
    RegisterBenchmark("scaling/directory/module/EncodeData", ModuleEncodeSized)
        ->Args({kKiB, entries})
        ->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("scaling/directory/module/VerifyData", ModuleVerifySized)
        ->Args({kKiB, entries})
        ->Unit(benchmark::kMicrosecond);
  }
  // Host threads on one engine and on one engine per thread: the module
  // serialises library work, so the aggregate rate should stay flat.
  for (int engines : {0, 8})
    RegisterBenchmark(engines == 0 ? "scaling/threads/one_engine/SignData"
                                   : "scaling/threads/engine_per_thread/SignData",
                      ModuleSign, false, engines)
        ->Arg(kKiB)
        ->ThreadRange(1, 8)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  // The key cache: a hit against a reload from the key device every call.
  RegisterBenchmark("cache/hit/SignData", ModuleSign, false, 0)->Apply(OneKiB);
  RegisterBenchmark("cache/reload/SignData", ModuleSign, true, 0)->Apply(OneKiB);
  RegisterBenchmark("cache/hit/EncodeData", ModuleEncode, false)->Args({kKiB, 1});
  RegisterBenchmark("cache/reload/EncodeData", ModuleEncode, true)->Args({kKiB, 1});
}

} // namespace

int main(int argc, char **argv) {
  Register();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
