// OpenSSH private keys ("openssh-key-v1"): the reader of the binary body inside the "OPENSSH PRIVATE
// KEY" armour and the writer of the body and of the armoured file. The private section is protected by
// AES in CBC or CTR mode under key and IV from bcrypt-pbkdf when a password is given. One thread at a
// time per key record.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/keys/key_params.h"
#include "crypto/objects/key_record.h"

namespace velmora::keystore {

// kBadOpenSshKey: a malformed, cut or undecryptable body, an unsupported cipher, bcrypt rounds outside
// 1 to 1024, an unknown key type, a curve or point that does not decode.
inline constexpr int kBadOpenSshKey = 280;
// kNoOpenSshForm: a writer cipher other than "aes256-cbc", or a key without an OpenSSH form.
inline constexpr int kNoOpenSshForm = 1424;
// kOpenSshMaxRounds: the most bcrypt rounds a body may ask for (OpenSSH writes 16).
inline constexpr int64_t kOpenSshMaxRounds = 1024;

// ReadOpenSshPrivateKey reads an "openssh-key-v1" body into key (handed in reset): 0; 280; 9999 when
// bcrypt-pbkdf is refused in FIPS-compliant mode. The cipher names taken are those that begin with
// "aes" and hold "-cbc" or "-ctr"; "aes128" and "aes192" take 16 and 24 key bytes, others 32. A wrong
// password shows as a failed read (280). The comment is kept, as the attribute "Comment", for EdDSA keys
// only. On failure key holds what was read so far and is for the caller to discard.
[[nodiscard]] int ReadOpenSshPrivateKey(crypto::KeyRecord& key, const void* body, uint32_t length,
                                        const char* password);

// WriteOpenSshPrivateKey sets out to the body of the key in exactly one of dsa, rsa and ec (EC and EdDSA
// keys): with a password encrypted with cipher_name ("" for "aes256-cbc", the only one written) under
// bcrypt-pbkdf of rounds rounds (below 1: 16), else in plaintext. Integers are canonical mpints. 0;
// 1424; the code of the key, random, KDF or cipher operation that failed (out unchanged then).
[[nodiscard]] int WriteOpenSshPrivateKey(core::BufferCore& out, const char* password, const char* comment,
                                         const crypto::DsaKeyParams* dsa, const crypto::RsaKeyParams* rsa,
                                         const crypto::EcKeyParams* ec, const char* cipher_name, int32_t rounds);

// ArmourOpenSshPrivateKey sets out to key as an "OPENSSH PRIVATE KEY" PEM file with LF line ends (OpenSSH
// reads no other), encrypted with aes256-cbc and 16 rounds when password is not empty: the writer's codes (1424 for a record type
// without an OpenSSH form) or PemEncode's.
[[nodiscard]] int ArmourOpenSshPrivateKey(crypto::KeyRecord& key, const char* password, const char* comment,
                                          core::BufferCore& out);

namespace test {
// SetOpenSshMaxRounds replaces the bcrypt round limit (0 restores 1024), so that hostile inputs stay
// fast. Process-wide; tests only.
void SetOpenSshMaxRounds(int64_t max_rounds);
}  // namespace test

}  // namespace velmora::keystore
