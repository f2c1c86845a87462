// Random values, the Fermat probable-prime test and the prime searches.
#include <algorithm>
#include <cstring>
#include <utility>

#include "core/numbers.h"
#include "crypto/bn/big_int.h"
#include "crypto/bn/prime_sieve.h"
#include "crypto/bn/words.h"
#include "crypto/rand/random.h"

namespace velmora::crypto {

uint32_t ModSmall(const BigInt& a, uint32_t w) {
  uint64_t rem = 0;
  for (int32_t i = 0; i < a.Count(); ++i) rem = ((rem << 32) | a.Words()[i]) % w;
  return static_cast<uint32_t>(rem);
}

// ---- PrimeSieve -------------------------------------------------------------------------------------

const PrimeSieve& PrimeSieve::Instance() {
  static const PrimeSieve sieve;
  return sieve;
}

PrimeSieve::PrimeSieve() {
  bits_[0] = 1;  // the number 1
  for (int32_t i = 1; i >= 0; i = NextClear(bits_, kSize, i + 1)) {
    const int32_t q = 2 * i + 1;
    if (q >= kSize) break;
    MarkMultiples(bits_, kSize, i + q, q);
  }
}

int32_t PrimeSieve::NextClear(const uint64_t* bits, int32_t size, int32_t from) {
  for (int32_t i = std::max(from, 0); i < size; ++i) {
    if (((bits[i / 64] >> (i % 64)) & 1) == 0) return i;
  }
  return -1;
}

void PrimeSieve::MarkMultiples(uint64_t* bits, int32_t size, int32_t start, int32_t step) {
  for (int32_t i = start; i < size; i += step) bits[i / 64] |= uint64_t{1} << (i % 64);
}

// ---- Random values and the Fermat test --------------------------------------------------------------

int BigInt::SetRandom(int32_t n, RandomContext& context) {
  Clear();
  sign_ = 0;
  if (n < 1) return 0;
  const int32_t count = (n + 31) / 32;
  uint32_t* words = core::AllocZeroedInts(count);
  if (words == nullptr) return kBigIntNoMemory;
  RandomBytes(context, words, 4 * count);
  if (n % 32 == 0) {
    words[0] |= 0x80000000u;
  } else {
    words[0] &= (1u << (n % 32)) - 1;
    words[0] |= 1u << (n % 32 - 1);
  }
  return Adopt(words, count, 1);
}

namespace {

int32_t FermatRounds(int32_t bits) {
  if (bits < 100) return 100;
  if (bits < 256) return 43;
  if (bits < 512) return 30;
  if (bits < 768) return 16;
  if (bits < 1024) return 8;
  return 4;
}

}  // namespace

int BigInt::IsProbablePrime(const BigInt& n, int32_t limit, RandomContext* context, bool* prime) {
  *prime = false;
  if (!n.IsOdd() || n.Sign() < 0) return 0;
  const int32_t bits = n.BitLength();
  if (bits <= 2) {
    *prime = bits == 2;  // 3 (1 is not prime)
    return 0;
  }
  RandomContext own;
  RandomContext& source = context != nullptr ? *context : own;
  BigInt n_minus_1, base, power;
  if (const int rc = Subtract(n, BigIntOne(), n_minus_1); rc != 0) return rc;
  const int32_t rounds = std::min(FermatRounds(bits), limit);
  for (int32_t i = 0; i < rounds; ++i) {
    if (const int rc = base.SetRandom(bits - 1, source); rc != 0) return rc;
    if (const int rc = ModPow(base, n_minus_1, n, power); rc != 0) return rc;
    if (power.Sign() <= 0 || power.BitLength() != 1) return 0;
  }
  *prime = true;
  return 0;
}

// ---- Random primes of a given size ------------------------------------------------------------------

namespace {

// CandidateSieve marks the candidates base + 2j + 1 (j below size) that an odd prime below 19200
// divides; base is even.
class CandidateSieve {
 public:
  ~CandidateSieve() { core::FreeIfNotNull(bits_); }

  [[nodiscard]] int Build(const BigInt& base, int32_t size) {
    core::FreeIfNotNull(bits_);
    size_ = size;
    const int32_t limbs = (size - 1) / 64 + 1;
    bits_ = reinterpret_cast<uint64_t*>(core::AllocZeroedInts(2 * limbs));
    if (bits_ == nullptr) return kBigIntNoMemory;
    const PrimeSieve& primes = PrimeSieve::Instance();
    for (int32_t i = primes.NextClear(1); i >= 0; i = primes.NextClear(i + 1)) {
      const uint32_t q = 2 * static_cast<uint32_t>(i) + 1;
      const uint32_t t = q - ModSmall(base, q);
      const uint32_t first = ((t % 2 == 1 ? t : t + q) - 1) / 2;
      PrimeSieve::MarkMultiples(bits_, size_, static_cast<int32_t>(first), static_cast<int32_t>(q));
    }
    return 0;
  }

  // FindPrime sets out to the first unmarked candidate that passes the Fermat test; *found 0 when none.
  [[nodiscard]] int FindPrime(const BigInt& base, int32_t rounds, RandomContext& context, BigInt& out, bool* found) {
    *found = false;
    BigInt offset;
    for (int32_t j = PrimeSieve::NextClear(bits_, size_, 0); j >= 0; j = PrimeSieve::NextClear(bits_, size_, j + 1)) {
      if (const int rc = BigInt::FromInt64(2 * int64_t{j} + 1, offset); rc != 0) return rc;
      if (const int rc = BigInt::Add(base, offset, out); rc != 0) return rc;
      if (const int rc = BigInt::IsProbablePrime(out, rounds, &context, found); rc != 0 || *found) return rc;
    }
    return 0;
  }

 private:
  uint64_t* bits_ = nullptr;
  int32_t size_ = 0;
};

int RandomEvenBase(int32_t n, RandomContext& context, BigInt& base) {
  if (const int rc = base.SetRandom(n, context); rc != 0) return rc;
  if (base.IsOdd()) return BigInt::Subtract(base, BigIntOne(), base);
  return 0;
}

}  // namespace

int BigInt::RandomPrime(int32_t n, int32_t rounds, RandomContext& context, BigInt& out) {
  if (n < 20) return kBigIntBadModulus;
  const int32_t size = (n / 20) * 64;
  BigInt base, candidate, span;
  if (const int rc = RandomEvenBase(n, context, base); rc != 0) return rc;
  if (const int rc = FromInt64(2 * int64_t{size}, span); rc != 0) return rc;
  CandidateSieve sieve;
  for (;;) {
    if (const int rc = sieve.Build(base, size); rc != 0) return rc;
    bool found = false;
    if (const int rc = sieve.FindPrime(base, rounds, context, candidate, &found); rc != 0) return rc;
    if (found && candidate.BitLength() == n) {
      out = std::move(candidate);
      return 0;
    }
    if (const int rc = Add(base, span, base); rc != 0) return rc;
    if (base.BitLength() != n) {
      if (const int rc = RandomEvenBase(n, context, base); rc != 0) return rc;
    }
  }
}

// ---- ProgressionSieve -------------------------------------------------------------------------------

ProgressionSieve::~ProgressionSieve() { core::FreeIfNotNull(flags_); }

void ProgressionSieve::BuildSmallPrimes() {
  small_primes_[0] = 1;
  int32_t found = 1;
  for (uint32_t x = 3; x < 32720 && found < kSmallPrimes; x += 2) {
    bool divisible = false;
    for (int32_t i = 1; i < std::min(found, 54) && !divisible; ++i) divisible = x % small_primes_[i] == 0;
    if (!divisible) small_primes_[found++] = static_cast<uint16_t>(x);
  }
}

int ProgressionSieve::Init(const BigInt& start, const BigInt& bound, const BigInt& step) {
  if (const int rc = start_.Assign(start); rc != 0) return rc;
  if (const int rc = bound_.Assign(bound); rc != 0) return rc;
  if (const int rc = step_.Assign(step); rc != 0) return rc;
  next_ = 0;
  BuildSmallPrimes();
  return SieveWindow();
}

int ProgressionSieve::SieveWindow() {
  if (step_.IsZero()) return 0;
  BigInt span, terms;
  if (const int rc = BigInt::Subtract(bound_, start_, span); rc != 0) return rc;
  if (const int rc = BigInt::Divide(span, step_, terms); rc != 0) return rc;
  window_ = terms.BitLength() >= 16 || terms.IsNegative() ? kMaxWindow
                                                          : std::min(static_cast<int32_t>(terms.WordAt(0)) + 1, kMaxWindow);
  if (terms.IsNegative()) window_ = 0;
  core::FreeIfNotNull(flags_);
  flags_ = reinterpret_cast<uint16_t*>(core::AllocZeroedInts((window_ + 1) / 2));
  if (flags_ == nullptr) {
    window_ = 0;
    return kBigIntNoMemory;
  }
  BigInt prime, inv;
  for (int32_t i = 0; i < kSmallPrimes; ++i) {
    if (const int rc = BigInt::FromInt64(small_primes_[i], prime); rc != 0) return rc;
    if (const int rc = BigInt::ModInverse(step_, prime, inv); rc != 0) return rc;
    StrikeMultiples(small_primes_[i], inv.IsZero() ? 0 : inv.WordAt(0));
  }
  return 0;
}

void ProgressionSieve::StrikeMultiples(uint32_t p, uint32_t inv) {
  if (inv == 0) return;
  const uint32_t r = ModSmall(start_, p);
  uint64_t k = (uint64_t{inv} * (p - r)) % p;
  // A small start may be the prime p itself, which must stay a candidate.
  if (start_.BitLength() < 33) {
    const uint64_t start = static_cast<uint64_t>(start_.WordAt(1)) << 32 | start_.WordAt(0);
    const uint64_t step = static_cast<uint64_t>(step_.WordAt(1)) << 32 | step_.WordAt(0);
    if (step_.BitLength() < 33 && start + k * step == p) k += p;
  }
  for (uint64_t i = k; i < static_cast<uint64_t>(window_); i += p) flags_[i] = 1;
}

int ProgressionSieve::NextCandidate(BigInt& out, int* got) {
  *got = 0;
  BigInt offset, index;
  for (;;) {
    while (next_ < window_ && flags_[next_] != 0) ++next_;
    if (next_ < window_) {
      if (const int rc = BigInt::FromInt64(next_, index); rc != 0) return rc;
      if (const int rc = BigInt::Multiply(index, step_, offset); rc != 0) return rc;
      if (const int rc = BigInt::Add(start_, offset, out); rc != 0) return rc;
      ++next_;
      *got = 1;
      return 0;
    }
    if (window_ == 0 || step_.IsZero()) return 0;
    if (const int rc = BigInt::FromInt64(window_, index); rc != 0) return rc;
    if (const int rc = BigInt::Multiply(index, step_, offset); rc != 0) return rc;
    if (const int rc = BigInt::Add(start_, offset, start_); rc != 0) return rc;
    if (BigInt::Compare(start_, bound_) > 0) return 0;
    next_ = 0;
    if (const int rc = SieveWindow(); rc != 0 && rc != kBigIntNotInvertible) return rc;
  }
}

// ---- Searches in a progression and a range ----------------------------------------------------------

int FindPrimeInProgression(BigInt& p, const BigInt& bound, const BigInt& a, const BigInt& b, int* found) {
  *found = 0;
  BigInt step, first, shift;
  if (b.IsOdd()) {
    // Odd terms only: a + b ((1 - a) mod 2) is the odd term of a's class modulo 2b (b odd).
    if (const int rc = BigInt::ShiftLeft(b, 1, step); rc != 0) return rc;
    if (!a.IsOdd()) {
      if (const int rc = BigInt::Add(a, b, first); rc != 0) return rc;
    } else if (const int rc = first.Assign(a); rc != 0) {
      return rc;
    }
  } else {
    if (const int rc = step.Assign(b); rc != 0) return rc;
    if (const int rc = first.Assign(a); rc != 0) return rc;
  }
  // p moves up to the first term at or above it.
  if (const int rc = BigInt::Subtract(first, p, shift); rc != 0) return rc;
  if (const int rc = BigInt::Mod(shift, step, shift); rc != 0) return rc;
  if (const int rc = BigInt::Add(p, shift, p); rc != 0) return rc;
  if (BigInt::Compare(p, bound) > 0) return 0;
  ProgressionSieve sieve;
  if (const int rc = sieve.Init(p, bound, step); rc != 0 && rc != kBigIntNotInvertible) return rc;
  for (;;) {
    int got = 0;
    if (const int rc = sieve.NextCandidate(p, &got); rc != 0) return rc;
    if (got == 0) return 0;
    bool prime = false;
    if (const int rc = BigInt::IsProbablePrime(p, 5, nullptr, &prime); rc != 0) return rc;
    if (prime) {
      *found = 1;
      return 0;
    }
  }
}

namespace {

// RandomBelowPowerOfTwo draws r uniformly from [0, 2^bits): a value of exactly `bits` bits whose top bit
// is then kept or dropped by one more random bit. Drawing only values of exactly `bits` bits would never
// end for a range such as [2^(n-1), 2^n], where the only such value at most d = 2^(n-1) is d itself.
int RandomBelowPowerOfTwo(int32_t bits, RandomContext& context, BigInt& r) {
  if (const int rc = r.SetRandom(bits, context); rc != 0) return rc;
  if (bits == 0) return 0;
  uint8_t coin = 0;
  RandomBytes(context, &coin, 1);
  if ((coin & 1) == 0) return 0;
  BigInt top;
  if (const int rc = BigInt::ShiftLeft(BigIntOne(), bits - 1, top); rc != 0) return rc;
  return BigInt::Subtract(r, top, r);
}

}  // namespace

int RandomPrimeInRange(const BigInt& low, const BigInt& high, const BigInt& a, const BigInt& b,
                       RandomContext& context, BigInt& out, int* found) {
  *found = 0;
  BigInt d, r, limit, span, width;
  if (const int rc = BigInt::Subtract(high, low, d); rc != 0) return rc;
  if (d.IsNegative()) return 0;
  const int32_t bits = d.BitLength();
  if (const int rc = BigInt::FromInt64(high.BitLength(), width); rc != 0) return rc;
  if (const int rc = BigInt::Multiply(b, width, span); rc != 0) return rc;
  for (int attempt = 0; attempt < 15; ++attempt) {
    do {
      if (const int rc = RandomBelowPowerOfTwo(bits, context, r); rc != 0) return rc;
    } while (BigInt::Compare(r, d) > 0);
    if (const int rc = BigInt::Add(low, r, out); rc != 0) return rc;
    if (const int rc = BigInt::Add(out, span, limit); rc != 0) return rc;
    if (BigInt::Compare(limit, high) > 0) {
      if (const int rc = limit.Assign(high); rc != 0) return rc;
    }
    if (const int rc = FindPrimeInProgression(out, limit, a, b, found); rc != 0 || *found) return rc;
  }
  // Last, the whole range from low.
  if (const int rc = out.Assign(low); rc != 0) return rc;
  return FindPrimeInProgression(out, high, a, b, found);
}

}  // namespace velmora::crypto
