#include "crypto/ec/ec_prime.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include <emmintrin.h>

#include "crypto/ec/gfp.h"
#include "crypto/ec/mont_field.h"
#include "crypto/ec/p256_field.h"

#if VELMORABLE_HAVE_VALGRIND
#include <valgrind/memcheck.h>
#endif

namespace velmora::crypto {
namespace {

using F = FixedBigInt;
using ec::Limbs;
using ec::MontField;

struct Jacobian {
  Limbs X, Y, Z;
};

struct Curve {
  MontField f;
  Limbs a;           // Montgomery form
  bool a_is_minus3;  // selects the cheaper doubling
  bool a_is_zero;
  bool p256;  // P-256 with its dedicated field, unless the generic path is forced
};

// The field operations of the point formulas: AnyField through the curve's MontField, for any prime;
// P256Field inline for P-256 (whose a is -3).
struct AnyField {
  static constexpr bool kMinus3 = false;
  static void Mul(const MontField& f, uint64_t* o, const uint64_t* a, const uint64_t* b) { ec::MontMul(f, o, a, b); }
  static void Sqr(const MontField& f, uint64_t* o, const uint64_t* a) { ec::MontSqr(f, o, a); }
  static void Add(const MontField& f, uint64_t* o, const uint64_t* a, const uint64_t* b) { ec::ModAdd(f, o, a, b); }
  static void Sub(const MontField& f, uint64_t* o, const uint64_t* a, const uint64_t* b) { ec::ModSub(f, o, a, b); }
  static void Inverse(const MontField& f, uint64_t* o, const uint64_t* a) { ec::MontInverse(f, o, a); }
};

struct P256Field {
  static constexpr bool kMinus3 = true;
  static void Mul(const MontField&, uint64_t* o, const uint64_t* a, const uint64_t* b) { ec::p256::Mul(o, a, b); }
  static void Sqr(const MontField&, uint64_t* o, const uint64_t* a) { ec::p256::Sqr(o, a); }
  static void Add(const MontField&, uint64_t* o, const uint64_t* a, const uint64_t* b) { ec::p256::Add(o, a, b); }
  static void Sub(const MontField&, uint64_t* o, const uint64_t* a, const uint64_t* b) { ec::p256::Sub(o, a, b); }
  static void Inverse(const MontField&, uint64_t* o, const uint64_t* a) { ec::p256::Inverse(o, a); }
};

thread_local test::EcPointOpCounts op_counts;

// Public marks a value derived from a secret scalar whose disclosure is harmless (an outcome reached
// only by a multiple of the order, or a result that is published anyway) as defined for valgrind's
// memcheck, so that the constant-time probe, which runs with the scalar undefined, lets the code branch
// on it.
template <typename T>
T Public(T value) {
#if VELMORABLE_HAVE_VALGRIND
  VALGRIND_MAKE_MEM_DEFINED(&value, sizeof value);
#endif
  return value;
}

// Double: 2P in Jacobian coordinates (infinity, Z = 0, stays at infinity). out may alias in.
template <class Fp>
void Double(const Curve& c, const Jacobian& in, Jacobian& out) {
  const MontField& f = c.f;
  Limbs m, t, zz, yy, s, x3, y3, z3;
  Fp::Sqr(f, zz, in.Z);
  if (Fp::kMinus3 || c.a_is_minus3) {  // M = 3 (X - Z^2)(X + Z^2)
    Fp::Sub(f, t, in.X, zz);
    Fp::Add(f, m, in.X, zz);
    Fp::Mul(f, m, m, t);
  } else {  // M = 3 X^2 + a Z^4
    Fp::Sqr(f, m, in.X);
  }
  Fp::Add(f, t, m, m);
  Fp::Add(f, m, t, m);
  if (!Fp::kMinus3 && !c.a_is_minus3 && !c.a_is_zero) {
    Fp::Sqr(f, t, zz);
    Fp::Mul(f, t, t, c.a);
    Fp::Add(f, m, m, t);
  }
  Fp::Sqr(f, yy, in.Y);
  Fp::Mul(f, s, in.X, yy);
  Fp::Add(f, s, s, s);
  Fp::Add(f, s, s, s);  // S = 4 X Y^2
  Fp::Sqr(f, x3, m);
  Fp::Sub(f, x3, x3, s);
  Fp::Sub(f, x3, x3, s);  // X' = M^2 - 2S
  Fp::Mul(f, z3, in.Y, in.Z);
  Fp::Add(f, z3, z3, z3);  // Z' = 2YZ
  Fp::Sqr(f, yy, yy);
  Fp::Add(f, yy, yy, yy);
  Fp::Add(f, yy, yy, yy);
  Fp::Add(f, yy, yy, yy);  // 8 Y^4
  Fp::Sub(f, t, s, x3);
  Fp::Mul(f, y3, m, t);
  Fp::Sub(f, y3, y3, yy);  // Y' = M (S - X') - 8 Y^4
  CopyLimbs(f, out.X, x3);
  CopyLimbs(f, out.Y, y3);
  CopyLimbs(f, out.Z, z3);
  ++op_counts.doublings;
}

// AddCore: P + Q for two finite points with different x, without any test. h_zero and r_zero report
// the two exceptional cases (equal x: the same point, or its negative) for the caller to resolve.
template <class Fp>
void AddCore(const Curve& c, const Jacobian& p, const Jacobian& q, Jacobian& out, uint64_t& h_zero,
             uint64_t& r_zero) {
  const MontField& f = c.f;
  Limbs z1z1, z2z2, u1, u2, s1, s2, h, r, hh, hhh, v, x3, y3, z3;
  Fp::Sqr(f, z1z1, p.Z);
  Fp::Sqr(f, z2z2, q.Z);
  Fp::Mul(f, u1, p.X, z2z2);
  Fp::Mul(f, u2, q.X, z1z1);
  Fp::Mul(f, s1, p.Y, q.Z);
  Fp::Mul(f, s1, s1, z2z2);
  Fp::Mul(f, s2, q.Y, p.Z);
  Fp::Mul(f, s2, s2, z1z1);
  Fp::Sub(f, h, u2, u1);
  Fp::Sub(f, r, s2, s1);
  h_zero = ec::IsZeroMask(f, h);
  r_zero = ec::IsZeroMask(f, r);
  Fp::Sqr(f, hh, h);
  Fp::Mul(f, hhh, h, hh);
  Fp::Mul(f, v, u1, hh);
  Fp::Sqr(f, x3, r);
  Fp::Sub(f, x3, x3, hhh);
  Fp::Sub(f, x3, x3, v);
  Fp::Sub(f, x3, x3, v);  // X3 = r^2 - H^3 - 2 U1 H^2
  Fp::Sub(f, y3, v, x3);
  Fp::Mul(f, y3, y3, r);
  Fp::Mul(f, s1, s1, hhh);
  Fp::Sub(f, y3, y3, s1);  // Y3 = r (U1 H^2 - X3) - S1 H^3
  Fp::Mul(f, z3, p.Z, q.Z);
  Fp::Mul(f, z3, z3, h);
  CopyLimbs(f, out.X, x3);
  CopyLimbs(f, out.Y, y3);
  CopyLimbs(f, out.Z, z3);
  ++op_counts.additions;
}

void SelectPoint(const MontField& f, uint64_t mask, Jacobian& out, const Jacobian& when_set,
                 const Jacobian& when_clear) {
  ec::Select(f, mask, out.X, when_set.X, when_clear.X);
  ec::Select(f, mask, out.Y, when_set.Y, when_clear.Y);
  ec::Select(f, mask, out.Z, when_set.Z, when_clear.Z);
}

int InitCurve(const F& p, const F& a, Curve& c) {
  const int status = c.f.InitCached(p);
  if (status != 0) return status;
  Limbs plain, three = {3}, minus3;
  ec::LimbsFromFixed(a, c.f.n, plain);
  ec::ModSub(c.f, minus3, c.f.m, three);  // p - 3, exact since p > 3 is below 2^(64 n)
  c.a_is_minus3 = ec::EqualMask(c.f, plain, minus3) != 0;
  c.a_is_zero = ec::IsZeroMask(c.f, plain) != 0;
  ec::ToMont(c.f, c.a, plain);
  c.p256 = c.a_is_minus3 && c.f.dedicated && c.f.n == 4 && std::memcmp(c.f.m, ec::p256::kP256, sizeof ec::p256::kP256) == 0;
  return 0;
}

constexpr int kWindow = 4;
constexpr int kTableSize = 1 << kWindow;

// Settle finishes one window: the accumulator r becomes the sum with the window's point t (t itself
// when r is at infinity) for a nonzero digit and stays for a zero digit, all by masks. Only an addition
// of a point to itself or its negative, which needs a scalar multiple of the order or a point outside
// the prime-order group, takes a branch.
template <class Fp>
void Settle(const Curve& c, uint32_t digit, const Jacobian& t, Jacobian& sum, uint64_t h_zero, uint64_t r_zero,
            Jacobian& r, uint64_t& infinity) {
  const uint64_t digit_zero = 0 - static_cast<uint64_t>((digit - 1) >> 31 & 1);
  uint64_t sum_infinity = 0;
  if (Public(h_zero & ~infinity & ~digit_zero) != 0) {
    if (Public(r_zero) != 0) {
      Double<Fp>(c, t, sum);
    } else {
      sum_infinity = ~uint64_t{0};
    }
  }
  Jacobian chosen;
  SelectPoint(c.f, infinity, chosen, t, sum);
  SelectPoint(c.f, digit_zero, r, r, chosen);
  infinity = (infinity & digit_zero) | (sum_infinity & ~digit_zero);
}


// Multiply: k P for a finite P, reading k over all of its word count, four doublings and one addition
// per window. The accumulator's state at infinity is a mask, so leading zero windows cost the same as
// any other window.
template <class Fp>
void Multiply(const Curve& c, const Jacobian& p, const F& k, Jacobian& r, uint64_t& r_infinity) {
  const MontField& f = c.f;
  Jacobian table[kTableSize];
  table[0] = p;  // stands in for the zero digit, whose sum is discarded
  table[1] = p;
  Double<Fp>(c, p, table[2]);
  for (int i = 3; i < kTableSize; ++i) {
    uint64_t h_zero, r_zero;
    AddCore<Fp>(c, table[i - 1], p, table[i], h_zero, r_zero);
    if (h_zero != 0) {  // P of small order: only for points outside the prime-order group
      if (r_zero != 0) Double<Fp>(c, table[i - 1], table[i]);
      else std::memset(table[i].Z, 0, sizeof table[i].Z);
    }
  }
  std::memset(&r, 0, sizeof r);
  CopyLimbs(f, r.X, f.one);
  CopyLimbs(f, r.Y, f.one);
  uint64_t infinity = ~uint64_t{0};
  const int32_t windows = 32 * k.Count / kWindow;
  for (int32_t w = windows - 1; w >= 0; --w) {
    for (int i = 0; i < kWindow; ++i) Double<Fp>(c, r, r);
    infinity |= ec::IsZeroMask(f, r.Z);  // only a point of order 2 doubles to infinity
    const int32_t bit = w * kWindow;
    const uint32_t digit = (k.Words[bit / 32] >> (bit % 32)) & (kTableSize - 1);
    Jacobian t;
    for (uint32_t i = 0; i < kTableSize; ++i) {
      const uint64_t hit = 0 - static_cast<uint64_t>(((i ^ digit) - 1) >> 31 & 1);
      SelectPoint(f, hit, t, table[i], i == 0 ? table[0] : t);
    }
    Jacobian sum;
    uint64_t h_zero, r_zero;
    AddCore<Fp>(c, r, t, sum, h_zero, r_zero);
    Settle<Fp>(c, digit, t, sum, h_zero, r_zero, r, infinity);
  }
  r_infinity = infinity | ec::IsZeroMask(f, r.Z);
}

// MixedAddCore: P + (x, y) for a finite P and an affine point, without any test; as AddCore.
template <class Fp>
void MixedAddCore(const Curve& c, const Jacobian& p, const uint64_t* x, const uint64_t* y, Jacobian& out,
                  uint64_t& h_zero, uint64_t& r_zero) {
  const MontField& f = c.f;
  Limbs z1z1, u2, s2, h, r, hh, hhh, v, x3, y3, z3;
  Fp::Sqr(f, z1z1, p.Z);
  Fp::Mul(f, u2, x, z1z1);
  Fp::Mul(f, s2, y, p.Z);
  Fp::Mul(f, s2, s2, z1z1);
  Fp::Sub(f, h, u2, p.X);
  Fp::Sub(f, r, s2, p.Y);
  h_zero = ec::IsZeroMask(f, h);
  r_zero = ec::IsZeroMask(f, r);
  Fp::Sqr(f, hh, h);
  Fp::Mul(f, hhh, h, hh);
  Fp::Mul(f, v, p.X, hh);
  Fp::Sqr(f, x3, r);
  Fp::Sub(f, x3, x3, hhh);
  Fp::Sub(f, x3, x3, v);
  Fp::Sub(f, x3, x3, v);
  Fp::Sub(f, y3, v, x3);
  Fp::Mul(f, y3, y3, r);
  Fp::Mul(f, hhh, p.Y, hhh);
  Fp::Sub(f, y3, y3, hhh);
  Fp::Mul(f, z3, p.Z, h);
  CopyLimbs(f, out.X, x3);
  CopyLimbs(f, out.Y, y3);
  CopyLimbs(f, out.Z, z3);
  ++op_counts.additions;
}

// A fixed base's multiples d 16^i P (d = 1..15) for every 4-bit window i of a scalar, in affine
// Montgomery form, made once per base and kept for the life of the process.
struct BaseTable {
  std::vector<uint64_t> key;  // p, a, x and y as limbs
  Curve curve;
  int32_t windows = 0;
  std::vector<uint64_t> points;  // windows x 16 entries of x and y (entry 0 unused)
  const uint64_t* Entry(int32_t window, uint32_t digit) const {
    return points.data() + (static_cast<size_t>(window) * kTableSize + digit) * 2 * ec::kMaxLimbs;
  }
};

bool BuildBaseTable(BaseTable& t, const Jacobian& base) {
  const Curve& c = t.curve;
  const MontField& f = c.f;
  const size_t count = static_cast<size_t>(t.windows) * kTableSize;
  std::vector<Jacobian> multiples(count);
  Jacobian window_base = base;
  for (int32_t w = 0; w < t.windows; ++w) {
    Jacobian* row = &multiples[static_cast<size_t>(w) * kTableSize];
    row[0] = window_base;
    row[1] = window_base;
    Double<AnyField>(c, window_base, row[2]);
    for (int d = 3; d < kTableSize; ++d) {
      uint64_t h_zero, r_zero;
      AddCore<AnyField>(c, row[d - 1], window_base, row[d], h_zero, r_zero);
      if (h_zero != 0) return false;  // a base of small order is not worth a table
    }
    Double<AnyField>(c, row[8], window_base);  // 16 times this window's base
  }
  // One inversion for all: prefix products of the Z values, then back to front.
  std::vector<uint64_t> prefix(count * ec::kMaxLimbs);
  Limbs acc;
  CopyLimbs(f, acc, f.one);
  for (size_t i = 0; i < count; ++i) {
    if (ec::IsZeroMask(f, multiples[i].Z) != 0) return false;
    CopyLimbs(f, &prefix[i * ec::kMaxLimbs], acc);
    MontMul(f, acc, acc, multiples[i].Z);
  }
  ec::MontInverse(f, acc, acc);
  t.points.assign(count * 2 * ec::kMaxLimbs, 0);
  for (size_t i = count; i-- > 0;) {
    Limbs zinv, zinv2;
    MontMul(f, zinv, acc, &prefix[i * ec::kMaxLimbs]);
    MontMul(f, acc, acc, multiples[i].Z);
    MontSqr(f, zinv2, zinv);
    uint64_t* out = t.points.data() + i * 2 * ec::kMaxLimbs;
    MontMul(f, out, multiples[i].X, zinv2);
    MontMul(f, zinv2, zinv2, zinv);
    MontMul(f, out + ec::kMaxLimbs, multiples[i].Y, zinv2);
  }
  return true;
}

// FindBaseTable: the table of (x, y) on the curve, made on first use; null when the base has none.
const BaseTable* FindBaseTable(const Curve& c, const F& p, const F& a, const Jacobian& base) {
  static std::mutex mutex;
  static std::vector<std::unique_ptr<BaseTable>> tables;
  const int32_t n = c.f.n;
  std::vector<uint64_t> key(static_cast<size_t>(4 * n));
  ec::LimbsFromFixed(p, n, key.data());
  ec::LimbsFromFixed(a, n, key.data() + n);
  ec::FromMont(c.f, key.data() + 2 * n, base.X);
  ec::FromMont(c.f, key.data() + 3 * n, base.Y);
  std::lock_guard<std::mutex> lock(mutex);
  for (const auto& table : tables) {
    if (table->key == key) return table->windows > 0 ? table.get() : nullptr;
  }
  constexpr size_t kMaxTables = 64;
  if (tables.size() == kMaxTables) return nullptr;
  auto table = std::make_unique<BaseTable>();
  table->key = std::move(key);
  table->curve = c;
  // Enough windows for a scalar one word longer than p, which covers the order of any base.
  table->windows = 8 * (p.Count + 1);
  const test::EcPointOpCounts before = op_counts;  // the one-time table is not part of any product
  if (!BuildBaseTable(*table, base)) table->windows = 0;
  op_counts = before;
  tables.push_back(std::move(table));
  return tables.back()->windows > 0 ? tables.back().get() : nullptr;
}

// MultiplyFixed: k P from P's table; one mixed addition per window and no doublings, with the same
// masked handling of the accumulator at infinity as Multiply.
void MultiplyFixed(const BaseTable& table, const F& k, Jacobian& r, uint64_t& r_infinity) {
  const Curve& c = table.curve;
  const MontField& f = c.f;
  std::memset(&r, 0, sizeof r);
  CopyLimbs(f, r.X, f.one);
  CopyLimbs(f, r.Y, f.one);
  uint64_t infinity = ~uint64_t{0};
  const int32_t windows = 32 * k.Count / kWindow;
  for (int32_t w = 0; w < windows; ++w) {
    const int32_t bit = w * kWindow;
    const uint32_t digit = (k.Words[bit / 32] >> (bit % 32)) & (kTableSize - 1);
    Jacobian t;
    CopyLimbs(f, t.Z, f.one);
    const uint64_t* first = table.Entry(w, 1);
    CopyLimbs(f, t.X, first);
    CopyLimbs(f, t.Y, first + ec::kMaxLimbs);
    for (uint32_t i = 2; i < kTableSize; ++i) {
      const uint64_t hit = 0 - static_cast<uint64_t>(((i ^ digit) - 1) >> 31 & 1);
      const uint64_t* entry = table.Entry(w, i);
      ec::Select(f, hit, t.X, entry, t.X);
      ec::Select(f, hit, t.Y, entry + ec::kMaxLimbs, t.Y);
    }
    Jacobian sum;
    uint64_t h_zero, r_zero;
    MixedAddCore<AnyField>(c, r, t.X, t.Y, sum, h_zero, r_zero);
    Settle<AnyField>(c, digit, t, sum, h_zero, r_zero, r, infinity);
  }
  r_infinity = infinity | ec::IsZeroMask(f, r.Z);
}

template <class Fp>
void ToAffine(const Curve& c, const Jacobian& j, int32_t words, F& out_x, F& out_y) {
  const MontField& f = c.f;
  Limbs zinv, zinv2, x, y;
  Fp::Inverse(f, zinv, j.Z);
  Fp::Sqr(f, zinv2, zinv);
  Fp::Mul(f, x, j.X, zinv2);
  Fp::Mul(f, y, j.Y, zinv2);
  Fp::Mul(f, y, y, zinv);
  ec::FromMont(f, x, x);
  ec::FromMont(f, y, y);
  ec::LimbsToFixed(x, f.n, words, out_x);
  ec::LimbsToFixed(y, f.n, words, out_y);
}

// The P-256 base table: for a fixed base B, the affine multiples d 2^(6 i) B (d = 1..32) for each of
// the 43 windows i of a 256-bit scalar read in signed (Booth) digits of 6 bits, and, for verification,
// the odd multiples B, 3B, ..., 127B. Made once per base and kept for the life of the process; entries
// are x then y, four limbs each, in Montgomery form.
constexpr int kCombWidth = 6;
constexpr int kCombEntries = 1 << (kCombWidth - 1);
constexpr int kCombWindows = (256 + kCombWidth) / kCombWidth;  // digits of weight up to 2^257
constexpr int kBaseNafWidth = 8;
constexpr int kBaseNafTable = 1 << (kBaseNafWidth - 2);
constexpr int kEntryLimbs = 8;

struct P256Table {
  Limbs key;  // the base's x and y, four limbs each
  std::vector<uint64_t> comb;  // kCombWindows x kCombEntries entries
  std::vector<uint64_t> odd;   // kBaseNafTable entries
};

bool BuildP256Table(const Curve& c, const Jacobian& base, P256Table& t) {
  const size_t comb_count = static_cast<size_t>(kCombWindows) * kCombEntries;
  std::vector<Jacobian> points(comb_count + kBaseNafTable);
  Jacobian window_base = base;
  uint64_t h_zero, r_zero;
  for (int w = 0; w < kCombWindows; ++w) {
    Jacobian* row = &points[static_cast<size_t>(w) * kCombEntries];
    row[0] = window_base;
    Double<P256Field>(c, window_base, row[1]);
    for (int d = 2; d < kCombEntries; ++d) {
      AddCore<P256Field>(c, row[d - 1], window_base, row[d], h_zero, r_zero);
      if (h_zero != 0) return false;  // not a point of the prime-order group
    }
    Double<P256Field>(c, row[kCombEntries - 1], window_base);
  }
  Jacobian* odd = &points[comb_count];
  Jacobian twice;
  Double<P256Field>(c, base, twice);
  odd[0] = base;
  for (int i = 1; i < kBaseNafTable; ++i) {
    AddCore<P256Field>(c, odd[i - 1], twice, odd[i], h_zero, r_zero);
    if (h_zero != 0) return false;
  }
  // One inversion for all: prefix products of the Z values, then back to front.
  const size_t count = points.size();
  std::vector<uint64_t> prefix(count * 4), affine(count * kEntryLimbs);
  uint64_t acc[4] = {c.f.one[0], c.f.one[1], c.f.one[2], c.f.one[3]};
  for (size_t i = 0; i < count; ++i) {
    if (ec::IsZeroMask(c.f, points[i].Z) != 0) return false;
    std::memcpy(&prefix[i * 4], acc, sizeof acc);
    ec::p256::Mul(acc, acc, points[i].Z);
  }
  ec::p256::Inverse(acc, acc);
  for (size_t i = count; i-- > 0;) {
    uint64_t zinv[4], zinv2[4];
    ec::p256::Mul(zinv, acc, &prefix[i * 4]);
    ec::p256::Mul(acc, acc, points[i].Z);
    ec::p256::Sqr(zinv2, zinv);
    uint64_t* out = &affine[i * kEntryLimbs];
    ec::p256::Mul(out, points[i].X, zinv2);
    ec::p256::Mul(zinv2, zinv2, zinv);
    ec::p256::Mul(out + 4, points[i].Y, zinv2);
  }
  t.comb.assign(affine.begin(), affine.begin() + static_cast<std::ptrdiff_t>(comb_count * kEntryLimbs));
  t.odd.assign(affine.begin() + static_cast<std::ptrdiff_t>(comb_count * kEntryLimbs), affine.end());
  return true;
}

// FindP256Table: the table of a P-256 base, made on first use; null when none can be made (a point
// outside the group, or 64 bases tabulated already).
const P256Table* FindP256Table(const Curve& c, const Jacobian& base) {
  static std::mutex mutex;
  static std::vector<std::unique_ptr<P256Table>> tables;
  Limbs key = {};
  std::memcpy(key, base.X, 4 * sizeof(uint64_t));
  std::memcpy(key + 4, base.Y, 4 * sizeof(uint64_t));
  std::lock_guard<std::mutex> lock(mutex);
  for (const auto& table : tables) {
    if (std::memcmp(table->key, key, sizeof key) == 0) return table->comb.empty() ? nullptr : table.get();
  }
  constexpr size_t kMaxTables = 64;
  if (tables.size() == kMaxTables) return nullptr;
  auto table = std::make_unique<P256Table>();
  std::memcpy(table->key, key, sizeof key);
  const test::EcPointOpCounts before = op_counts;  // the one-time table is not part of any product
  if (!BuildP256Table(c, base, *table)) table->comb.clear();
  op_counts = before;
  tables.push_back(std::move(table));
  return tables.back()->comb.empty() ? nullptr : tables.back().get();
}

// CombDigit: the signed digit of window w of the scalar s (five limbs, the top one zero): bits
// 6w - 1 .. 6w + 5 recoded to a magnitude in [0, 32] and a sign mask, without branches.
void CombDigit(const uint64_t s[5], int w, uint32_t& magnitude, uint64_t& negative) {
  const int low = kCombWidth * w - 1;  // bit -1 reads as zero
  uint64_t bits;
  if (low < 0) {
    bits = (s[0] << 1) & ((1u << (kCombWidth + 1)) - 1);
  } else {
    const int limb = low / 64, shift = low % 64;
    bits = s[limb] >> shift;
    if (shift > 64 - (kCombWidth + 1)) bits |= s[limb + 1] << (64 - shift);
    bits &= (1u << (kCombWidth + 1)) - 1;
  }
  const uint64_t top = 0 - (bits >> kCombWidth);  // all ones for a negative digit
  uint64_t d = ((((uint64_t{1} << (kCombWidth + 1)) - 1) - bits) & top) | (bits & ~top);
  d = (d >> 1) + (d & 1);
  magnitude = static_cast<uint32_t>(d);
  negative = top;
}

// SelectCombEntry: entry magnitude - 1 of a row into x and y (zeros for magnitude 0), reading every
// entry of the row and keeping the wanted one by mask, in 128-bit lanes.
void SelectCombEntry(const uint64_t* row, uint32_t magnitude, uint64_t* x, uint64_t* y) {
  __m128i acc0 = _mm_setzero_si128(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
  for (uint32_t i = 0; i < kCombEntries; ++i) {
    const uint64_t hit = 0 - ((static_cast<uint64_t>((i + 1) ^ magnitude) - 1) >> 63);
    const __m128i mask = _mm_set1_epi64x(static_cast<long long>(hit));
    const auto* entry = reinterpret_cast<const __m128i*>(row + i * kEntryLimbs);
    acc0 = _mm_or_si128(acc0, _mm_and_si128(_mm_loadu_si128(entry), mask));
    acc1 = _mm_or_si128(acc1, _mm_and_si128(_mm_loadu_si128(entry + 1), mask));
    acc2 = _mm_or_si128(acc2, _mm_and_si128(_mm_loadu_si128(entry + 2), mask));
    acc3 = _mm_or_si128(acc3, _mm_and_si128(_mm_loadu_si128(entry + 3), mask));
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(x), acc0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(x + 2), acc1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(y), acc2);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(y + 2), acc3);
}

// MultiplyComb: k B for a scalar of at most eight words from B's table: one mixed addition per window,
// no doublings. Each window reads every entry of its row and keeps the wanted one by mask, and the
// accumulator at infinity is a mask as in Multiply, so the time and the memory accesses do not depend
// on k.
void MultiplyComb(const Curve& c, const P256Table& table, const F& k, Jacobian& r, uint64_t& r_infinity) {
  const MontField& f = c.f;
  uint64_t s[5] = {};
  ec::LimbsFromFixed(k, 4, s);
  std::memset(&r, 0, sizeof r);
  CopyLimbs(f, r.X, f.one);
  CopyLimbs(f, r.Y, f.one);
  uint64_t infinity = ~uint64_t{0};
  for (int w = 0; w < kCombWindows; ++w) {
    uint32_t magnitude;
    uint64_t negative;
    CombDigit(s, w, magnitude, negative);
    Jacobian t;
    SelectCombEntry(&table.comb[static_cast<size_t>(w) * kCombEntries * kEntryLimbs], magnitude, t.X, t.Y);
    uint64_t minus_y[4];
    const uint64_t zero[4] = {};
    ec::p256::Sub(minus_y, zero, t.Y);
    for (int j = 0; j < 4; ++j) t.Y[j] = (minus_y[j] & negative) | (t.Y[j] & ~negative);
    CopyLimbs(f, t.Z, f.one);
    Jacobian sum;
    uint64_t h_zero, r_zero;
    MixedAddCore<P256Field>(c, r, t.X, t.Y, sum, h_zero, r_zero);
    Settle<P256Field>(c, magnitude, t, sum, h_zero, r_zero, r, infinity);
  }
  r_infinity = infinity | ec::IsZeroMask(f, r.Z);
}

}  // namespace

void EcSetInfinity(const F& p, F& x, F& y) {
  GfpSetZero(x, p);
  x.Count = 0;
  GfpSetZero(y, p);
}

namespace {

// MultiplyToAffine: k (x, y) in Jacobian coordinates, from the point's table when tabulate is set and
// the table covers the scalar, converted to affine at the end.
int MultiplyToAffine(const F& x, const F& y, const F& p, const F& a, const F& k, bool tabulate, F& out_x, F& out_y) {
  if (EcIsInfinity(x)) {
    EcSetInfinity(p, out_x, out_y);
    return 0;
  }
  Curve c;
  const int status = InitCurve(p, a, c);
  if (status != 0) return status;
  Jacobian base, r;
  Limbs plain;
  ec::LimbsFromFixed(x, c.f.n, plain);
  ec::ToMont(c.f, base.X, plain);
  ec::LimbsFromFixed(y, c.f.n, plain);
  ec::ToMont(c.f, base.Y, plain);
  ec::CopyLimbs(c.f, base.Z, c.f.one);
  // P-256 bases get the signed-digit table, other curves (and P-256 on the generic path) the 4-bit one.
  const P256Table* comb = c.p256 && tabulate && k.Count <= 8 ? FindP256Table(c, base) : nullptr;
  const BaseTable* table = tabulate && !c.p256 ? FindBaseTable(c, p, a, base) : nullptr;
  uint64_t infinity;
  if (comb != nullptr) {
    MultiplyComb(c, *comb, k, r, infinity);
  } else if (table != nullptr && 32 * k.Count / kWindow <= table->windows) {
    MultiplyFixed(*table, k, r, infinity);
  } else if (c.p256) {
    Multiply<P256Field>(c, base, k, r, infinity);
  } else {
    Multiply<AnyField>(c, base, k, r, infinity);
  }
  if (Public(infinity) != 0) {
    EcSetInfinity(p, out_x, out_y);
  } else if (c.p256) {
    ToAffine<P256Field>(c, r, p.Count, out_x, out_y);
  } else {
    ToAffine<AnyField>(c, r, p.Count, out_x, out_y);
  }
  return 0;
}

// The interleaved double multiplication for verification. Everything from here to MultiplyTwo runs in
// variable time and is only ever given public scalars and points (a signature's u1, u2, the generator
// and a public key).

// IsInfinityVar: Z = 0, as a branchable answer (variable time, public points only).
bool IsInfinityVar(const Curve& c, const Jacobian& p) { return ec::IsZeroMask(c.f, p.Z) != 0; }

// FinishAddVar settles P + Q from the sum formula's result: equal points (H = 0, R = 0) are doubled,
// opposite ones (H = 0 only) give infinity, any other pair takes sum. out may be p. Variable time;
// public points only.
template <class Fp>
void FinishAddVar(const Curve& c, const Jacobian& p, const Jacobian& sum, uint64_t h_zero, uint64_t r_zero,
                  Jacobian& out) {
  if (h_zero == 0) {
    out = sum;
  } else if (r_zero != 0) {
    Double<Fp>(c, p, out);
  } else {
    std::memset(&out, 0, sizeof out);  // P + (-P)
  }
}

// AddVar: P + Q for any two Jacobian points, infinity (Z = 0) and equal or opposite points included.
// Variable time; public points only.
template <class Fp>
void AddVar(const Curve& c, const Jacobian& p, const Jacobian& q, Jacobian& out) {
  if (IsInfinityVar(c, p)) {
    out = q;
    return;
  }
  if (IsInfinityVar(c, q)) {
    out = p;
    return;
  }
  uint64_t h_zero, r_zero;
  Jacobian sum;
  AddCore<Fp>(c, p, q, sum, h_zero, r_zero);
  FinishAddVar<Fp>(c, p, sum, h_zero, r_zero, out);
}

constexpr int kNafWidth = 5;
constexpr int kNafTable = 1 << (kNafWidth - 2);  // P, 3P, ..., 15P

// WidthNaf: the width-w non-adjacent form of k (w at most 8), digit i of weight 2^i, odd digits in
// (-2^(w-1), 2^(w-1)) or zero; returns the number of digits. Variable time; public scalars only.
int32_t WidthNaf(const F& k, int width, int8_t* digits, int32_t room) {
  uint32_t words[F::kMaxWords + 1] = {};
  int32_t count = k.Count;
  for (int32_t i = 0; i < count; ++i) words[i] = k.Words[i];
  auto is_zero = [&]() {
    for (int32_t i = 0; i < count; ++i) {
      if (words[i] != 0) return false;
    }
    return true;
  };
  int32_t length = 0;
  while (!is_zero() && length < room) {
    int32_t digit = 0;
    if ((words[0] & 1) != 0) {
      digit = static_cast<int32_t>(words[0] & ((1u << width) - 1));
      if (digit >= (1 << (width - 1))) digit -= 1 << width;
      // words -= digit
      if (digit > 0) {
        uint64_t borrow = static_cast<uint32_t>(digit);
        for (int32_t i = 0; i <= count && borrow != 0; ++i) {
          const uint64_t before = words[i];
          words[i] = static_cast<uint32_t>(before - borrow);
          borrow = before < borrow ? 1 : 0;
        }
      } else {
        uint64_t carry = static_cast<uint32_t>(-digit);
        for (int32_t i = 0; i <= count && carry != 0; ++i) {
          const uint64_t sum = words[i] + carry;
          words[i] = static_cast<uint32_t>(sum);
          carry = sum >> 32;
        }
        if (words[count] != 0) ++count;
      }
    }
    digits[length++] = static_cast<int8_t>(digit);
    for (int32_t i = 0; i < count; ++i) words[i] = (words[i] >> 1) | (i + 1 <= count ? words[i + 1] << 31 : 0);
    words[count] >>= 1;
  }
  return length;
}

// OddMultiples: P, 3P, ..., 15P. Variable time; public points only.
template <class Fp>
void OddMultiples(const Curve& c, const Jacobian& p, Jacobian table[kNafTable]) {
  table[0] = p;
  Jacobian twice;
  Double<Fp>(c, p, twice);
  for (int i = 1; i < kNafTable; ++i) AddVar<Fp>(c, table[i - 1], twice, table[i]);
}

// AddDigit: r + digit P from P's odd multiples; nothing for a zero digit. Variable time; public digits.
template <class Fp>
void AddDigit(const Curve& c, int digit, const Jacobian table[kNafTable], Jacobian& r) {
  if (digit == 0) return;
  Jacobian t = table[(digit < 0 ? -digit : digit) / 2];
  if (digit < 0) {
    Limbs zero = {};
    Fp::Sub(c.f, t.Y, zero, t.Y);
  }
  AddVar<Fp>(c, r, t, r);
}

// AddAffineDigit: r + digit B from B's affine odd multiples; nothing for a zero digit. Variable time;
// public digits and points only.
template <class Fp>
void AddAffineDigit(const Curve& c, int digit, const uint64_t* odd, Jacobian& r) {
  if (digit == 0) return;
  const uint64_t* entry = odd + static_cast<size_t>((digit < 0 ? -digit : digit) / 2) * kEntryLimbs;
  Limbs y = {};
  if (digit < 0) {
    Limbs zero = {};
    Fp::Sub(c.f, y, zero, entry + 4);
  } else {
    CopyLimbs(c.f, y, entry + 4);
  }
  if (IsInfinityVar(c, r)) {
    CopyLimbs(c.f, r.X, entry);
    CopyLimbs(c.f, r.Y, y);
    CopyLimbs(c.f, r.Z, c.f.one);
    return;
  }
  Jacobian sum;
  uint64_t h_zero, r_zero;
  MixedAddCore<Fp>(c, r, entry, y, sum, h_zero, r_zero);
  FinishAddVar<Fp>(c, r, sum, h_zero, r_zero, r);
}

// MultiplyTwo: u1 P + u2 Q by one chain of doublings over the interleaved NAF digits of both scalars:
// width 5 from Jacobian odd multiples, or, when P's table is given, width 8 from its affine odd
// multiples with mixed additions. Variable time; public inputs only.
template <class Fp>
void MultiplyTwo(const Curve& c, const Jacobian& p, const F& u1, const Jacobian& q, const F& u2,
                 const P256Table* p_table, Jacobian& r) {
  constexpr int32_t kRoom = 32 * (F::kMaxWords + 1) + 1;
  static thread_local int8_t naf1[kRoom], naf2[kRoom];
  const int32_t n1 = WidthNaf(u1, p_table != nullptr ? kBaseNafWidth : kNafWidth, naf1, kRoom);
  const int32_t n2 = WidthNaf(u2, kNafWidth, naf2, kRoom);
  Jacobian table_p[kNafTable], table_q[kNafTable];
  if (p_table == nullptr) OddMultiples<Fp>(c, p, table_p);
  OddMultiples<Fp>(c, q, table_q);
  std::memset(&r, 0, sizeof r);
  for (int32_t i = (n1 > n2 ? n1 : n2) - 1; i >= 0; --i) {
    if (!IsInfinityVar(c, r)) Double<Fp>(c, r, r);
    if (i < n1) {
      if (p_table != nullptr) {
        AddAffineDigit<Fp>(c, naf1[i], p_table->odd.data(), r);
      } else {
        AddDigit<Fp>(c, naf1[i], table_p, r);
      }
    }
    if (i < n2) AddDigit<Fp>(c, naf2[i], table_q, r);
  }
}

}  // namespace

int EcPointMulTwoPrime(const F& x1, const F& y1, const F& u1, const F& x2, const F& y2, const F& u2, const F& p,
                       const F& a, F& out_x, F& out_y) {
  Curve c;
  const int status = InitCurve(p, a, c);
  if (status != 0) return status;
  Jacobian points[2];
  const F* coordinates[2][2] = {{&x1, &y1}, {&x2, &y2}};
  for (int i = 0; i < 2; ++i) {
    if (EcIsInfinity(*coordinates[i][0])) {
      std::memset(&points[i], 0, sizeof points[i]);
      continue;
    }
    Limbs plain;
    ec::LimbsFromFixed(*coordinates[i][0], c.f.n, plain);
    ec::ToMont(c.f, points[i].X, plain);
    ec::LimbsFromFixed(*coordinates[i][1], c.f.n, plain);
    ec::ToMont(c.f, points[i].Y, plain);
    ec::CopyLimbs(c.f, points[i].Z, c.f.one);
  }
  Jacobian r;
  if (c.p256) {
    // The first point is the generator in verification: its table is the one signing uses.
    const P256Table* table = EcIsInfinity(x1) ? nullptr : FindP256Table(c, points[0]);
    MultiplyTwo<P256Field>(c, points[0], u1, points[1], u2, table, r);
  } else {
    MultiplyTwo<AnyField>(c, points[0], u1, points[1], u2, nullptr, r);
  }
  if (IsInfinityVar(c, r)) {
    EcSetInfinity(p, out_x, out_y);
  } else if (c.p256) {
    ToAffine<P256Field>(c, r, p.Count, out_x, out_y);
  } else {
    ToAffine<AnyField>(c, r, p.Count, out_x, out_y);
  }
  return 0;
}

// The multiplication works in Montgomery form for every prime: the field id is not needed.
int EcPointMulPrime(const F& x, const F& y, const F& p, const F& a, const F& k, uint32_t, F& out_x, F& out_y) {
  return MultiplyToAffine(x, y, p, a, k, false, out_x, out_y);
}

int EcPointMulPrimeFixedBase(const F& x, const F& y, const F& p, const F& a, const F& k, uint32_t, F& out_x,
                             F& out_y) {
  return MultiplyToAffine(x, y, p, a, k, true, out_x, out_y);
}

int EcPointDoubleAffinePrime(const F& x, const F& y, const F& a, const F& p, uint32_t field_id, F& out_x,
                             F& out_y) {
  if (EcIsInfinity(x) || GfpIsZero(y, p)) {
    EcSetInfinity(p, out_x, out_y);
    return 0;
  }
  F num, den, lambda, t, x3, y3;
  int status;
  if ((status = GfpSquare(x, p, field_id, t)) != 0 || (status = GfpAdd(t, t, p, num)) != 0 ||
      (status = GfpAdd(num, t, p, num)) != 0 || (status = GfpAdd(num, a, p, num)) != 0 ||
      (status = GfpAdd(y, y, p, den)) != 0 || (status = GfpDivide(num, den, p, lambda)) != 0 ||
      (status = GfpSquare(lambda, p, field_id, x3)) != 0 || (status = GfpSub(x3, x, p, x3)) != 0 ||
      (status = GfpSub(x3, x, p, x3)) != 0 || (status = GfpSub(x, x3, p, t)) != 0 ||
      (status = GfpMul(lambda, t, p, field_id, y3)) != 0 || (status = GfpSub(y3, y, p, y3)) != 0) {
    return status;
  }
  F::Copy(out_x, x3);
  F::Copy(out_y, y3);
  return 0;
}

int EcPointAddAffinePrime(const F& x1, const F& y1, const F& x2, const F& y2, const F& a, const F& p,
                          uint32_t field_id, F& out_x, F& out_y) {
  if (EcIsInfinity(x1)) {
    F::Copy(out_x, x2);
    F::Copy(out_y, y2);
    return 0;
  }
  if (EcIsInfinity(x2)) {
    F::Copy(out_x, x1);
    F::Copy(out_y, y1);
    return 0;
  }
  if (GfpCompare(x1, x2, p) == 0) {
    if (GfpCompare(y1, y2, p) != 0) {
      EcSetInfinity(p, out_x, out_y);
      return 0;
    }
    return EcPointDoubleAffinePrime(x1, y1, a, p, field_id, out_x, out_y);
  }
  F num, den, lambda, t, x3, y3;
  int status;
  if ((status = GfpSub(y2, y1, p, num)) != 0 || (status = GfpSub(x2, x1, p, den)) != 0 ||
      (status = GfpDivide(num, den, p, lambda)) != 0 || (status = GfpSquare(lambda, p, field_id, x3)) != 0 ||
      (status = GfpSub(x3, x1, p, x3)) != 0 || (status = GfpSub(x3, x2, p, x3)) != 0 ||
      (status = GfpSub(x1, x3, p, t)) != 0 || (status = GfpMul(lambda, t, p, field_id, y3)) != 0 ||
      (status = GfpSub(y3, y1, p, y3)) != 0) {
    return status;
  }
  F::Copy(out_x, x3);
  F::Copy(out_y, y3);
  return 0;
}

int EcPointMulAffinePrime(const F& x, const F& y, const F& k, const F& a, const F& p, uint32_t field_id, F& out_x,
                          F& out_y) {
  F rx, ry;
  EcSetInfinity(p, rx, ry);
  int status;
  const int32_t length = F::BitLength(k);
  for (int32_t i = length - 1; i >= 1; --i) {
    if (F::TestBit(k, i) && (status = EcPointAddAffinePrime(rx, ry, x, y, a, p, field_id, rx, ry)) != 0) {
      return status;
    }
    if ((status = EcPointDoubleAffinePrime(rx, ry, a, p, field_id, rx, ry)) != 0) return status;
  }
  if (length > 0 && F::TestBit(k, 0) && (status = EcPointAddAffinePrime(rx, ry, x, y, a, p, field_id, rx, ry)) != 0) {
    return status;
  }
  F::Copy(out_x, rx);
  F::Copy(out_y, ry);
  return 0;
}

int EcRecoverYPrime(int32_t parity, const F& x, const F& a, const F& b, const F& p, uint32_t field_id, F& y) {
  F alpha, t, root;
  if (GfpSquare(x, p, field_id, alpha) != 0 || GfpMul(alpha, x, p, field_id, alpha) != 0 ||
      GfpMul(a, x, p, field_id, t) != 0 || GfpAdd(alpha, t, p, alpha) != 0 || GfpAdd(alpha, b, p, alpha) != 0) {
    return 0;
  }
  int32_t found = 0;
  if (GfpSqrt(alpha, p, field_id, found, root) != 0 || found == 0) return 0;
  if (static_cast<int32_t>(root.Words[0] & 1) == (parity & 1)) {
    F::Copy(y, root);
  } else {
    F zero;
    GfpSetZero(zero, p);
    if (GfpSub(zero, root, p, y) != 0) return 0;
  }
  return 1;
}

test::EcPointOpCounts& test::PrimePointOpCounts() { return op_counts; }

}  // namespace velmora::crypto
