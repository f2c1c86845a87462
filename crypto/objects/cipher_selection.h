// The choice of a cipher object for a CryptoComponent: the FIPS allow-list read from the component
// settings, the provider selection, and the DES-ECB one-shot that runs through a temporary component.
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

// SelectCipherProvider makes the component hold a cipher object for engine id 0..17 in the provider
// mode (0 internal, 1 platform, 2 the process default): 0; 9999 with the component's error text when
// FIPS mode refuses the id; 600 when the platform is required (no platform cipher here); 2001 for an
// unknown id; 200 when memory runs out.
[[nodiscard]] int SelectCipherProvider(component::CryptoComponent& component, int32_t engine_id, uint32_t mode);
// HeldCipher returns the component's cipher object, or null.
CipherObject* HeldCipher(const component::CryptoComponent& component);

// DesEcbEncrypt encrypts data with DES in ECB mode under an 8-byte key through a temporary component
// (the process default provider), appending to out: 0 or the first failing code.
[[nodiscard]] int DesEcbEncrypt(const uint8_t* key, const uint8_t* data, int32_t length, core::BufferCore& out);

}  // namespace velmora::crypto
