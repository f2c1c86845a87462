// AES-128-GCM, ChaCha20, ChaCha20-Poly1305 and XTS-AES-128 encryption of 16 KiB through the cipher
// object next to OpenSSL's EVP on the same bytes. Each iteration sets the key and nonce up and runs one
// final call, on both sides. "Portable" keeps our AES and GHASH on the table paths. OpenSSL's portable
// figures come first, from a copy of the program run with OpenSSL masked.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <vector>

#include "crypto/cipher/aead.h"
#include "crypto/cipher/aes.h"
#include "crypto/cipher/internal_cipher.h"
#include "bench/bench_data.h"
#include "bench/bench_helpers.h"

namespace {

VELMORA_BENCH_MASKED_OPENSSL()

using namespace velmora;
using namespace velmora::crypto;

constexpr int32_t kLength = bench::kBenchLength;

const std::vector<uint8_t>& Data() { return bench::BenchData(); }

void Ours(benchmark::State& state, int32_t algorithm, int32_t mode, int32_t key_bytes, int32_t iv_bytes, bool portable,
          const char* options = nullptr) {
  SetPortableAes(portable);
  SetPortableGhash(portable);
  SetPortableChaCha(portable);
  const uint8_t* key = Data().data() + kLength;
  const uint8_t* iv = Data().data() + kLength + 32;
  InternalCipher cipher;
  core::Buffer out;
  for (auto _ : state) {
    if (out.SetData(1000, nullptr) != 0) state.SkipWithError("buffer");
    int32_t length = kLength;
    if (cipher.Init(algorithm, key, key_bytes, iv, iv_bytes, 0, mode, 0, options) != 0 ||
        cipher.Encrypt(Data().data(), 0, &length, out, 1) != 0) {
      state.SkipWithError("cipher");
    }
    benchmark::DoNotOptimize(out.Data());
  }
  SetPortableAes(false);
  SetPortableGhash(false);
  SetPortableChaCha(false);
  state.SetBytesProcessed(state.iterations() * kLength);
}

void OpenSsl(benchmark::State& state, const char* name, int32_t iv_bytes, bool aead, bool decrypt = false) {
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::vector<unsigned char> out(kLength + 32);
  const uint8_t* key = Data().data() + kLength;
  std::vector<uint8_t> iv(Data().data() + kLength + 32, Data().data() + kLength + 32 + iv_bytes);
  // XTS refuses equal key halves and ChaCha20's IV is counter then nonce: both take the bytes as given.
  for (auto _ : state) {
    int n = 0, tail = 0;
    unsigned char tag[16];
    if (EVP_CipherInit_ex2(ctx, cipher, key, iv.data(), decrypt ? 0 : 1, nullptr) != 1 ||
        EVP_CipherUpdate(ctx, out.data(), &n, Data().data(), kLength) != 1 ||
        EVP_CipherFinal_ex(ctx, out.data() + n, &tail) != 1 ||
        (aead && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, tag) != 1)) {
      state.SkipWithError("openssl");
    }
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  state.SetBytesProcessed(state.iterations() * kLength);
}

// XTS runs the 16 KiB as one data unit, as OpenSSL does.
constexpr const char* kOneUnit = "AESXTSDataUnitLength=16384";

// OursAesNi runs Ours with AES held on 128-bit AES-NI (no VAES); Ours itself sets the path back first.
// XTS also runs the other way (the 16 KiB taken as ciphertext).
void OursAesNi(benchmark::State& state, int32_t mode, int32_t key_bytes, int32_t iv_bytes, const char* options,
               bool decrypt = false) {
  const int32_t algorithm = mode == kModeXts ? kCipherAes : kCipherAesGcm;
  const uint8_t* key = Data().data() + kLength;
  const uint8_t* iv = Data().data() + kLength + 32;
  internal::ForceAesPath(internal::AesPath::kNarrow);
  InternalCipher cipher;
  core::Buffer out;
  for (auto _ : state) {
    if (out.SetData(1000, nullptr) != 0) state.SkipWithError("buffer");
    int32_t length = kLength;
    if (cipher.Init(algorithm, key, key_bytes, iv, iv_bytes, decrypt ? 1 : 0, mode, 0, options) != 0 ||
        cipher.Encrypt(Data().data(), 0, &length, out, 1) != 0) {
      state.SkipWithError("cipher");
    }
    benchmark::DoNotOptimize(out.Data());
  }
  internal::ForceAesPath(internal::AesPath::kWide);
  state.SetBytesProcessed(state.iterations() * kLength);
}

void BM_Aes128Gcm_Ours(benchmark::State& s) { Ours(s, kCipherAesGcm, 0, 16, 12, false); }
void BM_Aes128Gcm_OursAesNi(benchmark::State& s) { OursAesNi(s, 0, 16, 12, nullptr); }
void BM_Aes128Gcm_OursPortable(benchmark::State& s) { Ours(s, kCipherAesGcm, 0, 16, 12, true); }
void BM_Aes128Gcm_OpenSsl(benchmark::State& s) { OpenSsl(s, "AES-128-GCM", 12, true); }
void BM_ChaCha20_Ours(benchmark::State& s) { Ours(s, kCipherChaCha20, 0, 32, 12, false); }
// ChaCha20 and Poly1305 "Portable": plain words instead of the AVX2 lanes.
void BM_ChaCha20_OursPortable(benchmark::State& s) { Ours(s, kCipherChaCha20, 0, 32, 12, true); }
void BM_ChaCha20_OpenSsl(benchmark::State& s) { OpenSsl(s, "ChaCha20", 16, false); }
void BM_ChaCha20Poly1305_Ours(benchmark::State& s) { Ours(s, kCipherChaCha20Poly1305, 0, 32, 12, false); }
void BM_ChaCha20Poly1305_OursPortable(benchmark::State& s) { Ours(s, kCipherChaCha20Poly1305, 0, 32, 12, true); }
void BM_ChaCha20Poly1305_OpenSsl(benchmark::State& s) { OpenSsl(s, "ChaCha20-Poly1305", 12, true); }
void BM_Aes128Xts_Ours(benchmark::State& s) { Ours(s, kCipherAes, kModeXts, 32, 0, false, kOneUnit); }
void BM_Aes128Xts_OursAesNi(benchmark::State& s) { OursAesNi(s, kModeXts, 32, 0, kOneUnit); }
void BM_Aes128Xts_OursPortable(benchmark::State& s) { Ours(s, kCipherAes, kModeXts, 32, 0, true, kOneUnit); }
void BM_Aes128Xts_OpenSsl(benchmark::State& s) { OpenSsl(s, "AES-128-XTS", 16, false); }
void BM_Aes128XtsDecrypt_OursAesNi(benchmark::State& s) { OursAesNi(s, kModeXts, 32, 0, kOneUnit, true); }
void BM_Aes128XtsDecrypt_OpenSsl(benchmark::State& s) { OpenSsl(s, "AES-128-XTS", 16, false, true); }

BENCHMARK(BM_Aes128Gcm_Ours);
BENCHMARK(BM_Aes128Gcm_OursAesNi);
BENCHMARK(BM_Aes128Gcm_OursPortable);
BENCHMARK(BM_Aes128Gcm_OpenSsl);
BENCHMARK(BM_ChaCha20_Ours);
BENCHMARK(BM_ChaCha20_OursPortable);
BENCHMARK(BM_ChaCha20_OpenSsl);
BENCHMARK(BM_ChaCha20Poly1305_Ours);
BENCHMARK(BM_ChaCha20Poly1305_OursPortable);
BENCHMARK(BM_ChaCha20Poly1305_OpenSsl);
BENCHMARK(BM_Aes128Xts_Ours);
BENCHMARK(BM_Aes128Xts_OursAesNi);
BENCHMARK(BM_Aes128Xts_OursPortable);
BENCHMARK(BM_Aes128Xts_OpenSsl);
BENCHMARK(BM_Aes128XtsDecrypt_OursAesNi);
BENCHMARK(BM_Aes128XtsDecrypt_OpenSsl);

}  // namespace
