// BigInt: the signed, variable-size integer of the public-key code. Keys travel as big-endian byte
// strings and become BigInt values only for a computation.
//
// The magnitude is held in 32-bit words, most significant first. Zero has two forms: the empty value
// (sign 0, no words; the default) and the one-word zero (sign +1, one zero word; FromInt64(0) and
// BigIntZero()). Compare orders the empty value below the one-word zero and Equals tells them apart;
// IsZero accepts both.
//
// Every operation that allocates returns a result code: 0, or 200 when a word array cannot be
// allocated (the output is then left empty or unchanged as each operation says); the modular
// operations also return the kBigInt* codes below. Outputs may alias inputs. A value is used by one
// thread at a time; the two constants are read-only and may be read by any thread.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::crypto {

class BigNat;
struct RandomContext;

constexpr int kBigIntNoMemory = 200;
constexpr int kBigIntDivisionByZero = 2001;
constexpr int kBigIntNotInvertible = 2002;
constexpr int kBigIntBadModulus = 2003;
constexpr int kBigIntNegativeExponent = 2004;

class BigInt {
 public:
  BigInt() = default;
  ~BigInt() { Clear(); }
  BigInt(BigInt&& other) noexcept;
  BigInt& operator=(BigInt&& other) noexcept;
  // Copies allocate, so they go through Assign or Copy, which report a failure.
  BigInt(const BigInt&) = delete;
  BigInt& operator=(const BigInt&) = delete;

  // ---- Construction (each replaces out; on 200 out is the empty value) ----
  [[nodiscard]] static int FromInt64(int64_t v, BigInt& out);
  [[nodiscard]] static int Copy(const BigInt& a, BigInt& out) { return out.Assign(a); }
  // FromBytes: big-endian magnitude, leading zero bytes dropped; sign taken when n > 0.
  [[nodiscard]] static int FromBytes(const uint8_t* bytes, int32_t n, int32_t sign, BigInt& out);
  // FromSignAndBytes: as FromBytes, the sign taken only when it is -1, 0 or +1 and n is not 0.
  [[nodiscard]] static int FromSignAndBytes(int32_t sign, const uint8_t* bytes, int32_t n, BigInt& out);
  // FromWords keeps the n words exactly as passed (leading zero words included).
  [[nodiscard]] static int FromWords(const uint32_t* words, int32_t n, int32_t sign, BigInt& out);
  // FromSignAndWords drops leading zero words; all zero gives the empty value.
  [[nodiscard]] static int FromSignAndWords(int32_t sign, const uint32_t* words, int32_t n, BigInt& out);
  // FromUint32 makes out the non-negative one-word value.
  [[nodiscard]] static int FromUint32(uint32_t value, BigInt& out);
  [[nodiscard]] static int FromTwosComplementBytes(const uint8_t* bytes, int32_t n, BigInt& out);
  [[nodiscard]] static int FromTwosComplementWords(const uint32_t* words, int32_t n, BigInt& out);
  // FromText reads n digits in radix 2..32 (0-9, then a-z or A-Z). Characters are not validated; a
  // radix outside 2..32, no nonzero digit, or a group of digits whose value does not fit 31 bits gives
  // the empty value with result 0.
  [[nodiscard]] static int FromText(const char* text, int32_t n, int32_t radix, int32_t sign, BigInt& out);
  // FromBigNat: the used words of a with the given sign, or the empty value when a is 0.
  [[nodiscard]] static int FromBigNat(const BigNat& a, int32_t sign, BigInt& out);

  // Assign makes this a copy of source (words, sign and caches).
  [[nodiscard]] int Assign(const BigInt& source);
  // Clear wipes and frees the words and forgets the caches; the sign is left as it was.
  void Clear();
  [[nodiscard]] int Negate(BigInt& out) const;

  // ---- Queries ----
  int32_t Sign() const { return sign_; }
  int32_t Count() const { return count_; }
  const uint32_t* Words() const { return words_; }
  bool IsZero() const;
  bool IsNegative() const { return sign_ < 0 && !IsZero(); }
  bool IsOdd() const { return count_ > 0 && (words_[count_ - 1] & 1) != 0; }
  // Compare orders by sign first, then by magnitude: -1, 0 or +1.
  static int32_t Compare(const BigInt& a, const BigInt& b);
  // Equals: same sign, same word count and same words.
  static bool Equals(const BigInt& a, const BigInt& b);
  // BitLength counts the bits of the two's-complement value without the sign bit (0 for 0 and -1).
  int32_t BitLength() const;
  // LowZeroWords counts the zero words at the least significant end (all of them for a zero value).
  int32_t LowZeroWords() const;
  // WordAt returns word i (0 the least significant) of the infinite two's-complement value.
  uint32_t WordAt(int32_t i) const;
  bool TestBit(int32_t n) const;
  // LowestSetBit: index of the lowest set bit, -1 for either zero.
  int32_t LowestSetBit() const;
  // ToBytes sets out to the shortest big-endian two's-complement form with room for a sign bit
  // (127 -> 7F, 128 -> 00 80, -128 -> 80, zero -> 00); 0, or the Buffer's code (out unchanged).
  [[nodiscard]] int ToBytes(core::BufferCore& out) const;
  // ToText appends the value in radix 2..32 (any other radix counts as 10) to out: digits 0-9 then a-v,
  // "-" before a negative value, "0" for the empty value. 0, or the Buffer's code (out may then hold part
  // of the text) or 200.
  [[nodiscard]] int ToText(core::BufferCore& out, int32_t radix) const;
  // Low64 is the two least significant words of the two's-complement value (word 1 high, word 0 low).
  uint64_t Low64() const;
  // WriteBytes writes the n low-order bytes of the two's-complement value, big-endian.
  void WriteBytes(uint8_t* destination, int32_t n) const;

  // ---- Arithmetic ----
  [[nodiscard]] static int Add(const BigInt& a, const BigInt& b, BigInt& out);
  [[nodiscard]] static int Subtract(const BigInt& a, const BigInt& b, BigInt& out);
  [[nodiscard]] static int Multiply(const BigInt& a, const BigInt& b, BigInt& out);
  [[nodiscard]] static int Square(const BigInt& a, BigInt& out);
  // Divide, DivMod and Remainder truncate toward zero (the remainder has the sign of a). A zero
  // quotient or remainder is the empty value; division by zero gives zero results and no code.
  [[nodiscard]] static int Divide(const BigInt& a, const BigInt& b, BigInt& out);
  [[nodiscard]] static int DivMod(const BigInt& a, const BigInt& b, BigInt& quotient, BigInt& remainder);
  [[nodiscard]] static int Remainder(const BigInt& a, const BigInt& b, BigInt& out);
  // DivModWord: *remainder = |a| mod w (w not 0), quotient = |a| / w with the sign of a.
  [[nodiscard]] static int DivModWord(const BigInt& a, uint32_t w, BigInt& quotient, uint32_t* remainder);
  // ShiftLeft multiplies by 2^n; ShiftRight gives floor(a / 2^n). A negative n shifts the other way.
  [[nodiscard]] static int ShiftLeft(const BigInt& a, int32_t n, BigInt& out);
  [[nodiscard]] static int ShiftRight(const BigInt& a, int32_t n, BigInt& out);
  [[nodiscard]] static int Abs(const BigInt& a, BigInt& out);
  // Pow: a^e; 2004 with out empty for a negative e.
  [[nodiscard]] static int Pow(const BigInt& a, int32_t e, BigInt& out);
  // Mod: a mod m in [0, m) (zero is the empty value); 2003 with out empty when m is not positive.
  [[nodiscard]] static int Mod(const BigInt& a, const BigInt& m, BigInt& out);
  // ModInverse: a^-1 mod m; 2003 (out empty) when m is not positive, 2002 when there is none.
  [[nodiscard]] static int ModInverse(const BigInt& a, const BigInt& m, BigInt& out);
  // ModPow: base^e mod m for any positive m, a negative e through the inverse; 2003 with out
  // unchanged when m is not positive, 2002. For an odd m the running time depends only on the sizes
  // of the operands, not on the exponent's bits, except for the public exponent 65537.
  [[nodiscard]] static int ModPow(const BigInt& base, const BigInt& e, const BigInt& m, BigInt& out);
  // ModPowOdd: base^e mod m for an odd m > 1, 0 <= base < m and e >= 0.
  [[nodiscard]] static int ModPowOdd(const BigInt& base, const BigInt& e, const BigInt& m, BigInt& out);
  // ModPowBinary: base^|e| mod m by square-and-multiply; out is 1 before m is checked (2003).
  [[nodiscard]] static int ModPowBinary(const BigInt& base, const BigInt& e, const BigInt& m, BigInt& out);
  // LowBits: a mod 2^k for a non-negative a.
  [[nodiscard]] static int LowBits(const BigInt& a, int32_t k, BigInt& out);
  // ModPowPowerOfTwo: a^e mod 2^k for e >= 0.
  [[nodiscard]] static int ModPowPowerOfTwo(const BigInt& a, const BigInt& e, int32_t k, BigInt& out);

  // ---- Random values and primes ----
  // SetRandom makes this a positive value of exactly n bits (n >= 1) from the context.
  [[nodiscard]] int SetRandom(int32_t n, RandomContext& context);
  [[nodiscard]] static int Random(int32_t n, RandomContext& context, BigInt& out) { return out.SetRandom(n, context); }
  // IsProbablePrime sets *prime after Fermat rounds (at most limit, fewer as n grows) with random bases
  // from context, or from a context of its own when context is null.
  [[nodiscard]] static int IsProbablePrime(const BigInt& n, int32_t limit, RandomContext* context, bool* prime);
  // RandomPrime: a probable prime of exactly n bits. Below 20 bits the candidate sieve would be empty
  // and the search endless, so n < 20 is refused with 2003.
  [[nodiscard]] static int RandomPrime(int32_t n, int32_t rounds, RandomContext& context, BigInt& out);

 private:
  friend const BigInt& BigIntZero();
  friend const BigInt& BigIntOne();
  static BigInt Constant(const uint32_t* word);
  int Adopt(uint32_t* words, int32_t count, int32_t sign);

  int32_t sign_ = 0;
  uint32_t* words_ = nullptr;
  int32_t count_ = 0;
  mutable int32_t bit_length_ = -1;
  mutable int32_t lowest_set_bit_ = -2;
  mutable int32_t low_zero_words_ = -2;
  bool owns_ = true;
};

// DigitValue is the value FromText gives the digit character c: 0-9, then a-z or A-Z as 10 and up. A
// character that is no digit of the radix gets whatever the rule gives (FromText does not validate).
int64_t DigitValue(char c, int32_t radix);

// BigIntZero (sign +1, one zero word) and BigIntOne (sign +1, one word 1): process-wide, read-only,
// in static storage (they never allocate).
const BigInt& BigIntZero();
const BigInt& BigIntOne();

// FindPrimeInProgression moves p to the smallest probable prime p' >= p with p' = a (mod b) and
// p' <= bound and sets *found to 1, or sets *found to 0 (p then holds the last value tried).
[[nodiscard]] int FindPrimeInProgression(BigInt& p, const BigInt& bound, const BigInt& a, const BigInt& b,
                                         int* found);
// RandomPrimeInRange finds a probable prime in [low, high] with p = a (mod b), first from up to 15 random
// starting points, then by a scan from low; *found is 1 with the prime in out, else 0.
[[nodiscard]] int RandomPrimeInRange(const BigInt& low, const BigInt& high, const BigInt& a, const BigInt& b,
                                     RandomContext& context, BigInt& out, int* found);

}  // namespace velmora::crypto
