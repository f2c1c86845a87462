#include "crypto/ec/mont_field.h"

#include <cstring>

#include <x86intrin.h>

#include "crypto/ec/p256_field.h"

namespace velmora::crypto::ec {
namespace {

using u128 = unsigned __int128;
using p256::AddCarry;
using p256::kP256;
using p256::MulWide;
using p256::Product4;
using p256::Square4;

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

// Reduce4: t (512 bits) times 2^-256 modulo any odd 4-limb modulus m, one Montgomery step per limb.
[[gnu::always_inline]] inline void Reduce4(const MontField& f, uint64_t* out, uint64_t t[8]) {
  const uint64_t m0 = f.m[0], m1 = f.m[1], m2 = f.m[2], m3 = f.m[3];
  uint64_t top = 0;
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    const uint64_t q = t[i] * f.m_inv;
    uint64_t h0, h1, h2, h3;
    const uint64_t l0 = MulWide(q, m0, h0);
    const uint64_t l1 = MulWide(q, m1, h1);
    const uint64_t l2 = MulWide(q, m2, h2);
    const uint64_t l3 = MulWide(q, m3, h3);
    uint64_t r1, r2, r3, r4;
    unsigned char c = AddCarry(0, l1, h0, r1);
    c = AddCarry(c, l2, h1, r2);
    c = AddCarry(c, l3, h2, r3);
    r4 = h3 + c;
    c = AddCarry(0, t[i], l0, t[i]);  // clears limb i
    c = AddCarry(c, t[i + 1], r1, t[i + 1]);
    c = AddCarry(c, t[i + 2], r2, t[i + 2]);
    c = AddCarry(c, t[i + 3], r3, t[i + 3]);
    c = AddCarry(c, t[i + 4], r4, t[i + 4]);
#pragma GCC unroll 3
    for (int j = i + 5; j < 8; ++j) c = AddCarry(c, t[j], 0, t[j]);
    top += c;
  }
  uint64_t d[4];
  unsigned long long diff;
  unsigned char b = _subborrow_u64(0, t[4], m0, &diff);
  d[0] = diff;
  b = _subborrow_u64(b, t[5], m1, &diff);
  d[1] = diff;
  b = _subborrow_u64(b, t[6], m2, &diff);
  d[2] = diff;
  b = _subborrow_u64(b, t[7], m3, &diff);
  d[3] = diff;
  const uint64_t keep_t = 0 - static_cast<uint64_t>(top < b);
#pragma GCC unroll 4
  for (int j = 0; j < 4; ++j) out[j] = (t[j + 4] & keep_t) | (d[j] & ~keep_t);
}

// The multiplications for 4-limb moduli: mulx and adx where the processor has them; otherwise squares
// (a and b the same array) take the cheaper product.
void MulP256(const MontField&, uint64_t* out, const uint64_t* a, const uint64_t* b) {
  if (a == b) {
    p256::Sqr(out, a);
  } else {
    p256::Mul(out, a, b);
  }
}

void Mul4(const MontField& f, uint64_t* out, const uint64_t* a, const uint64_t* b) {
  if (p256::kUseAdx) {
    p256::MontMul4Adx(out, a, b, f.m, f.m_inv);
    return;
  }
  uint64_t t[8];
  if (a == b) {
    Square4(t, a);
  } else {
    Product4(t, a, b);
  }
  Reduce4(f, out, t);
}

// P-521 is 2^521 - 1, so 2^521 = 1 and the Montgomery factor 2^-576 is 2^-55 = 2^466: the product is
// folded (the bits above 521 added to the bits below), and the multiplication by 2^466 is a rotation of
// the 521-bit value by 55 bits to the right. p itself, the other form of zero, rotates to itself and is
// cleared by mask at the end.
constexpr int kP521Limbs = 9;
constexpr uint64_t kP521Top = 0x1FF;

void MulP521(const MontField&, uint64_t* out, const uint64_t* a, const uint64_t* b) {
  constexpr int N = kP521Limbs;
  uint64_t t[2 * N];
  {
    u128 c = 0;
#pragma GCC unroll 9
    for (int j = 0; j < N; ++j) {
      c += static_cast<u128>(a[j]) * b[0];
      t[j] = static_cast<uint64_t>(c);
      c >>= 64;
    }
    t[N] = static_cast<uint64_t>(c);
  }
  for (int i = 1; i < N; ++i) {
    const uint64_t bi = b[i];
    u128 c = 0;
#pragma GCC unroll 9
    for (int j = 0; j < N; ++j) {
      c += static_cast<u128>(a[j]) * bi + t[i + j];
      t[i + j] = static_cast<uint64_t>(c);
      c >>= 64;
    }
    t[i + N] = static_cast<uint64_t>(c);
  }
  // x = (t mod 2^521) + (t >> 521) < 2^522, then once more to at most 2^521 - 1 = p.
  uint64_t x[N];
  unsigned char c = 0;
#pragma GCC unroll 9
  for (int k = 0; k < N; ++k) {
    const uint64_t low = k == N - 1 ? (t[k] & kP521Top) : t[k];
    const uint64_t high = (t[N - 1 + k] >> 9) | (t[N + k] << 55);
    c = AddCarry(c, low, high, x[k]);
  }
  uint64_t carry = x[N - 1] >> 9;
  x[N - 1] &= kP521Top;
  c = 0;
#pragma GCC unroll 9
  for (int k = 0; k < N; ++k) {
    c = AddCarry(c, x[k], carry, x[k]);
    carry = 0;
  }
  // Rotation right by 55 bits within 521.
  const uint64_t low55 = x[0] & ((uint64_t{1} << 55) - 1);
  uint64_t r[N];
#pragma GCC unroll 8
  for (int k = 0; k < N - 1; ++k) r[k] = (x[k] >> 55) | (x[k + 1] << 9);
  r[N - 1] = (x[N - 1] >> 55) | (low55 >> 46);
  r[N - 2] |= low55 << 18;
  // r == p becomes 0.
  uint64_t ones = r[N - 1] ^ kP521Top;
#pragma GCC unroll 8
  for (int k = 0; k < N - 1; ++k) ones |= ~r[k];
  const uint64_t is_p = ((ones | (0 - ones)) >> 63) - 1;
#pragma GCC unroll 9
  for (int k = 0; k < N; ++k) out[k] = r[k] & ~is_p;
}

bool IsP521(const MontField& f) {
  if (f.n != kP521Limbs || f.m[kP521Limbs - 1] != kP521Top) return false;
  for (int j = 0; j < kP521Limbs - 1; ++j) {
    if (f.m[j] != ~uint64_t{0}) return false;
  }
  return true;
}

bool generic_forced = false;

bool IsP256(const MontField& f) {
  return f.n == 4 && f.m[0] == kP256[0] && f.m[1] == kP256[1] && f.m[2] == kP256[2] && f.m[3] == kP256[3];
}

// SelectMul installs the multiplication for the field's modulus.
void SelectMul(MontField& f) {
  static constexpr void (*kMul[kMaxLimbs])(const MontField&, uint64_t*, const uint64_t*, const uint64_t*) = {
      MulN<1>, MulN<2>, MulN<3>, MulN<4>, MulN<5>, MulN<6>, MulN<7>, MulN<8>, MulN<9>};
  f.mul = kMul[f.n - 1];
  f.dedicated = false;
  if (generic_forced) return;
  if (IsP256(f)) {
    f.mul = MulP256;
    f.dedicated = true;
  } else if (f.n == 4) {
    f.mul = Mul4;
    f.dedicated = true;
  } else if (IsP521(f)) {
    f.mul = MulP521;
    f.dedicated = true;
  }
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
  SelectMul(*this);
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
      SelectMul(*this);
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

namespace {

// ModAddN / ModSubN: ModAdd and ModSub with the limb count fixed at compile time, on carry chains,
// with the final correction by mask.
template <int N>
void ModAddN(const MontField& f, uint64_t* out, const uint64_t* a, const uint64_t* b) {
  uint64_t s[N], d[N];
  unsigned char c = 0;
#pragma GCC unroll 9
  for (int j = 0; j < N; ++j) c = AddCarry(c, a[j], b[j], s[j]);
  unsigned char borrow = 0;
#pragma GCC unroll 9
  for (int j = 0; j < N; ++j) {
    unsigned long long diff;
    borrow = _subborrow_u64(borrow, s[j], f.m[j], &diff);
    d[j] = diff;
  }
  const uint64_t keep_s = 0 - static_cast<uint64_t>(c < borrow);
#pragma GCC unroll 9
  for (int j = 0; j < N; ++j) out[j] = (s[j] & keep_s) | (d[j] & ~keep_s);
}

template <int N>
void ModSubN(const MontField& f, uint64_t* out, const uint64_t* a, const uint64_t* b) {
  uint64_t d[N];
  unsigned char borrow = 0;
#pragma GCC unroll 9
  for (int j = 0; j < N; ++j) {
    unsigned long long diff;
    borrow = _subborrow_u64(borrow, a[j], b[j], &diff);
    d[j] = diff;
  }
  const uint64_t mask = 0 - static_cast<uint64_t>(borrow);
  unsigned char c = 0;
#pragma GCC unroll 9
  for (int j = 0; j < N; ++j) c = AddCarry(c, d[j], f.m[j] & mask, out[j]);
}

}  // namespace

void ModAdd(const MontField& f, uint64_t* out, const uint64_t* a, const uint64_t* b) {
  switch (f.n) {
    case 4: return ModAddN<4>(f, out, a, b);
    case 6: return ModAddN<6>(f, out, a, b);
    case 9: return ModAddN<9>(f, out, a, b);
    default: break;
  }
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
  switch (f.n) {
    case 4: return ModSubN<4>(f, out, a, b);
    case 6: return ModSubN<6>(f, out, a, b);
    case 9: return ModSubN<9>(f, out, a, b);
    default: break;
  }
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
  // a^(m-2) by a sliding window over the odd powers a, a^3, ..., a^31. The windows follow the exponent,
  // which is public, so the sequence of squarings, multiplications and table reads is the same for
  // every a.
  Limbs e;
  uint64_t borrow = 2;
  for (int32_t j = 0; j < f.n; ++j) {
    e[j] = f.m[j] - borrow;
    borrow = f.m[j] < borrow ? 1 : 0;
  }
  constexpr int kWidth = 5;
  Limbs table[1 << (kWidth - 1)], square;
  CopyLimbs(f, table[0], a);
  MontSqr(f, square, a);
  for (int i = 1; i < (1 << (kWidth - 1)); ++i) MontMul(f, table[i], table[i - 1], square);
  auto bit = [&](int32_t i) { return static_cast<int>((e[i / 64] >> (i % 64)) & 1); };
  Limbs acc;
  CopyLimbs(f, acc, f.one);
  for (int32_t i = f.bits - 1; i >= 0;) {
    if (bit(i) == 0) {
      MontSqr(f, acc, acc);
      --i;
      continue;
    }
    // The longest window of at most kWidth bits from bit i down that ends in a one.
    int32_t low = i - kWidth + 1 < 0 ? 0 : i - kWidth + 1;
    while (bit(low) == 0) ++low;
    int value = 0;
    for (int32_t j = i; j >= low; --j) {
      MontSqr(f, acc, acc);
      value = (value << 1) | bit(j);
    }
    MontMul(f, acc, acc, table[value >> 1]);
    i = low - 1;
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

void internal::ForceGenericPath(bool force) { generic_forced = force; }
bool internal::GenericPathForced() { return generic_forced; }

}  // namespace velmora::crypto::ec
