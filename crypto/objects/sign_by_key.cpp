#include "crypto/objects/sign_by_key.h"

#include <cstring>

#include "crypto/digest/digest_registry.h"
#include "crypto/digest/hash_ctx.h"
#include "crypto/keys/curve_params.h"
#include "crypto/objects/key_providers.h"
#include "crypto/objects/hash_objects.h"
#include "crypto/registry/oid_tables.h"
#include "crypto/rsa/rsa_engine.h"

namespace velmora::crypto {

const char* DsaDigestName(const char* oid) { return DigestById(pki::DsaSignatureHashId(oid))->Name(); }

namespace {

int HashOf(const core::BufferCore& data, const char* digest_name, core::BufferCore& digest) {
  return HashDataByName(data.Bytes(), data.Length(), digest_name, digest);
}

// DigestOfOid returns the registry row of a digest OID (a signature OID does not count), or null.
const DigestAlgorithm* DigestOfOid(const core::BufferCore& oid) {
  if (oid.IsEmpty()) return nullptr;
  const DigestAlgorithm* row = DigestById(pki::SignatureOidToHashId(oid.Data()));
  return row != nullptr && row->oid != nullptr && std::strcmp(row->oid, oid.Data()) == 0 ? row : nullptr;
}

// PssDigest returns the digest of RSASSA-PSS parameters and sets salt_length, or null for parameters
// that cannot be honoured. Absent parameters are SHA-1, MGF1 with SHA-1 and a 20-byte salt (RFC 4055
// section 3.1); only trailer field 1 is defined (RFC 8017 section 9.1.1). The providers run MGF1 over
// the message digest, so a different mask hash is refused rather than checked with the wrong one.
const DigestAlgorithm* PssDigest(const asn1::AlgorithmIdentifier& algorithm, int32_t& salt_length) {
  const asn1::RsaPssParams defaults;
  const asn1::RsaPssParams& params = algorithm.pss != nullptr ? *algorithm.pss : defaults;
  const DigestAlgorithm* hash = DigestOfOid(params.hashAlgorithm.oid);
  const DigestAlgorithm* mask_hash =
      params.maskGenHash.oid.IsEmpty() ? DigestById(kHashSha1) : DigestOfOid(params.maskGenHash.oid);
  if (hash == nullptr || mask_hash != hash || params.maskGenAlgorithm.EqualsNoCase(asn1::kMgf1Oid) == 0 ||
      params.trailerField != 1 || params.saltLength < 0) {
    return nullptr;
  }
  salt_length = params.saltLength;
  return hash;
}

// VerifyRsa checks an RSA signature: RSASSA-PSS with the identifier's parameters, else PKCS #1 v1.5
// with the digest the signature OID names.
int VerifyRsa(const KeyRecord& key, const core::BufferCore& signature, const core::BufferCore& data,
              const asn1::AlgorithmIdentifier& algorithm, int32_t& valid) {
  const bool pss = algorithm.oid.EqualsNoCase(asn1::kRsaPssOid) != 0;
  int32_t salt_length = 0;
  const char* digest_name = pki::HashNameFromOid(algorithm.oid.Data() != nullptr ? algorithm.oid.Data() : "");
  if (pss) {
    const DigestAlgorithm* hash = PssDigest(algorithm, salt_length);
    if (hash == nullptr) return 0;
    digest_name = hash->Name();
  }
  core::Buffer digest;
  component::CryptoComponent component;
  int rc = HashOf(data, digest_name, digest);
  if (rc == 0) rc = SelectRsaProvider(component, key.RsaParams, kProviderDefault);
  if (rc == 0) {
    rc = PlatformRsaVerify(component, digest.Bytes(), digest.Length(), signature.Bytes(), signature.Length(),
                           digest_name, valid, pss ? 1 : 0, salt_length, 1);
  }
  // The library's engine reports a failed PSS check as its own code; it is a signature that does not
  // verify, as the platform's reports it.
  return pss && rc == kRsaPssInvalid ? 0 : rc;
}

int VerifyByType(const KeyRecord& key, const core::BufferCore& signature, const core::BufferCore& data,
                 const asn1::AlgorithmIdentifier& algorithm, int32_t& valid) {
  if (key.Type == kKeyRsa) return VerifyRsa(key, signature, data, algorithm, valid);
  // RSASSA-PSS names an RSA signature; no other key can have made it.
  if (algorithm.oid.EqualsNoCase(asn1::kRsaPssOid) != 0) return 0;
  const char* oid = algorithm.oid.Data() != nullptr ? algorithm.oid.Data() : "";
  const char* digest_name = key.Type == kKeyDsa ? DsaDigestName(oid) : pki::HashNameFromOid(oid);
  core::Buffer digest;
  int rc = HashOf(data, digest_name, digest);
  if (rc != 0) return rc;
  component::CryptoComponent component;
  switch (key.Type) {
    case kKeyDsa:
      rc = SelectDsaProvider(component, key.DsaParams, kProviderDefault);
      if (rc == 0) rc = VerifyRaw(component, digest.Bytes(), digest.Length(), signature.Bytes(), signature.Length(), valid);
      return rc;
    default:
      rc = SelectEccProvider(component, key.EcParams, kProviderDefault);
      if (rc == 0) {
        rc = VerifyHashRaw(component, digest.Bytes(), digest.Length(), signature.Bytes(), signature.Length(), valid);
      }
      return rc;
  }
}

}  // namespace

int SignWithKeyRecord(const uint8_t* data, int32_t length, const char* digest_name, const KeyRecord& key,
                      core::BufferCore& out) {
  component::CryptoComponent component;
  if (key.Type == kKeyEdwards) {
    int rc = SelectEccProvider(component, key.EdParams, kProviderDefault);
    if (rc == 0) rc = HeldEccKey(component)->EdDSASign(data, length, out, 0, nullptr, 0);
    return rc;
  }
  core::Buffer digest;
  int rc = HashDataByName(data, length, digest_name, digest);
  if (rc != 0) return rc;
  switch (key.Type) {
    case kKeyRsa:
      rc = SelectRsaProvider(component, key.RsaParams, kProviderDefault);
      if (rc == 0) rc = PlatformRsaSign(component, digest.Bytes(), digest.Length(), digest_name, out, 0, 0);
      return rc;
    case kKeyDsa:
      rc = SelectDsaProvider(component, key.DsaParams, kProviderDefault);
      if (rc == 0) rc = DsaSignWithFipsCheck(component, digest.Bytes(), digest.Length(), out, 0);
      return rc;
    case kKeyEc:
      rc = SelectEccProvider(component, key.EcParams, kProviderDefault);
      if (rc == 0) rc = HeldEccKey(component)->Sign(digest.Bytes(), digest.Length(), out);
      return rc;
    default:
      return 0;
  }
}

int VerifyWithKeyRecord(const KeyRecord& key, const core::BufferCore& signature, const core::BufferCore& data,
                        const asn1::AlgorithmIdentifier& algorithm) {
  if (key.Type != kKeyRsa && key.Type != kKeyDsa && key.Type != kKeyEc && key.Type != kKeyEdwards) return -1;
  int32_t valid = 0;
  const int rc = VerifyByType(key, signature, data, algorithm, valid);
  if (rc != 0) return rc;
  return valid > 0 ? 0 : -1;
}

int EccSignMessage(EccEngine& engine, const uint8_t* message, int32_t length, int32_t digest_id,
                   core::BufferCore& out) {
  if (engine.Params.KeyType == 3 || engine.Params.KeyType == 4) return kEngineNotAvailable;
  core::Buffer digest;
  int rc = HashBytes(digest_id, message, static_cast<uint32_t>(length), digest);
  if (rc == 0) rc = engine.Sign(digest.Bytes(), digest.Length(), out);
  return rc;
}

int EccVerifyMessage(EccEngine& engine, const uint8_t* message, int32_t length, const uint8_t* signature,
                     int32_t signature_length, int32_t digest_id, int32_t& valid) {
  valid = 0;
  if (engine.Params.KeyType == 3 || engine.Params.KeyType == 4) return kEngineNotAvailable;
  core::Buffer digest;
  int rc = HashBytes(digest_id, message, static_cast<uint32_t>(length), digest);
  if (rc == 0) rc = engine.Verify(digest.Bytes(), digest.Length(), signature, signature_length, valid);
  return rc;
}

}  // namespace velmora::crypto
