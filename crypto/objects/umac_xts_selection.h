// The two algorithm ids of a CryptoComponent that hold no cipher, key, digest or HMAC object: UMAC
// (id 52, the library's own) and platform AES-XTS (id 53, a block of platform handles). One thread at a
// time per component.
#pragma once

#include <cstdint>

#include "crypto/mac/umac.h"
#include "crypto/objects/crypto_component.h"
#include "crypto/providers/cng_cipher.h"

namespace velmora::crypto {

// PlatformXtsBlock is the object a component holds for id 53: the XTS handle block, whose handles its
// destructor releases (CngCipher::ReleaseHandles).
class PlatformXtsBlock final : public component::CryptoObject {
 public:
  static void* operator new(std::size_t size) noexcept;
  static void operator delete(void* block, std::size_t size) noexcept;

  PlatformXtsBlock() = default;
  ~PlatformXtsBlock() override { CngCipher::ReleaseHandles(state_); }

  CngXtsState& State() { return state_; }

 private:
  CngXtsState state_;
};

// SelectUmac makes the component hold a keyed Umac (id 52, mode 0), releasing an object of another id:
// 0; -1 unless tag_bits is 32, 64, 96 or 128 and the key 16 bytes; 9998 for a negative length or a null
// key with a nonzero length (nothing changed); 200.
[[nodiscard]] int SelectUmac(component::CryptoComponent& component, const uint8_t* key, int32_t key_length,
                             int32_t tag_bits);
// HeldUmac is the component's Umac, or null.
Umac* HeldUmac(const component::CryptoComponent& component);

// SelectPlatformXts releases any held object and makes the component hold a new platform XTS block (id
// 53, mode 1) keyed with key (CngXtsImportKey) and with data units of data_unit_length bytes
// (CngSetMessageBlockLength): 0, 9998 for bad key arguments (nothing changed), or the first failing code
// (600 without the platform's cipher functions).
[[nodiscard]] int SelectPlatformXts(component::CryptoComponent& component, const uint8_t* key, int32_t key_length,
                                    int32_t data_unit_length);
// PlatformXtsEncrypt and PlatformXtsDecrypt run XTS in place over length bytes of data, the first data unit
// numbered tweak: 0 (also for length 0), 602 for 1 to 15 bytes, 9998 for a negative length or null data,
// -1 when the component holds no platform XTS block, or the platform's status.
[[nodiscard]] int PlatformXtsEncrypt(component::CryptoComponent& component, uint8_t* data, int32_t length,
                                     int64_t tweak);
[[nodiscard]] int PlatformXtsDecrypt(component::CryptoComponent& component, uint8_t* data, int32_t length,
                                     int64_t tweak);

}  // namespace velmora::crypto
