// GCM (NIST SP 800-38D) for the "AES" keys in "ChainingModeGCM", over the key's ECB context. The state of
// chained calls lives in the caller's records, as the platform defines it: the counter block in the IV
// handed to each call, the GHASH accumulator in the MAC context, the lengths in cbAAD and cbData, and
// the in-progress flag in dwFlags.
#include <openssl/crypto.h>

#include <cstring>

#include "platform/crypto/cipher_internal.h"
#include "platform/memory.h"
#include "platform/win_codes.h"

namespace velmora::platform {

namespace {

constexpr ULONG kNonceBytes = 12;
constexpr ULONG kBatchBlocks = 32;

uint64_t Load64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

void Store64(uint8_t* p, uint64_t v) {
  for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

// GhashMultiply sets x = x * h in GF(2^128) (SP 800-38D algorithm 1), without branches on the data.
void GhashMultiply(uint8_t x[16], const uint8_t h[16]) {
  uint64_t vh = Load64(h);
  uint64_t vl = Load64(h + 8);
  uint64_t zh = 0;
  uint64_t zl = 0;
  for (int i = 0; i < 128; ++i) {
    const uint64_t bit = (x[i / 8] >> (7 - i % 8)) & 1u;
    const uint64_t mask = 0 - bit;
    zh ^= vh & mask;
    zl ^= vl & mask;
    const uint64_t carry = 0 - (vl & 1u);
    vl = (vl >> 1) | (vh << 63);
    vh = (vh >> 1) ^ (0xE100000000000000ull & carry);
  }
  Store64(x, zh);
  Store64(x + 8, zl);
}

// GhashUpdate folds length bytes into the accumulator, the last partial block zero-filled.
void GhashUpdate(uint8_t acc[16], const uint8_t h[16], const uint8_t* data, uint64_t length) {
  for (uint64_t at = 0; at < length; at += 16) {
    const uint64_t n = length - at < 16 ? length - at : 16;
    for (uint64_t i = 0; i < n; ++i) acc[i] ^= data[at + i];
    GhashMultiply(acc, h);
  }
}

void Increment32(uint8_t block[16]) {
  for (int i = 15; i >= 12; --i) {
    if (++block[i] != 0) break;
  }
}

bool RecordUsable(const BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO* info) {
  return info->cbSize == sizeof(BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO) &&
         info->dwInfoVersion == kBcryptAuthModeInfoVersion && info->pbNonce != nullptr &&
         info->cbNonce == kNonceBytes && info->pbTag != nullptr && info->cbTag >= 12 && info->cbTag <= 16 &&
         (info->pbAuthData != nullptr || info->cbAuthData == 0);
}

// Keystream XORs the counter-mode keystream over length bytes, advancing the counter block.
bool Keystream(EVP_CIPHER_CTX* context, uint8_t counter[16], const uint8_t* input, ULONG length, uint8_t* output) {
  uint8_t blocks[kBatchBlocks * 16];
  for (ULONG at = 0; at < length;) {
    const ULONG count = (length - at + 15) / 16 < kBatchBlocks ? (length - at + 15) / 16 : kBatchBlocks;
    for (ULONG i = 0; i < count; ++i) {
      std::memcpy(blocks + 16 * i, counter, 16);
      Increment32(counter);
    }
    int produced = 0;
    if (EVP_EncryptUpdate(context, blocks, &produced, blocks, static_cast<int>(16 * count)) != 1) return false;
    const ULONG n = length - at < 16 * count ? length - at : 16 * count;
    for (ULONG i = 0; i < n; ++i) output[at + i] = static_cast<uint8_t>(input[at + i] ^ blocks[i]);
    at += n;
  }
  SecureZero(blocks, sizeof blocks);
  return true;
}

}  // namespace

NTSTATUS GcmCipher(BcryptKeyObject& key, bool encrypt, const uint8_t* input, ULONG input_size, void* padding_info,
                   uint8_t* iv, ULONG iv_size, uint8_t* output) {
  auto* info = static_cast<BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO*>(padding_info);
  if (!RecordUsable(info)) return kStatusInvalidParameter;
  const bool chain = (info->dwFlags & kBcryptAuthModeChainCalls) != 0;
  const bool in_progress = (info->dwFlags & kBcryptAuthModeInProgress) != 0;
  if ((chain || in_progress) &&
      (info->pbMacContext == nullptr || info->cbMacContext < 16 || iv == nullptr || iv_size != 16)) {
    return kStatusInvalidParameter;
  }
  if (chain && input_size % 16 != 0) return kStatusInvalidBufferSize;
  EVP_CIPHER_CTX* context = KeyContext(key, true, nullptr, nullptr);
  if (context == nullptr) return kStatusUnsuccessful;

  uint8_t counter[16];
  uint8_t acc[16];
  if (in_progress) {
    std::memcpy(counter, iv, 16);
    std::memcpy(acc, info->pbMacContext, 16);
  } else {
    std::memcpy(counter, info->pbNonce, kNonceBytes);
    std::memset(counter + kNonceBytes, 0, 4);
    counter[15] = 2;  // block 1 is J0, kept for the tag
    std::memset(acc, 0, sizeof acc);
    GhashUpdate(acc, key.hash_key, info->pbAuthData, info->cbAuthData);
    info->cbAAD = info->cbAuthData;
    info->cbData = 0;
  }
  // GHASH runs over the ciphertext: the input when decrypting, read before an in-place call overwrites it.
  if (!encrypt) GhashUpdate(acc, key.hash_key, input, input_size);
  if (!Keystream(context, counter, input, input_size, output)) return kStatusUnsuccessful;
  if (encrypt) GhashUpdate(acc, key.hash_key, output, input_size);
  info->cbData += input_size;

  if (chain) {
    std::memcpy(iv, counter, 16);
    std::memcpy(info->pbMacContext, acc, 16);
    info->dwFlags |= kBcryptAuthModeInProgress;
    SecureZero(acc, sizeof acc);
    return kStatusSuccess;
  }
  info->dwFlags &= ~kBcryptAuthModeInProgress;
  uint8_t lengths[16];
  Store64(lengths, static_cast<uint64_t>(info->cbAAD) * 8);
  Store64(lengths + 8, info->cbData * 8);
  GhashUpdate(acc, key.hash_key, lengths, 16);
  uint8_t j0[16] = {};
  std::memcpy(j0, info->pbNonce, kNonceBytes);
  j0[15] = 1;
  uint8_t tag[16];
  if (!Keystream(context, j0, acc, 16, tag)) return kStatusUnsuccessful;
  SecureZero(acc, sizeof acc);
  NTSTATUS status = kStatusSuccess;
  if (encrypt) {
    std::memcpy(info->pbTag, tag, info->cbTag);
  } else if (CRYPTO_memcmp(tag, info->pbTag, info->cbTag) != 0) {
    std::memset(output, 0, input_size);
    status = kStatusAuthTagMismatch;
  }
  SecureZero(tag, sizeof tag);
  return status;
}

}  // namespace velmora::platform
