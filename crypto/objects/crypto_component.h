// The component objects of the security core, as far as their component part goes: CryptoComponent
// (holds one algorithm object), CryptoJob (the password-to-key work record) and CertKeyComponent (a
// certificate and key holder), with ChainValidatorArray, the owning array of CertKeyComponents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "component/cert_store_records.h"
#include "component/component_base.h"
#include "core/buffer.h"
#include "core/ptr_array.h"
#include "crypto/base/crypto_object.h"
#include "platform/crypto/cert_types.h"

namespace velmora::component {

// Algorithm ids with a special owner.
constexpr int32_t kAlgorithmUmac = 52;
constexpr int32_t kAlgorithmPlatformXts = 53;
constexpr int32_t kAlgorithmNone = -1;

// CryptoComponent holds at most one algorithm object, owned, with its algorithm id and the provider
// mode it was made for (0 internal, 1 platform). One thread at a time.
class CryptoComponent : public ComponentBase {
 public:
  CryptoComponent() = default;
  ~CryptoComponent() override { ReleaseObject(); }

  // ReleaseObject destroys the held object (if any) and leaves the id -1 and the mode 0.
  void ReleaseObject();
  // Hold releases the current object and takes ownership of object for algorithm_id.
  void Hold(int32_t algorithm_id, CryptoObject* object, uint32_t provider_mode);

  // Store sets the id and mode of the selection under way and leaves the held object alone.
  void Store(int32_t algorithm_id, uint32_t provider_mode);

  // The family tests: true when the stored id lies in the family's ids; they change nothing.
  bool IsNonAeadCipher() const { return IdIn(0, 14); }
  bool IsAeadCipher() const { return IdIn(15, 17); }
  bool IsRsa() const { return IdIn(18, 18); }
  bool IsDsa() const { return IdIn(19, 19); }
  bool IsEcKey() const { return IdIn(22, 22); }
  bool IsDigest() const { return IdIn(23, 44); }
  bool IsHmac() const { return IdIn(45, 51); }
  bool IsUmac() const { return IdIn(kAlgorithmUmac, kAlgorithmUmac); }
  bool IsPlatformXts() const { return IdIn(kAlgorithmPlatformXts, kAlgorithmPlatformXts); }

  int32_t AlgorithmId() const { return algorithm_id_; }
  CryptoObject* Object() const { return object_; }
  uint32_t ProviderMode() const { return provider_mode_; }

 private:
  bool IdIn(int32_t first, int32_t last) const;

  int32_t algorithm_id_ = kAlgorithmNone;
  CryptoObject* object_ = nullptr;
  uint32_t provider_mode_ = 0;
};

// CryptoJob is the work record of a password-to-key derivation: digest name ("MD5" at construction),
// password, salt, derived key and IV, and the component that runs the cipher.
class CryptoJob : public ComponentBase {
 public:
  CryptoJob();

  core::Buffer& DigestName() { return digest_name_; }
  core::Buffer& Password() { return password_; }
  core::Buffer& Salt() { return salt_; }
  core::Buffer& Key() { return key_; }
  core::Buffer& Iv() { return iv_; }
  CryptoComponent& Crypto() { return crypto_; }

 private:
  core::Buffer digest_name_;
  core::Buffer password_;
  core::Buffer salt_;
  core::Buffer key_;
  core::Buffer iv_;
  CryptoComponent crypto_;  // destroyed before the texts
};

// ComponentKeyState is what a certificate component keeps of the platform objects made for its
// certificate, beside the certificate context, memory store, key container context and container name.
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

// NarrowText keeps the low byte of each unit of a UTF-16 name (null as "").
std::string NarrowText(const char16_t* text);
// ReadKeyProvInfo reads the context's key-provider information whole (a size query, then the block,
// aligned for the structure at its start): false when it has none.
bool ReadKeyProvInfo(platform::PCCERT_CONTEXT context, std::vector<uint64_t>* block);

// CertKeyComponent holds the certificate settings of a component (store kind, store, password, subject
// or encoded certificate), the loaded store and the key container in use. Heap instances come from the
// library's allocator: `new (std::nothrow) CertKeyComponent` gives null when memory runs out.
class CertKeyComponent : public ComponentBase {
 public:
  CertKeyComponent();
  ~CertKeyComponent() override;

  static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
  // Construction in storage from platform::Alloc (the owning containers of core/ptr_array.h).
  static void* operator new(std::size_t, void* place) noexcept { return place; }
  static void operator delete(void* block) noexcept;
  static void operator delete(void* block, const std::nothrow_t&) noexcept;

  // Clone returns a new component carrying this one's certificate state, owned by the caller (release
  // with delete), or null when memory runs out (nothing is left allocated then).
  CertKeyComponent* Clone() const;
  // ResetStore returns the certificate settings to empty (store kind 0, both flags 0, store, encoded
  // certificate, subject and store password texts empty), releases every platform object the component
  // opened (ReleaseCertificateContext) and drops the loaded store.
  void ResetStore();
  // ReleaseCertificateContext frees the certificate context, purges and closes the temporary store (with
  // the key acquired for it), closes the memory store and deletes the container of an imported key; then
  // resets the key state (ResetKeyState).
  void ReleaseCertificateContext();
  // ResetKeyState forgets the platform objects without releasing them and returns the key container
  // context to provider type 1 (releasing its handles) with deleting turned on.
  void ResetKeyState();
  // ResetCryptoApi returns the key container context to its default (no handles, provider type 1).
  void ResetCryptoApi();

  CertStoreHandle& Store() { return store_; }
  // LoadedStore is the loaded store (entries, key, record), owned by the component; null until a load.
  CertStoreContents* LoadedStore() const { return loaded_store_.get(); }
  // SetLoadedStore makes the component own store (null drops the one held).
  void SetLoadedStore(CertStoreContents* store) { loaded_store_.reset(store); }
  uint8_t& Flag() { return flag_; }
  uint8_t& CertificateSet() { return certificate_set_; }
  int32_t& StoreKind() { return store_kind_; }
  core::Buffer& StoreName() { return store_name_; }
  core::Buffer& EncodedCertificate() { return encoded_certificate_; }
  core::Buffer& Subject() { return subject_; }
  core::Buffer& StorePassword() { return store_password_; }
  core::Buffer& Thumbprint() { return thumbprint_; }
  core::Buffer& FurtherText() { return further_text_; }
  CryptoApiKeyContext& KeyContext() { return key_context_; }
  core::Buffer& ContainerName() { return container_name_; }
  // OutputText holds the last text written for the caller from the selected entry (its XML forms).
  core::Buffer& OutputText() { return output_text_; }
  // CertificateContext is the platform certificate context the component holds (a duplicate it owns),
  // KeyStore the platform store opened for it; ResetStore frees and closes them.
  const platform::CERT_CONTEXT*& CertificateContext() { return certificate_context_; }
  platform::HCERTSTORE& KeyStore() { return key_store_; }
  bool HoldsKeyStore() const { return key_store_ != nullptr; }
  // KeyState: the temporary store, its key and the container flags of what was handed to the platform.
  ComponentKeyState& KeyState() { return key_state_; }

 private:
  [[nodiscard]] int CopyCertificateStateFrom(const CertKeyComponent& source);

  CertStoreHandle store_;
  std::unique_ptr<CertStoreContents> loaded_store_;
  uint8_t flag_ = 0;
  uint8_t certificate_set_ = 0;
  int32_t store_kind_ = 0;
  // Platform certificate context; filled and released by the platform certificate layer.
  const platform::CERT_CONTEXT* certificate_context_ = nullptr;
  core::Buffer store_name_;
  core::Buffer encoded_certificate_;
  core::Buffer subject_;
  core::Buffer store_password_;
  core::Buffer thumbprint_;
  core::Buffer further_text_;
  CryptoApiKeyContext key_context_;
  core::Buffer container_name_;
  core::SecureBuffer output_text_;  // may hold a private key
  // Platform key store opened for a certificate with a private key; owned like the context above.
  platform::HCERTSTORE key_store_ = nullptr;
  ComponentKeyState key_state_;
};

// ChainValidatorArray holds owned CertKeyComponent objects in slots: CreateEntry fills an empty slot,
// RemoveAt destroys an entry and empties its slot, later slots keeping their places.
using ChainValidatorArray = core::SlotArray<CertKeyComponent>;

}  // namespace velmora::component
