// libFuzzer entry of one private key file fuzz target, chosen by KEY_FILE_FUZZ_ENTRY (clang,
// -fsanitize=fuzzer); run by hand.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "crypto/providers/provider_tables.h"

namespace velmora::keystore::testing {
std::string KEY_FILE_FUZZ_ENTRY(const std::string& input);
}

// The platform tables are loaded once, as the library's start-up does, so the default provider mode finds
// the platform's digests and ciphers.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  velmora::crypto::CryptoProvidersStaticInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string problem =
      velmora::keystore::testing::KEY_FILE_FUZZ_ENTRY(std::string(reinterpret_cast<const char*>(data), size));
  if (!problem.empty()) {
    std::fprintf(stderr, "%s is outside its results\n", problem.c_str());
    std::abort();
  }
  return 0;
}
