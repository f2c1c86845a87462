// The P-256 field, 2^256 - 2^224 + 2^192 + 2^96 - 1, as inline operations on four 64-bit limbs in
// Montgomery form (R = 2^256), for the point code that is compiled for this one prime, and the 4-limb
// products shared with the other 4-limb moduli. Every operation runs in time independent of the values.
// Used only inside crypto/ec.
#pragma once

#include <cstdint>

#include <cpuid.h>
#include <x86intrin.h>

namespace velmora::crypto::ec::p256 {

using u128 = unsigned __int128;

// The P-256 prime 2^256 - 2^224 + 2^192 + 2^96 - 1 has -p^-1 = 1 mod 2^64 and limbs 2^64 - 1, 2^32 - 1,
// 0 and 2^64 - 2^32 + 1, so each Montgomery step adds q p with shifts and additions only: the lowest
// limb cancels with a carry of exactly q, the next gains q 2^32, the third nothing.
inline constexpr uint64_t kP256[4] = {0xFFFFFFFFFFFFFFFFu, 0x00000000FFFFFFFFu, 0, 0xFFFFFFFF00000001u};

inline uint64_t MulWide(uint64_t a, uint64_t b, uint64_t& hi) {
  const u128 p = static_cast<u128>(a) * b;
  hi = static_cast<uint64_t>(p >> 64);
  return static_cast<uint64_t>(p);
}

inline unsigned char AddCarry(unsigned char c, uint64_t a, uint64_t b, uint64_t& out) {
  unsigned long long sum;
  c = _addcarry_u64(c, a, b, &sum);
  out = sum;
  return c;
}

// Reduce256: t (512 bits in t[0..7]) times 2^-256 modulo the P-256 prime, into out below p. Each of the
// four steps clears limb i by adding q p for q = t[i]: the low limb's t[i] + q (2^64 - 1) is q 2^64, so
// limb i + 1 gains q + q (2^32 - 1) = q 2^32, limb i + 2 nothing and limb i + 3 the product q p[3].
[[gnu::always_inline]] inline void Reduce256(uint64_t* out, uint64_t t[8]) {
  uint64_t top = 0;
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    const uint64_t q = t[i];
    uint64_t hi;
    const uint64_t lo = MulWide(q, kP256[3], hi);
    unsigned char c = AddCarry(0, t[i + 1], q << 32, t[i + 1]);
    c = AddCarry(c, t[i + 2], q >> 32, t[i + 2]);
    c = AddCarry(c, t[i + 3], lo, t[i + 3]);
    c = AddCarry(c, t[i + 4], hi, t[i + 4]);
#pragma GCC unroll 3
    for (int j = i + 5; j < 8; ++j) c = AddCarry(c, t[j], 0, t[j]);
    top += c;
  }
  // t[4..7] + top 2^256 < 2p: one masked subtraction.
  uint64_t d[4];
  unsigned long long borrow_out;
  unsigned char b = _subborrow_u64(0, t[4], kP256[0], &borrow_out);
  d[0] = borrow_out;
  b = _subborrow_u64(b, t[5], kP256[1], &borrow_out);
  d[1] = borrow_out;
  b = _subborrow_u64(b, t[6], kP256[2], &borrow_out);
  d[2] = borrow_out;
  b = _subborrow_u64(b, t[7], kP256[3], &borrow_out);
  d[3] = borrow_out;
  const uint64_t keep_t = 0 - static_cast<uint64_t>(top < b);
#pragma GCC unroll 4
  for (int j = 0; j < 4; ++j) out[j] = (t[j + 4] & keep_t) | (d[j] & ~keep_t);
}

// Product4 / Square4: the 512-bit product of two 4-limb values into t.
[[gnu::always_inline]] inline void Product4(uint64_t t[8], const uint64_t* a, const uint64_t* b) {
  const uint64_t a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3];
  uint64_t h0, h1, h2, h3;
  {
    const uint64_t bi = b[0];
    t[0] = MulWide(a0, bi, h0);
    const uint64_t l1 = MulWide(a1, bi, h1);
    const uint64_t l2 = MulWide(a2, bi, h2);
    const uint64_t l3 = MulWide(a3, bi, h3);
    unsigned char c = AddCarry(0, l1, h0, t[1]);
    c = AddCarry(c, l2, h1, t[2]);
    c = AddCarry(c, l3, h2, t[3]);
    t[4] = h3 + c;
  }
#pragma GCC unroll 3
  for (int i = 1; i < 4; ++i) {
    const uint64_t bi = b[i];
    uint64_t r0, r1, r2, r3, r4;
    r0 = MulWide(a0, bi, h0);
    const uint64_t l1 = MulWide(a1, bi, h1);
    const uint64_t l2 = MulWide(a2, bi, h2);
    const uint64_t l3 = MulWide(a3, bi, h3);
    unsigned char c = AddCarry(0, l1, h0, r1);
    c = AddCarry(c, l2, h1, r2);
    c = AddCarry(c, l3, h2, r3);
    r4 = h3 + c;
    c = AddCarry(0, t[i], r0, t[i]);
    c = AddCarry(c, t[i + 1], r1, t[i + 1]);
    c = AddCarry(c, t[i + 2], r2, t[i + 2]);
    c = AddCarry(c, t[i + 3], r3, t[i + 3]);
    t[i + 4] = r4 + c;
  }
}

// Square4: the six cross products once, doubled, plus the four squares.
[[gnu::always_inline]] inline void Square4(uint64_t t[8], const uint64_t* a) {
  const uint64_t a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3];
  uint64_t h01, h02, h03, h12, h13, h23;
  const uint64_t l01 = MulWide(a0, a1, h01);
  const uint64_t l02 = MulWide(a0, a2, h02);
  const uint64_t l03 = MulWide(a0, a3, h03);
  const uint64_t l12 = MulWide(a1, a2, h12);
  const uint64_t l13 = MulWide(a1, a3, h13);
  const uint64_t l23 = MulWide(a2, a3, h23);
  // Cross sum at limbs 1..6.
  uint64_t x1 = l01, x2, x3, x4, x5, x6;
  unsigned char c = AddCarry(0, h01, l02, x2);
  c = AddCarry(c, h02, l03, x3);
  c = AddCarry(c, h03, 0, x4);
  x5 = c;  // no further carry: h03 + carry fits
  c = AddCarry(0, x3, l12, x3);
  c = AddCarry(c, x4, h12, x4);
  c = AddCarry(c, x5, 0, x5);
  c = AddCarry(0, x4, l13, x4);
  c = AddCarry(c, x5, h13, x5);
  x6 = c;
  c = AddCarry(0, x5, l23, x5);
  c = AddCarry(c, x6, h23, x6);
  const uint64_t x7 = x6 >> 63;
  x6 = (x6 << 1) | (x5 >> 63);
  x5 = (x5 << 1) | (x4 >> 63);
  x4 = (x4 << 1) | (x3 >> 63);
  x3 = (x3 << 1) | (x2 >> 63);
  x2 = (x2 << 1) | (x1 >> 63);
  x1 <<= 1;
  uint64_t s0h, s1h, s2h, s3h;
  t[0] = MulWide(a0, a0, s0h);
  const uint64_t s1 = MulWide(a1, a1, s1h);
  const uint64_t s2 = MulWide(a2, a2, s2h);
  const uint64_t s3 = MulWide(a3, a3, s3h);
  c = AddCarry(0, x1, s0h, t[1]);
  c = AddCarry(c, x2, s1, t[2]);
  c = AddCarry(c, x3, s1h, t[3]);
  c = AddCarry(c, x4, s2, t[4]);
  c = AddCarry(c, x5, s2h, t[5]);
  c = AddCarry(c, x6, s3, t[6]);
  c = AddCarry(c, x7, s3h, t[7]);
}

// The rows of MulAdx: P256_ROW adds a times one limb of b to the five-limb accumulator L0..L4 with its
// new top limb L5; P256_REDUCE adds q p for q = L0 (see Reduce256), which clears L0.
#define P256_REDUCE(L0, L1, L2, L3, L4, L5)  \
  "movq %[" #L0 "], %%rdx\n\t"               \
  "movq %[" #L0 "], %[lo]\n\t"               \
  "shlq $32, %[lo]\n\t"                      \
  "movq %[" #L0 "], %[hi]\n\t"               \
  "shrq $32, %[hi]\n\t"                      \
  "addq %[lo], %[" #L1 "]\n\t"               \
  "adcq %[hi], %[" #L2 "]\n\t"               \
  "mulxq %[p3], %[lo], %[hi]\n\t"            \
  "adcq %[lo], %[" #L3 "]\n\t"               \
  "adcq %[hi], %[" #L4 "]\n\t"               \
  "adcq $0, %[" #L5 "]\n\t"
#define P256_ROW(OFF, L0, L1, L2, L3, L4, L5) \
  "movq " #OFF "(%[b]), %%rdx\n\t"            \
  "xorl %k[" #L5 "], %k[" #L5 "]\n\t"         \
  "mulxq (%[a]), %[lo], %[hi]\n\t"            \
  "adcxq %[lo], %[" #L0 "]\n\t"               \
  "adoxq %[hi], %[" #L1 "]\n\t"               \
  "mulxq 8(%[a]), %[lo], %[hi]\n\t"           \
  "adcxq %[lo], %[" #L1 "]\n\t"               \
  "adoxq %[hi], %[" #L2 "]\n\t"               \
  "mulxq 16(%[a]), %[lo], %[hi]\n\t"          \
  "adcxq %[lo], %[" #L2 "]\n\t"               \
  "adoxq %[hi], %[" #L3 "]\n\t"               \
  "mulxq 24(%[a]), %[lo], %[hi]\n\t"          \
  "adcxq %[lo], %[" #L3 "]\n\t"               \
  "adoxq %[hi], %[" #L4 "]\n\t"               \
  "adcxq %[" #L5 "], %[" #L4 "]\n\t"          \
  "adoxq %[" #L5 "], %[" #L5 "]\n\t"          \
  "adcq $0, %[" #L5 "]\n\t"

// P256_FIRST_ROW: l0..l4 = a b[0], l5 = 0 with CF and OF clear, the start of both Montgomery products.
#define P256_FIRST_ROW                          \
  "movq (%[b]), %%rdx\n\t"                      \
  "mulxq (%[a]), %[l0], %[l1]\n\t"              \
  "mulxq 8(%[a]), %[lo], %[l2]\n\t"             \
  "addq %[lo], %[l1]\n\t"                       \
  "mulxq 16(%[a]), %[lo], %[l3]\n\t"            \
  "adcq %[lo], %[l2]\n\t"                       \
  "mulxq 24(%[a]), %[lo], %[l4]\n\t"            \
  "adcq %[lo], %[l3]\n\t"                       \
  "adcq $0, %[l4]\n\t"                          \
  "xorl %k[l5], %k[l5]\n\t"

// MulAdx: a b R^-1 modulo p with mulx and the two carry chains of adcx and adox, one product row
// followed by one reduction step at a time; the final subtraction of p is chosen by cmov. Needs BMI2
// and ADX; out may alias the inputs (it is written last).
inline void MulAdx(uint64_t* out, const uint64_t* a, const uint64_t* b) {
  uint64_t l0, l1, l2, l3, l4, l5, lo, hi;
  __asm__ volatile(
      P256_FIRST_ROW
      P256_REDUCE(l0, l1, l2, l3, l4, l5)
      P256_ROW(8, l1, l2, l3, l4, l5, l0)
      P256_REDUCE(l1, l2, l3, l4, l5, l0)
      P256_ROW(16, l2, l3, l4, l5, l0, l1)
      P256_REDUCE(l2, l3, l4, l5, l0, l1)
      P256_ROW(24, l3, l4, l5, l0, l1, l2)
      P256_REDUCE(l3, l4, l5, l0, l1, l2)
      "movq %[l4], %[lo]\n\t"
      "subq $-1, %[lo]\n\t"
      "movq %[l5], %[hi]\n\t"
      "sbbq %[p1], %[hi]\n\t"
      "movq %[l0], %%rdx\n\t"
      "sbbq $0, %%rdx\n\t"
      "movq %[l1], %[l3]\n\t"
      "sbbq %[p3], %[l3]\n\t"
      "sbbq $0, %[l2]\n\t"
      "cmovncq %[lo], %[l4]\n\t"
      "cmovncq %[hi], %[l5]\n\t"
      "cmovncq %%rdx, %[l0]\n\t"
      "cmovncq %[l3], %[l1]\n\t"
      "movq %[l4], (%[out])\n\t"
      "movq %[l5], 8(%[out])\n\t"
      "movq %[l0], 16(%[out])\n\t"
      "movq %[l1], 24(%[out])\n\t"
      : [l0] "=&r"(l0), [l1] "=&r"(l1), [l2] "=&r"(l2), [l3] "=&r"(l3), [l4] "=&r"(l4), [l5] "=&r"(l5),
        [lo] "=&r"(lo), [hi] "=&r"(hi)
      : [a] "r"(a), [b] "r"(b), [out] "r"(out), [p1] "m"(kP256[1]), [p3] "m"(kP256[3])
      : "rdx", "cc", "memory");
}

// SqrAdx: a^2 R^-1 modulo p as MulAdx, from the six cross products doubled plus the four squares, then
// four reduction steps over the 512-bit square.
#define P256_REDUCE_STEP(T0, T1, T2, T3, T4) \
  "movq %[" #T0 "], %%rdx\n\t"                \
  "movq %[" #T0 "], %[lo]\n\t"                \
  "shlq $32, %[lo]\n\t"                       \
  "movq %[" #T0 "], %[hi]\n\t"                \
  "shrq $32, %[hi]\n\t"                       \
  "addq %[lo], %[" #T1 "]\n\t"                \
  "adcq %[hi], %[" #T2 "]\n\t"                \
  "mulxq %[p3], %[lo], %[hi]\n\t"             \
  "adcq %[lo], %[" #T3 "]\n\t"                \
  "adcq %[hi], %[" #T4 "]\n\t"

inline void SqrAdx(uint64_t* out, const uint64_t* a) {
  uint64_t t0, t1, t2, t3, t4, t5, t6, t7, lo, hi;
  __asm__ volatile(
      // The cross products a_i a_j (i < j) into t1..t6.
      "movq (%[a]), %%rdx\n\t"
      "mulxq 8(%[a]), %[t1], %[t2]\n\t"
      "mulxq 16(%[a]), %[lo], %[t3]\n\t"
      "addq %[lo], %[t2]\n\t"
      "mulxq 24(%[a]), %[lo], %[t4]\n\t"
      "adcq %[lo], %[t3]\n\t"
      "movq 8(%[a]), %%rdx\n\t"
      "mulxq 24(%[a]), %[lo], %[t5]\n\t"
      "adcq %[lo], %[t4]\n\t"
      "adcq $0, %[t5]\n\t"
      "movq 16(%[a]), %%rdx\n\t"
      "mulxq 24(%[a]), %[lo], %[t6]\n\t"
      "addq %[lo], %[t5]\n\t"
      "adcq $0, %[t6]\n\t"
      "movq 8(%[a]), %%rdx\n\t"
      "mulxq 16(%[a]), %[lo], %[hi]\n\t"
      "addq %[lo], %[t3]\n\t"
      "adcq %[hi], %[t4]\n\t"
      "adcq $0, %[t5]\n\t"
      "adcq $0, %[t6]\n\t"
      // Doubled into t1..t7, then the squares a_i^2 added.
      "movl $0, %k[t7]\n\t"
      "addq %[t1], %[t1]\n\t"
      "adcq %[t2], %[t2]\n\t"
      "adcq %[t3], %[t3]\n\t"
      "adcq %[t4], %[t4]\n\t"
      "adcq %[t5], %[t5]\n\t"
      "adcq %[t6], %[t6]\n\t"
      "adcq $0, %[t7]\n\t"
      "movq (%[a]), %%rdx\n\t"
      "mulxq %%rdx, %[t0], %[hi]\n\t"
      "addq %[hi], %[t1]\n\t"
      "movq 8(%[a]), %%rdx\n\t"
      "mulxq %%rdx, %[lo], %[hi]\n\t"
      "adcq %[lo], %[t2]\n\t"
      "adcq %[hi], %[t3]\n\t"
      "movq 16(%[a]), %%rdx\n\t"
      "mulxq %%rdx, %[lo], %[hi]\n\t"
      "adcq %[lo], %[t4]\n\t"
      "adcq %[hi], %[t5]\n\t"
      "movq 24(%[a]), %%rdx\n\t"
      "mulxq %%rdx, %[lo], %[hi]\n\t"
      "adcq %[lo], %[t6]\n\t"
      "adcq %[hi], %[t7]\n\t"
      // Four reduction steps; each carry runs to the top, and t0, cleared by the first step, collects
      // what leaves t7.
      P256_REDUCE_STEP(t0, t1, t2, t3, t4)
      "movl $0, %k[t0]\n\t"
      "adcq $0, %[t5]\n\t"
      "adcq $0, %[t6]\n\t"
      "adcq $0, %[t7]\n\t"
      "adcq $0, %[t0]\n\t"
      P256_REDUCE_STEP(t1, t2, t3, t4, t5)
      "adcq $0, %[t6]\n\t"
      "adcq $0, %[t7]\n\t"
      "adcq $0, %[t0]\n\t"
      P256_REDUCE_STEP(t2, t3, t4, t5, t6)
      "adcq $0, %[t7]\n\t"
      "adcq $0, %[t0]\n\t"
      P256_REDUCE_STEP(t3, t4, t5, t6, t7)
      "adcq $0, %[t0]\n\t"
      // t4..t7 with the top bit in t0 is below 2p: subtract p unless that borrows.
      "movq %[t4], %[lo]\n\t"
      "subq $-1, %[lo]\n\t"
      "movq %[t5], %[hi]\n\t"
      "sbbq %[p1], %[hi]\n\t"
      "movq %[t6], %%rdx\n\t"
      "sbbq $0, %%rdx\n\t"
      "movq %[t7], %[t1]\n\t"
      "sbbq %[p3], %[t1]\n\t"
      "sbbq $0, %[t0]\n\t"
      "cmovncq %[lo], %[t4]\n\t"
      "cmovncq %[hi], %[t5]\n\t"
      "cmovncq %%rdx, %[t6]\n\t"
      "cmovncq %[t1], %[t7]\n\t"
      "movq %[t4], (%[out])\n\t"
      "movq %[t5], 8(%[out])\n\t"
      "movq %[t6], 16(%[out])\n\t"
      "movq %[t7], 24(%[out])\n\t"
      : [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&r"(t3), [t4] "=&r"(t4), [t5] "=&r"(t5),
        [t6] "=&r"(t6), [t7] "=&r"(t7), [lo] "=&r"(lo), [hi] "=&r"(hi)
      : [a] "r"(a), [out] "r"(out), [p1] "m"(kP256[1]), [p3] "m"(kP256[3])
      : "rdx", "cc", "memory");
}

#undef P256_REDUCE_STEP

// MontMul4Adx: a b R^-1 modulo any odd 4-limb m (m_inv = -m^-1 mod 2^64), as MulAdx with the general
// reduction step q = L0 m_inv, q m added on the two carry chains.
#define MONT4_REDUCE(L0, L1, L2, L3, L4, L5)  \
  "movq %[" #L0 "], %%rdx\n\t"                \
  "imulq %[m_inv], %%rdx\n\t"                 \
  "xorl %k[lo], %k[lo]\n\t"                   \
  "mulxq (%[m]), %[lo], %[hi]\n\t"            \
  "adcxq %[lo], %[" #L0 "]\n\t"               \
  "adoxq %[hi], %[" #L1 "]\n\t"               \
  "mulxq 8(%[m]), %[lo], %[hi]\n\t"           \
  "adcxq %[lo], %[" #L1 "]\n\t"               \
  "adoxq %[hi], %[" #L2 "]\n\t"               \
  "mulxq 16(%[m]), %[lo], %[hi]\n\t"          \
  "adcxq %[lo], %[" #L2 "]\n\t"               \
  "adoxq %[hi], %[" #L3 "]\n\t"               \
  "mulxq 24(%[m]), %[lo], %[hi]\n\t"          \
  "adcxq %[lo], %[" #L3 "]\n\t"               \
  "adoxq %[hi], %[" #L4 "]\n\t"               \
  "movl $0, %k[lo]\n\t"                       \
  "adcxq %[lo], %[" #L4 "]\n\t"               \
  "adoxq %[lo], %[" #L5 "]\n\t"               \
  "adcxq %[lo], %[" #L5 "]\n\t"

inline void MontMul4Adx(uint64_t* out, const uint64_t* a, const uint64_t* b, const uint64_t* m, uint64_t m_inv) {
  uint64_t l0, l1, l2, l3, l4, l5, lo, hi;
  __asm__ volatile(
      P256_FIRST_ROW
      MONT4_REDUCE(l0, l1, l2, l3, l4, l5)
      P256_ROW(8, l1, l2, l3, l4, l5, l0)
      MONT4_REDUCE(l1, l2, l3, l4, l5, l0)
      P256_ROW(16, l2, l3, l4, l5, l0, l1)
      MONT4_REDUCE(l2, l3, l4, l5, l0, l1)
      P256_ROW(24, l3, l4, l5, l0, l1, l2)
      MONT4_REDUCE(l3, l4, l5, l0, l1, l2)
      "movq %[l4], %[lo]\n\t"
      "subq (%[m]), %[lo]\n\t"
      "movq %[l5], %[hi]\n\t"
      "sbbq 8(%[m]), %[hi]\n\t"
      "movq %[l0], %%rdx\n\t"
      "sbbq 16(%[m]), %%rdx\n\t"
      "movq %[l1], %[l3]\n\t"
      "sbbq 24(%[m]), %[l3]\n\t"
      "sbbq $0, %[l2]\n\t"
      "cmovncq %[lo], %[l4]\n\t"
      "cmovncq %[hi], %[l5]\n\t"
      "cmovncq %%rdx, %[l0]\n\t"
      "cmovncq %[l3], %[l1]\n\t"
      "movq %[l4], (%[out])\n\t"
      "movq %[l5], 8(%[out])\n\t"
      "movq %[l0], 16(%[out])\n\t"
      "movq %[l1], 24(%[out])\n\t"
      : [l0] "=&r"(l0), [l1] "=&r"(l1), [l2] "=&r"(l2), [l3] "=&r"(l3), [l4] "=&r"(l4), [l5] "=&r"(l5),
        [lo] "=&r"(lo), [hi] "=&r"(hi)
      : [a] "r"(a), [b] "r"(b), [out] "r"(out), [m] "r"(m), [m_inv] "m"(m_inv)
      : "rdx", "cc", "memory");
}

#undef MONT4_REDUCE
#undef P256_ROW
#undef P256_REDUCE
#undef P256_FIRST_ROW

inline bool CpuHasMulxAdx() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  return (b & (1u << 8)) != 0 && (b & (1u << 19)) != 0;  // BMI2 and ADX
}

// kUseAdx: the processor runs MulAdx and MontMul4Adx; asked once at start-up.
inline const bool kUseAdx = CpuHasMulxAdx();

// MulPortable / SqrPortable: the same products in C, for processors without BMI2 and ADX.
inline void MulPortable(uint64_t* out, const uint64_t* a, const uint64_t* b) {
  uint64_t t[8];
  Product4(t, a, b);
  Reduce256(out, t);
}

inline void SqrPortable(uint64_t* out, const uint64_t* a) {
  uint64_t t[8];
  Square4(t, a);
  Reduce256(out, t);
}

// Mul / Sqr: a b R^-1 and a^2 R^-1 modulo p; out may alias the inputs.
inline void Mul(uint64_t* out, const uint64_t* a, const uint64_t* b) {
  if (kUseAdx) {
    MulAdx(out, a, b);
  } else {
    MulPortable(out, a, b);
  }
}

inline void Sqr(uint64_t* out, const uint64_t* a) {
  if (kUseAdx) {
    SqrAdx(out, a);
  } else {
    SqrPortable(out, a);
  }
}

// Add / Sub modulo p on carry chains, the correction by mask.
inline void Add(uint64_t* out, const uint64_t* a, const uint64_t* b) {
  uint64_t s[4], d[4];
  unsigned char c = 0;
#pragma GCC unroll 4
  for (int j = 0; j < 4; ++j) c = AddCarry(c, a[j], b[j], s[j]);
  unsigned char borrow = 0;
#pragma GCC unroll 4
  for (int j = 0; j < 4; ++j) {
    unsigned long long diff;
    borrow = _subborrow_u64(borrow, s[j], kP256[j], &diff);
    d[j] = diff;
  }
  const uint64_t keep_s = 0 - static_cast<uint64_t>(c < borrow);
#pragma GCC unroll 4
  for (int j = 0; j < 4; ++j) out[j] = (s[j] & keep_s) | (d[j] & ~keep_s);
}

inline void Sub(uint64_t* out, const uint64_t* a, const uint64_t* b) {
  uint64_t d[4];
  unsigned char borrow = 0;
#pragma GCC unroll 4
  for (int j = 0; j < 4; ++j) {
    unsigned long long diff;
    borrow = _subborrow_u64(borrow, a[j], b[j], &diff);
    d[j] = diff;
  }
  const uint64_t mask = 0 - static_cast<uint64_t>(borrow);
  unsigned char c = 0;
#pragma GCC unroll 4
  for (int j = 0; j < 4; ++j) c = AddCarry(c, d[j], kP256[j] & mask, out[j]);
}

// SqrN: a squared n times in place.
inline void SqrN(uint64_t* a, int n) {
  for (int i = 0; i < n; ++i) Sqr(a, a);
}

// Inverse: a^(p - 2) (the inverse; 0 for 0) by a fixed chain of 255 squarings and 12 multiplications.
// p - 2 is, from the top, 32 ones, 31 zeros, a one, 96 zeros, 94 ones, a zero and a one; x_k below is
// a^(2^k - 1).
inline void Inverse(uint64_t* out, const uint64_t* a) {
  uint64_t x2[4], x3[4], x6[4], x12[4], x15[4], x30[4], x32[4], t[4];
  Sqr(x2, a);
  Mul(x2, x2, a);
  Sqr(x3, x2);
  Mul(x3, x3, a);
  for (int j = 0; j < 4; ++j) x6[j] = x3[j];
  SqrN(x6, 3);
  Mul(x6, x6, x3);
  for (int j = 0; j < 4; ++j) x12[j] = x6[j];
  SqrN(x12, 6);
  Mul(x12, x12, x6);
  for (int j = 0; j < 4; ++j) x15[j] = x12[j];
  SqrN(x15, 3);
  Mul(x15, x15, x3);
  for (int j = 0; j < 4; ++j) x30[j] = x15[j];
  SqrN(x30, 15);
  Mul(x30, x30, x15);
  for (int j = 0; j < 4; ++j) x32[j] = x30[j];
  SqrN(x32, 2);
  Mul(x32, x32, x2);
  for (int j = 0; j < 4; ++j) t[j] = x32[j];
  SqrN(t, 32);
  Mul(t, t, a);  // 32 ones, 31 zeros, a one
  SqrN(t, 128);
  Mul(t, t, x32);  // then 96 zeros and 32 ones
  SqrN(t, 32);
  Mul(t, t, x32);
  SqrN(t, 30);
  Mul(t, t, x30);
  SqrN(t, 2);
  Mul(out, t, a);  // the final zero and one
}

}  // namespace velmora::crypto::ec::p256
