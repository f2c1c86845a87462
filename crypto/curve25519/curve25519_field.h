// Arithmetic in GF(2^255 - 19): ten signed limbs in radix 2^25.5 (bit positions 0, 26, 51, 77, 102, 128,
// 153, 179, 204, 230; even limbs 26 bits, odd limbs 25), 64-bit intermediate products. Every operation
// works on caller-held values, never allocates and runs without data-dependent branches or memory
// indices, except Fe25519IsNonZero (public data only). Outputs come first and may alias inputs.
#pragma once

#include <cstdint>

namespace velmora::crypto {

// Result code of the byte conversions when fewer than 32 bytes are given.
constexpr int kFieldShortArray = 0x90001;

struct Fe25519 {
  int32_t h[10];
};

void Fe25519Zero(Fe25519& h);
void Fe25519One(Fe25519& h);
void Fe25519Copy(Fe25519& h, const Fe25519& f);
// Add, Sub and Neg work limb by limb without carrying.
void Fe25519Add(Fe25519& h, const Fe25519& f, const Fe25519& g);
void Fe25519Sub(Fe25519& h, const Fe25519& f, const Fe25519& g);
void Fe25519Neg(Fe25519& h, const Fe25519& f);
// CMov sets f = g when b is 1 and keeps f when b is 0; CSwap exchanges f and g when b is 1.
void Fe25519CMov(Fe25519& f, const Fe25519& g, uint32_t b);
void Fe25519CSwap(Fe25519& f, Fe25519& g, uint32_t b);
void Fe25519Mul(Fe25519& h, const Fe25519& f, const Fe25519& g);
void Fe25519Sq(Fe25519& h, const Fe25519& f);
// Sq2: h = 2 f^2.
void Fe25519Sq2(Fe25519& h, const Fe25519& f);
void Fe25519Mul121666(Fe25519& h, const Fe25519& f);
// Invert: z^(p-2), which is 0 for z = 0.
void Fe25519Invert(Fe25519& out, const Fe25519& z);
// Pow22523: z^(2^252 - 3), the power used for square roots.
void Fe25519Pow22523(Fe25519& out, const Fe25519& z);
// FromBytes reads the first 32 little-endian bytes, ignoring bit 255 (values of p and above stand for
// themselves modulo p); ToBytes writes the canonical 32-byte encoding. 0, or kFieldShortArray when
// fewer than 32 bytes are given (the output is then untouched).
int Fe25519FromBytes(Fe25519& h, const uint8_t* bytes, uint32_t length);
int Fe25519ToBytes(uint8_t* bytes, uint32_t room, const Fe25519& h);
// IsNegative: the low bit of the encoding (0 or 1). IsNonZero: 1 when the encoding has a nonzero byte;
// it stops at the first one, so it is for public values only.
int Fe25519IsNegative(const Fe25519& f);
int Fe25519IsNonZero(const Fe25519& f);

// The curve constants d = -121665/121666, 2d and sqrt(-1) = 2^((p-1)/4), computed from their
// definitions on first use (thread-safe) and held in the carried limb form.
const Fe25519& Ed25519D();
const Fe25519& Ed25519D2();
const Fe25519& Fe25519SqrtM1();

// Fe51: the same field in five unsigned limbs of radix 2^51 with 128-bit products, the form the X25519
// ladder runs on without BMI2. Mul, Sq, Mul121666 and FromBytes leave every limb below 2^52; Add leaves
// them below 2^53 and its result may only go into Mul, Sq or Mul121666; Sub takes operands with limbs
// below 2^52.
// All constant time; outputs may alias inputs.
struct Fe51 {
  uint64_t v[5];
};

void Fe51Zero(Fe51& h);
void Fe51One(Fe51& h);
void Fe51Add(Fe51& h, const Fe51& f, const Fe51& g);
void Fe51Sub(Fe51& h, const Fe51& f, const Fe51& g);
void Fe51Mul(Fe51& h, const Fe51& f, const Fe51& g);
void Fe51Sq(Fe51& h, const Fe51& f);
void Fe51Mul121666(Fe51& h, const Fe51& f);
void Fe51CSwap(Fe51& f, Fe51& g, uint32_t b);
// Invert: z^(p-2), which is 0 for z = 0.
void Fe51Invert(Fe51& out, const Fe51& z);
// FromBytes reads 32 little-endian bytes, ignoring bit 255; ToBytes writes the canonical encoding.
void Fe51FromBytes(Fe51& h, const uint8_t* bytes);
void Fe51ToBytes(uint8_t* bytes, const Fe51& h);

// Fe64LadderAvailable: true when the CPU has BMI2 (mulx), which Fe64X25519 needs.
bool Fe64LadderAvailable();
// Fe64X25519: out = the 32-byte u-coordinate of k times the point with u-coordinate u (bit 255
// ignored), k already clamped, by the ladder on four 64-bit limbs with mulx products. Constant time.
void Fe64X25519(uint8_t* out, const uint8_t* k, const uint8_t* u);

}  // namespace velmora::crypto
