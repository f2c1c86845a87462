#include "crypto/providers/cng_ecc_key.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "crypto/digest/hash_ctx.h"
#include "crypto/ec/ec_key_checks.h"
#include "crypto/ec/ecc_engine.h"
#include "crypto/keys/curve_params.h"
#include "crypto/keys/der_signature.h"
#include "crypto/providers/cng_cert_key.h"
#include "crypto/providers/platform_output.h"
#include "crypto/providers/provider_tables.h"
#include "crypto/registry/platform_names.h"
#include "platform/crypto/keypair_types.h"

namespace velmora::crypto {

namespace plat = velmora::platform;

namespace {

constexpr int32_t kBlobHeaderSize = 8;
constexpr plat::DWORD kExportPlaintext = 2;
constexpr plat::DWORD kPersistFlag = 0x80000000u;
constexpr char16_t kPublicBlob[] = u"ECCPUBLICBLOB";
constexpr char16_t kPrivateBlob[] = u"ECCPRIVATEBLOB";
constexpr char16_t kExportPolicy[] = u"Export Policy";

template <typename Fn>
Fn EccFunction(int function) {
  return ProviderFunctionAs<Fn>(ProviderTable::kNcryptEcc, function);
}

// Handles frees a provider, key and secret handles on every path out.
struct Handles {
  plat::NCRYPT_PROV_HANDLE provider = 0;
  plat::NCRYPT_KEY_HANDLE own = 0;
  plat::NCRYPT_KEY_HANDLE peer = 0;
  Handles() = default;
  Handles(const Handles&) = delete;
  Handles& operator=(const Handles&) = delete;
  ~Handles() {
    (void)NCryptFreeHandle(own);
    (void)NCryptFreeHandle(peer);
    (void)NCryptFreeHandle(provider);
  }
};

// Secret holds an agreed secret and frees it on every path out.
struct Secret {
  plat::NCRYPT_SECRET_HANDLE handle = 0;
  Secret() = default;
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  ~Secret() { (void)NCryptFreeHandle(handle); }
};

bool PlatformCurve(int32_t type) { return type >= 0 && type <= 2; }

// KdfOfDerivation maps an id of EccEngine::Agree onto the platform derivation it names.
int32_t KdfOfDerivation(int32_t id) {
  if (id == kEcdhKdfRaw) return 99;
  if (id == kEcdhKdfTlsPrf) return 2;
  return id >= 7 && id <= 11 ? 1 : 0;
}

void AddBuffer(std::vector<plat::BCryptBuffer>& list, plat::ULONG type, const void* bytes, int32_t length) {
  list.push_back({static_cast<plat::ULONG>(length > 0 ? length : 0), type, const_cast<void*>(bytes)});
}

// AddHashName adds a non-empty platform digest name with its terminator; an empty one is left out, so the
// platform's default applies.
void AddHashName(std::vector<plat::BCryptBuffer>& list, const char16_t* name) {
  const size_t units = std::u16string_view(name).size();
  if (units > 0) AddBuffer(list, plat::kKdfHashAlgorithm, name, static_cast<int32_t>((units + 1) * 2));
}

// DeriveFromSecret replaces out with the platform's derivation kdf of the secret (size first).
int DeriveFromSecret(plat::NCRYPT_SECRET_HANDLE secret, const char16_t* kdf, std::vector<plat::BCryptBuffer>& list,
                     core::BufferCore& out) {
  auto derive = EccFunction<plat::NCryptDeriveKeyFn>(ncrypt_ecc_fn::kDeriveKey);
  if (derive == nullptr) return kCngNotLoaded;
  plat::BCryptBufferDesc desc{plat::kBcryptBufferVersion, static_cast<plat::ULONG>(list.size()), list.data()};
  void* parameters = list.empty() ? nullptr : &desc;
  int status = out.Resize(0);
  if (status != 0) return status;
  return AppendPlatformOutput(out, [&](uint8_t* output, plat::DWORD size, plat::DWORD* result) {
    return derive(secret, kdf, parameters, output, size, result, 0);
  });
}

}  // namespace

// ---- blobs and provider keys -----------------------------------------------------------------------------

int ImportEccKeyToNCrypt(const EcKeyParams& params, bool private_blob, bool agreement, plat::NCRYPT_KEY_HANDLE& key,
                         plat::NCRYPT_PROV_HANDLE& provider) {
  core::SecureBuffer blob;
  int status = BuildCngEccKeyBlob(params, private_blob, agreement, blob);
  if (status != 0) return status;
  if ((status = NCryptFreeHandle(key)) != 0 || (status = OpenKeyStorageProvider(provider)) != 0) return status;
  auto import = EccFunction<plat::NCryptImportKeyFn>(ncrypt_ecc_fn::kImportKey);
  if (import == nullptr) return kCngNotLoaded;
  return import(provider, 0, private_blob ? kPrivateBlob : kPublicBlob, nullptr, &key, blob.Bytes(),
                static_cast<plat::DWORD>(blob.Length()), 0);
}

int ImportBcryptEccBlob(EcKeyParams& params, const uint8_t* blob, int32_t length) {
  const bool is_private = length < 4 || (blob[3] & 1) == 0;
  const int32_t field = (length - kBlobHeaderSize) / (is_private ? 3 : 2);
  const int32_t type = field == 32 ? 0 : field == 48 ? 1 : field == 66 ? 2 : -1;
  if (type < 0 || length < kBlobHeaderSize) return kCngEcBadBlob;
  params.KeyType = type;
  params.Curve = nullptr;
  const uint8_t* at = blob + kBlobHeaderSize;
  int status = params.X.SetData(field, at);
  if (status == 0) status = params.Y.SetData(field, at + field);
  if (status == 0) status = is_private ? params.D.SetData(field, at + 2 * field) : params.D.SetData(0, nullptr);
  return status;
}

int CngEccExportToParams(bool private_blob, plat::NCRYPT_KEY_HANDLE key, EcKeyParams& params) {
  auto export_key = EccFunction<plat::NCryptExportKeyFn>(ncrypt_ecc_fn::kExportKey);
  if (export_key == nullptr) return kCngNotLoaded;
  core::SecureBuffer blob;
  const int status = AppendPlatformOutput(blob, [&](uint8_t* output, plat::DWORD size, plat::DWORD* result) {
    return export_key(key, 0, private_blob ? kPrivateBlob : kPublicBlob, nullptr, output, size, result, 0);
  });
  return status != 0 ? status : ImportBcryptEccBlob(params, blob.Bytes(), blob.Length());
}

int CngCreatePersistedEccKey(const EcKeyParams& params, plat::NCRYPT_KEY_HANDLE& key) {
  Handles handles;
  int status = NCryptFreeHandle(key);
  if (status == 0) status = OpenKeyStorageProvider(handles.provider);
  if (status != 0) return status;
  auto create = EccFunction<plat::NCryptCreatePersistedKeyFn>(ncrypt_ecc_fn::kCreatePersistedKey);
  auto set = EccFunction<plat::NCryptSetPropertyFn>(ncrypt_ecc_fn::kSetProperty);
  auto finalize = EccFunction<plat::NCryptFinalizeKeyFn>(ncrypt_ecc_fn::kFinalizeKey);
  if (create == nullptr || set == nullptr || finalize == nullptr) return kCngNotLoaded;
  if ((status = create(handles.provider, &handles.own, CngEcdsaCurveNameW(params), nullptr, 0, 0)) != 0) return status;
  const plat::DWORD policy = kExportPlaintext;
  status = set(handles.own, kExportPolicy, reinterpret_cast<const uint8_t*>(&policy), sizeof policy, kPersistFlag);
  if (status == 0) status = finalize(handles.own, 0);
  if (status == 0) std::swap(key, handles.own);
  return status;
}

int NCryptEccPublicFromPrivate(EcKeyParams& params) {
  Handles handles;
  int status = ImportEccKeyToNCrypt(params, true, false, handles.own, handles.provider);
  if (status != 0) return status;
  EcKeyParams exported;
  if ((status = CngEccExportToParams(false, handles.own, exported)) != 0) return status;
  if ((status = params.X.Assign(exported.X)) != 0) return status;
  return params.Y.Assign(exported.Y);
}

// ---- the key object ------------------------------------------------------------------------------------

CngEccKey::~CngEccKey() { (void)DestroyHandle(); }

int CngEccKey::DestroyHandle() {
  if (handle_ != 0 && owns_handle_) (void)NCryptFreeHandle(handle_);
  handle_ = 0;
  owns_handle_ = false;
  return 0;
}

void CngEccKey::AdoptHandle(plat::NCRYPT_KEY_HANDLE key, bool owned) {
  (void)DestroyHandle();
  handle_ = key;
  owns_handle_ = owned;
}

int CngEccKey::SetKeyParams(const EcKeyParams& params) {
  if (&params != &params_) {
    const int status = params_.CopyFrom(params, true);
    if (status != 0) return status;
  }
  (void)DestroyHandle();
  Handles handles;
  const int status = ImportEccKeyToNCrypt(params_, params_.HasPrivateKey(), false, handles.own, handles.provider);
  if (status == 0) {
    AdoptHandle(handles.own, true);
    handles.own = 0;
  }
  return status;
}

int CngEccKey::GenerateKey(bool copy_private, EcKeyParams& out) {
  if (!params_.HasPrivateKey() && !params_.HasPublicKey()) {
    // secp160k1 to secp256k1 (types 7-10) have no platform curve name: refused before any platform call.
    if (!PlatformCurve(params_.KeyType)) return kEcUnsupported;
    (void)DestroyHandle();
    int status = CngCreatePersistedEccKey(params_, handle_);
    if (status != 0) return status;
    owns_handle_ = true;
    if ((status = CngEccExportToParams(true, handle_, params_)) != 0) return status;
  }
  return &out == &params_ ? 0 : out.CopyFrom(params_, copy_private);
}

int CngEccKey::Sign(const uint8_t* digest, int32_t digest_length, core::BufferCore& out) {
  if (handle_ == 0) return kEcNoPrivateKey;
  auto sign = EccFunction<plat::NCryptSignHashFn>(ncrypt_ecc_fn::kSignHash);
  if (sign == nullptr) return kCngNotLoaded;
  return AppendPlatformOutput(out, [&](uint8_t* output, plat::DWORD size, plat::DWORD* result) {
    return sign(handle_, nullptr, digest, static_cast<plat::DWORD>(digest_length), output, size, result, 0);
  });
}

int CngEccKey::Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                      int32_t signature_length, int32_t& valid) {
  valid = 0;
  if (digest == nullptr || digest_length <= 0) return kEcNoDigest;
  if (signature == nullptr || signature_length <= 0) return kCngEcNoSignature;
  if (params_.X.Length() == 0 || params_.Y.Length() == 0) return kEcNoPublicKey;
  core::Buffer raw;
  int status = DerSignatureToRawForCurve(signature, signature_length, params_.KeyType, raw);
  if (status != 0) return status;
  if (handle_ == 0) return kEcNoPublicKey;
  auto verify = EccFunction<plat::NCryptVerifySignatureFn>(ncrypt_ecc_fn::kVerifySignature);
  if (verify == nullptr) return kCngNotLoaded;
  status = verify(handle_, nullptr, digest, static_cast<plat::DWORD>(digest_length), raw.Bytes(),
                  static_cast<plat::DWORD>(raw.Length()), 0);
  if (status == 0) valid = 1;
  return status == plat::kNteBadSignature ? 0 : status;
}

int CngEccKey::EdDSAVerify(const uint8_t*, int32_t, const uint8_t*, int32_t, int32_t& valid, int32_t, const uint8_t*,
                           int32_t) {
  valid = 0;
  return kEcUnsupported;
}

int CngEccKey::EdDSASign(const uint8_t*, int32_t, core::BufferCore&, int32_t, const uint8_t*, int32_t) {
  return kEcUnsupported;
}

int CngEccKey::Agree(const EcKeyParams& peer, int32_t kdf_id, core::BufferCore& out, const uint8_t* prepend,
                     int32_t prepend_length, const uint8_t* append, int32_t append_length, const uint8_t* hmac_key,
                     int32_t hmac_key_length) {
  const EcdhDerivation derivation{KdfOfDerivation(kdf_id), kdf_id, prepend, prepend_length, append, append_length,
                                  hmac_key, hmac_key_length};
  return CngEcdhDeriveKey(params_, peer, derivation, out);
}

int CngEccKey::AgreeWithKdf(const EcKeyParams& peer, const char* digest_name, const uint8_t* algorithm_id,
                            int32_t algorithm_id_length, const uint8_t* party_u_info, int32_t party_u_length,
                            const uint8_t* party_v_info, int32_t party_v_length, const uint8_t* supp_pub_info,
                            int32_t supp_pub_length, const uint8_t* supp_priv_info, int32_t supp_priv_length,
                            core::BufferCore& out) {
  const ConcatKdfInfo info{algorithm_id, algorithm_id_length, party_u_info,  party_u_length,  party_v_info,
                           party_v_length, supp_pub_info,      supp_pub_length, supp_priv_info, supp_priv_length};
  return CngConcatKdf(params_, peer, digest_name, info, out);
}

int CngEccKey::ComputePublicKey(EcKeyParams& params) {
  if (!params.HasPrivateKey() || params.HasPublicKey()) return 0;
  // secp160k1 to secp256k1 (types 7-10) have no platform blob: refused before any platform call.
  return PlatformCurve(params.KeyType) ? NCryptEccPublicFromPrivate(params) : kEcUnsupported;
}

int CngEccKey::FromCertificateContext(const plat::CERT_CONTEXT* context, const char* pin, uint32_t flags) {
  if (EccFunction<plat::CryptAcquireCertificatePrivateKeyFn>(ncrypt_ecc_fn::kAcquireCertificatePrivateKey) ==
      nullptr) {
    return kCngNotLoaded;
  }
  (void)DestroyHandle();
  const CertKeyFunctions functions = {ProviderTable::kNcryptEcc, ncrypt_ecc_fn::kAcquireCertificatePrivateKey,
                                      ncrypt_ecc_fn::kReleaseContext, ncrypt_ecc_fn::kTranslateHandle,
                                      ncrypt_ecc_fn::kSetProperty};
  const int status = AcquireCertificateKey(functions, context, pin, flags,
                                           [this](plat::NCRYPT_KEY_HANDLE key, bool owned) { AdoptHandle(key, owned); });
  if (status != 0) return status;
  if (CngEccExportToParams(true, handle_, params_) == 0) return 0;
  return CngEccExportToParams(false, handle_, params_);
}

// ---- agreement -------------------------------------------------------------------------------------------

int CngEcdhAgree(const EcKeyParams& own, const EcKeyParams& peer, plat::NCRYPT_SECRET_HANDLE& secret) {
  Handles handles;
  int status = ImportEccKeyToNCrypt(own, true, true, handles.own, handles.provider);
  if (status == 0) status = ImportEccKeyToNCrypt(peer, false, true, handles.peer, handles.provider);
  if (status != 0) return status;
  auto agree = EccFunction<plat::NCryptSecretAgreementFn>(ncrypt_ecc_fn::kSecretAgreement);
  if (agree == nullptr) return kCngNotLoaded;
  return agree(handles.own, handles.peer, &secret, 0);
}

int CngEcdhDeriveKey(const EcKeyParams& own, const EcKeyParams& peer, const EcdhDerivation& derivation,
                     core::BufferCore& out) {
  const char16_t* hash_name = CngHashNameByIdW(derivation.hash_id);
  const char16_t* kdf_name = CngKdfNameW(derivation.kdf_id);
  int status = EcdhCheckKeys(own, peer);
  if (status != 0) return status;
  const bool tls = derivation.kdf_id == 2;
  if (tls && derivation.append_length != kEcdhTlsPrfSeedLength) return kEcTlsPrfBadSeed;
  if (tls && derivation.prepend_length < 1) return kEcTlsPrfNoLabel;
  Secret secret;
  if ((status = CngEcdhAgree(own, peer, secret.handle)) != 0) return status;
  std::vector<plat::BCryptBuffer> list;
  if (derivation.kdf_id != 99) {
    if (!tls) AddHashName(list, hash_name);
    if (derivation.kdf_id == 1) AddBuffer(list, plat::kKdfHmacKey, derivation.hmac_key, derivation.hmac_key_length);
    AddBuffer(list, tls ? plat::kKdfTlsPrfLabel : plat::kKdfSecretPrepend, derivation.prepend,
              derivation.prepend_length);
    AddBuffer(list, tls ? plat::kKdfTlsPrfSeed : plat::kKdfSecretAppend, derivation.append, derivation.append_length);
  }
  if ((status = DeriveFromSecret(secret.handle, kdf_name, list, out)) != 0) return status;
  // NOTE: the platform gives the raw secret least significant byte first.
  if (derivation.kdf_id == 99) std::reverse(reinterpret_cast<uint8_t*>(out.Data()), reinterpret_cast<uint8_t*>(out.Data()) + out.Length());
  return 0;
}

int CngConcatKdf(const EcKeyParams& own, const EcKeyParams& peer, const char* digest_name, const ConcatKdfInfo& info,
                 core::BufferCore& out) {
  int status = EcdhCheckKeys(own, peer);
  if (status != 0) return status;
  if (info.algorithm_id_length < 1) return kEcNoAlgorithmId;
  if (info.party_u_length < 1) return kEcNoPartyUInfo;
  if (info.party_v_length < 1) return kEcNoPartyVInfo;
  // The digest goes to the platform too, so both providers derive with the same one.
  const char16_t* hash_name = CngHashNameW(digest_name == nullptr || digest_name[0] == '\0' ? "SHA256" : digest_name);
  if (hash_name == nullptr) return kUnknownDigest;
  Secret secret;
  if ((status = CngEcdhAgree(own, peer, secret.handle)) != 0) return status;
  std::vector<plat::BCryptBuffer> list;
  AddHashName(list, hash_name);
  AddBuffer(list, plat::kKdfAlgorithmId, info.algorithm_id, info.algorithm_id_length);
  AddBuffer(list, plat::kKdfPartyUInfo, info.party_u_info, info.party_u_length);
  AddBuffer(list, plat::kKdfPartyVInfo, info.party_v_info, info.party_v_length);
  if (info.supp_pub_length > 0) AddBuffer(list, plat::kKdfSuppPubInfo, info.supp_pub_info, info.supp_pub_length);
  if (info.supp_priv_length > 0) AddBuffer(list, plat::kKdfSuppPrivInfo, info.supp_priv_info, info.supp_priv_length);
  return DeriveFromSecret(secret.handle, u"SP800_56A_CONCAT", list, out);
}

int DerSignatureToRawForCurve(const uint8_t* signature, int32_t length, int32_t key_type, core::BufferCore& out) {
  return DecodeDerSignatureToRaw(signature, length, EcKeyTypeByteLength(key_type), out);
}

}  // namespace velmora::crypto
