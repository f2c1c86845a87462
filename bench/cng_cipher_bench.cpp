// CngCipher (the platform cipher object over the crypto modules' BCrypt entry points) next to OpenSSL's
// EVP called directly, on the same 16 KiB: AES-128-CBC encryption and decryption and AES-128-CTR. Each
// iteration configures the key and IV and runs one final call, on both sides. CTR lays its counter
// blocks out and encrypts a run of up to 16 KiB of them in one platform call; the _Portable row lays the
// counters out and XORs without AVX2.
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

void Platform(benchmark::State& state, int32_t mode, bool decrypt) {
  LoadBcryptCipherFunctions();
  const uint8_t* key = Data().data() + kLength;
  const uint8_t* iv = Data().data() + kLength + 32;
  {
    CngCipher cipher;
    core::Buffer out;
    for (auto _ : state) {
      if (out.SetData(1000, nullptr) != 0) state.SkipWithError("buffer");
      int32_t length = kLength;
      if (cipher.SetConfig(kEngineCipherAes, key, 16, iv, 16, decrypt ? 1 : 0, mode, kPaddingNone, nullptr) != 0 ||
          (decrypt ? cipher.Decrypt(Data().data(), 0, &length, out, 1)
                   : cipher.Encrypt(Data().data(), 0, &length, out, 1)) != 0) {
        state.SkipWithError("cipher");
      }
      benchmark::DoNotOptimize(out.Data());
    }
  }
  FreeBcryptCipherFunctions();
  state.SetBytesProcessed(state.iterations() * kLength);
}

void BM_Aes128CbcEncrypt_Cng(benchmark::State& state) { Platform(state, kModeCbc, false); }
void BM_Aes128CbcEncrypt_OpenSsl(benchmark::State& state) { bench::EvpCipherBench(state, "AES-128-CBC", false); }
void BM_Aes128CbcDecrypt_Cng(benchmark::State& state) { Platform(state, kModeCbc, true); }
void BM_Aes128CbcDecrypt_OpenSsl(benchmark::State& state) { bench::EvpCipherBench(state, "AES-128-CBC", true); }
void BM_Aes128Ctr_Cng(benchmark::State& state) { Platform(state, kModeCtr, false); }
void BM_Aes128Ctr_OpenSsl(benchmark::State& state) { bench::EvpCipherBench(state, "AES-128-CTR", false); }
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

}  // namespace
