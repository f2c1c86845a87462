// Modular exponentiation by an odd modulus in Montgomery form.
//
// The exponent may be a private key, so every exponent other than the public 65537 is processed with
// a fixed window: the same squarings and multiplications for every exponent of a given bit length, the
// table entry read by a masked scan of the whole table, and the Montgomery product's final
// subtraction done by a mask. The arithmetic runs on 64-bit limbs, least significant first: on mulx
// with the adcx/adox carry chains where the processor has BMI2 and ADX (chosen at run time), else on
// portable code.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "crypto/bn/montgomery.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define VELMORA_HAVE_ADX_CODE 1
#else
#define VELMORA_HAVE_ADX_CODE 0
#endif

#include "core/numbers.h"
#include "crypto/bn/big_int.h"
#include "crypto/bn/big_nat.h"
#include "crypto/bn/words.h"

namespace velmora::crypto {

namespace {

using Limb = uint64_t;
using Wide = unsigned __int128;

// LimbInverse returns x^-1 mod 2^64 for an odd x by Newton steps.
Limb LimbInverse(Limb x) {
  Limb y = x;  // correct to 3 bits
  for (int i = 0; i < 5; ++i) y *= 2 - x * y;
  return y;
}

std::atomic<bool> g_force_portable{false};

#if VELMORA_HAVE_ADX_CODE
bool CpuHasMulxAdx() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  return (b & (1u << 8)) != 0 && (b & (1u << 19)) != 0;  // BMI2 and ADX
}
#else
bool CpuHasMulxAdx() { return false; }
#endif

bool UseMulx() {
  static const bool available = CpuHasMulxAdx();
  return available && !g_force_portable.load(std::memory_order_relaxed);
}

// FinalSubtract: v (n limbs below `top`) is below 2m; out = v - m unless that borrows, by a mask.
void FinalSubtract(Limb* out, const Limb* v, Limb top, const Limb* m, int32_t n) {
  Limb borrow = 0;
  for (int32_t j = 0; j < n; ++j) {
    const Wide d = static_cast<Wide>(v[j]) - m[j] - borrow;
    out[j] = static_cast<Limb>(d);
    borrow = static_cast<Limb>(d >> 64) & 1;
  }
  const Limb keep_v = 0 - static_cast<Limb>(borrow > top);  // all ones: v was below m
  for (int32_t j = 0; j < n; ++j) out[j] = (out[j] & ~keep_v) | (v[j] & keep_v);
}

// DoubleAndAddSquares turns the cross products of a (2 n limbs in t) into the full square of a.
void DoubleAndAddSquares(Limb* t, const Limb* a, int32_t n) {
  Limb top = 0;
  for (int32_t k = 0; k < 2 * n; ++k) {
    const Limb w = t[k];
    t[k] = (w << 1) | top;
    top = w >> 63;
  }
  Limb carry = 0;
  for (int32_t i = 0; i < n; ++i) {
    const Wide sq = static_cast<Wide>(a[i]) * a[i];
    Wide s = static_cast<Wide>(t[2 * i]) + static_cast<Limb>(sq) + carry;
    t[2 * i] = static_cast<Limb>(s);
    s = static_cast<Wide>(t[2 * i + 1]) + static_cast<Limb>(sq >> 64) + static_cast<Limb>(s >> 64);
    t[2 * i + 1] = static_cast<Limb>(s);
    carry = static_cast<Limb>(s >> 64);
  }
}

#if VELMORA_HAVE_ADX_CODE
#define VELMORA_ADX_TARGET __attribute__((target("bmi2,adx")))

// The rows are written in assembly: each keeps two carry chains in flight, the low halves of the
// products taking the previous high halves on CF (adcx) while the sums go into t on OF (adox). The
// compiler turns _addcarryx_u64 into adc on CF alone and parks each carry in a register between the
// two chains, which costs about half the speed. Every branch below depends only on the length.

// VELMORA_MULX_PAIR multiplies the limbs at byte offsets A and B of a by b (in rdx) and adds them into t
// at the same offsets, the product halves on CF and the sums on OF.
#define VELMORA_MULX_PAIR(A, B)                     \
  "mulxq " #A "(%[a]), %%r8, %%r9\n\t"              \
  "adcxq %[high], %%r8\n\t"                         \
  "adoxq " #A "(%[t]), %%r8\n\t"                    \
  "movq %%r8, " #A "(%[t])\n\t"                     \
  "mulxq " #B "(%[a]), %%r10, %[high]\n\t"          \
  "adcxq %%r9, %%r10\n\t"                           \
  "adoxq " #B "(%[t]), %%r10\n\t"                   \
  "movq %%r10, " #B "(%[t])\n\t"

// MulAddRow adds a (length limbs) times b, plus carry_in, into t[0 .. length) and returns the carry
// word (the total stays below 2^(64 (length + 1)), so it fits): single limbs, then a block of four,
// then blocks of eight. The loops count rcx up to zero with lea and jrcxz, which leave the flags alone.
inline Limb MulAddRow(Limb* t, const Limb* a, Limb b, Limb carry_in, int32_t length) {
  Limb high = carry_in;
  const int64_t singles = -static_cast<int64_t>(length & 3);
  const int64_t quad = (length >> 2) & 1;
  const int64_t blocks = -static_cast<int64_t>(length >> 3);
  int64_t counter = 0;
  asm volatile(
      "xorl %%r8d, %%r8d\n\t"  // clears CF and OF
      "movq %[singles], %%rcx\n"
      "1:\n\t"
      "jrcxz 2f\n\t"
      "mulxq (%[a]), %%r8, %%r9\n\t"
      "adcxq %[high], %%r8\n\t"
      "adoxq (%[t]), %%r8\n\t"
      "movq %%r8, (%[t])\n\t"
      "movq %%r9, %[high]\n\t"
      "leaq 8(%[a]), %[a]\n\t"
      "leaq 8(%[t]), %[t]\n\t"
      "leaq 1(%%rcx), %%rcx\n\t"
      "jmp 1b\n"
      "2:\n\t"
      "movq %[quad], %%rcx\n\t"  // one block of four when length & 4
      "jrcxz 3f\n\t"
      VELMORA_MULX_PAIR(0, 8)
      VELMORA_MULX_PAIR(16, 24)
      "leaq 32(%[a]), %[a]\n\t"
      "leaq 32(%[t]), %[t]\n"
      "3:\n\t"
      "movq %[blocks], %%rcx\n\t"
      "jmp 6f\n"  // the test sits at the bottom: jrcxz reaches only 127 bytes
      "5:\n\t"
      VELMORA_MULX_PAIR(0, 8)
      VELMORA_MULX_PAIR(16, 24)
      VELMORA_MULX_PAIR(32, 40)
      VELMORA_MULX_PAIR(48, 56)
      "leaq 64(%[a]), %[a]\n\t"
      "leaq 64(%[t]), %[t]\n\t"
      "leaq 1(%%rcx), %%rcx\n"
      "6:\n\t"
      "jrcxz 4f\n\t"
      "jmp 5b\n"
      "4:\n\t"
      "movl $0, %%r8d\n\t"
      "adcxq %%r8, %[high]\n\t"
      "adoxq %%r8, %[high]\n\t"
      : [high] "+&r"(high), [a] "+&r"(a), [t] "+&r"(t), "=&c"(counter)
      : [singles] "rm"(singles), [quad] "rm"(quad), [blocks] "rm"(blocks), "d"(b)
      : "r8", "r9", "r10", "cc", "memory");
  return high;
}

// DoubleAndAddSquaresAdx is DoubleAndAddSquares in one pass: t doubles on the OF chain (adox of a limb
// to itself) while the squares go in on the CF chain.
inline void DoubleAndAddSquaresAdx(Limb* t, const Limb* a, int32_t n) {
  int64_t counter = -static_cast<int64_t>(n);
  asm volatile(
      "xorl %%r8d, %%r8d\n\t"  // clears CF and OF
      "1:\n\t"
      "jrcxz 2f\n\t"
      "movq (%[a]), %%rdx\n\t"
      "mulxq %%rdx, %%r8, %%r9\n\t"
      "movq (%[t]), %%r10\n\t"
      "adoxq %%r10, %%r10\n\t"
      "movq 8(%[t]), %%r11\n\t"
      "adoxq %%r11, %%r11\n\t"
      "adcxq %%r8, %%r10\n\t"
      "adcxq %%r9, %%r11\n\t"
      "movq %%r10, (%[t])\n\t"
      "movq %%r11, 8(%[t])\n\t"
      "leaq 8(%[a]), %[a]\n\t"
      "leaq 16(%[t]), %[t]\n\t"
      "leaq 1(%%rcx), %%rcx\n\t"
      "jmp 1b\n"
      "2:\n\t"
      : [a] "+&r"(a), [t] "+&r"(t), "+c"(counter)
      :
      : "rdx", "r8", "r9", "r10", "r11", "cc", "memory");
}

// ReduceAdx: t (2 n limbs) * 2^(-64 n) mod m into out, one row of q m per limb.
VELMORA_ADX_TARGET void ReduceAdx(Limb* out, Limb* t, const Limb* m, Limb m_prime, int32_t n) {
  unsigned char high = 0;
  for (int32_t i = 0; i < n; ++i) {
    const Limb c = MulAddRow(t + i, m, t[i] * m_prime, 0, n);
    unsigned long long sum = 0;
    high = _addcarryx_u64(high, t[i + n], c, &sum);
    t[i + n] = sum;
  }
  FinalSubtract(out, t + n, high, m, n);
}

// MultiplyAdx: out = a b 2^(-64 n) mod m, the product row by row, then the reduction. out may be a or b.
VELMORA_ADX_TARGET void MultiplyAdx(Limb* out, const Limb* a, const Limb* b, const Limb* m, Limb m_prime, int32_t n,
                                    Limb* t) {
  std::memset(t, 0, static_cast<size_t>(2 * n) * sizeof(Limb));
  for (int32_t i = 0; i < n; ++i) t[i + n] = MulAddRow(t + i, a, b[i], 0, n);
  ReduceAdx(out, t, m, m_prime, n);
}

// SquareAdx: out = a a 2^(-64 n) mod m, each cross product once: the row of limb i runs over the
// limbs above it. out may be a.
VELMORA_ADX_TARGET void SquareAdx(Limb* out, const Limb* a, const Limb* m, Limb m_prime, int32_t n, Limb* t) {
  std::memset(t, 0, static_cast<size_t>(2 * n) * sizeof(Limb));
  for (int32_t i = 0; i + 1 < n; ++i) t[i + n] = MulAddRow(t + 2 * i + 1, a + i + 1, a[i], 0, n - 1 - i);
  DoubleAndAddSquaresAdx(t, a, n);
  ReduceAdx(out, t, m, m_prime, n);
}
#endif

// Montgomery holds the modulus and the scratch of one exponentiation.
struct Montgomery {
  int32_t n = 0;  // limbs
  const Limb* m = nullptr;
  Limb m_prime = 0;  // -m^-1 mod 2^64
  Limb* t = nullptr;  // 2 n + 2 limbs
  // mulx/adx where the processor has them.
  bool adx = UseMulx();

  void Multiply(Limb* out, const Limb* a, const Limb* b) const {
#if VELMORA_HAVE_ADX_CODE
    if (adx) return MultiplyAdx(out, a, b, m, m_prime, n, t);
#endif
    MultiplyPortable(out, a, b);
  }

  void Square(Limb* out, const Limb* a) const {
#if VELMORA_HAVE_ADX_CODE
    if (adx) return SquareAdx(out, a, m, m_prime, n, t);
#endif
    SquarePortable(out, a);
  }

  // MultiplyPortable sets out = a * b * 2^(-64 n) mod m for a, b < m (CIOS). out may be a or b.
  void MultiplyPortable(Limb* out, const Limb* a_in, const Limb* b_in) const {
    // No operand aliases the scratch, which lets the compiler keep the loops in registers.
    Limb* __restrict t = this->t;
    const Limb* __restrict m = this->m;
    const Limb* __restrict a = a_in;
    const Limb* __restrict b = b_in;
    std::memset(t, 0, static_cast<size_t>(n + 2) * sizeof(Limb));
    for (int32_t i = 0; i < n; ++i) {
      Limb carry = 0;
      const Limb bi = b[i];
      for (int32_t j = 0; j < n; ++j) {
        const Wide s = static_cast<Wide>(a[j]) * bi + t[j] + carry;
        t[j] = static_cast<Limb>(s);
        carry = static_cast<Limb>(s >> 64);
      }
      Wide s = static_cast<Wide>(t[n]) + carry;
      t[n] = static_cast<Limb>(s);
      t[n + 1] = static_cast<Limb>(s >> 64);
      const Limb q = t[0] * m_prime;
      s = static_cast<Wide>(q) * m[0] + t[0];
      carry = static_cast<Limb>(s >> 64);
      for (int32_t j = 1; j < n; ++j) {
        s = static_cast<Wide>(q) * m[j] + t[j] + carry;
        t[j - 1] = static_cast<Limb>(s);
        carry = static_cast<Limb>(s >> 64);
      }
      s = static_cast<Wide>(t[n]) + carry;
      t[n - 1] = static_cast<Limb>(s);
      t[n] = t[n + 1] + static_cast<Limb>(s >> 64);
    }
    FinalSubtract(out, t, t[n], m, n);
  }

  // SquarePortable sets out = a * a * 2^(-64 n) mod m: the square with each cross product once, then
  // the reduction word by word. out may be a.
  void SquarePortable(Limb* out, const Limb* a_in) const {
    Limb* __restrict t = this->t;
    const Limb* __restrict m = this->m;
    const Limb* __restrict a = a_in;
    std::memset(t, 0, static_cast<size_t>(2 * n + 2) * sizeof(Limb));
    for (int32_t i = 0; i < n; ++i) {
      Limb carry = 0;
      for (int32_t j = i + 1; j < n; ++j) {
        const Wide s = static_cast<Wide>(a[i]) * a[j] + t[i + j] + carry;
        t[i + j] = static_cast<Limb>(s);
        carry = static_cast<Limb>(s >> 64);
      }
      t[i + n] = carry;
    }
    DoubleAndAddSquares(t, a, n);
    Limb high = 0;  // the carry out of limb i + n, at most 1
    for (int32_t i = 0; i < n; ++i) {
      const Limb q = t[i] * m_prime;
      Limb c = 0;
      for (int32_t j = 0; j < n; ++j) {
        const Wide s = static_cast<Wide>(q) * m[j] + t[i + j] + c;
        t[i + j] = static_cast<Limb>(s);
        c = static_cast<Limb>(s >> 64);
      }
      const Wide s = static_cast<Wide>(t[i + n]) + c + high;
      t[i + n] = static_cast<Limb>(s);
      high = static_cast<Limb>(s >> 64);
    }
    FinalSubtract(out, t + n, high, m, n);
  }
};

// Select copies table entry index (of count entries of n limbs) into out, reading every entry.
void SelectPortable(Limb* out, const Limb* table, int32_t count, int32_t n, uint32_t index) {
  std::memset(out, 0, static_cast<size_t>(n) * sizeof(Limb));
  for (int32_t e = 0; e < count; ++e) {
    const Limb mask = 0 - ((static_cast<Limb>(static_cast<uint32_t>(e) ^ index) - 1) >> 63);
    const Limb* entry = table + static_cast<size_t>(e) * n;
    for (int32_t j = 0; j < n; ++j) out[j] |= entry[j] & mask;
  }
}

#if VELMORA_HAVE_ADX_CODE
// SelectAvx2 is Select on 256-bit lanes (n a multiple of 4).
__attribute__((target("avx2"))) void SelectAvx2(Limb* out, const Limb* table, int32_t count, int32_t n, uint32_t index) {
  const __m256i wanted = _mm256_set1_epi64x(index);
  for (int32_t j = 0; j < n; j += 4) {
    __m256i acc = _mm256_setzero_si256();
    for (int32_t e = 0; e < count; ++e) {
      const __m256i mask = _mm256_cmpeq_epi64(_mm256_set1_epi64x(e), wanted);
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table + static_cast<size_t>(e) * n + j));
      acc = _mm256_or_si256(acc, _mm256_and_si256(v, mask));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), acc);
  }
}

bool CpuHasAvx2() {
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
}
#endif

// Select copies table entry index into out: AVX2 alongside the mulx products, else portable.
void Select(Limb* out, const Limb* table, int32_t count, int32_t n, uint32_t index, bool wide) {
#if VELMORA_HAVE_ADX_CODE
  if (wide && n % 4 == 0 && CpuHasAvx2()) return SelectAvx2(out, table, count, n, index);
#else
  (void)wide;
#endif
  SelectPortable(out, table, count, n, index);
}

// ToLimbs writes the low 64 n bits of a non-negative value.
void ToLimbs(const BigInt& a, Limb* out, int32_t n) {
  for (int32_t i = 0; i < n; ++i) out[i] = static_cast<Limb>(a.WordAt(2 * i)) | static_cast<Limb>(a.WordAt(2 * i + 1)) << 32;
}

// WindowBits is the window width for an exponent of the given length: one more than the number of
// the thresholds 7, 25, 81, 241, 673 it exceeds, at most 6 (a 64-entry table).
int32_t WindowBits(int32_t exponent_bits) {
  static constexpr int32_t kThresholds[] = {7, 25, 81, 241, 673};
  int32_t w = 1;
  for (const int32_t threshold : kThresholds) w += exponent_bits > threshold ? 1 : 0;
  return w;
}

// ExponentWindow returns the w bits of e from bit `low` up.
uint32_t ExponentWindow(const BigInt& e, int32_t low, int32_t w) {
  uint32_t bits = 0;
  for (int32_t i = w - 1; i >= 0; --i) bits = (bits << 1) | (e.TestBit(low + i) ? 1u : 0u);
  return bits;
}

// Exponent digits of a sliding window: digit i is the odd window value whose lowest bit is bit i of
// e, or 0. Variable time: only for public exponents.
void SlidingDigits(const BigInt& e, int32_t w, int32_t* digits) {
  int32_t i = e.BitLength() - 1;
  while (i >= 0) {
    if (!e.TestBit(i)) {
      --i;
      continue;
    }
    int32_t low = std::max(i - w + 1, 0);
    while (!e.TestBit(low)) ++low;
    int32_t value = 0;
    for (int32_t k = i; k >= low; --k) value = (value << 1) | (e.TestBit(k) ? 1 : 0);
    digits[low] = value;
    i = low - 1;
  }
}

// ToBigInt converts n limbs into out through the 2 n words of scratch.
int ToBigInt(const Limb* limbs, int32_t n, uint32_t* words, BigInt& out) {
  for (int32_t i = 0; i < n; ++i) {
    words[2 * n - 1 - 2 * i] = static_cast<uint32_t>(limbs[i]);
    words[2 * n - 2 - 2 * i] = static_cast<uint32_t>(limbs[i] >> 32);
  }
  return BigInt::FromSignAndWords(1, words, 2 * n, out);
}

}  // namespace

MontgomeryContext::MontgomeryContext(MontgomeryContext&& other) noexcept { *this = std::move(other); }

MontgomeryContext& MontgomeryContext::operator=(MontgomeryContext&& other) noexcept {
  if (this != &other) {
    Clear();
    modulus_ = std::move(other.modulus_);
    limbs_ = other.limbs_;
    block_ = other.block_;
    m_prime_ = other.m_prime_;
    other.block_ = nullptr;
    other.limbs_ = 0;
    other.m_prime_ = 0;
  }
  return *this;
}

bool MontgomeryContext::Matches(const BigInt& m) const {
  if (limbs_ == 0 || m.Sign() != modulus_.Sign() || m.Count() != modulus_.Count()) return false;
  uint32_t difference = 0;
  for (int32_t i = 0; i < m.Count(); ++i) difference |= m.Words()[i] ^ modulus_.Words()[i];
  return difference == 0;
}

void MontgomeryContext::Clear() {
  bigint::FreeWords(block_, 4 * limbs_);
  block_ = nullptr;
  limbs_ = 0;
  m_prime_ = 0;
  modulus_.Clear();
}

int MontgomeryContext::Set(const BigInt& m) {
  Clear();
  if (!m.IsOdd() || m.IsNegative() || m.BitLength() < 2) return kBigIntBadModulus;
  const int32_t n = (m.BitLength() + 63) / 64;
  BigInt r2;
  int rc = modulus_.Assign(m);
  if (rc == 0) rc = BigInt::ShiftLeft(BigIntOne(), 128 * n, r2);
  if (rc == 0) rc = BigInt::Mod(r2, m, r2);
  uint32_t* block = rc == 0 ? core::AllocZeroedInts(4 * n) : nullptr;
  if (rc == 0 && block == nullptr) rc = kBigIntNoMemory;
  if (rc != 0) {
    modulus_.Clear();
    return rc;
  }
  Limb* limbs = reinterpret_cast<Limb*>(block);
  ToLimbs(m, limbs, n);
  ToLimbs(r2, limbs + n, n);
  block_ = block;
  limbs_ = n;
  m_prime_ = 0 - LimbInverse(limbs[0]);
  return 0;
}

int MontgomeryContext::ModPow(const BigInt& base, const BigInt& e, BigInt& out) const {
  if (limbs_ == 0) return kBigIntBadModulus;
  if (e.IsZero()) return out.Assign(BigIntOne());
  if (e.Sign() > 0 && e.BitLength() == 1) return out.Assign(base);
  if (base.IsZero()) return out.Assign(BigIntZero());
  const int32_t n = limbs_;
  const int32_t ebits = e.BitLength();
  const bool public_exponent = e.Count() == 1 && e.Words()[0] == 0x10001 && e.Sign() > 0;
  const int32_t w = public_exponent ? 1 : WindowBits(ebits);
  const int32_t entries = 1 << w;
  // One block: table, accumulator, selected entry, product scratch, result words.
  const int32_t limbs = n * (entries + 2) + (2 * n + 2);
  const int32_t block_words = 2 * limbs + 2 * n;
  uint32_t* block = core::AllocZeroedInts(block_words);
  if (block == nullptr) return kBigIntNoMemory;
  const Limb* modulus = reinterpret_cast<const Limb*>(block_);
  const Limb* r2 = modulus + n;
  Limb* table = reinterpret_cast<Limb*>(block);
  Limb* acc = table + static_cast<size_t>(entries) * n;
  Limb* entry = acc + n;
  Limb* scratch = entry + n;
  uint32_t* result_words = block + 2 * limbs;

  const Montgomery mont{n, modulus, m_prime_, scratch};
  // Into Montgomery form: x 2^(128 n) 2^(-64 n).
  entry[0] = 1;
  mont.Multiply(table, entry, r2);
  ToLimbs(base, entry, n);
  mont.Multiply(table + n, entry, r2);
  for (int32_t i = 2; i < entries; ++i) mont.Multiply(table + i * n, table + (i - 1) * n, table + n);
  if (public_exponent) {
    // 65537 = 2^16 + 1 is public: sixteen squarings and one product.
    std::memcpy(acc, table + n, static_cast<size_t>(n) * sizeof(Limb));
    for (int32_t i = 0; i < 16; ++i) mont.Square(acc, acc);
    mont.Multiply(acc, acc, table + n);
  } else {
    const int32_t windows = (ebits + w - 1) / w;
    std::memcpy(acc, table, static_cast<size_t>(n) * sizeof(Limb));
    for (int32_t k = windows - 1; k >= 0; --k) {
      if (k != windows - 1) {
        for (int32_t s = 0; s < w; ++s) mont.Square(acc, acc);
      }
      Select(entry, table, entries, n, ExponentWindow(e, k * w, w), mont.adx);
      mont.Multiply(acc, acc, entry);
    }
  }
  // Leave Montgomery form: multiply by 1.
  std::memset(entry, 0, static_cast<size_t>(n) * sizeof(Limb));
  entry[0] = 1;
  mont.Multiply(acc, acc, entry);
  const int rc = ToBigInt(acc, n, result_words, out);
  bigint::FreeWords(block, block_words);
  return rc;
}

int MontgomeryContext::ModPow2Public(const BigInt& a, const BigInt& ea, const BigInt& b, const BigInt& eb,
                                     BigInt& out) const {
  if (limbs_ == 0) return kBigIntBadModulus;
  const int32_t n = limbs_;
  const int32_t bits = std::max(ea.BitLength(), eb.BitLength());
  const int32_t w = bits > 512 ? 5 : 4;
  const int32_t entries = 1 << (w - 1);  // the odd powers x, x^3, ..., x^(2^w - 1)
  // One block: two tables, accumulator, square of the base, product scratch, result words, then the
  // two digit arrays.
  const int32_t limbs = n * (2 * entries + 2) + (2 * n + 2);
  const int32_t block_words = 2 * limbs + 2 * n + 2 * bits;
  uint32_t* block = core::AllocZeroedInts(block_words);
  if (block == nullptr) return kBigIntNoMemory;
  const Limb* modulus = reinterpret_cast<const Limb*>(block_);
  const Limb* r2 = modulus + n;
  Limb* tables = reinterpret_cast<Limb*>(block);
  Limb* acc = tables + static_cast<size_t>(2 * entries) * n;
  Limb* square = acc + n;
  Limb* scratch = square + n;
  uint32_t* result_words = block + 2 * limbs;
  auto* digits = reinterpret_cast<int32_t*>(result_words + 2 * n);

  const Montgomery mont{n, modulus, m_prime_, scratch};
  const BigInt* bases[2] = {&a, &b};
  const BigInt* exponents[2] = {&ea, &eb};
  for (int32_t k = 0; k < 2; ++k) {
    Limb* table = tables + static_cast<size_t>(k * entries) * n;
    ToLimbs(*bases[k], acc, n);
    mont.Multiply(table, acc, r2);
    mont.Square(square, table);
    for (int32_t i = 1; i < entries; ++i) mont.Multiply(table + i * n, table + (i - 1) * n, square);
    SlidingDigits(*exponents[k], w, digits + k * bits);
  }
  bool one = true;  // acc still holds 1
  for (int32_t i = bits - 1; i >= 0; --i) {
    if (!one) mont.Square(acc, acc);
    for (int32_t k = 0; k < 2; ++k) {
      const int32_t digit = digits[k * bits + i];
      if (digit == 0) continue;
      const Limb* power = tables + static_cast<size_t>(k * entries + (digit >> 1)) * n;
      if (one) {
        std::memcpy(acc, power, static_cast<size_t>(n) * sizeof(Limb));
        one = false;
      } else {
        mont.Multiply(acc, acc, power);
      }
    }
  }
  std::memset(square, 0, static_cast<size_t>(n) * sizeof(Limb));
  square[0] = 1;
  if (one) {
    mont.Multiply(acc, square, r2);  // both exponents 0: the Montgomery form of 1
  }
  mont.Multiply(acc, acc, square);
  const int rc = ToBigInt(acc, n, result_words, out);
  bigint::FreeWords(block, block_words);
  return rc;
}

namespace bigint::internal {

void ForcePortableMontgomery(bool portable) { g_force_portable.store(portable, std::memory_order_relaxed); }
bool MontgomeryUsesMulx() { return UseMulx(); }

}  // namespace bigint::internal

int ModPowWithContext(MontgomeryContext& context, const BigInt& base, const BigInt& e, const BigInt& m,
                      BigInt& out) {
  if (!m.IsOdd() || m.IsNegative() || m.BitLength() < 2 || e.IsNegative()) return BigInt::ModPow(base, e, m, out);
  if (!context.Matches(m)) {
    if (const int rc = context.Set(m); rc != 0) return rc;
  }
  BigInt reduced;
  if (const int rc = BigInt::Mod(base, m, reduced); rc != 0) return rc;
  return context.ModPow(reduced, e, out);
}

int BigInt::ModPowOdd(const BigInt& base, const BigInt& e, const BigInt& m, BigInt& out) {
  if (e.Sign() > 0 && e.BitLength() == 1) return out.Assign(base);
  if (base.IsZero()) return out.Assign(BigIntZero());
  MontgomeryContext context;
  if (const int rc = context.Set(m); rc != 0) return rc;
  return context.ModPow(base, e, out);
}

}  // namespace velmora::crypto
