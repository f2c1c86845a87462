// The choice of a cipher object for a CryptoComponent: the FIPS allow-list read from the component
// settings, the rule that lets a default-mode request go to the platform, the provider selections, and
// the DES-ECB one-shot that runs through a temporary component.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/cipher/internal_cipher.h"
#include "crypto/objects/crypto_component.h"
#include "crypto/objects/hash_objects.h"  // provider modes and the selection codes

namespace velmora::crypto {

// IsCipherAllowedInFips: true for every engine id outside FIPS mode; in FIPS mode only aes and aes-gcm,
// and 3des when Allow3DESInFIPS is on.
bool IsCipherAllowedInFips(int32_t engine_id);

// CanUsePlatformCipher: true when a default-mode request for the engine id may go to the platform's
// cipher. Never on a system before major version 6; aes-gcm with a 12-byte IV unless the options hold
// "AESGCMSkipVerifyAuthTag=true"; aes and 3des in ECB, CBC and CTR, and in CFB when the options hold
// "FeedbackSize=8" or the platform takes full-block CFB (ProbeCngCfbSupport, asked once per process).
bool CanUsePlatformCipher(int32_t engine_id, int32_t iv_length, int32_t cipher_mode, const char* options);

// CipherInit holds the arguments of a cipher object's Init.
struct CipherInit {
  const uint8_t* key = nullptr;
  int32_t key_length = 0;
  const uint8_t* iv = nullptr;
  int32_t iv_length = 0;
  int32_t decrypt = 0;
  int32_t cipher_mode = 0;
  int32_t padding = 0;
  const char* options = nullptr;
};

// kCngModeText: the text of a cipher mode that the platform's cipher does not chain.
inline constexpr const char* kCngModeText = "The cipher mode is not supported in Windows CNG implementation.";

// SelectCipherProvider makes the component hold a cipher object for engine id 0..17 in the provider mode
// (0 internal, 1 platform, 2 default: the platform when CanUsePlatformCipher says so and the internal-only
// setting is off) and initialises it with init. Results: 0; 9998 for a negative length or a null key or
// IV with a nonzero length (nothing changed); 9999 with the component's error text when FIPS mode refuses
// the id (nothing changed); on the platform 9998 with kCngModeText for OFB and CBC with ciphertext
// stealing; on the internal path 9998 for an id without an internal cipher; 200; or Init's code. A
// refusal after the FIPS check leaves the new id and mode stored and the old object released.
[[nodiscard]] int SelectCipherProvider(component::CryptoComponent& component, int32_t engine_id,
                                       const CipherInit& init, uint32_t mode);
// SelectCipherByName selects by cipher name (CipherNameToId); an unknown name gives 9998.
[[nodiscard]] int SelectCipherByName(component::CryptoComponent& component, const char* name,
                                     const CipherInit& init, uint32_t mode);

// SelectCipherProvider without the Init arguments makes the component hold an uninitialised cipher object:
// the platform's only when FIPS mode or mode 1 requires it. 0; 9999 with the component's error text when
// FIPS mode refuses the id; 2001 for an unknown id; 200 when memory runs out.
[[nodiscard]] int SelectCipherProvider(component::CryptoComponent& component, int32_t engine_id, uint32_t mode);
// HeldCipher returns the component's cipher object, or null.
CipherObject* HeldCipher(const component::CryptoComponent& component);

// DesEcbEncrypt encrypts data with DES in ECB mode under an 8-byte key through a temporary component
// (the process default provider), appending to out: 0 or the first failing code.
[[nodiscard]] int DesEcbEncrypt(const uint8_t* key, const uint8_t* data, int32_t length, core::BufferCore& out);

}  // namespace velmora::crypto
