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
// KeepOrRelease drops the held object unless it was made for this id and requested mode, then stores the
// id and the resolved mode: a later refusal of the request leaves them stored.
void KeepOrRelease(component::CryptoComponent& component, int32_t engine_id, uint32_t mode, uint32_t resolved);
// IsPlatformDigestId: true on a system of major version 6 or later for the ids the default mode moves to
// the platform (SHA-1, SHA-256, SHA-384, SHA-512 and their HMACs), else false.
bool IsPlatformDigestId(int32_t engine_id);

// kNotRunnable: the chosen implementation cannot run the request (an unknown name or id, a cipher mode
// the platform does not chain, a bad smart-card PIN, a missing certificate context).
inline constexpr int kNotRunnable = 9998;
// kBadKeyArguments: a negative length, or a null key (or IV) with a nonzero length.
inline constexpr int kBadKeyArguments = kNotRunnable;

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
// SelectHmacProvider makes the component hold an HMAC object for engine id 45..51 keyed with key. The
// default mode moves a keyed HMAC-SHA1/256/384/512 to the platform (CngHmac). 0; 9998 for bad key
// arguments (nothing changed); 9999 when FIPS mode refuses the id (no text, nothing changed); 600 for an
// id without a platform form when the platform is required (FIPS mode or mode 1); 9998 for an id
// without an internal HMAC; 200; or the keying code. A refusal after the FIPS check leaves the new id and
// mode stored and the old object released.
[[nodiscard]] int SelectHmacProvider(component::CryptoComponent& component, int32_t engine_id, const uint8_t* key,
                                     int32_t key_length, uint32_t mode);
// SelectHmacByName selects by HMAC name (HmacNameToAlgId); an unknown name gives 9998.
[[nodiscard]] int SelectHmacByName(component::CryptoComponent& component, const char* name, const uint8_t* key,
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
