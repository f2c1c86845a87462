// libFuzzer entry of the enveloped-data fuzz target (clang, -fsanitize=fuzzer); run by hand.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "crypto/providers/provider_tables.h"

namespace velmora::pki::testing {
std::string FuzzEnvelopedInput(const std::string& input);
}

// The digests and ciphers answer through the provider tables, loaded once as a process would.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  velmora::crypto::CryptoProvidersStaticInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string problem =
      velmora::pki::testing::FuzzEnvelopedInput(std::string(reinterpret_cast<const char*>(data), size));
  if (!problem.empty()) {
    std::fprintf(stderr, "%s is outside its results\n", problem.c_str());
    std::abort();
  }
  return 0;
}
