// libFuzzer target of the XML parser, built and run by hand:
//   clang++-14 -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I. tests/parsers/xml_fuzzer.cpp \
//     parsers/*.cpp component/*.cpp core/*.cpp platform/*.cpp -o xml_fuzzer && ./xml_fuzzer -max_total_time=600
#include <cstddef>
#include <cstdint>

#include "tests/parsers/xml_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return velmora::parsers::testing::XmlFuzzOne(data, size);
}
