// Scalars modulo a group order of the form L = 2^B - c on little-endian 32-bit words, and the Ed448
// instance L = 2^446 - c of RFC 8032. Nothing allocates; temporaries live on the stack.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/curve448/curve448_field.h"

namespace velmora::crypto {

constexpr int32_t kEd448ScalarWords = 14;
constexpr int32_t kEd448ScalarBytes = 56;

// ScalarDescriptor describes L = 2^(32 (words - 1) + top_bits) - c, or 2^(32 words) - c when top_bits is 0.
struct ScalarDescriptor {
  int32_t words;
  int32_t top_bits;
  int32_t c_words;
  const uint32_t* c;
};

// Ed448Modulus returns the Ed448 descriptor, complete before it is returned to any thread.
const ScalarDescriptor& Ed448Modulus();

// ScalarFromBytes reads the descriptor's byte size (56 for Ed448) little-endian into words; returns all
// ones when the value is below L, 0 otherwise (the words keep the value as read).
uint32_t ScalarFromBytes(uint32_t* out, const uint8_t* bytes, const ScalarDescriptor& d);
// ScalarFromBytesWide reduces a byte string of any length (up to 4096 bytes) modulo L into the
// descriptor's word count: 0 or 0x90003.
[[nodiscard]] int ScalarFromBytesWide(uint32_t* out, const uint8_t* bytes, size_t length, const ScalarDescriptor& d);
// ScalarReduce replaces x (words words, plus extra * 2^(32 words)) by its value modulo L in the low
// descriptor words and zeroes the rest: 0 or 0x90003 (extra of 2^top or more, words below the
// descriptor's). The sequence of operations depends only on the word count.
[[nodiscard]] int ScalarReduce(uint32_t* x, int32_t words, uint32_t extra, const ScalarDescriptor& d);
// ScalarMulAdd sets out = a b mod L, or out + a b mod L with accumulate: 0 or 0x90003.
[[nodiscard]] int ScalarMulAdd(uint32_t* out, int32_t out_words, const uint32_t* a, int32_t a_words, const uint32_t* b,
                               int32_t b_words, const ScalarDescriptor& d, bool accumulate);
// ScalarNegate reduces x and replaces it by L - x (so 0 gives L): 0 or 0x90003.
[[nodiscard]] int ScalarNegate(uint32_t* x, int32_t words, const ScalarDescriptor& d);
// ScalarToBytes writes byte_count / 4 words, four little-endian bytes each.
void ScalarToBytes(uint8_t* out, const uint32_t* words, int32_t byte_count);
// ScalarHalveAdd sets out = (x + k) / 2 over words words, with k the first (even) constant of the pair
// when x is even and the second (odd) one when x is odd, chosen by mask: 0, or 0x90003 when the
// constants are longer than x.
[[nodiscard]] int ScalarHalveAdd(uint32_t* out, const uint32_t* x, int32_t words, const uint32_t* even_constant,
                                 const uint32_t* odd_constant, int32_t constant_words);
// ScalarRecodeSigned writes (position, digit) pairs, most significant first, ended by (-1, 0), with odd
// digits of magnitude at most 2^(width + 1) - 1 and sum digit 2^position = s (bits bits). out must hold
// bits / (width + 1) + 3 pairs. Returns the pair count or 0x90003. Variable time.
[[nodiscard]] int ScalarRecodeSigned(int32_t* out, const uint32_t* s, int32_t bits, int32_t width);
// ScalarAdd sets a += b over words words and returns the carry.
uint32_t ScalarAdd(uint32_t* a, const uint32_t* b, int32_t words);
// ScalarAddMasked sets out = a + (b AND mask) over words words, b read from word b_offset for b_words
// words (words beyond them add 0, so the carry runs through the rest of a); returns the carry. The mask
// is all ones or 0 and decides nothing by branching. out may be a.
uint32_t ScalarAddMasked(uint32_t* out, const uint32_t* a, int32_t words, const uint32_t* b, int32_t b_offset,
                         int32_t b_words, uint32_t mask);
// ScalarMulWordAdd adds b * w + carry_in to x[offset .. offset + words - 1], carrying through the span;
// returns the carry out (0x90003 when b_words exceeds words).
uint32_t ScalarMulWordAdd(uint32_t* x, int32_t offset, int32_t words, const uint32_t* b, int32_t b_words, uint32_t w,
                          uint32_t carry_in);

// The Ed448 wrappers.
uint32_t Ed448ScalarFromBytes(uint32_t* out, const uint8_t* bytes);
[[nodiscard]] int Ed448ScalarFromBytesWide(uint32_t* out, const uint8_t* bytes, size_t length);
[[nodiscard]] int Ed448ScalarMulAdd(uint32_t* out, int32_t out_words, const uint32_t* a, int32_t a_words,
                                    const uint32_t* b, int32_t b_words, bool accumulate);
[[nodiscard]] int Ed448ScalarNegate(uint32_t* x, int32_t words);
[[nodiscard]] int Ed448ScalarReduce(uint32_t* x, int32_t words, uint32_t extra);

// Ed448HalvingPair holds the pair congruent to 2^bits - 1 modulo L (the even value first), for bits
// 448 and 450, as the fixed-window and comb multiplications use it.
struct Ed448HalvingPair {
  uint32_t even[kEd448ScalarWords];
  uint32_t odd[kEd448ScalarWords];
};
const Ed448HalvingPair& Ed448HalvingPair448();
const Ed448HalvingPair& Ed448HalvingPair450();
// Ed448ScalarForComb copies ceil(bits / 32) words of s, zero-extended to 14, and halves them with the
// 2^448 - 1 pair: 1, or 0 when bits exceeds 448.
int Ed448ScalarForComb(uint32_t* out, const uint32_t* s, int32_t bits);

}  // namespace velmora::crypto
