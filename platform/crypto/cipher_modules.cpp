#include "platform/crypto/cipher_modules.h"

#include <openssl/crypto.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/crypto/call_counts.h"
#include "platform/crypto/cipher_internal.h"
#include "platform/memory.h"
#include "platform/win_codes.h"

namespace velmora::platform {

namespace {

constexpr ULONG kObjectLength = 654;
constexpr ULONG kLargeObjectLength = 1300;
constexpr uint8_t kKeyObjectFill = 0xA5;

std::atomic<bool> g_xts_missing{false};
std::atomic<bool> g_large_objects{false};
std::atomic<bool> g_full_cfb_refused{false};

// The open handles. Stale or foreign handles are recognised and refused.
struct HandleTable {
  std::mutex mutex;
  std::unordered_set<const void*> algorithms;
  std::unordered_set<const void*> keys;
};

// Never destroyed: a handle closed during process exit may still look itself up here.
HandleTable& Handles() {
  static HandleTable* table = new HandleTable;
  return *table;
}

// IsAlgorithm: an open cipher algorithm handle (hash and key-pair handles make no symmetric keys and have
// no cipher properties).
bool IsAlgorithm(const void* handle) {
  const BcryptAlgorithmObject* algorithm = FindAlgorithm(handle);
  return algorithm != nullptr && !algorithm->is_hash && algorithm->key_pair == KeyPairFamily::kNone;
}

bool IsKey(const void* handle) {
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  return handle != nullptr && table.keys.count(handle) != 0;
}

bool SameName(const char16_t* a, const char16_t* b) { return CompareCryptNames(a, b) == 0; }

ULONG BlockBytes(CipherFamily family) { return family == CipherFamily::kTripleDes ? 8 : 16; }

ULONG ObjectLength() { return g_large_objects.load() ? kLargeObjectLength : kObjectLength; }

// WideValue reads a NUL-terminated UTF-16 property value of size bytes, or null when it is not one.
const char16_t* WideValue(const uint8_t* input, ULONG size) {
  if (input == nullptr || size < 2 || size % 2 != 0) return nullptr;
  const auto* text = reinterpret_cast<const char16_t*>(input);
  for (ULONG i = 0; i < size / 2; ++i) {
    if (text[i] == 0) return text;
  }
  return nullptr;
}

bool ReadDword(const uint8_t* input, ULONG size, DWORD* value) {
  if (input == nullptr || size != sizeof(DWORD)) return false;
  std::memcpy(value, input, sizeof(DWORD));
  return true;
}

NTSTATUS SetChainingMode(BcryptAlgorithmObject& algorithm, const char16_t* value) {
  if (algorithm.family == CipherFamily::kXtsAes) return kStatusNotSupported;
  if (value == nullptr) return kStatusInvalidParameter;
  ChainingMode mode;
  if (SameName(value, u"ChainingModeCBC")) {
    mode = ChainingMode::kCbc;
  } else if (SameName(value, u"ChainingModeECB")) {
    mode = ChainingMode::kEcb;
  } else if (SameName(value, u"ChainingModeCFB")) {
    mode = ChainingMode::kCfb;
  } else if (SameName(value, u"ChainingModeGCM") && algorithm.family == CipherFamily::kAes) {
    mode = ChainingMode::kGcm;
  } else {
    return kStatusNotSupported;
  }
  algorithm.chaining = mode;
  algorithm.message_block = 0;
  return kStatusSuccess;
}

// CheckMessageBlock answers for "MessageBlockLength" on a key or algorithm of this family and mode.
NTSTATUS CheckMessageBlock(CipherFamily family, ChainingMode mode, DWORD value) {
  if (family == CipherFamily::kXtsAes) {
    return value >= 16 && value % 16 == 0 ? kStatusSuccess : kStatusInvalidParameter;
  }
  if (mode != ChainingMode::kCfb) return kStatusNotSupported;
  if (value == BlockBytes(family) && g_full_cfb_refused.load()) return kStatusNotSupported;
  return value == 1 || value == BlockBytes(family) ? kStatusSuccess : kStatusInvalidParameter;
}

// CipherName is the EVP name for a key of this algorithm, mode, step and length ("" when none).
std::string CipherName(CipherFamily family, ChainingMode mode, ULONG message_block, ULONG key_length) {
  char name[32];
  if (family == CipherFamily::kXtsAes) {
    std::snprintf(name, sizeof name, "AES-%u-XTS", static_cast<unsigned>(key_length * 4));
    return name;
  }
  const char* suffix = "CBC";
  if (mode == ChainingMode::kEcb || mode == ChainingMode::kGcm) suffix = "ECB";
  if (mode == ChainingMode::kCfb) suffix = message_block == BlockBytes(family) ? "CFB" : "CFB8";
  if (family == CipherFamily::kTripleDes) {
    std::snprintf(name, sizeof name, "DES-EDE3-%s", suffix);
  } else {
    std::snprintf(name, sizeof name, "AES-%u-%s", static_cast<unsigned>(key_length * 8), suffix);
  }
  return name;
}

bool KeyLengthFits(CipherFamily family, const uint8_t* secret, ULONG length) {
  switch (family) {
    case CipherFamily::kAes:
      return length == 16 || length == 24 || length == 32;
    case CipherFamily::kTripleDes:
      return length == 24;
    case CipherFamily::kXtsAes:
      // Equal halves would make the tweak key the data key; OpenSSL refuses them too.
      return (length == 32 || length == 64) && CRYPTO_memcmp(secret, secret + length / 2, length / 2) != 0;
  }
  return false;
}

EVP_CIPHER* FetchFor(BcryptAlgorithmObject& algorithm, ChainingMode mode, ULONG message_block, ULONG key_length) {
  std::lock_guard<std::mutex> lock(algorithm.fetch_mutex);
  for (const BcryptAlgorithmObject::Fetched& entry : algorithm.fetched) {
    if (entry.chaining == mode && entry.message_block == message_block && entry.key_length == key_length) {
      return entry.cipher;
    }
  }
  const std::string name = CipherName(algorithm.family, mode, message_block, key_length);
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name.c_str(), nullptr);
  if (cipher != nullptr) algorithm.fetched.push_back({mode, message_block, key_length, cipher});
  return cipher;
}

void FreeKey(BcryptKeyObject* key) {
  for (EVP_CIPHER_CTX*& context : key->contexts) EVP_CIPHER_CTX_free(context);
  EVP_CIPHER_free(key->cipher);
  SecureZero(key->key, sizeof key->key);
  SecureZero(key->hash_key, sizeof key->hash_key);
  SecureZero(key->hash_powers, sizeof key->hash_powers);
  delete key;
}

// MakeKey is the common end of BCryptImportKey and BCryptGenerateSymmetricKey, which check the handle.
NTSTATUS MakeKey(BCRYPT_ALG_HANDLE handle, BCRYPT_KEY_HANDLE* out, uint8_t* key_object, ULONG key_object_size,
                 const uint8_t* secret, ULONG secret_size) {
  BcryptAlgorithmObject& algorithm = *handle;
  if (out == nullptr || (key_object == nullptr && key_object_size != 0) || secret == nullptr) {
    return kStatusInvalidParameter;
  }
  if (key_object != nullptr && key_object_size < ObjectLength()) return kStatusBufferTooSmall;
  if (!KeyLengthFits(algorithm.family, secret, secret_size)) return kStatusInvalidParameter;
  auto* key = new (std::nothrow) BcryptKeyObject;
  if (key == nullptr) return kStatusNoMemory;
  key->family = algorithm.family;
  key->chaining = algorithm.family == CipherFamily::kXtsAes ? ChainingMode::kXts : algorithm.chaining;
  key->block = BlockBytes(algorithm.family);
  key->message_block = algorithm.message_block;
  if (key->chaining == ChainingMode::kCfb && key->message_block == 0) key->message_block = 1;
  std::memcpy(key->key, secret, secret_size);
  key->key_length = secret_size;
  key->cipher = FetchFor(algorithm, key->chaining, key->message_block, secret_size);
  if (key->cipher == nullptr || EVP_CIPHER_up_ref(key->cipher) != 1) {
    key->cipher = nullptr;
    FreeKey(key);
    return kStatusNotSupported;
  }
  if (key->chaining == ChainingMode::kGcm && !GcmKeySetUp(*key)) {
    FreeKey(key);
    return kStatusUnsuccessful;
  }
  // The key lives in the module's own record; the caller's key object is only claimed.
  if (key_object != nullptr) std::memset(key_object, kKeyObjectFill, ObjectLength());
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.keys.insert(key);
  *out = key;
  return kStatusSuccess;
}

// Chain runs ECB, CBC or CFB; CBC and CFB leave the last iv_size bytes of (IV || ciphertext) in the IV.
NTSTATUS Chain(BcryptKeyObject& key, bool encrypt, const uint8_t* input, ULONG size, uint8_t* iv, uint8_t* output) {
  const bool chained = key.chaining != ChainingMode::kEcb;
  bool iv_set = false;
  EVP_CIPHER_CTX* context = KeyContext(key, encrypt, chained ? iv : nullptr, &iv_set);
  if (context == nullptr) return kStatusUnsuccessful;
  if (chained && !iv_set && EVP_CipherInit_ex2(context, nullptr, nullptr, iv, encrypt ? 1 : 0, nullptr) != 1) {
    return kStatusUnsuccessful;
  }
  const ULONG b = key.block;
  uint8_t next[16];
  if (chained) {
    // The ciphertext side: the output when encrypting, the input (read before an in-place call) otherwise.
    if (size >= b) {
      if (!encrypt) std::memcpy(next, input + size - b, b);
    } else {
      std::memcpy(next, iv + size, b - size);
      if (!encrypt) std::memcpy(next + b - size, input, size);
    }
  }
  int produced = 0;
  if (size > 0 && EVP_CipherUpdate(context, output, &produced, input, static_cast<int>(size)) != 1) {
    return kStatusUnsuccessful;
  }
  if (chained && encrypt) {
    if (size >= b) {
      std::memcpy(next, output + size - b, b);
    } else {
      std::memcpy(next + b - size, output, size);
    }
  }
  if (chained && size > 0) std::memcpy(iv, next, b);
  return kStatusSuccess;
}

// Xts runs whole data units, numbered from the little-endian unit number in the 8-byte IV.
NTSTATUS Xts(BcryptKeyObject& key, bool encrypt, const uint8_t* input, ULONG size, const uint8_t* iv,
             uint8_t* output) {
  EVP_CIPHER_CTX* context = KeyContext(key, encrypt, nullptr, nullptr);
  if (context == nullptr) return kStatusUnsuccessful;
  uint64_t unit = 0;
  for (int i = 7; i >= 0; --i) unit = (unit << 8) | iv[i];
  for (ULONG at = 0; at < size; at += key.message_block, ++unit) {
    const ULONG piece = size - at < key.message_block ? size - at : key.message_block;
    uint8_t tweak[16] = {};
    for (int i = 0; i < 8; ++i) tweak[i] = static_cast<uint8_t>(unit >> (8 * i));
    int produced = 0;
    if (EVP_CipherInit_ex2(context, nullptr, nullptr, tweak, encrypt ? 1 : 0, nullptr) != 1 ||
        EVP_CipherUpdate(context, output + at, &produced, input + at, static_cast<int>(piece)) != 1) {
      return kStatusUnsuccessful;
    }
  }
  return kStatusSuccess;
}

// CheckShape applies the length and IV rules of the key's mode; kStatusSuccess when the call may run.
NTSTATUS CheckShape(const BcryptKeyObject& key, ULONG size, const void* padding_info, const uint8_t* iv,
                    ULONG iv_size) {
  if ((key.chaining == ChainingMode::kGcm) != (padding_info != nullptr)) return kStatusInvalidParameter;
  switch (key.chaining) {
    case ChainingMode::kEcb:
      return size % key.block == 0 ? kStatusSuccess : kStatusInvalidBufferSize;
    case ChainingMode::kCbc:
    case ChainingMode::kCfb: {
      if (iv == nullptr || iv_size != key.block) return kStatusInvalidParameter;
      const ULONG step = key.chaining == ChainingMode::kCbc ? key.block : key.message_block;
      return size % step == 0 ? kStatusSuccess : kStatusInvalidBufferSize;
    }
    case ChainingMode::kGcm:
      return kStatusSuccess;  // the mode record decides
    case ChainingMode::kXts: {
      if (key.message_block == 0 || iv == nullptr || iv_size != 8) return kStatusInvalidParameter;
      const ULONG tail = size % key.message_block;
      return size >= 16 && (tail == 0 || tail >= 16) ? kStatusSuccess : kStatusInvalidBufferSize;
    }
  }
  return kStatusInvalidParameter;
}

NTSTATUS Cipher(bool encrypt, BCRYPT_KEY_HANDLE handle, const uint8_t* input, ULONG input_size, void* padding_info,
                uint8_t* iv, ULONG iv_size, uint8_t* output, ULONG output_size, ULONG* result, ULONG flags) {
  if (!IsKey(handle)) return kStatusInvalidHandle;
  BcryptKeyObject& key = *handle;
  if (result == nullptr || flags != 0 || (input == nullptr && input_size != 0)) return kStatusInvalidParameter;
  const NTSTATUS shape = CheckShape(key, input_size, padding_info, iv, iv_size);
  if (shape != kStatusSuccess) return shape;
  *result = input_size;
  if (output == nullptr) return kStatusSuccess;
  if (output_size < input_size) return kStatusBufferTooSmall;
  switch (key.chaining) {
    case ChainingMode::kGcm:
      return GcmCipher(key, encrypt, input, input_size, padding_info, iv, iv_size, output);
    case ChainingMode::kXts:
      return Xts(key, encrypt, input, input_size, iv, output);
    default:
      return Chain(key, encrypt, input, input_size, iv, output);
  }
}

}  // namespace

EVP_CIPHER_CTX* KeyContext(BcryptKeyObject& key, bool encrypt, const uint8_t* iv, bool* iv_set) {
  EVP_CIPHER_CTX*& context = key.contexts[encrypt ? 1 : 0];
  if (iv_set != nullptr) *iv_set = context == nullptr;
  if (context != nullptr) return context;
  context = EVP_CIPHER_CTX_new();
  if (context == nullptr) return nullptr;
  // Only the block modes pad; the others have nothing to turn off.
  const bool blocks = key.chaining == ChainingMode::kCbc || key.chaining == ChainingMode::kEcb ||
                      key.chaining == ChainingMode::kGcm;
  if (EVP_CipherInit_ex2(context, key.cipher, key.key, iv, encrypt ? 1 : 0, nullptr) != 1 ||
      (blocks && EVP_CIPHER_CTX_set_padding(context, 0) != 1)) {
    EVP_CIPHER_CTX_free(context);
    context = nullptr;
  }
  return context;
}

void AddAlgorithm(BcryptAlgorithmObject* algorithm) {
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.algorithms.insert(algorithm);
}

BcryptAlgorithmObject* FindAlgorithm(const void* handle) {
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (handle == nullptr || table.algorithms.count(handle) == 0) return nullptr;
  return static_cast<BcryptAlgorithmObject*>(const_cast<void*>(handle));
}

bool RemoveAlgorithm(const void* handle) {
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  return handle != nullptr && table.algorithms.erase(handle) != 0;
}

NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* algorithm, const char16_t* algorithm_id,
                                     const char16_t* implementation, ULONG flags) {
  CountCryptoCall("BCryptOpenAlgorithmProvider");
  if (algorithm == nullptr || algorithm_id == nullptr) return kStatusInvalidParameter;
  if (implementation != nullptr && !SameName(implementation, u"Microsoft Primitive Provider")) {
    return kStatusNotFound;
  }
  BcryptAlgorithmObject* hash = nullptr;
  const NTSTATUS hash_status = OpenHashAlgorithm(algorithm_id, flags, &hash);
  if (hash_status != kStatusNotFound) {
    if (hash_status == kStatusSuccess) {
      AddAlgorithm(hash);
      *algorithm = hash;
    }
    return hash_status;
  }
  BcryptAlgorithmObject* key_pair = nullptr;
  const NTSTATUS key_pair_status = OpenKeyPairAlgorithm(algorithm_id, flags, &key_pair);
  if (key_pair_status != kStatusNotFound) {
    if (key_pair_status == kStatusSuccess) {
      AddAlgorithm(key_pair);
      *algorithm = key_pair;
    }
    return key_pair_status;
  }
  if (flags != 0) return kStatusInvalidParameter;
  CipherFamily family;
  if (SameName(algorithm_id, u"AES")) {
    family = CipherFamily::kAes;
  } else if (SameName(algorithm_id, u"3DES")) {
    family = CipherFamily::kTripleDes;
  } else if (SameName(algorithm_id, u"XTS-AES") && !g_xts_missing.load()) {
    family = CipherFamily::kXtsAes;
  } else {
    return kStatusNotFound;
  }
  auto* object = new (std::nothrow) BcryptAlgorithmObject;
  if (object == nullptr) return kStatusNoMemory;
  object->family = family;
  object->chaining = family == CipherFamily::kXtsAes ? ChainingMode::kXts : ChainingMode::kCbc;
  AddAlgorithm(object);
  *algorithm = object;
  return kStatusSuccess;
}

NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm, ULONG flags) {
  CountCryptoCall("BCryptCloseAlgorithmProvider");
  if (FindAlgorithm(algorithm) == nullptr) return kStatusInvalidHandle;
  if (flags != 0) return kStatusInvalidParameter;
  if (!RemoveAlgorithm(algorithm)) return kStatusInvalidHandle;
  if (algorithm->is_hash) CloseHashAlgorithm(algorithm);
  for (const BcryptAlgorithmObject::Fetched& entry : algorithm->fetched) EVP_CIPHER_free(entry.cipher);
  delete algorithm;
  return kStatusSuccess;
}

NTSTATUS BCryptGetProperty(BCRYPT_HANDLE object, const char16_t* property, uint8_t* output, ULONG output_size,
                           ULONG* result, ULONG flags) {
  CountCryptoCall("BCryptGetProperty");
  const bool is_algorithm = IsAlgorithm(object);
  if (!is_algorithm && !IsKey(object)) return kStatusInvalidHandle;
  if (property == nullptr || result == nullptr || flags != 0) return kStatusInvalidParameter;
  if (!is_algorithm || !SameName(property, u"ObjectLength")) return kStatusNotSupported;
  *result = sizeof(DWORD);
  if (output == nullptr) return kStatusSuccess;
  if (output_size < sizeof(DWORD)) return kStatusBufferTooSmall;
  const DWORD value = ObjectLength();
  std::memcpy(output, &value, sizeof value);
  return kStatusSuccess;
}

NTSTATUS BCryptSetProperty(BCRYPT_HANDLE object, const char16_t* property, const uint8_t* input, ULONG input_size,
                           ULONG flags) {
  CountCryptoCall("BCryptSetProperty");
  const bool is_algorithm = IsAlgorithm(object);
  if (!is_algorithm && !IsKey(object)) return SetKeyPairProperty(object, property, input, input_size, flags);
  if (property == nullptr || flags != 0) return kStatusInvalidParameter;
  if (SameName(property, u"ChainingMode")) {
    if (!is_algorithm) return kStatusNotSupported;
    return SetChainingMode(*static_cast<BcryptAlgorithmObject*>(object), WideValue(input, input_size));
  }
  if (!SameName(property, u"MessageBlockLength")) return kStatusNotSupported;
  DWORD value = 0;
  if (is_algorithm) {
    auto& algorithm = *static_cast<BcryptAlgorithmObject*>(object);
    if (algorithm.family != CipherFamily::kXtsAes && algorithm.chaining != ChainingMode::kCfb) {
      return kStatusNotSupported;
    }
    if (!ReadDword(input, input_size, &value)) return kStatusInvalidParameter;
    const NTSTATUS checked = CheckMessageBlock(algorithm.family, algorithm.chaining, value);
    if (checked == kStatusSuccess) algorithm.message_block = value;
    return checked;
  }
  auto& key = *static_cast<BcryptKeyObject*>(object);
  if (key.family != CipherFamily::kXtsAes) return kStatusNotSupported;
  if (!ReadDword(input, input_size, &value)) return kStatusInvalidParameter;
  const NTSTATUS checked = CheckMessageBlock(key.family, key.chaining, value);
  if (checked == kStatusSuccess) key.message_block = value;
  return checked;
}

NTSTATUS BCryptImportKey(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE import_key, const char16_t* blob_type,
                         BCRYPT_KEY_HANDLE* key, uint8_t* key_object, ULONG key_object_size, const uint8_t* input,
                         ULONG input_size, ULONG flags) {
  CountCryptoCall("BCryptImportKey");
  if (!IsAlgorithm(algorithm)) return kStatusInvalidHandle;
  if (import_key != nullptr || flags != 0 || !SameName(blob_type, u"KeyDataBlob") || input == nullptr ||
      input_size < kBcryptKeyDataBlobHeaderSize) {
    return kStatusInvalidParameter;
  }
  ULONG header[3];
  std::memcpy(header, input, sizeof header);
  if (header[0] != kBcryptKeyDataBlobMagic || header[1] != kBcryptKeyDataBlobVersion1 ||
      header[2] != input_size - kBcryptKeyDataBlobHeaderSize) {
    return kStatusInvalidParameter;
  }
  return MakeKey(algorithm, key, key_object, key_object_size, input + kBcryptKeyDataBlobHeaderSize, header[2]);
}

NTSTATUS BCryptGenerateSymmetricKey(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE* key, uint8_t* key_object,
                                    ULONG key_object_size, const uint8_t* secret, ULONG secret_size, ULONG flags) {
  CountCryptoCall("BCryptGenerateSymmetricKey");
  if (!IsAlgorithm(algorithm)) return kStatusInvalidHandle;
  if (flags != 0) return kStatusInvalidParameter;
  return MakeKey(algorithm, key, key_object, key_object_size, secret, secret_size);
}

NTSTATUS BCryptEncrypt(BCRYPT_KEY_HANDLE key, const uint8_t* input, ULONG input_size, void* padding_info,
                       uint8_t* iv, ULONG iv_size, uint8_t* output, ULONG output_size, ULONG* result, ULONG flags) {
  CountCryptoCall("BCryptEncrypt");
  return Cipher(true, key, input, input_size, padding_info, iv, iv_size, output, output_size, result, flags);
}

NTSTATUS BCryptDecrypt(BCRYPT_KEY_HANDLE key, const uint8_t* input, ULONG input_size, void* padding_info,
                       uint8_t* iv, ULONG iv_size, uint8_t* output, ULONG output_size, ULONG* result, ULONG flags) {
  CountCryptoCall("BCryptDecrypt");
  return Cipher(false, key, input, input_size, padding_info, iv, iv_size, output, output_size, result, flags);
}

NTSTATUS BCryptDestroyKey(BCRYPT_KEY_HANDLE key) {
  CountCryptoCall("BCryptDestroyKey");
  if (key == nullptr) return kStatusInvalidHandle;
  bool cipher_key;
  {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    cipher_key = table.keys.erase(key) != 0;
  }
  if (!cipher_key) return DestroyKeyPair(key);
  FreeKey(key);
  return kStatusSuccess;
}

namespace test {

int LiveCipherHandles() {
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  return static_cast<int>(table.algorithms.size() + table.keys.size());
}

void SetXtsAesMissing(bool missing) { g_xts_missing.store(missing); }
void SetLargeKeyObjects(bool large) { g_large_objects.store(large); }
void SetFullBlockCfbRefused(bool refused) { g_full_cfb_refused.store(refused); }

}  // namespace test

}  // namespace velmora::platform
