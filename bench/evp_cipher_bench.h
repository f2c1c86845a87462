// The OpenSSL side of the cipher benchmarks: one EVP cipher by name over the first length bytes of the
// shared input (16 KiB unless given), keyed and given its IV on every iteration, without padding, as our
// side is configured on every iteration. An AEAD cipher also hands its tag out, as ours appends it.
#pragma once

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <vector>

#include "bench/bench_data.h"

namespace velmora::bench {

inline void EvpCipherBench(benchmark::State& state, const char* name, bool decrypt, int32_t length = kBenchLength) {
  const std::vector<uint8_t>& data = BenchData();
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const bool aead = cipher != nullptr && (EVP_CIPHER_get_flags(cipher) & EVP_CIPH_FLAG_AEAD_CIPHER) != 0;
  std::vector<unsigned char> out(kBenchLength + 32);
  const uint8_t* key = data.data() + kBenchLength;
  const uint8_t* iv = data.data() + kBenchLength + 32;
  for (auto _ : state) {
    int n = 0, tail = 0;
    unsigned char tag[16];
    if (EVP_CipherInit_ex2(ctx, cipher, key, iv, decrypt ? 0 : 1, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx, 0) != 1 ||
        EVP_CipherUpdate(ctx, out.data(), &n, data.data(), length) != 1 ||
        EVP_CipherFinal_ex(ctx, out.data() + n, &tail) != 1 ||
        (aead && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, tag) != 1)) {
      state.SkipWithError("openssl");
    }
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  state.SetBytesProcessed(state.iterations() * length);
}

}  // namespace velmora::bench
