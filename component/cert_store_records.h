// The certificate-store record and the key-container context that a certificate component embeds.
// Only what the component needs to be built, reset, destroyed and cloned is here; the loaded entries,
// the key record and the platform handles join when the certificate loader and the platform key
// providers are built.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::component {

// CertStoreHandle describes the store a component loaded and which entry of it is selected.
struct CertStoreHandle {
  int32_t store_kind = 0;
  int32_t selected_index = -1;
  int32_t detected_kind = 0;
  core::Buffer subject;
  core::Buffer store_data;
  core::Buffer file_name;
  core::Buffer password;

  // Reset empties the record as at construction.
  void Reset();
  // CopyFrom makes this record a copy of other; 0, or 200 when memory runs out (the copy is then
  // partial and the caller discards it).
  [[nodiscard]] int CopyFrom(const CertStoreHandle& other);
};

// CertStoreContents is a loaded certificate store as the floors above build it (its entries, its key
// and this record). A component owns one through this interface, so nothing here names what it holds.
class CertStoreContents {
 public:
  virtual ~CertStoreContents() = default;
  // CloneContents returns a deep copy owned by the caller (release with delete), or null when memory
  // runs out or a member cannot be copied.
  virtual CertStoreContents* CloneContents() const = 0;
};

// CryptoApiKeyContext is one key container in use: provider and key handles, the provider type (1 by
// default) and the provider name.
struct CryptoApiKeyContext {
  uint64_t provider_handle = 0;
  uint64_t key_handle = 0;
  int32_t provider_type = 1;
  core::Buffer provider_name;

  // Reset returns the context to its constructed state.
  void Reset();
};

}  // namespace velmora::component
