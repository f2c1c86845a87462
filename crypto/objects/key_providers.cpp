#include "crypto/objects/key_providers.h"

#include <cstdio>

#include "component/component_base.h"
#include "crypto/bn/big_int.h"
#include "crypto/bn/integer_bytes.h"
#include "crypto/keys/curve_params.h"
#include "crypto/keys/der_signature.h"
#include "crypto/objects/hash_objects.h"
#include "crypto/objects/internal.h"
#include "crypto/providers/cng_dsa_key.h"
#include "crypto/providers/cng_ecc_key.h"
#include "crypto/providers/cng_rsa_key.h"
#include "crypto/registry/platform_names.h"

namespace velmora::crypto {

namespace {

constexpr int kEcNotOnPlatform = 1410;
// EC key types of the Edwards curves, which the platform does not sign with.
constexpr int32_t kEcTypeEd25519 = 3;
constexpr int32_t kEcTypeEd448 = 4;

// SelectKey runs the selection steps shared by the three families: resolve the mode, release an object
// made for another id or mode, store the id and mode, create the family's object when none of the right
// kind is held, and load params into it.
template <typename Base, typename Internal, typename Platform, typename Params>
int SelectKey(component::CryptoComponent& component, int32_t engine_id, const Params& params, uint32_t mode) {
  const uint32_t resolved = ResolveProviderMode(mode, false);
  KeepOrRelease(component, engine_id, mode, resolved);
  Base* key = nullptr;
  if (resolved == kProviderPlatform) {
    key = HeldOrNew<Platform>(component);
  } else {
    key = HeldOrNew<Internal>(component);
  }
  return key != nullptr ? key->SetKeyParams(params) : core::kOutOfMemory;
}

// PinIsAscii: a smart-card PIN travels to the platform in the system code page, which only agrees with
// every other code page below 128.
bool PinIsAscii(const char* pin) {
  for (const char* p = pin; p != nullptr && *p != '\0'; ++p) {
    if (static_cast<unsigned char>(*p) > 127) return false;
  }
  return true;
}

// CheckCertificateArguments: the refusals of a key from a certificate context before the context is used.
int CheckCertificateArguments(component::CryptoComponent& component, const void* context, const char* pin,
                              const char* pin_text) {
  if (!PinIsAscii(pin)) return component.SetErrorText(kNotRunnable, pin_text);
  if (context == nullptr) {
    return component.SetErrorText(kNotRunnable, "Context must be specified when calling this method.");
  }
  return 0;
}

}  // namespace

int SelectRsaProvider(component::CryptoComponent& component, const RsaKeyParams& params, uint32_t mode) {
  return SelectKey<RsaKeyBase, InternalRsaKey, CngRsaKey>(component, kEngineRsa, params, mode);
}

int SelectDsaProvider(component::CryptoComponent& component, const DsaKeyParams& params, uint32_t mode) {
  return SelectKey<DsaKeyBase, InternalDsaKey, CngDsaKey>(component, kEngineDsa, params, mode);
}

int SelectEccProvider(component::CryptoComponent& component, const EcKeyParams& params, uint32_t mode) {
  const uint32_t resolved = ResolveProviderMode(mode, false);
  if (resolved == kProviderPlatform && (params.KeyType == kEcTypeEd25519 || params.KeyType == kEcTypeEd448)) {
    KeepOrRelease(component, kEngineEcKey, mode, resolved);
    return component.SetErrorText(kEcNotOnPlatform, "EdDSA is unsupported in FIPS mode or CNG.");
  }
  return SelectKey<EccKeyBase, InternalEccKey, CngEccKey>(component, kEngineEcKey, params, mode);
}

int RsaFromCertificateContext(component::CryptoComponent& component, const platform::CERT_CONTEXT* context,
                              const char* pin, uint32_t flags) {
  const int rc = CheckCertificateArguments(
      component, context, pin, "Cannot initialize RSA: smartCardPin contains non-ascii characters.");
  if (rc != 0) return rc;
  component.ReleaseObject();
  component.Store(kEngineRsa, kProviderPlatform);
  auto* key = HeldOrNew<CngRsaKey>(component);
  return key != nullptr ? key->FromCertificateContext(context, pin, flags) : core::kOutOfMemory;
}

int EccFromCertificateContext(component::CryptoComponent& component, const platform::CERT_CONTEXT* context,
                              const char* pin, uint32_t flags) {
  const int rc = CheckCertificateArguments(
      component, context, pin, "Cannot initialize ECC: smartCardPin contains non-ascii characters.");
  if (rc != 0) return rc;
  component.ReleaseObject();
  component.Store(kEngineEcKey, kProviderPlatform);
  auto* key = HeldOrNew<CngEccKey>(component);
  return key != nullptr ? key->FromCertificateContext(context, pin, flags) : core::kOutOfMemory;
}

RsaKeyBase* HeldRsaKey(const component::CryptoComponent& component) {
  return component.AlgorithmId() == kEngineRsa ? dynamic_cast<RsaKeyBase*>(component.Object()) : nullptr;
}

DsaKeyBase* HeldDsaKey(const component::CryptoComponent& component) {
  return component.AlgorithmId() == kEngineDsa ? dynamic_cast<DsaKeyBase*>(component.Object()) : nullptr;
}

EccKeyBase* HeldEccKey(const component::CryptoComponent& component) {
  return component.AlgorithmId() == kEngineEcKey ? dynamic_cast<EccKeyBase*>(component.Object()) : nullptr;
}

namespace {

bool Fips() { return component::UseFIPSCompliantAPI() != 0; }

// FittedToModulus: in FIPS mode, a signature or ciphertext whose length is not the modulus byte length
// is fitted to it (leading zero bytes added or removed) in fitted, and bytes/length point there. Only
// zero bytes may go: an input whose excess holds any other byte is a different integer, so it is passed
// on as it is for the key to refuse, as it does outside FIPS mode.
int FittedToModulus(const RsaKeyBase& key, const uint8_t*& bytes, int32_t& length, core::BufferCore& fitted) {
  const int32_t width = key.GetKeyParams()->ModulusByteLength();
  if (!Fips() || length == width || bytes == nullptr || length < 1) return 0;
  for (int32_t i = 0; i < length - width; ++i) {
    if (bytes[i] != 0) return 0;
  }
  int status = fitted.SetData(length, bytes);
  if (status == 0) status = FitIntegerBytes(width, fitted, false);
  if (status != 0) return status;
  bytes = fitted.Bytes();
  length = fitted.Length();
  return 0;
}

// OaepNamesRefused applies the FIPS rule on the two OAEP digests: 0, or 9999 with the text for the
// first name the platform does not take.
int OaepNamesRefused(component::CryptoComponent& component, const char* oaep_digest, const char* mgf_digest,
                     const char* oaep_text, const char* mgf_text) {
  if (!Fips()) return 0;
  if (IsPlatformHashName(oaep_digest) == 0) return component.SetErrorText(kNotAllowedInFips, oaep_text);
  if (IsPlatformHashName(mgf_digest) == 0) return component.SetErrorText(kNotAllowedInFips, mgf_text);
  return 0;
}

// RawRefused: the refusals of raw RSA, in FIPS mode and for the platform's key.
int RawRefused(component::CryptoComponent& component, const RsaKeyBase& key, const char* fips_text,
               const char* platform_text) {
  if (Fips()) return component.SetErrorText(kNotAllowedInFips, fips_text);
  if (dynamic_cast<const CngRsaKey*>(&key) != nullptr) return component.SetErrorText(kNotAllowedInFips, platform_text);
  return 0;
}

int ToInt(const core::BufferCore& bytes, BigInt& out) {
  return BigInt::FromBytes(bytes.Bytes(), bytes.Length(), 1, out);
}

bool Set(const core::BufferCore& part) { return part.Length() > 0; }

// RawCrt: m = m2 + ((m1 - m2) * InverseQ mod P) * Q with m1 = c^DP mod P and m2 = c^DQ mod Q.
int RawCrt(const BigInt& c, const RsaKeyParams& params, BigInt& m) {
  BigInt p, q, dp, dq, qinv, m1, m2, h, t;
  int status;
  if ((status = ToInt(params.P, p)) != 0 || (status = ToInt(params.Q, q)) != 0 ||
      (status = ToInt(params.DP, dp)) != 0 || (status = ToInt(params.DQ, dq)) != 0 ||
      (status = ToInt(params.InverseQ, qinv)) != 0) {
    return status;
  }
  if ((status = BigInt::ModPow(c, dp, p, m1)) != 0 || (status = BigInt::ModPow(c, dq, q, m2)) != 0 ||
      (status = BigInt::Subtract(m1, m2, t)) != 0 || (status = BigInt::Multiply(t, qinv, h)) != 0 ||
      (status = BigInt::Mod(h, p, t)) != 0 || (status = BigInt::Multiply(t, q, h)) != 0) {
    return status;
  }
  return BigInt::Add(m2, h, m);
}

}  // namespace

int PlatformRsaSign(component::CryptoComponent& component, const uint8_t* digest, int32_t digest_length,
                    const char* digest_name, core::BufferCore& out, int32_t pss, int32_t salt_length) {
  RsaKeyBase* key = HeldRsaKey(component);
  if (key == nullptr) return -1;
  if (Fips()) {
    const int32_t bits = key->GetKeyParams()->ModulusByteLength() * 8;
    if (bits < 2048) {
      char text[200];
      std::snprintf(text, sizeof text,
                    "Could not generate signature: FIPS mode requires that the RSA modulus size for signature "
                    "generation must be 2048 bits or more, but the size is only %d bits.",
                    static_cast<int>(bits));
      return component.SetErrorText(kNotAllowedInFips, text);
    }
    if (IsPlatformHashName(digest_name) == 0) {
      return component.SetErrorText(
          kNotAllowedInFips, "Could not generate signature with RSA: The signature hash algorithm is not supported in "
                             "FIPS mode.");
    }
  }
  return key->Sign(digest, digest_length, digest_name, out, pss, salt_length);
}

int PlatformRsaVerify(component::CryptoComponent& component, const uint8_t* digest, int32_t digest_length,
                      const uint8_t* signature, int32_t signature_length, const char* digest_name, int32_t& valid,
                      int32_t pss, int32_t salt_length, int32_t check_prefix) {
  valid = 0;
  RsaKeyBase* key = HeldRsaKey(component);
  if (key == nullptr) return -1;
  if (Fips() && IsPlatformHashName(digest_name) == 0) {
    return component.SetErrorText(
        kNotAllowedInFips, "Could not verify signature with RSA: The signature hash algorithm is not supported in FIPS "
                           "mode.");
  }
  core::Buffer fitted;
  const int status = FittedToModulus(*key, signature, signature_length, fitted);
  if (status != 0) return status;
  return key->Verify(digest, digest_length, signature, signature_length, digest_name, valid, pss, salt_length,
                     check_prefix);
}

int PlatformRsaEncryptOaep(component::CryptoComponent& component, const uint8_t* data, int32_t length,
                           core::BufferCore& out, int32_t oaep, const uint8_t* label, int32_t label_length,
                           const char* oaep_digest, const char* mgf_digest) {
  RsaKeyBase* key = HeldRsaKey(component);
  if (key == nullptr) return -1;
  const int status = OaepNamesRefused(
      component, oaep_digest, mgf_digest,
      "Could not encrypt with RSA: The OAEP RSA hash algorithm is not supported in FIPS mode.",
      "Could not encrypt with RSA: The OAEP MGF1 hash algorithm is not supported in FIPS mode.");
  if (status != 0) return status;
  return key->Encrypt(data, length, out, oaep, label, label_length, oaep_digest, mgf_digest);
}

int PlatformRsaDecryptOaep(component::CryptoComponent& component, const uint8_t* data, int32_t length,
                           core::BufferCore& out, int32_t oaep, const uint8_t* label, int32_t label_length,
                           const char* oaep_digest, const char* mgf_digest) {
  RsaKeyBase* key = HeldRsaKey(component);
  if (key == nullptr) return -1;
  int status = OaepNamesRefused(
      component, oaep_digest, mgf_digest,
      "Could not decrypt with RSA: The OAEP RSA hash algorithm is not supported in FIPS mode.",
      "Could not decrypt with RSA: The OAEP MGF1 hash algorithm is not supported in FIPS mode.");
  if (status != 0) return status;
  core::SecureBuffer fitted;
  if ((status = FittedToModulus(*key, data, length, fitted)) != 0) return status;
  return key->Decrypt(data, length, out, oaep, label, label_length, oaep_digest, mgf_digest);
}

int RsaEncryptRaw(component::CryptoComponent& component, const uint8_t* data, int32_t length, core::BufferCore& out) {
  RsaKeyBase* key = HeldRsaKey(component);
  if (key == nullptr) return -1;
  int status = RawRefused(component, *key, "Could not encrypt with RSA: Primitive RSA is not supported in FIPS mode.",
                          "Could not encrypt with RSA: Primitive RSA is not supported in the platform implementation.");
  if (status != 0) return status;
  const RsaKeyParams& params = *key->GetKeyParams();
  BigInt m, e, n, c;
  if ((status = BigInt::FromBytes(data, length, 1, m)) != 0 || (status = ToInt(params.Exponent, e)) != 0 ||
      (status = ToInt(params.Modulus, n)) != 0 || (status = BigInt::ModPow(m, e, n, c)) != 0) {
    return status;
  }
  return c.ToBytes(out);
}

int RsaDecryptRaw(component::CryptoComponent& component, const uint8_t* data, int32_t length, core::BufferCore& out) {
  RsaKeyBase* key = HeldRsaKey(component);
  if (key == nullptr) return -1;
  int status = RawRefused(component, *key, "Could not decrypt with RSA: Primitive RSA is not supported in FIPS mode.",
                          "Could not decrypt with RSA: Primitive RSA is not supported in the platform implementation.");
  if (status != 0) return status;
  const RsaKeyParams& params = *key->GetKeyParams();
  const bool crt_parts = Set(params.P) && Set(params.Q) && Set(params.InverseQ);
  if ((!Set(params.D) || !Set(params.Modulus)) && !crt_parts) return kRawMissingParts;
  BigInt c, m;
  if ((status = BigInt::FromBytes(data, length, 1, c)) != 0) return status;
  if (crt_parts && Set(params.DP) && Set(params.DQ)) {
    status = RawCrt(c, params, m);
  } else {
    if (!Set(params.D) || !Set(params.Modulus)) return kRawMissingParts;
    BigInt d, n;
    if ((status = ToInt(params.D, d)) == 0 && (status = ToInt(params.Modulus, n)) == 0) {
      status = BigInt::ModPow(c, d, n, m);
    }
  }
  if (status != 0) return status;
  return m.ToBytes(out);
}

int VerifyRaw(component::CryptoComponent& component, const uint8_t* digest, int32_t digest_length,
              const uint8_t* signature, int32_t signature_length, int32_t& valid) {
  valid = 0;
  DsaKeyBase* key = HeldDsaKey(component);
  if (key == nullptr) return -1;
  core::Buffer raw;
  const int rc = DecodeDerSignatureToRaw(signature, signature_length, digest_length, raw);
  if (rc != 0) return rc;
  return key->Verify(digest, digest_length, raw.Bytes(), raw.Length(), &valid);
}

int VerifyHashRaw(component::CryptoComponent& component, const uint8_t* digest, int32_t digest_length,
                  const uint8_t* signature, int32_t signature_length, int32_t& valid) {
  valid = 0;
  EccKeyBase* key = HeldEccKey(component);
  if (key == nullptr) return -1;
  const int32_t width = EcKeyTypeByteLength(key->GetKeyParams()->KeyType);
  if (width < 0) return kEngineNotAvailable;
  core::Buffer raw;
  const int rc = DecodeDerSignatureToRaw(signature, signature_length, width, raw);
  if (rc != 0) return rc;
  return key->Verify(digest, digest_length, raw.Bytes(), raw.Length(), valid);
}

int SignHash(component::CryptoComponent& component, const uint8_t* digest, int32_t digest_length,
             core::BufferCore& out, int32_t der) {
  int rc = out.Clear();
  if (DsaKeyBase* dsa = HeldDsaKey(component)) {
    rc = dsa->Sign(digest, digest_length, out);
  } else if (EccKeyBase* ecc = HeldEccKey(component)) {
    rc = ecc->Sign(digest, digest_length, out);
  } else {
    return -1;
  }
  if (rc != 0 || der != 1) return rc;
  core::Buffer raw;
  rc = raw.Assign(out);
  return rc != 0 ? rc : EncodeRawSignatureAsDer(raw.Bytes(), raw.Length(), out);
}

int EcdhDeriveKeyDefaultHash(component::CryptoComponent& component, const EcKeyParams& peer, const char* hash_name,
                             const ConcatKdfInfo& info, core::BufferCore& out) {
  EccKeyBase* key = HeldEccKey(component);
  if (key == nullptr) return -1;
  if (hash_name == nullptr || hash_name[0] == '\0') hash_name = "SHA256";
  return key->AgreeWithKdf(peer, hash_name, info.algorithm_id, info.algorithm_id_length, info.party_u_info,
                           info.party_u_length, info.party_v_info, info.party_v_length, info.supp_pub_info,
                           info.supp_pub_length, info.supp_priv_info, info.supp_priv_length, out);
}

int32_t DsaKeySizeBits(const component::CryptoComponent& component) {
  const DsaKeyBase* key = HeldDsaKey(component);
  if (key == nullptr || key->GetKeyParams() == nullptr) return -1;
  return (key->GetKeyParams()->P.Length() + 4) / 8 * 64;
}

}  // namespace velmora::crypto
