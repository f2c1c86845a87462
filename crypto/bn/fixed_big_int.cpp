#include "crypto/bn/fixed_big_int.h"

#include <cstring>
#include <initializer_list>

#include "platform/memory.h"

namespace velmora::crypto {
namespace {

using F = FixedBigInt;

bool BadCount(const F& v) { return v.Count > F::kMaxWords; }
int32_t Used(const F& v) { return v.Count < 1 ? 1 : v.Count; }

}  // namespace

int F::FromBytes(const uint8_t* bytes, int32_t n, F& out) {
  if (n < 0 || n > 4 * kMaxWords) return kFixedTooLong;
  int32_t words = (n + 3) / 4;
  std::memset(out.Words, 0, sizeof out.Words);
  for (int32_t i = 0; i < n; ++i) {
    const int32_t from_end = n - 1 - i;
    out.Words[from_end / 4] |= static_cast<uint32_t>(bytes[i]) << (8 * (from_end % 4));
  }
  out.Count = words < 1 ? 1 : words;
  Normalize(out);
  return 0;
}

int WordsFromBufferPadded(const core::BufferCore& bytes, const F* model, F& out) {
  const int status = F::FromBytes(reinterpret_cast<const uint8_t*>(bytes.Data()), bytes.Length(), out);
  if (status != 0) return status;
  if (model != nullptr && model->Count > out.Count && model->Count <= F::kMaxWords) out.Count = model->Count;
  return 0;
}

int F::ToBytes(const F& value, int32_t n, core::BufferCore& out) {
  if (BadCount(value)) return kFixedTooLong;
  if ((BitLength(value) + 7) / 8 > n) return kFixedBytesTooShort;
  const int status = out.SetData(n, nullptr);
  if (status != 0) return status;
  auto* data = reinterpret_cast<uint8_t*>(out.Data());
  for (int32_t i = 0; i < n; ++i) {
    const int32_t from_end = n - 1 - i;
    data[i] = from_end / 4 < kMaxWords ? static_cast<uint8_t>(value.Words[from_end / 4] >> (8 * (from_end % 4))) : 0;
  }
  return 0;
}

int F::ToWordBytes(const F& value, core::BufferCore& out) { return ToBytes(value, 4 * Used(value), out); }

void F::Copy(F& destination, const F& source) {
  if (&destination == &source) return;
  const int32_t count = Used(source) > kMaxWords ? kMaxWords : Used(source);
  destination.Count = source.Count;
  destination.Positive = source.Positive;
  std::memcpy(destination.Words, source.Words, sizeof(uint32_t) * count);
  std::memset(destination.Words + count, 0, sizeof(uint32_t) * (kMaxWords - count));
}

void F::SetWord(F& value, uint32_t w) {
  std::memset(value.Words, 0, sizeof value.Words);
  value.Words[0] = w;
  value.Count = 1;
  value.Positive = 1;
}

int F::SetRandom(F& value, int32_t n, RandomContext& context) {
  if (n < 1 || n > kMaxWords) return kFixedTooLong;
  std::memset(value.Words, 0, sizeof value.Words);
  RandomBytes(context, value.Words, 4 * n);
  value.Count = n;
  value.Positive = 1;
  ReleaseNativeKey(context);
  return 0;
}

int F::SetBit(F& value, int32_t bit, bool set) {
  if (bit < 0 || bit / 32 >= kMaxWords) return kFixedTooLong;
  const int32_t word = bit / 32;
  if (set) {
    value.Words[word] |= 1u << (bit % 32);
  } else {
    value.Words[word] &= ~(1u << (bit % 32));
  }
  if (value.Count < word + 1) value.Count = word + 1;
  return 0;
}

int F::SetPolynomial(F& value, int32_t m, int32_t k1, int32_t k2, int32_t k3) {
  if (m < 0 || m / 32 + 1 > kMaxWords || k1 > m || k2 > m || k3 > m) return kFixedTooLong;
  std::memset(value.Words, 0, sizeof value.Words);
  value.Count = m / 32 + 1;
  value.Positive = 1;
  value.Words[m / 32] |= 1u << (m % 32);
  value.Words[0] |= 1;
  for (const int32_t k : {k1, k2, k3}) {
    if (k > 0) value.Words[k / 32] |= 1u << (k % 32);
  }
  return 0;
}

void PolynomialTermExponents(const F& value, int32_t* length, int32_t* e1, int32_t* e2, int32_t* e3) {
  const int32_t bits = F::BitLength(value);
  int32_t found[3] = {0, 0, 0};
  int32_t next = 0;
  for (int32_t i = 0; i < bits && next < 3; ++i) {
    if (F::TestBit(value, i)) found[next++] = i;
  }
  *length = bits;
  *e1 = found[0];
  *e2 = found[1];
  *e3 = found[2];
}

void F::Normalize(F& value) {
  if (value.Count > kMaxWords) value.Count = kMaxWords;
  while (value.Count > 1 && value.Words[value.Count - 1] == 0) --value.Count;
  if (value.Count < 1) value.Count = 1;
}

bool F::IsZero(const F& value) {
  if (value.Count < 1) return true;
  for (int32_t i = 0; i < value.Count && i < kMaxWords; ++i) {
    if (value.Words[i] != 0) return false;
  }
  return true;
}

bool F::TestBit(const F& value, int32_t i) {
  if (i < 0 || i / 32 >= kMaxWords || i / 32 >= Used(value)) return false;
  return ((value.Words[i / 32] >> (i % 32)) & 1) != 0;
}

int32_t F::BitLength(const F& value) {
  for (int32_t i = (Used(value) > kMaxWords ? kMaxWords : Used(value)) - 1; i >= 0; --i) {
    if (value.Words[i] != 0) return 32 * i + 32 - __builtin_clz(value.Words[i]);
  }
  return 0;
}

bool F::Equals(const F& a, const F& b) {
  if (a.Positive != b.Positive && !(IsZero(a) && IsZero(b))) return false;
  if (Used(a) != Used(b)) return false;
  for (int32_t i = 0; i < Used(a); ++i) {
    if (a.Words[i] != b.Words[i]) return false;
  }
  return true;
}

bool F::IsGreater(const F& a, const F& b) {
  if (Used(a) != Used(b)) return Used(a) > Used(b);
  for (int32_t i = Used(a) - 1; i >= 0; --i) {
    if (a.Words[i] != b.Words[i]) return a.Words[i] > b.Words[i];
  }
  return false;
}

int F::AddMagnitudes(const F& a, const F& b, F& out) {
  if (BadCount(a) || BadCount(b)) return kFixedTooLong;
  const F& longer = Used(a) >= Used(b) ? a : b;
  const F& shorter = Used(a) >= Used(b) ? b : a;
  const int32_t n = Used(longer);
  const int32_t m = Used(shorter);
  uint64_t carry = 0;
  uint32_t sum[kMaxWords];
  for (int32_t i = 0; i < n; ++i) {
    carry += static_cast<uint64_t>(longer.Words[i]) + (i < m ? shorter.Words[i] : 0);
    sum[i] = static_cast<uint32_t>(carry);
    carry >>= 32;
  }
  if (carry != 0 && n == kMaxWords) return kFixedTooLong;
  std::memcpy(out.Words, sum, sizeof(uint32_t) * n);
  std::memset(out.Words + n, 0, sizeof(uint32_t) * (kMaxWords - n));
  out.Count = n;
  if (carry != 0) out.Words[out.Count++] = 1;
  out.Positive = 1;
  return 0;
}

int F::SubtractMagnitudes(const F& a, const F& b, F& out) {
  if (BadCount(a) || BadCount(b)) return kFixedTooLong;
  const int32_t n = Used(a);
  const int32_t m = Used(b);
  uint32_t difference[kMaxWords];
  int64_t borrow = 0;
  for (int32_t i = 0; i < n; ++i) {
    const int64_t d = static_cast<int64_t>(a.Words[i]) - (i < m ? b.Words[i] : 0) - borrow;
    difference[i] = static_cast<uint32_t>(d);
    borrow = d < 0 ? 1 : 0;
  }
  std::memcpy(out.Words, difference, sizeof(uint32_t) * n);
  std::memset(out.Words + n, 0, sizeof(uint32_t) * (kMaxWords - n));
  out.Count = n;
  out.Positive = 1;
  Normalize(out);
  return 0;
}

int F::Add(const F& a, const F& b, F& out) {
  if (BadCount(a) || BadCount(b)) return kFixedTooLong;
  const bool a_neg = a.Positive == 0;
  const bool b_neg = b.Positive == 0;
  int status;
  if (a_neg == b_neg) {
    status = AddMagnitudes(a, b, out);
    if (status == 0) out.Positive = a_neg ? 0 : 1;
    return status;
  }
  // Mixed signs: subtract the smaller magnitude from the larger and take the larger one's sign.
  const F& big = IsGreater(b, a) ? b : a;
  const F& small = IsGreater(b, a) ? a : b;
  const int32_t sign = (&big == &a) ? a.Positive : b.Positive;
  status = SubtractMagnitudes(big, small, out);
  if (status == 0) out.Positive = IsZero(out) ? 1 : sign;
  return status;
}

int F::Subtract(const F& a, const F& b, F& out) {
  if (BadCount(a) || BadCount(b)) return kFixedTooLong;
  F negated;
  Copy(negated, b);
  negated.Positive = b.Positive == 0 ? 1 : 0;
  return Add(a, negated, out);
}

int F::AddWord(const F& a, uint32_t w, F& out) {
  F word;
  SetWord(word, w);
  const int32_t sign = a.Positive;
  const int status = AddMagnitudes(a, word, out);
  if (status == 0) out.Positive = sign;
  return status;
}

int F::Multiply(const F& a, const F& b, F& out) {
  if (BadCount(a) || BadCount(b)) return kFixedTooLong;
  const int32_t sign = a.Positive == b.Positive ? 1 : 0;
  if (IsZero(a) || IsZero(b)) {
    SetWord(out, 0);
    out.Positive = sign;
    return 0;
  }
  F na;
  F nb;
  Copy(na, a);
  Copy(nb, b);
  Normalize(na);
  Normalize(nb);
  const int32_t n = na.Count;
  const int32_t m = nb.Count;
  if (n + m > kMaxWords + 1) return kFixedTooLong;
  uint32_t product[2 * kMaxWords] = {};
  for (int32_t i = 0; i < n; ++i) {
    uint64_t carry = 0;
    const uint64_t ai = na.Words[i];
    for (int32_t j = 0; j < m; ++j) {
      carry += ai * nb.Words[j] + product[i + j];
      product[i + j] = static_cast<uint32_t>(carry);
      carry >>= 32;
    }
    product[i + m] = static_cast<uint32_t>(carry);
  }
  int32_t count = n + m;
  while (count > 1 && product[count - 1] == 0) --count;
  if (count > kMaxWords) return kFixedTooLong;
  std::memcpy(out.Words, product, sizeof(uint32_t) * count);
  std::memset(out.Words + count, 0, sizeof(uint32_t) * (kMaxWords - count));
  out.Count = count;
  out.Positive = sign;
  return 0;
}

int F::MultiplyWord(const F& a, uint32_t w, F& out) {
  F word;
  SetWord(word, w);
  const int32_t sign = a.Positive;
  const int status = Multiply(a, word, out);
  if (status == 0) out.Positive = sign;
  return status;
}

int F::Mod(const F& a, const F& m, F& out) {
  if (BadCount(a) || BadCount(m)) return kFixedTooLong;
  if (IsZero(m)) return kFixedZeroOperand;
  F modulus;
  Copy(modulus, m);
  Normalize(modulus);
  modulus.Positive = 1;
  F r;
  SetWord(r, 0);
  for (int32_t i = BitLength(a) - 1; i >= 0; --i) {
    int status = ShiftLeft1(r);
    if (status != 0) return status;
    r.Words[0] |= TestBit(a, i) ? 1u : 0u;
    if (!IsGreater(modulus, r)) {
      status = SubtractMagnitudes(r, modulus, r);
      if (status != 0) return status;
    }
  }
  Copy(out, r);
  return 0;
}

int F::ModInverse(const F& a, const F& m, F& g, F& x) {
  if (BadCount(a) || BadCount(m)) return kFixedTooLong;
  if (IsZero(a) || IsZero(m)) return kFixedZeroOperand;
  F u;
  F v;
  Copy(u, m);
  Copy(v, a);
  u.Positive = v.Positive = 1;
  Normalize(u);
  Normalize(v);
  int32_t h = 0;
  while (IsEven(u) && IsEven(v)) {
    ShiftRight1(u);
    ShiftRight1(v);
    ++h;
  }
  F big_u;
  F big_v;
  Copy(big_u, u);
  Copy(big_v, v);
  F s1;
  F t1;
  F s2;
  F t2;
  SetWord(s1, 1);
  SetWord(t1, 0);
  SetWord(s2, 0);
  SetWord(t2, 1);
  int status = 0;
  auto halve = [&](F& w, F& s, F& t) -> int {
    while (IsEven(w) && !IsZero(w)) {
      ShiftRight1(w);
      if (!IsEven(s) || !IsEven(t)) {
        int st = Add(s, big_v, s);
        if (st == 0) st = Subtract(t, big_u, t);
        if (st != 0) return st;
      }
      ShiftRight1(s);
      ShiftRight1(t);
    }
    return 0;
  };
  while (!IsZero(u)) {
    if ((status = halve(u, s1, t1)) != 0) return status;
    if ((status = halve(v, s2, t2)) != 0) return status;
    if (!IsGreater(v, u)) {
      if ((status = SubtractMagnitudes(u, v, u)) != 0) return status;
      if ((status = Subtract(s1, s2, s1)) != 0) return status;
      if ((status = Subtract(t1, t2, t1)) != 0) return status;
    } else {
      if ((status = SubtractMagnitudes(v, u, v)) != 0) return status;
      if ((status = Subtract(s2, s1, s2)) != 0) return status;
      if ((status = Subtract(t2, t1, t2)) != 0) return status;
    }
  }
  F modulus;
  Copy(modulus, m);
  modulus.Positive = 1;
  // Shifting a signed value halves its magnitude; the halvings above stay exact because both
  // coefficients are made even first.
  while (t2.Positive == 0 && !IsZero(t2)) {
    if ((status = Add(t2, modulus, t2)) != 0) return status;
  }
  if (IsZero(t2)) t2.Positive = 1;
  // The coefficient can end above the modulus; the inverse is the least non-negative one.
  if (!IsGreater(modulus, t2) && (status = Mod(t2, modulus, t2)) != 0) return status;
  if ((status = ShiftLeft(v, h)) != 0) return status;
  Copy(g, v);
  Copy(x, t2);
  return 0;
}

int F::MontgomeryMultiply(const F& a, const F& b, const F& m, uint32_t m_prime, int32_t n, F& out) {
  if (BadCount(a) || BadCount(b) || BadCount(m) || n >= kMaxWords || n < 1) return kFixedTooLong;
  if (IsZero(m)) return kFixedZeroOperand;
  uint32_t t[kMaxWords + 2] = {};
  for (int32_t i = 0; i < n; ++i) {
    const uint64_t ai = i < Used(a) ? a.Words[i] : 0;
    uint64_t carry = 0;
    for (int32_t j = 0; j < n; ++j) {
      carry += ai * (j < Used(b) ? b.Words[j] : 0) + t[j];
      t[j] = static_cast<uint32_t>(carry);
      carry >>= 32;
    }
    carry += t[n];
    t[n] = static_cast<uint32_t>(carry);
    t[n + 1] = static_cast<uint32_t>(carry >> 32);
    const uint64_t u = static_cast<uint32_t>(t[0] * m_prime);
    carry = u * m.Words[0] + t[0];
    carry >>= 32;
    for (int32_t j = 1; j < n; ++j) {
      carry += u * (j < Used(m) ? m.Words[j] : 0) + t[j];
      t[j - 1] = static_cast<uint32_t>(carry);
      carry >>= 32;
    }
    carry += t[n];
    t[n - 1] = static_cast<uint32_t>(carry);
    t[n] = t[n + 1] + static_cast<uint32_t>(carry >> 32);
    t[n + 1] = 0;
  }
  // t < 2m: subtract m once when needed, through a mask so the choice does not branch.
  uint32_t reduced[kMaxWords + 1];
  int64_t borrow = 0;
  for (int32_t j = 0; j <= n; ++j) {
    const int64_t d = static_cast<int64_t>(t[j]) - (j < Used(m) && j < n ? m.Words[j] : 0) - borrow;
    reduced[j] = static_cast<uint32_t>(d);
    borrow = d < 0 ? 1 : 0;
  }
  const uint32_t keep_t = 0u - static_cast<uint32_t>(borrow);
  std::memset(out.Words, 0, sizeof out.Words);
  for (int32_t j = 0; j < n; ++j) out.Words[j] = (t[j] & keep_t) | (reduced[j] & ~keep_t);
  out.Count = n;
  out.Positive = 1;
  platform::SecureZero(t, sizeof t);
  platform::SecureZero(reduced, sizeof reduced);
  return 0;
}

int F::ModPow(const F& a, const F& e, const F& m, F& out) {
  if (BadCount(a) || BadCount(e) || BadCount(m)) return kFixedTooLong;
  if (IsZero(m)) return kFixedZeroOperand;
  if (IsEven(m)) return 0;
  F modulus;
  Copy(modulus, m);
  Normalize(modulus);
  modulus.Positive = 1;
  const int32_t n = modulus.Count;
  if (n >= kMaxWords) return kFixedTooLong;
  // m' = -m0^-1 mod 2^32 by Newton's iteration.
  uint32_t inverse = modulus.Words[0];
  for (int i = 0; i < 5; ++i) inverse *= 2 - modulus.Words[0] * inverse;
  const uint32_t m_prime = 0u - inverse;
  F r;
  SetWord(r, 0);
  r.Words[n] = 1;
  r.Count = n + 1;
  int status = Mod(r, modulus, r);  // R mod m
  F base;
  if (status == 0) status = Mod(a, modulus, base);
  F a_r;
  if (status == 0) status = Multiply(base, r, a_r);
  if (status == 0) status = Mod(a_r, modulus, a_r);
  if (status != 0) return status;
  F acc;
  Copy(acc, r);  // 1 in Montgomery form
  acc.Count = n;
  a_r.Count = n;
  F product;
  for (int32_t i = BitLength(e) - 1; i >= 0; --i) {
    if ((status = MontgomeryMultiply(acc, acc, modulus, m_prime, n, acc)) != 0) return status;
    if ((status = MontgomeryMultiply(acc, a_r, modulus, m_prime, n, product)) != 0) return status;
    // Take the product or keep the square through a mask, so the exponent's bits do not steer branches.
    const uint32_t take = 0u - static_cast<uint32_t>(TestBit(e, i));
    for (int32_t j = 0; j < n; ++j) acc.Words[j] = (product.Words[j] & take) | (acc.Words[j] & ~take);
  }
  F one;
  SetWord(one, 1);
  if ((status = MontgomeryMultiply(acc, one, modulus, m_prime, n, acc)) != 0) return status;
  Normalize(acc);
  Copy(out, acc);
  platform::SecureZero(&product, sizeof product);
  platform::SecureZero(&base, sizeof base);
  return 0;
}

int F::ShiftLeft1(F& value) {
  const int32_t n = Used(value);
  if (n > kMaxWords) return kFixedTooLong;
  if (n == kMaxWords && (value.Words[n - 1] >> 31) != 0) return kFixedTooLong;
  uint32_t carry = 0;
  for (int32_t i = 0; i < n; ++i) {
    const uint32_t next = value.Words[i] >> 31;
    value.Words[i] = (value.Words[i] << 1) | carry;
    carry = next;
  }
  value.Count = n;
  if (carry != 0) value.Words[value.Count++] = carry;
  return 0;
}

void F::ShiftRight1(F& value) { ShiftRight(value, 1); }

int F::ShiftLeft(F& value, int32_t n) {
  if (n < 0) return kFixedTooLong;
  if (n == 0) return BadCount(value) ? kFixedTooLong : 0;
  const int32_t words = n / 32;
  const int32_t bits = n % 32;
  const int32_t count = Used(value);
  const bool spills = bits != 0 && (value.Words[count - 1] >> (32 - bits)) != 0;
  if (count > kMaxWords || count + words + (spills ? 1 : 0) > kMaxWords) return kFixedTooLong;
  uint32_t shifted[kMaxWords + 1] = {};
  for (int32_t i = 0; i < count; ++i) {
    shifted[i + words] |= bits == 0 ? value.Words[i] : value.Words[i] << bits;
    if (bits != 0) shifted[i + words + 1] |= value.Words[i] >> (32 - bits);
  }
  std::memcpy(value.Words, shifted, sizeof value.Words);
  value.Count = count + words + 1 > kMaxWords ? kMaxWords : count + words + 1;
  Normalize(value);
  return 0;
}

void F::ShiftRight(F& value, int32_t n) {
  if (n <= 0) return;
  const int32_t words = n / 32;
  const int32_t bits = n % 32;
  const int32_t count = Used(value) > kMaxWords ? kMaxWords : Used(value);
  if (words >= count) {
    std::memset(value.Words, 0, sizeof value.Words);
    value.Count = 1;
    return;
  }
  for (int32_t i = 0; i + words < count; ++i) {
    const uint32_t low = value.Words[i + words];
    const uint32_t high = i + words + 1 < count ? value.Words[i + words + 1] : 0;
    value.Words[i] = bits == 0 ? low : (low >> bits) | (high << (32 - bits));
  }
  for (int32_t i = count - words; i < count; ++i) value.Words[i] = 0;
  value.Count = count - words;
  Normalize(value);
}

int F::ShiftLeftWords(F& value, int32_t n) {
  if (n < 0 || Used(value) + n > kMaxWords) return kFixedTooLong;
  return ShiftLeft(value, 32 * n);
}

int F::ShiftLeftInto(const F& a, int32_t n, F& out) {
  if (n < 0 || Used(a) + 1 + n / 32 > kMaxWords) return kFixedTooLong;
  F copy;
  Copy(copy, a);
  const int status = ShiftLeft(copy, n);
  if (status != 0) return status;
  Copy(out, copy);
  return 0;
}

}  // namespace velmora::crypto
