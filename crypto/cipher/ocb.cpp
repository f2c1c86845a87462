// AES-OCB (RFC 7253) for the cipher object: L_*, L_$ and the L_i table, the nonce-derived offset, the
// AAD hash, whole blocks in batches through the bulk AES path, the final partial block and the tag.
// The data key schedule is the cipher's AES schedule; decryption keeps the inverse schedule in the
// cipher's second schedule holder.
#include <cstring>

#include "crypto/cipher/aead.h"
#include "crypto/cipher/aes.h"
#include "crypto/cipher/block_modes.h"
#include "crypto/cipher/cipher_params.h"
#include "crypto/cipher/internal_cipher.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

constexpr size_t kBatch = 32;

void Encrypt(AesContext& aes, const uint8_t* in, uint8_t* out) {
  AesEncryptBlock(aes.RoundKeys(), aes.Rounds(), in, out);
}

// Double is multiplication by x in GF(2^128), big-endian, reduction 0x87.
void Double(const uint8_t in[16], uint8_t out[16]) {
  const int32_t carry = Block128ShiftLeft(in, 0, out);
  out[15] ^= static_cast<uint8_t>(0x87 & (0 - carry));
}

// OcbEncryptBlock hashes one AAD block: offset ^= l; sum ^= E(block ^ offset).
void OcbEncryptBlock(AesContext& aes, OcbState& s, const uint8_t l[16], const uint8_t block[16]) {
  uint8_t t[16];
  XorBlockInto(s.aad_offset, l);
  for (int i = 0; i < 16; ++i) t[i] = static_cast<uint8_t>(block[i] ^ s.aad_offset[i]);
  Encrypt(aes, t, t);
  XorBlockInto(s.aad_sum, t);
}

// CryptBlocks runs n whole blocks from the state's block index on.
void CryptBlocks(InternalCipher& cipher, OcbState& s, const uint8_t* in, uint8_t* out, size_t n, bool encrypt) {
  uint8_t offsets[kBatch * 16];
  uint8_t work[kBatch * 16];
  AesContext& aes = encrypt ? cipher.Aes() : static_cast<AesContext&>(cipher.Rijndael());
  while (n > 0) {
    const size_t count = n < kBatch ? n : kBatch;
    for (size_t k = 0; k < count; ++k) {
      ++s.blocks;
      XorBlockInto(s.offset, s.l[CountTrailingZeros64(s.blocks)]);
      std::memcpy(offsets + 16 * k, s.offset, 16);
      if (encrypt) XorBlockInto(s.checksum, in + 16 * k);
    }
    XorBytes(work, in, offsets, static_cast<int32_t>(16 * count));
    if (encrypt) {
      AesEncryptBlocks(aes.RoundKeys(), aes.Rounds(), work, work, count);
    } else {
      AesDecryptBlocks(aes.RoundKeys(), aes.Rounds(), work, work, count);
    }
    XorBytes(out, work, offsets, static_cast<int32_t>(16 * count));
    if (!encrypt) {
      for (size_t k = 0; k < count; ++k) XorBlockInto(s.checksum, out + 16 * k);
    }
    in += 16 * count;
    out += 16 * count;
    n -= count;
  }
  platform::SecureZero(work, sizeof work);
}

}  // namespace

int OcbSetup(InternalCipher& cipher, bool) {
  AesContext& aes = cipher.Aes();
  RijndaelContext& inverse = cipher.Rijndael();
  if (aes.RoundKeys() == nullptr || inverse.RoundKeys() == nullptr) return core::kOutOfMemory;
  const int32_t nonce_length = cipher.Iv().Length();
  if (nonce_length < 1 || nonce_length > 15) return kBadNonceSize;
  int32_t tag_bytes = cipher.TagBits() / 8;
  if (tag_bytes < 1) tag_bytes = 12;
  if (tag_bytes > 16) return kBadTagSize;
  const uint8_t* key = cipher.Key().Bytes();
  const int32_t bits = cipher.Key().Length() * 8;
  const int32_t rounds = AesSetEncryptKey(aes.RoundKeys(), key, bits);
  if (rounds == 0) return kBadKeySize;
  aes.Rounds() = rounds;
  if (cipher.Encrypting() == 0) inverse.Rounds() = AesSetDecryptKey(inverse.RoundKeys(), key, bits);
  OcbState& s = cipher.Streams().ocb;
  std::memset(&s, 0, sizeof s);
  s.tag_bytes = tag_bytes;
  Encrypt(aes, s.l_star, s.l_star);
  Double(s.l_star, s.l_dollar);
  Double(s.l_dollar, s.l[0]);
  for (int i = 1; i < 64; ++i) Double(s.l[i - 1], s.l[i]);
  // Nonce block: tag length in bits mod 128 in the top seven bits, a 1 bit, the nonce right-aligned.
  uint8_t nonce[16] = {};
  nonce[0] = static_cast<uint8_t>(((tag_bytes * 8) % 128) << 1);
  nonce[15 - nonce_length] |= 1;
  std::memcpy(nonce + 16 - nonce_length, cipher.Iv().Bytes(), static_cast<size_t>(nonce_length));
  const int32_t bottom = nonce[15] & 63;
  nonce[15] &= 0xC0;
  uint8_t stretch[24];
  Encrypt(aes, nonce, stretch);
  for (int i = 0; i < 8; ++i) stretch[16 + i] = static_cast<uint8_t>(stretch[i] ^ stretch[i + 1]);
  const int32_t byte_shift = bottom / 8;
  const int32_t bit_shift = bottom % 8;
  for (int i = 0; i < 16; ++i) {
    const uint8_t a = stretch[i + byte_shift];
    const uint8_t b = stretch[i + byte_shift + 1];
    s.offset[i] = bit_shift == 0 ? a : static_cast<uint8_t>((a << bit_shift) | (b >> (8 - bit_shift)));
  }
  platform::SecureZero(stretch, sizeof stretch);
  // The AAD: whole blocks, then a partial block padded with 0x80 under L_*.
  const uint8_t* aad = cipher.Aad().Bytes();
  const int32_t aad_length = cipher.Aad().Length();
  int32_t at = 0;
  for (uint64_t i = 1; aad_length - at >= 16; ++i, at += 16) OcbEncryptBlock(aes, s, s.l[CountTrailingZeros64(i)], aad + at);
  if (at < aad_length) {
    uint8_t block[16];
    std::memcpy(block, aad + at, static_cast<size_t>(aad_length - at));
    FinalBlockPad(block, aad_length - at);
    OcbEncryptBlock(aes, s, s.l_star, block);
  }
  return 0;
}

int OcbProcess(InternalCipher& cipher, const uint8_t* in, int32_t length, core::BufferCore& out, int32_t final_flag) {
  OcbState& s = cipher.Streams().ocb;
  AesContext& aes = cipher.Aes();
  if (aes.RoundKeys() == nullptr) return core::kOutOfMemory;
  const bool encrypt = cipher.Encrypting() != 0;
  if (final_flag == 0) length -= length % 16;
  const int32_t old = out.Length();
  if (length > 0 && out.SetData(old + length, nullptr) != 0) return core::kOutOfMemory;
  auto* dst = reinterpret_cast<uint8_t*>(out.Data()) + old;
  const int32_t whole = length / 16;
  CryptBlocks(cipher, s, in, dst, static_cast<size_t>(whole), encrypt);
  if (final_flag == 0) return 0;
  const int32_t r = length % 16;
  if (r > 0) {
    uint8_t pad[16];
    uint8_t block[16] = {};
    XorBlockInto(s.offset, s.l_star);
    Encrypt(aes, s.offset, pad);
    std::memcpy(block, in + 16 * whole, static_cast<size_t>(r));
    XorBytes(dst + 16 * whole, block, pad, r);
    if (!encrypt) std::memcpy(block, dst + 16 * whole, static_cast<size_t>(r));
    FinalBlockPad(block, r);
    XorBlockInto(s.checksum, block);
    platform::SecureZero(pad, sizeof pad);
  }
  uint8_t tag[16];
  for (int i = 0; i < 16; ++i) tag[i] = static_cast<uint8_t>(s.checksum[i] ^ s.offset[i] ^ s.l_dollar[i]);
  Encrypt(aes, tag, tag);
  XorBlockInto(tag, s.aad_sum);
  int rc = 0;
  if (encrypt) {
    rc = cipher.Tag().SetData(s.tag_bytes, tag);
  } else if (cipher.Tag().Length() != s.tag_bytes ||
             !TagsEqual(cipher.Tag().Bytes(), tag, static_cast<size_t>(s.tag_bytes))) {
    out.Clear();
    rc = kAuthenticationFailed;
  }
  platform::SecureZero(tag, sizeof tag);
  return rc;
}

}  // namespace velmora::crypto
