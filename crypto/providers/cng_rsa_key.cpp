#include "crypto/providers/cng_rsa_key.h"

#include <vector>

#include "crypto/providers/cng_cert_key.h"
#include "crypto/providers/platform_output.h"
#include "crypto/providers/provider_tables.h"
#include "crypto/registry/platform_names.h"
#include "crypto/rsa/rsa_engine.h"
#include "platform/crypto/ncrypt_types.h"

namespace velmora::crypto {

namespace plat = velmora::platform;

namespace {

constexpr int kNotLoaded = -1;
constexpr plat::DWORD kExportAll = plat::kAllowExportFlag | plat::kAllowPlaintextExportFlag |
                                   plat::kAllowArchivingFlag | plat::kAllowPlaintextArchivingFlag;

template <typename Fn>
Fn RsaFunction(int function) {
  return ProviderFunctionAs<Fn>(ProviderTable::kNcryptRsa, function);
}

// ProviderHandle holds an open storage provider and frees it on every path out.
class ProviderHandle {
 public:
  ProviderHandle() = default;
  ProviderHandle(const ProviderHandle&) = delete;
  ProviderHandle& operator=(const ProviderHandle&) = delete;
  ~ProviderHandle() {
    if (handle_ == 0) return;
    auto free_object = RsaFunction<plat::NCryptFreeObjectFn>(ncrypt_rsa_fn::kFreeObject);
    if (free_object != nullptr) (void)free_object(handle_);
  }
  // Open: -1 when the open or free function is not loaded, else the platform's status.
  int Open() {
    auto open = RsaFunction<plat::NCryptOpenStorageProviderFn>(ncrypt_rsa_fn::kOpenStorageProvider);
    if (open == nullptr || RsaFunction<plat::NCryptFreeObjectFn>(ncrypt_rsa_fn::kFreeObject) == nullptr) {
      return kNotLoaded;
    }
    return open(&handle_, plat::kSoftwareKeyStorageProvider, 0);
  }
  plat::NCRYPT_PROV_HANDLE Get() const { return handle_; }

 private:
  plat::NCRYPT_PROV_HANDLE handle_ = 0;
};

bool Present(const core::BufferCore& part) { return part.Length() > 0; }

void PutLe32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
uint32_t GetLe32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

// Padding is the platform's padding record for a signature or a cipher call, with its flags.
struct Padding {
  plat::BCRYPT_PKCS1_PADDING_INFO pkcs1{};
  plat::BCRYPT_PSS_PADDING_INFO pss{};
  plat::BCRYPT_OAEP_PADDING_INFO oaep{};
  void* info = nullptr;
  plat::DWORD flags = 0;
};

void SignaturePadding(const char16_t* name, int32_t digest_length, int32_t pss, int32_t salt_length, Padding& padding) {
  if (pss != 0) {
    padding.pss = {name, static_cast<plat::ULONG>(salt_length == -1 ? digest_length : salt_length)};
    padding.info = &padding.pss;
    padding.flags = plat::kNcryptPadPssFlag;
  } else {
    padding.pkcs1 = {name};
    padding.info = &padding.pkcs1;
    padding.flags = plat::kNcryptPadPkcs1Flag;
  }
}

void CipherPadding(int32_t oaep, const uint8_t* label, int32_t label_length, const char* digest, Padding& padding) {
  if (oaep == 0) {
    padding.flags = plat::kNcryptPadPkcs1Flag;
    return;
  }
  const bool labelled = label != nullptr && label_length > 0;
  padding.oaep = {CngHashNameW(digest), labelled ? const_cast<uint8_t*>(label) : nullptr,
                  labelled ? static_cast<plat::ULONG>(label_length) : 0};
  padding.info = &padding.oaep;
  padding.flags = plat::kNcryptPadOaepFlag;
}

// SetDwordProperty sets a 32-bit property of a key.
int SetDwordProperty(plat::NCRYPT_HANDLE key, const char16_t* name, plat::DWORD value, plat::DWORD flags) {
  auto set = RsaFunction<plat::NCryptSetPropertyFn>(ncrypt_rsa_fn::kSetProperty);
  if (set == nullptr) return kNotLoaded;
  return set(key, name, reinterpret_cast<const uint8_t*>(&value), sizeof value, flags);
}

// CopyPart copies length bytes at *at into part and moves past them.
int CopyPart(const uint8_t*& at, uint32_t length, core::BufferCore& part) {
  const int status = part.SetData(static_cast<int32_t>(length), at);
  at += length;
  return status;
}

}  // namespace

CngRsaKey::~CngRsaKey() { (void)DestroyHandle(); }

void CngRsaKey::AdoptHandle(plat::NCRYPT_KEY_HANDLE key, bool owned) {
  (void)DestroyHandle();
  handle_ = key;
  owns_handle_ = owned;
}

int CngRsaKey::DestroyHandle() {
  if (handle_ == 0) return 0;
  if (owns_handle_) {
    if (auto free_object = RsaFunction<plat::NCryptFreeObjectFn>(ncrypt_rsa_fn::kFreeObject)) {
      (void)free_object(handle_);
    }
  }
  handle_ = 0;
  owns_handle_ = false;
  return 0;
}

int CngImportRsaKey(CngRsaKey& key, const core::BufferCore& exponent, const core::BufferCore& modulus,
                    const core::BufferCore& p, const core::BufferCore& q, const core::BufferCore& dp,
                    const core::BufferCore& dq, const core::BufferCore& inverse_q, const core::BufferCore& d) {
  (void)key.DestroyHandle();
  auto import = RsaFunction<plat::NCryptImportKeyFn>(ncrypt_rsa_fn::kImportKey);
  if (import == nullptr) return kNotLoaded;
  ProviderHandle provider;
  int status = provider.Open();
  if (status != 0) return status;
  const bool is_public = !Present(p) || !Present(q);
  const bool full = !is_public && Present(dp) && Present(dq) && Present(inverse_q) && Present(d);
  std::vector<const core::BufferCore*> parts = {&exponent, &modulus};
  if (!is_public) parts.insert(parts.end(), {&p, &q});
  if (full) parts.insert(parts.end(), {&dp, &dq, &inverse_q, &d});
  int32_t size = plat::kRsaBlobHeaderSize;
  for (const core::BufferCore* part : parts) size += part->Length();
  core::SecureBuffer blob;
  if ((status = blob.Resize(size)) != 0) return status;
  auto* at = reinterpret_cast<uint8_t*>(blob.Data());
  PutLe32(at, full ? plat::kRsaFullPrivateMagic : is_public ? plat::kRsaPublicMagic : plat::kRsaPrivateMagic);
  PutLe32(at + 4, static_cast<uint32_t>(modulus.Length()) * 8);
  PutLe32(at + 8, static_cast<uint32_t>(exponent.Length()));
  PutLe32(at + 12, static_cast<uint32_t>(modulus.Length()));
  PutLe32(at + 16, is_public ? 0 : static_cast<uint32_t>(p.Length()));
  PutLe32(at + 20, is_public ? 0 : static_cast<uint32_t>(q.Length()));
  at += plat::kRsaBlobHeaderSize;
  for (const core::BufferCore* part : parts) {
    if (part->Length() > 0) __builtin_memcpy(at, part->Data(), static_cast<size_t>(part->Length()));
    at += part->Length();
  }
  const char16_t* type = full ? plat::kRsaFullPrivateBlob : is_public ? plat::kRsaPublicBlob : plat::kRsaPrivateBlob;
  plat::NCRYPT_KEY_HANDLE handle = 0;
  status = import(provider.Get(), 0, type, nullptr, &handle, blob.Bytes(), static_cast<plat::DWORD>(size), 0);
  if (status == 0) key.AdoptHandle(handle, true);
  return status;
}

int CreatePersistedRsaKey(CngRsaKey& key, int32_t bits) {
  auto create = RsaFunction<plat::NCryptCreatePersistedKeyFn>(ncrypt_rsa_fn::kCreatePersistedKey);
  auto finalize = RsaFunction<plat::NCryptFinalizeKeyFn>(ncrypt_rsa_fn::kFinalizeKey);
  auto set = RsaFunction<plat::NCryptSetPropertyFn>(ncrypt_rsa_fn::kSetProperty);
  if (create == nullptr || finalize == nullptr || set == nullptr) return kNotLoaded;
  ProviderHandle provider;
  int status = provider.Open();
  if (status != 0) return status;
  plat::NCRYPT_KEY_HANDLE handle = 0;
  if ((status = create(provider.Get(), &handle, plat::kNcryptRsaAlgorithm, nullptr, 0, 0)) != 0) return status;
  key.AdoptHandle(handle, true);
  status = SetDwordProperty(handle, plat::kNcryptExportPolicyProperty, plat::kAllowPlaintextExportFlag,
                            plat::kNcryptPersistFlag);
  if (status == 0 && bits > 0) {
    status = SetDwordProperty(handle, plat::kNcryptLengthProperty, static_cast<plat::DWORD>(bits), 0);
  }
  if (status == 0) status = finalize(handle, 0);
  // NOTE: a key that was not finalized is of no use; it is not kept.
  if (status != 0) (void)key.DestroyHandle();
  return status;
}

int CngRsaKey::SetKeyParams(const RsaKeyParams& params) {
  RsaKeyParams padded;
  int status = padded.CopyFrom(params);
  if (status == 0) status = padded.PadToFixedLength();
  if (status == 0) status = params_.CopyFrom(padded);
  if (status != 0) return status;
  return CngImportRsaKey(*this, params_.Exponent, params_.Modulus, params_.P, params_.Q, params_.DP, params_.DQ,
                         params_.InverseQ, params_.D);
}

int CngRsaKey::GenerateKey(int32_t bits, RsaKeyParams& out) {
  const int status = ExportToParams(bits, out, true);
  if (status != 0 || &out == &params_) return status;
  return params_.CopyFrom(out);
}

int CngRsaKey::ExportToParams(int32_t bits, RsaKeyParams& params, bool private_part) {
  int status;
  if (handle_ == 0 && (status = CreatePersistedRsaKey(*this, bits)) != 0) return status;
  auto export_key = RsaFunction<plat::NCryptExportKeyFn>(ncrypt_rsa_fn::kExportKey);
  if (export_key == nullptr) return kNotLoaded;
  const char16_t* type = private_part ? plat::kRsaFullPrivateBlob : plat::kRsaPublicBlob;
  core::SecureBuffer blob;
  status = AppendPlatformOutput(blob, [&](uint8_t* output, plat::DWORD size, plat::DWORD* result) {
    return export_key(handle_, 0, type, nullptr, output, size, result, 0);
  });
  if (status != 0) return status;
  const auto* at = blob.Bytes();
  if (blob.Length() < plat::kRsaBlobHeaderSize) return plat::kNteBadData;
  const uint32_t exponent = GetLe32(at + 8), modulus = GetLe32(at + 12);
  const uint32_t prime1 = GetLe32(at + 16), prime2 = GetLe32(at + 20);
  uint64_t needed = plat::kRsaBlobHeaderSize + uint64_t{exponent} + modulus;
  if (private_part) needed += uint64_t{prime1} * 3 + uint64_t{prime2} * 2 + modulus;
  if (needed > static_cast<uint64_t>(blob.Length())) return plat::kNteBadData;
  at += plat::kRsaBlobHeaderSize;
  if ((status = CopyPart(at, exponent, params.Exponent)) != 0 ||
      (status = CopyPart(at, modulus, params.Modulus)) != 0) {
    return status;
  }
  if (!private_part) {
    for (core::BufferCore* part : {&params.P, &params.Q, &params.DP, &params.DQ, &params.InverseQ, &params.D}) {
      if ((status = part->SetData(0, nullptr)) != 0) return status;
    }
    return 0;
  }
  if ((status = CopyPart(at, prime1, params.P)) != 0 || (status = CopyPart(at, prime2, params.Q)) != 0 ||
      (status = CopyPart(at, prime1, params.DP)) != 0 || (status = CopyPart(at, prime2, params.DQ)) != 0 ||
      (status = CopyPart(at, prime1, params.InverseQ)) != 0) {
    return status;
  }
  return CopyPart(at, modulus, params.D);
}

int CngRsaKey::Sign(const uint8_t* digest, int32_t digest_length, const char* digest_name, core::BufferCore& out,
                    int32_t pss, int32_t salt_length) {
  if (handle_ == 0) return kCngNoKey;
  auto sign = RsaFunction<plat::NCryptSignHashFn>(ncrypt_rsa_fn::kSignHash);
  if (sign == nullptr) return kNotLoaded;
  const char16_t* name = CngHashNameW(digest_name);
  if (pss == 0 && name == nullptr) {
    // Without a platform name the platform signs the bytes as given: right for "RAW" and "MD5SHA1"
    // (no DigestInfo, or a one-byte length marker), wrong for a digest that needs its DigestInfo.
    core::Buffer prefix;
    const int status = AppendDigestInfoPrefix(digest_name, prefix);
    if (status != 0) return status;
    if (prefix.Length() > 1) return kCngNotSupported;
  }
  Padding padding;
  SignaturePadding(name, digest_length, pss, salt_length, padding);
  return AppendPlatformOutput(out, [&](uint8_t* output, plat::DWORD size, plat::DWORD* result) {
    return sign(handle_, padding.info, digest, static_cast<plat::DWORD>(digest_length), output, size, result,
                padding.flags);
  });
}

int CngRsaKey::Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                      int32_t signature_length, const char* digest_name, int32_t& valid, int32_t pss,
                      int32_t salt_length, int32_t check_prefix) {
  (void)check_prefix;
  valid = 0;
  if (handle_ == 0) return kCngNoKey;
  auto verify = RsaFunction<plat::NCryptVerifySignatureFn>(ncrypt_rsa_fn::kVerifySignature);
  if (verify == nullptr) return kNotLoaded;
  Padding padding;
  SignaturePadding(CngHashNameW(digest_name), digest_length, pss, salt_length, padding);
  const int status = verify(handle_, padding.info, digest, static_cast<plat::DWORD>(digest_length), signature,
                            static_cast<plat::DWORD>(signature_length), padding.flags);
  if (status == 0) valid = 1;
  return status == plat::kNteBadSignature ? 0 : status;
}

int CngRsaKey::Encrypt(const uint8_t* input, int32_t length, core::BufferCore& out, int32_t oaep,
                       const uint8_t* label, int32_t label_length, const char* oaep_digest, const char* mgf_digest) {
  (void)mgf_digest;
  if (handle_ == 0) return kCngNoKey;
  auto encrypt = RsaFunction<plat::NCryptCipherFn>(ncrypt_rsa_fn::kEncrypt);
  if (encrypt == nullptr) return kNotLoaded;
  Padding padding;
  CipherPadding(oaep, label, label_length, oaep_digest, padding);
  return AppendPlatformOutput(out, [&](uint8_t* output, plat::DWORD size, plat::DWORD* result) {
    return encrypt(handle_, input, static_cast<plat::DWORD>(length), padding.info, output, size, result,
                   padding.flags);
  });
}

int CngRsaKey::Decrypt(const uint8_t* input, int32_t length, core::BufferCore& out, int32_t oaep,
                       const uint8_t* label, int32_t label_length, const char* oaep_digest, const char* mgf_digest) {
  (void)mgf_digest;
  if (handle_ == 0) return kCngNoKey;
  auto decrypt = RsaFunction<plat::NCryptCipherFn>(ncrypt_rsa_fn::kDecrypt);
  if (decrypt == nullptr) return kNotLoaded;
  Padding padding;
  CipherPadding(oaep, label, label_length, oaep_digest, padding);
  return AppendPlatformOutput(out, [&](uint8_t* output, plat::DWORD size, plat::DWORD* result) {
    return decrypt(handle_, input, static_cast<plat::DWORD>(length), padding.info, output, size, result,
                   padding.flags);
  });
}

int CngRsaKey::CompletePrivateKey(RsaKeyParams& params) {
  if (!Present(params.Exponent) || !Present(params.Modulus) || !Present(params.P) || !Present(params.Q)) return 0;
  if (Present(params.D) && Present(params.DP) && Present(params.DQ) && Present(params.InverseQ)) return 0;
  int status = SetKeyParams(params);
  if (status == 0) status = SetDwordProperty(handle_, plat::kNcryptExportPolicyProperty, kExportAll, 0);
  if (status == 0) status = ExportToParams(params.ModulusByteLength() * 8, params, true);
  (void)DestroyHandle();
  return status;
}

int CngRsaKey::FromCertificateContext(const plat::CERT_CONTEXT* context, const char* pin, uint32_t flags) {
  if (RsaFunction<plat::CryptAcquireCertificatePrivateKeyFn>(ncrypt_rsa_fn::kAcquireCertificatePrivateKey) ==
      nullptr) {
    return kNotLoaded;
  }
  (void)DestroyHandle();
  const CertKeyFunctions functions = {ProviderTable::kNcryptRsa, ncrypt_rsa_fn::kAcquireCertificatePrivateKey,
                                      ncrypt_rsa_fn::kReleaseContext, ncrypt_rsa_fn::kTranslateHandle,
                                      ncrypt_rsa_fn::kSetProperty};
  const int status = AcquireCertificateKey(functions, context, pin, flags,
                                           [this](plat::NCRYPT_KEY_HANDLE key, bool owned) { AdoptHandle(key, owned); });
  if (status != 0) return status;
  if (ExportToParams(0, params_, true) == 0) return 0;
  return ExportToParams(0, params_, false);
}

}  // namespace velmora::crypto
