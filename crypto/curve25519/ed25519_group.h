// Points of the twisted Edwards curve -x^2 + y^2 = 1 + d x^2 y^2 over GF(2^255 - 19) with the base point
// B (y = 4/5, x even): the coordinate systems of cheap additions, the constant-time fixed-base
// multiplication, the variable-time double multiplication of verification, and the 32-byte encoding
// (y little-endian with the low bit of x in bit 255).
#pragma once

#include <cstdint>

#include "crypto/curve25519/curve25519_field.h"

namespace velmora::crypto {

// Projective: x = X/Z, y = Y/Z.
struct Ed25519PointP2 {
  Fe25519 X, Y, Z;
};
// Extended: as P2 with XY = ZT.
struct Ed25519PointP3 {
  Fe25519 X, Y, Z, T;
};
// Completed: x = X/Z, y = Y/T; the output of every addition and doubling.
struct Ed25519PointP1P1 {
  Fe25519 X, Y, Z, T;
};
// Affine point prepared for mixed addition: y + x, y - x, 2dxy.
struct Ed25519Precomp {
  Fe25519 yplusx, yminusx, xy2d;
};
// Projective point prepared for addition: Y + X, Y - X, Z, 2dT.
struct Ed25519Cached {
  Fe25519 YplusX, YminusX, Z, T2d;
};

void Ed25519PointAdd(Ed25519PointP1P1& r, const Ed25519PointP3& p, const Ed25519Cached& q);
void Ed25519PointSub(Ed25519PointP1P1& r, const Ed25519PointP3& p, const Ed25519Cached& q);
void Ed25519PointMixedAdd(Ed25519PointP1P1& r, const Ed25519PointP3& p, const Ed25519Precomp& q);
void Ed25519PointMixedSub(Ed25519PointP1P1& r, const Ed25519PointP3& p, const Ed25519Precomp& q);
void Ed25519P2Double(Ed25519PointP1P1& r, const Ed25519PointP2& p);
void Ed25519P3Double(Ed25519PointP1P1& r, const Ed25519PointP3& p);
void Ed25519P1P1ToP2(Ed25519PointP2& r, const Ed25519PointP1P1& p);
void Ed25519P1P1ToP3(Ed25519PointP3& r, const Ed25519PointP1P1& p);
void Ed25519P3ToP2(Ed25519PointP2& r, const Ed25519PointP3& p);
void Ed25519P3ToCached(Ed25519Cached& r, const Ed25519PointP3& p);
void Ed25519P2Zero(Ed25519PointP2& h);
void Ed25519P3Zero(Ed25519PointP3& h);
void Ed25519PrecompZero(Ed25519Precomp& h);
void Ed25519PrecompCmov(Ed25519Precomp& t, const Ed25519Precomp& u, uint32_t b);

// The base point tables, generated from their definitions on first use: row i of the base table holds
// (j + 1) * 256^i * B for j = 0..7; the odd multiples are B, 3B, ..., 15B.
using Ed25519BaseTableRows = Ed25519Precomp[32][8];
const Ed25519BaseTableRows& Ed25519BaseTable();
const Ed25519Precomp* Ed25519BaseOddMultiples();

// Ed25519ScalarMultBase: h = a * B for the 32-byte little-endian scalar a, whose top bit must be 0.
// Constant time. 0, or 0x90001 when fewer than 32 bytes are given (h untouched).
int Ed25519ScalarMultBase(Ed25519PointP3& h, const uint8_t* a, uint32_t length);
// Ed25519PrecompSelect: t = b * 256^pos * B for pos 0..31 and b -8..8, reading the whole row.
void Ed25519PrecompSelect(Ed25519Precomp& t, int pos, int8_t b);
// Ed25519Slide recodes the first 32 bytes of a into 256 signed digits, each zero or odd in -15..15.
void Ed25519Slide(int8_t r[256], const uint8_t* a, uint32_t length);
// Ed25519DoubleScalarMultVartime: r = a * A + b * B. Variable time: public values only.
void Ed25519DoubleScalarMultVartime(Ed25519PointP2& r, const uint8_t* a, uint32_t a_length, const Ed25519PointP3& A,
                                    const uint8_t* b, uint32_t b_length);
// Ed25519PointFromBytesNegate decodes s and stores the negated point in h: 1, or 0 when s encodes no
// point. y at or above p and x = 0 with the sign bit set are accepted.
int Ed25519PointFromBytesNegate(Ed25519PointP3& h, const uint8_t* s, uint32_t length);
// Encodings: 0, or 0x90001 when the room is below 32 (P3) or not exactly 32 (P2).
int Ed25519P3ToBytes(uint8_t* s, uint32_t room, const Ed25519PointP3& h);
int Ed25519P2ToBytes(uint8_t* s, uint32_t room, const Ed25519PointP2& h);

}  // namespace velmora::crypto
