#include "crypto/kdf/kdf_password.h"

#include <cstring>
#include <utility>

#include "core/byte_order.h"
#include "core/code_page.h"
#include "crypto/cipher/blowfish.h"
#include "crypto/digest/digest_registry.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

constexpr int32_t kMaxDigest = 64;
constexpr int32_t kMaxBlock = 144;  // the SHA3-224 rate
constexpr int32_t kBcryptOutput = 48;
constexpr int32_t kBcryptStride = 2;
constexpr int32_t kBcryptKeyLength = 32;
constexpr int32_t kBcryptIvLength = 16;

// AppendRepeated appends source repeated to the next multiple of v bytes (nothing for an empty source).
int AppendRepeated(core::BufferCore& out, const core::BufferCore& source, int32_t v) {
  if (source.IsEmpty()) return 0;
  const int32_t total = (source.Length() + v - 1) / v * v;
  int rc = 0;
  for (int32_t done = 0; done < total && rc == 0; done += source.Length()) {
    rc = out.Append(source.Data(), total - done < source.Length() ? total - done : source.Length());
  }
  return rc;
}

}  // namespace

int HashRepeat(HashObject* hash, int32_t iterations, const void* first, int32_t first_length, const void* second,
               int32_t second_length, const void* third, int32_t third_length) {
  hash->Reset();
  int rc = hash->Update(first, first_length, 0);
  if (rc == 0) rc = hash->Update(second, second_length, 0);
  if (rc == 0) rc = hash->Update(third, third_length, 1);
  uint8_t digest[kMaxDigest];
  for (int32_t i = 1; i < iterations && rc == 0; ++i) {
    const int32_t length = hash->DigestLength();
    std::memcpy(digest, hash->Digest(), static_cast<size_t>(length));
    hash->Reset();
    rc = hash->Update(digest, length, 1);
  }
  platform::SecureZero(digest, sizeof digest);
  return rc;
}

namespace {

// AddBlockPlusOne sets each v-byte block of i to (block + b + 1) mod 2^(8v), big-endian.
void AddBlockPlusOne(core::BufferCore& i, const uint8_t* b, int32_t v) {
  auto* bytes = reinterpret_cast<uint8_t*>(i.Data());
  for (int32_t block = 0; block + v <= i.Length(); block += v) {
    uint32_t carry = 1;
    for (int32_t k = v - 1; k >= 0; --k) {
      carry += uint32_t{bytes[block + k]} + b[k];
      bytes[block + k] = static_cast<uint8_t>(carry);
      carry >>= 8;
    }
  }
}

// Utf8PasswordToBmp writes the UTF-16BE form of a password that holds a byte of 0x80 or more and is
// UTF-8 that converts to UTF-16 and back unchanged into out (sized 2 * length + 2 by the caller) and sets
// *units to its byte count; *units stays 0 for any other password. 0, or 200 when the scratch copy
// cannot be had.
int Utf8PasswordToBmp(const uint8_t* bytes, int32_t length, core::BufferCore& out, int32_t* units) {
  bool high = false;
  for (int32_t i = 0; i < length && !high; ++i) high = bytes[i] >= 0x80;
  if (!high) return 0;
  int32_t wide = 0;
  if (!core::Utf8ToUtf16Le(reinterpret_cast<uint8_t*>(out.Data()), &wide, bytes, length)) return 0;
  // The converter substitutes U+FFFD for overlong forms, encoded surrogates and cut sequences; only
  // text that comes back byte for byte is taken as UTF-8.
  core::SecureBuffer back;
  int rc = back.Resize(wide * 2);
  if (rc != 0) return rc;
  int32_t narrow = 0;
  if (!core::Utf16LeToUtf8(reinterpret_cast<uint8_t*>(back.Data()), &narrow, out.Bytes(), wide) || narrow != length ||
      std::memcmp(back.Bytes(), bytes, static_cast<size_t>(length)) != 0) {
    return 0;
  }
  auto* units_le = reinterpret_cast<uint8_t*>(out.Data());
  for (int32_t i = 0; i + 1 < wide; i += 2) std::swap(units_le[i], units_le[i + 1]);
  *units = wide;
  return 0;
}

}  // namespace

int Pkcs12DeriveWithHash(Pkcs12Kdf& kdf, HashObject& hash_object, int32_t engine_id, int32_t iterations,
                         uint8_t diversifier, int32_t n, core::BufferCore& out) {
  HashObject* hash = &hash_object;
  const int32_t u = EngineDigestSize(engine_id);
  const int32_t v = Pkcs12BlockSize(engine_id);
  kdf.block_size = v;
  uint8_t d[kMaxBlock];
  uint8_t b[kMaxBlock];
  std::memset(d, diversifier, static_cast<size_t>(v));
  core::SecureBuffer bmp;
  core::SecureBuffer input;  // I = S || P
  core::SecureBuffer result;
  int rc = Pkcs12PasswordToBmp(kdf, bmp);
  if (rc == 0) rc = AppendRepeated(input, kdf.salt, v);
  if (rc == 0) rc = AppendRepeated(input, bmp, v);
  while (rc == 0 && result.Length() < n) {
    rc = HashRepeat(hash, iterations, d, v, input.Data(), input.Length(), nullptr, 0);
    if (rc == 0) rc = result.Append(hash->Digest(), u);
    if (rc == 0 && result.Length() < n) {
      for (int32_t k = 0; k < v; ++k) b[k] = hash->Digest()[k % u];
      AddBlockPlusOne(input, b, v);
    }
  }
  platform::SecureZero(b, sizeof b);
  if (rc == 0) rc = out.SetData(n > 0 ? n : 0, result.Data());
  return rc;
}

int32_t Pkcs12BlockSize(int32_t engine_id) {
  const DigestAlgorithm* row = DigestByEngineId(engine_id);
  return row != nullptr ? row->block_size : 64;
}

// ---- PBKDF2 -------------------------------------------------------------------------------------------

int Pbkdf2Internal(InternalHmac& hmac, int32_t digest_id, const uint8_t* password, int32_t password_length,
                   const uint8_t* salt, int32_t salt_length, int32_t iterations, int32_t key_bits, uint8_t* out) {
  int rc = hmac.SetKey(digest_id, password, password_length);
  if (rc != 0) return rc;
  const int32_t digest_size = HashDigestSize(digest_id);
  const int32_t key_bytes = key_bits / 8;
  if (key_bytes <= 0) return 0;
  // The limit of 29 digest lengths is reported as running out of memory, as callers expect.
  if (key_bytes > kPbkdf2MaxBlocks * digest_size) return core::kOutOfMemory;
  const int32_t blocks = (key_bytes + digest_size - 1) / digest_size;
  core::SecureBuffer scratch;
  rc = scratch.Resize(blocks * digest_size);
  auto* bytes = reinterpret_cast<uint8_t*>(scratch.Data());
  for (int32_t i = 0; i < blocks && rc == 0; ++i) {
    rc = Pbkdf2Block(hmac, salt, salt_length, iterations, static_cast<uint32_t>(i), bytes + i * digest_size);
  }
  if (rc == 0) std::memcpy(out, bytes, static_cast<size_t>(key_bytes));
  return rc;
}

int Pbkdf2Block(InternalHmac& hmac, const uint8_t* salt, int32_t salt_length, int32_t iterations, uint32_t index,
                uint8_t* out) {
  const int32_t digest_size = hmac.DigestBits() / 8;
  std::memset(out, 0, static_cast<size_t>(digest_size));
  if (iterations < 1) return 0;
  uint8_t counter[4];
  core::PutUIntBigEndian(index + 1, counter, 0, 4);
  // The object keeps the states after the password's padded blocks, so every HMAC below starts from
  // them instead of keying again.
  uint8_t u[kMaxDigest];
  int rc = hmac.Update(salt, salt_length, 0);
  if (rc == 0) rc = hmac.Update(counter, 4, 1);
  for (int32_t j = 0; j < iterations && rc == 0; ++j) {
    if (j > 0) rc = hmac.Update(u, digest_size, 1);
    if (rc != 0) break;
    std::memcpy(u, hmac.Digest(), static_cast<size_t>(digest_size));
    for (int32_t k = 0; k < digest_size; ++k) out[k] ^= u[k];
  }
  platform::SecureZero(u, sizeof u);
  return rc;
}

// ---- PKCS #12 -----------------------------------------------------------------------------------------

int Pkcs12PasswordToBmp(Pkcs12Kdf& kdf, core::BufferCore& out) {
  out.Clear();
  const int32_t length = kdf.password.Length();
  int rc = 0;
  if (length > 0) rc = length > INT32_MAX / 2 - 1 ? core::kOutOfMemory : out.Resize(length * 2 + 2);
  if (rc == 0 && length > 0) {
    const uint8_t* bytes = kdf.password.Bytes();
    int32_t units = 0;
    rc = Utf8PasswordToBmp(bytes, length, out, &units);
    if (rc == 0 && units == 0) {
      // Not UTF-8 with characters above ASCII: each byte is a character of its own value.
      for (int32_t i = 0; i < length; ++i) {
        out.SetByteAt(2 * i, 0);
        out.SetByteAt(2 * i + 1, bytes[i]);
      }
      units = length * 2;
    }
    if (rc == 0) rc = out.Resize(units + 2);
    if (rc == 0) {
      out.SetByteAt(units, 0);
      out.SetByteAt(units + 1, 0);
    } else {
      out.Clear();  // no half-converted password is left behind
    }
  }
  kdf.last_error = rc;
  return rc;
}

// ---- PEM key and IV -----------------------------------------------------------------------------------

int PemBytesToKeyWithHash(HashObject& hash_object, int32_t iterations, const char* password, const uint8_t* salt,
                          int32_t salt_length, int32_t total_length, int32_t order_flag, core::BufferCore& out) {
  if (password == nullptr) password = "";
  out.Clear();
  HashObject* hash = &hash_object;
  const auto password_length = static_cast<int32_t>(std::strlen(password));
  core::SecureBuffer previous;
  int rc = 0;
  while (rc == 0 && out.Length() < total_length) {
    if (order_flag == 0) {
      rc = HashRepeat(hash, iterations, previous.Data(), previous.Length(), password, password_length, salt,
                      salt_length);
    } else {
      rc = HashRepeat(hash, iterations, password, password_length, previous.Data(), previous.Length(), salt,
                      salt_length);
    }
    if (rc == 0) rc = previous.SetData(hash->DigestLength(), hash->Digest());
    if (rc == 0) rc = out.Append(previous);
  }
  if (rc == 0 && out.Length() > total_length) rc = out.Resize(total_length > 0 ? total_length : 0);
  if (rc != 0) out.Clear();
  return rc;
}

// ---- bcrypt-pbkdf -------------------------------------------------------------------------------------

namespace {

// BlowfishWork is the per-block working state of bcrypt-pbkdf, from the library's allocator.
struct BlowfishWork {
  uint32_t p[kBlowfishPWords];
  uint32_t s[4][kBlowfishSWords];
};

int Sha512Of(HashObject* hash, const void* first, int32_t first_length, const void* second, int32_t second_length,
             uint8_t* out) {
  const int rc = HashRepeat(hash, 1, first, first_length, second, second_length, nullptr, 0);
  if (rc == 0) std::memcpy(out, hash->Digest(), kMaxDigest);
  return rc;
}

// BcryptBlock computes one 32-byte output block of bcrypt-pbkdf (the XOR over all rounds) for count.
int BcryptBlock(HashObject* hash, const uint8_t* sha2pass, const uint8_t* salt, int32_t salt_length, int32_t rounds,
                uint32_t count, uint8_t* block) {
  auto* work = static_cast<BlowfishWork*>(platform::Alloc(sizeof(BlowfishWork)));
  if (work == nullptr) return core::kOutOfMemory;
  uint8_t counter[4];
  core::PutUIntBigEndian(count, counter, 0, 4);
  uint8_t sha2salt[kMaxDigest];
  core::SecureBuffer tmp;
  int rc = Sha512Of(hash, salt, salt_length, counter, 4, sha2salt);
  for (int32_t round = 0; round < (rounds > 1 ? rounds : 1) && rc == 0; ++round) {
    if (round > 0) rc = Sha512Of(hash, tmp.Data(), tmp.Length(), nullptr, 0, sha2salt);
    if (rc == 0) {
      rc = BcryptHash(work->p, work->s[0], work->s[1], work->s[2], work->s[3], sha2pass, kMaxDigest, sha2salt,
                      kMaxDigest, tmp);
    }
    for (int32_t k = 0; k < kBcryptHashSize && rc == 0; ++k) block[k] = static_cast<uint8_t>(block[k] ^ tmp.Bytes()[k]);
  }
  platform::SecureZero(sha2salt, sizeof sha2salt);
  platform::SecureZero(work, sizeof(BlowfishWork));
  platform::Free(work, sizeof(BlowfishWork));
  return rc;
}

}  // namespace

int BcryptPbkdfWithHash(HashObject& hash_object, const core::BufferCore& password, const uint8_t* salt,
                        int32_t salt_length, int32_t rounds, core::BufferCore& key, core::BufferCore& iv) {
  HashObject* hash = &hash_object;
  uint8_t sha2pass[kMaxDigest];
  uint8_t result[kBcryptOutput] = {};
  int rc = Sha512Of(hash, password.Data(), password.Length(), nullptr, 0, sha2pass);
  // Each block of 32 bytes fills every second byte of the output: byte k of block b goes to 2k + b - 1.
  for (uint32_t count = 1; count <= kBcryptStride && rc == 0; ++count) {
    uint8_t block[kBcryptHashSize] = {};
    rc = BcryptBlock(hash, sha2pass, salt, salt_length, rounds, count, block);
    for (int32_t k = 0; k < kBcryptOutput / kBcryptStride && rc == 0; ++k) result[k * kBcryptStride + count - 1] = block[k];
    platform::SecureZero(block, sizeof block);
  }
  if (rc == 0) rc = key.SetData(kBcryptKeyLength, result);
  if (rc == 0) rc = iv.SetData(kBcryptIvLength, result + kBcryptKeyLength);
  platform::SecureZero(sha2pass, sizeof sha2pass);
  platform::SecureZero(result, sizeof result);
  return rc;
}

int BcryptPbkdfBytesWithHash(HashObject& hash_object, const core::BufferCore& password, const uint8_t* salt,
                             int32_t salt_length, int32_t rounds, int32_t length, core::BufferCore& out) {
  if (length < 1 || length > kBcryptMaxOutput) return core::kOutOfRange;
  HashObject* hash = &hash_object;
  uint8_t sha2pass[kMaxDigest];
  core::SecureBuffer result;
  int rc = result.Resize(length);
  if (rc == 0) rc = Sha512Of(hash, password.Data(), password.Length(), nullptr, 0, sha2pass);
  // OpenSSH spreads the blocks over the output: stride ceil(length / 32), byte k of block b at
  // k * stride + b - 1, so that every block is needed for any prefix of the key.
  const int32_t stride = (length + kBcryptHashSize - 1) / kBcryptHashSize;
  const int32_t per_block = (length + stride - 1) / stride;
  auto* bytes = reinterpret_cast<uint8_t*>(result.Data());
  for (int32_t count = 1; count <= stride && rc == 0; ++count) {
    uint8_t block[kBcryptHashSize] = {};
    rc = BcryptBlock(hash, sha2pass, salt, salt_length, rounds, static_cast<uint32_t>(count), block);
    for (int32_t k = 0; k < per_block && rc == 0; ++k) {
      const int32_t at = k * stride + count - 1;
      if (at < length) bytes[at] = block[k];
    }
    platform::SecureZero(block, sizeof block);
  }
  if (rc == 0) rc = out.Assign(result);
  platform::SecureZero(sha2pass, sizeof sha2pass);
  return rc;
}

}  // namespace velmora::crypto
