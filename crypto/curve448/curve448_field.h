// Arithmetic modulo p = 2^448 - 2^224 - 1 on sixteen 28-bit limbs (limb i has weight 2^(28 i)), for the
// Ed448 group and EdDSA. Nothing here allocates or keeps state; every array belongs to the caller.
// Limbs may exceed 28 bits between operations; every operation leaves them weakly reduced (each limb
// at most 2^28 plus a small carry), which is the bound the multiplication is written for.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::crypto {

// Result codes of the field, scalar and group code.
constexpr int kCurveShortOutput = 0x90001;
constexpr int kCurveInternalError = 0x90003;

constexpr int kFe448Limbs = 16;
constexpr int kFe448Bytes = 56;

struct Fe448 {
  uint32_t limb[kFe448Limbs];
};

// Fe448Add sets out = a + b, Fe448Sub out = a - b, Fe448Neg out = -a (the output may be an input).
void Fe448Add(Fe448& out, const Fe448& a, const Fe448& b);
void Fe448Sub(Fe448& out, const Fe448& a, const Fe448& b);
void Fe448Neg(Fe448& out, const Fe448& a);
// Fe448SubWord sets a = a - w + p.
void Fe448SubWord(Fe448& a, uint32_t w);
// Fe448AddSmall adds w to limb 0, keeps 28 bits there, adds the carry to limb 1 and returns it.
uint32_t Fe448AddSmall(Fe448& a, uint32_t w);
// Fe448AddMultipleOfP adds w times p limb-wise, without reduction.
void Fe448AddMultipleOfP(Fe448& a, uint32_t w);
// Fe448Mul sets out = a * b. out must be a separate array: when it is a or b nothing is written.
void Fe448Mul(Fe448& out, const Fe448& a, const Fe448& b);
// Fe448Sqr sets out = a^2 (the output may be the input).
void Fe448Sqr(Fe448& out, const Fe448& a);
// Fe448MulWord sets out = a * w for w below 2^56; out must be a separate array.
void Fe448MulWord(Fe448& out, const Fe448& a, uint64_t w);
// Fe448WeakReduce does one carry pass; Fe448StrongReduce makes a canonical (0, or 0x90003 on overflow).
void Fe448WeakReduce(Fe448& a);
[[nodiscard]] int Fe448StrongReduce(Fe448& a);
// Fe448InvSqrt sets out = x^((p-3)/4): for a nonzero square x, out^2 x = 1. Fe448Invert sets
// out = a^(p-2) (0 for 0). Both may work in place and run the same sequence for every input.
void Fe448InvSqrt(Fe448& out, const Fe448& x);
void Fe448Invert(Fe448& out, const Fe448& a);
// Fe448BatchInvert inverts n elements with one inversion; out and in must not overlap.
void Fe448BatchInvert(Fe448* out, const Fe448* in, size_t n);

// Masks are all ones for true and 0 for false.
uint32_t Fe448IsZero(const Fe448& a);
uint32_t Fe448Equal(const Fe448& a, const Fe448& b);
uint32_t Fe448IsSquare(const Fe448& x);
// Fe448LowBit is bit 0 of the canonical encoding (the sign of a coordinate).
uint32_t Fe448LowBit(const Fe448& a);
// Fe448CondSwap exchanges a and b when flag is 1; Fe448CondNeg negates a under an all-ones mask.
void Fe448CondSwap(Fe448& a, Fe448& b, uint32_t flag);
void Fe448CondNeg(Fe448& a, uint32_t mask);
// Fe448Mask: limb 2j AND the low half, limb 2j+1 AND the high half of mask.
void Fe448Mask(Fe448& out, const Fe448& in, uint64_t mask);
void Fe448Copy(Fe448& out, const Fe448& in);
void Fe448SetOne(Fe448& out);
void Fe448SetWord(Fe448& out, uint32_t w);

// Fe448FromBytes reads the first 56 little-endian bytes: 1 when the value is below p, 0 when it is p or
// more (the limbs are written either way), 0 without writing when length is below 56.
int Fe448FromBytes(Fe448& out, const uint8_t* bytes, size_t length);
// Fe448ToBytes writes the 56-byte canonical encoding: 0, 0x90001 when length is below 56, or 0x90003.
[[nodiscard]] int Fe448ToBytes(uint8_t* out, size_t length, const Fe448& a);
// Fe448StoreLimbPair writes the low 56 bits of value as 7 bytes at out + offset; 0x90003 when bits
// remain above them (the 7 bytes are written either way).
int Fe448StoreLimbPair(uint8_t* out, size_t offset, uint64_t value);

}  // namespace velmora::crypto
