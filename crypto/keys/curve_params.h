// Elliptic-curve domain parameters (short Weierstrass form over a prime or a binary field), the
// built-in named curves, the process-wide table of the curves keys may use, and the EC key types with
// their names, object identifiers and sizes.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::crypto {

inline constexpr uint32_t kCurveFormCustom = 0x6000;
inline constexpr uint32_t kCurveFormPrime = 0x6001;   // y^2 = x^3 + ax + b over GF(p)
inline constexpr uint32_t kCurveFormBinary = 0x6002;  // y^2 + xy = x^3 + ax^2 + b over GF(2^m)

inline constexpr uint32_t kFieldGeneric = 0x6100;
inline constexpr uint32_t kFieldP192 = 0x6101;
inline constexpr uint32_t kFieldP224 = 0x6102;
inline constexpr uint32_t kFieldP256 = 0x6103;
inline constexpr uint32_t kFieldP384 = 0x6104;
inline constexpr uint32_t kFieldP521 = 0x6105;
inline constexpr uint32_t kFieldSect163 = 0x6106;
inline constexpr uint32_t kFieldSect233 = 0x6107;
inline constexpr uint32_t kFieldSect283 = 0x6108;
inline constexpr uint32_t kFieldSect409 = 0x6109;
inline constexpr uint32_t kFieldSect571 = 0x610A;

inline constexpr uint32_t kCurveIdUnset = 0xFFFFFFFF;
inline constexpr uint32_t kCurveIdCustom = 80;
inline constexpr int kUnknownCurve = 1410;
inline constexpr int32_t kCurveTableSize = 23;

class CurveParams {
 public:
  // The empty curve, as explicit parameters start out: id unset, custom form and field, cofactor 1.
  CurveParams() = default;
  // A named curve (an unknown id leaves what was filled before the failure).
  explicit CurveParams(uint32_t curve_id) { (void)InitById(curve_id); }

  core::Buffer Field;  // p, or the reduction polynomial f as a bit string
  core::Buffer A;
  core::Buffer B;
  core::Buffer Gx;
  core::Buffer Gy;
  core::Buffer Seed;
  core::Buffer Order;  // unpadded
  uint32_t Cofactor = 1;
  uint32_t PolyExponents[4] = {0, 0, 0, 0};  // binary fields: bit length of f and its lowest set bits
  uint32_t FieldId = kCurveFormCustom;
  uint32_t CurveForm = kCurveFormCustom;
  uint32_t CurveId = kCurveIdUnset;

  // InitById: 0, 1410 for an unknown id, or a Buffer's code.
  [[nodiscard]] int InitById(uint32_t curve_id);
  [[nodiscard]] int SetFieldById(uint32_t field_id);
  [[nodiscard]] int SetField(const void* bytes, int32_t length);
  // SetPolyExponent stores one of the four binary-field exponents; storing the first (the degree m)
  // on a binary curve rebuilds Field from all four. Index outside 0..3: 1410.
  [[nodiscard]] int SetPolyExponent(int32_t index, uint32_t value);
  // RebuildBinaryPolynomial: Field = x^m + x^a + x^b + x^c + 1 for PolyExponents {m, a, b, c}, where
  // only positive exponents give terms, big-endian in (m + 1 + 7) / 8 bytes; m = 0 empties Field.
  [[nodiscard]] int RebuildBinaryPolynomial();
  // SetExplicit stores the parameters and then resolves the id: an id already set is kept as it is,
  // even when the new parameters belong to another curve.
  [[nodiscard]] int SetExplicit(const core::BufferCore& p, const core::BufferCore& a, const core::BufferCore& b,
                                const core::BufferCore& gx, const core::BufferCore& gy, const core::BufferCore& seed,
                                const core::BufferCore& order, uint32_t cofactor);
  // GetCurveId: the cached id, or the id of the first table curve with equal p, a, b, Gx, Gy and n
  // (whose whole record is then copied in), or 80.
  uint32_t GetCurveId();
  [[nodiscard]] int CopyFrom(const CurveParams& other);
  bool Equals(const CurveParams& other) const;
};

// IsCompleteCurve: a known id, a prime or binary form, a known field id and all six numbers present.
bool IsCompleteCurve(const CurveParams& curve);
// The table of the 23 curves keys may use, built on first use and kept for the life of the process.
CurveParams* CurveTableEntry(int32_t index);
CurveParams* FindCurveParams(uint32_t curve_id);
// CurveFieldByteLength: the length of p, or of a binary field element.
int32_t CurveFieldByteLength(const CurveParams& curve);
// ByteStringBitLength: bit length of the big-endian number in a Buffer.
int32_t ByteStringBitLength(const core::BufferCore& value);

// EC key types 0..24 ("secp256r1" ... "brainpoolp512t1").
int32_t EcKeyTypeToCurveId(int32_t type);
int32_t CurveIdToEcKeyType(uint32_t curve_id);
const char* EcKeyTypeToName(int32_t type);
int32_t EcCurveNameToKeyType(const char* name);
const char* EcKeyTypeToOid(int32_t type);
int32_t EcKeyTypeFromOid(const char* oid);
int32_t EcKeyTypeByteLength(int32_t type);
int32_t EcKeyTypeBitLength(int32_t type);
// KeyAlgorithmFromOid: "RSA", "DSA", "IdEcPublicKey", "EdDSA" or "Unknown".
const char* KeyAlgorithmFromOid(const char* oid);

}  // namespace velmora::crypto
