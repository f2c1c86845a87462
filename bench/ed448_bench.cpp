// Ed448 signing and verification of a 64-byte message next to OpenSSL's EVP_DigestSign and
// EVP_DigestVerify with the same key.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/buffer.h"
#include "crypto/curve448/ed448.h"

namespace {

using namespace velmora::crypto;

struct Fixture {
  uint8_t secret[57];
  uint8_t message[64];
  velmora::core::Buffer public_key;
  velmora::core::Buffer signature;
  EVP_PKEY* openssl_key = nullptr;
  Fixture() {
    std::mt19937 random(1);
    for (auto& b : secret) b = static_cast<uint8_t>(random());
    for (auto& b : message) b = static_cast<uint8_t>(random());
    velmora::core::SecureBuffer key;
    if (key.SetData(57, secret) != 0 || Ed448PublicFromPrivate(key, public_key) != 0) std::abort();
    if (Ed448Sign(message, 64, nullptr, 0, public_key.Bytes(), 57, secret, 57, signature) != 0) std::abort();
    openssl_key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED448, nullptr, secret, sizeof secret);
  }
};

Fixture& Data() {
  static Fixture fixture;
  return fixture;
}

void OursSign(benchmark::State& state) {
  Fixture& f = Data();
  velmora::core::Buffer out;
  for (auto _ : state) {
    if (Ed448Sign(f.message, 64, nullptr, 0, f.public_key.Bytes(), 57, f.secret, 57, out) != 0) {
      state.SkipWithError("sign");
    }
    benchmark::DoNotOptimize(out.Data());
  }
}

void OursVerify(benchmark::State& state) {
  Fixture& f = Data();
  for (auto _ : state) {
    if (Ed448Verify(f.message, 64, nullptr, 0, f.public_key.Bytes(), 57, f.signature.Bytes(), 114) != 1) {
      state.SkipWithError("verify");
    }
  }
}

void OpensslSign(benchmark::State& state) {
  Fixture& f = Data();
  uint8_t sig[114];
  for (auto _ : state) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t length = sizeof sig;
    if (EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, f.openssl_key) != 1 ||
        EVP_DigestSign(ctx, sig, &length, f.message, 64) != 1) {
      state.SkipWithError("openssl sign");
    }
    EVP_MD_CTX_free(ctx);
    benchmark::DoNotOptimize(sig);
  }
}

void OpensslVerify(benchmark::State& state) {
  Fixture& f = Data();
  for (auto _ : state) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, f.openssl_key) != 1 ||
        EVP_DigestVerify(ctx, f.signature.Bytes(), 114, f.message, 64) != 1) {
      state.SkipWithError("openssl verify");
    }
    EVP_MD_CTX_free(ctx);
  }
}

BENCHMARK(OursSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(OpensslSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(OursVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(OpensslVerify)->Unit(benchmark::kMicrosecond);

}  // namespace
