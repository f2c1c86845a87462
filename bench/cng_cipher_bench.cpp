// CngCipher (the platform cipher object over the crypto modules' BCrypt entry points) next to OpenSSL's
// EVP called directly, on the same 16 KiB: AES-128-CBC encryption and decryption, AES-128-CTR, ECB and
// XTS (one 16 KiB data unit, as OpenSSL takes it), and AES-128-GCM encryption of 1 and 16 KiB with its
// tag. Each iteration configures the key and IV and runs one final call, on both sides. CTR lays its
// counter blocks out and encrypts a run of up to 16 KiB of them in one platform call; the _Portable row
// lays the counters out and XORs without AVX2.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/bench_data.h"
#include "bench/evp_cipher_bench.h"
#include "crypto/cipher/block_modes.h"
#include "crypto/providers/bcrypt_cipher_functions.h"
#include "crypto/providers/cng_cipher.h"

namespace {

using namespace velmora;
using namespace velmora::crypto;

constexpr int32_t kLength = bench::kBenchLength;

const std::vector<uint8_t>& Data() { return bench::BenchData(); }

// The XTS rows run the 16 KiB as one data unit.
constexpr const char* kOneUnit = "AESXTSDataUnitLength=16384";

void Platform(benchmark::State& state, int32_t mode, bool decrypt, int32_t engine = kEngineCipherAes,
              int32_t size = kLength) {
  LoadBcryptCipherFunctions();
  const uint8_t* key = Data().data() + kLength;
  const uint8_t* iv = Data().data() + kLength + 32;
  const int32_t key_bytes = mode == kModeXts ? 32 : 16;
  const int32_t iv_bytes = engine == kEngineCipherAesGcm ? 12 : 16;
  const char* options = mode == kModeXts ? kOneUnit : nullptr;
  {
    CngCipher cipher;
    core::Buffer out;
    for (auto _ : state) {
      if (out.SetData(1000, nullptr) != 0) state.SkipWithError("buffer");
      int32_t length = size;
      const bool gcm = engine == kEngineCipherAesGcm;
      if (cipher.SetConfig(engine, key, key_bytes, iv, iv_bytes, decrypt ? 1 : 0, gcm ? 0 : mode, kPaddingNone,
                           options) != 0 ||
          (gcm && cipher.ReInitAead(iv, iv_bytes, 16, nullptr, 0, 0) != 0) ||
          (gcm ? cipher.EncryptAead(Data().data(), 0, &length, out, 1)
               : decrypt ? cipher.Decrypt(Data().data(), 0, &length, out, 1)
                         : cipher.Encrypt(Data().data(), 0, &length, out, 1)) != 0) {
        state.SkipWithError("cipher");
      }
      benchmark::DoNotOptimize(out.Data());
    }
  }
  FreeBcryptCipherFunctions();
  state.SetBytesProcessed(state.iterations() * size);
}

void BM_Aes128CbcEncrypt_Cng(benchmark::State& state) { Platform(state, kModeCbc, false); }
void BM_Aes128CbcEncrypt_OpenSsl(benchmark::State& state) { bench::EvpCipherBench(state, "AES-128-CBC", false); }
void BM_Aes128CbcDecrypt_Cng(benchmark::State& state) { Platform(state, kModeCbc, true); }
void BM_Aes128CbcDecrypt_OpenSsl(benchmark::State& state) { bench::EvpCipherBench(state, "AES-128-CBC", true); }
void BM_Aes128Ctr_Cng(benchmark::State& state) { Platform(state, kModeCtr, false); }
void BM_Aes128Ctr_OpenSsl(benchmark::State& state) { bench::EvpCipherBench(state, "AES-128-CTR", false); }
void BM_Aes128Ecb_Cng(benchmark::State& state) { Platform(state, kModeEcb, false); }
void BM_Aes128Ecb_OpenSsl(benchmark::State& state) { bench::EvpCipherBench(state, "AES-128-ECB", false); }
void BM_Aes128Xts_Cng(benchmark::State& state) { Platform(state, kModeXts, false); }
void BM_Aes128Xts_OpenSsl(benchmark::State& state) { bench::EvpCipherBench(state, "AES-128-XTS", false); }
// GCM: the argument is the message length; both sides give a 16-byte tag.
void BM_Aes128Gcm_Cng(benchmark::State& state) {
  Platform(state, kModeGcm, false, kEngineCipherAesGcm, static_cast<int32_t>(state.range(0)));
}
void BM_Aes128Gcm_OpenSsl(benchmark::State& state) {
  bench::EvpCipherBench(state, "AES-128-GCM", false, static_cast<int32_t>(state.range(0)));
}
// The same CTR with the counters laid out one at a time and the XOR off AVX2.
void BM_Aes128Ctr_Cng_Portable(benchmark::State& state) {
  internal::ForcePortableCtrCounters(true);
  internal::ForcePortableXor(true);
  Platform(state, kModeCtr, false);
  internal::ForcePortableCtrCounters(false);
  internal::ForcePortableXor(false);
}

BENCHMARK(BM_Aes128CbcEncrypt_Cng);
BENCHMARK(BM_Aes128CbcEncrypt_OpenSsl);
BENCHMARK(BM_Aes128CbcDecrypt_Cng);
BENCHMARK(BM_Aes128CbcDecrypt_OpenSsl);
BENCHMARK(BM_Aes128Ctr_Cng);
BENCHMARK(BM_Aes128Ctr_OpenSsl);
BENCHMARK(BM_Aes128Ctr_Cng_Portable);
BENCHMARK(BM_Aes128Ecb_Cng);
BENCHMARK(BM_Aes128Ecb_OpenSsl);
BENCHMARK(BM_Aes128Xts_Cng);
BENCHMARK(BM_Aes128Xts_OpenSsl);
BENCHMARK(BM_Aes128Gcm_Cng)->Arg(1024)->Arg(kLength);
BENCHMARK(BM_Aes128Gcm_OpenSsl)->Arg(1024)->Arg(kLength);

}  // namespace
