// What the symmetric entry points of the crypto modules share between their files: the key record.
#pragma once

#include <openssl/evp.h>

#include "platform/crypto/cipher_types.h"

namespace velmora::platform {

enum class CipherFamily { kAes, kTripleDes, kXtsAes };
enum class ChainingMode { kCbc, kEcb, kCfb, kGcm, kXts };

// BcryptKeyObject is what a key handle points at: the key's algorithm, chaining mode and step, its EVP
// cipher, and one EVP context per direction (made on first use).
struct BcryptKeyObject {
  CipherFamily family = CipherFamily::kAes;
  ChainingMode chaining = ChainingMode::kCbc;
  ULONG block = 16;
  ULONG message_block = 0;  // CFB: bytes per step; XTS: the data-unit length (0 until set)
  EVP_CIPHER* cipher = nullptr;
  EVP_CIPHER_CTX* contexts[2] = {nullptr, nullptr};  // [0] decryption, [1] encryption
  uint8_t key[64] = {};
  ULONG key_length = 0;
  uint8_t hash_key[16] = {};  // GCM: E(K, 0^128)
};

// KeyContext returns the key's EVP context for the direction, keyed and without padding, or null. A
// context made by this call is given iv as well, and *iv_set (when asked) says so.
EVP_CIPHER_CTX* KeyContext(BcryptKeyObject& key, bool encrypt, const uint8_t* iv, bool* iv_set);

// GcmCipher runs one GCM call (arguments checked by the caller except the mode record).
NTSTATUS GcmCipher(BcryptKeyObject& key, bool encrypt, const uint8_t* input, ULONG input_size, void* padding_info,
                   uint8_t* iv, ULONG iv_size, uint8_t* output);

}  // namespace velmora::platform
