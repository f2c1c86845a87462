// The default-mode one-shots as callers use them (a component, the provider choice, the object, the
// process's cached algorithm handle) next to OpenSSL's one-call forms: SHA-256 and HMAC-SHA256 of 64 bytes
// against EVP_Digest and HMAC(), AES-128-CBC of 16 bytes against EVP, each also with UseInternalCryptoAPI on.
// And BigInt::ToText of a 4096-bit number in radix 10 against BN_bn2dec.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdint>
#include <random>
#include <vector>

#include "bench/bench_helpers.h"
#include "component/component_base.h"
#include "component/config_setting_parts.h"
#include "crypto/bn/big_int.h"
#include "crypto/objects/cipher_selection.h"
#include "crypto/objects/hash_objects.h"
#include "crypto/providers/provider_tables.h"

namespace {

using namespace velmora;
using namespace velmora::crypto;

const uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const uint8_t kData[64] = {42};

// Each library case runs with the platform tables loaded, as after the library's start-up.
template <typename Body>
void WithProviders(benchmark::State& state, bool internal, Body body) {
  bench::SetInternalOnly(internal);
  CryptoProvidersStaticInit();
  core::Buffer out;
  for (auto _ : state) {
    if (body(out) != 0) state.SkipWithError("failed");
    benchmark::DoNotOptimize(out.Data());
  }
  CryptoProvidersStaticDestroy();
  bench::SetInternalOnly(false);
}

int Sha256(core::Buffer& out) { return ComputeHash(kEngineSha256, kData, 64, out); }
int HmacSha256(core::Buffer& out) { return ComputeHmac(kEngineHmacSha256, kKey, 16, kData, 64, out); }
int Aes128Cbc(core::Buffer& out) {
  component::CryptoComponent component;
  const CipherInit init{kKey, 16, kKey, 16, 0, kModeCbc, 0, nullptr};
  int rc = SelectCipherProvider(component, kEngineCipherAes, init, kProviderDefault);
  int32_t length = 16;
  (void)out.Clear();
  if (rc == 0) rc = HeldCipher(component)->Encrypt(kData, 0, &length, out, 1);
  return rc;
}

void BM_Sha256_DefaultMode(benchmark::State& state) { WithProviders(state, false, Sha256); }
void BM_Sha256_Internal(benchmark::State& state) { WithProviders(state, true, Sha256); }
void BM_HmacSha256_DefaultMode(benchmark::State& state) { WithProviders(state, false, HmacSha256); }
void BM_HmacSha256_Internal(benchmark::State& state) { WithProviders(state, true, HmacSha256); }
void BM_Aes128Cbc16_DefaultMode(benchmark::State& state) { WithProviders(state, false, Aes128Cbc); }
void BM_Aes128Cbc16_Internal(benchmark::State& state) { WithProviders(state, true, Aes128Cbc); }

void BM_Sha256_EvpDigest(benchmark::State& state) {
  unsigned char md[32];
  for (auto _ : state) {
    if (EVP_Digest(kData, 64, md, nullptr, EVP_sha256(), nullptr) != 1) state.SkipWithError("digest");
    benchmark::DoNotOptimize(md);
  }
}

void BM_HmacSha256_OpenSslHmac(benchmark::State& state) {
  unsigned char md[32];
  unsigned int length = 0;
  for (auto _ : state) {
    if (HMAC(EVP_sha256(), kKey, 16, kData, 64, md, &length) == nullptr) state.SkipWithError("hmac");
    benchmark::DoNotOptimize(md);
  }
}

void BM_Aes128Cbc16_OpenSslEvp(benchmark::State& state) {
  unsigned char out[32];
  int length = 0;
  for (auto _ : state) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (ctx == nullptr || EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, kKey, kKey) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx, 0) != 1 || EVP_EncryptUpdate(ctx, out, &length, kData, 16) != 1 ||
        EVP_EncryptFinal_ex(ctx, out + length, &length) != 1) {
      state.SkipWithError("cipher");
    }
    EVP_CIPHER_CTX_free(ctx);
    benchmark::DoNotOptimize(out);
  }
}

std::vector<uint8_t> Number4096() {
  std::vector<uint8_t> bytes(512);
  std::mt19937 random(7);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  bytes[0] |= 0x80;
  return bytes;
}

void BM_ToText4096Radix10(benchmark::State& state) {
  const std::vector<uint8_t> bytes = Number4096();
  BigInt number;
  if (BigInt::FromBytes(bytes.data(), 512, 1, number) != 0) state.SkipWithError("number");
  core::Buffer text;
  for (auto _ : state) {
    (void)text.Clear();
    if (number.ToText(text, 10) != 0) state.SkipWithError("text");
    benchmark::DoNotOptimize(text.Data());
  }
}

void BM_ToText4096Radix10_BnBn2dec(benchmark::State& state) {
  const std::vector<uint8_t> bytes = Number4096();
  BIGNUM* number = BN_bin2bn(bytes.data(), 512, nullptr);
  for (auto _ : state) {
    char* text = BN_bn2dec(number);
    benchmark::DoNotOptimize(text);
    OPENSSL_free(text);
  }
  BN_free(number);
}

BENCHMARK(BM_Sha256_DefaultMode);
BENCHMARK(BM_Sha256_EvpDigest);
BENCHMARK(BM_Sha256_Internal);
BENCHMARK(BM_HmacSha256_DefaultMode);
BENCHMARK(BM_HmacSha256_OpenSslHmac);
BENCHMARK(BM_HmacSha256_Internal);
BENCHMARK(BM_Aes128Cbc16_DefaultMode);
BENCHMARK(BM_Aes128Cbc16_OpenSslEvp);
BENCHMARK(BM_Aes128Cbc16_Internal);
BENCHMARK(BM_ToText4096Radix10);
BENCHMARK(BM_ToText4096Radix10_BnBn2dec);

}  // namespace
