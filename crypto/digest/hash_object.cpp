#include "crypto/digest/hash_object.h"

#include "platform/memory.h"

namespace velmora::crypto {

void* HashObject::operator new(std::size_t size) noexcept { return platform::Alloc(size); }
void HashObject::operator delete(void* block, std::size_t size) noexcept { platform::Free(block, size); }

InternalHash::~InternalHash() = default;

int InternalHash::Update(const void* data, int32_t length, int32_t finalize) {
  if (data != nullptr && length >= 1) {
    const int rc = ctx_.Update(data, static_cast<uint32_t>(length));
    if (rc != 0) return rc;
  }
  return finalize != 0 ? ctx_.Final() : 0;
}

HashObject* InternalHash::Clone() const {
  auto* copy = new InternalHash;
  if (copy == nullptr) return nullptr;
  if (copy->ctx_.CopyFrom(ctx_) != 0) {
    delete copy;
    return nullptr;
  }
  return copy;
}

}  // namespace velmora::crypto
