// The selection of a digest or HMAC object for a CryptoComponent by engine id or name, and the one-shot
// operations the rest of the system calls to hash or authenticate bytes. The objects themselves are
// primitives: HashObject and InternalHash in crypto/digest/hash_object.h, HmacObject and InternalHmac in
// crypto/mac/hmac.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/objects/crypto_component.h"
#include "core/buffer.h"
#include "crypto/digest/hash_ctx.h"
#include "crypto/digest/hash_object.h"
#include "crypto/keys/provider_mode.h"
#include "crypto/mac/hmac.h"

namespace velmora::crypto {

// ResolveProviderMode turns a requested provider mode into kProviderInternal or kProviderPlatform: FIPS
// mode always needs the platform; the default mode moves an algorithm with a platform form there on a
// system of major version 6 or later unless the internal-only setting is on.
uint32_t ResolveProviderMode(uint32_t mode, bool has_platform_form);
// KeepOrRelease drops the held object unless it was made for this id and requested mode; the
// component keeps its stored id and mode either way until a new object is held.
void KeepOrRelease(component::CryptoComponent& component, int32_t engine_id, uint32_t mode);

// HeldHash and HeldHmac return the component's object as a hash or HMAC object, or null.
HashObject* HeldHash(const component::CryptoComponent& component);
HmacObject* HeldHmac(const component::CryptoComponent& component);

// SelectHashProvider makes the component hold a digest object for engine id 23..44: 0; 9999 when FIPS
// mode refuses the id; when the platform is chosen a CngHash (SHA-1, SHA-256, SHA-384, SHA-512; 600 for
// other ids or while the platform's hash functions are not loaded, -1 when the algorithm cannot be
// opened); 9998 for an id without an internal digest; 200 when memory runs out. Ids 41..44 are SHA3-224..512 with Keccak padding.
[[nodiscard]] int SelectHashProvider(component::CryptoComponent& component, int32_t engine_id, uint32_t mode);
// SelectHashByName selects by digest name (HashNameToEngineId); an unknown name gives 9998.
[[nodiscard]] int SelectHashByName(component::CryptoComponent& component, const char* name, uint32_t mode);
// SelectHmacProvider makes the component hold an HMAC object for engine id 45..51 keyed with key:
// 0, or 9999, 9998, 200 as SelectHashProvider; 600 when the platform is required (its HMAC is not chosen
// here yet).
[[nodiscard]] int SelectHmacProvider(component::CryptoComponent& component, int32_t engine_id, const uint8_t* key,
                                     int32_t key_length, uint32_t mode);
// CopyHashFrom makes the component hold a clone of source's digest object with source's id and mode:
// 0, or 200 when the clone cannot be made.
[[nodiscard]] int CopyHashFrom(component::CryptoComponent& component, const component::CryptoComponent& source);
// ResetAlgorithm restarts the held digest or HMAC object, or empties the key that the engine of a held
// RSA or DSA key object works with (the object's own copy stays); 0 for anything else.
int ResetAlgorithm(component::CryptoComponent& component);

// One-shots: each uses a temporary component in the default provider mode and returns 0 or the first
// failing code; out receives the digest or HMAC value.
[[nodiscard]] int ComputeHash(int32_t engine_id, const void* data, int32_t length, core::BufferCore& out);
[[nodiscard]] int ComputeHashByName(const char* name, const void* data, int32_t length, core::BufferCore& out);
[[nodiscard]] int HashDataByName(const void* data, int32_t length, const char* name, core::BufferCore& out);
[[nodiscard]] int ComputeHmac(int32_t engine_id, const uint8_t* key, int32_t key_length, const void* data,
                              int32_t length, core::BufferCore& out);
[[nodiscard]] int ComputeHmacByName(const char* name, const uint8_t* key, int32_t key_length, const void* data,
                                    int32_t length, core::BufferCore& out);
// HmacNameToAlgId returns the HMAC engine id named by name ("HMAC" and a digest name anywhere after the
// first character, in any case), or -1.
int32_t HmacNameToAlgId(const char* name);

}  // namespace velmora::crypto
