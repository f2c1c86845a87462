#include "crypto/providers/provider_tables.h"

#include <atomic>
#include <iterator>
#include <mutex>

#include "component/socket_base.h"
#include "crypto/providers/bcrypt_cipher_functions.h"
#include "crypto/rand/random.h"
#include "platform/win_codes.h"

namespace velmora::crypto {

namespace plat = velmora::platform;

namespace {

using Function = ProviderTableLayout::Function;

constexpr const char* kBcryptModules[] = {"Bcrypt.dll"};
constexpr const char* kNcryptModules[] = {"Ncrypt.dll", "crypt32.dll", "Advapi32.dll"};
constexpr const char* kKeyStoreModules[] = {"Ncrypt.dll"};

constexpr Function kAgreement[] = {
    {0, "BCryptOpenAlgorithmProvider"}, {0, "BCryptCloseAlgorithmProvider"}, {0, "BCryptDestroyKey"},
    {0, "BCryptImportKeyPair"},         {0, "BCryptGenerateKeyPair"},        {0, "BCryptSetProperty"},
    {0, "BCryptFinalizeKeyPair"},       {0, "BCryptExportKey"},              {0, "BCryptSecretAgreement"},
    {0, "BCryptDeriveKey"},             {0, "BCryptDestroySecret"},
};
constexpr Function kSignature[] = {
    {0, "BCryptOpenAlgorithmProvider"}, {0, "BCryptCloseAlgorithmProvider"}, {0, "BCryptDestroyKey"},
    {0, "BCryptGenerateKeyPair"},       {0, "BCryptSetProperty"},            {0, "BCryptFinalizeKeyPair"},
    {0, "BCryptExportKey"},             {0, "BCryptImportKeyPair"},          {0, "BCryptSignHash"},
    {0, "BCryptVerifySignature"},
};
constexpr Function kNcryptEcc[] = {
    {0, "NCryptOpenStorageProvider"}, {0, "NCryptCreatePersistedKey"}, {0, "NCryptSetProperty"},
    {0, "NCryptFinalizeKey"},         {0, "NCryptExportKey"},          {0, "NCryptImportKey"},
    {0, "NCryptSignHash"},            {0, "NCryptVerifySignature"},    {0, "NCryptSecretAgreement"},
    {0, "NCryptDeriveKey"},           {0, "NCryptFreeObject"},         {0, "NCryptTranslateHandle"},
    {1, "CryptAcquireCertificatePrivateKey"}, {2, "CryptReleaseContext"},
};
constexpr Function kHash[] = {
    {0, "BCryptOpenAlgorithmProvider"}, {0, "BCryptCloseAlgorithmProvider"}, {0, "BCryptDestroyHash"},
    {0, "BCryptCreateHash"},            {0, "BCryptHashData"},               {0, "BCryptFinishHash"},
    {0, "BCryptDuplicateHash"},
};
constexpr Function kPbkdf2[] = {
    {0, "BCryptOpenAlgorithmProvider"}, {0, "BCryptCloseAlgorithmProvider"}, {0, "BCryptDeriveKeyPBKDF2"},
};
constexpr Function kNcryptRsa[] = {
    {0, "NCryptOpenStorageProvider"}, {0, "NCryptFreeObject"},   {0, "NCryptImportKey"},
    {0, "NCryptSignHash"},            {0, "NCryptVerifySignature"}, {0, "NCryptEncrypt"},
    {0, "NCryptDecrypt"},             {0, "NCryptCreatePersistedKey"}, {0, "NCryptExportKey"},
    {0, "NCryptSetProperty"},         {0, "NCryptFinalizeKey"},  {0, "NCryptTranslateHandle"},
    {1, "CryptAcquireCertificatePrivateKey"}, {2, "CryptReleaseContext"},
};
constexpr Function kKeyStore[] = {
    {0, "NCryptOpenStorageProvider"},
    {0, "NCryptCreatePersistedKey"},
    {0, "NCryptOpenKey"},
    {0, "NCryptFreeObject"},
    {0, "NCryptExportKey"},
    {0, "NCryptImportKey"},
    {0, "NCryptSetProperty"},
    {0, "NCryptFinalizeKey"},
    {0, "NCryptDeleteKey"},
    {0, "NCryptEnumKeys"},
    {0, "NCryptGetProperty"},
    {0, "NCryptFreeBuffer"},
    {0, "NCryptSignHash"},
    {0, "NCryptVerifySignature"},
    {0, "NCryptEncrypt"},
    {0, "NCryptDecrypt"},
    {0, "NCryptCreateProtectionDescriptor"},
    {0, "NCryptCloseProtectionDescriptor"},
    {0, "NCryptProtectSecret"},
    {0, "NCryptStreamClose"},
    {0, "NCryptStreamOpenToProtect"},
    {0, "NCryptStreamOpenToUnprotect"},
    {0, "NCryptStreamUpdate"},
    {0, "NCryptUnprotectSecret"},
    {0, "NCryptGetProtectionDescriptorInfo"},
};

template <size_t M, size_t F>
constexpr ProviderTableLayout Layout(const char* const (&modules)[M], const Function (&functions)[F]) {
  return {modules, static_cast<int>(M), functions, static_cast<int>(F)};
}

// In the order of ProviderTable.
constexpr ProviderTableLayout kLayouts[kProviderTableCount] = {
    Layout(kBcryptModules, kAgreement), Layout(kBcryptModules, kSignature), Layout(kNcryptModules, kNcryptEcc),
    Layout(kBcryptModules, kHash),      Layout(kBcryptModules, kPbkdf2),    Layout(kNcryptModules, kNcryptRsa),
    Layout(kKeyStoreModules, kKeyStore),
};

constexpr int kMaxModules = 3;
constexpr int kMaxFunctions = 25;

// TableState is a table's module handles and pointers; written by its loader and unloader only.
struct TableState {
  plat::ModuleHandle modules[kMaxModules];
  void* functions[kMaxFunctions];
};
constinit TableState g_tables[kProviderTableCount] = {};

// CachedAlgorithm is one cached algorithm handle. It is published (release) after reusable is written, so
// a user that sees the handle sees its flag.
struct CachedAlgorithm {
  std::atomic<plat::BCRYPT_ALG_HANDLE> handle{nullptr};
  std::atomic<bool> reusable{false};
};
CachedAlgorithm g_hash_handles[kHashSlotCount];
CachedAlgorithm g_pbkdf2_handles[kPbkdf2SlotCount];
CachedAlgorithm g_agreement_handle[1];
// Taken only to open a handle that is still null, so each slot is opened once however many threads ask.
std::mutex g_open_mutex;

constexpr const char16_t* kHashNames[4] = {u"SHA1", u"SHA256", u"SHA384", u"SHA512"};
constexpr const char16_t* kPbkdf2Names[kPbkdf2SlotCount] = {u"SHA1", u"SHA256", u"SHA384", u"SHA512", u"MD5"};

TableState& State(ProviderTable table) { return g_tables[static_cast<int>(table)]; }
const ProviderTableLayout& LayoutOf(ProviderTable table) { return kLayouts[static_cast<int>(table)]; }

// LoadModuleOf loads one module of a table when its handle is null and looks up that module's functions.
// True when the module is loaded afterwards.
bool LoadModuleOf(ProviderTable table, int module) {
  TableState& state = State(table);
  if (state.modules[module] != nullptr) return true;
  const ProviderTableLayout& layout = LayoutOf(table);
  state.modules[module] = plat::LoadModule(layout.modules[module]);
  if (state.modules[module] == nullptr) return false;
  for (int i = 0; i < layout.function_count; ++i) {
    if (layout.functions[i].module == module) {
      state.functions[i] = plat::GetProc(state.modules[module], layout.functions[i].name);
    }
  }
  return true;
}

// LoadChain loads the modules in order, stopping at the first that cannot be loaded.
void LoadChain(ProviderTable table) {
  const ProviderTableLayout& layout = LayoutOf(table);
  for (int module = 0; module < layout.module_count; ++module) {
    if (!LoadModuleOf(table, module)) return;
  }
}

void CloseCached(ProviderTable table, int close_function, CachedAlgorithm* slots, int count) {
  auto close = ProviderFunctionAs<plat::BCryptCloseAlgorithmProviderFn>(table, close_function);
  if (close == nullptr) return;
  for (int i = 0; i < count; ++i) {
    plat::BCRYPT_ALG_HANDLE handle = slots[i].handle.exchange(nullptr);
    if (handle != nullptr) (void)close(handle, 0);
    slots[i].reusable.store(false);
  }
}

void FreeTable(ProviderTable table) {
  TableState& state = State(table);
  const ProviderTableLayout& layout = LayoutOf(table);
  for (int module = 0; module < layout.module_count; ++module) {
    if (state.modules[module] == nullptr) continue;
    (void)plat::FreeModule(state.modules[module]);
    state.modules[module] = nullptr;
    for (int i = 0; i < layout.function_count; ++i) {
      if (layout.functions[i].module == module) state.functions[i] = nullptr;
    }
  }
}

// OpenCached opens a slot once: first with first_flags, then with second_flags (reusable stays false).
plat::BCRYPT_ALG_HANDLE OpenCached(ProviderTable table, CachedAlgorithm& slot, const char16_t* name,
                                   plat::ULONG first_flags, plat::ULONG second_flags) {
  plat::BCRYPT_ALG_HANDLE handle = slot.handle.load(std::memory_order_acquire);
  if (handle != nullptr) return handle;
  auto open = ProviderFunctionAs<plat::BCryptOpenAlgorithmProviderFn>(table, 0);
  if (open == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(g_open_mutex);
  handle = slot.handle.load(std::memory_order_acquire);
  if (handle != nullptr) return handle;
  bool reusable = true;
  if (open(&handle, name, nullptr, first_flags) != plat::kStatusSuccess) {
    reusable = false;
    handle = nullptr;
    if (first_flags == second_flags || open(&handle, name, nullptr, second_flags) != plat::kStatusSuccess) {
      return nullptr;
    }
  }
  slot.reusable.store(reusable && (first_flags & plat::kBcryptHashReusableFlag) != 0, std::memory_order_relaxed);
  slot.handle.store(handle, std::memory_order_release);
  return handle;
}

void StartProviders() {
  CryptoProvidersStaticInit();
  LoadNCryptFunctions();
}

void StopProviders() {
  CryptoProvidersStaticDestroy();
  FreeNCryptFunctions();
}

// Join the library's start-up and tear-down, after the optional system modules are loaded.
const bool g_hooks_registered = [] {
  component::SocketBase::AddLifetimeHooks(&StartProviders, &StopProviders);
  return true;
}();

}  // namespace

const ProviderTableLayout& ProviderLayout(ProviderTable table) { return LayoutOf(table); }

void* ProviderFunction(ProviderTable table, int function) {
  const ProviderTableLayout& layout = LayoutOf(table);
  if (function < 0 || function >= layout.function_count) return nullptr;
  return State(table).functions[function];
}

plat::ModuleHandle ProviderModule(ProviderTable table, int module) {
  if (module < 0 || module >= LayoutOf(table).module_count) return nullptr;
  return State(table).modules[module];
}

void LoadBcryptAgreementFunctions() { LoadChain(ProviderTable::kAgreement); }
void LoadBcryptSignatureFunctions() { LoadChain(ProviderTable::kSignature); }
void LoadNcryptEccFunctions() { LoadChain(ProviderTable::kNcryptEcc); }
void LoadBcryptHashFunctions() { LoadChain(ProviderTable::kHash); }
void LoadBcryptPbkdf2Functions() { LoadChain(ProviderTable::kPbkdf2); }
void LoadNcryptRsaFunctions() { LoadChain(ProviderTable::kNcryptRsa); }
void LoadNCryptFunctions() { LoadChain(ProviderTable::kKeyStore); }

void FreeBcryptAgreementFunctions() {
  CloseCached(ProviderTable::kAgreement, agreement_fn::kCloseAlgorithmProvider, g_agreement_handle, 1);
  FreeTable(ProviderTable::kAgreement);
}
void FreeBcryptSignatureFunctions() { FreeTable(ProviderTable::kSignature); }
void FreeNcryptEccFunctions() { FreeTable(ProviderTable::kNcryptEcc); }
void FreeBcryptHashFunctions() {
  CloseCached(ProviderTable::kHash, hash_fn::kCloseAlgorithmProvider, g_hash_handles, kHashSlotCount);
  FreeTable(ProviderTable::kHash);
}
void FreeBcryptPbkdf2Functions() {
  CloseCached(ProviderTable::kPbkdf2, pbkdf2_fn::kCloseAlgorithmProvider, g_pbkdf2_handles, kPbkdf2SlotCount);
  FreeTable(ProviderTable::kPbkdf2);
}
void FreeNcryptRsaFunctions() { FreeTable(ProviderTable::kNcryptRsa); }
void FreeNCryptFunctions() { FreeTable(ProviderTable::kKeyStore); }

void CryptoProvidersStaticInit() {
  LoadBcryptHashFunctions();
  LoadBcryptCipherFunctions();
  LoadNcryptRsaFunctions();
  LoadBcryptSignatureFunctions();
  LoadNcryptEccFunctions();
  LoadBcryptAgreementFunctions();
  LoadBcryptPbkdf2Functions();
  LoadRngProviders();
}

void CryptoProvidersStaticDestroy() {
  FreeBcryptHashFunctions();
  FreeBcryptCipherFunctions();
  FreeNcryptRsaFunctions();
  FreeBcryptSignatureFunctions();
  FreeNcryptEccFunctions();
  FreeBcryptAgreementFunctions();
  FreeBcryptPbkdf2Functions();
  UnloadRngProviders();
}

int NCryptFreeHandle(plat::NCRYPT_HANDLE& handle) {
  if (handle == 0) return 0;
  auto free_object = ProviderFunctionAs<plat::NCryptFreeObjectFn>(ProviderTable::kNcryptEcc, ncrypt_ecc_fn::kFreeObject);
  if (free_object == nullptr) return -1;
  (void)free_object(handle);
  handle = 0;
  return 0;
}

int OpenKeyStorageProvider(plat::NCRYPT_PROV_HANDLE& handle) {
  auto open = ProviderFunctionAs<plat::NCryptOpenStorageProviderFn>(ProviderTable::kNcryptEcc,
                                                                    ncrypt_ecc_fn::kOpenStorageProvider);
  if (open == nullptr) return -1;
  if (handle != 0) return 0;
  return open(&handle, plat::kSoftwareKeyStorageProvider, 0);
}

plat::BCRYPT_ALG_HANDLE CachedHashAlgorithm(int slot, bool* reusable) {
  if (slot < 0 || slot >= kHashSlotCount) return nullptr;
  const bool hmac = slot >= 4;
  const plat::ULONG plain = hmac ? plat::kBcryptAlgHandleHmacFlag : 0;
  CachedAlgorithm& cached = g_hash_handles[slot];
  plat::BCRYPT_ALG_HANDLE handle =
      OpenCached(ProviderTable::kHash, cached, kHashNames[slot % 4], plain | plat::kBcryptHashReusableFlag, plain);
  if (reusable != nullptr) *reusable = handle != nullptr && cached.reusable.load(std::memory_order_relaxed);
  return handle;
}

plat::BCRYPT_ALG_HANDLE CachedPbkdf2Algorithm(int slot) {
  if (slot < 0 || slot >= kPbkdf2SlotCount) return nullptr;
  return OpenCached(ProviderTable::kPbkdf2, g_pbkdf2_handles[slot], kPbkdf2Names[slot],
                    plat::kBcryptAlgHandleHmacFlag, plat::kBcryptAlgHandleHmacFlag);
}

int CachedDhAlgorithm(const char16_t* implementation, plat::BCRYPT_ALG_HANDLE* handle) {
  CachedAlgorithm& slot = g_agreement_handle[0];
  *handle = slot.handle.load(std::memory_order_acquire);
  if (*handle != nullptr) return 0;
  auto open = ProviderFunctionAs<plat::BCryptOpenAlgorithmProviderFn>(ProviderTable::kAgreement,
                                                                      agreement_fn::kOpenAlgorithmProvider);
  if (open == nullptr) return -1;
  std::lock_guard<std::mutex> lock(g_open_mutex);
  *handle = slot.handle.load(std::memory_order_acquire);
  if (*handle != nullptr) return 0;
  plat::BCRYPT_ALG_HANDLE opened = nullptr;
  const plat::NTSTATUS status = open(&opened, u"DH", implementation, 0);
  if (status != plat::kStatusSuccess) return status;
  slot.handle.store(opened, std::memory_order_release);
  *handle = opened;
  return 0;
}

}  // namespace velmora::crypto
