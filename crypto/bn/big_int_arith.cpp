// BigInt addition, subtraction, multiplication, division, shifts and powers, and the modular
// operations other than exponentiation by an odd modulus (mod_pow.cpp).
#include <algorithm>
#include <cstring>
#include <utility>

#include "core/numbers.h"
#include "crypto/bn/big_int.h"
#include "crypto/bn/big_nat.h"
#include "crypto/bn/words.h"

namespace velmora::crypto {

namespace {

// Scratch is a zeroed word array that is wiped and freed when it goes out of scope.
class Scratch {
 public:
  explicit Scratch(int32_t n) : n_(std::max(n, 1)), words_(core::AllocZeroedInts(n_)) {}
  ~Scratch() { bigint::FreeWords(words_, n_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  bool Ok() const { return words_ != nullptr; }
  uint32_t* Words() { return words_; }

 private:
  int32_t n_;
  uint32_t* words_;
};

// AddMagnitudes sets out to sign * (x + y); the longer operand's length, one word more on a carry.
int AddMagnitudes(const uint32_t* x, int32_t nx, const uint32_t* y, int32_t ny, int32_t sign, BigInt& out) {
  if (nx < ny) {
    std::swap(x, y);
    std::swap(nx, ny);
  }
  Scratch sum(nx + 1);
  if (!sum.Ok()) return kBigIntNoMemory;
  uint32_t* s = sum.Words();
  uint64_t carry = 0;
  for (int32_t i = 0; i < nx; ++i) {
    const uint64_t t = static_cast<uint64_t>(x[nx - 1 - i]) + (i < ny ? y[ny - 1 - i] : 0) + carry;
    s[nx - i] = static_cast<uint32_t>(t);
    carry = t >> 32;
  }
  s[0] = static_cast<uint32_t>(carry);
  return BigInt::FromWords(s + (carry == 0 ? 1 : 0), nx + (carry == 0 ? 0 : 1), sign, out);
}

// SubtractMagnitudes sets out to sign * (x - y) for x above y, without leading zero words.
int SubtractMagnitudes(const uint32_t* x, int32_t nx, const uint32_t* y, int32_t ny, int32_t sign, BigInt& out) {
  Scratch difference(nx);
  if (!difference.Ok()) return kBigIntNoMemory;
  uint32_t* d = difference.Words();
  uint64_t borrow = 0;
  for (int32_t i = 0; i < nx; ++i) {
    const uint64_t t = static_cast<uint64_t>(x[nx - 1 - i]) - (i < ny ? y[ny - 1 - i] : 0) - borrow;
    d[nx - 1 - i] = static_cast<uint32_t>(t);
    borrow = (t >> 32) & 1;
  }
  return BigInt::FromSignAndWords(sign, d, nx, out);
}

bool IsOneValue(const BigInt& a) { return a.Sign() > 0 && a.BitLength() == 1; }

// ValidModulus: positive with a nonzero magnitude (a one-word zero is refused like the empty value).
bool ValidModulus(const BigInt& m) { return m.Sign() > 0 && !m.IsZero(); }

int ToBigNat(const BigInt& a, BigNat& out) {
  if (const int rc = out.FromWords(a.Words(), a.Count()); rc != 0) return rc;
  out.Trim();
  return 0;
}

// ReduceBelow uses a as it is when it is non-negative and below m, else a mod m.
int ReduceBelow(const BigInt& a, const BigInt& m, BigInt& out) {
  if (a.Sign() >= 0 && bigint::CompareWords(a.Words(), a.Count(), m.Words(), m.Count()) < 0) return out.Assign(a);
  return BigInt::Mod(a, m, out);
}

}  // namespace

// ---- Addition and subtraction -----------------------------------------------------------------------

int BigInt::Add(const BigInt& a, const BigInt& b, BigInt& out) {
  if (b.sign_ == 0) return out.Assign(a);
  if (a.sign_ == 0) return out.Assign(b);
  if (a.sign_ == b.sign_) return AddMagnitudes(a.words_, a.count_, b.words_, b.count_, a.sign_, out);
  const int32_t order = bigint::CompareWords(a.words_, a.count_, b.words_, b.count_);
  if (order == 0) return out.Assign(BigIntZero());
  if (order > 0) return SubtractMagnitudes(a.words_, a.count_, b.words_, b.count_, a.sign_, out);
  return SubtractMagnitudes(b.words_, b.count_, a.words_, a.count_, -a.sign_, out);
}

int BigInt::Subtract(const BigInt& a, const BigInt& b, BigInt& out) {
  if (b.sign_ == 0) return out.Assign(a);
  if (a.sign_ == 0) return b.Negate(out);
  if (a.sign_ != b.sign_) return AddMagnitudes(a.words_, a.count_, b.words_, b.count_, a.sign_, out);
  const int32_t order = bigint::CompareWords(a.words_, a.count_, b.words_, b.count_);
  if (order == 0) return out.Assign(BigIntZero());
  if (order > 0) return SubtractMagnitudes(a.words_, a.count_, b.words_, b.count_, a.sign_, out);
  return SubtractMagnitudes(b.words_, b.count_, a.words_, a.count_, -a.sign_, out);
}

// ---- Multiplication ---------------------------------------------------------------------------------

int BigInt::Multiply(const BigInt& a, const BigInt& b, BigInt& out) {
  if (a.sign_ == 0 || b.sign_ == 0) return out.Assign(BigIntZero());
  Scratch product(a.count_ + b.count_);
  if (!product.Ok()) return kBigIntNoMemory;
  bigint::WordsMultiply(a.words_, a.count_, b.words_, b.count_, product.Words());
  return FromSignAndWords(a.sign_ * b.sign_, product.Words(), a.count_ + b.count_, out);
}

int BigInt::Square(const BigInt& a, BigInt& out) {
  if (a.sign_ == 0) return out.Assign(BigIntZero());
  Scratch product(2 * a.count_);
  if (!product.Ok()) return kBigIntNoMemory;
  bigint::WordsSquare(a.words_, a.count_, product.Words());
  return FromSignAndWords(1, product.Words(), 2 * a.count_, out);
}

// ---- Division ---------------------------------------------------------------------------------------

int BigInt::DivMod(const BigInt& a, const BigInt& b, BigInt& quotient, BigInt& remainder) {
  BigNat x, y, q, r;
  if (const int rc = ToBigNat(a, x); rc != 0) return rc;
  if (const int rc = ToBigNat(b, y); rc != 0) return rc;
  const int rc = BigNat::DivMod(x, y, q, r);
  if (rc == kBigIntDivisionByZero) {
    quotient.Clear();
    quotient.sign_ = 0;
    remainder.Clear();
    remainder.sign_ = 0;
    return 0;
  }
  if (rc != 0) return rc;
  BigInt q_value;
  if (const int code = FromBigNat(q, a.sign_ * b.sign_, q_value); code != 0) return code;
  if (const int code = FromBigNat(r, a.sign_, remainder); code != 0) return code;
  quotient = std::move(q_value);
  return 0;
}

int BigInt::Divide(const BigInt& a, const BigInt& b, BigInt& out) {
  BigInt remainder;
  return DivMod(a, b, out, remainder);
}

int BigInt::Remainder(const BigInt& a, const BigInt& b, BigInt& out) {
  BigInt quotient;
  return DivMod(a, b, quotient, out);
}

int BigInt::DivModWord(const BigInt& a, uint32_t w, BigInt& quotient, uint32_t* remainder) {
  *remainder = 0;
  if (w == 0) {
    quotient.Clear();
    quotient.sign_ = 0;
    return 0;
  }
  BigNat x, q;
  if (const int rc = ToBigNat(a, x); rc != 0) return rc;
  if (const int rc = BigNat::DivModWord(x, w, q, remainder); rc != 0) return rc;
  return FromBigNat(q, a.sign_, quotient);
}

// ---- Shifts -----------------------------------------------------------------------------------------

int BigInt::ShiftLeft(const BigInt& a, int32_t n, BigInt& out) {
  if (n < 0) return ShiftRight(a, -n, out);
  if (a.count_ == 0) return out.Assign(BigIntZero());
  if (n == 0) return out.Assign(a);
  const int32_t words = n / 32;
  const int32_t bits = n % 32;
  const int32_t total = a.count_ + words + 1;
  Scratch shifted(total);
  if (!shifted.Ok()) return kBigIntNoMemory;
  uint32_t* s = shifted.Words();
  for (int32_t i = 0; i < a.count_; ++i) {
    const uint64_t w = static_cast<uint64_t>(a.words_[i]) << bits;
    s[i] |= static_cast<uint32_t>(w >> 32);
    s[i + 1] |= static_cast<uint32_t>(w);
  }
  return FromSignAndWords(a.sign_, s, total, out);
}

int BigInt::ShiftRight(const BigInt& a, int32_t n, BigInt& out) {
  if (n < 0) return ShiftLeft(a, -n, out);
  if (a.count_ == 0) return out.Assign(BigIntZero());
  if (n == 0) return out.Assign(a);
  const bool negative = a.sign_ < 0;
  const int32_t words = n / 32;
  const int32_t bits = n % 32;
  if (words >= a.count_) {
    if (negative && !a.IsZero()) return FromInt64(-1, out);
    return out.Assign(BigIntZero());
  }
  // Rounding toward minus infinity: a negative value whose dropped bits are not all zero grows by one.
  const bool dropped = a.LowestSetBit() >= 0 && a.LowestSetBit() < n;
  const int32_t kept = a.count_ - words;
  Scratch shifted(kept + 1);
  if (!shifted.Ok()) return kBigIntNoMemory;
  uint32_t* s = shifted.Words();
  for (int32_t i = 0; i < kept; ++i) {
    const uint32_t above = i > 0 ? a.words_[i - 1] : 0;
    s[i + 1] = bits == 0 ? a.words_[i] : (a.words_[i] >> bits) | (above << (32 - bits));
  }
  if (negative && dropped) {
    for (int32_t i = kept; i >= 0 && ++s[i] == 0; --i) {
    }
  }
  BigInt result;
  if (const int rc = FromSignAndWords(a.sign_, s, kept + 1, result); rc != 0) return rc;
  if (result.count_ == 0) return out.Assign(BigIntZero());
  out = std::move(result);
  return 0;
}

int BigInt::Abs(const BigInt& a, BigInt& out) {
  if (const int rc = out.Assign(a); rc != 0) return rc;
  if (out.sign_ < 0) out.sign_ = 1;
  out.bit_length_ = -1;
  return 0;
}

// ---- Powers -----------------------------------------------------------------------------------------

int BigInt::Pow(const BigInt& a, int32_t e, BigInt& out) {
  if (e < 0) {
    out.Clear();
    out.sign_ = 0;
    return kBigIntNegativeExponent;
  }
  if (a.sign_ == 0) return out.Assign(e == 0 ? BigIntOne() : a);
  BigInt result, base;
  if (const int rc = result.Assign(BigIntOne()); rc != 0) return rc;
  if (const int rc = Abs(a, base); rc != 0) return rc;
  for (int32_t bits = e; bits != 0; bits >>= 1) {
    if ((bits & 1) != 0) {
      if (const int rc = Multiply(result, base, result); rc != 0) return rc;
    }
    if (bits > 1) {
      if (const int rc = Square(base, base); rc != 0) return rc;
    }
  }
  if (a.sign_ < 0 && (e & 1) != 0) result.sign_ = -result.sign_;
  out = std::move(result);
  return 0;
}

// ---- Modular operations -----------------------------------------------------------------------------

int BigInt::Mod(const BigInt& a, const BigInt& m, BigInt& out) {
  BigInt result;
  if (!ValidModulus(m)) {
    out = std::move(result);
    return kBigIntBadModulus;
  }
  if (const int rc = Remainder(a, m, result); rc != 0) {
    out = BigInt();
    return rc;
  }
  if (result.IsNegative()) {
    if (const int rc = Add(result, m, result); rc != 0) {
      out = BigInt();
      return rc;
    }
  }
  if (result.IsZero()) result = BigInt();
  out = std::move(result);
  return 0;
}

int BigInt::ModInverse(const BigInt& a, const BigInt& m, BigInt& out) {
  BigInt result;
  const int rc = [&]() -> int {
    if (!ValidModulus(m)) return kBigIntBadModulus;
    if (IsOneValue(m)) return result.Assign(BigIntZero());
    BigInt reduced;
    if (const int code = ReduceBelow(a, m, reduced); code != 0) return code;
    if (IsOneValue(reduced)) return result.Assign(BigIntOne());
    BigNat x, modulus, inverse;
    if (const int code = ToBigNat(reduced, x); code != 0) return code;
    if (const int code = ToBigNat(m, modulus); code != 0) return code;
    if (const int code = BigNat::ModInverse(x, modulus, inverse); code != 0) return code;
    return FromBigNat(inverse, 1, result);
  }();
  out = rc == 0 ? std::move(result) : BigInt();
  return rc;
}

int BigInt::LowBits(const BigInt& a, int32_t k, BigInt& out) {
  if (a.BitLength() <= k) return out.Assign(a);
  if (k <= 0) return out.Assign(BigIntZero());
  const int32_t n = (k + 31) / 32;
  Scratch low(n);
  if (!low.Ok()) return kBigIntNoMemory;
  std::memcpy(low.Words(), a.words_ + a.count_ - n, static_cast<size_t>(n) * sizeof(uint32_t));
  if (k % 32 != 0) low.Words()[0] &= (1u << (k % 32)) - 1;
  return FromSignAndWords(1, low.Words(), n, out);
}

int BigInt::ModPowPowerOfTwo(const BigInt& a, const BigInt& e, int32_t k, BigInt& out) {
  BigInt result, base;
  if (const int rc = result.Assign(BigIntOne()); rc != 0) return rc;
  if (const int rc = LowBits(a, k, base); rc != 0) return rc;
  int32_t bits = e.BitLength();
  if (a.IsOdd()) bits = std::min(bits, k - 1);
  for (int32_t i = 0; i < bits; ++i) {
    if (e.TestBit(i)) {
      if (const int rc = Multiply(result, base, result); rc != 0) return rc;
      if (const int rc = LowBits(result, k, result); rc != 0) return rc;
    }
    if (i + 1 < bits) {
      if (const int rc = Square(base, base); rc != 0) return rc;
      if (const int rc = LowBits(base, k, base); rc != 0) return rc;
    }
  }
  out = std::move(result);
  return 0;
}

int BigInt::ModPowBinary(const BigInt& base, const BigInt& e, const BigInt& m, BigInt& out) {
  if (const int rc = out.Assign(BigIntOne()); rc != 0) return rc;
  if (!ValidModulus(m)) return kBigIntBadModulus;
  BigInt x, b, result;
  if (const int rc = Abs(e, x); rc != 0) return rc;
  if (const int rc = b.Assign(base); rc != 0) return rc;
  if (const int rc = result.Assign(BigIntOne()); rc != 0) return rc;
  while (Compare(x, BigIntZero()) > 0) {
    if (x.IsOdd()) {
      if (const int rc = Multiply(result, b, result); rc != 0) return rc;
      if (const int rc = Mod(result, m, result); rc != 0) return rc;
    }
    if (const int rc = ShiftRight(x, 1, x); rc != 0) return rc;
    if (const int rc = Multiply(b, b, b); rc != 0) return rc;
    if (const int rc = Mod(b, m, b); rc != 0) return rc;
  }
  out = std::move(result);
  return 0;
}

int BigInt::ModPow(const BigInt& base, const BigInt& e, const BigInt& m, BigInt& out) {
  if (!ValidModulus(m)) return kBigIntBadModulus;
  BigInt result;
  const bool m_is_one = IsOneValue(m);
  const bool e_even = !e.IsOdd();
  BigInt minus_one;
  if (const int rc = FromInt64(-1, minus_one); rc != 0) return rc;
  if (e.IsZero() || IsOneValue(base) || (Compare(base, minus_one) == 0 && e_even)) {
    if (const int rc = result.Assign(m_is_one ? BigIntZero() : BigIntOne()); rc != 0) return rc;
    out = std::move(result);
    return 0;
  }
  if (base.IsZero() && !e.IsNegative()) {
    if (const int rc = result.Assign(BigIntZero()); rc != 0) return rc;
    out = std::move(result);
    return 0;
  }
  BigInt exponent, reduced;
  if (const int rc = Abs(e, exponent); rc != 0) return rc;
  if (const int rc = ReduceBelow(base, m, reduced); rc != 0) return rc;
  if (m.IsOdd()) {
    if (const int rc = ModPowOdd(reduced, exponent, m, result); rc != 0) return rc;
  } else {
    // m = m1 * 2^k with m1 odd: one power modulo each factor, joined by the Chinese remainder theorem.
    const int32_t k = m.LowestSetBit();
    BigInt m1, m2, r1, r2, y1, y2, base1, left, right;
    if (const int rc = ShiftRight(m, k, m1); rc != 0) return rc;
    if (const int rc = ShiftLeft(BigIntOne(), k, m2); rc != 0) return rc;
    if (const int rc = ReduceBelow(reduced, m1, base1); rc != 0) return rc;
    if (IsOneValue(m1)) {
      if (const int rc = r1.Assign(BigIntZero()); rc != 0) return rc;
    } else if (const int rc = ModPowOdd(base1, exponent, m1, r1); rc != 0) {
      return rc;
    }
    if (const int rc = ModPowPowerOfTwo(reduced, exponent, k, r2); rc != 0) return rc;
    if (const int rc = ModInverse(m2, m1, y1); rc != 0) return rc;
    if (const int rc = ModInverse(m1, m2, y2); rc != 0) return rc;
    if (const int rc = Multiply(r1, m2, left); rc != 0) return rc;
    if (const int rc = Multiply(left, y1, left); rc != 0) return rc;
    if (const int rc = Multiply(r2, m1, right); rc != 0) return rc;
    if (const int rc = Multiply(right, y2, right); rc != 0) return rc;
    if (const int rc = Add(left, right, left); rc != 0) return rc;
    if (const int rc = Mod(left, m, result); rc != 0) return rc;
  }
  if (e.IsNegative()) {
    if (const int rc = ModInverse(result, m, result); rc != 0) return rc;
  }
  out = std::move(result);
  return 0;
}

}  // namespace velmora::crypto
