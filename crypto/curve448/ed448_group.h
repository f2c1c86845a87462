// The Ed448 group: the Edwards curve E: x^2 + y^2 = 1 - 39081 x^2 y^2 (keys, signatures and signing
// live here) and its twist E': -x^2 + y^2 = 1 - 39082 x^2 y^2 (verification computes here on points of
// the prime-order subgroup, comparing only after a doubling, which removes the sign ambiguity of the map
// between them). All records belong
// to the caller; the only shared state is a set of tables built once per process, safely from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/curve448/curve448_field.h"

namespace velmora::crypto {

constexpr int kEd448PointBytes = 57;

struct Ed448Affine {
  Fe448 x, y;
};

// Ed448Point: x = X/Z, y = Y/Z; on E' the extended coordinate T = XY/Z is held as Ta Tb. On E only X, Y
// and Z carry meaning.
struct Ed448Point {
  Fe448 x, y, z, ta, tb;
};

// Ed448Niels: an E' point with Z = 1 as a = (y - x)/2, b = (y + x)/2, c = d' x y.
struct Ed448Niels {
  Fe448 a, b, c;
};

// Ed448PNiels: a = Y - X, b = Y + X, c = 2 d' T, z = 2 Z.
struct Ed448PNiels {
  Ed448Niels n;
  Fe448 z;
};

void Ed448SetIdentity(Ed448Point& p);

// Ed448PointFromBytes decodes the 57-byte encoding (y, then the sign of x in bit 7 of the last byte;
// bits 0-6 of that byte are not examined): 1, or 0 for a short input, y of p or more, or no square root.
int Ed448PointFromBytes(Ed448Point& out, const uint8_t* bytes, size_t length);
// Ed448PointToBytes encodes a point of E: 0, or 0x90001 when length is below 57.
[[nodiscard]] int Ed448PointToBytes(uint8_t* out, size_t length, const Ed448Point& p);

// Group operations on E.
void Ed448PointAdd(Ed448Point& p, const Ed448Point& q);
void Ed448PointDouble(Ed448Point& p);
// Ed448IsNeutral: 1 when p is the neutral element (0, 1) of E, else 0.
int Ed448IsNeutral(const Ed448Point& p);
uint32_t Ed448OnCurve(const Ed448Affine& a);
void Ed448AffineToPoint(Ed448Point& out, const Ed448Affine& a);

// Group operations on E'.
void Ed448TwDouble(Ed448Point& p);
void Ed448TwAddNiels(Ed448Point& p, const Ed448Niels& n);
void Ed448TwSubNiels(Ed448Point& p, const Ed448Niels& n);
void Ed448TwAddPNiels(Ed448Point& p, const Ed448PNiels& pn);
void Ed448TwSubPNiels(Ed448Point& p, const Ed448PNiels& pn);
void Ed448NielsCondNeg(Ed448Niels& n, uint32_t mask);
void Ed448TwToPNiels(Ed448PNiels& out, const Ed448Point& p);
void Ed448PNielsToPoint(Ed448Point& out, const Ed448PNiels& pn);
void Ed448NielsToPoint(Ed448Point& out, const Ed448Niels& n);
// Ed448TwEqual: 1 when both represent the same E' point, else 0.
int Ed448TwEqual(const Ed448Point& p, const Ed448Point& q);
// Ed448TwistPoint maps a point of E to E' (result with Z = 1), up to adding (0, -1), by scaling both
// coordinates with 1/sqrt(1 - x^2). That is a group map only on [2]E, the points whose 1 - x^2 is a square:
// the prime-order subgroup and its sum with (0, -1). A point with a component of order 4 has no such root;
// (1, 0) and (-1, 0) land on the degenerate (0, 0), others on a point unrelated to the input. Callers twist
// only multiples of 4 (or of 2).
void Ed448TwistPoint(Ed448Point& out, const Ed448Point& p);

// The one-field-element encoding of E' points: Ed448TwToField writes P as a single element,
// Ed448TwFromField reads one back as a point of E' with the constant c (c^2 = -39082, see
// Ed448TwFieldConstant). Reading back what was written gives 2P up to a point of order 2, which
// Ed448TwToField does not see. Ed448TwFromField returns all ones when s decodes, 0 when it does not
// (out is written either way). Both run the same sequence of operations for every input.
uint32_t Ed448TwFromField(Ed448Point& out, const Fe448& c, const Fe448& s);
void Ed448TwToField(Fe448& out, const Ed448Point& p);
// Ed448TwFieldConstant is the even square root of -39082 modulo p, computed on first use from any thread.
const Fe448& Ed448TwFieldConstant();

// Ed448BaseRecords: the base point B of RFC 8032 as affine coordinates, as a point of E, and its twist B'.
struct Ed448Base {
  Ed448Affine affine;
  Ed448Point point;
  Ed448Point twisted;
};
const Ed448Base& Ed448BaseRecords();

// Scalars are 14 little-endian 32-bit words.
// Ed448BaseMul sets out = [s]B on E in time independent of s: 0, or 0x90001 unless words is 14.
[[nodiscard]] int Ed448BaseMul(Ed448Point& out, const uint32_t* s, int32_t words);
// Ed448ScalarMulVt sets p = [s]p on E by double-and-add (variable time): 0, or 0x90001 unless words is 14.
[[nodiscard]] int Ed448ScalarMulVt(Ed448Point& p, const uint32_t* s, int32_t words);
// Ed448TwScalarMul sets p = [s]p on E' for p of the prime-order subgroup (up to a point of order 2),
// by signed 5-bit fixed windows; the table reads are indexed by the digits of s.
void Ed448TwScalarMul(Ed448Point& p, const uint32_t* s);
// Ed448TwBaseMulComb sets out = [s]B' from the first bits bits of s with the comb table; the entries
// are selected by masks, so the time does not depend on s. 1, or 0 when bits exceeds 448.
int Ed448TwBaseMulComb(Ed448Point& out, const uint32_t* s, int32_t bits);
// Ed448TwDoubleScalarMulVt sets p = [s1]p + [s2]B' on E' (variable time): 0 or 0x90003.
[[nodiscard]] int Ed448TwDoubleScalarMulVt(Ed448Point& p, const uint32_t* s1, int32_t bits1, const uint32_t* s2,
                                           int32_t bits2);

}  // namespace velmora::crypto
