// 3DES-CBC, CAST5-CBC, Blowfish-CBC decryption, RC4 and Twofish-CBC through the cipher object next to
// OpenSSL's legacy provider (libgcrypt for Twofish) on the same 16 KiB. Each iteration sets the key and
// IV up and runs one final call, on both sides.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdint>
#include <random>
#include <vector>

#include "crypto/cipher/internal_cipher.h"
#include "bench/bench_data.h"

#ifdef VELMORA_HAVE_GCRYPT
#include <gcrypt.h>
#endif

namespace {

using namespace velmora;
using namespace velmora::crypto;

constexpr int32_t kLength = bench::kBenchLength;

const std::vector<uint8_t>& Data() { return bench::BenchData(); }

void Ours(benchmark::State& state, int32_t algorithm, int32_t key_bytes, int32_t iv_bytes, bool decrypt) {
  const uint8_t* key = Data().data() + kLength;
  const uint8_t* iv = iv_bytes > 0 ? Data().data() + kLength + 32 : nullptr;
  InternalCipher cipher;
  core::Buffer out;
  for (auto _ : state) {
    if (out.SetData(1000, nullptr) != 0) state.SkipWithError("buffer");
    int32_t length = kLength;
    if (cipher.Init(algorithm, key, key_bytes, iv, iv_bytes, decrypt ? 1 : 0, 0, kPaddingNone, nullptr) != 0 ||
        cipher.Encrypt(Data().data(), 0, &length, out, 1) != 0) {
      state.SkipWithError("cipher");
    }
    benchmark::DoNotOptimize(out.Data());
  }
  state.SetBytesProcessed(state.iterations() * kLength);
}

void OpenSsl(benchmark::State& state, const char* name, int key_bytes, bool decrypt) {
  static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  static OSSL_PROVIDER* fallback = OSSL_PROVIDER_load(nullptr, "default");
  if (legacy == nullptr || fallback == nullptr) {
    state.SkipWithError("no legacy provider");
    return;
  }
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::vector<unsigned char> out(kLength + 32);
  const uint8_t* key = Data().data() + kLength;
  const uint8_t* iv = Data().data() + kLength + 32;
  for (auto _ : state) {
    int n = 0, tail = 0;
    if (EVP_CipherInit_ex2(ctx, cipher, nullptr, nullptr, decrypt ? 0 : 1, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_key_length(ctx, key_bytes) != 1 ||
        EVP_CipherInit_ex2(ctx, nullptr, key, iv, decrypt ? 0 : 1, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx, 0) != 1 ||
        EVP_CipherUpdate(ctx, out.data(), &n, Data().data(), kLength) != 1 ||
        EVP_CipherFinal_ex(ctx, out.data() + n, &tail) != 1) {
      state.SkipWithError("openssl");
    }
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  state.SetBytesProcessed(state.iterations() * kLength);
}

#define VELMORA_BLOCK_BENCH(label, algorithm, key_bytes, iv_bytes, decrypt, openssl_name)                     \
  void BM_##label##_Ours(benchmark::State& state) { Ours(state, algorithm, key_bytes, iv_bytes, decrypt); } \
  void BM_##label##_OpenSsl(benchmark::State& state) { OpenSsl(state, openssl_name, key_bytes, decrypt); }  \
  BENCHMARK(BM_##label##_Ours);                                                                            \
  BENCHMARK(BM_##label##_OpenSsl);

VELMORA_BLOCK_BENCH(TripleDesCbcEncrypt, kCipher3Des, 24, 8, false, "DES-EDE3-CBC")
VELMORA_BLOCK_BENCH(Cast5CbcEncrypt, kCipherCast5, 16, 8, false, "CAST5-CBC")
VELMORA_BLOCK_BENCH(BlowfishCbcDecrypt, kCipherBlowfish, 16, 8, true, "BF-CBC")
VELMORA_BLOCK_BENCH(Rc4, kCipherRc4, 16, 0, false, "RC4")

void BM_TwofishCbcEncrypt_Ours(benchmark::State& state) { Ours(state, kCipherTwofish, 32, 16, false); }
BENCHMARK(BM_TwofishCbcEncrypt_Ours);

#ifdef VELMORA_HAVE_GCRYPT
void BM_TwofishCbcEncrypt_Libgcrypt(benchmark::State& state) {
  gcry_check_version(nullptr);
  gcry_cipher_hd_t handle = nullptr;
  if (gcry_cipher_open(&handle, GCRY_CIPHER_TWOFISH, GCRY_CIPHER_MODE_CBC, 0) != 0) {
    state.SkipWithError("libgcrypt");
    return;
  }
  std::vector<unsigned char> out(kLength);
  for (auto _ : state) {
    if (gcry_cipher_setkey(handle, Data().data() + kLength, 32) != 0 ||
        gcry_cipher_setiv(handle, Data().data() + kLength + 32, 16) != 0 ||
        gcry_cipher_encrypt(handle, out.data(), kLength, Data().data(), kLength) != 0) {
      state.SkipWithError("libgcrypt");
    }
    benchmark::DoNotOptimize(out.data());
  }
  gcry_cipher_close(handle);
  state.SetBytesProcessed(state.iterations() * kLength);
}
BENCHMARK(BM_TwofishCbcEncrypt_Libgcrypt);
#endif

}  // namespace
