// AES-128 and AES-256 throughput through the cipher object next to OpenSSL's EVP on the same 16 KiB:
// ECB encryption, CBC encryption and decryption, CTR. Each iteration sets the key and IV up and runs
// one final call, on both sides. "Portable" keeps our AES on the table path and "AesNi" on 128-bit AES-NI (no
// VAES). OpenSSL's portable figures come first, from a copy of the program run with OpenSSL masked.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <vector>

#include "crypto/cipher/aes.h"
#include "crypto/cipher/internal_cipher.h"
#include "bench/bench_data.h"
#include "bench/evp_cipher_bench.h"
#include "bench/bench_helpers.h"

namespace {

VELMORA_BENCH_MASKED_OPENSSL()

using namespace velmora;
using namespace velmora::crypto;

constexpr int32_t kLength = bench::kBenchLength;

const std::vector<uint8_t>& Data() { return bench::BenchData(); }

void Ours(benchmark::State& state, int32_t key_bytes, int32_t mode, bool decrypt, internal::AesPath path) {
  internal::ForceAesPath(path);
  const uint8_t* key = Data().data() + kLength;
  const uint8_t* iv = Data().data() + kLength + 32;
  InternalCipher cipher;
  core::Buffer out;
  for (auto _ : state) {
    // The output keeps its heap block between iterations: a length above the inline size stays there.
    if (out.SetData(1000, nullptr) != 0) state.SkipWithError("buffer");
    int32_t length = kLength;
    if (cipher.Init(kCipherAes, key, key_bytes, iv, 16, decrypt ? 1 : 0, mode, kPaddingNone, nullptr) != 0 ||
        cipher.Encrypt(Data().data(), 0, &length, out, 1) != 0) {
      state.SkipWithError("cipher");
    }
    benchmark::DoNotOptimize(out.Data());
  }
  internal::ForceAesPath(internal::AesPath::kWide);
  state.SetBytesProcessed(state.iterations() * kLength);
}

#define VELMORA_CIPHER_BENCH(label, key_bytes, mode, decrypt, openssl_name)                                  \
  void BM_##label##_Ours(benchmark::State& state) { Ours(state, key_bytes, mode, decrypt, internal::AesPath::kWide); } \
  void BM_##label##_OursAesNi(benchmark::State& state) {                                                  \
    Ours(state, key_bytes, mode, decrypt, internal::AesPath::kNarrow);                                    \
  }                                                                                                       \
  void BM_##label##_OursPortable(benchmark::State& state) {                                               \
    Ours(state, key_bytes, mode, decrypt, internal::AesPath::kPortable);                                  \
  }                                                                                                       \
  void BM_##label##_OpenSsl(benchmark::State& state) { bench::EvpCipherBench(state, openssl_name, decrypt); } \
  BENCHMARK(BM_##label##_Ours);                                                                           \
  BENCHMARK(BM_##label##_OursAesNi);                                                                      \
  BENCHMARK(BM_##label##_OursPortable);                                                                   \
  BENCHMARK(BM_##label##_OpenSsl);

VELMORA_CIPHER_BENCH(Aes128EcbEncrypt, 16, kModeEcb, false, "AES-128-ECB")
VELMORA_CIPHER_BENCH(Aes128CbcEncrypt, 16, kModeCbc, false, "AES-128-CBC")
VELMORA_CIPHER_BENCH(Aes128CbcDecrypt, 16, kModeCbc, true, "AES-128-CBC")
VELMORA_CIPHER_BENCH(Aes128Ctr, 16, kModeCtr, false, "AES-128-CTR")
VELMORA_CIPHER_BENCH(Aes256EcbEncrypt, 32, kModeEcb, false, "AES-256-ECB")
VELMORA_CIPHER_BENCH(Aes256CbcEncrypt, 32, kModeCbc, false, "AES-256-CBC")
VELMORA_CIPHER_BENCH(Aes256CbcDecrypt, 32, kModeCbc, true, "AES-256-CBC")
VELMORA_CIPHER_BENCH(Aes256Ctr, 32, kModeCtr, false, "AES-256-CTR")

}  // namespace
