// Runs the binary-curve ladder on a scalar that valgrind's memcheck treats as undefined: any branch or
// memory index that depends on it is reported, and the probe then exits non-zero. The curve comes on
// the command line as hex: f, a, Gx, Gy, the field id (decimal) and the scalar.
#include <valgrind/memcheck.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "crypto/ec/ec_binary.h"
#include "tests/crypto/ec/probe_support.h"

using namespace velmora::crypto;

using probe_support::Parse;

int main(int argc, char** argv) {
  if (argc != 7) return 2;
  FixedBigInt f, a, gx, gy, k, x, y;
  if (!Parse(argv[1], f) || !Parse(argv[2], a) || !Parse(argv[3], gx) || !Parse(argv[4], gy) || !Parse(argv[6], k)) {
    return 2;
  }
  a.Count = gx.Count = gy.Count = f.Count;
  const uint32_t field_id = static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 10));
  VALGRIND_MAKE_MEM_UNDEFINED(k.Words, sizeof k.Words);
  const int status = EcPointMulBinary(gx, gy, f, a, k, field_id, x, y);
  VALGRIND_MAKE_MEM_DEFINED(&x, sizeof x);
  VALGRIND_MAKE_MEM_DEFINED(&y, sizeof y);
  return status == 0 && x.Count == f.Count ? 0 : 3;
}
