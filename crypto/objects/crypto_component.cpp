#include "crypto/objects/crypto_component.h"

#include <climits>
#include <cstring>

#include "component/tls_services.h"
#include "platform/memory.h"

namespace velmora::component {

// ---- CryptoComponent --------------------------------------------------------------------------------

void CryptoComponent::ReleaseObject() {
  // Every held object, the UMAC and the platform XTS block included, frees what it owns in its destructor.
  delete object_;
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

void CryptoComponent::Store(int32_t algorithm_id, uint32_t provider_mode) {
  algorithm_id_ = algorithm_id;
  provider_mode_ = provider_mode;
}

bool CryptoComponent::IdIn(int32_t first, int32_t last) const {
  // Unsigned, so the -1 of an empty component lies in no range.
  const auto id = static_cast<uint32_t>(algorithm_id_);
  return id >= static_cast<uint32_t>(first) && id <= static_cast<uint32_t>(last);
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
  loaded_store_.reset();
  if (certificate_context_ != nullptr && component::Crypt32Entry(2) != nullptr) {
    (void)component::CertFreeCertificateContext(certificate_context_);
  }
  certificate_context_ = nullptr;
  if (key_store_ != nullptr && component::Crypt32Entry(3) != nullptr) (void)component::CertCloseStore(key_store_, 0);
  key_store_ = nullptr;
}

void CertKeyComponent::ResetCryptoApi() { key_context_.Reset(); }

int CertKeyComponent::CopyCertificateStateFrom(const CertKeyComponent& source) {
  flag_ = source.flag_;
  certificate_set_ = source.certificate_set_;
  store_kind_ = source.store_kind_;
  int rc = store_.CopyFrom(source.store_);
  if (rc == core::kOk && source.loaded_store_ != nullptr) {
    loaded_store_.reset(source.loaded_store_->CloneContents());
    if (loaded_store_ == nullptr) rc = core::kOutOfMemory;
  }
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

}  // namespace velmora::component
