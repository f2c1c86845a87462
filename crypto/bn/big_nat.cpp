#include "crypto/bn/big_nat.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/numbers.h"
#include "crypto/bn/big_int.h"
#include "crypto/bn/words.h"

namespace velmora::crypto {

using bigint::BitLength32;
using bigint::CountTrailingZeroBits32;

namespace {

constexpr int kNoMemory = kBigIntNoMemory;

void CopyWords(uint32_t* to, const uint32_t* from, int32_t n) {
  if (n > 0) std::memmove(to, from, static_cast<size_t>(n) * sizeof(uint32_t));
}

void ZeroWords(uint32_t* to, int32_t n) {
  if (n > 0) std::memset(to, 0, static_cast<size_t>(n) * sizeof(uint32_t));
}

// WordInverse returns w^-1 mod 2^32 for an odd w by Newton steps (each doubles the correct bits).
uint32_t WordInverse(uint32_t w) {
  uint32_t x = w;  // correct to 3 bits, since w * w = 1 mod 8
  for (int i = 0; i < 4; ++i) x *= 2 - w * x;
  return x;
}

}  // namespace

// ---- Storage ----------------------------------------------------------------------------------------

int BigNat::Ensure(int32_t n) {
  if (n > capacity_) {
    uint32_t* words = core::AllocZeroedInts(n);
    if (words == nullptr) return kNoMemory;
    AttachWords(words, n);
  } else {
    ZeroWords(words_, n);
  }
  start_ = 0;
  length_ = n;
  return 0;
}

int BigNat::FromWord(uint32_t w) {
  if (const int rc = Ensure(1); rc != 0) return rc;
  words_[0] = w;
  return 0;
}

int BigNat::FromWords(const uint32_t* words, int32_t n) {
  if (words == nullptr || n <= 0) {
    length_ = start_ = 0;
    return 0;
  }
  if (const int rc = Ensure(n); rc != 0) return rc;
  CopyWords(words_, words, n);
  return 0;
}

int BigNat::Assign(const BigNat& b) {
  if (&b == this) return 0;
  if (const int rc = FromWords(b.Used(), b.length_); rc != 0) return rc;
  return 0;
}

void BigNat::AttachWords(uint32_t* words, int32_t n) {
  Reset();
  words_ = words;
  capacity_ = length_ = n;
  start_ = 0;
  owns_ = true;
}

void BigNat::Reset() {
  if (owns_) bigint::FreeWords(words_, capacity_);
  words_ = nullptr;
  capacity_ = length_ = start_ = 0;
  owns_ = true;
}

void BigNat::Swap(BigNat& other) {
  std::swap(words_, other.words_);
  std::swap(capacity_, other.capacity_);
  std::swap(length_, other.length_);
  std::swap(start_, other.start_);
  std::swap(owns_, other.owns_);
}

bool BigNat::IsNormalized() const {
  return start_ + length_ <= capacity_ && (length_ == 0 || words_[start_] != 0);
}

void BigNat::CopyWordsTo(uint32_t* array, int32_t n) const { CopyWords(array, Used(), std::min(n, length_)); }

int32_t BigNat::Compare(const BigNat& a, const BigNat& b) {
  if (a.length_ == 0 || b.length_ == 0) return a.length_ == b.length_ ? 0 : (a.length_ == 0 ? -1 : 1);
  return bigint::CompareWords(a.Used(), a.length_, b.Used(), b.length_);
}

int32_t BigNat::LowestSetBit() const {
  for (int32_t i = 0; i < length_; ++i) {
    if (Word(i) != 0) return 32 * i + CountTrailingZeroBits32(Word(i));
  }
  return -1;
}

void BigNat::Trim() {
  while (length_ > 0 && words_[start_] == 0) {
    ++start_;
    --length_;
  }
  if (length_ == 0) start_ = 0;
}

// ---- Addition, subtraction, multiplication ----------------------------------------------------------

// CombineInto sets this number to x + y or x - y (x at least y) over n words. The result is written
// right-aligned at the end of the array, from the least significant word up: every operand word is read
// before its position is written, so x or y may be this number itself.
int BigNat::CombineInto(const BigNat& x, const BigNat& y, int32_t n, bool subtract) {
  uint32_t* target = words_;
  int32_t target_capacity = capacity_;
  if (capacity_ < n) {
    target = core::AllocZeroedInts(n);
    if (target == nullptr) return kNoMemory;
    target_capacity = n;
  }
  uint64_t carry = 0;  // the borrow when subtracting
  for (int32_t i = 0; i < n; ++i) {
    const uint64_t xi = x.Word(i);
    const uint64_t v = subtract ? xi - y.Word(i) - carry : xi + y.Word(i) + carry;
    target[target_capacity - 1 - i] = static_cast<uint32_t>(v);
    carry = subtract ? (v >> 32) & 1 : v >> 32;
  }
  if (target != words_) AttachWords(target, n);
  start_ = capacity_ - n;
  length_ = n;
  Trim();
  return 0;
}

int BigNat::AddMagnitude(const BigNat& b) { return CombineInto(*this, b, std::max(length_, b.length_) + 1, false); }

int BigNat::SubtractMagnitude(const BigNat& b, int32_t* comparison) {
  const int32_t order = Compare(*this, b);
  *comparison = order;
  if (order == 0) {
    length_ = start_ = 0;
    return 0;
  }
  const BigNat& big = order > 0 ? *this : b;
  const BigNat& small = order > 0 ? b : *this;
  return CombineInto(big, small, big.length_, true);
}

int BigNat::MultiplyWord(const BigNat& a, uint32_t w, BigNat& out) {
  if (a.length_ == 0 || w == 0) return out.Ensure(0);
  const int32_t n = a.length_ + 1;
  if (const int rc = out.Ensure(n); rc != 0) return rc;
  uint64_t carry = 0;
  for (int32_t i = 0; i < a.length_; ++i) {
    const uint64_t t = static_cast<uint64_t>(a.Word(i)) * w + carry;
    out.words_[n - 1 - i] = static_cast<uint32_t>(t);
    carry = t >> 32;
  }
  out.words_[0] = static_cast<uint32_t>(carry);
  out.Trim();
  return 0;
}

int BigNat::Multiply(const BigNat& a, const BigNat& b, BigNat& out) {
  if (a.length_ == 0 || b.length_ == 0) return out.Ensure(0);
  const int32_t n = a.length_ + b.length_;
  if (const int rc = out.Ensure(n); rc != 0) return rc;
  bigint::WordsMultiply(a.Used(), a.length_, b.Used(), b.length_, out.words_);
  out.Trim();
  return 0;
}

// ---- Shifts -----------------------------------------------------------------------------------------

int BigNat::ShiftLeft(int32_t n) {
  Trim();
  if (length_ == 0 || n <= 0) return 0;
  const int32_t word_shift = n / 32;
  const int32_t bit_shift = n % 32;
  const int32_t bits = 32 * (length_ - 1) + BitLength32(words_[start_]) + n;
  const int32_t new_length = (bits + 31) / 32;
  // Lay the words out at their word offset, then shift the whole span by the remaining bits.
  const int32_t place = new_length - word_shift - length_;  // 0 or 1 free words in front
  uint32_t* target = words_;
  if (capacity_ < new_length) {
    target = core::AllocZeroedInts(new_length);
    if (target == nullptr) return kNoMemory;
  }
  CopyWords(target + place, words_ + start_, length_);
  ZeroWords(target, place);
  ZeroWords(target + place + length_, word_shift);
  if (target != words_) AttachWords(target, new_length);
  start_ = 0;
  length_ = new_length;
  if (bit_shift != 0) {
    for (int32_t k = 0; k < new_length; ++k) {
      const uint32_t next = k + 1 < new_length ? words_[k + 1] : 0;
      words_[k] = (words_[k] << bit_shift) | (next >> (32 - bit_shift));
    }
  }
  Trim();
  return 0;
}

void BigNat::ShiftRight(int32_t n) {
  if (length_ == 0 || n <= 0) return;
  length_ -= std::min(length_, n / 32);
  const int32_t bit_shift = n % 32;
  if (bit_shift != 0) {
    for (int32_t k = start_ + length_ - 1; k >= start_; --k) {
      const uint32_t above = k > start_ ? words_[k - 1] : 0;
      words_[k] = (words_[k] >> bit_shift) | (above << (32 - bit_shift));
    }
  }
  Trim();
}

// ---- Division ---------------------------------------------------------------------------------------

int BigNat::DivModWord(const BigNat& a, uint32_t w, BigNat& q, uint32_t* remainder) {
  const int32_t n = a.length_;
  if (const int rc = q.Ensure(n); rc != 0) return rc;
  uint64_t rem = 0;
  for (int32_t k = 0; k < n; ++k) {
    const uint64_t cur = (rem << 32) | a.Used()[k];
    q.words_[k] = static_cast<uint32_t>(cur / w);
    rem = cur % w;
  }
  q.Trim();
  *remainder = static_cast<uint32_t>(rem);
  return 0;
}

// DivMod is long division in base 2^32 (Knuth, TAOCP vol. 2, 4.3.1, algorithm D).
int BigNat::DivMod(const BigNat& a, const BigNat& b, BigNat& q, BigNat& r) {
  BigNat divisor;
  if (const int rc = divisor.Assign(b); rc != 0) return rc;
  divisor.Trim();
  if (divisor.length_ == 0) return kBigIntDivisionByZero;
  BigNat dividend;
  if (const int rc = dividend.Assign(a); rc != 0) return rc;
  dividend.Trim();
  const int32_t order = Compare(dividend, divisor);
  if (order < 0) {
    if (const int rc = q.Ensure(0); rc != 0) return rc;
    return r.FromWords(dividend.Used(), dividend.length_);
  }
  if (order == 0) {
    if (const int rc = q.FromWord(1); rc != 0) return rc;
    return r.Ensure(0);
  }
  if (divisor.length_ == 1) {
    uint32_t rem = 0;
    if (const int rc = DivModWord(dividend, divisor.Word(0), q, &rem); rc != 0) return rc;
    if (const int rc = r.FromWord(rem); rc != 0) return rc;
    r.Trim();
    return 0;
  }
  const int32_t n = divisor.length_;
  const int32_t m = dividend.length_ - n;
  // u is the dividend behind one slack word; both are normalised so the divisor's top bit is set.
  BigNat u;
  if (const int rc = u.Ensure(dividend.length_ + 1); rc != 0) return rc;
  CopyWords(u.words_ + 1, dividend.Used(), dividend.length_);
  if (const int rc = q.Ensure(m + 1); rc != 0) return rc;
  const int32_t shift = 32 - BitLength32(divisor.Used()[0]);
  uint32_t* v = divisor.words_ + divisor.start_;
  uint32_t* uw = u.words_;
  const int32_t ulen = u.length_;
  if (shift > 0) {
    for (int32_t k = 0; k < n; ++k) v[k] = (v[k] << shift) | (k + 1 < n ? v[k + 1] >> (32 - shift) : 0);
    for (int32_t k = 0; k < ulen; ++k) uw[k] = (uw[k] << shift) | (k + 1 < ulen ? uw[k + 1] >> (32 - shift) : 0);
  }
  const uint64_t dh = v[0];
  const uint64_t dl = v[1];
  for (int32_t j = 0; j <= m; ++j) {
    const uint64_t nh = uw[j];
    const uint64_t nm = uw[j + 1];
    const uint64_t nl = uw[j + 2];
    uint64_t qhat;
    uint64_t rhat;
    if (nh == dh) {
      qhat = 0xFFFFFFFFu;
      rhat = nh + nm;
    } else {
      const uint64_t top = (nh << 32) | nm;
      qhat = top / dh;
      rhat = top % dh;
    }
    while (rhat <= 0xFFFFFFFFu && qhat * dl > ((rhat << 32) | nl)) {
      --qhat;
      rhat += dh;
    }
    if (qhat == 0) continue;
    // u[j .. j + n] -= qhat * v; the borrow out of the top word tells that qhat was one too large.
    uint64_t carry = 0;
    int64_t borrow = 0;
    for (int32_t k = n - 1; k >= 0; --k) {
      const uint64_t product = qhat * v[k] + carry;
      carry = product >> 32;
      const int64_t diff = static_cast<int64_t>(uw[j + 1 + k]) - static_cast<int64_t>(product & 0xFFFFFFFFu) + borrow;
      uw[j + 1 + k] = static_cast<uint32_t>(diff);
      borrow = diff >> 32;
    }
    const int64_t top = static_cast<int64_t>(uw[j]) - static_cast<int64_t>(carry) + borrow;
    uw[j] = static_cast<uint32_t>(top);
    if (top < 0) {
      --qhat;
      uint64_t add = 0;
      for (int32_t k = n - 1; k >= 0; --k) {
        const uint64_t sum = static_cast<uint64_t>(uw[j + 1 + k]) + v[k] + add;
        uw[j + 1 + k] = static_cast<uint32_t>(sum);
        add = sum >> 32;
      }
      uw[j] = static_cast<uint32_t>(uw[j] + add);
    }
    q.words_[j] = static_cast<uint32_t>(qhat);
  }
  // The remainder is the low n words of u, shifted back.
  u.start_ = m + 1;
  u.length_ = n;
  u.ShiftRight(shift);
  q.Trim();
  return r.FromWords(u.Used(), u.length_);
}

// ---- Montgomery reduction and inverses --------------------------------------------------------------

int BigNat::MontgomeryReduce(BigNat& out, BigNat& t, const BigNat& m, int32_t k) {
  const uint32_t m_prime = 0u - WordInverse(m.Word(0));
  BigNat product;
  for (int32_t i = 0; i < k / 32; ++i) {
    if (const int rc = MultiplyWord(m, t.Word(0) * m_prime, product); rc != 0) return rc;
    if (const int rc = t.AddMagnitude(product); rc != 0) return rc;
    if (t.length_ > 0) --t.length_;  // the lowest word is now zero
    t.Trim();
  }
  const int32_t bits = k % 32;
  if (bits != 0) {
    const uint32_t q = (t.Word(0) * m_prime) & ((1u << bits) - 1);
    if (const int rc = MultiplyWord(m, q, product); rc != 0) return rc;
    if (const int rc = t.AddMagnitude(product); rc != 0) return rc;
    t.ShiftRight(bits);
  }
  if (Compare(t, m) >= 0) {
    BigNat quotient;
    BigNat rest;
    if (const int rc = DivMod(t, m, quotient, rest); rc != 0) return rc;
    return out.Assign(rest);
  }
  return out.Assign(t);
}

int BigNat::InversePowerOfTwo(BigNat& out, const BigNat& m, int32_t k) {
  BigNat one;
  if (const int rc = one.FromWord(1); rc != 0) return rc;
  return MontgomeryReduce(out, one, m, k);
}

// AlmostInverse is Kaliski's almost Montgomery inverse: it keeps a * c = f * 2^k and a * d = -g * 2^k
// (mod m) while f and g shrink by binary steps, so f = 1 gives a^-1 = c * 2^-k.
int BigNat::AlmostInverse(const BigNat& a, const BigNat& m, BigNat& out) {
  out.Reset();
  BigNat f;
  BigNat g;
  SignedBigNat c;
  SignedBigNat d;
  if (const int rc = f.Assign(a); rc != 0) return rc;
  f.Trim();
  if (f.IsZero()) return kBigIntNotInvertible;
  if (int rc = g.Assign(m); rc != 0) return rc;
  if (int rc = c.FromWord(1); rc != 0) return rc;
  int32_t k = 0;
  if (f.IsEven()) {
    k = f.LowestSetBit();
    f.ShiftRight(k);
  }
  for (;;) {
    if (f.IsOne()) {
      while (c.sign < 0 && !c.IsZero()) {
        if (const int rc = c.AddMagnitude(m); rc != 0) return rc;
      }
      return MontgomeryReduce(out, c, m, k);
    }
    if (f.IsZero()) return kBigIntNotInvertible;
    if (Compare(f, g) < 0) {
      f.Swap(g);
      c.Swap(d);
    }
    int32_t ignored = 0;
    if ((f.Word(0) & 3) == (g.Word(0) & 3)) {
      if (const int rc = f.SubtractMagnitude(g, &ignored); rc != 0) return rc;
      if (const int rc = c.Subtract(d); rc != 0) return rc;
    } else {
      if (const int rc = f.AddMagnitude(g); rc != 0) return rc;
      if (const int rc = c.Add(d); rc != 0) return rc;
    }
    const int32_t t = f.LowestSetBit();
    if (t > 0) {
      f.ShiftRight(t);
      if (const int rc = d.ShiftLeft(t); rc != 0) return rc;
      k += t;
    }
  }
}

int BigNat::InverseModPowerOfTwo(const BigNat& a, int32_t k, BigNat& out) {
  out.Reset();
  if (a.IsZero() || a.IsEven() || k < 0) return kBigIntNotInvertible;
  if (k > 64) return InverseByEuclid(a, k, out);
  const uint32_t x = WordInverse(a.Word(0));
  if (k <= 32) {
    const uint32_t mask = k == 32 ? 0xFFFFFFFFu : (1u << k) - 1;
    if (const int rc = out.FromWord(x & mask); rc != 0) return rc;
    out.Trim();
    return 0;
  }
  const uint64_t t64 = (static_cast<uint64_t>(a.Word(1)) << 32) | a.Word(0);
  uint64_t x64 = x;
  x64 *= 2 - t64 * x64;
  if (k < 64) x64 &= (uint64_t{1} << k) - 1;
  const uint32_t pair[2] = {static_cast<uint32_t>(x64 >> 32), static_cast<uint32_t>(x64)};
  if (const int rc = out.FromWords(pair, 2); rc != 0) return rc;
  out.Trim();
  return 0;
}

// InverseByEuclid runs the extended Euclidean algorithm on 2^k and a, keeping only the coefficients of
// a as magnitudes: their signs alternate, so the coefficient beside remainder i is positive for odd i.
int BigNat::InverseByEuclid(const BigNat& a, int32_t k, BigNat& out) {
  out.Reset();
  BigNat r0;
  BigNat r1;
  BigNat t0;
  BigNat t1;
  BigNat q;
  BigNat rem;
  BigNat product;
  if (int rc = r0.FromWord(1); rc != 0) return rc;
  if (int rc = r0.ShiftLeft(k); rc != 0) return rc;
  BigNat modulus;
  if (int rc = modulus.Assign(r0); rc != 0) return rc;
  if (int rc = DivMod(a, modulus, q, r1); rc != 0) return rc;
  if (int rc = t0.Ensure(0); rc != 0) return rc;
  if (int rc = t1.FromWord(1); rc != 0) return rc;
  for (int32_t i = 1;; ++i) {
    if (r1.IsZero()) return kBigIntNotInvertible;
    if (r1.IsOne()) {
      if (i % 2 == 1) return out.Assign(t1);
      int32_t ignored = 0;
      if (int rc = modulus.SubtractMagnitude(t1, &ignored); rc != 0) return rc;
      return out.Assign(modulus);
    }
    if (int rc = DivMod(r0, r1, q, rem); rc != 0) return rc;
    if (q.length_ == 1) {
      if (int rc = MultiplyWord(t1, q.Word(0), product); rc != 0) return rc;
    } else if (int rc = Multiply(t1, q, product); rc != 0) {
      return rc;
    }
    if (int rc = product.AddMagnitude(t0); rc != 0) return rc;
    r0.Swap(r1);
    r1.Swap(rem);
    t0.Swap(t1);
    t1.Swap(product);
  }
}

int BigNat::ModInverse(const BigNat& a, const BigNat& m, BigNat& out) {
  out.Reset();
  if (m.IsOdd()) return AlmostInverse(a, m, out);
  if (a.IsZero() || a.IsEven()) return kBigIntNotInvertible;
  const int32_t k = m.LowestSetBit();
  BigNat o;
  if (int rc = o.Assign(m); rc != 0) return rc;
  o.ShiftRight(k);
  if (o.IsOne()) return InverseModPowerOfTwo(a, k, out);
  // Chinese remaindering over the odd part o and 2^k.
  BigNat x1, x2, y1, y2, left, right, scratch;
  if (int rc = AlmostInverse(a, o, x1); rc != 0) return rc;
  if (int rc = InverseModPowerOfTwo(a, k, x2); rc != 0) return rc;
  if (int rc = InversePowerOfTwo(y1, o, k); rc != 0) return rc;
  if (int rc = InverseModPowerOfTwo(o, k, y2); rc != 0) return rc;
  if (int rc = x1.ShiftLeft(k); rc != 0) return rc;
  if (int rc = Multiply(x1, y1, left); rc != 0) return rc;
  if (int rc = Multiply(x2, o, scratch); rc != 0) return rc;
  if (int rc = Multiply(scratch, y2, right); rc != 0) return rc;
  if (int rc = left.AddMagnitude(right); rc != 0) return rc;
  return DivMod(left, m, scratch, out);
}

// ---- SignedBigNat -----------------------------------------------------------------------------------

int SignedBigNat::Assign(const SignedBigNat& b) {
  sign = b.sign;
  return BigNat::Assign(b);
}

void SignedBigNat::Swap(SignedBigNat& other) {
  BigNat::Swap(other);
  std::swap(sign, other.sign);
}

int SignedBigNat::Add(const SignedBigNat& b) {
  if (sign == b.sign) return BigNat::AddMagnitude(b);
  int32_t order = 0;
  if (const int rc = BigNat::SubtractMagnitude(b, &order); rc != 0) return rc;
  // A zero result takes sign +1, so that later steps treat it as the zero it is.
  sign = order == 0 ? 1 : sign * order;
  return 0;
}

int SignedBigNat::AddMagnitude(const BigNat& b) {
  if (sign != 1) {
    int32_t order = 0;
    if (const int rc = BigNat::SubtractMagnitude(b, &order); rc != 0) return rc;
    sign = IsZero() ? 1 : -order;
    return 0;
  }
  return BigNat::AddMagnitude(b);
}

int SignedBigNat::Subtract(const SignedBigNat& b) {
  if (sign != b.sign) return BigNat::AddMagnitude(b);
  int32_t order = 0;
  if (const int rc = BigNat::SubtractMagnitude(b, &order); rc != 0) return rc;
  sign = order == 0 ? 1 : sign * order;
  return 0;
}

int SignedBigNat::SubtractMagnitude(const BigNat& b) {
  if (sign == 1) {
    int32_t order = 0;
    if (const int rc = BigNat::SubtractMagnitude(b, &order); rc != 0) return rc;
    sign = order == 0 ? 1 : order;
    return 0;
  }
  return BigNat::AddMagnitude(b);
}

}  // namespace velmora::crypto
