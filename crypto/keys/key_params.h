// Key parameter sets (RSA, DSA, elliptic curve) and the key sizes each kind accepts. Every number is an
// unsigned big-endian Buffer; an empty Buffer means the number is absent. Operations return 0 or the
// first failing Buffer or BigInt code (200 when memory runs out); a failure leaves what was written so
// far in place.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/keys/curve_params.h"

namespace velmora::crypto {

class EccEngine;

inline constexpr int32_t kKeyKindRsa = 0;
inline constexpr int32_t kKeyKindDsa = 1;
inline constexpr int32_t kKeyKindEc = 3;

inline constexpr int kKeySizeRefused = 1206;

// CheckKeySize: RSA (kind 0) 384..4096 in steps of 8, DSA (1, 2) 512..4096 in steps of 64, kind 3
// exactly 128, other kinds only 0; 1206 otherwise.
[[nodiscard]] int CheckKeySize(int32_t kind, int32_t bits);

struct KeyParams {
  explicit KeyParams(int32_t kind) : Kind(kind) {}
  virtual ~KeyParams() = default;
  int32_t Kind;
};

struct RsaKeyParams : KeyParams {
  RsaKeyParams() : KeyParams(kKeyKindRsa) {}
  core::Buffer Exponent;
  core::Buffer Modulus;
  core::SecureBuffer P;
  core::SecureBuffer Q;
  core::SecureBuffer DP;
  core::SecureBuffer DQ;
  core::SecureBuffer InverseQ;
  core::SecureBuffer D;

  [[nodiscard]] int CopyFrom(const RsaKeyParams& other);
  [[nodiscard]] int Clear();
  bool HasPrivateKey() const;
  bool HasPublicKey() const;
  // ModulusByteLength: the modulus length without its leading zero bytes, rounded up to 8.
  int32_t ModulusByteLength() const;
  // CompleteCrt computes whichever of DP, DQ and InverseQ is missing when D, P and Q are present.
  [[nodiscard]] int CompleteCrt();
  // RecomputeCrt recomputes all three from D, P and Q (nothing when one of those is missing).
  [[nodiscard]] int RecomputeCrt();
  // PadToFixedLength: Modulus and D to ModulusByteLength bytes, the CRT values and primes to half.
  [[nodiscard]] int PadToFixedLength();
};

struct DsaKeyParams : KeyParams {
  DsaKeyParams() : KeyParams(kKeyKindDsa) {}
  core::Buffer P;
  core::Buffer Q;
  core::Buffer G;
  core::Buffer Y;
  core::Buffer J;
  core::SecureBuffer X;
  core::SecureBuffer Seed;
  int32_t Counter = 0;

  [[nodiscard]] int CopyFrom(const DsaKeyParams& other);
  [[nodiscard]] int Clear();
  bool HasPrivateKey() const;
  bool HasPublicKey() const;
  // ComputePublicKey sets Y = G^X mod P when the private key is there and the public one is not.
  [[nodiscard]] int ComputePublicKey();
  // PadToFixedLength fits P, G, Y to the modulus size and Q, X to the subgroup size.
  [[nodiscard]] int PadToFixedLength();
};

struct EcKeyParams : KeyParams {
  EcKeyParams() : KeyParams(kKeyKindEc) {}
  core::SecureBuffer D;
  core::Buffer X;
  core::Buffer Y;
  int32_t KeyType = 0;
  CurveParams* Curve = nullptr;  // a table entry, not owned
  core::Buffer PublicKey;
  core::SecureBuffer PrivateKey;

  [[nodiscard]] int CopyFrom(const EcKeyParams& other, bool include_private);
  [[nodiscard]] int Clear();
  // Types 3 to 6 (Ed25519, Ed448, X25519, X448) use the raw PublicKey and PrivateKey octets.
  bool UsesRawKeys() const { return KeyType >= 3 && KeyType <= 6; }
  bool HasPrivateKey() const;
  bool HasPublicKey() const;
  // Key-type classes, compared unsigned so a type outside the set (negative included) is false: the SEC 2
  // prime curves (0-2, 7-10), the Brainpool curves (11-24, regular and twisted), EdDSA (3, 4), and each
  // Edwards or Montgomery curve alone or by field.
  bool IsSecCurve() const { return static_cast<uint32_t>(KeyType) <= 2 || (static_cast<uint32_t>(KeyType) - 7) <= 3; }
  bool IsBrainpool() const { return static_cast<uint32_t>(KeyType) - 11 <= 13; }
  bool IsEdDsa() const { return static_cast<uint32_t>(KeyType) - 3 <= 1; }
  bool IsEd25519() const { return KeyType == 3; }
  bool IsEd448() const { return KeyType == 4; }
  bool IsX25519() const { return KeyType == 5; }
  bool IsX448() const { return KeyType == 6; }
  bool IsCurve25519() const { return KeyType == 3 || KeyType == 5; }
  bool IsCurve448() const { return KeyType == 4 || KeyType == 6; }
  core::BufferCore& PrivatePart() { return UsesRawKeys() ? static_cast<core::BufferCore&>(PrivateKey) : D; }
  // GetCurve: the table curve of the key type (cached), or null.
  CurveParams* GetCurve();
  // SetCurveOid: the key type of a curve OID; -1 (type -1) when unknown.
  int SetCurveOid(const char* oid);
  int32_t BitLength() const { return EcKeyTypeBitLength(KeyType); }
  // SetPublicPoint decodes SEC 1 point octets into X and Y: 0; 1401 without a curve or for an invalid
  // point, malformed or off the curve (X and Y then unchanged); the decoder's code. (ec/ec_agreement.cpp)
  [[nodiscard]] int SetPublicPoint(const core::BufferCore& octets);
  // Validate: 0 for a usable key, 1401 for a key type of -1 or without a complete curve, or a key that
  // fails the check by type (with the engine's FullKeyCheck). (ec/ec_key_ops.cpp)
  [[nodiscard]] int Validate(const EccEngine& engine);
};

// DsaPrimeByteLengthRounded: the length of P rounded to the nearest multiple of 8 bytes.
int32_t DsaPrimeByteLengthRounded(const DsaKeyParams& params);

// HexToPaddedBytes: hex text (odd length gets a leading 0) as bytes, left-padded to minimum_length.
[[nodiscard]] int HexToPaddedBytes(const char* text, int32_t minimum_length, core::BufferCore& out);
// AppendBytesReversed appends the bytes last first: min(count, length) of them, or with pad exactly
// count, zeros beyond length.
[[nodiscard]] int AppendBytesReversed(core::BufferCore& out, const uint8_t* bytes, int32_t length, int32_t count,
                                      bool pad);

// SharedBufferRef: a reference-counted Buffer; Release drops one reference and nulls the holder.
struct SharedBuffer {
  int32_t References = 1;
  core::Buffer Data;
};
void ReleaseSharedBuffer(SharedBuffer*& holder);

}  // namespace velmora::crypto
