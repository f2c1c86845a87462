#include "crypto/ec/mont_field.h"

#include <cstring>

namespace velmora::crypto::ec {
namespace {

using u128 = unsigned __int128;

// t (n limbs plus a top limb) minus m when that does not go below zero, into out.
void FinalSubtract(const MontField& f, uint64_t* out, const uint64_t* t, uint64_t top) {
  uint64_t d[kMaxLimbs];
  uint64_t borrow = 0;
  for (int32_t j = 0; j < f.n; ++j) {
    const u128 diff = static_cast<u128>(t[j]) - f.m[j] - borrow;
    d[j] = static_cast<uint64_t>(diff);
    borrow = static_cast<uint64_t>(diff >> 64) & 1;
  }
  const uint64_t keep_t = 0 - static_cast<uint64_t>(top < borrow);
  for (int32_t j = 0; j < f.n; ++j) out[j] = (t[j] & keep_t) | (d[j] & ~keep_t);
}

// Coarsely integrated operand scanning with the limb count fixed at compile time and the loops
// unrolled, so the running sums stay in registers.
template <int N>
void MulN(const MontField& f, uint64_t* out, const uint64_t* a, const uint64_t* b) {
  uint64_t t[N + 2] = {};
  uint64_t m[N], x[N];
#pragma GCC unroll 9
  for (int j = 0; j < N; ++j) {
    m[j] = f.m[j];
    x[j] = a[j];
  }
  const uint64_t m_inv = f.m_inv;
#pragma GCC unroll 9
  for (int i = 0; i < N; ++i) {
    const uint64_t bi = b[i];
    u128 c = 0;
#pragma GCC unroll 9
    for (int j = 0; j < N; ++j) {
      c += static_cast<u128>(x[j]) * bi + t[j];
      t[j] = static_cast<uint64_t>(c);
      c >>= 64;
    }
    c += t[N];
    t[N] = static_cast<uint64_t>(c);
    t[N + 1] = static_cast<uint64_t>(c >> 64);
    const uint64_t q = t[0] * m_inv;
    c = (static_cast<u128>(q) * m[0] + t[0]) >> 64;
#pragma GCC unroll 9
    for (int j = 1; j < N; ++j) {
      c += static_cast<u128>(q) * m[j] + t[j];
      t[j - 1] = static_cast<uint64_t>(c);
      c >>= 64;
    }
    c += t[N];
    t[N - 1] = static_cast<uint64_t>(c);
    t[N] = t[N + 1] + static_cast<uint64_t>(c >> 64);
  }
  uint64_t d[N];
  uint64_t borrow = 0;
#pragma GCC unroll 9
  for (int j = 0; j < N; ++j) {
    const u128 diff = static_cast<u128>(t[j]) - m[j] - borrow;
    d[j] = static_cast<uint64_t>(diff);
    borrow = static_cast<uint64_t>(diff >> 64) & 1;
  }
  const uint64_t keep_t = 0 - static_cast<uint64_t>(t[N] < borrow);
#pragma GCC unroll 9
  for (int j = 0; j < N; ++j) out[j] = (t[j] & keep_t) | (d[j] & ~keep_t);
}

void DoubleMod(const MontField& f, uint64_t* x) {
  uint64_t carry = 0;
  for (int32_t j = 0; j < f.n; ++j) {
    const uint64_t next = x[j] >> 63;
    x[j] = (x[j] << 1) | carry;
    carry = next;
  }
  FinalSubtract(f, x, x, carry);
}

}  // namespace

void LimbsFromFixed(const FixedBigInt& value, int32_t n, uint64_t* out) {
  for (int32_t j = 0; j < n; ++j) {
    const int32_t lo = 2 * j, hi = 2 * j + 1;
    const uint64_t low = lo < value.Count ? value.Words[lo] : 0;
    const uint64_t high = hi < value.Count ? value.Words[hi] : 0;
    out[j] = low | (high << 32);
  }
}

void LimbsToFixed(const uint64_t* value, int32_t n, int32_t words, FixedBigInt& out) {
  const int32_t old = out.Count > words ? out.Count : words;
  for (int32_t i = 0; i < old && i < FixedBigInt::kMaxWords; ++i) {
    const int32_t j = i / 2;
    out.Words[i] = (i < words && j < n) ? static_cast<uint32_t>(value[j] >> (32 * (i & 1))) : 0;
  }
  out.Count = words;
  out.Positive = 1;
}

int MontField::Init(const FixedBigInt& modulus) {
  const int32_t bit_length = FixedBigInt::BitLength(modulus);
  if (bit_length > 64 * kMaxLimbs) return kFixedTooLong;
  if (bit_length < 2 || FixedBigInt::IsEven(modulus)) return kFixedZeroOperand;
  bits = bit_length;
  n = (bit_length + 63) / 64;
  std::memset(m, 0, sizeof m);
  LimbsFromFixed(modulus, n, m);
  uint64_t inv = 1;  // Newton's iteration doubles the correct low bits each round
  for (int i = 0; i < 6; ++i) inv *= 2 - m[0] * inv;
  m_inv = 0 - inv;
  std::memset(one, 0, sizeof one);
  one[0] = 1;
  for (int32_t i = 0; i < 64 * n; ++i) DoubleMod(*this, one);
  std::memcpy(r2, one, sizeof r2);
  for (int32_t i = 0; i < 64 * n; ++i) DoubleMod(*this, r2);
  static constexpr void (*kMul[kMaxLimbs])(const MontField&, uint64_t*, const uint64_t*, const uint64_t*) = {
      MulN<1>, MulN<2>, MulN<3>, MulN<4>, MulN<5>, MulN<6>, MulN<7>, MulN<8>, MulN<9>};
  mul = kMul[n - 1];
  return 0;
}

int MontField::InitCached(const FixedBigInt& modulus) {
  thread_local MontField cache[4];
  thread_local int32_t next = 0;
  const int32_t bit_length = FixedBigInt::BitLength(modulus);
  if (bit_length > 64 * kMaxLimbs) return kFixedTooLong;
  const int32_t limbs = (bit_length + 63) / 64;
  Limbs wanted = {};
  LimbsFromFixed(modulus, limbs, wanted);
  for (const MontField& entry : cache) {
    if (entry.n == limbs && entry.bits == bit_length && std::memcmp(entry.m, wanted, sizeof wanted) == 0) {
      *this = entry;
      return 0;
    }
  }
  const int status = Init(modulus);
  if (status == 0) {
    cache[next] = *this;
    next = (next + 1) % 4;
  }
  return status;
}

void ModAdd(const MontField& f, uint64_t* out, const uint64_t* a, const uint64_t* b) {
  uint64_t s[kMaxLimbs];
  uint64_t carry = 0;
  for (int32_t j = 0; j < f.n; ++j) {
    const u128 sum = static_cast<u128>(a[j]) + b[j] + carry;
    s[j] = static_cast<uint64_t>(sum);
    carry = static_cast<uint64_t>(sum >> 64);
  }
  FinalSubtract(f, out, s, carry);
}

void ModSub(const MontField& f, uint64_t* out, const uint64_t* a, const uint64_t* b) {
  uint64_t d[kMaxLimbs];
  uint64_t borrow = 0;
  for (int32_t j = 0; j < f.n; ++j) {
    const u128 diff = static_cast<u128>(a[j]) - b[j] - borrow;
    d[j] = static_cast<uint64_t>(diff);
    borrow = static_cast<uint64_t>(diff >> 64) & 1;
  }
  const uint64_t mask = 0 - borrow;
  uint64_t carry = 0;
  for (int32_t j = 0; j < f.n; ++j) {
    const u128 sum = static_cast<u128>(d[j]) + (f.m[j] & mask) + carry;
    out[j] = static_cast<uint64_t>(sum);
    carry = static_cast<uint64_t>(sum >> 64);
  }
}

void ToMont(const MontField& f, uint64_t* out, const uint64_t* a) { MontMul(f, out, a, f.r2); }

void FromMont(const MontField& f, uint64_t* out, const uint64_t* a) {
  Limbs unit = {1};
  MontMul(f, out, a, unit);
}

void ReduceWide(const MontField& f, uint64_t* out, const uint64_t* wide) {
  uint64_t t[2 * kMaxLimbs + 1] = {};
  std::memcpy(t, wide, sizeof(uint64_t) * 2 * f.n);
  for (int32_t i = 0; i < f.n; ++i) {
    const uint64_t q = t[i] * f.m_inv;
    u128 c = 0;
    for (int32_t j = 0; j < f.n; ++j) {
      c += static_cast<u128>(q) * f.m[j] + t[i + j];
      t[i + j] = static_cast<uint64_t>(c);
      c >>= 64;
    }
    for (int32_t j = i + f.n; j <= 2 * f.n; ++j) {
      c += t[j];
      t[j] = static_cast<uint64_t>(c);
      c >>= 64;
    }
  }
  Limbs reduced;
  FinalSubtract(f, reduced, t + f.n, t[2 * f.n]);
  MontMul(f, out, reduced, f.r2);  // undoes the factor R^-1 of the reduction
}

void MontInverse(const MontField& f, uint64_t* out, const uint64_t* a) {
  // a^(m-2) with a fixed 4-bit window; the exponent is public.
  Limbs e;
  uint64_t borrow = 2;
  for (int32_t j = 0; j < f.n; ++j) {
    e[j] = f.m[j] - borrow;
    borrow = f.m[j] < borrow ? 1 : 0;
  }
  Limbs table[16];
  CopyLimbs(f, table[0], f.one);
  for (int i = 1; i < 16; ++i) MontMul(f, table[i], table[i - 1], a);
  Limbs acc;
  CopyLimbs(f, acc, f.one);
  for (int32_t bit = 4 * ((f.bits + 3) / 4) - 4; bit >= 0; bit -= 4) {
    for (int k = 0; k < 4; ++k) MontSqr(f, acc, acc);
    const int digit = static_cast<int>((e[bit / 64] >> (bit % 64)) & 15);
    MontMul(f, acc, acc, table[digit]);
  }
  CopyLimbs(f, out, acc);
}

uint64_t IsZeroMask(const MontField& f, const uint64_t* a) {
  uint64_t acc = 0;
  for (int32_t j = 0; j < f.n; ++j) acc |= a[j];
  return ((acc | (0 - acc)) >> 63) - 1;
}

uint64_t EqualMask(const MontField& f, const uint64_t* a, const uint64_t* b) {
  uint64_t acc = 0;
  for (int32_t j = 0; j < f.n; ++j) acc |= a[j] ^ b[j];
  return ((acc | (0 - acc)) >> 63) - 1;
}

void CopyLimbs(const MontField& f, uint64_t* out, const uint64_t* a) {
  if (out != a) std::memmove(out, a, sizeof(uint64_t) * f.n);
}

bool LessThan(int32_t n, const uint64_t* a, const uint64_t* b) {
  for (int32_t j = n - 1; j >= 0; --j) {
    if (a[j] != b[j]) return a[j] < b[j];
  }
  return false;
}

}  // namespace velmora::crypto::ec
