// PuTTY private key files (PPK): the reader of format versions 2 and 3 and the writer of version 2. The
// key travels in the SSH wire form of ssh_public_key.h as a public and a private blob, bound to the
// file's header by a MAC (HMAC-SHA-1 in version 2, HMAC-SHA-256 in version 3) and, with a password,
// encrypted with AES-256-CBC under a key from SHA-1 (version 2) or Argon2 (version 3). One thread at a
// time per key record.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/objects/key_record.h"

namespace velmora::keystore {

// kBadPuttyKey: not a PPK file, a missing or misnamed line, an unknown encryption or derivation name,
// Argon2 parameters outside the limits below, an empty or undecodable blob, a cipher failure, a MAC
// mismatch, an unknown key type or curve identifier, a short blob.
inline constexpr int kBadPuttyKey = 280;
// kNoPuttyForm: a key the writer has no PPK form for.
inline constexpr int kNoPuttyForm = 1424;
// kPuttyFipsRefused: version 3 encrypted files and EdDSA keys while UseFIPSCompliantAPI is on, and
// Argon2DeriveKey under that setting.
inline constexpr int kPuttyFipsRefused = 9999;

// The Argon2 limits of version 3 files, checked before any work: memory at most 262144 KiB, lanes 1 to
// 16, passes at least 1 and memory × passes at most 4194304.
inline constexpr int64_t kPpkMaxArgon2MemoryKib = 262144;
inline constexpr int64_t kPpkMaxArgon2Lanes = 16;
inline constexpr int64_t kPpkMaxArgon2Work = 4194304;

// ReadPuTTYKey reads a PPK file of length bytes into key (handed in reset), the comment as the attribute
// "Comment": 0, 280 or 9999, or a code of the digest, cipher or Argon2 operations. A wrong password and a
// failed key field set error_text (when given) to "Error decoding key: The specified password is not
// correct."; the FIPS refusals set their own texts. On failure key holds what was read so far and is
// for the caller to discard.
[[nodiscard]] int ReadPuTTYKey(crypto::KeyRecord& key, const void* data, int32_t length, const char* password,
                               core::BufferCore* error_text);

// WritePuTTYKeyFile sets out to key as a version 2 PPK file (CR LF lines), encrypted when password is
// not empty. The comment is the key's "Comment" attribute, else "<type>-key-" and today's UTC date as
// yyyyMMdd. Integers are written as canonical mpints. 0, 1424, or a code of the operations it calls
// (out unchanged then).
[[nodiscard]] int WritePuTTYKeyFile(crypto::KeyRecord& key, const char* password, core::BufferCore& out);

// Argon2DeriveKey sets out to tag_length bytes of Argon2 (variant 0 d, 1 i, 2 id) of the password under
// salt, passes, memory in KiB and lanes, with the optional secret and associated data (negative lengths
// count as 0): 9999 while UseFIPSCompliantAPI is on, else Argon2Hash's result.
[[nodiscard]] int Argon2DeriveKey(uint32_t variant, const uint8_t* password, uint32_t password_length,
                                  const uint8_t* salt, int32_t salt_length, uint32_t passes, uint32_t memory_kib,
                                  uint32_t lanes, uint32_t tag_length, core::BufferCore& out, const uint8_t* secret,
                                  int32_t secret_length, const uint8_t* associated_data, int32_t ad_length);

namespace test {
// SetPpkArgon2Limits replaces the memory and memory × passes limits (0 restores the defaults), so that
// hostile inputs stay fast. Process-wide; tests only.
void SetPpkArgon2Limits(int64_t max_memory_kib, int64_t max_work);
}  // namespace test

}  // namespace velmora::keystore
