// The shapes of the key-pair entry points of the platform's "bcrypt" module: the DSA and Diffie-Hellman
// key blobs, the Diffie-Hellman parameter header, the parameter list of BCryptDeriveKey and the statuses
// a signature check gives. Plain data only; usable without the crypto modules being built.
//
// Blob layouts, all numbers big-endian, each header field a 32-bit value in the platform's byte order:
// - DSA version 1 (512 to 1024 bits): magic, key length, Count[4], Seed[20], q[20], then P, G, Y of key
//   length bytes each and, in a private blob, X[20].
// - DSA version 2 (1025 to 3072 bits): magic, key length, hash algorithm, standard version, seed length,
//   group size, Count[4], then the seed, q (group size), P, G, Y and, in a private blob, X (group size).
// - Diffie-Hellman key: magic, key length L, then the prime, the generator, the public value and, in a
//   private blob, the private value, each L bytes.
// - Diffie-Hellman parameters: total length (2L + 12), magic, L, the prime and the generator.
#pragma once

#include <cstdint>

#include "platform/crypto/crypto_types.h"

namespace velmora::platform {

// Magics: the four letters in memory order, read as one 32-bit value.
constexpr ULONG kDsaPublicMagic = 0x42505344u;     // "DSPB"
constexpr ULONG kDsaPrivateMagic = 0x56505344u;    // "DSPV"
constexpr ULONG kDsaPublicMagicV2 = 0x32425044u;   // "DPB2"
constexpr ULONG kDsaPrivateMagicV2 = 0x32565044u;  // "DPV2"
constexpr ULONG kDhPublicMagic = 0x42504844u;      // "DHPB"
constexpr ULONG kDhPrivateMagic = 0x56504844u;     // "DHPV"
constexpr ULONG kDhParametersMagic = 0x4D504844u;  // "DHPM"

constexpr ULONG kDsaBlobHeaderSize = 52;     // through q
constexpr ULONG kDsaBlobV2HeaderSize = 28;   // through Count
constexpr ULONG kDsaV1SubgroupSize = 20;
constexpr ULONG kDsaHashSha256 = 1;          // hash algorithm of a version 2 blob
constexpr ULONG kDsaStandardFips186_3 = 1;   // standard version of a version 2 blob
constexpr ULONG kDhKeyBlobHeaderSize = 8;
constexpr ULONG kDhParameterHeaderSize = 12;

// One entry of a BCryptDeriveKey parameter list, and the list (version 0).
struct BCryptBuffer {
  ULONG cbBuffer;
  ULONG BufferType;
  void* pvBuffer;
};
struct BCryptBufferDesc {
  ULONG ulVersion;
  ULONG cBuffers;
  BCryptBuffer* pBuffers;
};
constexpr ULONG kBcryptBufferVersion = 0;

// Buffer types of the derivation parameters.
constexpr ULONG kKdfHashAlgorithm = 0;  // UTF-16 hash name with its terminator
constexpr ULONG kKdfSecretPrepend = 1;
constexpr ULONG kKdfSecretAppend = 2;
constexpr ULONG kKdfHmacKey = 3;
constexpr ULONG kKdfTlsPrfLabel = 4;
constexpr ULONG kKdfTlsPrfSeed = 5;
constexpr ULONG kKdfAlgorithmId = 8;    // the concatenation KDF's OtherInfo parts, 8 to 12 in order
constexpr ULONG kKdfPartyUInfo = 9;
constexpr ULONG kKdfPartyVInfo = 10;
constexpr ULONG kKdfSuppPubInfo = 11;
constexpr ULONG kKdfSuppPrivInfo = 12;
constexpr ULONG kTlsPrfSeedSize = 64;
constexpr ULONG kTlsPrfOutputSize = 48;

// A signature that does not verify: the key-storage family's code, and the status a BCrypt provider may
// give instead.
constexpr NTSTATUS kNteBadSignature = static_cast<NTSTATUS>(0x80090006u);
constexpr NTSTATUS kStatusInvalidSignature = static_cast<NTSTATUS>(0xC000A000u);

}  // namespace velmora::platform
