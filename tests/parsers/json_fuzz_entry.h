// One hostile input through the JSON parser: the first three bytes choose the modes, the feeding and a
// path; the text runs to the first zero byte and a path query may follow it. Built into the ctest
// fuzz test and into the libFuzzer target.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::parsers::testing {

// JsonFuzzOne returns the parse result (0 or 10232). Any other parse result, and any path result other
// than 0, 10233, 10234 or 207, stops the process: hostile input may be refused, never mishandled.
int JsonFuzzOne(const uint8_t* data, size_t size);

}  // namespace velmora::parsers::testing
