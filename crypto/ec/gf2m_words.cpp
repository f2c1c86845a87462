// Word-level GF(2^m) arithmetic: carry-less products by integer multiplication, squaring by spreading
// bits, reduction by folding whole words back at the offsets of f's lower terms, and inversion by
// exponentiation (Itoh-Tsujii).
#include <cstring>

#include "crypto/keys/curve_params.h"
#include "crypto/ec/gf2m_internal.h"

namespace velmora::crypto::gf2m {
namespace {

// Clmul64 is the carry-less product of two 64-bit words. Each operand is cut into five combs of every
// fifth bit; an integer product of two combs has at most 13 terms at any bit position, which fits the
// 5-bit gap to the next position of the same residue, so no carry disturbs the bits that are kept. No
// branch and no table depends on the operands.
inline void Clmul64(uint64_t x, uint64_t y, uint64_t& low, uint64_t& high) {
  using Wide = unsigned __int128;
  constexpr uint64_t kComb = 0x1084210842108421ull;  // bits 0, 5, ..., 60
  const uint64_t x0 = x & kComb, x1 = x & (kComb << 1), x2 = x & (kComb << 2), x3 = x & (kComb << 3),
                 x4 = x & (kComb << 4);
  const uint64_t y0 = y & kComb, y1 = y & (kComb << 1), y2 = y & (kComb << 2), y3 = y & (kComb << 3),
                 y4 = y & (kComb << 4);
  auto mul = [](uint64_t a, uint64_t b) { return static_cast<Wide>(a) * b; };
  const Wide z[5] = {
      mul(x0, y0) ^ mul(x1, y4) ^ mul(x2, y3) ^ mul(x3, y2) ^ mul(x4, y1),
      mul(x0, y1) ^ mul(x1, y0) ^ mul(x2, y4) ^ mul(x3, y3) ^ mul(x4, y2),
      mul(x0, y2) ^ mul(x1, y1) ^ mul(x2, y0) ^ mul(x3, y4) ^ mul(x4, y3),
      mul(x0, y3) ^ mul(x1, y2) ^ mul(x2, y1) ^ mul(x3, y0) ^ mul(x4, y4),
      mul(x0, y4) ^ mul(x1, y3) ^ mul(x2, y2) ^ mul(x3, y1) ^ mul(x4, y0),
  };
  low = 0;
  high = 0;
  for (int r = 0; r < 5; ++r) {
    // Positions of residue r: in the low word the comb shifted by r, in the high word (64 = 4 mod 5)
    // the comb shifted by r + 1 mod 5.
    low |= static_cast<uint64_t>(z[r]) & (kComb << r);
    high |= static_cast<uint64_t>(z[r] >> 64) & (kComb << ((r + 1) % 5));
  }
}

// Spread moves bit j of w to bit 2j: the square of a word as a polynomial.
inline uint64_t Spread(uint32_t w) {
  uint64_t x = w;
  x = (x | (x << 16)) & 0x0000FFFF0000FFFFull;
  x = (x | (x << 8)) & 0x00FF00FF00FF00FFull;
  x = (x | (x << 4)) & 0x0F0F0F0F0F0F0F0Full;
  x = (x | (x << 2)) & 0x3333333333333333ull;
  x = (x | (x << 1)) & 0x5555555555555555ull;
  return x;
}

// FoldAt XORs the word value into t starting at bit position p.
inline void FoldAt(uint32_t* t, int32_t p, uint32_t value) {
  const int32_t word = p / 32;
  const int32_t shift = p % 32;
  t[word] ^= value << shift;
  if (shift != 0) t[word + 1] ^= value >> (32 - shift);
}

// ReduceNamed folds for f = x^M + x^K... + 1 with every K at least 32 below M, so that each word folds
// only into lower words and one top-down pass leaves the degree below M. The shift amounts are
// constants of the polynomial; only the word index moves.
template <int32_t M, int32_t... K>
void ReduceNamed(uint32_t* t) {
  constexpr int32_t kN = M / 32 + 1;
  constexpr int32_t kTop = M / 32;
  constexpr int32_t kShift = M % 32;
  static_assert(((M - K >= 32) && ...) && M % 32 != 31, "one pass needs the terms well below the degree");
  for (int32_t i = 2 * kN - 1; i > kTop; --i) {
    const uint32_t word = t[i];
    t[i] = 0;
    // x^(32i + j) = x^(32i + j - M) (1 + x^K...): fold at 32i - (M - k) for k = 0 and each K.
    ((FoldAt(t, 32 * i - M + K, word)), ...);
    FoldAt(t, 32 * i - M, word);
  }
  const uint32_t high = t[kTop] >> kShift;
  t[kTop] &= (1u << kShift) - 1;
  ((FoldAt(t, K, high)), ...);
  t[0] ^= high;
}

// ReduceGeneric folds by the set bits of f below m. For a sparse f one pass per word suffices and runs
// in fixed time; otherwise a fold can land in the word being cleared, which is then folded again until
// it is empty.
void ReduceGeneric(const Field& field, uint32_t* t) {
  const int32_t top = field.m / 32;
  const int32_t shift = field.m % 32;
  const uint32_t low_mask = shift == 0 ? 0u : (1u << shift) - 1;
  auto fold_terms = [&](uint32_t value, int32_t base) {
    for (int32_t w = 0; w <= top; ++w) {
      uint32_t bits = w == top ? field.f[w] & low_mask : field.f[w];
      while (bits != 0) {
        const int32_t k = 32 * w + __builtin_ctz(bits);
        bits &= bits - 1;
        FoldAt(t, base + k, value);
      }
    }
  };
  for (int32_t i = 2 * field.n - 1; i > top; --i) {
    do {
      const uint32_t word = t[i];
      t[i] = 0;
      fold_terms(word, 32 * i - field.m);
    } while (!field.sparse && t[i] != 0);
  }
  do {
    const uint32_t high = shift == 0 ? t[top] : t[top] >> shift;
    t[top] &= low_mask;
    fold_terms(high, 0);
  } while (!field.sparse && (shift == 0 ? t[top] : t[top] >> shift) != 0);
}

}  // namespace

int InitField(const FixedBigInt& f, uint32_t field_id, Field& field) {
  const int32_t bits = FixedBigInt::BitLength(f);
  if (bits < 2) return kFixedZeroOperand;
  field.m = bits - 1;
  field.n = (bits + 31) / 32;
  if (field.n > kMaxWords) return kFixedTooLong;
  Load(field, f, field.f);
  static constexpr struct {
    uint32_t id;
    int32_t m;
  } kNamed[] = {{kFieldSect163, 163}, {kFieldSect233, 233}, {kFieldSect283, 283}, {kFieldSect409, 409},
                {kFieldSect571, 571}};
  field.id = kFieldGeneric;
  for (const auto& named : kNamed) {
    if (named.id == field_id && named.m == field.m) field.id = field_id;
  }
  // Sparse when no lower term lies in the 32 bits below x^m.
  field.sparse = true;
  for (int32_t k = field.m - 31 < 0 ? 0 : field.m - 31; k < field.m; ++k) {
    if ((field.f[k / 32] >> (k % 32)) & 1) field.sparse = false;
  }
  return 0;
}

void Load(const Field& field, const FixedBigInt& in, uint32_t* out) {
  for (int32_t i = 0; i < field.n; ++i) out[i] = i < in.Count ? in.Words[i] : 0;
}

void Store(const Field& field, const uint32_t* in, FixedBigInt& out) {
  const int32_t old_count = out.Count > FixedBigInt::kMaxWords ? FixedBigInt::kMaxWords : out.Count;
  std::memmove(out.Words, in, sizeof(uint32_t) * field.n);
  if (old_count > field.n) std::memset(out.Words + field.n, 0, sizeof(uint32_t) * (old_count - field.n));
  out.Count = field.n;
  out.Positive = 1;
}

void Reduce(const Field& field, uint32_t* t) {
  switch (field.id) {
    case kFieldSect163: ReduceNamed<163, 7, 6, 3>(t); break;
    case kFieldSect233: ReduceNamed<233, 74>(t); break;
    case kFieldSect283: ReduceNamed<283, 12, 7, 5>(t); break;
    case kFieldSect409: ReduceNamed<409, 87>(t); break;
    case kFieldSect571: ReduceNamed<571, 10, 5, 2>(t); break;
    default: ReduceGeneric(field, t); break;
  }
}

void Mul(const Field& field, const uint32_t* a, const uint32_t* b, uint32_t* out) {
  // The product runs on 64-bit words: pairs of 32-bit words, the last one padded with zero.
  constexpr int32_t kMaxWide = (kMaxWords + 1) / 2;
  const int32_t n = field.n;
  const int32_t wide = (n + 1) / 2;
  uint64_t x[kMaxWide], y[kMaxWide], t[2 * kMaxWide];
  for (int32_t i = 0; i < wide; ++i) {
    const bool full = 2 * i + 1 < n;
    x[i] = a[2 * i] | (full ? static_cast<uint64_t>(a[2 * i + 1]) << 32 : 0);
    y[i] = b[2 * i] | (full ? static_cast<uint64_t>(b[2 * i + 1]) << 32 : 0);
  }
  std::memset(t, 0, sizeof(uint64_t) * 2 * wide);
  for (int32_t i = 0; i < wide; ++i) {
    for (int32_t j = 0; j < wide; ++j) {
      uint64_t low, high;
      Clmul64(x[i], y[j], low, high);
      t[i + j] ^= low;
      t[i + j + 1] ^= high;
    }
  }
  // Both factors are below x^(32n), so the words at and above 2n are zero and Reduce can ignore them.
  uint32_t product[4 * kMaxWide];
  for (int32_t i = 0; i < 2 * wide; ++i) {
    product[2 * i] = static_cast<uint32_t>(t[i]);
    product[2 * i + 1] = static_cast<uint32_t>(t[i] >> 32);
  }
  Reduce(field, product);
  std::memcpy(out, product, sizeof(uint32_t) * n);
}

void Sqr(const Field& field, const uint32_t* a, uint32_t* out) {
  uint32_t t[2 * kMaxWords];
  for (int32_t i = 0; i < field.n; ++i) {
    const uint64_t s = Spread(a[i]);
    t[2 * i] = static_cast<uint32_t>(s);
    t[2 * i + 1] = static_cast<uint32_t>(s >> 32);
  }
  Reduce(field, t);
  std::memcpy(out, t, sizeof(uint32_t) * field.n);
}

void Invert(const Field& field, const uint32_t* a, uint32_t* out) {
  // beta_k = a^(2^k - 1), built along the bits of m - 1: beta_2k = beta_k^(2^k) beta_k and
  // beta_(k+1) = beta_k^2 a; then a^-1 = beta_(m-1)^2.
  uint32_t beta[kMaxWords];
  uint32_t t[kMaxWords];
  Copy(field, a, beta);
  const int32_t e = field.m - 1;
  if (e < 1) {
    Copy(field, a, out);
    return;
  }
  int32_t k = 1;
  for (int32_t bit = 30 - __builtin_clz(static_cast<uint32_t>(e)); bit >= 0; --bit) {
    Copy(field, beta, t);
    for (int32_t i = 0; i < k; ++i) Sqr(field, t, t);
    Mul(field, t, beta, beta);
    k *= 2;
    if ((e >> bit) & 1) {
      Sqr(field, beta, beta);
      Mul(field, beta, a, beta);
      ++k;
    }
  }
  Sqr(field, beta, out);
}

}  // namespace velmora::crypto::gf2m
