#include "crypto/providers/cng_dsa_key.h"

#include <cstring>

#include "crypto/providers/provider_tables.h"
#include "platform/crypto/hash_types.h"
#include "platform/crypto/keypair_types.h"
#include "platform/win_codes.h"

namespace velmora::crypto {

namespace {

namespace plat = velmora::platform;

constexpr char16_t kDsaAlgorithm[] = u"DSA";
constexpr char16_t kPrimitiveProvider[] = u"Microsoft Primitive Provider";
constexpr char16_t kPublicBlob[] = u"DSAPUBLICBLOB";
constexpr char16_t kPrivateBlob[] = u"DSAPRIVATEBLOB";
constexpr int32_t kMinBits = 512;
constexpr int32_t kV1MaxBits = 1024;
constexpr int32_t kMaxBits = 3072;
constexpr int32_t kV1Group = 20;
constexpr int32_t kV2Group = 32;
constexpr uint32_t kNoSeedCounter = 0xFFFFFFFFu;

template <typename Fn>
Fn Signature(int function) {
  return ProviderFunctionAs<Fn>(ProviderTable::kSignature, function);
}

int AppendUlong(core::BufferCore& out, uint32_t value) { return out.Append(&value, sizeof value); }

int AppendCount(core::BufferCore& out, bool seeded, uint32_t counter) {
  const uint8_t count[4] = {static_cast<uint8_t>(counter >> 24), static_cast<uint8_t>(counter >> 16),
                            static_cast<uint8_t>(counter >> 8), static_cast<uint8_t>(counter)};
  return seeded ? out.Append(count, 4) : out.AppendRepeatedByte(4, 0xFF);
}

// AppendFitted appends value as exactly width bytes: zeros in front, or its leading bytes dropped.
int AppendFitted(core::BufferCore& out, const core::BufferCore& value, int32_t width) {
  const int32_t length = value.Length();
  if (length >= width) return width > 0 ? out.Append(value.Bytes() + length - width, width) : 0;
  const int rc = out.AppendRepeatedByte(width - length, 0);
  return rc != 0 || length == 0 ? rc : out.Append(value.Bytes(), length);
}

// BuildDsaBlob writes the blob for params; *is_private says which type it is.
int BuildDsaBlob(const DsaKeyParams& params, core::SecureBuffer& blob, bool* is_private) {
  // The modulus size is P's byte length rounded to the nearest multiple of 8 (half-way up), in bits.
  const int32_t bits = (params.P.Length() + 4) / 8 * 64;
  if (bits < kMinBits || bits > kMaxBits) return kCngNoKey;
  const bool v2 = bits > kV1MaxBits;
  const int32_t group = v2 ? kV2Group : kV1Group;
  if (v2 ? params.Q.Length() != group : params.Q.Length() > group) return kCngNoKey;
  const bool seeded = !params.Seed.IsEmpty();
  if (!v2 && seeded && params.Seed.Length() != kV1Group) return kCngNoKey;
  *is_private = !params.X.IsEmpty();
  const int32_t length = bits / 8;
  const auto counter = static_cast<uint32_t>(params.Counter);
  int rc;
  if (v2) {
    if ((rc = AppendUlong(blob, *is_private ? plat::kDsaPrivateMagicV2 : plat::kDsaPublicMagicV2)) != 0 ||
        (rc = AppendUlong(blob, static_cast<uint32_t>(length))) != 0 ||
        (rc = AppendUlong(blob, plat::kDsaHashSha256)) != 0 ||
        (rc = AppendUlong(blob, plat::kDsaStandardFips186_3)) != 0 ||
        (rc = AppendUlong(blob, static_cast<uint32_t>(seeded ? params.Seed.Length() : group))) != 0 ||
        (rc = AppendUlong(blob, static_cast<uint32_t>(group))) != 0) {
      return rc;
    }
  } else if ((rc = AppendUlong(blob, *is_private ? plat::kDsaPrivateMagic : plat::kDsaPublicMagic)) != 0 ||
             (rc = AppendUlong(blob, static_cast<uint32_t>(length))) != 0) {
    return rc;
  }
  if ((rc = AppendCount(blob, seeded, counter)) != 0 ||
      (rc = seeded ? blob.Append(params.Seed) : blob.AppendRepeatedByte(group, 0xFF)) != 0 ||
      (rc = AppendFitted(blob, params.Q, group)) != 0 || (rc = AppendFitted(blob, params.P, length)) != 0 ||
      (rc = AppendFitted(blob, params.G, length)) != 0 || (rc = AppendFitted(blob, params.Y, length)) != 0) {
    return rc;
  }
  return *is_private ? AppendFitted(blob, params.X, group) : 0;
}

// BlobReader takes the parts of an exported blob in order; false once the blob runs short.
struct BlobReader {
  const uint8_t* at;
  uint32_t left;

  bool Ulong(uint32_t& value) {
    if (left < sizeof value) return false;
    std::memcpy(&value, at, sizeof value);
    at += sizeof value;
    left -= sizeof value;
    return true;
  }
  bool Take(uint32_t count, core::BufferCore* out, int* rc) {
    if (count > left) return false;
    if (out != nullptr) *rc = out->SetData(static_cast<int32_t>(count), at);
    at += count;
    left -= count;
    return *rc == 0;
  }
};

// ReadDsaBlob fills params from an exported blob (X only when include_private).
int ReadDsaBlob(const uint8_t* blob, uint32_t size, bool include_private, DsaKeyParams& params) {
  BlobReader in{blob, size};
  uint32_t magic = 0, length = 0, seed_length = kV1Group, group = kV1Group;
  if (!in.Ulong(magic) || !in.Ulong(length)) return kCngNoKey;
  if (magic == plat::kDsaPublicMagicV2 || magic == plat::kDsaPrivateMagicV2) {
    uint32_t hash = 0, standard = 0;
    if (!in.Ulong(hash) || !in.Ulong(standard) || !in.Ulong(seed_length) || !in.Ulong(group)) return kCngNoKey;
  } else if (magic != plat::kDsaPublicMagic && magic != plat::kDsaPrivateMagic) {
    return kCngNoKey;
  }
  core::Buffer count;
  int rc = 0;
  if (!in.Take(4, &count, &rc) || !in.Take(seed_length, &params.Seed, &rc) || !in.Take(group, &params.Q, &rc) ||
      !in.Take(length, &params.P, &rc) || !in.Take(length, &params.G, &rc) || !in.Take(length, &params.Y, &rc) ||
      (include_private && !in.Take(group, &params.X, &rc))) {
    return rc != 0 ? rc : kCngNoKey;
  }
  if (!include_private && (rc = params.X.Clear()) != 0) return rc;
  const uint8_t* c = count.Bytes();
  const uint32_t counter = static_cast<uint32_t>(c[0]) << 24 | static_cast<uint32_t>(c[1]) << 16 |
                           static_cast<uint32_t>(c[2]) << 8 | c[3];
  params.Counter = static_cast<int32_t>(counter);
  if (counter == kNoSeedCounter) {
    params.Counter = 0;
    return params.Seed.Clear();
  }
  return 0;
}

}  // namespace

CngDsaKey::~CngDsaKey() {
  auto destroy = Signature<plat::BCryptDestroyKeyFn>(signature_fn::kDestroyKey);
  if (KeyHandle != nullptr && destroy != nullptr) (void)destroy(KeyHandle);
  KeyHandle = nullptr;
}

int CngDsaKey::SetKeyParams(const DsaKeyParams& params) {
  DsaKeyParams padded;
  int rc;
  if ((rc = padded.CopyFrom(params)) != 0 || (rc = padded.PadToFixedLength()) != 0 ||
      (rc = params_.CopyFrom(padded)) != 0) {
    return rc;
  }
  rc = CngImportDsaKey(*this, params_);
  // A key that did not take the new parameters must not go on signing with the old ones.
  if (rc != 0) (void)DestroyHandle();
  return rc;
}

int CngDsaKey::GenerateKey(int32_t bits, DsaKeyParams& out) { return CngDsaBlobTransfer(*this, bits, out, true); }

int CngDsaKey::Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                      int32_t signature_length, int32_t* result) {
  if (result != nullptr) *result = 0;
  auto verify = Signature<plat::BCryptVerifySignatureFn>(signature_fn::kVerifySignature);
  if (verify == nullptr) return kCngNotLoaded;
  if (KeyHandle == nullptr) return kCngNoKey;
  const plat::NTSTATUS status =
      verify(KeyHandle, nullptr, digest, static_cast<plat::ULONG>(digest_length < 0 ? 0 : digest_length), signature,
             static_cast<plat::ULONG>(signature_length < 0 ? 0 : signature_length), 0);
  if (status == plat::kStatusSuccess) {
    if (result != nullptr) *result = 1;
    return 0;
  }
  // NOTE: providers report a bad signature either with the key-storage code or with an NTSTATUS.
  if (status == plat::kNteBadSignature || status == plat::kStatusInvalidSignature) return 0;
  return status;
}

int CngDsaKey::Sign(const uint8_t* digest, int32_t digest_length, core::BufferCore& out) {
  auto sign = Signature<plat::BCryptSignHashFn>(signature_fn::kSignHash);
  if (sign == nullptr) return kCngNotLoaded;
  if (KeyHandle == nullptr) return kCngNoKey;
  const auto length = static_cast<plat::ULONG>(digest_length < 0 ? 0 : digest_length);
  plat::ULONG size = 0;
  int rc = sign(KeyHandle, nullptr, digest, length, nullptr, 0, &size, 0);
  if (rc != 0) return rc;
  const int32_t start = out.Length();
  if ((rc = out.Resize(start + static_cast<int32_t>(size))) != 0) return rc;
  rc = sign(KeyHandle, nullptr, digest, length, reinterpret_cast<uint8_t*>(out.Data()) + start, size, &size, 0);
  const int trimmed = out.Resize(rc == 0 ? start + static_cast<int32_t>(size) : start);
  return rc != 0 ? rc : trimmed;
}

int CngDsaKey::DestroyHandle() {
  if (KeyHandle == nullptr) return 0;
  auto destroy = Signature<plat::BCryptDestroyKeyFn>(signature_fn::kDestroyKey);
  if (destroy == nullptr) return kCngNotLoaded;
  (void)destroy(KeyHandle);
  KeyHandle = nullptr;
  return 0;
}

int CngImportDsaKey(CngDsaKey& key, const DsaKeyParams& params) {
  auto open = Signature<plat::BCryptOpenAlgorithmProviderFn>(signature_fn::kOpenAlgorithmProvider);
  auto close = Signature<plat::BCryptCloseAlgorithmProviderFn>(signature_fn::kCloseAlgorithmProvider);
  auto import = Signature<plat::BCryptImportKeyPairFn>(signature_fn::kImportKeyPair);
  auto destroy = Signature<plat::BCryptDestroyKeyFn>(signature_fn::kDestroyKey);
  if (open == nullptr || close == nullptr || import == nullptr || destroy == nullptr) return kCngNotLoaded;
  plat::BCRYPT_ALG_HANDLE algorithm = nullptr;
  int rc = open(&algorithm, kDsaAlgorithm, kPrimitiveProvider, 0);
  if (rc != 0) return rc;
  core::SecureBuffer blob;
  bool is_private = false;
  plat::BCRYPT_KEY_HANDLE made = nullptr;
  rc = BuildDsaBlob(params, blob, &is_private);
  if (rc == 0) {
    rc = import(algorithm, nullptr, is_private ? kPrivateBlob : kPublicBlob, &made, blob.Bytes(),
                static_cast<plat::ULONG>(blob.Length()), 0);
  }
  (void)close(algorithm, 0);
  if (rc != 0) return rc;
  if (key.KeyHandle != nullptr) (void)destroy(key.KeyHandle);
  key.KeyHandle = made;
  return 0;
}

int OpenPrimitiveProvider(CngDsaKey& key, int32_t bits) {
  auto open = Signature<plat::BCryptOpenAlgorithmProviderFn>(signature_fn::kOpenAlgorithmProvider);
  auto close = Signature<plat::BCryptCloseAlgorithmProviderFn>(signature_fn::kCloseAlgorithmProvider);
  auto generate = Signature<plat::BCryptGenerateKeyPairFn>(signature_fn::kGenerateKeyPair);
  auto finalize = Signature<plat::BCryptFinalizeKeyPairFn>(signature_fn::kFinalizeKeyPair);
  auto destroy = Signature<plat::BCryptDestroyKeyFn>(signature_fn::kDestroyKey);
  if (open == nullptr || close == nullptr || generate == nullptr || finalize == nullptr || destroy == nullptr) {
    return kCngNotLoaded;
  }
  plat::BCRYPT_ALG_HANDLE algorithm = nullptr;
  int rc = open(&algorithm, kDsaAlgorithm, kPrimitiveProvider, 0);
  if (rc != 0) return rc;
  plat::BCRYPT_KEY_HANDLE made = nullptr;
  rc = generate(algorithm, &made, static_cast<plat::ULONG>(bits < 0 ? 0 : bits), 0);
  if (rc == 0) {
    rc = finalize(made, 0);
    if (rc != 0) (void)destroy(made);
  }
  (void)close(algorithm, 0);
  if (rc == 0) key.KeyHandle = made;
  return rc;
}

int CngDsaBlobTransfer(CngDsaKey& key, int32_t bits, DsaKeyParams& params, bool include_private) {
  auto export_key = Signature<plat::BCryptExportKeyFn>(signature_fn::kExportKey);
  if (export_key == nullptr) return kCngNotLoaded;
  if (key.KeyHandle != nullptr && !include_private) return kCngPrivateExportOfHeldKey;
  if (key.KeyHandle == nullptr) {
    if (!include_private) return kCngNoKey;
    const int rc = OpenPrimitiveProvider(key, bits);
    if (rc != 0) return rc;
  }
  const char16_t* type = include_private ? kPrivateBlob : kPublicBlob;
  plat::ULONG size = 0;
  int rc = export_key(key.KeyHandle, nullptr, type, nullptr, 0, &size, 0);
  if (rc != 0) return rc;
  core::SecureBuffer blob;
  if ((rc = blob.Resize(static_cast<int32_t>(size))) != 0) return rc;
  rc = export_key(key.KeyHandle, nullptr, type, reinterpret_cast<uint8_t*>(blob.Data()), size, &size, 0);
  if (rc != 0) return rc;
  return ReadDsaBlob(blob.Bytes(), size, include_private, params);
}

}  // namespace velmora::crypto
