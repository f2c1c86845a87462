#include "crypto/providers/storage_provider_keys.h"

#include <string_view>

#include "crypto/providers/cng_results.h"
#include "crypto/providers/provider_tables.h"
#include "platform/crypto/ncrypt_types.h"

namespace velmora::crypto {

namespace plat = velmora::platform;

namespace {

template <typename Fn>
Fn KeyStore(int function) {
  return ProviderFunctionAs<Fn>(ProviderTable::kKeyStore, function);
}

std::u16string_view View(const char16_t* text) { return text != nullptr ? std::u16string_view(text) : u""; }

bool IsTpm(const char16_t* provider_name) { return View(provider_name) == kTpmProviderName; }

// SetPassword sets a non-empty migration password, terminator included: 0 or the status.
int SetPassword(plat::NCryptSetPropertyFn set, plat::NCRYPT_KEY_HANDLE key, const char16_t* password) {
  const std::u16string_view text = View(password);
  if (text.empty()) return 0;
  return set(key, plat::kNcryptMigrationPasswordProperty, reinterpret_cast<const uint8_t*>(text.data()),
             static_cast<plat::DWORD>((text.size() + 1) * sizeof(char16_t)), plat::kNcryptPersistFlag);
}

// Handles frees what an operation opened, on every path.
struct Handles {
  plat::NCryptFreeObjectFn free_object;
  plat::NCRYPT_PROV_HANDLE provider = 0;
  plat::NCRYPT_KEY_HANDLE key = 0;
  ~Handles() {
    if (key != 0) (void)free_object(key);
    if (provider != 0) (void)free_object(provider);
  }
};

}  // namespace

int ImportKeyToStorageProvider(const char16_t* key_name, const uint8_t* blob, uint32_t blob_length,
                               uint32_t import_flags, uint32_t key_usage, const char16_t* provider_name,
                               const char16_t* blob_type, const uint8_t* certificate, uint32_t certificate_length,
                               const char16_t* migration_password) {
  if (View(key_name).empty() || blob == nullptr || blob_length == 0) return 0;
  auto open = KeyStore<plat::NCryptOpenStorageProviderFn>(key_store_fn::kOpenStorageProvider);
  auto import = KeyStore<plat::NCryptImportKeyFn>(key_store_fn::kImportKey);
  auto set = KeyStore<plat::NCryptSetPropertyFn>(key_store_fn::kSetProperty);
  auto finalize = KeyStore<plat::NCryptFinalizeKeyFn>(key_store_fn::kFinalizeKey);
  auto free_object = KeyStore<plat::NCryptFreeObjectFn>(key_store_fn::kFreeObject);
  if (open == nullptr || import == nullptr || set == nullptr || finalize == nullptr || free_object == nullptr) {
    return kCngNotLoaded;
  }
  Handles handles{free_object};
  if (const int status = open(&handles.provider, provider_name, 0); status != 0) {
    handles.provider = 0;
    return status;
  }
  const std::u16string_view name = View(key_name);
  plat::NCryptBuffer buffer{static_cast<plat::ULONG>((name.size() + 1) * sizeof(char16_t)),
                            plat::kNcryptBufferPkcsKeyName, const_cast<char16_t*>(key_name)};
  plat::NCryptBufferDesc list{0, 1, &buffer};
  if (const int status = import(handles.provider, 0, blob_type, &list, &handles.key, blob, blob_length,
                                import_flags | plat::kNcryptDoNotFinalizeFlag);
      status != 0) {
    handles.key = 0;
    return status;
  }
  const plat::DWORD policy = IsTpm(provider_name) ? 0 : plat::kAllowExportFlag | plat::kAllowPlaintextExportFlag;
  const plat::DWORD usage = key_usage;
  int status = set(handles.key, plat::kNcryptExportPolicyProperty, reinterpret_cast<const uint8_t*>(&policy),
                   sizeof policy, plat::kNcryptPersistFlag);
  if (status == 0) {
    status = set(handles.key, plat::kNcryptKeyUsageProperty, reinterpret_cast<const uint8_t*>(&usage), sizeof usage,
                 plat::kNcryptPersistFlag);
  }
  if (status == 0) status = SetPassword(set, handles.key, migration_password);
  if (status == 0) status = finalize(handles.key, 0);
  if (status == 0 && certificate != nullptr && certificate_length > 0) {
    status = set(handles.key, plat::kNcryptCertificateProperty, certificate, certificate_length, 0);
  }
  return status;
}

int ExportKeyFromStorageProvider(const char16_t* key_name, uint8_t* output, uint32_t* output_length,
                                 const char16_t* provider_name, const char16_t* blob_type,
                                 const char16_t* migration_password) {
  if (output_length == nullptr) return kCngNotLoaded;
  const uint32_t capacity = *output_length;
  *output_length = 0;
  auto open = KeyStore<plat::NCryptOpenStorageProviderFn>(key_store_fn::kOpenStorageProvider);
  auto open_key = KeyStore<plat::NCryptOpenKeyFn>(key_store_fn::kOpenKey);
  auto set = KeyStore<plat::NCryptSetPropertyFn>(key_store_fn::kSetProperty);
  auto export_key = KeyStore<plat::NCryptExportKeyFn>(key_store_fn::kExportKey);
  auto free_object = KeyStore<plat::NCryptFreeObjectFn>(key_store_fn::kFreeObject);
  if (open == nullptr || open_key == nullptr || set == nullptr || export_key == nullptr || free_object == nullptr) {
    return kCngNotLoaded;
  }
  Handles handles{free_object};
  if (const int status = open(&handles.provider, provider_name, 0); status != 0) {
    handles.provider = 0;
    return status;
  }
  if (const int status = open_key(handles.provider, &handles.key, key_name, 0, 0); status != 0) {
    handles.key = 0;
    return status;
  }
  if (const int status = SetPassword(set, handles.key, migration_password); status != 0) return status;
  plat::DWORD size = 0;
  if (const int status = export_key(handles.key, 0, blob_type, nullptr, output, capacity, &size, 0); status != 0) {
    return status;
  }
  *output_length = size;
  return 0;
}

int DeleteKeyFromStorageProvider(const char16_t* key_name, const char16_t* provider_name, uint32_t open_flags) {
  if (View(key_name).empty()) return 0;
  auto open = KeyStore<plat::NCryptOpenStorageProviderFn>(key_store_fn::kOpenStorageProvider);
  auto open_key = KeyStore<plat::NCryptOpenKeyFn>(key_store_fn::kOpenKey);
  auto delete_key = KeyStore<plat::NCryptDeleteKeyFn>(key_store_fn::kDeleteKey);
  auto free_object = KeyStore<plat::NCryptFreeObjectFn>(key_store_fn::kFreeObject);
  if (open == nullptr || open_key == nullptr || delete_key == nullptr || free_object == nullptr) return kCngNotLoaded;
  Handles handles{free_object};
  if (const int status = open(&handles.provider, provider_name, 0); status != 0) {
    handles.provider = 0;
    return status;
  }
  if (const int status = open_key(handles.provider, &handles.key, key_name, 0, open_flags); status != 0) {
    handles.key = 0;
    return status;
  }
  // A deleted key's handle is freed with it; a key that could not be deleted keeps its handle to free.
  const int status = delete_key(handles.key, 0);
  if (status == 0) handles.key = 0;
  return status;
}

}  // namespace velmora::crypto
