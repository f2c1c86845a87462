// Ed25519 signing and verification of a 64-byte message next to OpenSSL's EVP one-shot
// EVP_DigestSign / EVP_DigestVerify on the same key and message.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>

#include "core/buffer.h"
#include "crypto/curve25519/ed25519_eddsa.h"

namespace {

using namespace velmora;

struct Fixture {
  uint8_t seed[32];
  uint8_t message[64];
  core::Buffer public_key, signature;
  Fixture() {
    for (int i = 0; i < 32; ++i) seed[i] = static_cast<uint8_t>(i * 29 + 1);
    for (int i = 0; i < 64; ++i) message[i] = static_cast<uint8_t>(i);
    core::SecureBuffer private_key;
    if (private_key.SetData(32, seed) != 0 || crypto::Ed25519PublicFromPrivate(private_key, public_key) != 0 ||
        crypto::Ed25519Sign(message, 64, public_key.Bytes(), 32, seed, 32, signature) != 0) {
      signature.Clear();
    }
  }
};

const Fixture& Data() {
  static const Fixture fixture;
  return fixture;
}

void OursSign(benchmark::State& state) {
  const Fixture& f = Data();
  core::Buffer signature;
  for (auto _ : state) {
    if (crypto::Ed25519Sign(f.message, 64, f.public_key.Bytes(), 32, f.seed, 32, signature) != 0) {
      state.SkipWithError("sign");
    }
    benchmark::DoNotOptimize(signature.Data());
  }
}

void OursVerify(benchmark::State& state) {
  const Fixture& f = Data();
  for (auto _ : state) {
    if (crypto::Ed25519Verify(f.message, 64, f.public_key.Bytes(), 32, f.signature.Bytes(), 64) != 1) {
      state.SkipWithError("verify");
    }
  }
}

void OpenSslSign(benchmark::State& state) {
  const Fixture& f = Data();
  EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, f.seed, 32);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  unsigned char signature[64];
  for (auto _ : state) {
    size_t length = sizeof signature;
    if (EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) != 1 ||
        EVP_DigestSign(ctx, signature, &length, f.message, 64) != 1) {
      state.SkipWithError("openssl sign");
    }
    benchmark::DoNotOptimize(signature);
  }
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
}

void OpenSslVerify(benchmark::State& state) {
  const Fixture& f = Data();
  EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, f.public_key.Bytes(), 32);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  for (auto _ : state) {
    if (EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) != 1 ||
        EVP_DigestVerify(ctx, f.signature.Bytes(), 64, f.message, 64) != 1) {
      state.SkipWithError("openssl verify");
    }
  }
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
}

BENCHMARK(OursSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenSslSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(OursVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenSslVerify)->Unit(benchmark::kMicrosecond);

}  // namespace
