// The sieves behind the prime searches: PrimeSieve (the odd primes below 19200, process-wide),
// CandidateSieve (one window of odd candidates above an even base) and ProgressionSieve (one window of
// terms of an arithmetic progression, screened by the odd primes below 32720).
#pragma once

#include <cstdint>

#include "crypto/bn/big_int.h"

namespace velmora::crypto {

// PrimeSieve: bit i stands for the odd number 2i + 1 and is set for a composite (and for 1). Built on
// first use in static storage; read-only afterwards, any thread.
class PrimeSieve {
 public:
  static constexpr int32_t kSize = 9600;
  static const PrimeSieve& Instance();
  bool IsComposite(int32_t i) const { return ((bits_[i / 64] >> (i % 64)) & 1) != 0; }
  // NextClear: the first clear bit at or after from in a bitmap of size bits, or -1.
  static int32_t NextClear(const uint64_t* bits, int32_t size, int32_t from);
  // MarkMultiples sets the bits start, start + step, ... below size.
  static void MarkMultiples(uint64_t* bits, int32_t size, int32_t start, int32_t step);
  int32_t NextClear(int32_t from) const { return NextClear(bits_, kSize, from); }

 private:
  PrimeSieve();
  uint64_t bits_[kSize / 64] = {};
};

// ProgressionSieve yields the terms start + i * step (up to bound) that no small prime divides,
// window by window.
class ProgressionSieve {
 public:
  static constexpr int32_t kMaxWindow = 32768;
  static constexpr int32_t kSmallPrimes = 3511;  // 1, then the odd primes below 32720

  ProgressionSieve() = default;
  ~ProgressionSieve();
  ProgressionSieve(const ProgressionSieve&) = delete;
  ProgressionSieve& operator=(const ProgressionSieve&) = delete;

  // Init copies the three values, builds the small-prime table and sieves the first window. Its
  // result is the first window's: 0, 200, or 2002 when a small prime divides the step (the sieving
  // then stops at that prime and the window keeps the flags it has).
  [[nodiscard]] int Init(const BigInt& start, const BigInt& bound, const BigInt& step);
  // NextCandidate sets out to the next unflagged term and *got to 1, or *got to 0 past the bound.
  [[nodiscard]] int NextCandidate(BigInt& out, int* got);
  uint16_t SmallPrime(int32_t i) const { return small_primes_[i]; }

 private:
  void BuildSmallPrimes();
  [[nodiscard]] int SieveWindow();
  void StrikeMultiples(uint32_t p, uint32_t inv);

  BigInt start_;
  BigInt bound_;
  BigInt step_;
  int32_t next_ = 0;
  uint16_t* flags_ = nullptr;
  int32_t window_ = 0;
  uint16_t small_primes_[kSmallPrimes] = {};
};

// ModSmall returns |a| mod w for w not 0.
uint32_t ModSmall(const BigInt& a, uint32_t w);

}  // namespace velmora::crypto
