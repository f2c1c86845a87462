// libFuzzer entry of the DER fuzz target (clang, -fsanitize=fuzzer); run by hand.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace velmora::pki::testing {
bool FuzzDerInput(const uint8_t* data, size_t size, std::string* problem);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string problem;
  if (!velmora::pki::testing::FuzzDerInput(data, size, &problem)) {
    std::fprintf(stderr, "%s gave a result outside its range\n", problem.c_str());
    std::abort();
  }
  return 0;
}
