#include "platform/crypto/capi_containers.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/crypto/call_counts.h"
#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/ksp_software.h"
#include "platform/crypto/openssl_ptr.h"
#include "platform/last_error.h"
#include "platform/store_root.h"

namespace velmora::platform {

namespace {

using ossl::Bn;
using ossl::BnCtx;
using ossl::Params;
using ossl::ParamBuild;
using ossl::Pkey;
using ossl::PkeyCtx;
using Pkcs8 = ossl::Ptr<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;

// win_codes.h's values (its NTE_BAD_KEYSET clashes with the key storage one, included here).
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kCryptNewKeyset = 0x8;
constexpr uint32_t kProvRsaFull = 1;
constexpr uint32_t kBadKeyset = static_cast<uint32_t>(kNteBadKeyset);
constexpr uint32_t kNteFail = static_cast<uint32_t>(kNteFailStatus);

constexpr size_t kMaxNameLength = 60;  // 240 hex digits: the folder names stay below 255 bytes
constexpr uint8_t kPrivateKeyBlob = 7;
constexpr uint32_t kCalgRsaKeyx = 0xA400;
constexpr uint32_t kCalgRsaSign = 0x2400;
constexpr uint32_t kCalgDssSign = 0x2200;
constexpr uint32_t kRsa2Magic = 0x32415352;  // "RSA2"
constexpr uint32_t kDss4Magic = 0x34535344;  // "DSS4"

struct KeySlot {
  Pkey pkey;
  bool exportable = false;
};

struct Container {
  std::string provider_name;
  DWORD type = kProvRsaFull;
  KeySlot keys[2];  // exchange, signature
  bool ephemeral = false;  // a verify context's: never written
};

// A container is named by its scope and name.
using ContainerId = std::pair<bool, std::string>;

struct ProviderHandle {
  ContainerId container;
};

struct KeyHandle {
  HCRYPTPROV provider;
  DWORD spec;
};

// The containers in use, the open handles (numbers from counters, never reused, so a stale handle is
// always recognised) and the test switch.
struct Table {
  std::mutex mutex;
  std::map<ContainerId, std::shared_ptr<Container>> containers;
  std::map<HCRYPTPROV, ProviderHandle> providers;
  std::map<HCRYPTKEY, KeyHandle> keys;
  HCRYPTPROV next = 0x5000;
  HCRYPTKEY next_key = 0x9000;
  uint64_t next_ephemeral = 0;
  int fail_acquires = 0;
};

// Never destroyed: a context released during process exit may still close its handle here.
Table& TheTable() {
  static Table* table = new Table;
  return *table;
}

BOOL Fail(uint32_t status) {
  SetLastError(status);
  return 0;
}

std::u16string Widen(std::string_view name) {
  std::u16string wide;
  for (const char c : name) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return wide;
}

// ContainerFolder is the container's folder path without making it; empty without a root.
std::string ContainerFolder(const ContainerId& id) {
  const std::string root = StoreRoot();
  if (root.empty()) return {};
  return root + (id.first ? "/capi/machine/" : "/capi/user/") + StoreFileName(Widen(id.second));
}

uint32_t ReadLe32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

std::string PropertiesText(const Container& container) {
  return "provider=" + StoreFileName(Widen(container.provider_name)) + "\ntype=" + std::to_string(container.type) +
         "\nexportable1=" + std::to_string(container.keys[0].exportable ? 1 : 0) +
         "\nexportable2=" + std::to_string(container.keys[1].exportable ? 1 : 0) + "\n";
}

Pkey ReadPkcs8(const std::string& path) {
  std::string der;
  if (!ReadStoreFile(path, &der)) return nullptr;
  const auto* at = reinterpret_cast<const unsigned char*>(der.data());
  Pkcs8 info(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &at, static_cast<long>(der.size())));
  OPENSSL_cleanse(der.data(), der.size());
  return info != nullptr ? Pkey(EVP_PKCS82PKEY(info.get())) : nullptr;
}

// LoadContainer reads a stored container; null when there is none.
std::shared_ptr<Container> LoadContainer(const ContainerId& id) {
  const std::string folder = ContainerFolder(id);
  std::string text;
  if (folder.empty() || !ReadStoreFile(folder + "/container.props", &text)) return nullptr;
  auto container = std::make_shared<Container>();
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string name = line.substr(0, equals), value = line.substr(equals + 1);
    if (name == "provider") {
      std::u16string wide;
      if (StoreNameFromFile(value, &wide)) {
        for (const char16_t c : wide) container->provider_name.push_back(static_cast<char>(c));
      }
    }
    if (name == "type") container->type = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10));
    if (name == "exportable1") container->keys[0].exportable = value == "1";
    if (name == "exportable2") container->keys[1].exportable = value == "1";
  }
  for (int spec = 1; spec <= 2; ++spec) {
    container->keys[spec - 1].pkey = ReadPkcs8(folder + "/" + std::to_string(spec) + ".key");
  }
  return container;
}

// Find gives the container of id from memory or disk (caching it); null when it does not exist.
std::shared_ptr<Container> Find(Table& table, const ContainerId& id) {
  auto it = table.containers.find(id);
  if (it != table.containers.end()) return it->second;
  std::shared_ptr<Container> loaded = LoadContainer(id);
  if (loaded != nullptr) table.containers.emplace(id, loaded);
  return loaded;
}

// Persist writes the container with its keys: properties, then the keys.
bool Persist(const ContainerId& id, const Container& container) {
  const std::string relative = std::string(id.first ? "capi/machine/" : "capi/user/") + StoreFileName(Widen(id.second));
  const std::string folder = StoreFolder(relative);
  if (folder.empty()) return false;
  const std::string text = PropertiesText(container);
  if (!WriteStoreFile(folder + "/container.props", text.data(), text.size())) return false;
  for (int spec = 1; spec <= 2; ++spec) {
    const KeySlot& slot = container.keys[spec - 1];
    if (slot.pkey == nullptr) continue;
    Pkcs8 info(EVP_PKEY2PKCS8(slot.pkey.get()));
    unsigned char* der = nullptr;
    const int length = info != nullptr ? i2d_PKCS8_PRIV_KEY_INFO(info.get(), &der) : 0;
    if (length <= 0) return false;
    const bool ok = WriteStoreFile(folder + "/" + std::to_string(spec) + ".key", der, static_cast<size_t>(length));
    OPENSSL_clear_free(der, static_cast<size_t>(length));
    if (!ok) return false;
  }
  return true;
}

void DeleteContainer(Table& table, const ContainerId& id) {
  table.containers.erase(id);
  const std::string folder = ContainerFolder(id);
  std::error_code error;
  if (!folder.empty()) std::filesystem::remove_all(folder, error);
  ksp::DeleteStoredKey(Widen(id.second), id.first);
}

// ---- blobs ----

// LittleEndianBn reads length little-endian bytes as a number.
Bn LittleEndianBn(const uint8_t* at, size_t length, bool secret) {
  Bn value(BN_lebin2bn(at, static_cast<int>(length), nullptr));
  if (value != nullptr && secret) BN_set_flags(value.get(), BN_FLG_CONSTTIME);
  return value;
}

Pkey FromData(const char* type, OSSL_PARAM_BLD* build) {
  Params params(OSSL_PARAM_BLD_to_param(build));
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
  EVP_PKEY* pkey = nullptr;
  if (params == nullptr || ctx == nullptr || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &pkey, EVP_PKEY_KEYPAIR, params.get()) != 1) {
    return nullptr;
  }
  return Pkey(pkey);
}

// CheckedKey keeps a key only when OpenSSL finds it consistent.
Pkey CheckedKey(Pkey pkey) {
  if (pkey == nullptr) return nullptr;
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
  if (ctx == nullptr || EVP_PKEY_pairwise_check(ctx.get()) != 1) return nullptr;
  return pkey;
}

// ReadRsaBlob: the key of an "RSA2" private blob after its 8-byte header; NTE_BAD_DATA when malformed.
uint32_t ReadRsaBlob(const uint8_t* data, DWORD length, Pkey* out) {
  if (length < 20 || ReadLe32(data + 8) != kRsa2Magic) return kNteBadDataCode;
  const uint32_t bits = ReadLe32(data + 12);
  if (bits < 256 || bits > 16384 || bits % 8 != 0) return kNteBadDataCode;
  const size_t full = bits / 8, half = (bits + 15) / 16;
  if (static_cast<uint64_t>(length) != 20 + 2 * full + 5 * half) return kNteBadDataCode;
  const uint8_t* at = data + 20;
  Bn e(BN_new());
  if (e == nullptr || BN_set_word(e.get(), ReadLe32(data + 16)) != 1) return kNteBadDataCode;
  Bn n = LittleEndianBn(at, full, false);
  at += full;
  Bn parts[5];
  for (Bn& part : parts) {
    part = LittleEndianBn(at, half, true);
    at += half;
  }
  Bn d = LittleEndianBn(at, full, true);
  ParamBuild build(OSSL_PARAM_BLD_new());
  if (build == nullptr || n == nullptr || d == nullptr || BN_is_zero(e.get()) || BN_is_zero(n.get())) {
    return kNteBadDataCode;
  }
  for (const Bn& part : parts) {
    if (part == nullptr || BN_is_zero(part.get())) return kNteBadDataCode;
  }
  if (OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_D, d.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, parts[0].get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, parts[1].get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, parts[2].get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, parts[3].get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, parts[4].get()) != 1) {
    return kNteBadDataCode;
  }
  *out = CheckedKey(FromData("RSA", build.get()));
  return *out != nullptr ? 0 : kNteBadDataCode;
}

// ReadDssBlob: the key of a "DSS4" private blob after its 8-byte header; NTE_BAD_DATA when malformed.
uint32_t ReadDssBlob(const uint8_t* data, DWORD length, Pkey* out) {
  constexpr size_t kFixed = 8 + 4 * 5 + 24;  // header, magic and four lengths, seed structure
  if (length < kFixed || ReadLe32(data + 8) != kDss4Magic) return kNteBadDataCode;
  const uint32_t p_bits = ReadLe32(data + 12), q_bits = ReadLe32(data + 16), j_bits = ReadLe32(data + 20),
                 x_bits = ReadLe32(data + 24);
  if (p_bits < 512 || p_bits > 4096 || p_bits % 8 != 0 || q_bits < 128 || q_bits > 512 || q_bits % 8 != 0 ||
      j_bits % 8 != 0 || j_bits > p_bits || x_bits == 0 || x_bits > q_bits || x_bits % 8 != 0) {
    return kNteBadDataCode;
  }
  const size_t p = p_bits / 8, q = q_bits / 8, j = j_bits / 8, x = x_bits / 8;
  if (static_cast<uint64_t>(length) != kFixed + 3 * p + q + j + x) return kNteBadDataCode;
  const uint8_t* at = data + kFixed;
  Bn bn_p = LittleEndianBn(at, p, false);
  Bn bn_q = LittleEndianBn(at + p, q, false);
  Bn bn_g = LittleEndianBn(at + p + q, p, false);
  Bn bn_y = LittleEndianBn(at + 2 * p + q + j, p, false);
  Bn bn_x = LittleEndianBn(at + 3 * p + q + j, x, true);
  ParamBuild build(OSSL_PARAM_BLD_new());
  if (build == nullptr || bn_p == nullptr || bn_q == nullptr || bn_g == nullptr || bn_y == nullptr ||
      bn_x == nullptr || BN_is_zero(bn_x.get()) || BN_cmp(bn_x.get(), bn_q.get()) >= 0 ||
      !BN_is_odd(bn_p.get()) || BN_is_zero(bn_g.get())) {
    return kNteBadDataCode;
  }
  if (OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_FFC_P, bn_p.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_FFC_Q, bn_q.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_FFC_G, bn_g.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PUB_KEY, bn_y.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, bn_x.get()) != 1) {
    return kNteBadDataCode;
  }
  Pkey pkey = FromData("DSA", build.get());
  if (pkey == nullptr) return kNteBadDataCode;
  // Y must be G^X mod P, and Q must divide P - 1.
  BnCtx ctx(BN_CTX_new());
  Bn check(BN_new()), p1(BN_new()), rem(BN_new());
  if (ctx == nullptr || check == nullptr || p1 == nullptr || rem == nullptr ||
      BN_mod_exp(check.get(), bn_g.get(), bn_x.get(), bn_p.get(), ctx.get()) != 1 ||
      BN_cmp(check.get(), bn_y.get()) != 0 || BN_sub(p1.get(), bn_p.get(), BN_value_one()) != 1 ||
      BN_mod(rem.get(), p1.get(), bn_q.get(), ctx.get()) != 1 || !BN_is_zero(rem.get()) || BN_is_one(bn_g.get())) {
    return kNteBadDataCode;
  }
  *out = std::move(pkey);
  return 0;
}

}  // namespace

BOOL CryptAcquireContextA(HCRYPTPROV* provider, const char* container, const char* provider_name,
                          DWORD provider_type, DWORD flags) {
  CountCryptoCall("CryptAcquireContextA");
  if (provider == nullptr) return Fail(kErrorInvalidParameter);
  *provider = 0;
  if ((flags & ~(kCryptNewKeyset | kCryptDeleteKeyset | kCryptMachineKeyset | kCryptSilent | kCryptVerifyContext)) !=
      0) {
    return Fail(kNteBadFlagsCode);
  }
  // A delete also takes type 0, the key storage providers' type in a certificate's key-provider
  // information, so the key a PFX import left in the software provider can be removed by its name.
  const bool deleting = (flags & kCryptDeleteKeyset) != 0 && (flags & kCryptVerifyContext) != kCryptVerifyContext;
  if (provider_type != kProvRsaFull && provider_type != kProvDss && provider_type != kProvRsaAes &&
      !(deleting && provider_type == 0)) {
    return Fail(kNteBadProvTypeCode);
  }
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (table.fail_acquires > 0) {
    --table.fail_acquires;
    return Fail(kBadKeyset);
  }
  if ((flags & kCryptVerifyContext) == kCryptVerifyContext) {
    auto made = std::make_shared<Container>();
    made->provider_name = provider_name != nullptr ? provider_name : "";
    made->type = provider_type;
    made->ephemeral = true;
    const ContainerId id{false, "\x01" + std::to_string(table.next_ephemeral++)};
    table.containers.emplace(id, made);
    *provider = table.next++;
    table.providers.emplace(*provider, ProviderHandle{id});
    return 1;
  }
  const std::string_view name = container != nullptr ? container : "";
  if (name.empty() || name.size() > kMaxNameLength) return Fail(kNteBadKeysetParamCode);
  const ContainerId id{(flags & kCryptMachineKeyset) != 0, std::string(name)};
  if (deleting) {
    if (Find(table, id) == nullptr) {
      Pkey stored(ksp::StoredPrivateKey(ksp::Provider::kSoftware, Widen(id.second), id.first));
      if (stored == nullptr) return Fail(kBadKeyset);
    }
    DeleteContainer(table, id);
    return 1;
  }
  std::shared_ptr<Container> found = Find(table, id);
  if ((flags & kCryptNewKeyset) != 0) {
    if (found != nullptr) return Fail(kNteExistsCode);
    auto made = std::make_shared<Container>();
    made->provider_name = provider_name != nullptr ? provider_name : "";
    made->type = provider_type;
    table.containers.emplace(id, made);
  } else if (found == nullptr) {
    return Fail(kBadKeyset);
  }
  *provider = table.next++;
  table.providers.emplace(*provider, ProviderHandle{id});
  return 1;
}

BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD flags) {
  CountCryptoCall("CryptReleaseContext");
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.providers.find(provider);
  if (it == table.providers.end()) return Fail(kErrorInvalidHandle);
  if (flags != 0) return Fail(kErrorInvalidParameter);
  const ContainerId id = it->second.container;
  table.providers.erase(it);
  auto container = table.containers.find(id);
  if (container != table.containers.end() && container->second->ephemeral) table.containers.erase(container);
  return 1;
}

BOOL CryptImportKey(HCRYPTPROV provider, const uint8_t* data, DWORD length, HCRYPTKEY public_key, DWORD flags,
                    HCRYPTKEY* key) {
  CountCryptoCall("CryptImportKey");
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto handle = table.providers.find(provider);
  if (handle == table.providers.end()) return Fail(kErrorInvalidHandle);
  if (key == nullptr || (data == nullptr && length != 0)) return Fail(kErrorInvalidParameter);
  if (public_key != 0) return Fail(kNteBadKeyCode);
  if ((flags & ~kCryptExportable) != 0) return Fail(kNteBadFlagsCode);
  if (length < 8) return Fail(kNteBadDataCode);
  if (data[0] != kPrivateKeyBlob) return Fail(kNteBadTypeCode);
  if (data[2] != 0 || data[3] != 0) return Fail(kNteBadDataCode);
  const uint32_t algorithm = ReadLe32(data + 4);
  const ContainerId id = handle->second.container;
  std::shared_ptr<Container> container = Find(table, id);
  if (container == nullptr) return Fail(kBadKeyset);  // deleted behind the handle
  Pkey pkey;
  DWORD spec = 0;
  uint32_t status = 0;
  if (algorithm == kCalgRsaKeyx || algorithm == kCalgRsaSign) {
    if (container->type == kProvDss) return Fail(kNteBadAlgIdCode);
    if (data[1] != 2) return Fail(kNteBadDataCode);
    status = ReadRsaBlob(data, length, &pkey);
    spec = algorithm == kCalgRsaKeyx ? kAtKeyExchange : kAtSignature;
  } else if (algorithm == kCalgDssSign) {
    if (container->type != kProvDss) return Fail(kNteBadAlgIdCode);
    if (data[1] != 3) return Fail(kNteBadDataCode);
    status = ReadDssBlob(data, length, &pkey);
    spec = kAtSignature;
  } else {
    return Fail(kNteBadAlgIdCode);
  }
  if (status != 0) return Fail(status);
  KeySlot previous = std::move(container->keys[spec - 1]);
  container->keys[spec - 1].pkey = std::move(pkey);
  container->keys[spec - 1].exportable = (flags & kCryptExportable) != 0;
  if (!container->ephemeral && !Persist(id, *container)) {
    container->keys[spec - 1] = std::move(previous);
    return Fail(kNteFail);
  }
  *key = table.next_key++;
  table.keys.emplace(*key, KeyHandle{provider, spec});
  return 1;
}

BOOL CryptDestroyKey(HCRYPTKEY key) {
  CountCryptoCall("CryptDestroyKey");
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (table.keys.erase(key) == 0) return Fail(kNteBadKeyCode);
  return 1;
}

namespace capi {

bool IsOpen(HCRYPTPROV provider) {
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.providers.count(provider) != 0;
}

SECURITY_STATUS ContainerKey(HCRYPTPROV provider, DWORD spec, EVP_PKEY** pkey, bool* exportable) {
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto handle = table.providers.find(provider);
  if (handle == table.providers.end()) return static_cast<SECURITY_STATUS>(0x80090026u);
  if (spec != kAtKeyExchange && spec != kAtSignature) return static_cast<SECURITY_STATUS>(kNteNoKeyCode);
  std::shared_ptr<Container> container = Find(table, handle->second.container);
  if (container == nullptr || container->keys[spec - 1].pkey == nullptr) {
    return static_cast<SECURITY_STATUS>(kNteNoKeyCode);
  }
  const KeySlot& slot = container->keys[spec - 1];
  if (EVP_PKEY_up_ref(slot.pkey.get()) != 1) return static_cast<SECURITY_STATUS>(kNteFail);
  *pkey = slot.pkey.get();
  *exportable = slot.exportable;
  return 0;
}

void FreeKeyReference(EVP_PKEY* pkey) { EVP_PKEY_free(pkey); }

EVP_PKEY* StoredContainerKey(std::u16string_view name, bool machine, DWORD spec) {
  std::string narrow;
  for (const char16_t c : name) {
    if (c > 0xFF) return nullptr;
    narrow.push_back(static_cast<char>(c));
  }
  if (narrow.empty() || narrow.size() > kMaxNameLength || (spec != kAtKeyExchange && spec != kAtSignature)) {
    return nullptr;
  }
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  std::shared_ptr<Container> container = Find(table, {machine, narrow});
  if (container == nullptr || container->keys[spec - 1].pkey == nullptr) return nullptr;
  EVP_PKEY* pkey = container->keys[spec - 1].pkey.get();
  return EVP_PKEY_up_ref(pkey) == 1 ? pkey : nullptr;
}

int LiveHandles() {
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  return static_cast<int>(table.providers.size() + table.keys.size());
}

}  // namespace capi

namespace test {

void FailAcquireContexts(int count) {
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.fail_acquires = count;
}

void FailNextAcquireContext() { FailAcquireContexts(1); }

std::vector<uint8_t> ContainerKeyDer(const char* name, bool machine, DWORD spec) {
  if (name == nullptr || (spec != kAtKeyExchange && spec != kAtSignature)) return {};
  Table& table = TheTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  std::shared_ptr<Container> container = Find(table, {machine, name});
  if (container == nullptr || container->keys[spec - 1].pkey == nullptr) return {};
  Pkcs8 info(EVP_PKEY2PKCS8(container->keys[spec - 1].pkey.get()));
  unsigned char* der = nullptr;
  const int length = info != nullptr ? i2d_PKCS8_PRIV_KEY_INFO(info.get(), &der) : 0;
  if (length <= 0) return {};
  std::vector<uint8_t> out(der, der + length);
  OPENSSL_clear_free(der, static_cast<size_t>(length));
  return out;
}

}  // namespace test

}  // namespace velmora::platform
