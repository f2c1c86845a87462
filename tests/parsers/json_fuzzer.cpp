// libFuzzer target of the JSON parser, built by hand with clang, for example:
//   cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_C_COMPILER=clang-14 \
//     -DVELMORABLE_SANITIZE="address;undefined" -DVELMORABLE_BUILD_TESTS=ON
//   cmake --build build/fuzz --target velmora_json_fuzzer
//   build/fuzz/tests/parsers/velmora_json_fuzzer -max_total_time=600
#include <cstddef>
#include <cstdint>

#include "tests/parsers/json_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  velmora::parsers::testing::JsonFuzzOne(data, size);
  return 0;
}
