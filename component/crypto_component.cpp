#include "component/crypto_component.h"

#include <climits>
#include <cstring>

#include "platform/memory.h"

namespace velmora::component {

// ---- CryptoComponent --------------------------------------------------------------------------------

namespace {
// Ids 0 .. 51 (ciphers, RSA, DSA, EC keys, digests, HMACs) hold a CryptoObject.
constexpr int32_t kLastCryptoObjectId = 51;
}  // namespace

void CryptoComponent::ReleaseObject() {
  if (object_ != nullptr && algorithm_id_ >= 0 && algorithm_id_ <= kLastCryptoObjectId) delete object_;
  // The UMAC object (kAlgorithmUmac) and the platform XTS block (kAlgorithmPlatformXts) have owners of
  // their own that are built with those algorithms; until then nothing of those ids can be held, and
  // for those and every other id only the pointer is dropped.
  object_ = nullptr;
  algorithm_id_ = kAlgorithmNone;
  provider_mode_ = 0;
}

void CryptoComponent::Hold(int32_t algorithm_id, CryptoObject* object, uint32_t provider_mode) {
  ReleaseObject();
  algorithm_id_ = algorithm_id;
  object_ = object;
  provider_mode_ = provider_mode;
}

// ---- CryptoJob --------------------------------------------------------------------------------------

CryptoJob::CryptoJob() {
  // Three bytes fit the inline storage: the store cannot fail.
  (void)digest_name_.SetString("MD5");
}

// ---- CertKeyComponent -------------------------------------------------------------------------------

CertKeyComponent::CertKeyComponent() { ResetCryptoApi(); }

CertKeyComponent::~CertKeyComponent() { ResetStore(); }

void* CertKeyComponent::operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return platform::Alloc(size);
}

void CertKeyComponent::operator delete(void* block) noexcept { platform::Free(block, sizeof(CertKeyComponent)); }

void CertKeyComponent::operator delete(void* block, const std::nothrow_t&) noexcept {
  platform::Free(block, sizeof(CertKeyComponent));
}

void CertKeyComponent::ResetStore() {
  store_.Reset();
  // NOTE: the platform certificate layer releases these handles; it does not exist yet, so nothing
  // can have been stored in them.
  certificate_context_ = nullptr;
  key_store_ = nullptr;
}

void CertKeyComponent::ResetCryptoApi() { key_context_.Reset(); }

int CertKeyComponent::CopyCertificateStateFrom(const CertKeyComponent& source) {
  flag_ = source.flag_;
  certificate_set_ = source.certificate_set_;
  store_kind_ = source.store_kind_;
  int rc = store_.CopyFrom(source.store_);
  const core::Buffer* from[] = {&source.store_name_, &source.encoded_certificate_, &source.subject_,
                                &source.store_password_, &source.thumbprint_, &source.further_text_};
  core::Buffer* to[] = {&store_name_, &encoded_certificate_, &subject_, &store_password_, &thumbprint_, &further_text_};
  for (size_t i = 0; i < sizeof from / sizeof from[0] && rc == core::kOk; ++i) rc = to[i]->Assign(*from[i]);
  // The certificate context is duplicated by the platform certificate layer when it holds one.
  return rc;
}

CertKeyComponent* CertKeyComponent::Clone() const {
  auto* copy = new (std::nothrow) CertKeyComponent;
  if (copy == nullptr) return nullptr;
  // A clone that lost part of its state to a failed allocation would pass for a good one.
  if (copy->CopyCertificateStateFrom(*this) != core::kOk) {
    delete copy;
    return nullptr;
  }
  return copy;
}

// ---- ChainValidatorArray ----------------------------------------------------------------------------

namespace {
constexpr int32_t kSlotSize = static_cast<int32_t>(sizeof(CertKeyComponent*));
}  // namespace

ChainValidatorArray::~ChainValidatorArray() { (void)SetCount(0); }

CertKeyComponent* ChainValidatorArray::At(int32_t index) const {
  if (index < 0 || index >= Count()) return nullptr;
  // Slots are copied out byte-wise: the inline storage of a Buffer is not pointer-aligned.
  CertKeyComponent* entry;
  std::memcpy(&entry, slots_.Data() + static_cast<size_t>(index) * kSlotSize, sizeof entry);
  return entry;
}

void ChainValidatorArray::StoreAt(int32_t index, CertKeyComponent* entry) {
  std::memcpy(slots_.Data() + static_cast<size_t>(index) * kSlotSize, &entry, sizeof entry);
}

int ChainValidatorArray::CreateEntry(int32_t index) {
  if (index < 0 || index >= Count()) return core::kOutOfRange;
  if (At(index) != nullptr) return core::kOk;
  auto* entry = new (std::nothrow) CertKeyComponent;
  if (entry == nullptr) return core::kOutOfMemory;
  StoreAt(index, entry);
  return core::kOk;
}

int ChainValidatorArray::RemoveAt(int32_t index) {
  CertKeyComponent* entry = At(index);
  if (entry == nullptr) return core::kOk;
  delete entry;
  StoreAt(index, nullptr);
  return core::kOk;
}

int ChainValidatorArray::SetCount(int32_t n) {
  if (n < 0) n = 0;
  const int32_t count = Count();
  if (n == count) return core::kOk;
  if (n < count) {
    for (int32_t i = n; i < count; ++i) (void)RemoveAt(i);
    return slots_.SetData(n * kSlotSize, nullptr);
  }
  if (static_cast<int64_t>(n) * kSlotSize > INT32_MAX - 1) return core::kOutOfMemory;
  int rc = slots_.SetData(n * kSlotSize, nullptr);
  if (rc != core::kOk) return rc;
  std::memset(slots_.Data() + static_cast<size_t>(count) * kSlotSize, 0, static_cast<size_t>(n - count) * kSlotSize);
  for (int32_t i = count; i < n; ++i) {
    rc = CreateEntry(i);
    if (rc != core::kOk) return rc;
  }
  return core::kOk;
}

}  // namespace velmora::component
