// MontgomeryContext: an odd modulus prepared once for exponentiations in Montgomery form (its 64-bit
// limbs, -m^-1 mod 2^64 and 2^(128 n) mod m), so that a key's modulus is set up when the key is first
// used rather than on every operation.
//
// The products run on mulx with two carry chains (adcx/adox) when the processor has BMI2 and ADX
// (chosen at run time), else on portable 64-bit code; both give the same results.
#pragma once

#include <cstdint>

#include "crypto/bn/big_int.h"

namespace velmora::crypto {

class MontgomeryContext {
 public:
  MontgomeryContext() = default;
  ~MontgomeryContext() { Clear(); }
  MontgomeryContext(MontgomeryContext&& other) noexcept;
  MontgomeryContext& operator=(MontgomeryContext&& other) noexcept;
  MontgomeryContext(const MontgomeryContext&) = delete;
  MontgomeryContext& operator=(const MontgomeryContext&) = delete;

  // Set prepares the context for m: 0, 2003 when m is not odd and above 1, or 200.
  [[nodiscard]] int Set(const BigInt& m);
  // Matches tells whether the context holds m. The words are compared without an early exit (the
  // modulus may be a secret prime); only the word counts decide by a branch.
  bool Matches(const BigInt& m) const;
  void Clear();

  // ModPow: base^e mod m for 0 <= base < m and e >= 0. The exponent may be secret: the running time
  // depends only on the operands' sizes, except for the public exponent 65537.
  [[nodiscard]] int ModPow(const BigInt& base, const BigInt& e, BigInt& out) const;
  // ModPow2Public: a^ea * b^eb mod m for 0 <= a, b < m and ea, eb >= 0 in one pass of interleaved
  // sliding windows. Variable time: only for public inputs (signature verification).
  [[nodiscard]] int ModPow2Public(const BigInt& a, const BigInt& ea, const BigInt& b, const BigInt& eb,
                                  BigInt& out) const;

 private:
  BigInt modulus_;
  int32_t limbs_ = 0;
  uint32_t* block_ = nullptr;  // the modulus limbs, then 2^(128 n) mod m, least significant first
  uint64_t m_prime_ = 0;
};

// ModPowWithContext gives what BigInt::ModPow gives, through context for an odd m above 1 and a
// non-negative e: the context is set up for m when it holds another modulus (or none), so a caller that
// keeps it prepares each modulus once.
[[nodiscard]] int ModPowWithContext(MontgomeryContext& context, const BigInt& base, const BigInt& e, const BigInt& m,
                                    BigInt& out);

namespace bigint::internal {

// ForcePortableMontgomery(true) makes the Montgomery products take the portable code even where the
// processor has mulx and adx (tests and benchmarks measure both paths); false restores the choice.
void ForcePortableMontgomery(bool portable);
// MontgomeryUsesMulx: whether the products currently run on mulx/adx.
bool MontgomeryUsesMulx();
// PortableMontgomeryScope forces the portable products for its lifetime.
struct PortableMontgomeryScope {
  PortableMontgomeryScope() { ForcePortableMontgomery(true); }
  ~PortableMontgomeryScope() { ForcePortableMontgomery(false); }
  PortableMontgomeryScope(const PortableMontgomeryScope&) = delete;
  PortableMontgomeryScope& operator=(const PortableMontgomeryScope&) = delete;
};

}  // namespace bigint::internal

}  // namespace velmora::crypto
