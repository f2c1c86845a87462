// The inside of the "crypt32" stand-in, shared by its source files: the objects behind context and store
// handles, the one state that maps handles to them, and the hooks through which file-backed system stores,
// the name texts and the added find types reach the memory-store code. Not for callers of the module.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/crypto/cert_types.h"

namespace velmora::platform::crypt32 {

using Bytes = std::vector<uint8_t>;

struct CertStoreObject;
struct ChainObject;

// CertContextObject is what a context pointer names: the context record handed out, the certificate
// information it points at, and the storage behind both.
struct CertContextObject {
  CERT_CONTEXT context{};
  CERT_INFO info{};
  Bytes encoded;
  Bytes serial;  // little-endian
  Bytes issuer;
  Bytes subject;
  std::string key_oid;
  Bytes key_parameters;
  Bytes key_bits;
  uint8_t sha1[20] = {};
  // Properties.
  bool has_key_prov = false;
  std::u16string container;
  std::u16string provider_name;
  bool container_null = true;
  bool provider_null = true;
  DWORD prov_type = 0;
  DWORD prov_flags = 0;
  DWORD key_spec = 0;
  struct Param {
    DWORD id;
    Bytes data;
    DWORD flags;
  };
  std::vector<Param> prov_params;
  bool has_friendly_name = false;
  Bytes friendly_name;
  // Where the certificate's files live in a file-backed store (empty: nowhere), and whether it comes from
  // the system trust bundle, which nobody may delete from.
  std::string folder;
  bool from_bundle = false;
  // Life: external references, plus one while the context is an entry of its store.
  int refs = 1;
  bool member = false;
  CertStoreObject* store = nullptr;
};

// CertStoreObject is a memory store, or a system store whose entries mirror files. refs counts its open
// handles and every context made for it (entry or not), so the store outlives the contexts that name it.
struct CertStoreObject {
  int handles = 1;
  int refs = 1;
  // A system store: the folder its adds are written to (empty for a memory store), and whether it was
  // opened read-only.
  std::string folder;
  bool read_only = false;
  std::vector<CertContextObject*> entries;
};

struct Crypt32State {
  std::mutex mutex;
  std::unordered_map<const CERT_CONTEXT*, CertContextObject*> contexts;
  std::unordered_map<const void*, CertStoreObject*> stores;
  // Chain contexts not yet freed (crypt32_chain.cpp).
  std::unordered_map<const CERT_CHAIN_CONTEXT*, ChainObject*> chains;
};

// Never destroyed: a context freed during process exit may still look itself up here.
inline Crypt32State& State() {
  static Crypt32State* state = new Crypt32State;
  return *state;
}

// Every function below runs with the state's mutex held, except where it says otherwise.

// Decode fills a new context from DER, or gives null with the last error set. Needs no lock.
std::unique_ptr<CertContextObject> Decode(DWORD encoding, const uint8_t* in, DWORD in_len);
CertContextObject* FindContext(Crypt32State& state, PCCERT_CONTEXT context);
// FindOpenStore gives the store of a handle that is still open, or null.
CertStoreObject* FindOpenStore(Crypt32State& state, HCERTSTORE store);
void Register(Crypt32State& state, CertContextObject* object);
void Release(Crypt32State& state, CertContextObject* object);
// AddToStore adds copy (a new context, not yet registered) by the disposition; it takes copy over.
BOOL AddToStore(Crypt32State& state, CertStoreObject* store, std::unique_ptr<CertContextObject> copy, DWORD disposition,
                PCCERT_CONTEXT* added);

// Hooks of the system stores (crypt32_system_store.cpp).

// OpenSystemStore opens a system store (provider 9) by its flags and name (para, narrow text): a new handle,
// or null with the last error set. Takes the lock itself.
HCERTSTORE OpenSystemStore(DWORD flags, const void* para);
// PersistEntry writes an entry of a file-backed store (its certificate and properties files): true when
// written or when the store keeps no files.
bool PersistEntry(const CertStoreObject& store, CertContextObject& entry);
// ForgetEntry removes an entry's files, if it has any.
void ForgetEntry(const CertContextObject& entry);
// FindTypeKnown: the find type is one MatchesFind answers; MatchesFind: the entry matches the find
// parameter of that type (checked by FindParaValid first).
bool FindTypeKnown(DWORD find_type);
bool FindParaValid(DWORD find_type, const void* find_para);
bool MatchesFind(const CertContextObject& entry, DWORD find_type, const void* find_para);

// NameText is the text of a DER Name in one of CertNameToStrA's string types (crypt32_names.cpp): false
// with the last error set for a Name that does not decode. Needs no lock.
bool NameText(const uint8_t* name, size_t name_len, DWORD string_type, std::string* text);

}  // namespace velmora::platform::crypt32
