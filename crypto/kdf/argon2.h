// Argon2 (RFC 9106, version 0x13): Argon2d, Argon2i and Argon2id with their parameter record.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/digest/digest_cores.h"

namespace velmora::crypto {

constexpr int32_t kArgon2d = 0;
constexpr int32_t kArgon2i = 1;
constexpr int32_t kArgon2id = 2;
constexpr int kArgon2BadParameters = 1113;

// Argon2Params: type (kArgon2d/i/id), passes t, memory m in KiB, lanes p, tag length T in bytes, salt,
// secret K and associated data X (either may be empty).
struct Argon2Params {
  int32_t type = kArgon2id;
  int32_t passes = 3;
  int32_t memory_kib = 4096;
  int32_t lanes = 1;
  int32_t tag_length = 32;
  core::Buffer salt;
  core::SecureBuffer secret;
  core::Buffer associated;
  uint8_t length_word[4] = {};  // scratch for the little-endian length words
};

// Argon2TypeFromName maps "Argon2d" 0, "Argon2i" 1, "Argon2id" 2 (any case); anything else gives -1.
int32_t Argon2TypeFromName(const char* name);

// Argon2Hash writes the tag of password (password_length bytes) under params into out (sized to the tag
// length): 0; 1113 for parameters outside RFC 9106 section 3.1 (type not 0..2, lanes not 1..2^24-1,
// memory below 8 KiB per lane or 4 GiB and more, passes below 1, tag below 4 bytes, salt below 8 bytes,
// negative password length), refused before any memory is taken; 200 when the memory is not available.
[[nodiscard]] int Argon2Hash(Argon2Params& params, const uint8_t* password, int32_t password_length,
                             core::BufferCore& out);

// Argon2HashLongInit prepares hash for H' with output length out_length: BLAKE2b of min(out_length, 64)
// bytes that has taken LE32(out_length); 0, or 1113 for out_length below 1.
[[nodiscard]] int Argon2HashLongInit(Blake2bState& hash, int32_t out_length);
// Argon2HashLong is the variable-length hash H' of RFC 9106 section 3.3: out_length bytes of in into
// out; 0, or 1113 for out_length below 1.
[[nodiscard]] int Argon2HashLong(const uint8_t* in, int32_t in_length, int32_t out_length, uint8_t* out);

}  // namespace velmora::crypto
