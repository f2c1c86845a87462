// Pieces shared by the digest and provider benchmarks: OpenSSL's EVP digest over a message, called
// directly, and the process-wide switch that keeps requests on the library's own code.
#pragma once

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>

#include "component/component_base.h"
#include "component/config_setting_parts.h"

namespace velmora::bench {

// EvpDigestLoop hashes the first state.range(0) bytes of data once per iteration with OpenSSL's named
// digest, fetched once.
inline void EvpDigestLoop(benchmark::State& state, const char* name, const uint8_t* data) {
  const auto length = static_cast<size_t>(state.range(0));
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int out_length = 0;
  for (auto _ : state) {
    if (EVP_DigestInit_ex(ctx, md, nullptr) != 1 || EVP_DigestUpdate(ctx, data, length) != 1 ||
        EVP_DigestFinal_ex(ctx, out, &out_length) != 1) {
      state.SkipWithError("openssl");
    }
    benchmark::DoNotOptimize(out);
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(length));
}

// SetInternalOnly sets UseInternalCryptoAPI for the process.
inline void SetInternalOnly(bool on) {
  component::ComponentBase component;
  component::ConfigSettingParts parts;
  if (parts.Parse(on ? "UseInternalCryptoAPI=true" : "UseInternalCryptoAPI=false", 0) == 0) {
    (void)component.Config(parts, nullptr);
  }
}

}  // namespace velmora::bench
