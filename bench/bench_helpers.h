// Pieces shared by the digest and provider benchmarks: OpenSSL's EVP digest over a message, called
// directly, the process-wide switch that keeps requests on the library's own code, and the masked run
// that gives OpenSSL's portable figures.
#pragma once

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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

// The OPENSSL_ia32cap mask that turns off OpenSSL's AES-NI, PCLMULQDQ, SSSE3, AVX, SHA and the like.
inline constexpr const char* kOpenSslPortableMask = "~0x1200020200000000:0";

// RunMaskedCopy gives the OpenSSL figures on its portable code in the same program run. libcrypto reads
// OPENSSL_ia32cap once, when it loads, before main: so the program runs a copy of itself with the mask
// set (same arguments; its table comes first, under a heading) and then goes on with its own unmasked
// run. Nothing happens when the variable is already set (the copy itself, or a caller's own mask).
inline bool RunMaskedCopy() {
  if (std::getenv("OPENSSL_ia32cap") != nullptr) {
    if (std::getenv("VELMORA_BENCH_MASKED_COPY") != nullptr) {
      std::printf("== OpenSSL masked with OPENSSL_ia32cap=%s (its portable code) ==\n", kOpenSslPortableMask);
      std::fflush(stdout);
    }
    return false;
  }
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  const std::string line((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<std::string> words;
  for (size_t at = 0; at < line.size();) {
    const size_t end = line.find('\0', at);
    words.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = fork();
  if (child == 0) {
    setenv("OPENSSL_ia32cap", kOpenSslPortableMask, 1);
    setenv("VELMORA_BENCH_MASKED_COPY", "1", 1);
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  int status = 0;
  if (child > 0) (void)waitpid(child, &status, 0);
  std::printf("== OpenSSL unmasked ==\n");
  std::fflush(stdout);
  return true;
}

}  // namespace velmora::bench

// VELMORA_BENCH_MASKED_OPENSSL() at namespace scope in a benchmark file runs the masked copy before the
// benchmarks (RunMaskedCopy).
#define VELMORA_BENCH_MASKED_OPENSSL() \
  [[maybe_unused]] const bool velmora_masked_copy_done = ::velmora::bench::RunMaskedCopy();
