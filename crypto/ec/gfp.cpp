#include "crypto/ec/gfp.h"

#include <cstring>
#include <iterator>

#include "crypto/keys/curve_params.h"
#include "crypto/ec/mont_field.h"
#include "crypto/rand/random.h"

namespace velmora::crypto {
namespace {

using F = FixedBigInt;
constexpr int32_t kMax = F::kMaxWords;

uint32_t WordAt(const F& a, int32_t i) { return i < a.Count ? a.Words[i] : 0; }

// Store writes n words as the value of out, clearing what out held above them.
void Store(F& out, const uint32_t* words, int32_t n) {
  const int32_t old = out.Count;
  std::memmove(out.Words, words, sizeof(uint32_t) * n);
  for (int32_t i = n; i < old && i < kMax; ++i) out.Words[i] = 0;
  out.Count = n;
  out.Positive = 1;
}

void Load(const F& a, int32_t n, uint32_t* words) {
  for (int32_t i = 0; i < n; ++i) words[i] = WordAt(a, i);
}

uint32_t AddWords(uint32_t* out, const uint32_t* a, const uint32_t* b, int32_t n) {
  uint64_t carry = 0;
  for (int32_t i = 0; i < n; ++i) {
    carry += static_cast<uint64_t>(a[i]) + b[i];
    out[i] = static_cast<uint32_t>(carry);
    carry >>= 32;
  }
  return static_cast<uint32_t>(carry);
}

uint32_t SubWords(uint32_t* out, const uint32_t* a, const uint32_t* b, int32_t n) {
  uint64_t borrow = 0;
  for (int32_t i = 0; i < n; ++i) {
    const uint64_t d = static_cast<uint64_t>(a[i]) - b[i] - borrow;
    out[i] = static_cast<uint32_t>(d);
    borrow = (d >> 32) & 1;
  }
  return static_cast<uint32_t>(borrow);
}

int CompareWords(const uint32_t* a, const uint32_t* b, int32_t n) {
  for (int32_t i = n - 1; i >= 0; --i) {
    if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
  }
  return 0;
}

bool IsZeroWords(const uint32_t* a, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    if (a[i] != 0) return false;
  }
  return true;
}

bool IsOneWords(const uint32_t* a, int32_t n) { return a[0] == 1 && IsZeroWords(a + 1, n - 1); }

void HalveWords(uint32_t* a, const uint32_t* p, int32_t n) {
  uint32_t top = 0;
  if (a[0] & 1) top = AddWords(a, a, p, n);
  for (int32_t i = 0; i < n; ++i) {
    const uint32_t next = i + 1 < n ? a[i + 1] : top;
    a[i] = (a[i] >> 1) | (next << 31);
  }
}

void SubModWords(uint32_t* out, const uint32_t* a, const uint32_t* b, const uint32_t* p, int32_t n) {
  if (SubWords(out, a, b, n) != 0) AddWords(out, out, p, n);
}

// The fast reductions for the NIST primes: each term lists the input words that make up one 32-bit
// word of the result, most significant first (-1 for a zero word), after FIPS 186-4 appendix D.2.
struct Term {
  int coefficient;
  int8_t words[12];
};
constexpr Term kP192[] = {
    {1, {5, 4, 3, 2, 1, 0}},        {1, {-1, -1, 7, 6, 7, 6}},
    {1, {9, 8, 9, 8, -1, -1}},      {1, {11, 10, 11, 10, 11, 10}}};
constexpr Term kP224[] = {
    {1, {6, 5, 4, 3, 2, 1, 0}},     {1, {10, 9, 8, 7, -1, -1, -1}}, {1, {-1, 13, 12, 11, -1, -1, -1}},
    {-1, {13, 12, 11, 10, 9, 8, 7}}, {-1, {-1, -1, -1, -1, 13, 12, 11}}};
constexpr Term kP256[] = {
    {1, {7, 6, 5, 4, 3, 2, 1, 0}},          {2, {15, 14, 13, 12, 11, -1, -1, -1}},
    {2, {-1, 15, 14, 13, 12, -1, -1, -1}},   {1, {15, 14, -1, -1, -1, 10, 9, 8}},
    {1, {8, 13, 15, 14, 13, 11, 10, 9}},     {-1, {10, 8, -1, -1, -1, 13, 12, 11}},
    {-1, {11, 9, -1, -1, 15, 14, 13, 12}},   {-1, {12, -1, 10, 9, 8, 15, 14, 13}},
    {-1, {13, -1, 11, 10, 9, -1, 15, 14}}};
constexpr Term kP384[] = {
    {1, {11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}},
    {2, {-1, -1, -1, -1, -1, 23, 22, 21, -1, -1, -1, -1}},
    {1, {23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12}},
    {1, {20, 19, 18, 17, 16, 15, 14, 13, 12, 23, 22, 21}},
    {1, {19, 18, 17, 16, 15, 14, 13, 12, 20, -1, 23, -1}},
    {1, {-1, -1, -1, -1, 23, 22, 21, 20, -1, -1, -1, -1}},
    {1, {-1, -1, -1, -1, -1, -1, 23, 22, 21, -1, -1, 20}},
    {-1, {22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 23}},
    {-1, {-1, -1, -1, -1, -1, -1, -1, 23, 22, 21, 20, -1}},
    {-1, {-1, -1, -1, -1, -1, -1, -1, 23, 23, -1, -1, -1}}};

// ReduceByTerms sums the signed terms word by word, carries, then brings the value into [0, p) with a
// few additions or subtractions of p (the signed carry out of the top word is small).
void ReduceByTerms(F& t, const F& p, const Term* terms, size_t count, int32_t n) {
  uint32_t c[24];
  Load(t, 2 * n, c);
  int64_t acc[12] = {};
  for (size_t k = 0; k < count; ++k) {
    for (int32_t i = 0; i < n; ++i) {
      const int index = terms[k].words[n - 1 - i];
      if (index >= 0) acc[i] += terms[k].coefficient * static_cast<int64_t>(c[index]);
    }
  }
  uint32_t w[12];
  int64_t carry = 0;
  for (int32_t i = 0; i < n; ++i) {
    const int64_t v = acc[i] + carry;
    w[i] = static_cast<uint32_t>(v);
    carry = v >> 32;  // arithmetic shift: floor division
  }
  uint32_t pw[12];
  Load(p, n, pw);
  while (carry < 0) carry += AddWords(w, w, pw, n);
  while (carry > 0 || CompareWords(w, pw, n) >= 0) carry -= SubWords(w, w, pw, n);
  Store(t, w, n);
}

void ReduceP521(F& t, const F& p) {
  uint32_t c[35];
  Load(t, 35, c);
  uint32_t high[17];
  for (int32_t i = 0; i < 17; ++i) high[i] = (c[16 + i] >> 9) | (c[17 + i] << 23);
  c[16] &= 0x1FF;
  uint32_t pw[17];
  Load(p, 17, pw);
  AddWords(c, c, high, 17);  // below 2^522: no carry out of 17 words
  while (CompareWords(c, pw, 17) >= 0) SubWords(c, c, pw, 17);
  Store(t, c, 17);
}

void Pad(const F& value, int32_t n, F& out) {
  uint32_t words[kMax];
  Load(value, n, words);
  Store(out, words, n);
}

// The word-level remainder: a Montgomery reduction of t followed by a multiplication by R^2, with the
// field of the last prime kept per thread.
int ReduceGeneric(F& t, const F& p) {
  thread_local ec::MontField field;
  thread_local F cached_p;
  F::Normalize(t);
  const int32_t n = p.Count;
  if (!F::Equals(cached_p, p) || field.n == 0) {
    const int status = field.Init(p);
    if (status == kFixedTooLong) {
      F r;
      const int mod_status = F::Mod(t, p, r);
      if (mod_status == 0) Pad(r, n, t);
      return mod_status;
    }
    if (status != 0) return status;
    F::Copy(cached_p, p);
  }
  if (F::BitLength(t) > 128 * field.n) {
    F r;
    const int status = F::Mod(t, p, r);
    if (status == 0) Pad(r, n, t);
    return status;
  }
  uint64_t wide[2 * ec::kMaxLimbs] = {};
  ec::LimbsFromFixed(t, 2 * field.n, wide);
  ec::Limbs out;
  ec::ReduceWide(field, out, wide);
  ec::LimbsToFixed(out, field.n, n, t);
  return 0;
}

}  // namespace

int GfpAdd(const F& a, const F& b, const F& p, F& out) {
  const int32_t n = p.Count;
  uint32_t x[kMax], y[kMax], pw[kMax];
  Load(a, n, x);
  Load(b, n, y);
  Load(p, n, pw);
  const uint32_t carry = AddWords(x, x, y, n);
  if (carry != 0 || CompareWords(x, pw, n) >= 0) SubWords(x, x, pw, n);
  Store(out, x, n);
  return 0;
}

int GfpSub(const F& a, const F& b, const F& p, F& out) {
  const int32_t n = p.Count;
  uint32_t x[kMax], y[kMax], pw[kMax];
  Load(a, n, x);
  Load(b, n, y);
  Load(p, n, pw);
  SubModWords(x, x, y, pw, n);
  Store(out, x, n);
  return 0;
}

int GfpHalve(const F& a, const F& p, F& out) {
  const int32_t n = p.Count;
  uint32_t x[kMax], pw[kMax];
  Load(a, n, x);
  Load(p, n, pw);
  HalveWords(x, pw, n);
  Store(out, x, n);
  return 0;
}

int GfpCompare(const F& a, const F& b, const F& p) {
  for (int32_t i = p.Count - 1; i >= 0; --i) {
    const uint32_t x = WordAt(a, i), y = WordAt(b, i);
    if (x != y) return x > y ? 1 : -1;
  }
  return 0;
}

bool GfpIsOne(const F& a, const F& p) {
  if (WordAt(a, 0) != 1) return false;
  for (int32_t i = 1; i < p.Count; ++i) {
    if (WordAt(a, i) != 0) return false;
  }
  return true;
}

bool GfpIsZero(const F& a, const F& p) {
  for (int32_t i = 0; i < p.Count; ++i) {
    if (WordAt(a, i) != 0) return false;
  }
  return true;
}

void GfpSetSmall(F& a, const F& p, uint32_t v) {
  uint32_t words[kMax] = {};
  words[0] = v;
  Store(a, words, p.Count);
}
void GfpSetOne(F& a, const F& p) { GfpSetSmall(a, p, 1); }
void GfpSetZero(F& a, const F& p) { GfpSetSmall(a, p, 0); }

int GfpMul(const F& a, const F& b, const F& p, uint32_t field_id, F& out) {
  const int32_t n = p.Count;
  if (2 * n > kMax) return kFixedTooLong;
  F t;
  t.Count = 2 * n;
  for (int32_t i = 0; i < n; ++i) {
    uint64_t carry = 0;
    const uint64_t ai = WordAt(a, i);
    for (int32_t j = 0; j < n; ++j) {
      carry += ai * WordAt(b, j) + t.Words[i + j];
      t.Words[i + j] = static_cast<uint32_t>(carry);
      carry >>= 32;
    }
    t.Words[i + n] = static_cast<uint32_t>(carry);
  }
  const int status = GfpReduce(t, p, field_id);
  if (status == 0) Pad(t, n, out);
  return status;
}

int GfpSquare(const F& a, const F& p, uint32_t field_id, F& out) { return GfpMul(a, a, p, field_id, out); }

int GfpReduce(F& t, const F& p, uint32_t field_id) {
  switch (field_id) {
    case kFieldP192:
      ReduceByTerms(t, p, kP192, std::size(kP192), 6);
      return 0;
    case kFieldP224:
      ReduceByTerms(t, p, kP224, std::size(kP224), 7);
      return 0;
    case kFieldP256:
      ReduceByTerms(t, p, kP256, std::size(kP256), 8);
      return 0;
    case kFieldP384:
      ReduceByTerms(t, p, kP384, std::size(kP384), 12);
      return 0;
    case kFieldP521:
      ReduceP521(t, p);
      return 0;
    default:
      return ReduceGeneric(t, p);
  }
}

int GfpDivide(const F& b, const F& a, const F& p, F& out) {
  const int32_t n = p.Count;
  uint32_t u[kMax], v[kMax], x1[kMax], x2[kMax] = {}, pw[kMax];
  Load(p, n, pw);
  Load(a, n, u);
  Load(b, n, x1);
  if (IsZeroWords(u, n) || CompareWords(u, pw, n) >= 0) return kFixedZeroOperand;
  std::memcpy(v, pw, sizeof(uint32_t) * n);
  while (!IsOneWords(u, n) && !IsOneWords(v, n)) {
    // Zero in u or v means a and p share a factor: there is no inverse.
    if (IsZeroWords(u, n) || IsZeroWords(v, n)) return kFixedZeroOperand;
    while ((u[0] & 1) == 0) {
      HalveWords(u, pw, n);  // u is even, so this is a plain shift
      HalveWords(x1, pw, n);
    }
    while ((v[0] & 1) == 0) {
      HalveWords(v, pw, n);
      HalveWords(x2, pw, n);
    }
    if (CompareWords(u, v, n) >= 0) {
      SubWords(u, u, v, n);
      SubModWords(x1, x1, x2, pw, n);
    } else {
      SubWords(v, v, u, n);
      SubModWords(x2, x2, x1, pw, n);
    }
  }
  Store(out, IsOneWords(u, n) ? x1 : x2, n);
  return 0;
}

int GfpInverse(const F& a, const F& p, F& out) {
  F one;
  GfpSetOne(one, p);
  return GfpDivide(one, a, p, out);
}

int GfpModExp(const F& a, const F& e, const F& p, F& out) {
  F r;
  const int status = F::ModPow(a, e, p, r);
  if (status == 0) Pad(r, p.Count, out);
  return status;
}

int GfpLucasSequence(const F& k, const F& P, const F& Q, const F& p, uint32_t field_id, F& V, F& Qk) {
  // Ladder over (V_m, V_m+1, Q^m): V_2m = V_m^2 - 2 Q^m, V_2m+1 = V_m V_m+1 - P Q^m.
  F v0, v1, qm, qhalf, t, u;
  if (GfpMul(P, P, p, field_id, t) != 0) return 0;
  GfpSetSmall(u, p, 2);
  if (GfpSub(t, u, p, u) != 0 || GfpIsZero(u, p)) return 0;
  Pad(P, p.Count, v0);
  F twice_q;
  if (GfpAdd(Q, Q, p, twice_q) != 0 || GfpSub(t, twice_q, p, v1) != 0) return 0;
  Pad(Q, p.Count, qm);
  GfpSetOne(qhalf, p);
  for (int32_t bit = F::BitLength(k) - 2; bit >= 0; --bit) {
    F::Copy(qhalf, qm);
    F cross;
    if (GfpMul(v0, v1, p, field_id, cross) != 0 || GfpMul(P, qm, p, field_id, t) != 0 ||
        GfpSub(cross, t, p, cross) != 0) {
      return 0;
    }
    if (F::TestBit(k, bit)) {
      F next_q;
      if (GfpMul(qm, Q, p, field_id, next_q) != 0 || GfpAdd(next_q, next_q, p, t) != 0 ||
          GfpMul(v1, v1, p, field_id, v1) != 0 || GfpSub(v1, t, p, v1) != 0) {
        return 0;
      }
      F::Copy(v0, cross);
      if (GfpMul(qm, next_q, p, field_id, qm) != 0) return 0;
    } else {
      if (GfpAdd(qm, qm, p, t) != 0 || GfpMul(v0, v0, p, field_id, v0) != 0 || GfpSub(v0, t, p, v0) != 0) return 0;
      F::Copy(v1, cross);
      if (GfpMul(qm, qm, p, field_id, qm) != 0) return 0;
    }
  }
  F::Copy(V, v0);
  F::Copy(Qk, qhalf);
  return 1;
}

namespace {

int SqrtLucas(const F& a, const F& p, uint32_t field_id, int32_t& found, F& out) {
  F k, one, p_minus_one;
  F::Copy(k, p);
  F::ShiftRight1(k);
  int status = F::AddWord(k, 1, k);
  if (status != 0) return status;
  GfpSetOne(one, p);
  if ((status = GfpSub(p, one, p, p_minus_one)) != 0) return status;
  F four_a;
  if ((status = GfpAdd(a, a, p, four_a)) != 0 || (status = GfpAdd(four_a, four_a, p, four_a)) != 0) return status;
  RandomContext random;
  // A square gives its root with probability about 1/2 per draw; a non-square is recognised the same
  // way. The bound only stops a composite modulus from looping for ever.
  for (int attempt = 0; attempt < 256; ++attempt) {
    uint32_t words[kMax];
    RandomBytes(random, words, 4 * p.Count);
    F P;
    Store(P, words, p.Count);
    F::Normalize(P);
    F reduced;
    if ((status = F::Mod(P, p, reduced)) != 0) return status;
    Pad(reduced, p.Count, P);
    F V, q0, v2;
    if (GfpLucasSequence(k, P, a, p, field_id, V, q0) == 0) continue;
    if ((status = GfpMul(V, V, p, field_id, v2)) != 0) return status;
    if (GfpCompare(v2, four_a, p) == 0) {
      found = 1;
      return GfpHalve(V, p, out);
    }
    if (GfpIsOne(q0, p)) continue;
    if (GfpCompare(q0, p_minus_one, p) != 0) return 0;
  }
  return 0;
}

}  // namespace

int GfpSqrt(const F& a, const F& p, uint32_t field_id, int32_t& found, F& out) {
  found = 0;
  if (GfpIsZero(a, p)) {  // the Lucas method cannot find the root 0
    GfpSetZero(out, p);
    found = 1;
    return 0;
  }
  const uint32_t p_mod_8 = WordAt(p, 0) & 7;
  F r, check;
  int status;
  if ((p_mod_8 & 3) == 3) {
    F e;
    F::Copy(e, p);
    F::ShiftRight(e, 2);
    if ((status = F::AddWord(e, 1, e)) != 0 || (status = GfpModExp(a, e, p, r)) != 0) return status;
  } else if (p_mod_8 == 5) {
    F two_a, g, i, e, one;
    F::Copy(e, p);
    F::ShiftRight(e, 3);
    GfpSetOne(one, p);
    if ((status = GfpAdd(a, a, p, two_a)) != 0 || (status = GfpModExp(two_a, e, p, g)) != 0 ||
        (status = GfpMul(g, g, p, field_id, i)) != 0 || (status = GfpMul(i, two_a, p, field_id, i)) != 0 ||
        (status = GfpSub(i, one, p, i)) != 0 || (status = GfpMul(a, g, p, field_id, r)) != 0 ||
        (status = GfpMul(r, i, p, field_id, r)) != 0) {
      return status;
    }
  } else if (p_mod_8 == 1) {
    return SqrtLucas(a, p, field_id, found, out);
  } else {
    return 0;
  }
  if ((status = GfpMul(r, r, p, field_id, check)) != 0) return status;
  if (GfpCompare(check, a, p) == 0) {
    found = 1;
    Pad(r, p.Count, out);
  }
  return 0;
}

int EcPointOnCurvePrime(const F& x, const F& y, const F& a, const F& b, const F& p, uint32_t field_id) {
  F t, u, s;
  if (GfpMul(x, x, p, field_id, t) != 0 || GfpMul(t, x, p, field_id, t) != 0 || GfpMul(a, x, p, field_id, u) != 0 ||
      GfpAdd(t, u, p, t) != 0 || GfpAdd(t, b, p, t) != 0 || GfpMul(y, y, p, field_id, s) != 0) {
    return 0;
  }
  return GfpCompare(t, s, p) == 0 ? 1 : 0;
}

}  // namespace velmora::crypto
