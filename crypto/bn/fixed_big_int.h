// FixedBigInt: a signed integer of at most 384 32-bit words held inside the object (no heap), least
// significant word first. The curve code keeps field elements, coordinates and scalars in it.
//
// Operations take the output last, check the word limit and return 0, kFixedTooLong (an operand or the
// result needs more than 384 words) or kFixedZeroOperand (a zero modulus, divisor or inverse operand).
// When a check fails at entry the output is not written.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/rand/random.h"

namespace velmora::crypto {

inline constexpr int kFixedTooLong = 20480;
inline constexpr int kFixedZeroOperand = 20481;
inline constexpr int kFixedBytesTooShort = 1419;

struct FixedBigInt {
  static constexpr int32_t kMaxWords = 384;

  int32_t Count = 1;
  uint32_t Words[kMaxWords] = {};
  int32_t Positive = 1;

  // Conversions. FromBytes refuses more than 4 x 384 bytes; ToBytes gives exactly n bytes (1419 when
  // the value needs more); ToWordBytes gives all used words as 4 x count bytes.
  [[nodiscard]] static int FromBytes(const uint8_t* bytes, int32_t n, FixedBigInt& out);
  [[nodiscard]] static int ToBytes(const FixedBigInt& value, int32_t n, core::BufferCore& out);
  [[nodiscard]] static int ToWordBytes(const FixedBigInt& value, core::BufferCore& out);
  static void Copy(FixedBigInt& destination, const FixedBigInt& source);
  static void SetWord(FixedBigInt& value, uint32_t w);
  // SetRandom fills n words from the context and releases the context afterwards.
  [[nodiscard]] static int SetRandom(FixedBigInt& value, int32_t n, RandomContext& context);
  [[nodiscard]] static int SetBit(FixedBigInt& value, int32_t bit, bool set);
  // SetPolynomial: x^m + x^k1 + x^k2 + x^k3 + 1 (a trinomial when k2 and k3 are 0).
  [[nodiscard]] static int SetPolynomial(FixedBigInt& value, int32_t m, int32_t k1, int32_t k2, int32_t k3);

  static void Normalize(FixedBigInt& value);
  static bool IsZero(const FixedBigInt& value);
  static bool IsEven(const FixedBigInt& value) { return (value.Words[0] & 1) == 0; }
  static bool TestBit(const FixedBigInt& value, int32_t i);
  static bool TestTopBit(const FixedBigInt& value, int32_t n) { return TestBit(value, n - 1); }
  static int32_t BitLength(const FixedBigInt& value);
  static bool Equals(const FixedBigInt& a, const FixedBigInt& b);
  // IsGreater compares magnitudes.
  static bool IsGreater(const FixedBigInt& a, const FixedBigInt& b);

  [[nodiscard]] static int Add(const FixedBigInt& a, const FixedBigInt& b, FixedBigInt& out);
  [[nodiscard]] static int Subtract(const FixedBigInt& a, const FixedBigInt& b, FixedBigInt& out);
  // AddMagnitudes: |a| + |b| with a the longer; SubtractMagnitudes: |a| - |b| for |a| >= |b|.
  [[nodiscard]] static int AddMagnitudes(const FixedBigInt& a, const FixedBigInt& b, FixedBigInt& out);
  [[nodiscard]] static int SubtractMagnitudes(const FixedBigInt& a, const FixedBigInt& b, FixedBigInt& out);
  [[nodiscard]] static int AddWord(const FixedBigInt& a, uint32_t w, FixedBigInt& out);
  [[nodiscard]] static int Multiply(const FixedBigInt& a, const FixedBigInt& b, FixedBigInt& out);
  [[nodiscard]] static int MultiplyWord(const FixedBigInt& a, uint32_t w, FixedBigInt& out);
  // Mod: |a| mod |m|.
  [[nodiscard]] static int Mod(const FixedBigInt& a, const FixedBigInt& m, FixedBigInt& out);
  // ModInverse: g = gcd(a, m) and x with x a + y m = g, made non-negative (a^-1 mod m when g is 1).
  [[nodiscard]] static int ModInverse(const FixedBigInt& a, const FixedBigInt& m, FixedBigInt& g, FixedBigInt& x);
  // ModPow: a^e mod m for odd m (an even m returns 0 and leaves out alone; a zero e gives 1).
  [[nodiscard]] static int ModPow(const FixedBigInt& a, const FixedBigInt& e, const FixedBigInt& m, FixedBigInt& out);
  // MontgomeryMultiply: a b 2^(-32 n) mod m with m_prime = -m^-1 mod 2^32.
  [[nodiscard]] static int MontgomeryMultiply(const FixedBigInt& a, const FixedBigInt& b, const FixedBigInt& m,
                                              uint32_t m_prime, int32_t n, FixedBigInt& out);

  [[nodiscard]] static int ShiftLeft1(FixedBigInt& value);
  static void ShiftRight1(FixedBigInt& value);
  [[nodiscard]] static int ShiftLeft(FixedBigInt& value, int32_t n);
  static void ShiftRight(FixedBigInt& value, int32_t n);
  [[nodiscard]] static int ShiftLeftWords(FixedBigInt& value, int32_t n);
  [[nodiscard]] static int ShiftLeftInto(const FixedBigInt& a, int32_t n, FixedBigInt& out);
};

// WordsFromBufferPadded reads a Buffer's bytes; with a model the count is raised (zero words) to the
// model's count.
[[nodiscard]] int WordsFromBufferPadded(const core::BufferCore& bytes, const FixedBigInt* model, FixedBigInt& out);

// PolynomialTermExponents: the bit length, the lowest set bit and the next two set bits above it below
// the length (0 when absent).
void PolynomialTermExponents(const FixedBigInt& value, int32_t* length, int32_t* e1, int32_t* e2, int32_t* e3);

}  // namespace velmora::crypto
