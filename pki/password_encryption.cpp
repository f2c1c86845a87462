#include "pki/password_encryption.h"

#include <cstring>

#include "asn1/asn1_element.h"
#include "asn1/der_codes.h"
#include "asn1/der_writer.h"
#include "component/component_base.h"
#include "crypto/cipher/cipher_params.h"
#include "crypto/digest/digest_registry.h"
#include "crypto/objects/cipher_selection.h"
#include "crypto/objects/hash_objects.h"
#include "crypto/objects/password_kdf.h"
#include "crypto/rand/random.h"
#include "pki/pem_armour.h"
#include "pki/pem_legacy.h"
#include "pki/pkcs_der.h"

namespace velmora::pki {

using internal::DerSpan;

namespace {

constexpr const char* kOidHmacSha1 = "1.2.840.113549.2.7";
constexpr const char* kOidHmacSha256 = "1.2.840.113549.2.9";
constexpr const char* kOidDes3Cbc = "1.2.840.113549.3.7";
constexpr const char* kOidAes256Cbc = "2.16.840.1.101.3.4.1.42";

// Pkcs12Pbe is one PKCS #12 PBE algorithm (digest SHA-1, IV from diversifier 2).
struct Pkcs12Pbe {
  const char* oid;
  int32_t key_bytes;
  int32_t engine_id;
  bool stream;
};

constexpr Pkcs12Pbe kPkcs12Pbes[] = {
    {"1.2.840.113549.1.12.1.1", 16, crypto::kCipherRc4, true},
    {"1.2.840.113549.1.12.1.2", 5, crypto::kCipherRc4, true},
    {"1.2.840.113549.1.12.1.3", 24, crypto::kEngineCipher3Des, false},
    {"1.2.840.113549.1.12.1.4", 16, crypto::kEngineCipher3Des, false},
    {"1.2.840.113549.1.12.1.5", 16, crypto::kCipherRc2, false},
    {"1.2.840.113549.1.12.1.6", 5, crypto::kCipherRc2, false},
};

const Pkcs12Pbe* FindPkcs12Pbe(const char* oid) {
  for (const Pkcs12Pbe& row : kPkcs12Pbes) {
    if (std::strcmp(row.oid, oid) == 0) return &row;
  }
  return nullptr;
}

// Pbes1 is a PBES1 scheme of encrypted PKCS #8 keys.
struct Pbes1 {
  const char* oid;
  const char* cipher;
  const char* digest;
};

constexpr Pbes1 kPbes1[] = {
    {"1.2.840.113549.1.5.1", "DES-CBC", "MD2"},  {"1.2.840.113549.1.5.4", "RC2-CBC", "MD2"},
    {"1.2.840.113549.1.5.3", "DES-CBC", "MD5"},  {"1.2.840.113549.1.5.6", "RC2-CBC", "MD5"},
    {"1.2.840.113549.1.5.10", "DES-CBC", "SHA1"}, {"1.2.840.113549.1.5.11", "RC2-CBC", "SHA1"},
};

// Pbes2Cipher is an encryption scheme PBES2 accepts here.
struct Pbes2Cipher {
  const char* oid;
  const char* name;
};

constexpr Pbes2Cipher kPbes2Ciphers[] = {
    {kOidAes256Cbc, "AES-256-CBC"},
    {"2.16.840.1.101.3.4.1.2", "AES-128-CBC"},
    {kOidDes3Cbc, "DES-EDE3-CBC"},
};

const char* Pbes2CipherName(const core::BufferCore& oid) {
  for (const Pbes2Cipher& row : kPbes2Ciphers) {
    if (std::strcmp(row.oid, oid.Data()) == 0) return row.name;
  }
  return nullptr;
}

// MacDigest is a digest the PKCS #12 MAC may name.
struct MacDigest {
  const char* name;
  int32_t hmac_id;
  int32_t length;
};

constexpr MacDigest kMacDigests[] = {
    {"SHA1", crypto::kEngineHmacSha1, 20},     {"SHA224", crypto::kEngineHmacSha224, 28},
    {"SHA256", crypto::kEngineHmacSha256, 32}, {"SHA384", crypto::kEngineHmacSha384, 48},
    {"SHA512", crypto::kEngineHmacSha512, 64},
};

int SetError(core::BufferCore* sink, const char* text) {
  if (sink != nullptr) (void)sink->SetString(text);
  return kDerBadInner;
}

int Pkcs12Derive(const char* digest, const core::BufferCore& password, const core::BufferCore& salt,
                 int32_t iterations, uint8_t diversifier, int32_t n, core::BufferCore& out) {
  crypto::Pkcs12Kdf kdf;
  int rc = kdf.digest_name.SetString(digest);
  if (rc == 0) rc = kdf.password.Assign(password);
  if (rc == 0) rc = kdf.salt.Assign(salt);
  return rc == 0 ? crypto::Pkcs12DeriveKey(kdf, iterations, diversifier, n, out) : rc;
}

// RunCipher runs the cipher over data, appending to out; decryption keeps the padding.
int RunCipher(int32_t engine_id, int32_t mode, const core::BufferCore& key, const uint8_t* iv, int32_t iv_length,
              bool decrypt, const uint8_t* data, int32_t length, core::BufferCore& out) {
  component::CryptoJob job;
  const crypto::CipherInit init{key.Bytes(), key.Length(), iv,  iv_length, decrypt ? 1 : 0, mode,
                                decrypt ? 0 : crypto::kPaddingPkcs7, ""};
  int rc = crypto::SelectCipherProvider(job.Crypto(), engine_id, init, crypto::kProviderDefault);
  if (rc != 0) return rc;
  int32_t consumed = length;
  crypto::CipherObject* cipher = crypto::HeldCipher(job.Crypto());
  return decrypt ? cipher->Decrypt(data, 0, &consumed, out, 1) : cipher->Encrypt(data, 0, &consumed, out, 1);
}

// StripPadding removes the PKCS #7 padding of a decrypted text of block-byte blocks.
int StripPadding(core::BufferCore& text, int32_t block) {
  const int32_t length = text.Length();
  if (length == 0 || length % block != 0) return crypto::kNotWholeBlocks;
  const uint8_t pad = text.Bytes()[length - 1];
  if (pad == 0 || pad > block) return crypto::kBadPadding;
  for (int32_t i = length - pad; i < length; ++i) {
    if (text.Bytes()[i] != pad) return crypto::kBadPadding;
  }
  return text.Resize(length - pad);
}

// Pbes2Params is the content of PBES2-params with PBKDF2.
struct Pbes2Params {
  core::Buffer salt;
  int64_t iterations = 0;
  core::Buffer prf;  // empty: the default hmacWithSHA1
  core::Buffer cipher_oid;
  core::Buffer iv;
};

// ParsePbes2 reads the PBES2-params element: 0, 446 when malformed, 271 for a count above the limit.
int ParsePbes2(const DerSpan& element, Pbes2Params& out) {
  DerSpan top[2], kdf[2], enc[2], params[4];
  int32_t count = 0;
  if (element.tag != 0x30 || !internal::Children(element, top, 2, &count) || count != 2) return kDerBadInner;
  if (!internal::Children(top[0], kdf, 2, &count) || count != 2 || top[0].tag != 0x30) return kDerBadInner;
  if (!internal::Children(top[1], enc, 2, &count) || count != 2 || top[1].tag != 0x30) return kDerBadInner;
  core::Buffer kdf_oid;
  if (internal::OidText(kdf[0], kdf_oid) != 0 || std::strcmp(kdf_oid.Data(), kOidPbkdf2) != 0) return kPbeUnsupported;
  int32_t n = 0;
  if (kdf[1].tag != 0x30 || !internal::Children(kdf[1], params, 4, &n) || n < 2) return kDerBadInner;
  if (params[0].tag != 0x04 || !internal::SmallInteger(params[1], &out.iterations) || out.iterations < 1) {
    return kDerBadInner;
  }
  if (out.iterations > kMaxPbeIterations) return kPbeUnsupported;
  int32_t next = 2;
  if (next < n && params[next].tag == 0x02) ++next;  // the optional key length
  if (next < n) {
    DerSpan prf[2];
    int32_t prf_count = 0;
    if (params[next].tag != 0x30 || !internal::Children(params[next], prf, 2, &prf_count) || prf_count < 1 ||
        internal::OidText(prf[0], out.prf) != 0) {
      return kDerBadInner;
    }
    ++next;
  }
  if (next != n) return kDerBadInner;
  int rc = out.salt.SetData(params[0].Length(), params[0].Content());
  if (rc == 0) rc = internal::OidText(enc[0], out.cipher_oid);
  if (rc == 0 && enc[1].tag != 0x04) rc = kPbeUnsupported;
  if (rc == 0) rc = out.iv.SetData(enc[1].Length(), enc[1].Content());
  return rc;
}

int MapPadding(int rc) { return rc == crypto::kNotWholeBlocks || rc == crypto::kBadPadding ? kPbeBadPadding : rc; }

}  // namespace

int Pkcs12ComputeMac(const uint8_t* data, int32_t length, const core::BufferCore& salt,
                     const core::BufferCore& password, core::BufferCore& out, const char* digest_name,
                     int32_t iterations) {
  const MacDigest* digest = nullptr;
  for (const MacDigest& row : kMacDigests) {
    if (std::strcmp(row.name, digest_name) == 0) digest = &row;
  }
  if (digest == nullptr || iterations < 1 || iterations > kMaxPbeIterations) return kPbeUnsupported;
  core::SecureBuffer key;
  int rc = Pkcs12Derive(digest->name, password, salt, iterations, crypto::kPkcs12MacKey, digest->length, key);
  if (rc == 0) rc = crypto::ComputeHmac(digest->hmac_id, key.Bytes(), key.Length(), data, length, out);
  return rc;
}

int Pkcs12PbeEncrypt(const uint8_t* data, int32_t length, const core::BufferCore& password, const char* oid,
                     const core::BufferCore& salt, int32_t iterations, core::BufferCore& out) {
  const Pkcs12Pbe* pbe = FindPkcs12Pbe(oid != nullptr ? oid : "");
  if (pbe == nullptr || iterations < 1 || iterations > kMaxPbeIterations) return kPbeUnsupported;
  core::SecureBuffer key;
  core::Buffer iv, cipher_text;
  int rc = Pkcs12Derive("SHA1", password, salt, iterations, crypto::kPkcs12KeyMaterial, pbe->key_bytes, key);
  if (rc == 0 && !pbe->stream) rc = Pkcs12Derive("SHA1", password, salt, iterations, crypto::kPkcs12Iv, 8, iv);
  if (rc == 0) {
    rc = RunCipher(pbe->engine_id, crypto::kModeCbc, key, pbe->stream ? nullptr : iv.Bytes(), iv.Length(), false, data,
                   length, cipher_text);
  }
  return rc == 0 ? out.Assign(cipher_text) : rc;
}

int PbeDecrypt(const core::BufferCore& data, const core::BufferCore& oid, const core::BufferCore& params,
               int32_t iterations, const core::BufferCore& password, core::BufferCore& out) {
  core::SecureBuffer plain;
  if (std::strcmp(oid.Data(), kOidPbes2) == 0) {
    DerSpan element;
    if (!internal::ReadTop(params.Bytes(), params.Length(), &element)) return kDerBadInner;
    Pbes2Params pbes2;
    int rc = ParsePbes2(element, pbes2);
    if (rc != 0) return rc;
    const char* cipher = Pbes2CipherName(pbes2.cipher_oid);
    if (std::strcmp(pbes2.prf.Data(), kOidHmacSha256) != 0 || cipher == nullptr) return kPbeUnsupported;
    rc = DecryptWithPassword(data.Bytes(), data.Length(), password.Data(), cipher, pbes2.salt.Bytes(),
                             pbes2.salt.Length(), "hmacsha256", static_cast<int32_t>(pbes2.iterations),
                             pbes2.iv.Bytes(), pbes2.iv.Length(), plain);
    if (rc == 0) rc = StripPadding(plain, pbes2.iv.Length() > 0 ? pbes2.iv.Length() : 8);
    return rc == 0 ? out.Assign(plain) : rc;
  }
  if (component::UseFIPSCompliantAPI() != 0) return 9999;
  const Pkcs12Pbe* pbe = FindPkcs12Pbe(oid.Data());
  if (pbe == nullptr || iterations < 1 || iterations > kMaxPbeIterations) return kPbeUnsupported;
  if (!pbe->stream && (data.Length() == 0 || data.Length() % 8 != 0)) return crypto::kNotWholeBlocks;
  core::SecureBuffer key;
  core::Buffer iv;
  int rc = Pkcs12Derive("SHA1", password, params, iterations, crypto::kPkcs12KeyMaterial, pbe->key_bytes, key);
  if (rc == 0 && !pbe->stream) rc = Pkcs12Derive("SHA1", password, params, iterations, crypto::kPkcs12Iv, 8, iv);
  if (rc == 0) {
    rc = RunCipher(pbe->engine_id, crypto::kModeCbc, key, pbe->stream ? nullptr : iv.Bytes(), iv.Length(), true,
                   data.Bytes(), data.Length(), plain);
  }
  if (rc == 0 && !pbe->stream) rc = StripPadding(plain, 8);
  return rc == 0 ? out.Assign(plain) : rc;
}

int PbeDecryptWithRetry(core::BufferCore* error_sink, const core::BufferCore& data, const core::BufferCore& oid,
                        const core::BufferCore& params, int32_t iterations, const core::BufferCore& password,
                        core::BufferCore& out) {
  (void)error_sink;
  const int rc = MapPadding(PbeDecrypt(data, oid, params, iterations, password, out));
  if (password.Length() != 0 || (rc == 0 && DerIsSingleElement(out.Bytes(), out.Length()))) return rc;
  core::Buffer zero;
  const int zero_rc = zero.AppendByte(0);
  if (zero_rc != 0) return zero_rc;
  return MapPadding(PbeDecrypt(data, oid, params, iterations, zero, out));
}

int DecodePbeAlgorithm(core::BufferCore* error_sink, const uint8_t* bytes, int32_t length, core::BufferCore& oid,
                       core::BufferCore& params, int32_t* iterations) {
  DerSpan top, items[2];
  int32_t count = 0;
  if (!internal::ReadTop(bytes, length, &top) || top.tag != 0x30 || !internal::Children(top, items, 2, &count) ||
      count < 1) {
    return SetError(error_sink, "Failed to decode algorithm.");
  }
  if (const int rc = internal::OidText(items[0], oid); rc != 0) {
    return rc == core::kOutOfMemory ? rc : SetError(error_sink, "Failed to decode algorithm.algOID");
  }
  if (std::strcmp(oid.Data(), kOidPbes2) == 0) {
    if (count != 2) return SetError(error_sink, "Failed to decode algorithm.parameters");
    return params.SetData(items[1].EncodingLength(), items[1].Encoding());
  }
  DerSpan fields[2];
  if (count != 2 || items[1].tag != 0x30 || !internal::Children(items[1], fields, 2, &count)) {
    return SetError(error_sink, "Failed to decode algorithm.parameters");
  }
  if (count < 1 || fields[0].tag != 0x04) return SetError(error_sink, "Failed to decode algorithm.salt.");
  int64_t value = 0;
  if (count < 2 || !internal::SmallInteger(fields[1], &value) || value < 1) {
    return SetError(error_sink, "Failed to decode algorithm.iteration.");
  }
  if (value > kMaxPbeIterations) return kPbeUnsupported;
  *iterations = static_cast<int32_t>(value);
  return params.SetData(fields[0].Length(), fields[0].Content());
}

int DecodeEncryptedData(core::BufferCore* error_sink, const uint8_t* bytes, int32_t length,
                        const core::BufferCore& password, core::BufferCore& out) {
  DerSpan top, items[2], info[3];
  int32_t count = 0;
  if (!internal::ReadTop(bytes, length, &top) || top.tag != 0x30 || !internal::Children(top, items, 2, &count) ||
      count != 2) {
    return SetError(error_sink, "Failed to parse EncryptedData.");
  }
  int64_t version = 0;
  if (!internal::SmallInteger(items[0], &version)) return SetError(error_sink, "Failed to parse CMSVersion.");
  if (items[1].tag != 0x30 || !internal::Children(items[1], info, 3, &count)) {
    return SetError(error_sink, "Failed to decode EncryptedContentInfo.");
  }
  if (count != 3 || info[0].tag != 0x06 || (info[2].tag & 0xDF) != 0x80) {
    return SetError(error_sink, "Invalid EncryptedContentInfo.");
  }
  core::Buffer oid, params;
  int32_t iterations = 0;
  int rc = DecodePbeAlgorithm(error_sink, info[1].Encoding(), info[1].EncodingLength(), oid, params, &iterations);
  if (rc == kDerBadInner) return SetError(error_sink, "Failed to decode ContentEncryptionAlgorithmIdentifier.");
  if (rc != 0) return rc;
  core::Buffer cipher_text;
  if (info[2].Constructed()) {
    if ((rc = internal::JoinOctets(info[2], cipher_text)) != 0) {
      return rc == core::kOutOfMemory ? rc : SetError(error_sink, "Invalid EncryptedContentInfo.");
    }
  } else if ((rc = cipher_text.SetData(info[2].Length(), info[2].Content())) != 0) {
    return rc;
  }
  return PbeDecryptWithRetry(error_sink, cipher_text, oid, params, iterations, password, out);
}

namespace {

int DecryptPkcs8(core::BufferCore& out, const uint8_t* data, int32_t length, const char* password) {
  DerSpan top, items[2], algorithm[2];
  int32_t count = 0;
  if (!internal::ReadTop(data, length, &top) || top.tag != 0x30 || !internal::Children(top, items, 2, &count) ||
      count != 2 || items[1].tag != 0x04) {
    return kDerBadInner;
  }
  if (items[0].tag != 0x30 || !internal::Children(items[0], algorithm, 2, &count) || count != 2) return kDerBadInner;
  core::Buffer oid;
  int rc = internal::OidText(algorithm[0], oid);
  if (rc != 0) return rc;
  core::SecureBuffer plain;
  if (std::strcmp(oid.Data(), kOidPbes2) == 0) {
    Pbes2Params pbes2;
    if ((rc = ParsePbes2(algorithm[1], pbes2)) != 0) return rc;
    const char* derivation = nullptr;
    if (pbes2.prf.IsEmpty() || std::strcmp(pbes2.prf.Data(), kOidHmacSha1) == 0) derivation = "HMAC-SHA1";
    if (std::strcmp(pbes2.prf.Data(), kOidHmacSha256) == 0) derivation = "HMAC-SHA256";
    const char* cipher = Pbes2CipherName(pbes2.cipher_oid);
    if (derivation == nullptr || cipher == nullptr) return kPbeUnsupported;
    rc = DecryptWithPassword(items[1].Content(), items[1].Length(), password, cipher, pbes2.salt.Bytes(),
                             pbes2.salt.Length(), derivation, static_cast<int32_t>(pbes2.iterations),
                             pbes2.iv.Bytes(), pbes2.iv.Length(), plain);
    if (rc == 0) rc = StripPadding(plain, pbes2.iv.Length() > 0 ? pbes2.iv.Length() : 8);
  } else {
    const Pbes1* scheme = nullptr;
    for (const Pbes1& row : kPbes1) {
      if (std::strcmp(row.oid, oid.Data()) == 0) scheme = &row;
    }
    DerSpan fields[2];
    int64_t iterations = 0;
    if (scheme == nullptr) return kPbeUnsupported;
    if (algorithm[1].tag != 0x30 || !internal::Children(algorithm[1], fields, 2, &count) || count != 2 ||
        fields[0].tag != 0x04 || !internal::SmallInteger(fields[1], &iterations) || iterations < 1) {
      return kDerBadInner;
    }
    if (iterations > kMaxPbeIterations) return kPbeUnsupported;
    PemKeyDerivation derivation;
    derivation.password = password;
    derivation.iv = fields[0].Content();
    derivation.iv_length = fields[0].Length();
    derivation.digest_name = scheme->digest;
    derivation.iterations = static_cast<int32_t>(iterations);
    if ((rc = plain.SetData(items[1].Length(), items[1].Content())) != 0) return rc;
    rc = DecryptPemBody(scheme->cipher, plain, derivation);
    if (rc == 0) rc = StripPadding(plain, 8);
  }
  if (rc == 0 && !DerIsSingleElement(plain.Bytes(), plain.Length())) rc = kDerBadInner;
  return rc == 0 ? out.Assign(plain) : rc;
}

}  // namespace

int DecryptPkcs8WithPassword(core::BufferCore& out, const uint8_t* data, int32_t length, const char* password) {
  if (data == nullptr || length < 1) return kPkcs8DecryptFailed;
  return DecryptPkcs8(out, data, length, password != nullptr ? password : "") == 0 ? 0 : kPkcs8DecryptFailed;
}

int WriteEncryptedPkcs8(const uint8_t* data, int32_t length, const char* password, core::BufferCore& out) {
  const bool fips = component::UseFIPSCompliantAPI() != 0;
  const int32_t salt_length = fips ? 16 : 8;
  const int32_t key_length = fips ? 32 : 24;
  const int32_t iv_length = fips ? 16 : 8;
  uint8_t salt[16];
  crypto::GlobalRandomBytes(salt, 0, salt_length);
  const char* text = password != nullptr ? password : "";
  core::SecureBuffer derived;
  int rc = derived.Resize(key_length + iv_length);
  if (rc == 0) {
    rc = crypto::Pbkdf2ByHmacId(crypto::kEngineHmacSha1, reinterpret_cast<const uint8_t*>(text),
                                static_cast<int32_t>(std::strlen(text)), salt, salt_length, 2048,
                                key_length + iv_length, reinterpret_cast<uint8_t*>(derived.Data()));
  }
  core::SecureBuffer key;
  core::Buffer cipher_text;
  if (rc == 0) rc = key.SetData(key_length, derived.Bytes());
  const uint8_t* iv = derived.Bytes() + key_length;
  if (rc == 0) {
    rc = RunCipher(fips ? crypto::kEngineCipherAes : crypto::kEngineCipher3Des, crypto::kModeCbc, key, iv, iv_length,
                   false, data, length, cipher_text);
  }
  DerWriter der;
  if (rc == 0) rc = der.BeginElement(0x30);
  if (rc == 0) rc = der.BeginElement(0x30);
  if (rc == 0) rc = der.AppendOid(kOidPbes2, 0x06);
  if (rc == 0) rc = der.BeginElement(0x30);
  if (rc == 0) rc = der.BeginElement(0x30);
  if (rc == 0) rc = der.AppendOid(kOidPbkdf2, 0x06);
  if (rc == 0) rc = der.BeginElement(0x30);
  if (rc == 0) rc = der.AppendTlv(salt, salt_length, 0x04);
  if (rc == 0) rc = der.AppendSmallInteger(2048, 0x02);
  for (int i = 0; rc == 0 && i < 2; ++i) rc = der.EndElement(0);
  if (rc == 0) rc = der.BeginElement(0x30);
  if (rc == 0) rc = der.AppendOid(fips ? kOidAes256Cbc : kOidDes3Cbc, 0x06);
  if (rc == 0) rc = der.AppendTlv(iv, iv_length, 0x04);
  for (int i = 0; rc == 0 && i < 3; ++i) rc = der.EndElement(0);
  if (rc == 0) rc = der.AppendTlv(cipher_text.Bytes(), cipher_text.Length(), 0x04);
  if (rc == 0) rc = der.EndElement(0);
  if (rc == 0) rc = PemEncode(der.Bytes(), der.Length(), "ENCRYPTED PRIVATE KEY", out);
  return rc;
}

}  // namespace velmora::pki
