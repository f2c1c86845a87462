// Key derivation next to its references in the same run: PBKDF2-HMAC-SHA256 at 10,000 iterations
// against OpenSSL's PKCS5_PBKDF2_HMAC, Argon2id (t = 3, m = 64 MiB, p = 1) against libgcrypt when it is
// built in, bcrypt-pbkdf at 16 rounds, and Blowfish-ECB over 16 KiB against OpenSSL's legacy BF.
// OpenSSL's portable figures come first, from a copy of the program run with OpenSSL masked; the
// "Portable" PBKDF2 runs SHA-256 without the SHA extensions.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "component/component_base.h"
#include "component/config_setting_parts.h"
#include "crypto/kdf/argon2.h"
#include "crypto/cipher/blowfish.h"
#include "crypto/digest/digest_cores.h"
#include "crypto/objects/password_kdf.h"

#ifndef VELMORA_HAVE_GCRYPT
#define VELMORA_HAVE_GCRYPT 0
#endif
#if VELMORA_HAVE_GCRYPT
#include <gcrypt.h>
#include "bench/bench_helpers.h"
#endif

namespace {

VELMORA_BENCH_MASKED_OPENSSL()

using namespace velmora;
using namespace velmora::crypto;

constexpr char kPassword[] = "correct horse battery staple";
constexpr uint8_t kSalt[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr int kPbkdf2Iterations = 10000;
constexpr int kArgon2Passes = 3;
constexpr int kArgon2MemoryKib = 64 * 1024;

void Pbkdf2Ours(benchmark::State& state, bool portable) {
  SetPortableDigests(portable);
  uint8_t out[32];
  for (auto _ : state) {
    if (Pbkdf2ByHmacId(kEngineHmacSha256, reinterpret_cast<const uint8_t*>(kPassword), sizeof kPassword - 1, kSalt,
                       sizeof kSalt, kPbkdf2Iterations, sizeof out, out) != 0) {
      state.SkipWithError("pbkdf2");
    }
    benchmark::DoNotOptimize(out);
  }
  SetPortableDigests(false);
}

void Pbkdf2OpenSsl(benchmark::State& state) {
  uint8_t out[32];
  for (auto _ : state) {
    if (PKCS5_PBKDF2_HMAC(kPassword, sizeof kPassword - 1, kSalt, sizeof kSalt, kPbkdf2Iterations, EVP_sha256(),
                          sizeof out, out) != 1) {
      state.SkipWithError("openssl");
    }
    benchmark::DoNotOptimize(out);
  }
}

void Argon2Ours(benchmark::State& state) {
  Argon2Params params;
  params.type = kArgon2id;
  params.passes = kArgon2Passes;
  params.memory_kib = kArgon2MemoryKib;
  params.lanes = 1;
  params.tag_length = 32;
  if (params.salt.SetData(sizeof kSalt, kSalt) != 0) state.SkipWithError("salt");
  core::Buffer out;
  for (auto _ : state) {
    if (Argon2Hash(params, reinterpret_cast<const uint8_t*>(kPassword), sizeof kPassword - 1, out) != 0) {
      state.SkipWithError("argon2");
    }
    benchmark::DoNotOptimize(out.Data());
  }
}

#if VELMORA_HAVE_GCRYPT
void Argon2Gcrypt(benchmark::State& state) {
  gcry_check_version(nullptr);
  unsigned long params[4] = {32, kArgon2Passes, kArgon2MemoryKib, 1};
  uint8_t out[32];
  for (auto _ : state) {
    gcry_kdf_hd_t hd = nullptr;
    if (gcry_kdf_open(&hd, GCRY_KDF_ARGON2, GCRY_KDF_ARGON2ID, params, 4, kPassword, sizeof kPassword - 1, kSalt,
                      sizeof kSalt, nullptr, 0, nullptr, 0) != 0 ||
        gcry_kdf_compute(hd, nullptr) != 0 || gcry_kdf_final(hd, sizeof out, out) != 0) {
      state.SkipWithError("libgcrypt");
    }
    gcry_kdf_close(hd);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(Argon2Gcrypt)->Unit(benchmark::kMillisecond);
#endif

// UseInternalDigests keeps SHA-512 on the internal digest, which has no platform provider to go to here.
void UseInternalDigests() {
  component::ComponentBase component;
  component::ConfigSettingParts parts;
  if (parts.Parse("UseInternalCryptoAPI=true", 0) == 0) (void)component.Config(parts, nullptr);
}

void BcryptPbkdf16(benchmark::State& state) {
  UseInternalDigests();
  core::Buffer password;
  core::Buffer key;
  core::Buffer iv;
  if (password.SetString(kPassword) != 0) state.SkipWithError("password");
  for (auto _ : state) {
    if (BcryptPbkdf(password, "bcrypt", kSalt, sizeof kSalt, 16, key, iv) != 0) state.SkipWithError("bcrypt");
    benchmark::DoNotOptimize(key.Data());
  }
}

const std::vector<uint8_t>& Blocks() {
  static const std::vector<uint8_t> data(16384, 0x5a);
  return data;
}

void BlowfishOurs(benchmark::State& state) {
  static uint32_t p[kBlowfishPWords];
  static uint32_t s[4][kBlowfishSWords];
  BlowfishSetKey(kSalt, sizeof kSalt, p, s[0], s[1], s[2], s[3]);
  std::vector<uint8_t> out(Blocks().size());
  for (auto _ : state) {
    for (size_t at = 0; at < out.size(); at += 8) {
      BlowfishEncryptBlock(p, s[0], s[1], s[2], s[3], Blocks().data() + at, out.data() + at);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
}

void BlowfishOpenSsl(benchmark::State& state) {
  static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  static OSSL_PROVIDER* fallback = OSSL_PROVIDER_load(nullptr, "default");
  (void)fallback;
  EVP_CIPHER* cipher = legacy != nullptr ? EVP_CIPHER_fetch(nullptr, "BF-ECB", "provider=legacy") : nullptr;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (cipher == nullptr || EVP_EncryptInit_ex(ctx, cipher, nullptr, kSalt, nullptr) != 1) {
    state.SkipWithError("no legacy BF-ECB");
  }
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  std::vector<uint8_t> out(Blocks().size());
  int length = 0;
  for (auto _ : state) {
    EVP_EncryptUpdate(ctx, out.data(), &length, Blocks().data(), static_cast<int>(Blocks().size()));
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
}

BENCHMARK_CAPTURE(Pbkdf2Ours, Fast, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Pbkdf2Ours, Portable, true)->Unit(benchmark::kMillisecond);
BENCHMARK(Pbkdf2OpenSsl)->Unit(benchmark::kMillisecond);
BENCHMARK(Argon2Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BcryptPbkdf16)->Unit(benchmark::kMillisecond);
BENCHMARK(BlowfishOurs);
BENCHMARK(BlowfishOpenSsl);

}  // namespace
