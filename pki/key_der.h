// Key DER structures: PKCS #1 RSA keys, the traditional DSA layout, SEC 1 EC private keys, PKCS #8
// PrivateKeyInfo (RFC 5208, RFC 5958) and SubjectPublicKeyInfo, written from the parameter sets of a key
// record and read back into them. Numbers are unsigned big-endian; an empty Buffer is an absent value.
// The writers set out to DER, or to a PEM block under the structure's label when pem is set.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/keys/key_params.h"
#include "crypto/objects/key_record.h"

namespace velmora::pki {

// EncodeRsaKeyDer writes RSAPrivateKey (version 0, then the present fields of Modulus, Exponent, D, P, Q,
// DP, DQ, InverseQ) when D or both P and Q are present, else RSAPublicKey; "RSA PRIVATE KEY" or "RSA
// PUBLIC KEY". 0, 445, 200.
[[nodiscard]] int EncodeRsaKeyDer(const crypto::RsaKeyParams& params, bool pem, core::BufferCore& out);
// EncodeDsaKeyDer writes version 0, P, Q, G, Y, X when X is present (Y computed into params first when
// missing), else P, Q, G, Y; "DSA PRIVATE KEY" or "DSA PUBLIC KEY". 0, 445, 2003, 200.
[[nodiscard]] int EncodeDsaKeyDer(crypto::DsaKeyParams& params, bool pem, core::BufferCore& out);
// EncodeRsaKeyInfo and EncodeDsaKeyInfo write PrivateKeyInfo for a private key, else
// SubjectPublicKeyInfo; "PRIVATE KEY" or "PUBLIC KEY".
[[nodiscard]] int EncodeRsaKeyInfo(const crypto::RsaKeyParams& params, bool pem, core::BufferCore& out);
[[nodiscard]] int EncodeDsaKeyInfo(crypto::DsaKeyParams& params, bool pem, core::BufferCore& out);
// EncodeEcKeyInfo writes PrivateKeyInfo with a SEC 1 ECPrivateKey (D as stored, the public point in [1]
// when X and Y are present) for a key with D unless public_only, else SubjectPublicKeyInfo. -1 for a key
// type without a curve OID.
[[nodiscard]] int EncodeEcKeyInfo(const crypto::EcKeyParams& params, bool pem, core::BufferCore& out,
                                  bool public_only);
// EncodeOkpKeyInfo writes an Ed25519, Ed448, X25519 or X448 key: PrivateKeyInfo version 0 holding the
// private octets (RFC 8410 section 7, no public key) unless public_only or there are none, else
// SubjectPublicKeyInfo. -1 for another key type.
[[nodiscard]] int EncodeOkpKeyInfo(const crypto::EcKeyParams& params, bool pem, core::BufferCore& out,
                                   bool public_only);

// ReadRsaPrivateKeyDer fills params from RSAPrivateKey. 0 or the first failing reader's code (446, 447).
[[nodiscard]] int ReadRsaPrivateKeyDer(const uint8_t* bytes, int32_t length, crypto::RsaKeyParams& params);
// ReadDsaPrivateKeyDer fills params from the traditional layout (version, P, Q, G, Y, X) or the PKCS #8
// one (version, AlgorithmIdentifier with P, Q, G, OCTET STRING holding X; Y computed).
[[nodiscard]] int ReadDsaPrivateKeyDer(const uint8_t* bytes, int32_t length, crypto::DsaKeyParams& params);
// ReadEcPrivateKeyDer fills params from SEC 1 ECPrivateKey or from a PKCS #8 EC key. -1 for an unknown
// curve; 1401 for a point off the curve.
[[nodiscard]] int ReadEcPrivateKeyDer(const uint8_t* bytes, int32_t length, crypto::EcKeyParams& params);

// Pkcs8KeyInfo is what ReadPkcs8PrivateKeyInfo reads.
struct Pkcs8KeyInfo {
  int32_t version = 0;
  core::Buffer algorithm;  // the OID text
  crypto::KeyRecord key;
};

// ReadPkcs8PrivateKeyInfo reads an RSA (CRT values recomputed), DSA, EC, Ed25519, Ed448, X25519 or X448
// PrivateKeyInfo; attributes go to the key's attribute lists. 0; 447 for fewer than two elements; 446 for
// a malformed element or another algorithm (RSASSA-PSS among them); -1 for an unknown curve; 1401.
[[nodiscard]] int ReadPkcs8PrivateKeyInfo(const uint8_t* bytes, int32_t length, Pkcs8KeyInfo& out);

}  // namespace velmora::pki
