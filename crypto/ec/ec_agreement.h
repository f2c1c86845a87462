// Elliptic-curve key agreement, key generation and the SEC 1 point encoding (SEC 1 v2 section 2.3.3
// and 2.3.4) over the key types of EcKeyParams: ECDH on the Weierstrass curves, X25519 and X448 for
// key types 5 and 6, key pairs for all 25 key types, and the public point of a private scalar.
//
// Every number is an unsigned big-endian Buffer; X and Y are written with the curve's field length and
// D with the byte length of the order n. Peer points are checked before any agreement: a point that
// is missing, off its curve or at infinity, and a shared point at infinity, give kEcInvalidKey with
// nothing written to the outputs. No shared state: any thread may call these at once on its own keys.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/keys/curve_params.h"
#include "crypto/keys/key_params.h"

namespace velmora::crypto {

inline constexpr int kEcNoPrivatePart = 0x81000;  // EcPublicFromPrivate without D

// EcdhRawAgreement puts the raw shared secret of own_private and the peer's public part into out: 32
// bytes of X25519 for a peer of type 5, 56 bytes of X448 for type 6 (own_private and the peer's
// PublicKey are then the raw octets; an all-zero result gives 0x90002), otherwise the x-coordinate of
// EcdhPointAgreement. 0 or a code; on failure out is left as it was.
[[nodiscard]] int EcdhRawAgreement(const core::BufferCore& own_private, const EcKeyParams& peer, int32_t cofactor,
                                   core::BufferCore& out);

// EcdhPointAgreement computes S = d Q for the scalar own_private and the peer's point (X, Y); with
// cofactor non-zero and a curve cofactor h >= 2, d is first multiplied by h. x(S) and y(S) go to out_x
// and out_y with the field length. 0; kEcInvalidKey for a key type without a Weierstrass curve, a peer
// point that is missing, too long, off the curve or at infinity, or S at infinity; a field code. On
// failure neither output is written.
[[nodiscard]] int EcdhPointAgreement(const core::BufferCore& own_private, const EcKeyParams& peer, int32_t cofactor,
                                     core::BufferCore& out_x, core::BufferCore& out_y);

// GenerateEcKey clears params and fills D, X and Y with a fresh key pair of the Weierstrass key type:
// 0; kEcInvalidKey for a type without such a curve; a field or Buffer code.
[[nodiscard]] int GenerateEcKey(int32_t key_type, EcKeyParams& params);

// GenerateOkpKey sets the key type and fills PrivateKey with random octets (clamped for X25519 and
// X448 by RFC 7748 section 5) and PublicKey with the matching public key, for types 3 to 6: 0; 1410 for
// any other type; the code of the public-key derivation or of a Buffer.
[[nodiscard]] int GenerateOkpKey(int32_t key_type, EcKeyParams& params);

// OkpPublicFromPrivate derives the public octets of a type 3 to 6 private key into out: the
// derivation's code, or 1410 for another type.
[[nodiscard]] int OkpPublicFromPrivate(int32_t key_type, const core::BufferCore& private_key, core::BufferCore& out);

// EcPublicFromPrivate sets X and Y to d G: 0; kEcNoPrivatePart without D; kEcInvalidKey for a key type
// without a Weierstrass curve or a d of 0 mod n; a field or Buffer code.
[[nodiscard]] int EcPublicFromPrivate(EcKeyParams& params);

// EncodeEcPoint writes the SEC 1 octets of (x, y) on curve to out (replaced): 0x04 x y, 0x02/0x03 x
// (compressed) or 0x06/0x07 x y (hybrid), coordinates right-aligned in the field length. 0;
// kEcInvalidKey for a coordinate of 0 or more than field-length bytes, a compressed or hybrid request on
// a curve of neither form, or a Buffer code.
[[nodiscard]] int EncodeEcPoint(const core::BufferCore& x, const core::BufferCore& y, const CurveParams& curve,
                                bool compressed, bool hybrid, core::BufferCore& out);

// EncodeEcPublicPoint encodes the key's public point, uncompressed or compressed: 0, kEcInvalidKey
// without a curve or point, or a Buffer code.
[[nodiscard]] int EncodeEcPublicPoint(EcKeyParams& params, bool compressed, core::BufferCore& out);

// DecodeEcPointOctets reads SEC 1 point octets for curve into x and y and sets valid to 1, or sets
// valid to 0 for a malformed point: empty input, the point at infinity (0x00), a wrong length, an
// unknown first byte, or a compressed x that is no point's x. Uncompressed and hybrid points are taken
// as they are (their hybrid bit is not compared with y; EcKeyParams::SetPublicPoint and the agreement
// check the curve equation). Returns
// 0 or a field or Buffer code; x and y are written only for a valid point.
[[nodiscard]] int DecodeEcPointOctets(const core::BufferCore& octets, const CurveParams& curve, int32_t& valid,
                                      core::BufferCore& x, core::BufferCore& y);

}  // namespace velmora::crypto
