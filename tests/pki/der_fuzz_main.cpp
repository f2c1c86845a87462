// libFuzzer entry of the DER fuzz target (clang, -fsanitize=fuzzer); run by hand.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/pki/der_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string problem;
  if (!velmora::pki::testing::FuzzDerInput(data, size, &problem)) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
