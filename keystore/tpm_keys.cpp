#include "keystore/tpm_keys.h"

#include <string>
#include <vector>

#include "component/tls_services.h"
#include "crypto/objects/cng_key_blobs.h"
#include "crypto/providers/storage_provider_keys.h"
#include "crypto/rand/random.h"
#include "keystore/cert_export.h"
#include "keystore/cert_loader.h"
#include "pki/pfx_builder.h"

namespace velmora::keystore {

namespace plat = velmora::platform;

namespace {

constexpr plat::DWORD kEncoding = plat::kX509AsnEncoding | plat::kPkcs7AsnEncoding;
constexpr uint32_t kMachineKeyFlag = 0x20;
constexpr char kCannotAddKey[] = "Cannot add the private key to TPM.";

bool IsEmptyText(const char16_t* text) { return text == nullptr || text[0] == 0; }

std::u16string Wide(const core::BufferCore& ascii) {
  std::u16string out;
  for (int32_t i = 0; i < ascii.Length(); ++i) out.push_back(static_cast<char16_t>(ascii.Bytes()[i]));
  return out;
}

// TpmCertificate makes the context of the selected certificate that names the key imported for it:
// *context set, or a code with the component's text. *key_name is the name the key was imported under
// once the import was tried (empty before).
int TpmCertificate(component::CertKeyComponent& component, CertStoreHandle& handle, bool machine,
                   const char16_t* provider_name, const char16_t* migration_password, plat::PCCERT_CONTEXT* context,
                   std::u16string* key_name) {
  KeyRecord& key = *handle.SelectedKeyInfo();
  if (!(key.Type == crypto::kKeyRsa) && !key.IsEc()) {
    return component.SetErrorText(kUnsupportedTpmKey,
                                  "Cannot add the private key to TPM: Only support RSA or ECDSA format.");
  }
  core::Buffer blob, der, name;
  if (int rc = crypto::KeyRecordToCngPrivateBlob(key, blob); rc != 0) return component.SetErrorText(rc, kCannotAddKey);
  if (handle.SelectedCertificateDer(der) != 0 || der.IsEmpty() ||
      (*context = component::CertCreateCertificateContext(kEncoding, der.Bytes(),
                                                          static_cast<plat::DWORD>(der.Length()))) == nullptr) {
    return component.SetErrorText(kNoSubjectMatch, "The certificate could not be found");
  }
  if (TpmContainerName(name) != 0) return component.SetErrorText(core::kOutOfMemory, kCannotAddKey);
  std::u16string container = Wide(name), provider = provider_name;
  plat::CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), 0, 0, 0, nullptr, 0};
  if (component::CertSetCertificateContextProperty(*context, plat::kCertKeyProvInfoPropId, 0, &info) == 0) {
    return component.SetErrorText(kStoreNotOpened, kCannotAddKey);
  }
  const char16_t* blob_type = key.IsEc() ? u"ECCPRIVATEBLOB" : u"RSAPRIVATEBLOB";
  *key_name = container;
  const int status = crypto::ImportKeyToStorageProvider(
      container.c_str(), blob.Bytes(), static_cast<uint32_t>(blob.Length()), machine ? kMachineKeyFlag : 0,
      key.IsEc() ? 2 : 1, provider_name, blob_type, der.Bytes(), static_cast<uint32_t>(der.Length()),
      migration_password);
  return status == 0 ? 0 : component.SetErrorText(status, kCannotAddKey);
}

}  // namespace

int TpmContainerName(core::BufferCore& out) {
  uint8_t bytes[16];
  (void)crypto::GlobalRandomBytes(bytes, 0, 16);
  static const char kDigits[] = "0123456789ABCDEF";
  char text[33];
  for (int i = 0; i < 16; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  text[32] = 0;
  return out.SetString(text);
}

int ImportKeyToTpm(component::CertKeyComponent& component, bool machine, const char* store_name,
                   uint32_t disposition, const char16_t* provider_name, const char16_t* migration_password) {
  const plat::DWORD location = machine ? plat::kCertSystemStoreLocalMachine : plat::kCertSystemStoreCurrentUser;
  plat::HCERTSTORE store =
      component::CertOpenStore(reinterpret_cast<const char*>(plat::kCertStoreProvSystemA), 0, 0,
                               location | plat::kCertStoreOpenExistingFlag, store_name);
  if (store == nullptr) return component.SetErrorText(kStoreNotOpened, "Cannot open certificate store");
  CertStoreHandle* handle = LoadedHandle(component);
  const bool tpm = provider_name != nullptr && std::u16string_view(provider_name) == crypto::kTpmProviderName;
  plat::PCCERT_CONTEXT created = nullptr;
  plat::PCCERT_CONTEXT context = nullptr;
  std::u16string key_name;
  int rc = 0;
  if (tpm && handle != nullptr && handle->SelectedKeyInfo() != nullptr && handle->SelectedHasPrivateKey()) {
    rc = TpmCertificate(component, *handle, machine, provider_name, migration_password, &created, &key_name);
    context = created;
  } else {
    if (component.CertificateContext() == nullptr) (void)ImportPemKeyToCryptoApi(component, machine);
    context = component.CertificateContext();
    if (context == nullptr) rc = component.SetErrorText(kNoSubjectMatch, "The certificate could not be found");
  }
  if (rc == 0 && component::CertAddCertificateContextToStore(store, context, disposition, nullptr) == 0) {
    rc = component.SetErrorText(kStoreNotOpened, "Cannot add certificate to store");
  }
  // A key no certificate in the store names is out of every caller's reach: it must not stay behind.
  if (rc != 0 && !key_name.empty()) {
    (void)crypto::DeleteKeyFromStorageProvider(key_name.c_str(), provider_name, machine ? kMachineKeyFlag : 0);
  }
  if (created != nullptr) (void)component::CertFreeCertificateContext(created);
  (void)component::CertCloseStore(store, 0);
  return rc;
}

namespace {

// ReadTpmKey loads a PKCS #12 container of the selected certificate and the TPM key its context names
// back into the handle: 0 or a code.
int ReadTpmKey(component::CertKeyComponent& component, CertStoreHandle& handle, const char* password,
               const char* key_algorithm_oid, const char* cert_algorithm_oid, const char16_t* migration_password) {
  std::vector<uint64_t> block;
  if (!ReadKeyProvInfo(component.CertificateContext(), &block)) return kStoreNotOpened;
  const auto& info = *reinterpret_cast<const plat::CRYPT_KEY_PROV_INFO*>(block.data());
  KeyRecord* key = handle.SelectedKeyInfo();
  Certificate* certificate = handle.SelectedCertificate();
  if (key == nullptr || (!(key->Type == crypto::kKeyRsa) && !key->IsEc())) {
    return component.SetErrorText(kUnsupportedTpmKey,
                                  "Cannot export the TPM private key: Only RSA or ECDSA formats are supported.");
  }
  if (certificate == nullptr || info.pwszContainerName == nullptr) return kStoreNotOpened;
  const char16_t* blob_type = key->IsEc() ? u"ECCPRIVATEBLOB" : u"RSAPRIVATEBLOB";
  uint32_t length = 0;
  int rc = crypto::ExportKeyFromStorageProvider(info.pwszContainerName, nullptr, &length, crypto::kTpmProviderName,
                                                blob_type, migration_password);
  if (rc != 0) return rc;
  core::SecureBuffer blob;
  if (blob.Resize(static_cast<int32_t>(length)) != 0) return core::kOutOfMemory;
  rc = crypto::ExportKeyFromStorageProvider(info.pwszContainerName, reinterpret_cast<uint8_t*>(blob.Data()), &length,
                                            crypto::kTpmProviderName, blob_type, migration_password);
  if (rc != 0) return rc;
  KeyRecord record;
  if ((rc = crypto::CngBlobToKeyRecord(record, blob.Bytes(), static_cast<int32_t>(length))) != 0) return rc;
  core::Buffer pfx;
  if ((rc = pki::BuildPfx(*certificate, password, record, key_algorithm_oid, cert_algorithm_oid, pfx)) != 0) return rc;
  return LoadCertificateFromInput(handle, pfx.Bytes(), pfx.Length(), false, password, nullptr, nullptr, nullptr,
                                  &component.LastErrorText());
}

}  // namespace

int ExportTpmKey(component::CertKeyComponent& component, const char* format, const char* password,
                 bool include_private, const core::StrList& attribute_names, const core::StrList& attribute_values,
                 const char* key_algorithm_oid, const char* cert_algorithm_oid, core::Buffer& out,
                 const char16_t* migration_password) {
  CertStoreHandle* handle = LoadedHandle(component);
  if (handle == nullptr) return component.SetErrorText(kStoreNotOpened, "The certificate could not be found");
  int tpm_rc = 0;
  if (component.StoreKind() < 2 && include_private && !handle->SelectedHasPrivateKey() &&
      component.CertificateContext() != nullptr && !IsEmptyText(migration_password)) {
    tpm_rc = ReadTpmKey(component, *handle, password, key_algorithm_oid, cert_algorithm_oid, migration_password);
  }
  // The ordinary export runs in every case; a failed read keeps its code and text.
  const int rc = ExportCertificateKey(*handle, format, include_private, password, attribute_names, attribute_values,
                                      key_algorithm_oid, cert_algorithm_oid, out,
                                      tpm_rc == 0 ? &component.LastErrorText() : nullptr);
  return tpm_rc != 0 ? tpm_rc : rc;
}

}  // namespace velmora::keystore
