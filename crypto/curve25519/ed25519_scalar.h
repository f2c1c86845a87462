// Integers modulo L = 2^252 + 27742317777372353535851937790883648493, the order of the Ed25519 base
// point, on little-endian byte strings. Both operations run in fixed time on 21-bit limbs held in signed
// 64-bit integers.
#pragma once

#include <cstdint>

namespace velmora::crypto {

// Ed25519ScalarReduce writes the 64-byte number s modulo L into s[0..31]; s[32..63] are kept.
// 0, or 0x90001 when length is below 64 (s untouched).
int Ed25519ScalarReduce(uint8_t* s, uint32_t length);

// Ed25519ScalarMulAdd writes (a * b + c) mod L into s[0..31] for 32-byte little-endian a, b and c
// (b may be any value below 2^255). All inputs are read before s is written. 0, or 0x90001 when any
// length is below 32 (s untouched).
int Ed25519ScalarMulAdd(uint8_t* s, uint32_t room, const uint8_t* a, uint32_t a_length, const uint8_t* b,
                        uint32_t b_length, const uint8_t* c, uint32_t c_length);

}  // namespace velmora::crypto
