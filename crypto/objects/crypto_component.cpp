#include "crypto/objects/crypto_component.h"

#include <climits>
#include <cstring>

#include "component/tls_services.h"
#include "crypto/providers/capi_key_context.h"
#include "platform/crypto/crypto_types.h"
#include "platform/memory.h"
#include "platform/modules.h"

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
  store_kind_ = 0;
  flag_ = 0;
  certificate_set_ = 0;
  store_name_.Clear();
  encoded_certificate_.Clear();
  subject_.Clear();
  store_password_.Clear();
  ReleaseCertificateContext();
  store_.Reset();
  loaded_store_.reset();
}

namespace {

constexpr platform::DWORD kAnyEncoding = platform::kX509AsnEncoding | platform::kPkcs7AsnEncoding;
constexpr uint32_t kDeleteKeyset = 0x10;

// PurgeTemporaryStore deletes, while containers are deleted on release, every certificate of store and
// the container each one's key-provider information names; then closes store.
void PurgeTemporaryStore(const ComponentKeyState& state, platform::HCERTSTORE store) {
  KeyContainerCalls calls;
  while (state.delete_containers) {
    platform::PCCERT_CONTEXT context =
        CertFindCertificateInStore(store, kAnyEncoding, 0, platform::kCertFindAny, nullptr, nullptr);
    if (context == nullptr) break;
    // The information block is read whole, whatever its size: a container skipped here keeps its key.
    std::vector<uint64_t> block;
    if (ReadKeyProvInfo(context, &block)) {
      const auto& info = *reinterpret_cast<const platform::CRYPT_KEY_PROV_INFO*>(block.data());
      if (info.pwszContainerName != nullptr) {
        const std::string container = NarrowText(info.pwszContainerName);
        const std::string provider = NarrowText(info.pwszProvName);
        calls.DeleteContainer(container.c_str(), provider.empty() ? nullptr : provider.c_str(), info.dwProvType,
                              info.dwFlags);
      }
    }
    if (CertDeleteCertificateFromStore(context) == 0) break;
  }
  (void)CertCloseStore(store, 0);
}

}  // namespace

void CertKeyComponent::ReleaseCertificateContext() {
  if (certificate_context_ != nullptr) (void)CertFreeCertificateContext(certificate_context_);
  certificate_context_ = nullptr;
  ComponentKeyState& state = key_state_;
  if (state.temporary_store != nullptr) {
    PurgeTemporaryStore(state, state.temporary_store);
    state.temporary_store = nullptr;
    if (state.temporary_key_must_free && state.temporary_key_spec != kNcryptKeySpec) {
      KeyContainerCalls().ReleaseProvider(state.temporary_key);
    }
    state.temporary_key = 0;
    state.temporary_key_spec = 0;
    state.temporary_key_must_free = false;
  }
  if (key_store_ != nullptr) (void)CertCloseStore(key_store_, 0);
  key_store_ = nullptr;
  if (!container_name_.IsEmpty()) {
    const std::string name(container_name_.Data(), static_cast<size_t>(container_name_.Length()));
    const std::string provider(key_context_.provider_name.Data() != nullptr ? key_context_.provider_name.Data() : "",
                               static_cast<size_t>(key_context_.provider_name.Length()));
    const auto type = static_cast<uint32_t>(key_context_.provider_type);
    crypto::Release(key_context_);
    KeyContainerCalls().DeleteContainer(name.c_str(), provider.empty() ? nullptr : provider.c_str(), type,
                                        state.container_flags);
    container_name_.Clear();
  }
  // Everything made for the platform is released: the key state starts afresh for the next import.
  ResetKeyState();
}

void CertKeyComponent::ResetKeyState() {
  certificate_context_ = nullptr;
  key_store_ = nullptr;
  key_state_ = ComponentKeyState{};
  crypto::Release(key_context_);
  key_context_.provider_type = 1;
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

// ---- The platform calls a certificate component releases through ----------------------------------

KeyContainerCalls::KeyContainerCalls() {
  platform::ModuleHandle module = platform::LoadModule("Advapi32.dll");
  if (module == nullptr) return;
  module_ = module;
  acquire_ = platform::GetProc(module, "CryptAcquireContextA");
  release_ = platform::GetProc(module, "CryptReleaseContext");
  import_ = platform::GetProc(module, "CryptImportKey");
}

KeyContainerCalls::~KeyContainerCalls() {
  if (module_ != nullptr) (void)platform::FreeModule(static_cast<platform::ModuleHandle>(module_));
}

bool KeyContainerCalls::ImportKey(uint64_t provider, const core::BufferCore& blob, uintptr_t* key) {
  using ImportFn = platform::BOOL (*)(platform::HCRYPTPROV, const uint8_t*, platform::DWORD, uintptr_t,
                                      platform::DWORD, uintptr_t*);
  *key = 0;
  if (import_ == nullptr) return false;
  return reinterpret_cast<ImportFn>(import_)(static_cast<platform::HCRYPTPROV>(provider), blob.Bytes(),
                                             static_cast<platform::DWORD>(blob.Length()), 0, 1, key) != 0;
}

bool KeyContainerCalls::DeleteContainer(const char* container, const char* provider, uint32_t type, uint32_t flags) {
  if (acquire_ == nullptr) return false;
  platform::HCRYPTPROV handle = 0;
  return reinterpret_cast<platform::CryptAcquireContextAFn>(acquire_)(&handle, container, provider, type,
                                                                      flags | kDeleteKeyset) != 0;
}

void KeyContainerCalls::ReleaseProvider(uintptr_t provider) {
  if (release_ != nullptr) (void)reinterpret_cast<platform::CryptReleaseContextFn>(release_)(provider, 0);
}

std::string NarrowText(const char16_t* text) {
  std::string out;
  for (; text != nullptr && *text != 0; ++text) out.push_back(static_cast<char>(*text));
  return out;
}

bool ReadKeyProvInfo(platform::PCCERT_CONTEXT context, std::vector<uint64_t>* block) {
  platform::DWORD size = 0;
  if (CertGetCertificateContextProperty(context, platform::kCertKeyProvInfoPropId, nullptr, &size) == 0 ||
      size < sizeof(platform::CRYPT_KEY_PROV_INFO)) {
    return false;
  }
  block->assign(size / sizeof(uint64_t) + 1, 0);
  return CertGetCertificateContextProperty(context, platform::kCertKeyProvInfoPropId, block->data(), &size) != 0;
}

}  // namespace velmora::component
