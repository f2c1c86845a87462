#include "keystore/ssh2_key.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <iterator>

#include "core/base64.h"
#include "core/byte_stream.h"
#include "crypto/keys/curve_params.h"
#include "crypto/objects/ec_key_ops.h"
#include "crypto/objects/key_creation.h"
#include "pki/pem_armour.h"
#include "pki/pem_legacy.h"

namespace velmora::keystore {

namespace {

constexpr char kRsaType[] = "if-modn{sign{rsa-pkcs1-sha1},encrypt{rsa-pkcs1v2-oaep}}";
constexpr char kDsaType[] = "dl-modp{sign{dsa-nist-sha1},dh{plain}}";
constexpr char kEcType[] = "ec-modp";
constexpr char kArmourTag[] = "SSH2 ENCRYPTED PRIVATE KEY";

constexpr int32_t kCurveKeyTypes[] = {0, 1, 2, 7, 8, 9, 10};

// The curve names of the EC key types 0, 1, 2 and 7 to 10.
const char* CurveName(int32_t ec_key_type) {
  switch (ec_key_type) {
    case 0: return "nistp256";
    case 1: return "nistp384";
    case 2: return "nistp521";
    case 7: return "secp160k1";
    case 8: return "secp192k1";
    case 9: return "secp224k1";
    case 10: return "secp256k1";
    default: return nullptr;
  }
}

bool StartsWith(const core::BufferCore& text, const char* literal) {
  const auto n = static_cast<int32_t>(std::strlen(literal));
  return text.Length() >= n && std::memcmp(text.Data(), literal, static_cast<size_t>(n)) == 0;
}

// ReadNumbers reads bit-length strings into the fields in order: 0 or the first failing code.
int ReadNumbers(core::ByteStream& stream, std::initializer_list<core::BufferCore*> fields) {
  for (core::BufferCore* field : fields) {
    const int rc = stream.ReadBitLengthString(*field);
    if (rc != 0) return rc;
  }
  return 0;
}

int SkipWords(core::ByteStream& stream, int32_t count) {
  uint32_t word = 0;
  for (int32_t i = 0; i < count; ++i) {
    const int rc = stream.ReadUInt32BE(word);
    if (rc != 0) return rc;
  }
  return 0;
}

int ReadKeyData(crypto::KeyRecord& key, const core::BufferCore& type_in, const core::BufferCore& data) {
  core::Buffer type;
  int rc = type.Assign(type_in);
  if (rc != 0) return rc;
  for (int32_t i = 0; i < type.Length(); ++i) {
    if (type.Data()[i] >= 'A' && type.Data()[i] <= 'Z') type.Data()[i] = static_cast<char>(type.Data()[i] + 32);
  }
  core::ByteStream stream(data);
  if (StartsWith(type, "if-modn{sign{rsa")) {
    key.Type = crypto::kKeyRsa;
    crypto::RsaKeyParams& rsa = key.RsaParams;
    rc = SkipWords(stream, 1);
    if (rc == 0) rc = ReadNumbers(stream, {&rsa.Exponent, &rsa.D, &rsa.Modulus, &rsa.InverseQ, &rsa.Q, &rsa.P});
    if (rc != 0) return rc;
    // Numbers the CRT cannot be computed from (a wrong password, mostly) are no key.
    return rsa.RecomputeCrt() == 0 ? 0 : kBadSsh2Key;
  }
  if (StartsWith(type, "dl-modp{sign{dsa")) {
    key.Type = crypto::kKeyDsa;
    crypto::DsaKeyParams& dsa = key.DsaParams;
    rc = SkipWords(stream, 2);
    return rc == 0 ? ReadNumbers(stream, {&dsa.P, &dsa.G, &dsa.Q, &dsa.Y, &dsa.X}) : rc;
  }
  if (!StartsWith(type, kEcType)) return kBadSsh2Key;
  key.Type = crypto::kKeyEc;
  crypto::EcKeyParams& ec = key.EcParams;
  core::Buffer curve;
  core::SecureBuffer d;
  rc = SkipWords(stream, 2);
  if (rc == 0) rc = stream.ReadString(curve);
  if (rc != 0) return rc;
  // The reader takes every name the writer writes; a curve it cannot name is no key, not a P-256 one.
  const auto names = [&curve](int32_t type_id) { return curve.EqualsNoCase(CurveName(type_id)) != 0; };
  const int32_t* known = std::find_if(std::begin(kCurveKeyTypes), std::end(kCurveKeyTypes), names);
  if (known == std::end(kCurveKeyTypes)) return kBadSsh2Key;
  ec.KeyType = *known;
  rc = stream.ReadBitLengthString(d);
  if (rc != 0) return rc;
  // Zeros in front (a sign byte) are dropped; a scalar longer than the curve's is no key of it.
  int32_t skip = 0;
  while (skip < d.Length() && d.Bytes()[skip] == 0) ++skip;
  const int32_t size = crypto::EcKeyTypeByteLength(ec.KeyType);
  if (size <= 0 || d.Length() - skip > size) return kBadSsh2Key;
  rc = core::PadBytesLeft(d.Data() + skip, d.Length() - skip, size, ec.D);
  if (rc != 0) return rc;
  return crypto::EnsureEcPublicKey(ec) == 0 ? 0 : kBadSsh2Key;
}

// AppendKeyData writes the key data of key after a word holding the length of the rest.
int AppendKeyData(crypto::KeyRecord& key, core::ByteStream& data) {
  int rc = data.AppendUInt32BE(0);
  if (rc == 0 && key.Type == crypto::kKeyRsa) {
    crypto::RsaKeyParams rsa;
    rc = key.GetRsaParams(rsa, false);
    if (rc == 0) rc = crypto::CompleteRsaPrivateKey(rsa, crypto::kProviderDefault);
    for (const core::BufferCore* field : std::initializer_list<const core::BufferCore*>{(&rsa.Exponent),
                                          (&rsa.D), &rsa.Modulus,
                                          &rsa.InverseQ, &rsa.Q, &rsa.P}) {
      if (rc == 0) rc = data.AppendBitLengthString(field->Data(), field->Length());
    }
  } else if (rc == 0 && key.Type == crypto::kKeyDsa) {
    crypto::DsaKeyParams dsa;
    rc = key.GetDsaParams(dsa, false);
    if (rc == 0) rc = dsa.ComputePublicKey();
    if (rc == 0) rc = data.AppendUInt32BE(0);
    for (const core::BufferCore* field : std::initializer_list<const core::BufferCore*>{&dsa.P, &dsa.G, &dsa.Q, &dsa.Y, (&dsa.X)}) {
      if (rc == 0) rc = data.AppendBitLengthString(field->Data(), field->Length());
    }
  } else if (rc == 0 && key.Type == crypto::kKeyEc) {
    crypto::EcKeyParams ec;
    rc = key.GetEcParams(ec, false);
    if (rc == 0) rc = data.AppendUInt32BE(1);
    const char* curve = CurveName(ec.KeyType);
    if (rc == 0 && curve != nullptr) rc = data.AppendCString(curve);
    if (rc == 0) rc = data.AppendBitLengthString(ec.D.Data(), ec.D.Length());
  } else if (rc == 0) {
    rc = kBadSsh2Key;
  }
  // The word counts the bytes after it, as the files of other writers have it and their readers check.
  return rc == 0 ? data.InsertUInt32BE(0, static_cast<uint32_t>(data.Length() - 4)) : rc;
}

}  // namespace

int ReadSsh2PrivateKey(crypto::KeyRecord& key, const void* data, int32_t length, const char* password) {
  if (data == nullptr || length < 0) return kBadSsh2Key;
  core::Buffer blob, type, cipher;
  core::SecureBuffer key_data;
  int rc = blob.SetData(length, data);
  if (rc != 0) return rc;
  if (core::IsBase64Text(blob.Data(), blob.Length()) && core::Base64Decode(blob, 0, 0, 0) != 0) return kBadSsh2Key;
  core::ByteStream stream(blob);
  uint32_t magic = 0, total = 0;
  if (stream.ReadUInt32BE(magic) != 0 || magic != kSsh2Magic) return kBadSsh2Key;
  if (stream.ReadUInt32BE(total) != 0 || static_cast<int32_t>(total) < 1) return kBadSsh2Key;
  if ((rc = stream.ReadString(type)) != 0 || (rc = stream.ReadString(cipher)) != 0 ||
      (rc = stream.ReadString(key_data)) != 0) {
    return rc;
  }
  if (cipher.EqualsBytes("DES-EDE3-CBC", 12) || cipher.EqualsBytes("3des-cbc", 8) ||
      cipher.EqualsBytes("DES-EDE3-CFB", 12) || cipher.EqualsBytes("AES-128-CBC", 11)) {
    pki::PemKeyDerivation derivation;
    derivation.password = password;
    derivation.order = pki::DerivationOrder::kPasswordFirst;
    if (pki::DecryptPemBody(cipher.Data(), key_data, derivation) != 0) return kBadSsh2Key;
  } else if (!cipher.EqualsBytes("none", 4)) {
    return kBadSsh2Key;
  }
  return ReadKeyData(key, type, key_data);
}

int WriteSsh2PrivateKey(crypto::KeyRecord& key, uint32_t line_length, const char* comment, const char* password,
                        core::BufferCore& out) {
  if (password == nullptr) password = "";
  if (comment == nullptr) comment = "";
  const char* type = key.Type == crypto::kKeyRsa ? kRsaType : key.Type == crypto::kKeyDsa ? kDsaType
                     : key.Type == crypto::kKeyEc ? kEcType : nullptr;
  if (type == nullptr) return kBadSsh2Key;
  core::ByteStream data, blob;
  int rc = AppendKeyData(key, data);
  const bool encrypted = *password != '\0';
  core::SecureBuffer protected_data;
  if (rc == 0) rc = protected_data.SetData(data.Length(), data.Data());
  if (rc == 0 && encrypted) {
    rc = pki::EncryptWithPassword3Des(reinterpret_cast<const uint8_t*>(data.Data()), data.Length(), password, nullptr,
                                      0, pki::DerivationOrder::kPasswordFirst, protected_data);
  }
  if (data.Length() > 0) std::memset(const_cast<char*>(data.Data()), 0, static_cast<size_t>(data.Length()));
  if (rc == 0) rc = blob.AppendUInt32BE(kSsh2Magic);
  if (rc == 0) rc = blob.AppendUInt32BE(0);
  if (rc == 0) rc = blob.AppendCString(type);
  if (rc == 0) rc = blob.AppendCString(encrypted ? "3des-cbc" : "none");
  if (rc == 0) rc = blob.AppendString(protected_data.Data(), protected_data.Length());
  if (rc == 0) rc = blob.InsertUInt32BE(4, static_cast<uint32_t>(blob.Length()));
  core::Buffer header, text;
  if (rc == 0 && *comment != '\0') rc = header.Format("Comment: %s", comment) >= 0 ? 0 : core::kOutOfMemory;
  if (rc == 0) {
    rc = pki::WriteSsh2Armour(text, kArmourTag, blob.Data(), blob.Length(), 4, static_cast<int32_t>(line_length),
                              header.Data());
  }
  if (blob.Length() > 0) std::memset(const_cast<char*>(blob.Data()), 0, static_cast<size_t>(blob.Length()));
  return rc == 0 ? out.Assign(text) : rc;
}

}  // namespace velmora::keystore
