// The software key storage provider's EC keys (ksp_software.cpp holds the handles): OpenSSL keys on
// P-256, P-384 and P-521, their BCRYPT_ECCKEY_BLOBs, ECDSA over a hash and ECDH. Blob: the magic "ECS1"
// to "ECS6" (signing) or "ECK1" to "ECK6" (agreement), its digit odd for a public and even for a
// private blob, 1-2 P-256, 3-4 P-384, 5-6 P-521; the field length L (32, 48, 66) as 32-bit
// little-endian; then X, Y and, in a private blob, D, each big-endian at L bytes. A private blob whose X
// and Y are all zero gets its public point computed from D. Any thread; no state.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <vector>

#include "platform/crypto/ncrypt_types.h"

namespace velmora::platform::ksp::ec {

constexpr int kNoCurve = -1;

// CurveOfAlgorithm: 0, 1, 2 for "ECDSA_P256", "ECDSA_P384", "ECDSA_P521"; kNoCurve for other names.
int CurveOfAlgorithm(const char16_t* name);
// CurveOfKey: the curve of an OpenSSL EC key on one of the three curves; kNoCurve otherwise.
int CurveOfKey(const EVP_PKEY* pkey);
// AlgorithmName is the name CurveOfAlgorithm reads, with its terminator.
const char16_t* AlgorithmName(int curve);
// FieldLength: 32, 48 or 66; Bits: 256, 384 or 521.
DWORD FieldLength(int curve);
DWORD Bits(int curve);

// Generate makes a key on the curve into *pkey (owned by the caller): 0 or NTE_FAIL.
SECURITY_STATUS Generate(int curve, EVP_PKEY** pkey);
// ImportBlob checks a blob of the kind private_blob names and makes its key into *pkey (owned by the
// caller), with its curve and use: 0; NTE_BAD_DATA for a wrong magic, length or size, a point off the
// curve or a coordinate not below the field prime, D outside 1 .. n - 1, or X, Y that are not D times G.
SECURITY_STATUS ImportBlob(bool private_blob, const uint8_t* input, DWORD input_size, EVP_PKEY** pkey, int* curve,
                           bool* agreement);
// WriteBlob writes the key's blob (size only when output is null): 0, NTE_BUFFER_TOO_SMALL or NTE_FAIL.
SECURITY_STATUS WriteBlob(const EVP_PKEY* pkey, int curve, bool agreement, bool private_blob, uint8_t* output,
                          DWORD output_size, DWORD* result);
// Sign writes r || s at 2 L bytes (size only when output is null); Verify: 0 or NTE_BAD_SIGNATURE.
SECURITY_STATUS Sign(EVP_PKEY* pkey, int curve, const uint8_t* hash, DWORD hash_size, uint8_t* output,
                     DWORD output_size, DWORD* result);
SECURITY_STATUS Verify(EVP_PKEY* pkey, int curve, const uint8_t* hash, DWORD hash_size, const uint8_t* signature,
                       DWORD signature_size);
// Agree puts the x-coordinate of own's private scalar times peer's point into z, big-endian at L bytes:
// 0 or NTE_FAIL.
SECURITY_STATUS Agree(EVP_PKEY* own, EVP_PKEY* peer, int curve, std::vector<uint8_t>& z);

}  // namespace velmora::platform::ksp::ec
