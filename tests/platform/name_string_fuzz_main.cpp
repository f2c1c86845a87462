// libFuzzer entry of the name text fuzz target (clang, -fsanitize=fuzzer); run by hand.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace velmora::platform {
std::string FuzzNameStringInput(const std::string& input);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string problem =
      velmora::platform::FuzzNameStringInput(std::string(reinterpret_cast<const char*>(data), size));
  if (!problem.empty()) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
