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
#include "platform/os_version.h"

namespace velmora::keystore {

namespace plat = velmora::platform;

namespace {

constexpr plat::DWORD kEncoding = plat::kX509AsnEncoding | plat::kPkcs7AsnEncoding;
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

int ImportPfxEntry(component::CertKeyComponent& component, CertStoreHandle& handle, CertificateSource& entry,
                   bool machine) {
  ComponentKeyState& state = component.KeyState();
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

// CreateNamedContainer creates a new container "pem_key_" and the tick count for the component, taking
// the next number while the name belongs to a container that exists: two imports in one millisecond
// (or a container another component or process still holds) must never share a key set, since the
// second import would replace the first one's key and the first release would delete both. 0 with the
// name kept by the component, or 221.
int CreateNamedContainer(component::CertKeyComponent& component, const char* provider, uint32_t flags) {
  constexpr uint32_t kNamesTried = 256;
  const uint32_t tick = plat::GetTickCount();
  for (uint32_t i = 0; i < kNamesTried; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "pem_key_%u", tick + i);
    if (component.ContainerName().SetString(name) != 0) return core::kOutOfMemory;
    bool exists = false;
    if (crypto::CreateContainer(component.KeyContext(), provider, name, flags, &exists) == 0) return 0;
    if (!exists) break;
  }
  component.ContainerName().Clear();
  return crypto::kContainerNotAcquired;
}

int ImportKey(component::CertKeyComponent& component, KeyRecord& key) {
  ComponentKeyState& state = component.KeyState();
  // NOTE: on Windows 5.x the key goes into the machine's key sets from the start.
  if (plat::GetOsVersion().major == 5) state.container_flags |= kContainerMachineKeyset;
  const char* provider = key.IsDsa() ? kDssProvider : nullptr;
  component::CryptoApiKeyContext& context = component.KeyContext();
  int acquired = CreateNamedContainer(component, provider, state.container_flags);
  if (acquired == crypto::kContainerNotAcquired) {
    state.container_flags = kContainerMachineKeyset;
    acquired = CreateNamedContainer(component, provider, state.container_flags);
  }
  if (acquired != 0) {
    crypto::Release(context);
    component.ContainerName().Clear();
    state.container_flags = 0;
    return Fail(component, acquired, "Could not acquire provider");
  }
  const std::string name(component.ContainerName().Data(), static_cast<size_t>(component.ContainerName().Length()));
  core::Buffer blob;
  int rc = (key.Type == crypto::kKeyRsa)   ? crypto::RsaToCryptoApiPrivateBlob(key.RsaParams, blob)
           : key.IsDsa() ? crypto::DsaToCryptoApiPrivateBlob(key.DsaParams, blob)
                         : kStoreNotOpened;
  KeyContainerCalls calls;
  uintptr_t imported = 0;
  if (rc == 0 && !calls.ImportKey(context.provider_handle, blob, &imported)) rc = kStoreNotOpened;
  if (rc != 0) {
    crypto::Release(context);
    calls.DeleteContainer(name.c_str(), provider, context.provider_type, state.container_flags);
    component.ContainerName().Clear();
    state.container_flags = 0;
    return Fail(component, rc, "Could not import key");
  }
  context.key_handle = imported;
  return 0;
}

}  // namespace

bool Utf16Text(const core::BufferCore& text, std::u16string* out) {
  out->clear();
  if (text.IsEmpty()) return true;
  std::vector<uint8_t> wide(static_cast<size_t>(text.Length()) * 2);
  int32_t length = 0;
  if (!core::Utf8ToUtf16Le(wide.data(), &length, text.Bytes(), text.Length())) return false;
  for (int32_t i = 0; i + 1 < length; i += 2) out->push_back(static_cast<char16_t>(wide[i] | wide[i + 1] << 8));
  return true;
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

int ImportPemKeyToCryptoApi(component::CertKeyComponent& component, bool machine) {
  component.ReleaseCertificateContext();
  component.KeyStore() =
      component::CertOpenStore(reinterpret_cast<const char*>(plat::kCertStoreProvMemory), 0, 0, 0, nullptr);
  if (component.KeyStore() == nullptr) return Fail(component, kStoreNotOpened, "The certificate store could not be opened.");
  CertStoreHandle* handle = LoadedHandle(component);
  CertificateSource* entry = handle != nullptr ? handle->SelectedEntry() : nullptr;
  int rc = 0;
  if (entry != nullptr && entry->HasPfx()) {
    rc = ImportPfxEntry(component, *handle, *entry, machine);
  } else if (entry != nullptr && handle->SelectedCertificate() != nullptr) {
    rc = AddCertificate(component, *handle);
  } else if (entry != nullptr && handle->SelectedKeyInfo() != nullptr && handle->SelectedHasPrivateKey()) {
    rc = ImportKey(component, *handle->SelectedKeyInfo());
  }
  // A failed import keeps nothing: no temporary store, no key left in a container.
  if (rc != 0) component.ReleaseCertificateContext();
  return rc;
}

}  // namespace velmora::keystore
