#include "crypto/keys/key_bases.h"

#include "platform/memory.h"

namespace velmora::crypto {

void* RsaKeyBase::operator new(std::size_t size) noexcept { return platform::Alloc(size); }
void RsaKeyBase::operator delete(void* block, std::size_t size) noexcept { platform::Free(block, size); }
void* DsaKeyBase::operator new(std::size_t size) noexcept { return platform::Alloc(size); }
void DsaKeyBase::operator delete(void* block, std::size_t size) noexcept { platform::Free(block, size); }
void* EccKeyBase::operator new(std::size_t size) noexcept { return platform::Alloc(size); }
void EccKeyBase::operator delete(void* block, std::size_t size) noexcept { platform::Free(block, size); }

}  // namespace velmora::crypto
