// The libFuzzer entry of a fuzz target (clang, -fsanitize=fuzzer); run by hand. The build names the target
// function (FUZZ_NAMESPACE::FUZZ_ENTRY, which returns "" or the problem it found) and, with
// FUZZ_LOAD_PROVIDERS, loads the provider tables once as the library's start-up does, so the default
// provider mode finds the platform's digests and ciphers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef FUZZ_LOAD_PROVIDERS
#include "crypto/providers/provider_tables.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  velmora::crypto::CryptoProvidersStaticInit();
  return 0;
}
#endif

namespace FUZZ_NAMESPACE {
std::string FUZZ_ENTRY(const std::string& input);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string problem = FUZZ_NAMESPACE::FUZZ_ENTRY(std::string(reinterpret_cast<const char*>(data), size));
  if (!problem.empty()) {
    std::fprintf(stderr, "%s is outside its results\n", problem.c_str());
    std::abort();
  }
  return 0;
}
