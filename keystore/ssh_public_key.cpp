#include "keystore/ssh_public_key.h"

#include <cstring>

#include "core/base64.h"
#include "core/hex.h"
#include "crypto/digest/digest_registry.h"
#include "crypto/ec/ec_agreement.h"
#include "crypto/objects/hash_objects.h"
#include "pki/pem_armour.h"

namespace velmora::keystore {

namespace {

constexpr int32_t kEcKeyTypeEd25519 = 3;
constexpr int32_t kEcKeyTypeEd448 = 4;

// The NIST curves of RFC 5656 by EC key type 0, 1, 2.
constexpr const char* kEcdsaNames[] = {"ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384", "ecdsa-sha2-nistp521"};
constexpr const char* kCurveIdentifiers[] = {"nistp256", "nistp384", "nistp521"};
constexpr const char kEcdsaPrefix[] = "ecdsa-sha2-";

bool Is(const core::BufferCore& bytes, const char* text) {
  return bytes.EqualsBytes(text, static_cast<int32_t>(std::strlen(text))) != 0;
}

// ReadInto reads one string field into out; any failure is a key that cannot be read.
int ReadInto(core::ByteStream& stream, core::BufferCore& out) {
  return stream.ReadString(out) == 0 ? 0 : kBadSshKey;
}

int ReadEcdsaFields(core::ByteStream& stream, crypto::KeyRecord& key) {
  core::Buffer identifier, point;
  if (ReadInto(stream, identifier) != 0) return kBadSshKey;
  int32_t type = -1;
  for (int32_t i = 0; i < 3; ++i) {
    if (identifier.EqualsNoCase(kCurveIdentifiers[i])) type = i;
  }
  if (type < 0) return kBadSshKey;
  key.Type = crypto::kKeyEc;
  if (key.EcParams.Clear() != 0) return kBadSshKey;
  key.EcParams.KeyType = type;
  if (ReadInto(stream, point) != 0) return kBadSshKey;
  return key.EcParams.SetPublicPoint(point) == 0 ? 0 : kBadSshKey;
}

int ReadEdwardsFields(core::ByteStream& stream, int32_t type, crypto::KeyRecord& key) {
  key.Type = crypto::kKeyEdwards;
  if (key.EdParams.Clear() != 0) return kBadSshKey;
  key.EdParams.KeyType = type;
  if (ReadInto(stream, key.EdParams.PublicKey) != 0) return kBadSshKey;
  // The other key code takes the octets at the curve's size; a key of another length is refused here.
  return key.EdParams.PublicKey.Length() == (type == kEcKeyTypeEd25519 ? 32 : 57) ? 0 : kBadSshKey;
}

// BlobFromText decodes the second blank-separated field of a one-line key into blob.
int BlobFromText(const void* data, int32_t length, core::BufferCore& blob) {
  core::Buffer text;
  if (text.SetData(length, data) != 0 || text.TrimByte(' ') != 0) return kBadSshKey;
  const char* d = text.Data();
  int32_t i = 0;
  while (i < text.Length() && d[i] != ' ') ++i;
  while (i < text.Length() && d[i] == ' ') ++i;
  int32_t end = i;
  while (end < text.Length() && d[end] != ' ') ++end;
  if (end == i) return kBadSshKey;
  if (blob.SetData(end - i, d + i) != 0 || core::Base64Decode(blob, 0, 0, 0) != 0) return kBadSshKey;
  return 0;
}

// PublicBlob builds the blob of key into blob.
int PublicBlob(crypto::KeyRecord& key, core::BufferCore& blob) {
  core::ByteStream stream;
  int rc = AppendSshPublicKeyBlob(key, stream);
  return rc != 0 ? rc : blob.SetData(stream.Length(), stream.Data());
}

}  // namespace

const char* SshKeyTypeName(const crypto::KeyRecord& key) {
  if (key.Type == crypto::kKeyRsa) return "ssh-rsa";
  if (key.Type == crypto::kKeyDsa) return "ssh-dss";
  if (key.Type == crypto::kKeyEc) {
    const int32_t type = key.EcParams.KeyType;
    return type >= 0 && type < 3 ? kEcdsaNames[type] : nullptr;
  }
  if (key.Type == crypto::kKeyEdwards) {
    if (key.EdParams.KeyType == kEcKeyTypeEd25519) return "ssh-ed25519";
    if (key.EdParams.KeyType == kEcKeyTypeEd448) return "ssh-ed448";
  }
  return nullptr;
}

int ReadSshPublicKeyFields(core::ByteStream& stream, const core::BufferCore& type_name, crypto::KeyRecord& key) {
  if (Is(type_name, "ssh-rsa")) {
    key.Type = crypto::kKeyRsa;
    if (ReadInto(stream, key.RsaParams.Exponent) != 0) return kBadSshKey;
    return ReadInto(stream, key.RsaParams.Modulus);
  }
  if (Is(type_name, "ssh-dss")) {
    key.Type = crypto::kKeyDsa;
    crypto::DsaKeyParams& dsa = key.DsaParams;
    for (core::BufferCore* field : {&dsa.P, &dsa.Q, &dsa.G, &dsa.Y}) {
      if (ReadInto(stream, *field) != 0) return kBadSshKey;
    }
    return 0;
  }
  if (type_name.Length() >= static_cast<int32_t>(sizeof kEcdsaPrefix) - 1 &&
      std::memcmp(type_name.Data(), kEcdsaPrefix, sizeof kEcdsaPrefix - 1) == 0) {
    return ReadEcdsaFields(stream, key);
  }
  if (Is(type_name, "ssh-ed25519")) return ReadEdwardsFields(stream, kEcKeyTypeEd25519, key);
  if (Is(type_name, "ssh-ed448")) return ReadEdwardsFields(stream, kEcKeyTypeEd448, key);
  return kBadSshKey;
}

int ReadSshPublicKeyBlob(const void* data, int32_t length, crypto::KeyRecord& key) {
  if (data == nullptr || length < 0) return kBadSshKey;
  core::ByteStream stream(data, 0, length);
  core::Buffer type_name;
  if (stream.ReadString(type_name) != 0) {
    core::Buffer blob;
    if (BlobFromText(data, length, blob) != 0) return kBadSshKey;
    stream.Clear();
    if (stream.SetData(blob.Data(), 0, blob.Length()) != 0 || stream.ReadString(type_name) != 0) return kBadSshKey;
  }
  return ReadSshPublicKeyFields(stream, type_name, key);
}

int AppendSshMpint(core::ByteStream& stream, const core::BufferCore& number) {
  const uint8_t* bytes = number.Bytes();
  int32_t length = number.Length();
  while (length > 0 && *bytes == 0) {
    ++bytes;
    --length;
  }
  if (length == 0 || *bytes < 0x80) return stream.AppendString(bytes, length);
  int rc = stream.AppendUInt32BE(static_cast<uint32_t>(length) + 1);
  if (rc == 0) rc = stream.AppendByte(0);
  if (rc == 0) rc = stream.Append(bytes, length);
  return rc;
}

int AppendSshPublicKeyBlob(crypto::KeyRecord& key, core::ByteStream& stream) {
  if (key.Type < crypto::kKeyRsa || key.Type > crypto::kKeyEdwards) return kBadSshKey;
  const char* name = SshKeyTypeName(key);
  if (name == nullptr) return kNoSshName;
  int rc = stream.AppendCString(name);
  if (rc != 0) return rc;
  if (key.Type == crypto::kKeyRsa) {
    crypto::RsaKeyParams rsa;
    rc = key.GetRsaParams(rsa, true);
    if (rc == 0) rc = AppendSshMpint(stream, rsa.Exponent);
    if (rc == 0) rc = AppendSshMpint(stream, rsa.Modulus);
  } else if (key.Type == crypto::kKeyDsa) {
    crypto::DsaKeyParams dsa;
    rc = key.GetDsaParams(dsa, true);
    for (const core::BufferCore* field : {&dsa.P, &dsa.Q, &dsa.G, &dsa.Y}) {
      if (rc == 0) rc = AppendSshMpint(stream, *field);
    }
  } else {
    crypto::EcKeyParams ec;
    rc = key.GetEcParams(ec, true);
    if (rc == 0 && key.Type == crypto::kKeyEc) {
      core::Buffer point;
      rc = stream.AppendCString(kCurveIdentifiers[ec.KeyType]);
      if (rc == 0) rc = crypto::EncodeEcPublicPoint(ec, false, point);
      if (rc == 0) rc = stream.AppendString(point.Data(), point.Length());
    } else if (rc == 0) {
      rc = stream.AppendString(ec.PublicKey.Data(), ec.PublicKey.Length());
    }
  }
  return rc;
}

int WriteSsh2PublicKey(crypto::KeyRecord& key, bool armoured, uint32_t line_length, const char* comment,
                       core::BufferCore& out) {
  (void)out.Clear();
  if (comment == nullptr) comment = "";
  core::Buffer blob, text;
  int rc = PublicBlob(key, blob);
  if (rc == 0 && armoured) {
    core::Buffer header;
    if (*comment != '\0') rc = header.Format("Comment: %s", comment) >= 0 ? 0 : core::kOutOfMemory;
    if (rc == 0) {
      rc = pki::WriteSsh2Armour(text, "SSH2 PUBLIC KEY", blob.Data(), blob.Length(), 4,
                                static_cast<int32_t>(line_length), header.Data());
    }
  } else if (rc == 0) {
    rc = text.SetString(SshKeyTypeName(key));
    if (rc == 0) rc = text.AppendByte(' ');
    if (rc == 0) rc = core::Base64Encode(text, blob.Data(), blob.Length(), 0, 0, 0);
    if (rc == 0) rc = text.AppendByte(' ');
    if (rc == 0) rc = text.AppendCString(comment);
  }
  return rc == 0 ? out.Assign(text) : rc;
}

int SshKeyFingerprint(crypto::KeyRecord& key, core::BufferCore& out, const char* digest_name) {
  (void)out.Clear();
  if (key.Type < crypto::kKeyRsa || key.Type > crypto::kKeyEdwards) return 0;
  if (SshKeyTypeName(key) == nullptr) return kBadSshKey;
  if (digest_name == nullptr) return kUnknownDigest;
  int32_t engine_id = -1;
  if (std::strcmp(digest_name, "MD5") == 0) engine_id = crypto::kEngineFirstDigest + crypto::kHashMd5;
  if (std::strcmp(digest_name, "SHA1") == 0) engine_id = crypto::kEngineSha1;
  if (std::strcmp(digest_name, "SHA256") == 0) engine_id = crypto::kEngineSha256;
  if (engine_id < 0) return kUnknownDigest;
  core::Buffer blob, digest, text;
  int rc = PublicBlob(key, blob);
  if (rc == 0) rc = crypto::ComputeHash(engine_id, blob.Data(), blob.Length(), digest);
  for (int32_t i = 0; rc == 0 && i < digest.Length(); ++i) {
    if (i > 0) rc = text.AppendByte(':');
    if (rc == 0) rc = core::AppendHexLower(text, digest.Bytes() + i, 1);
  }
  return rc == 0 ? out.Assign(text) : rc;
}

}  // namespace velmora::keystore
