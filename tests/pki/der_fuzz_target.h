// The DER fuzz target: one input through the tree parse (keeping and releasing bytes), every typed reader
// on every node with skip counts 0 to 3, the offset walkers and the signature splitter. Built into a
// libFuzzer program with clang and replayed by the ctest case under g++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora::pki::testing {

// FuzzDerInput runs one input; false with *problem set when a result lies outside what the operation may
// return.
bool FuzzDerInput(const uint8_t* data, size_t size, std::string* problem);

}  // namespace velmora::pki::testing
