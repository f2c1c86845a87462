// Pfx, a PKCS #12 container (RFC 7292) read into memory: its private keys (key bags and shrouded key
// bags) and X.509 certificates in bag order, the localKeyId values of the bags, and its MacData. The MAC
// is checked when the container has one, except in FIPS mode, where the PKCS #12 derivation is refused.
// Encrypted bags are opened with the PBE schemes of pki/password_encryption.h. One thread at a time.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "core/ptr_array.h"
#include "core/str_list.h"
#include "crypto/objects/key_record.h"
#include "pki/certificate.h"

namespace velmora::pki {

// kPfxMacMismatch: the MAC does not match (tampered content or a wrong password).
inline constexpr int kPfxMacMismatch = 500;

class Pfx {
 public:
  Pfx() = default;
  virtual ~Pfx();
  Pfx(const Pfx&) = delete;
  Pfx& operator=(const Pfx&) = delete;

  // Load stores length bytes of data and the password (null counts as "") and decodes them. 0; 447 for
  // no data; Decode's codes.
  [[nodiscard]] static int Load(const uint8_t* data, int32_t length, const char* password, Pfx& pfx);
  // Decode empties the lists and decodes the input. 0; 447 for a missing element; 446 with the decode
  // error text for a malformed structure; 500 for a MAC mismatch or a key that does not decode after
  // decryption ("Private key is not parsed."); 271 for a PBE scheme, MAC digest or iteration count that
  // is not supported; the certificate and key readers' codes. What was read before a failure stays.
  [[nodiscard]] virtual int Decode();
  // Copy makes destination a copy of every field and list of source.
  [[nodiscard]] static int Copy(Pfx& destination, const Pfx& source);
  // Clone returns a new copy of source (delete it), or null when memory runs out.
  static Pfx* Clone(const Pfx& source);
  // SetDecodeError stores text as the decode error text and returns 446.
  int SetDecodeError(const char* text);
  // GetCurrentCertificate returns the certificate at currentIndex, an empty one made in an empty slot;
  // null for an index outside the list or when memory runs out.
  Certificate* GetCurrentCertificate();

  int32_t currentIndex = 0;
  core::StrList localKeyIds;
  core::StrList shroudedKeyIds;
  core::Buffer input;
  int32_t version = 3;
  core::Buffer macDigestOid;
  core::Buffer macDigest;
  core::Buffer macSalt;
  int32_t macIterations = 1;
  core::SecureBuffer password;
  core::Buffer decodeError;
  core::PtrArray<crypto::KeyEntry> keys;
  core::PtrArray<Certificate> certificates;
};

}  // namespace velmora::pki
