// Runs the fixed-base multiplications on a scalar that valgrind's memcheck treats as undefined: any
// branch or memory index that depends on it is reported, and the probe then exits non-zero.
#include <valgrind/memcheck.h>

#include <cstdint>
#include <cstring>

#include "crypto/curve448/ed448_group.h"
#include "crypto/curve448/ed448_scalar.h"

using namespace velmora::crypto;

int main() {
  uint32_t s[kEd448ScalarWords];
  for (int i = 0; i < kEd448ScalarWords; ++i) s[i] = 0x9e3779b9u * static_cast<uint32_t>(i + 1);
  Ed448Point warm, out, comb;
  // The tables are built on first use, outside the measured calls.
  if (Ed448BaseMul(warm, s, kEd448ScalarWords) != 0 || Ed448TwBaseMulComb(warm, s, 448) != 1) return 2;
  VALGRIND_MAKE_MEM_UNDEFINED(s, sizeof s);
  const int result = Ed448BaseMul(out, s, kEd448ScalarWords);
  const int comb_result = Ed448TwBaseMulComb(comb, s, 448);
  VALGRIND_MAKE_MEM_DEFINED(&out, sizeof out);
  VALGRIND_MAKE_MEM_DEFINED(&comb, sizeof comb);
  return result == 0 && comb_result == 1 ? 0 : 3;
}
