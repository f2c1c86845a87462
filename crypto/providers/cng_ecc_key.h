// CngEccKey, the platform twin of InternalEccKey for P-256, P-384 and P-521 (EC key types 0, 1, 2): an
// EC key held as a key handle of the platform's "Microsoft Software Key Storage Provider", beside the
// key's own EcKeyParams, with ECDSA over a digest and ECDH through the platform's key derivations. Keys
// move between the parameter set and the provider as BCRYPT_ECCKEY_BLOBs (BuildCngEccKeyBlob). Every
// platform call goes through the NCrypt EC table (provider_tables.h).
//
// Codes: 1402 no digest; 1403 no public key or no key handle to verify, a peer without its public part;
// 1404 no key handle to sign, an own key without its private part; 1405 no signature; 1407 and 1408 a
// TLS PRF seed other than 64 bytes and an empty label; 1409 a blob of a field length other than 32, 48,
// 66; 1410 a key type the platform path does not take (among them secp160k1 to secp256k1, types 7-10,
// refused before any platform call) and the EdDSA slots; 1411, 1412, 1413 an empty algorithm id, party U
// or party V info; 1414 keys on different curves; -1 a function not loaded or a certificate key not
// acquired; a failing platform status unchanged. One thread at a time per object.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/keys/key_bases.h"
#include "crypto/keys/key_params.h"
#include "crypto/providers/cng_results.h"
#include "platform/crypto/cert_types.h"
#include "platform/crypto/hash_types.h"

namespace velmora::crypto {

class CngEccKey final : public EccKeyBase {
 public:
  CngEccKey() = default;
  CngEccKey(const CngEccKey&) = delete;
  CngEccKey& operator=(const CngEccKey&) = delete;
  // The destructor frees a held key handle the key owns.
  ~CngEccKey() override;

  const EcKeyParams* GetKeyParams() const override { return &params_; }
  // SetKeyParams keeps a copy, private part included, and imports it: a private signing key when params
  // hold D, else a public one.
  [[nodiscard]] int SetKeyParams(const EcKeyParams& params) override;
  // Verify takes a raw r || s or a DER signature (fitted to the curve's length; input that does not
  // parse as DER goes to the platform as it is). A signature the platform rejects gives valid 0 and 0.
  [[nodiscard]] int Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                           int32_t signature_length, int32_t& valid) override;
  // Sign appends r || s, each at the curve's byte length.
  [[nodiscard]] int Sign(const uint8_t* digest, int32_t digest_length, core::BufferCore& out) override;
  // The platform has no EdDSA: both slots give 1410 and touch nothing.
  [[nodiscard]] int EdDSAVerify(const uint8_t* message, int32_t length, const uint8_t* signature,
                                int32_t signature_length, int32_t& valid, int32_t prehash, const uint8_t* context,
                                int32_t context_length) override;
  [[nodiscard]] int EdDSASign(const uint8_t* message, int32_t length, core::BufferCore& out, int32_t prehash,
                              const uint8_t* context, int32_t context_length) override;
  // Agree maps the engine's derivation ids onto the platform's (7-11 "HMAC", 12 "TLS_PRF", 99
  // "TRUNCATE", any other "HASH") with the id's digest, and runs CngEcdhDeriveKey with the own key.
  [[nodiscard]] int Agree(const EcKeyParams& peer, int32_t kdf_id, core::BufferCore& out, const uint8_t* prepend,
                          int32_t prepend_length, const uint8_t* append, int32_t append_length,
                          const uint8_t* hmac_key, int32_t hmac_key_length) override;
  // AgreeWithKdf is CngConcatKdf with the own key.
  [[nodiscard]] int AgreeWithKdf(const EcKeyParams& peer, const char* digest_name, const uint8_t* algorithm_id,
                                 int32_t algorithm_id_length, const uint8_t* party_u_info, int32_t party_u_length,
                                 const uint8_t* party_v_info, int32_t party_v_length, const uint8_t* supp_pub_info,
                                 int32_t supp_pub_length, const uint8_t* supp_priv_info, int32_t supp_priv_length,
                                 core::BufferCore& out) override;
  // ComputePublicKey: 0 without change when params have no private part or already their public part;
  // types 0-2 through NCryptEccPublicFromPrivate; any other type 1410.
  [[nodiscard]] int ComputePublicKey(EcKeyParams& params) override;

  // GenerateKey (CngEccGenerateKey) creates a provider key and exports it into the own parameters when
  // they hold no key (types 0-2; 1410 otherwise), then copies them to out, D only with copy_private.
  [[nodiscard]] int GenerateKey(bool copy_private, EcKeyParams& out);
  // FromCertificateContext takes the private key of a certificate context (a smart card's too, with the
  // PIN in the system code page) and reads its parameters: private ones, or public ones when the
  // private export is refused. A handle the platform keeps for the context is used but never freed.
  [[nodiscard]] int FromCertificateContext(const platform::CERT_CONTEXT* context, const char* pin, uint32_t flags);

  // DestroyHandle frees the held handle (if the key owns it) and clears it: 0.
  int DestroyHandle();
  platform::NCRYPT_KEY_HANDLE KeyHandle() const { return handle_; }
  // AdoptHandle frees the held handle and takes key (owned when owned is set).
  void AdoptHandle(platform::NCRYPT_KEY_HANDLE key, bool owned);
  EcKeyParams& OwnParams() { return params_; }

 private:
  platform::NCRYPT_KEY_HANDLE handle_ = 0;
  bool owns_handle_ = false;
  EcKeyParams params_;
};

// ImportEccKeyToNCrypt frees key, opens provider when it is 0 and imports the key's blob (private or
// public, signing or agreement) into key. The caller frees provider. 0, 1410, -1 or the platform's status.
[[nodiscard]] int ImportEccKeyToNCrypt(const EcKeyParams& params, bool private_blob, bool agreement,
                                       platform::NCRYPT_KEY_HANDLE& key, platform::NCRYPT_PROV_HANDLE& provider);
// ImportBcryptEccBlob fills params from a blob: private when the magic's digit is even (or the blob is
// shorter than 4 bytes), with X, Y and for a private blob D, and the key type of the field length. 0 or
// 1409 (a length other than 32, 48, 66, or a blob too short for its parts).
[[nodiscard]] int ImportBcryptEccBlob(EcKeyParams& params, const uint8_t* blob, int32_t length);
// CngEccExportToParams exports the provider key into params (private or public blob). 0, 1409, -1 or the
// platform's status.
[[nodiscard]] int CngEccExportToParams(bool private_blob, platform::NCRYPT_KEY_HANDLE key, EcKeyParams& params);
// CngCreatePersistedEccKey frees key and creates into it an ephemeral, plain-text exportable provider key
// on the curve of params (types 0-2). 0, -1 or the first failing status (no key is kept then); the
// provider handle is freed on every path.
[[nodiscard]] int CngCreatePersistedEccKey(const EcKeyParams& params, platform::NCRYPT_KEY_HANDLE& key);
// NCryptEccPublicFromPrivate sets X and Y of params from D through a provider key made for the purpose
// and freed on every path. 0, 1409, 1410, -1 or the platform's status.
[[nodiscard]] int NCryptEccPublicFromPrivate(EcKeyParams& params);
// CngEcdhAgree imports own (private) and peer (public) as agreement keys and agrees on a secret, which
// the caller frees with NCryptFreeHandle. Both keys and the provider are freed on every path.
[[nodiscard]] int CngEcdhAgree(const EcKeyParams& own, const EcKeyParams& peer, platform::NCRYPT_SECRET_HANDLE& secret);

// EcdhDerivation is the derivation CngEcdhDeriveKey asks the platform for: kdf_id 0 "HASH", 1 "HMAC",
// 2 "TLS_PRF", 99 "TRUNCATE", with the digest of hash_id (CngHashNameByIdW), the prepend or TLS label,
// the append or TLS seed, and the HMAC key.
struct EcdhDerivation {
  int32_t kdf_id = 99;
  int32_t hash_id = 0;
  const uint8_t* prepend = nullptr;
  int32_t prepend_length = 0;
  const uint8_t* append = nullptr;
  int32_t append_length = 0;
  const uint8_t* hmac_key = nullptr;
  int32_t hmac_key_length = 0;
};
// CngEcdhDeriveKey replaces out with the derivation of the shared secret of own and peer; "TRUNCATE"
// gives the shared x-coordinate most significant byte first. The secret is freed on every path.
[[nodiscard]] int CngEcdhDeriveKey(const EcKeyParams& own, const EcKeyParams& peer, const EcdhDerivation& derivation,
                                   core::BufferCore& out);

// ConcatKdfInfo is the other-info of the concatenation KDF (NIST SP 800-56A 5.8.1), in its order.
struct ConcatKdfInfo {
  const uint8_t* algorithm_id = nullptr;
  int32_t algorithm_id_length = 0;
  const uint8_t* party_u_info = nullptr;
  int32_t party_u_length = 0;
  const uint8_t* party_v_info = nullptr;
  int32_t party_v_length = 0;
  const uint8_t* supp_pub_info = nullptr;
  int32_t supp_pub_length = 0;
  const uint8_t* supp_priv_info = nullptr;
  int32_t supp_priv_length = 0;
};
// CngConcatKdf replaces out with the platform's "SP800_56A_CONCAT" of the shared secret of own and peer
// with the named digest ("SHA256" when null or empty; 2001 for one the platform does not name), at the
// length the platform reports (the digest's). The secret is freed on every path.
[[nodiscard]] int CngConcatKdf(const EcKeyParams& own, const EcKeyParams& peer, const char* digest_name,
                               const ConcatKdfInfo& info, core::BufferCore& out);

// DerSignatureToRawForCurve replaces out with r || s fitted to the curve's byte length when the input is
// a DER SEQUENCE of two INTEGERs, else with the input unchanged. 0, 446 or a Buffer code.
[[nodiscard]] int DerSignatureToRawForCurve(const uint8_t* signature, int32_t length, int32_t key_type,
                                            core::BufferCore& out);

}  // namespace velmora::crypto
