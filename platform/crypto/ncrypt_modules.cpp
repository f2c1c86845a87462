#include "platform/crypto/ncrypt_modules.h"

#include <iterator>
#include <map>
#include <mutex>

#include "platform/crypto/call_counts.h"
#include "platform/crypto/capi_containers.h"
#include "platform/crypto/ksp_software.h"
#include "platform/module_procs.h"

namespace velmora::platform {

namespace {

// The open provider handles: numbers from a counter, never reused, so a stale handle is recognised.
struct ProviderHandles {
  std::mutex mutex;
  std::map<NCRYPT_HANDLE, ksp::Provider> open;
  NCRYPT_HANDLE next = 0x7000;
};

// Never destroyed: a handle freed during process exit may still look itself up here.
ProviderHandles& Providers() {
  static ProviderHandles* handles = new ProviderHandles;
  return *handles;
}

SECURITY_STATUS NotServed(const char* function) {
  CountCryptoCall(function);
  return kNteNotSupported;
}

bool ProviderOpen(NCRYPT_PROV_HANDLE provider, ksp::Provider* kind = nullptr) {
  ProviderHandles& handles = Providers();
  std::lock_guard<std::mutex> lock(handles.mutex);
  auto it = handles.open.find(provider);
  if (it == handles.open.end()) return false;
  if (kind != nullptr) *kind = it->second;
  return true;
}

// The key entry points: the software provider's keys (ksp_software.cpp).
SECURITY_STATUS NCryptCreatePersistedKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key,
                                         const char16_t* algorithm, const char16_t* key_name, DWORD legacy_key_spec,
                                         DWORD flags) {
  CountCryptoCall("NCryptCreatePersistedKey");
  ksp::Provider kind;
  if (!ProviderOpen(provider, &kind)) return kNteInvalidHandle;
  return ksp::CreatePersistedKey(kind, key, algorithm, key_name, legacy_key_spec, flags);
}
SECURITY_STATUS NCryptOpenKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key, const char16_t* key_name,
                              DWORD legacy_key_spec, DWORD flags) {
  CountCryptoCall("NCryptOpenKey");
  ksp::Provider kind;
  if (!ProviderOpen(provider, &kind)) return kNteInvalidHandle;
  return ksp::OpenKey(kind, key, key_name, legacy_key_spec, flags);
}
SECURITY_STATUS NCryptSetProperty(NCRYPT_HANDLE object, const char16_t* property, const uint8_t* input,
                                  DWORD input_size, DWORD flags) {
  CountCryptoCall("NCryptSetProperty");
  if (ProviderOpen(object)) return kNteNotSupported;
  return ksp::SetProperty(object, property, input, input_size, flags);
}
SECURITY_STATUS NCryptGetProperty(NCRYPT_HANDLE object, const char16_t* property, uint8_t* output, DWORD output_size,
                                  DWORD* result, DWORD flags) {
  CountCryptoCall("NCryptGetProperty");
  if (ProviderOpen(object)) return kNteNotSupported;
  return ksp::GetProperty(object, property, output, output_size, result, flags);
}
SECURITY_STATUS NCryptFinalizeKey(NCRYPT_KEY_HANDLE key, DWORD flags) {
  CountCryptoCall("NCryptFinalizeKey");
  return ksp::FinalizeKey(key, flags);
}
SECURITY_STATUS NCryptExportKey(NCRYPT_KEY_HANDLE key, NCRYPT_KEY_HANDLE export_key, const char16_t* blob_type,
                                void* parameters, uint8_t* output, DWORD output_size, DWORD* result, DWORD flags) {
  CountCryptoCall("NCryptExportKey");
  return ksp::ExportKey(key, export_key, blob_type, parameters, output, output_size, result, flags);
}
SECURITY_STATUS NCryptImportKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE import_key, const char16_t* blob_type,
                                void* parameters, NCRYPT_KEY_HANDLE* key, const uint8_t* input, DWORD input_size,
                                DWORD flags) {
  CountCryptoCall("NCryptImportKey");
  ksp::Provider kind;
  if (!ProviderOpen(provider, &kind)) return kNteInvalidHandle;
  return ksp::ImportKey(kind, import_key, blob_type, parameters, key, input, input_size, flags);
}
SECURITY_STATUS NCryptSignHash(NCRYPT_KEY_HANDLE key, void* padding_info, const uint8_t* hash, DWORD hash_size,
                               uint8_t* signature, DWORD signature_size, DWORD* result, DWORD flags) {
  CountCryptoCall("NCryptSignHash");
  return ksp::SignHash(key, padding_info, hash, hash_size, signature, signature_size, result, flags);
}
SECURITY_STATUS NCryptVerifySignature(NCRYPT_KEY_HANDLE key, void* padding_info, const uint8_t* hash, DWORD hash_size,
                                      const uint8_t* signature, DWORD signature_size, DWORD flags) {
  CountCryptoCall("NCryptVerifySignature");
  return ksp::VerifySignature(key, padding_info, hash, hash_size, signature, signature_size, flags);
}
SECURITY_STATUS NCryptEncrypt(NCRYPT_KEY_HANDLE key, const uint8_t* input, DWORD input_size, void* padding_info,
                              uint8_t* output, DWORD output_size, DWORD* result, DWORD flags) {
  CountCryptoCall("NCryptEncrypt");
  return ksp::Encrypt(key, input, input_size, padding_info, output, output_size, result, flags);
}
SECURITY_STATUS NCryptDecrypt(NCRYPT_KEY_HANDLE key, const uint8_t* input, DWORD input_size, void* padding_info,
                              uint8_t* output, DWORD output_size, DWORD* result, DWORD flags) {
  CountCryptoCall("NCryptDecrypt");
  return ksp::Decrypt(key, input, input_size, padding_info, output, output_size, result, flags);
}
SECURITY_STATUS NCryptDeleteKey(NCRYPT_KEY_HANDLE key, DWORD flags) {
  CountCryptoCall("NCryptDeleteKey");
  return ksp::DeleteKey(key, flags);
}
SECURITY_STATUS NCryptEnumKeys(NCRYPT_PROV_HANDLE provider, const char16_t* scope, void** key_name, void** enum_state,
                               DWORD flags) {
  CountCryptoCall("NCryptEnumKeys");
  if (!ProviderOpen(provider)) return kNteInvalidHandle;
  return ksp::EnumKeys(scope, key_name, enum_state, flags);
}
SECURITY_STATUS NCryptFreeBuffer(void* buffer) {
  CountCryptoCall("NCryptFreeBuffer");
  return ksp::FreeBuffer(buffer);
}

SECURITY_STATUS NCryptSecretAgreement(NCRYPT_KEY_HANDLE private_key, NCRYPT_KEY_HANDLE public_key,
                                      NCRYPT_SECRET_HANDLE* secret, DWORD flags) {
  CountCryptoCall("NCryptSecretAgreement");
  return ksp::SecretAgreement(private_key, public_key, secret, flags);
}
SECURITY_STATUS NCryptDeriveKey(NCRYPT_SECRET_HANDLE secret, const char16_t* kdf, void* parameters, uint8_t* derived,
                                DWORD derived_size, DWORD* result, ULONG flags) {
  CountCryptoCall("NCryptDeriveKey");
  return ksp::DeriveKey(secret, kdf, parameters, derived, derived_size, result, flags);
}

// NCryptTranslateHandle gives a software-provider key of a CryptoAPI container's key (legacy provider
// and key spec; the legacy key handle is not looked at) and, when asked, a software-provider handle.
SECURITY_STATUS NCryptTranslateHandle(NCRYPT_PROV_HANDLE* provider, NCRYPT_KEY_HANDLE* key, uintptr_t legacy_provider,
                                      uintptr_t legacy_key, DWORD legacy_key_spec, DWORD flags) {
  CountCryptoCall("NCryptTranslateHandle");
  (void)legacy_key;
  if (key == nullptr) return kNteInvalidParameter;
  if (flags != 0) return kNteBadFlags;
  EVP_PKEY* pkey = nullptr;
  bool exportable = false;
  if (const SECURITY_STATUS status = capi::ContainerKey(legacy_provider, legacy_key_spec, &pkey, &exportable);
      status != 0) {
    return status;
  }
  NCRYPT_KEY_HANDLE made = 0;
  SECURITY_STATUS status = ksp::AdoptKey(pkey, exportable, legacy_key_spec, &made);
  capi::FreeKeyReference(pkey);
  if (status != 0) return status;
  if (provider != nullptr) {
    status = NCryptOpenStorageProvider(provider, nullptr, 0);
    if (status != 0) {
      (void)ksp::FreeKey(made);
      return status;
    }
  }
  *key = made;
  return 0;
}

// The entry points the provider does not serve, all with one answer.
SECURITY_STATUS NCryptCreateProtectionDescriptor(const char16_t*, DWORD, NCRYPT_DESCRIPTOR_HANDLE*) {
  return NotServed("NCryptCreateProtectionDescriptor");
}
SECURITY_STATUS NCryptCloseProtectionDescriptor(NCRYPT_DESCRIPTOR_HANDLE) {
  return NotServed("NCryptCloseProtectionDescriptor");
}
SECURITY_STATUS NCryptProtectSecret(NCRYPT_DESCRIPTOR_HANDLE, DWORD, const uint8_t*, ULONG, const void*, void*,
                                    uint8_t**, ULONG*) {
  return NotServed("NCryptProtectSecret");
}
SECURITY_STATUS NCryptUnprotectSecret(NCRYPT_DESCRIPTOR_HANDLE*, DWORD, const uint8_t*, ULONG, const void*, void*,
                                      uint8_t**, ULONG*) {
  return NotServed("NCryptUnprotectSecret");
}
SECURITY_STATUS NCryptGetProtectionDescriptorInfo(NCRYPT_DESCRIPTOR_HANDLE, const void*, DWORD, void**) {
  return NotServed("NCryptGetProtectionDescriptorInfo");
}
SECURITY_STATUS NCryptStreamOpenToProtect(NCRYPT_DESCRIPTOR_HANDLE, DWORD, void*, void*, NCRYPT_STREAM_HANDLE*) {
  return NotServed("NCryptStreamOpenToProtect");
}
SECURITY_STATUS NCryptStreamOpenToUnprotect(void*, DWORD, void*, NCRYPT_STREAM_HANDLE*) {
  return NotServed("NCryptStreamOpenToUnprotect");
}
SECURITY_STATUS NCryptStreamUpdate(NCRYPT_STREAM_HANDLE, const uint8_t*, std::size_t, BOOL) {
  return NotServed("NCryptStreamUpdate");
}
SECURITY_STATUS NCryptStreamClose(NCRYPT_STREAM_HANDLE) { return NotServed("NCryptStreamClose"); }

#define VELMORA_NCRYPT_PROC(name) {#name, []() -> void* { return reinterpret_cast<void*>(&name); }}

constexpr ProcEntry kNcryptProcs[] = {
    VELMORA_NCRYPT_PROC(NCryptOpenStorageProvider),
    VELMORA_NCRYPT_PROC(NCryptFreeObject),
    VELMORA_NCRYPT_PROC(NCryptCreatePersistedKey),
    VELMORA_NCRYPT_PROC(NCryptOpenKey),
    VELMORA_NCRYPT_PROC(NCryptSetProperty),
    VELMORA_NCRYPT_PROC(NCryptGetProperty),
    VELMORA_NCRYPT_PROC(NCryptFinalizeKey),
    VELMORA_NCRYPT_PROC(NCryptExportKey),
    VELMORA_NCRYPT_PROC(NCryptImportKey),
    VELMORA_NCRYPT_PROC(NCryptSignHash),
    VELMORA_NCRYPT_PROC(NCryptVerifySignature),
    VELMORA_NCRYPT_PROC(NCryptSecretAgreement),
    VELMORA_NCRYPT_PROC(NCryptDeriveKey),
    VELMORA_NCRYPT_PROC(NCryptTranslateHandle),
    VELMORA_NCRYPT_PROC(NCryptEncrypt),
    VELMORA_NCRYPT_PROC(NCryptDecrypt),
    VELMORA_NCRYPT_PROC(NCryptDeleteKey),
    VELMORA_NCRYPT_PROC(NCryptEnumKeys),
    VELMORA_NCRYPT_PROC(NCryptFreeBuffer),
    VELMORA_NCRYPT_PROC(NCryptCreateProtectionDescriptor),
    VELMORA_NCRYPT_PROC(NCryptCloseProtectionDescriptor),
    VELMORA_NCRYPT_PROC(NCryptProtectSecret),
    VELMORA_NCRYPT_PROC(NCryptUnprotectSecret),
    VELMORA_NCRYPT_PROC(NCryptGetProtectionDescriptorInfo),
    VELMORA_NCRYPT_PROC(NCryptStreamOpenToProtect),
    VELMORA_NCRYPT_PROC(NCryptStreamOpenToUnprotect),
    VELMORA_NCRYPT_PROC(NCryptStreamUpdate),
    VELMORA_NCRYPT_PROC(NCryptStreamClose),
};

#undef VELMORA_NCRYPT_PROC

}  // namespace

SECURITY_STATUS NCryptOpenStorageProvider(NCRYPT_PROV_HANDLE* provider, const char16_t* name, DWORD flags) {
  CountCryptoCall("NCryptOpenStorageProvider");
  if (provider == nullptr) return kNteInvalidParameter;
  if (flags != 0) return kNteBadFlags;
  ksp::Provider kind;
  if (!ksp::ProviderOfName(name, &kind)) return kNteProvDllNotFound;
  ProviderHandles& handles = Providers();
  std::lock_guard<std::mutex> lock(handles.mutex);
  *provider = handles.next++;
  handles.open.emplace(*provider, kind);
  return 0;
}

SECURITY_STATUS NCryptFreeObject(NCRYPT_HANDLE object) {
  CountCryptoCall("NCryptFreeObject");
  {
    ProviderHandles& handles = Providers();
    std::lock_guard<std::mutex> lock(handles.mutex);
    if (handles.open.erase(object) != 0) return 0;
  }
  return ksp::FreeKey(object) ? 0 : kNteInvalidHandle;
}

int LiveNcryptHandles() {
  ProviderHandles& handles = Providers();
  std::lock_guard<std::mutex> lock(handles.mutex);
  return static_cast<int>(handles.open.size());
}

int LiveNcryptKeys() { return ksp::LiveKeys(); }

ProcList NcryptProcs() { return {kNcryptProcs, static_cast<int>(std::size(kNcryptProcs))}; }

}  // namespace velmora::platform
