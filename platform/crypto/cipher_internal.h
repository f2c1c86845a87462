// What the entry points of the crypto modules share between their files: the algorithm and key records and
// the table of open algorithm handles.
#pragma once

#include <openssl/evp.h>

#include <mutex>
#include <vector>

#include "platform/crypto/cipher_types.h"

namespace velmora::platform {

enum class CipherFamily { kAes, kTripleDes, kXtsAes };
enum class ChainingMode { kCbc, kEcb, kCfb, kGcm, kXts };
// KeyPairFamily: the key-pair algorithm of a handle (kNone for cipher and hash handles).
enum class KeyPairFamily { kNone, kDsa, kDh };

// BcryptAlgorithmObject is what an algorithm handle points at. A cipher handle keeps the algorithm, the
// properties its keys take, and the EVP ciphers fetched for it (kept until the handle closes, so making a
// key costs no fetch). A hash handle keeps its digest, fetched once when it opens, and its flags.
struct BcryptAlgorithmObject {
  bool is_hash = false;
  CipherFamily family = CipherFamily::kAes;
  ChainingMode chaining = ChainingMode::kCbc;
  ULONG message_block = 0;
  std::mutex fetch_mutex;
  struct Fetched {
    ChainingMode chaining;
    ULONG message_block;
    ULONG key_length;
    EVP_CIPHER* cipher;
  };
  std::vector<Fetched> fetched;
  // Hash handles only.
  EVP_MD* md = nullptr;
  EVP_MAC* mac = nullptr;  // HMAC handles
  bool hmac = false;
  bool reusable = false;
  // Key-pair handles only.
  KeyPairFamily key_pair = KeyPairFamily::kNone;
};

// AddAlgorithm records a new handle as open; FindAlgorithm gives the record of an open handle or null;
// RemoveAlgorithm forgets an open handle (false when it was not open).
void AddAlgorithm(BcryptAlgorithmObject* algorithm);
BcryptAlgorithmObject* FindAlgorithm(const void* handle);
bool RemoveAlgorithm(const void* handle);

// OpenHashAlgorithm opens a hash algorithm by name for BCryptOpenAlgorithmProvider: STATUS_NOT_FOUND for a
// name that is not a hash, STATUS_INVALID_PARAMETER for flags it does not take; CloseHashAlgorithm frees
// what a hash handle holds.
NTSTATUS OpenHashAlgorithm(const char16_t* algorithm_id, ULONG flags, BcryptAlgorithmObject** out);
void CloseHashAlgorithm(BcryptAlgorithmObject* algorithm);
// LiveHashHandles counts the open hash objects.
int LiveHashHandles();

// The key-pair side (keypair_modules.cpp). OpenKeyPairAlgorithm opens "DSA" or "DH" for
// BCryptOpenAlgorithmProvider: STATUS_NOT_FOUND for another name, STATUS_INVALID_PARAMETER for flags.
// DestroyKeyPair and SetKeyPairProperty serve BCryptDestroyKey and BCryptSetProperty for handles that are
// not cipher keys or cipher algorithms: STATUS_INVALID_HANDLE for one that is not a key pair either.
// LiveKeyPairHandles counts the open key-pair keys and secrets.
NTSTATUS OpenKeyPairAlgorithm(const char16_t* algorithm_id, ULONG flags, BcryptAlgorithmObject** out);
NTSTATUS DestroyKeyPair(const void* key);
NTSTATUS SetKeyPairProperty(void* object, const char16_t* property, const uint8_t* input, ULONG input_size,
                            ULONG flags);
int LiveKeyPairHandles();

// kGcmPowers: how many powers of the GCM hash key a key keeps, and so how many blocks GHASH folds at once.
constexpr int kGcmPowers = 8;

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
  uint8_t hash_powers[kGcmPowers][16] = {};  // GCM, carry-less path: H * x and its powers, as GHASH takes them
};

// KeyContext returns the key's EVP context for the direction, keyed and without padding, or null. A
// context made by this call is given iv as well, and *iv_set (when asked) says so.
EVP_CIPHER_CTX* KeyContext(BcryptKeyObject& key, bool encrypt, const uint8_t* iv, bool* iv_set);

// GcmKeySetUp computes what a GCM key keeps besides its ECB context (false when the context fails).
bool GcmKeySetUp(BcryptKeyObject& key);

// GcmCipher runs one GCM call (arguments checked by the caller except the mode record).
NTSTATUS GcmCipher(BcryptKeyObject& key, bool encrypt, const uint8_t* input, ULONG input_size, void* padding_info,
                   uint8_t* iv, ULONG iv_size, uint8_t* output);

}  // namespace velmora::platform
