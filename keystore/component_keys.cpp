#include "keystore/component_keys.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "component/tls_services.h"
#include "core/base64.h"
#include "core/code_page.h"
#include "crypto/providers/capi_key_context.h"
#include "keystore/cert_loader.h"
#include "platform/clock.h"
#include "platform/crypto/crypto_types.h"
#include "platform/modules.h"

namespace velmora::keystore {

namespace plat = velmora::platform;

namespace {

constexpr plat::DWORD kEncoding = plat::kX509AsnEncoding | plat::kPkcs7AsnEncoding;
constexpr uint32_t kDeleteKeyset = 0x10;
// Private keys of an imported PKCS #12 file: kept with the context, key storage keys allowed.
constexpr plat::DWORD kAcquireFlags = plat::kCryptAcquireCacheFlag | 0x10000;
constexpr char kDssProvider[] = "Microsoft Base DSS Cryptographic Provider";

int Fail(component::CertKeyComponent& component, int code, const char* text) {
  return component.SetErrorText(code, text);
}

// ImportPfx imports the bytes into a temporary store with the component's password: exportable, then
// exportable into machine key sets; the password first and, when it is empty, none after it.
plat::HCERTSTORE ImportPfx(component::CertKeyComponent& component, core::BufferCore& data, bool machine) {
  std::u16string password;
  if (!Utf16Text(component.StorePassword(), &password)) return nullptr;
  plat::CRYPT_DATA_BLOB blob{static_cast<plat::DWORD>(data.Length()), reinterpret_cast<uint8_t*>(data.Data())};
  const plat::DWORD machine_flag = machine ? plat::kPfxMachineKeyset : 0;
  for (const plat::DWORD flags : {machine_flag | 0x1u, machine_flag | 0x21u}) {
    plat::HCERTSTORE store = component::PFXImportCertStore(&blob, password.c_str(), flags);
    if (store == nullptr && password.empty()) store = component::PFXImportCertStore(&blob, nullptr, flags);
    if (store != nullptr) return store;
  }
  return nullptr;
}

// FindEncoded is the store's certificate whose bytes are der (a reference the caller frees), or null.
plat::PCCERT_CONTEXT FindEncoded(plat::HCERTSTORE store, const core::BufferCore& der) {
  plat::PCCERT_CONTEXT context = nullptr;
  while ((context = component::CertFindCertificateInStore(store, kEncoding, 0, plat::kCertFindAny, nullptr,
                                                          context)) != nullptr) {
    if (static_cast<int32_t>(context->cbCertEncoded) == der.Length() &&
        std::equal(der.Bytes(), der.Bytes() + der.Length(), context->pbCertEncoded)) {
      return context;
    }
  }
  return nullptr;
}

int ImportPfxEntry(component::CertKeyComponent& component, ComponentKeyState& state, CertStoreHandle& handle,
                   CertificateSource& entry, bool machine) {
  core::Buffer data;
  if (const int rc = SelectedEntryData(entry, data); rc != 0) return rc;
  if (core::IsBase64Text(data.Data(), data.Length())) {
    if (data.AppendByte(0) != 0 || core::Base64Decode(data, 0, 0, 1) != 0) return kStoreNotOpened;
  }
  state.temporary_store = ImportPfx(component, data, machine);
  core::Buffer der;
  plat::PCCERT_CONTEXT found = nullptr;
  if (state.temporary_store != nullptr && handle.SelectedCertificateDer(der) == 0) {
    found = FindEncoded(state.temporary_store, der);
  }
  component.CertificateContext() = found;
  plat::HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key = 0;
  plat::DWORD spec = 0;
  plat::BOOL must_free = 0;
  if (found == nullptr ||
      component::CryptAcquireCertificatePrivateKey(found, kAcquireFlags, nullptr, &key, &spec, &must_free) == 0) {
    return Fail(component, kStoreNotOpened, "Cannot acquire private key");
  }
  state.temporary_key = key;
  state.temporary_key_spec = spec;
  state.temporary_key_must_free = must_free != 0;
  return 0;
}

int AddCertificate(component::CertKeyComponent& component, CertStoreHandle& handle) {
  core::Buffer der, binary;
  if (handle.SelectedCertificateDer(der) != 0 ||
      crypto::PemBodyToBinary(binary, "CERTIFICATE", der.Bytes(), der.Length()) != 0) {
    return Fail(component, kStoreNotOpened, "Cannot add certificate to store");
  }
  plat::PCCERT_CONTEXT created =
      component::CertCreateCertificateContext(kEncoding, binary.Bytes(), static_cast<plat::DWORD>(binary.Length()));
  plat::PCCERT_CONTEXT added = nullptr;
  const bool ok = created != nullptr && component::CertAddCertificateContextToStore(
                                            component.KeyStore(), created, plat::kCertStoreAddAlways, &added) != 0;
  if (created != nullptr) (void)component::CertFreeCertificateContext(created);
  if (!ok) return Fail(component, kStoreNotOpened, "Cannot add certificate to store");
  component.CertificateContext() = added;
  return 0;
}

int ImportKey(component::CertKeyComponent& component, ComponentKeyState& state, KeyRecord& key) {
  char name[32];
  std::snprintf(name, sizeof name, "pem_key_%u", plat::GetTickCount());
  if (component.ContainerName().SetString(name) != 0) return core::kOutOfMemory;
  const char* provider = key.IsDsa() ? kDssProvider : nullptr;
  component::CryptoApiKeyContext& context = component.KeyContext();
  if (crypto::Acquire(context, provider, name, state.container_flags, true) != 0) {
    state.container_flags = kContainerMachineKeyset;
    if (crypto::Acquire(context, provider, name, state.container_flags, true) != 0) {
      component.ContainerName().Clear();
      return Fail(component, crypto::kContainerNotAcquired, "Could not acquire provider");
    }
  }
  core::Buffer blob;
  int rc = (key.Type == crypto::kKeyRsa)   ? crypto::RsaToCryptoApiPrivateBlob(key.RsaParams, blob)
           : key.IsDsa() ? crypto::DsaToCryptoApiPrivateBlob(key.DsaParams, blob)
                         : kStoreNotOpened;
  KeyContainerCalls calls;
  uintptr_t imported = 0;
  if (rc == 0 && !calls.ImportKey(context.provider_handle, blob, &imported)) rc = kStoreNotOpened;
  if (rc != 0) {
    crypto::Release(context);
    calls.DeleteContainer(name, nullptr, 1, state.container_flags);
    component.ContainerName().Clear();
    state.container_flags = 0;
    return Fail(component, rc, "Could not import key");
  }
  context.key_handle = imported;
  return 0;
}

}  // namespace

KeyContainerCalls::KeyContainerCalls() {
  plat::ModuleHandle module = plat::LoadModule("Advapi32.dll");
  if (module == nullptr) return;
  module_ = module;
  acquire_ = plat::GetProc(module, "CryptAcquireContextA");
  release_ = plat::GetProc(module, "CryptReleaseContext");
  import_ = plat::GetProc(module, "CryptImportKey");
}

KeyContainerCalls::~KeyContainerCalls() {
  if (module_ != nullptr) (void)plat::FreeModule(static_cast<plat::ModuleHandle>(module_));
}

bool KeyContainerCalls::ImportKey(uint64_t provider, const core::BufferCore& blob, uintptr_t* key) {
  using ImportFn = plat::BOOL (*)(plat::HCRYPTPROV, const uint8_t*, plat::DWORD, uintptr_t, plat::DWORD, uintptr_t*);
  *key = 0;
  if (import_ == nullptr) return false;
  return reinterpret_cast<ImportFn>(import_)(static_cast<plat::HCRYPTPROV>(provider), blob.Bytes(),
                                             static_cast<plat::DWORD>(blob.Length()), 0, 1, key) != 0;
}

bool KeyContainerCalls::DeleteContainer(const char* container, const char* provider, uint32_t type, uint32_t flags) {
  if (acquire_ == nullptr) return false;
  plat::HCRYPTPROV handle = 0;
  return reinterpret_cast<plat::CryptAcquireContextAFn>(acquire_)(&handle, container, provider, type,
                                                                  flags | kDeleteKeyset) != 0;
}

void KeyContainerCalls::ReleaseProvider(uintptr_t provider) {
  if (release_ != nullptr) (void)reinterpret_cast<plat::CryptReleaseContextFn>(release_)(provider, 0);
}

bool Utf16Text(const core::BufferCore& text, std::u16string* out) {
  out->clear();
  if (text.IsEmpty()) return true;
  std::vector<uint8_t> wide(static_cast<size_t>(text.Length()) * 2);
  int32_t length = 0;
  if (!core::Utf8ToUtf16Le(wide.data(), &length, text.Bytes(), text.Length())) return false;
  for (int32_t i = 0; i + 1 < length; i += 2) out->push_back(static_cast<char16_t>(wide[i] | wide[i + 1] << 8));
  return true;
}

std::string NarrowText(const char16_t* text) {
  std::string out;
  for (; text != nullptr && *text != 0; ++text) out.push_back(static_cast<char>(*text));
  return out;
}

bool ReadKeyProvInfo(plat::PCCERT_CONTEXT context, std::vector<uint64_t>* block) {
  plat::DWORD size = 0;
  if (component::CertGetCertificateContextProperty(context, plat::kCertKeyProvInfoPropId, nullptr, &size) == 0 ||
      size < sizeof(plat::CRYPT_KEY_PROV_INFO)) {
    return false;
  }
  block->assign(size / sizeof(uint64_t) + 1, 0);
  return component::CertGetCertificateContextProperty(context, plat::kCertKeyProvInfoPropId, block->data(), &size) != 0;
}

CertStoreHandle* LoadedHandle(component::CertKeyComponent& component) {
  return dynamic_cast<CertStoreHandle*>(component.LoadedStore());
}

int SelectedEntryData(CertificateSource& source, core::BufferCore& out) {
  if (source.pfx != nullptr) return out.Assign(source.pfx->input);
  Certificate* certificate = source.GetCertificate();
  if (certificate == nullptr) {
    out.Clear();
    return 0;
  }
  return out.Assign(certificate->der);
}

int ImportPemKeyToCryptoApi(component::CertKeyComponent& component, ComponentKeyState& state, bool machine) {
  ReleaseCertificateContext(component, state);
  component.KeyStore() =
      component::CertOpenStore(reinterpret_cast<const char*>(plat::kCertStoreProvMemory), 0, 0, 0, nullptr);
  if (component.KeyStore() == nullptr) return Fail(component, kStoreNotOpened, "The certificate store could not be opened.");
  CertStoreHandle* handle = LoadedHandle(component);
  CertificateSource* entry = handle != nullptr ? handle->SelectedEntry() : nullptr;
  int rc = 0;
  if (entry != nullptr && entry->HasPfx()) {
    rc = ImportPfxEntry(component, state, *handle, *entry, machine);
  } else if (entry != nullptr && handle->SelectedCertificate() != nullptr) {
    rc = AddCertificate(component, *handle);
  } else if (entry != nullptr && handle->SelectedKeyInfo() != nullptr && handle->SelectedHasPrivateKey()) {
    rc = ImportKey(component, state, *handle->SelectedKeyInfo());
  }
  // A failed import keeps nothing: no temporary store, no key left in a container.
  if (rc != 0) ReleaseCertificateContext(component, state);
  return rc;
}

void ReleaseCertificateContext(component::CertKeyComponent& component, ComponentKeyState& state) {
  if (component.CertificateContext() != nullptr) {
    (void)component::CertFreeCertificateContext(component.CertificateContext());
    component.CertificateContext() = nullptr;
  }
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
  if (component.KeyStore() != nullptr) {
    (void)component::CertCloseStore(component.KeyStore(), 0);
    component.KeyStore() = nullptr;
  }
  if (!component.ContainerName().IsEmpty()) {
    component::CryptoApiKeyContext& context = component.KeyContext();
    std::string name(component.ContainerName().Data(), static_cast<size_t>(component.ContainerName().Length()));
    std::string provider(context.provider_name.Data() != nullptr ? context.provider_name.Data() : "",
                         static_cast<size_t>(context.provider_name.Length()));
    const auto type = static_cast<uint32_t>(context.provider_type);
    crypto::Release(context);
    KeyContainerCalls().DeleteContainer(name.c_str(), provider.empty() ? nullptr : provider.c_str(), type,
                                        state.container_flags);
    component.ContainerName().Clear();
  }
  state.container_flags = 0;
}

void PurgeTemporaryStore(const ComponentKeyState& state, plat::HCERTSTORE store) {
  if (store == nullptr) return;
  KeyContainerCalls calls;
  while (state.delete_containers) {
    plat::PCCERT_CONTEXT context =
        component::CertFindCertificateInStore(store, kEncoding, 0, plat::kCertFindAny, nullptr, nullptr);
    if (context == nullptr) break;
    // The information block is read whole, whatever its size: a container skipped here keeps its key.
    std::vector<uint64_t> block;
    if (ReadKeyProvInfo(context, &block)) {
      const auto& info = *reinterpret_cast<const plat::CRYPT_KEY_PROV_INFO*>(block.data());
      if (info.pwszContainerName != nullptr) {
        const std::string container = NarrowText(info.pwszContainerName);
        const std::string provider = NarrowText(info.pwszProvName);
        calls.DeleteContainer(container.c_str(), provider.empty() ? nullptr : provider.c_str(), info.dwProvType,
                              info.dwFlags);
      }
    }
    if (component::CertDeleteCertificateFromStore(context) == 0) break;
  }
  (void)component::CertCloseStore(store, 0);
}

void ResetKeyState(component::CertKeyComponent& component, ComponentKeyState& state) {
  component.CertificateContext() = nullptr;
  component.KeyStore() = nullptr;
  state.temporary_store = nullptr;
  state.temporary_key = 0;
  state.temporary_key_spec = 0;
  state.temporary_key_must_free = false;
  crypto::Release(component.KeyContext());
  component.KeyContext().provider_type = 1;
  state.container_flags = 0;
  state.delete_containers = true;
}

}  // namespace velmora::keystore
