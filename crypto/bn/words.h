// Word-array routines shared by BigInt and BigNat. Magnitudes are arrays of 32-bit words, most
// significant first, unless a routine says otherwise. Arrays come from core::AllocZeroedInts and go
// back through FreeWords, which wipes them first (they may hold key material).
#pragma once

#include <bit>
#include <cstdint>

namespace velmora::crypto::bigint {

// FreeWords wipes and frees an array of n words; null does nothing.
void FreeWords(uint32_t* words, int32_t n);

// CompareWords: the longer array is greater; at equal lengths a null array is smaller than a present
// one, then the first differing word from the top decides. -1, 0 or +1.
int32_t CompareWords(const uint32_t* a, int32_t na, const uint32_t* b, int32_t nb);

// BitLength32: bits of w as a signed 32-bit value (0 for 0, 32 for a negative value).
inline int32_t BitLength32(uint32_t w) { return 32 - std::countl_zero(w); }
// CountTrailingZeroBits32: index of the lowest set bit, -1 for 0.
inline int32_t CountTrailingZeroBits32(uint32_t w) { return w == 0 ? -1 : std::countr_zero(w); }

// The conversions below return a fresh array (null with *count -1 when it cannot be allocated, null
// with *count 0 when no word results).
uint32_t* WordsFromBytes(const uint8_t* bytes, int32_t n, int32_t* count);
uint32_t* WordsCopyTrimmed(const uint32_t* words, int32_t n, int32_t* count);
uint32_t* WordsFromNegativeBytes(const uint8_t* bytes, int32_t n, int32_t* count);
uint32_t* WordsFromNegativeWords(const uint32_t* words, int32_t n, int32_t* count);

// ModPositive: a mod b in [0, |b|).
int32_t ModPositive(int32_t a, int32_t b);

// WordsMultiply: out (nx + ny words) = x * y.
void WordsMultiply(const uint32_t* x, int32_t nx, const uint32_t* y, int32_t ny, uint32_t* out);
// WordsSquare: out (2n words) = x * x, each cross product computed once.
void WordsSquare(const uint32_t* x, int32_t n, uint32_t* out);
// WordsMulAddSmall: array = array * m + a, the carry out of the top dropped.
void WordsMulAddSmall(uint32_t* array, int32_t n, uint32_t m, uint32_t a);

}  // namespace velmora::crypto::bigint
