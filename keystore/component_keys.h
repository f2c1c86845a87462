// A component's selected certificate and key handed to the platform's certificate module: a PKCS #12
// entry is imported into a temporary store and its private key acquired, a bare certificate becomes a
// context in the component's memory store, and a bare key is imported into a fresh CryptoAPI key
// container ("pem_key_" and the tick count). Releasing the certificate context deletes what was made:
// the temporary store's certificates with the containers their key-provider information names, and the
// container of an imported key. One thread at a time per component.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/buffer.h"
#include "crypto/objects/crypto_component.h"
#include "keystore/certificate_source.h"
#include "platform/crypto/cert_types.h"

namespace velmora::keystore {

// kContainerMachineKeyset is the container flag that names the machine's containers.
inline constexpr uint32_t kContainerMachineKeyset = 0x20;

// ComponentKeyState is what a component keeps of the platform objects made for its certificate, beside
// the certificate context, memory store, key container context and container name it holds itself.
struct ComponentKeyState {
  // The store a PKCS #12 entry was imported into, and the private key acquired for its certificate
  // (a provider or key storage handle) with whether the caller must free it.
  platform::HCERTSTORE temporary_store = nullptr;
  uintptr_t temporary_key = 0;
  uint32_t temporary_key_spec = 0;
  bool temporary_key_must_free = false;
  // Flags the container of an imported key was acquired with (0x20: machine key set).
  uint32_t container_flags = 0;
  // Containers are deleted on release unless this is cleared.
  bool delete_containers = true;
};

// SelectedEntryData sets out to the stored input bytes of the source: a PKCS #12 container's input, else
// the certificate's DER; out cleared when there is neither. 0 or a Buffer code.
[[nodiscard]] int SelectedEntryData(CertificateSource& source, core::BufferCore& out);

// ImportPemKeyToCryptoApi releases what the component held, opens its memory store and hands the selected
// entry of its loaded store to the platform (machine: the local machine's key sets). 0; 271 with "The
// certificate store could not be opened." or "Cannot acquire private key"; a platform status or 271 with
// "Cannot add certificate to store", "Could not acquire provider" or "Could not import key"; 290 for a
// key without its private part. The component's last-error text holds the text.
[[nodiscard]] int ImportPemKeyToCryptoApi(component::CertKeyComponent& component, ComponentKeyState& state,
                                          bool machine);

// ReleaseCertificateContext frees the certificate context, purges and closes the temporary store (with
// the key acquired for it), closes the memory store and deletes the container of an imported key.
void ReleaseCertificateContext(component::CertKeyComponent& component, ComponentKeyState& state);

// PurgeTemporaryStore deletes, while containers are deleted on release, every certificate of store and
// the container each one's key-provider information names; then closes store.
void PurgeTemporaryStore(const ComponentKeyState& state, platform::HCERTSTORE store);

// ResetKeyState drops the certificate fields without releasing them, returns the key container context
// to provider type 1 (releasing its handles), clears the container flags and turns deleting on.
void ResetKeyState(component::CertKeyComponent& component, ComponentKeyState& state);

// LoadedHandle is the component's loaded store as a CertStoreHandle, or null.
CertStoreHandle* LoadedHandle(component::CertKeyComponent& component);

// ---- What the component operations here and in tpm_keys.h share ----

// kNcryptKeySpec is the key spec of a key storage handle CryptAcquireCertificatePrivateKey gives.
inline constexpr uint32_t kNcryptKeySpec = 0xFFFFFFFFu;

// KeyContainerCalls holds the container functions of "Advapi32.dll" for the length of one operation (all
// calls fail while the module is missing).
class KeyContainerCalls {
 public:
  KeyContainerCalls();
  ~KeyContainerCalls();
  KeyContainerCalls(const KeyContainerCalls&) = delete;
  KeyContainerCalls& operator=(const KeyContainerCalls&) = delete;

  // ImportKey imports a PRIVATEKEYBLOB, exportable, into the provider: true with *key set.
  bool ImportKey(uint64_t provider, const core::BufferCore& blob, uintptr_t* key);
  // DeleteContainer deletes the named container (acquire with the delete flag 0x10 added): true when done.
  bool DeleteContainer(const char* container, const char* provider, uint32_t type, uint32_t flags);
  void ReleaseProvider(uintptr_t provider);

 private:
  void* module_ = nullptr;
  void* acquire_ = nullptr;
  void* release_ = nullptr;
  void* import_ = nullptr;
};

// Utf16Text is the UTF-16 form of the text (UTF-8, up to its length); false when it is not UTF-8.
bool Utf16Text(const core::BufferCore& text, std::u16string* out);
// NarrowText keeps the low byte of each unit of a UTF-16 name (null as "").
std::string NarrowText(const char16_t* text);
// ReadKeyProvInfo reads the context's key-provider information whole (a size query, then the block,
// aligned for the structure at its start): false when it has none.
bool ReadKeyProvInfo(platform::PCCERT_CONTEXT context, std::vector<uint64_t>* block);

}  // namespace velmora::keystore
