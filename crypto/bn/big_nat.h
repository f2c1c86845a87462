// BigNat: the mutable unsigned number on which BigInt does its long division and modular inverses.
// The value is the `length` words from `start` on in an array of `capacity` words, most significant
// first, so leading words can be dropped and a slack word kept without moving data. Operations change
// the number in place and grow the array (to the exact size needed) only when it is too small.
//
// Operations that may allocate return 0 or 200 (a word array could not be allocated); the value is
// then unspecified but valid and owned. One thread at a time.
#pragma once

#include <cstdint>

namespace velmora::crypto {

class BigNat {
 public:
  // A fresh BigNat is 0 with no array; the constructor allocates nothing.
  BigNat() = default;
  virtual ~BigNat() { Reset(); }
  BigNat(const BigNat&) = delete;
  BigNat& operator=(const BigNat&) = delete;

  [[nodiscard]] int FromWord(uint32_t w);
  // FromWords copies n words (most significant first); a null array gives 0.
  [[nodiscard]] int FromWords(const uint32_t* words, int32_t n);
  // Assign copies b's whole array, length and start.
  [[nodiscard]] int Assign(const BigNat& b);
  // AttachWords takes over an array of n words from core::AllocZeroedInts.
  void AttachWords(uint32_t* words, int32_t n);
  // Reset frees the array (wiped) and leaves the value 0 with no array.
  void Reset();
  // Swap exchanges two numbers without copying.
  void Swap(BigNat& other);

  int32_t Length() const { return length_; }
  const uint32_t* Used() const { return words_ + start_; }
  // Word returns the word of significance i (0 the least significant), 0 beyond the length.
  uint32_t Word(int32_t i) const { return i < length_ ? words_[start_ + length_ - 1 - i] : 0; }
  bool IsZero() const { return length_ == 0; }
  bool IsEven() const { return length_ == 0 || (Word(0) & 1) == 0; }
  bool IsOdd() const { return !IsEven(); }
  bool IsOne() const { return length_ == 1 && Word(0) == 1; }
  bool IsNormalized() const;
  void CopyWordsTo(uint32_t* array, int32_t n) const;
  static int32_t Compare(const BigNat& a, const BigNat& b);
  int32_t LowestSetBit() const;
  void Trim();

  // a = a + b
  [[nodiscard]] int AddMagnitude(const BigNat& b);
  // a = |a - b|; *comparison is +1, -1 or 0 as a was greater, smaller or equal.
  [[nodiscard]] int SubtractMagnitude(const BigNat& b, int32_t* comparison);
  // out = a * w; out = a * b (out must not be a or b).
  [[nodiscard]] static int MultiplyWord(const BigNat& a, uint32_t w, BigNat& out);
  [[nodiscard]] static int Multiply(const BigNat& a, const BigNat& b, BigNat& out);
  [[nodiscard]] int ShiftLeft(int32_t n);
  void ShiftRight(int32_t n);

  // DivMod: q = a / b, r = a mod b (q and r distinct from a, b and each other); 2001 for a zero b
  // with q and r unchanged.
  [[nodiscard]] static int DivMod(const BigNat& a, const BigNat& b, BigNat& q, BigNat& r);
  // DivModWord: q = a / w (w not 0), *remainder = a mod w.
  [[nodiscard]] static int DivModWord(const BigNat& a, uint32_t w, BigNat& q, uint32_t* remainder);
  // MontgomeryReduce: out = t * 2^-k mod m for an odd m; t is used up.
  [[nodiscard]] static int MontgomeryReduce(BigNat& out, BigNat& t, const BigNat& m, int32_t k);
  // InversePowerOfTwo: out = 2^-k mod m for an odd m.
  [[nodiscard]] static int InversePowerOfTwo(BigNat& out, const BigNat& m, int32_t k);
  // ModInverse: out = a^-1 mod m (0 <= a < m); 2002 when a and m are not coprime.
  [[nodiscard]] static int ModInverse(const BigNat& a, const BigNat& m, BigNat& out);
  // AlmostInverse: the same for an odd m.
  [[nodiscard]] static int AlmostInverse(const BigNat& a, const BigNat& m, BigNat& out);
  // InverseModPowerOfTwo: out = a^-1 mod 2^k; 2002 for a zero or even a or a negative k.
  [[nodiscard]] static int InverseModPowerOfTwo(const BigNat& a, int32_t k, BigNat& out);
  // InverseByEuclid: the same by the extended Euclidean algorithm (used above 64 bits).
  [[nodiscard]] static int InverseByEuclid(const BigNat& a, int32_t k, BigNat& out);

 protected:
  // Ensure gives the array room for n words and makes the value n zero words from start 0.
  [[nodiscard]] int Ensure(int32_t n);
  [[nodiscard]] int CombineInto(const BigNat& x, const BigNat& y, int32_t n, bool subtract);

  uint32_t* words_ = nullptr;
  int32_t capacity_ = 0;
  int32_t length_ = 0;
  int32_t start_ = 0;
  bool owns_ = true;
};

// SignedBigNat carries the sign (+1 or -1; 0 after two equal magnitudes of opposite signs cancel in
// Add) of the coefficients of the inverse algorithms.
class SignedBigNat : public BigNat {
 public:
  int32_t sign = 1;

  [[nodiscard]] int Assign(const SignedBigNat& b);
  void Swap(SignedBigNat& other);
  // a = a + b; a = a + |b|; a = a - b; a = a - |b|.
  [[nodiscard]] int Add(const SignedBigNat& b);
  [[nodiscard]] int AddMagnitude(const BigNat& b);
  [[nodiscard]] int Subtract(const SignedBigNat& b);
  [[nodiscard]] int SubtractMagnitude(const BigNat& b);
};

}  // namespace velmora::crypto
