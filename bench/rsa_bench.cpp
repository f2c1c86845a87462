// RSA-2048 on the same key in the same run, ours (on mulx/adx, and forced onto the portable Montgomery
// products) next to OpenSSL's: the raw private (CRT, blinded)
// and public operations, PKCS#1 v1.5 signing and verification over SHA-256 (e = 65537), OAEP
// decryption, and our v1.5 decryption of a valid and of a malformed block side by side.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <vector>

#include "crypto/bn/montgomery.h"
#include "crypto/rsa/rsa_engine.h"

namespace {

using velmora::crypto::RsaEngine;
using velmora::crypto::RsaKeyParams;

struct Key {
  EVP_PKEY* pkey = nullptr;
  RsaKeyParams params;
  std::vector<uint8_t> message;
  std::vector<uint8_t> digest = std::vector<uint8_t>(32, 0xA5);
  std::vector<uint8_t> signature;       // v1.5 over digest, SHA-256
  std::vector<uint8_t> oaep;            // OAEP (SHA-1) of 32 bytes
  std::vector<uint8_t> pkcs1_valid;     // v1.5 encryption of 32 bytes
  std::vector<uint8_t> pkcs1_invalid;   // a block of type 3
  Key() {
    pkey = EVP_RSA_gen(2048);
    const char* names[] = {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_E, OSSL_PKEY_PARAM_RSA_D,
                           OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1,
                           OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    velmora::core::BufferCore* fields[] = {&params.Modulus, &params.Exponent, &params.D, &params.P,
                                           &params.Q, &params.DP, &params.DQ, &params.InverseQ};
    for (int i = 0; i < 8; ++i) {
      BIGNUM* bn = nullptr;
      EVP_PKEY_get_bn_param(pkey, names[i], &bn);
      std::vector<uint8_t> bytes(static_cast<size_t>(BN_num_bytes(bn)));
      BN_bn2bin(bn, bytes.data());
      (void)fields[i]->SetData(static_cast<int32_t>(bytes.size()), bytes.data());
      BN_free(bn);
    }
    message.assign(256, 0x5A);
    RsaEngine engine;
    (void)engine.SetKeyParams(params);
    velmora::core::Buffer out;
    (void)engine.Sign(digest.data(), 32, "SHA256", out, 0, 0);
    signature.assign(out.Bytes(), out.Bytes() + out.Length());
    (void)out.SetData(0, nullptr);
    (void)engine.EncryptOaep(digest.data(), 32, out, nullptr, 0, nullptr, nullptr);
    oaep.assign(out.Bytes(), out.Bytes() + out.Length());
    (void)out.SetData(0, nullptr);
    (void)engine.EncryptPkcs1v15(digest.data(), 32, out);
    pkcs1_valid.assign(out.Bytes(), out.Bytes() + out.Length());
    std::vector<uint8_t> block(256, 0x33);
    block[0] = 0;
    block[1] = 3;
    (void)out.SetData(0, nullptr);
    (void)engine.PublicOperation(block.data(), 256, out);
    pkcs1_invalid.assign(out.Bytes(), out.Bytes() + out.Length());
  }
  ~Key() { EVP_PKEY_free(pkey); }
};

Key& TheKey() {
  static Key key;
  return key;
}

void BM_OursPrivate(benchmark::State& state) {
  RsaEngine engine;
  (void)engine.SetKeyParams(TheKey().params);
  velmora::core::Buffer out;
  for (auto _ : state) {
    (void)engine.PrivateOperation(TheKey().message.data(), 256, out);
    benchmark::DoNotOptimize(out.Data());
  }
}

void BM_OursPublic(benchmark::State& state) {
  RsaEngine engine;
  (void)engine.SetKeyParams(TheKey().params);
  velmora::core::Buffer out;
  for (auto _ : state) {
    (void)out.SetData(0, nullptr);
    (void)engine.PublicOperation(TheKey().message.data(), 256, out);
    benchmark::DoNotOptimize(out.Data());
  }
}

void RunOpenSsl(benchmark::State& state, bool decrypt) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(TheKey().pkey, nullptr);
  if (decrypt) {
    EVP_PKEY_decrypt_init(ctx);
  } else {
    EVP_PKEY_encrypt_init(ctx);
  }
  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING);
  uint8_t out[256];
  for (auto _ : state) {
    size_t length = sizeof out;
    if (decrypt) {
      EVP_PKEY_decrypt(ctx, out, &length, TheKey().message.data(), 256);
    } else {
      EVP_PKEY_encrypt(ctx, out, &length, TheKey().message.data(), 256);
    }
    benchmark::DoNotOptimize(out);
  }
  EVP_PKEY_CTX_free(ctx);
}

void BM_OpenSslPrivate(benchmark::State& state) { RunOpenSsl(state, true); }
void BM_OpenSslPublic(benchmark::State& state) { RunOpenSsl(state, false); }

void BM_OursSign(benchmark::State& state) {
  RsaEngine engine;
  (void)engine.SetKeyParams(TheKey().params);
  velmora::core::Buffer out;
  for (auto _ : state) {
    (void)out.SetData(0, nullptr);
    (void)engine.Sign(TheKey().digest.data(), 32, "SHA256", out, 0, 0);
    benchmark::DoNotOptimize(out.Data());
  }
}

void BM_OursVerify(benchmark::State& state) {
  RsaEngine engine;
  (void)engine.SetKeyParams(TheKey().params);
  int32_t valid = 0;
  for (auto _ : state) {
    (void)engine.Verify(TheKey().digest.data(), 32, "SHA256", TheKey().signature.data(), 256, valid, 0, 0, 1);
    benchmark::DoNotOptimize(valid);
  }
  if (valid != 1) state.SkipWithError("signature not valid");
}

void OursDecrypt(benchmark::State& state, const std::vector<uint8_t>& cipher, bool oaep) {
  RsaEngine engine;
  (void)engine.SetKeyParams(TheKey().params);
  velmora::core::Buffer out;
  for (auto _ : state) {
    (void)out.SetData(0, nullptr);
    const int status = oaep ? engine.DecryptOaep(cipher.data(), 256, out, nullptr, 0, nullptr, nullptr)
                            : engine.DecryptPkcs1v15(cipher.data(), 256, out);
    benchmark::DoNotOptimize(status);
  }
}

void BM_OursOaepDecrypt(benchmark::State& state) { OursDecrypt(state, TheKey().oaep, true); }
void BM_OursPkcs1DecryptValid(benchmark::State& state) { OursDecrypt(state, TheKey().pkcs1_valid, false); }
void BM_OursPkcs1DecryptInvalid(benchmark::State& state) { OursDecrypt(state, TheKey().pkcs1_invalid, false); }

// OpenSSL with the same padding and digest; verify and sign through one context each.
void RunOpenSslPadded(benchmark::State& state, int operation) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(TheKey().pkey, nullptr);
  uint8_t out[256];
  if (operation == 0) {
    EVP_PKEY_sign_init(ctx);
  } else if (operation == 1) {
    EVP_PKEY_verify_init(ctx);
  } else {
    EVP_PKEY_decrypt_init(ctx);
  }
  EVP_PKEY_CTX_set_rsa_padding(ctx, operation == 2 ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING);
  if (operation != 2) EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
  for (auto _ : state) {
    size_t length = sizeof out;
    int result;
    if (operation == 0) {
      result = EVP_PKEY_sign(ctx, out, &length, TheKey().digest.data(), 32);
    } else if (operation == 1) {
      result = EVP_PKEY_verify(ctx, TheKey().signature.data(), 256, TheKey().digest.data(), 32);
    } else {
      result = EVP_PKEY_decrypt(ctx, out, &length, TheKey().oaep.data(), 256);
    }
    if (result != 1) {
      state.SkipWithError("OpenSSL operation failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
  EVP_PKEY_CTX_free(ctx);
}

void BM_OpenSslSign(benchmark::State& state) { RunOpenSslPadded(state, 0); }
void BM_OpenSslVerify(benchmark::State& state) { RunOpenSslPadded(state, 1); }
void BM_OpenSslOaepDecrypt(benchmark::State& state) { RunOpenSslPadded(state, 2); }

// The Portable rows force the Montgomery products onto the portable code, so that both paths are
// measured in the same run.
using PortableProducts = velmora::crypto::bigint::internal::PortableMontgomeryScope;

void BM_OursSignPortable(benchmark::State& state) {
  const PortableProducts portable;
  BM_OursSign(state);
}

void BM_OursVerifyPortable(benchmark::State& state) {
  const PortableProducts portable;
  BM_OursVerify(state);
}

void BM_OursPrivatePortable(benchmark::State& state) {
  const PortableProducts portable;
  BM_OursPrivate(state);
}

BENCHMARK(BM_OursSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OursSignPortable)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSslSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OursVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OursVerifyPortable)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSslVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OursOaepDecrypt)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSslOaepDecrypt)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OursPkcs1DecryptValid)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OursPkcs1DecryptInvalid)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OursPrivate)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OursPrivatePortable)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSslPrivate)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OursPublic)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSslPublic)->Unit(benchmark::kMicrosecond);

}  // namespace
