#include "crypto/objects/key_providers.h"

#include <cstdio>

#include "component/component_base.h"
#include "crypto/bn/big_int.h"
#include "crypto/bn/integer_bytes.h"
#include "crypto/keys/curve_params.h"
#include "crypto/keys/der_signature.h"
#include "crypto/objects/hash_objects.h"
#include "crypto/providers/cng_rsa_key.h"
#include "crypto/registry/platform_names.h"

namespace velmora::crypto {

namespace {

// NOTE: the platform's key objects are not part of this library; a request resolved to the platform
// ends here.
constexpr int kNoPlatformKey = -1;

// SelectKey runs the selection steps shared by the three families: resolve the mode, release an object
// made for another id or mode, create the internal object when none is held, and load params into it.
template <typename Base, typename Internal, typename Params>
int SelectKey(component::CryptoComponent& component, int32_t engine_id, const Params& params, uint32_t mode) {
  const uint32_t resolved = ResolveProviderMode(mode, false);
  KeepOrRelease(component, engine_id, mode);
  if (resolved == kProviderPlatform) return kNoPlatformKey;
  auto* key = dynamic_cast<Base*>(component.Object());
  if (key == nullptr) {
    key = new Internal;
    if (key == nullptr) return core::kOutOfMemory;
    component.Hold(engine_id, key, resolved);
  }
  return key->SetKeyParams(params);
}

}  // namespace

int SelectRsaProvider(component::CryptoComponent& component, const RsaKeyParams& params, uint32_t mode) {
  return SelectKey<RsaKeyBase, InternalRsaKey>(component, kEngineRsa, params, mode);
}

int SelectDsaProvider(component::CryptoComponent& component, const DsaKeyParams& params, uint32_t mode) {
  return SelectKey<DsaKeyBase, InternalDsaKey>(component, kEngineDsa, params, mode);
}

int SelectEccProvider(component::CryptoComponent& component, const EcKeyParams& params, uint32_t mode) {
  return SelectKey<EccKeyBase, InternalEccKey>(component, kEngineEcKey, params, mode);
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
// is fitted to it (leading zero bytes added or removed) in fitted, and bytes/length point there.
int FittedToModulus(const RsaKeyBase& key, const uint8_t*& bytes, int32_t& length, core::BufferCore& fitted) {
  const int32_t width = key.GetKeyParams()->ModulusByteLength();
  if (!Fips() || length == width || bytes == nullptr || length < 1) return 0;
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

}  // namespace velmora::crypto
