// What only the selections of this folder share.
#pragma once

#include "crypto/objects/crypto_component.h"

namespace velmora::crypto {

// HeldOrNew returns the component's object as a T, or a new T that the component holds from now on under
// its stored id and mode (the object it held before is released); null when memory runs out.
template <typename T>
T* HeldOrNew(component::CryptoComponent& component) {
  if (auto* held = dynamic_cast<T*>(component.Object())) return held;
  auto* created = new T;
  if (created != nullptr) component.Hold(component.AlgorithmId(), created, component.ProviderMode());
  return created;
}

}  // namespace velmora::crypto
