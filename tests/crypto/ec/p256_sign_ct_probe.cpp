// Runs the arithmetic of a P-256 signature (the fixed-base multiplication on the curve's own field
// multiplication, then s = k^-1 (e + r d) modulo the order on the 4-limb one) with the nonce and the
// private scalar marked undefined for valgrind's memcheck: any branch or memory index that depends on
// them is reported, and the probe then exits non-zero. The curve comes on the command line as hex: p,
// a, Gx, Gy, n, then the nonce, the private scalar and the digest value.
#include <valgrind/memcheck.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "crypto/ec/ec_prime.h"
#include "crypto/ec/mont_field.h"
#include "tests/crypto/ec/probe_support.h"

using namespace velmora::crypto;

using probe_support::Parse;

int main(int argc, char** argv) {
  if (argc != 9) return 2;
  FixedBigInt p, a, gx, gy, n, k, d, e;
  for (int i = 0; i < 8; ++i) {
    FixedBigInt* outs[] = {&p, &a, &gx, &gy, &n, &k, &d, &e};
    if (!Parse(argv[i + 1], *outs[i])) return 2;
  }
  a.Count = gx.Count = gy.Count = p.Count;
  k.Count = d.Count = e.Count = n.Count;
  ec::MontField field, order;
  if (field.Init(p) != 0 || order.Init(n) != 0 || !field.dedicated || !order.dedicated) return 4;

  VALGRIND_MAKE_MEM_UNDEFINED(k.Words, sizeof k.Words);
  VALGRIND_MAKE_MEM_UNDEFINED(d.Words, sizeof d.Words);
  FixedBigInt rx, ry;
  if (EcPointMulPrimeFixedBase(gx, gy, p, a, k, 0, rx, ry) != 0) return 3;
  VALGRIND_MAKE_MEM_DEFINED(&rx, sizeof rx);  // r is published
  VALGRIND_MAKE_MEM_DEFINED(&ry, sizeof ry);

  ec::Limbs k_m, d_m, e_m, r_m, t, s;
  ec::LimbsFromFixed(k, order.n, t);
  ec::ToMont(order, k_m, t);
  ec::MontInverse(order, k_m, k_m);
  ec::LimbsFromFixed(d, order.n, t);
  ec::ToMont(order, d_m, t);
  ec::LimbsFromFixed(e, order.n, t);
  ec::ToMont(order, e_m, t);
  ec::LimbsFromFixed(rx, order.n, t);
  ec::ToMont(order, r_m, t);
  ec::MontMul(order, t, r_m, d_m);
  ec::ModAdd(order, t, t, e_m);
  const ec::Limbs zero = {};
  ec::ModSub(order, t, t, zero);  // the masked correction of a subtraction, with nothing to subtract
  ec::MontMul(order, s, t, k_m);
  ec::FromMont(order, s, s);
  VALGRIND_MAKE_MEM_DEFINED(s, sizeof s);  // s is published
  return rx.Count == p.Count && ec::IsZeroMask(order, s) == 0 ? 0 : 3;
}
