#include "crypto/objects/password_kdf.h"

#include <cstring>

#include "component/component_base.h"
#include "crypto/objects/hash_objects.h"
#include "crypto/providers/cng_hash.h"

namespace velmora::crypto {

namespace {

constexpr int32_t kFipsMinSaltLength = 16;
constexpr int32_t kEngineMd5 = 24;
constexpr int32_t kEngineMd2 = 33;

bool FipsMode() { return component::UseFIPSCompliantAPI() != 0; }

// PlatformPbkdf2 is the platform form of PBKDF2, used in FIPS mode.
int PlatformPbkdf2(int32_t hmac_id, const uint8_t* password, int32_t password_length, const uint8_t* salt,
                   int32_t salt_length, int32_t iterations, int32_t key_length, uint8_t* out) {
  if (salt_length < kFipsMinSaltLength) return kNotAllowedInFips;
  // Only HMAC-SHA1/256/384/512 have a platform form here (HMAC-MD5 has one too, but FIPS mode refuses it).
  if (PlatformHmacIndex(hmac_id) < 0) return kNoInternalDigest;
  return CngPbkdf2(hmac_id, password, password_length, salt, salt_length, iterations, key_length, out);
}

int Pkcs12Derive(Pkcs12Kdf& kdf, int32_t iterations, uint8_t diversifier, int32_t n, core::BufferCore& out) {
  if (FipsMode()) return kNotAllowedInFips;
  component::CryptoComponent component;
  const int rc = SelectHashByName(component, kdf.digest_name.Data(), kProviderDefault);
  if (rc != 0) return rc;
  return Pkcs12DeriveWithHash(kdf, *HeldHash(component), component.AlgorithmId(), iterations, diversifier, n, out);
}

int PemHmacDerive(const char* digest_name, const char* password, const uint8_t* salt, int32_t salt_length,
                  int32_t iterations, int32_t total_length, core::BufferCore& out) {
  // The same names as the HMAC objects take: a digest name found after the first character.
  const int32_t hmac_id = HmacNameToAlgId(digest_name);
  if (hmac_id < 0) return kPemDigestNotSupported;
  const int32_t length = total_length > 0 ? total_length : 0;
  int rc = out.Resize(length);
  if (rc == 0) {
    rc = Pbkdf2ByHmacId(hmac_id, reinterpret_cast<const uint8_t*>(password),
                        static_cast<int32_t>(std::strlen(password)), salt, salt_length, iterations, length,
                        reinterpret_cast<uint8_t*>(out.Data()));
  }
  if (rc != 0) out.Clear();
  return rc;
}

int32_t PemDigestEngineId(const char* digest_name) {
  core::Buffer name;
  if (name.SetString(digest_name) != 0) return -1;
  if (name.EqualsNoCase("MD5") != 0) return kEngineMd5;
  if (name.EqualsNoCase("SHA1") != 0) return kEngineSha1;
  if (name.EqualsNoCase("MD2") != 0) return kEngineMd2;
  return -1;
}

}  // namespace

// ---- PBKDF2 -------------------------------------------------------------------------------------------

int Pbkdf2ByHmacId(int32_t hmac_id, const uint8_t* password, int32_t password_length, const uint8_t* salt,
                   int32_t salt_length, int32_t iterations, int32_t key_length, uint8_t* out) {
  if (FipsMode()) {
    return PlatformPbkdf2(hmac_id, password, password_length, salt, salt_length, iterations, key_length, out);
  }
  const int32_t digest_id = HmacIdToHashId(hmac_id);
  if (digest_id < 0) return kNoInternalDigest;
  InternalHmac hmac;
  return Pbkdf2Internal(hmac, digest_id, password, password_length, salt, salt_length, iterations, key_length * 8,
                        out);
}

// ---- PKCS #12 -----------------------------------------------------------------------------------------

int Pkcs12DeriveKey(Pkcs12Kdf& kdf, int32_t iterations, uint8_t diversifier, int32_t n, core::BufferCore& out) {
  kdf.last_error = Pkcs12Derive(kdf, iterations, diversifier, n, out);
  return kdf.last_error;
}

// ---- PEM key and IV -----------------------------------------------------------------------------------

int PemBytesToKey(int32_t iterations, const char* digest_name, const char* password, const uint8_t* salt,
                  int32_t salt_length, int32_t total_length, int32_t order_flag, core::BufferCore& out) {
  if (password == nullptr) password = "";
  core::Buffer lower_name;
  int rc = lower_name.SetString(digest_name != nullptr ? digest_name : "");
  if (rc != 0) return rc;
  lower_name.ToLowerAscii();
  if (lower_name.Contains("hmac") != 0) {
    return PemHmacDerive(digest_name, password, salt, salt_length, iterations, total_length, out);
  }
  if (FipsMode()) return kNotAllowedInFips;
  out.Clear();
  // Nothing asked for: no digest is chosen, so even an unsupported name gives 0.
  if (total_length <= 0) return 0;
  const int32_t engine_id = PemDigestEngineId(lower_name.Data());
  if (engine_id < 0) return kPemDigestNotSupported;
  component::CryptoComponent component;
  rc = SelectHashProvider(component, engine_id, kProviderDefault);
  if (rc != 0) return rc;
  return PemBytesToKeyWithHash(*HeldHash(component), iterations, password, salt, salt_length, total_length,
                               order_flag, out);
}

int DeriveKeyIv(component::CryptoJob& job, int32_t iterations, const uint8_t** key, int32_t key_length,
                const uint8_t** iv, int32_t iv_length, int32_t order_flag) {
  core::SecureBuffer derived;
  key_length = key_length > 0 ? key_length : 0;
  iv_length = iv_length > 0 ? iv_length : 0;
  const int32_t total = key_length + iv_length;
  int rc = PemBytesToKey(iterations, job.DigestName().Data(), job.Password().Data(), job.Salt().Bytes(),
                         job.Salt().Length(), total, order_flag, derived);
  if (rc == 0 && derived.Length() < total) rc = core::kOutOfRange;
  if (rc == 0) rc = job.Key().SetData(key_length, derived.Data());
  if (rc == 0 && iv_length >= 1) rc = job.Iv().SetData(iv_length, derived.Data() + key_length);
  if (rc != 0) {
    job.SetLastErrorCode(rc);
    return rc;
  }
  *key = job.Key().Bytes();
  if (iv_length >= 1) *iv = job.Iv().Bytes();
  return 0;
}

// ---- bcrypt-pbkdf -------------------------------------------------------------------------------------

int BcryptPbkdf(const core::BufferCore& password, const char* kdf_name, const uint8_t* salt, int32_t salt_length,
                int32_t rounds, core::BufferCore& key, core::BufferCore& iv) {
  core::Buffer name;
  if (name.SetString(kdf_name != nullptr ? kdf_name : "") != 0 || name.EqualsNoCase("bcrypt") == 0) return 0;
  if (FipsMode()) return kNotAllowedInFips;
  component::CryptoComponent component;
  const int rc = SelectHashByName(component, "sha512", kProviderDefault);
  if (rc != 0) return rc;
  return BcryptPbkdfWithHash(*HeldHash(component), password, salt, salt_length, rounds, key, iv);
}

int BcryptPbkdfBytes(const core::BufferCore& password, const uint8_t* salt, int32_t salt_length, int32_t rounds,
                     int32_t length, core::BufferCore& out) {
  if (FipsMode()) return kNotAllowedInFips;
  component::CryptoComponent component;
  const int rc = SelectHashByName(component, "sha512", kProviderDefault);
  if (rc != 0) return rc;
  return BcryptPbkdfBytesWithHash(*HeldHash(component), password, salt, salt_length, rounds, length, out);
}

}  // namespace velmora::crypto
