// The state of the EC engine's integrated encryption (ECIES style): settings, the symmetric cipher and
// HMAC keyed from the agreed secret, and the bytes held between streaming calls. The operations are
// members of EccEngine (ecc_engine.h); this record is one of its fields.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/cipher/internal_cipher.h"
#include "crypto/mac/hmac.h"

namespace velmora::crypto {

inline constexpr int kIesNotSetUp = 1409;         // decryption without a set-up that fixed R's length
inline constexpr int kIesBadKdfDigest = 1415;     // KdfDigest outside 0..4
inline constexpr int kIesBadMacDigest = 1416;     // MAC digest code outside 0..5
inline constexpr int kIesBadScheme = 1417;        // Scheme outside 0..3
inline constexpr int kIesBadMessage = 1418;       // too short, bad header, bad tag or bad padding

inline constexpr int32_t kIesAesCbc = 0;
inline constexpr int32_t kIes3DesCbc = 1;
inline constexpr int32_t kIesXor = 2;
inline constexpr int32_t kIesAesGcm = 3;

struct IntegratedEncryptionState {
  int32_t KdfDigest = 0;  // 0 SHA-1, 1 SHA-224, 2 SHA-256, 3 SHA-384, 4 SHA-512
  int32_t Scheme = kIesAesCbc;
  int32_t AesKeyBits = 256;
  int32_t MacKeyBits = 0;  // 0: the MAC digest's size (16 bytes of GCM nonce for scheme 3)
  int32_t Padding = 2;     // PKCS#7
  int32_t KdfCounterFlag = 0;
  int32_t AgreementFlag = 0;
  int32_t PrefixEphemeralPoint = 1;
  int32_t ZeroMacKey = 0;
  core::Buffer KdfSharedInfo;
  core::Buffer MacSharedInfo;
  core::Buffer Iv;
  InternalCipher Cipher;
  InternalHmac Mac;
  core::Buffer EphemeralPoint;  // R still to be written (encrypting) or received so far (decrypting)
  core::SecureBuffer Pending;
  int32_t EphemeralPointLength = 0;
  int32_t KdfVariant = 0;
  // Set by an encrypting set-up of a block-cipher scheme and cleared by the finish, so that one set-up
  // (one ephemeral key, one key and nonce) serves exactly one message.
  int32_t EncryptReady = 0;
};

// IntegratedMac feeds extra (and, with with_length, its bit length as 8 big-endian bytes) to mac,
// finishes it and appends the value to out: 0 or the HMAC's or Buffer's code.
[[nodiscard]] int IntegratedMac(InternalHmac& mac, const core::BufferCore& extra, int32_t with_length,
                                core::BufferCore& out);

}  // namespace velmora::crypto
