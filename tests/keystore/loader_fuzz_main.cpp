// libFuzzer entry of the certificate loader fuzz target (clang, -fsanitize=fuzzer); run by hand.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "crypto/providers/provider_tables.h"

namespace velmora::keystore::testing {
std::string FuzzLoaderInput(const std::string& input);
}

// The platform tables are loaded once, as the library's start-up does.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  velmora::crypto::CryptoProvidersStaticInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string problem =
      velmora::keystore::testing::FuzzLoaderInput(std::string(reinterpret_cast<const char*>(data), size));
  if (!problem.empty()) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
