#include "crypto/objects/sign_by_key.h"

#include <cstring>

#include "crypto/keys/curve_params.h"
#include "crypto/objects/key_providers.h"
#include "crypto/digest/hash_ctx.h"
#include "crypto/objects/hash_objects.h"
#include "crypto/registry/oid_tables.h"

namespace velmora::crypto {

const char* DsaDigestName(const char* oid) { return DigestById(pki::DsaSignatureHashId(oid))->Name(); }

namespace {

int HashOf(const core::BufferCore& data, const char* digest_name, core::BufferCore& digest) {
  return HashDataByName(data.Bytes(), data.Length(), digest_name, digest);
}

int VerifyByType(const KeyRecord& key, const core::BufferCore& signature, const core::BufferCore& data,
                 const asn1::AlgorithmIdentifier& algorithm, int32_t& valid) {
  const char* oid = algorithm.oid.Data() != nullptr ? algorithm.oid.Data() : "";
  const char* digest_name = key.Type == kKeyDsa ? DsaDigestName(oid) : pki::HashNameFromOid(oid);
  core::Buffer digest;
  int rc = HashOf(data, digest_name, digest);
  if (rc != 0) return rc;
  component::CryptoComponent component;
  switch (key.Type) {
    case kKeyRsa: {
      rc = SelectRsaProvider(component, key.RsaParams, kProviderDefault);
      // Only the salt length of RSA-PSS parameters is used: MGF1 runs with the signature's digest.
      const int32_t pss = algorithm.pss != nullptr ? 1 : 0;
      const int32_t salt_length = algorithm.pss != nullptr ? algorithm.pss->saltLength : 0;
      if (rc == 0) {
        rc = PlatformRsaVerify(component, digest.Bytes(), digest.Length(), signature.Bytes(), signature.Length(),
                               digest_name, valid, pss, salt_length, 1);
      }
      return rc;
    }
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
