#include "keystore/ppk.h"

#include <atomic>
#include <cstring>
#include <initializer_list>

#include "component/component_base.h"
#include "core/base64.h"
#include "core/byte_stream.h"
#include "core/date_time.h"
#include "core/hex.h"
#include "core/numbers.h"
#include "core/text_lines.h"
#include "crypto/cipher/cipher_params.h"
#include "crypto/digest/digest_registry.h"
#include "crypto/kdf/argon2.h"
#include "crypto/objects/cipher_selection.h"
#include "crypto/objects/hash_objects.h"
#include "crypto/objects/key_creation.h"
#include "keystore/ssh_public_key.h"

namespace velmora::keystore {

namespace {

constexpr char kWrongPassword[] = "Error decoding key: The specified password is not correct.";
constexpr char kFipsVersion3[] = "Cannot open certificate store: PPK version 3 is not supported in FIPS compliance mode.";
constexpr char kFipsEdwards[] = "Cannot open certificate store: EdDSA is not supported in FIPS compliance mode.";
constexpr char kMacLabel[] = "putty-private-key-file-mac-key";
constexpr int32_t kMacLabelLength = 30;
constexpr int32_t kArgon2Output = 80;

std::atomic<int64_t> g_max_memory_kib{kPpkMaxArgon2MemoryKib};
std::atomic<int64_t> g_max_work{kPpkMaxArgon2Work};

bool Begins(const core::BufferCore& line, const char* literal) {
  const auto n = static_cast<int32_t>(std::strlen(literal));
  return line.Length() >= n && std::memcmp(line.Data(), literal, static_cast<size_t>(n)) == 0;
}

// HeaderValue sets value to the text after the first colon of line (all of it without one), trimmed.
int HeaderValue(const core::BufferCore& line, core::BufferCore& value) {
  const void* colon = std::memchr(line.Data(), ':', static_cast<size_t>(line.Length()));
  const int32_t start = colon == nullptr ? 0 : static_cast<int32_t>(static_cast<const char*>(colon) - line.Data()) + 1;
  int rc = value.SetData(line.Length() - start, line.Data() + start);
  return rc == 0 ? value.TrimWhitespace() : rc;
}

// NextHeader takes the next line, which must begin with name, and sets value to its value.
int NextHeader(core::BufferCore& text, const char* name, core::BufferCore& value) {
  core::Buffer line;
  int rc = core::TakeLine(text, line);
  if (rc != 0) return rc;
  return Begins(line, name) ? HeaderValue(line, value) : kBadPuttyKey;
}

int32_t LinesLeft(const core::BufferCore& text) {
  if (text.IsEmpty()) return 0;
  int32_t lines = 1;
  for (int32_t i = 0; i < text.Length(); ++i) lines += text.Data()[i] == '\n' ? 1 : 0;
  return lines;
}

// ReadBlobLines reads the count line named name and that many lines of base64 into base64.
int ReadBlobLines(core::BufferCore& text, const char* name, core::BufferCore& base64) {
  core::Buffer value, line;
  int rc = NextHeader(text, name, value);
  if (rc != 0) return rc;
  const int64_t count = core::ParseInt64(value.Data());
  if (count > LinesLeft(text)) return kBadPuttyKey;
  for (int64_t i = 0; i < count && rc == 0; ++i) {
    rc = core::TakeLine(text, line);
    if (rc == 0) rc = base64.Append(line);
    if (rc == 0) rc = base64.TrimWhitespace();
  }
  return rc;
}

void SetText(core::BufferCore* error_text, const char* text) {
  if (error_text != nullptr) (void)error_text->SetString(text);
}

int Sha1Of(const void* first, int32_t first_length, const char* password, core::BufferCore& out) {
  core::SecureBuffer input;
  int rc = input.SetData(first_length, first);
  if (rc == 0) rc = input.AppendCString(password);
  return rc == 0 ? crypto::ComputeHash(crypto::kEngineSha1, input.Data(), input.Length(), out) : rc;
}

// Version2CipherKey: SHA-1(0,0,0,0 || password) || the first 12 bytes of SHA-1(0,0,0,1 || password).
int Version2CipherKey(const char* password, core::BufferCore& key) {
  static constexpr uint8_t kFirst[4] = {0, 0, 0, 0}, kSecond[4] = {0, 0, 0, 1};
  core::SecureBuffer second;
  int rc = Sha1Of(kFirst, 4, password, key);
  if (rc == 0) rc = Sha1Of(kSecond, 4, password, second);
  return rc == 0 ? key.Append(second.Data(), 12) : rc;
}

int RunAes(const uint8_t* key, const uint8_t* iv, bool decrypt, const core::BufferCore& in, core::BufferCore& out) {
  component::CryptoComponent component;
  const crypto::CipherInit init{key, 32, iv, 16, decrypt ? 1 : 0, crypto::kModeCbc, crypto::kPaddingNone, ""};
  int rc = crypto::SelectCipherProvider(component, crypto::kEngineCipherAes, init, crypto::kProviderDefault);
  if (rc != 0) return rc;
  core::SecureBuffer result;
  int32_t consumed = in.Length();
  crypto::CipherObject* cipher = crypto::HeldCipher(component);
  rc = decrypt ? cipher->Decrypt(in.Bytes(), 0, &consumed, result, 1) : cipher->Encrypt(in.Bytes(), 0, &consumed, result, 1);
  return rc == 0 ? out.Assign(result) : rc;
}

// MacInput: the five SSH strings the MAC covers.
int MacInput(const char* type_name, const char* encryption, const char* comment, const core::BufferCore& public_blob,
             const core::BufferCore& private_blob, core::ByteStream& stream) {
  int rc = stream.AppendCString(type_name);
  if (rc == 0) rc = stream.AppendCString(encryption);
  if (rc == 0) rc = stream.AppendCString(comment);
  if (rc == 0) rc = stream.AppendString(public_blob.Data(), public_blob.Length());
  if (rc == 0) rc = stream.AppendString(private_blob.Data(), private_blob.Length());
  return rc;
}

// Argon2Lines reads the five key-derivation lines and derives the 80 bytes of version 3.
int Argon2Lines(core::BufferCore& text, const char* password, core::BufferCore& derived) {
  core::Buffer kdf, memory, passes, lanes, salt_text;
  int rc = NextHeader(text, "Key-Derivation", kdf);
  if (rc == 0) rc = NextHeader(text, "Argon2-Memory", memory);
  if (rc == 0) rc = NextHeader(text, "Argon2-Passes", passes);
  if (rc == 0) rc = NextHeader(text, "Argon2-Parallelism", lanes);
  if (rc == 0) rc = NextHeader(text, "Argon2-Salt", salt_text);
  if (rc != 0) return rc;
  int32_t variant = -1;
  if (kdf.EqualsBytes("Argon2d", 7)) variant = crypto::kArgon2d;
  if (kdf.EqualsBytes("Argon2i", 7)) variant = crypto::kArgon2i;
  if (kdf.EqualsBytes("Argon2id", 8)) variant = crypto::kArgon2id;
  const int64_t m = core::ParseInt64(memory.Data()), t = core::ParseInt64(passes.Data());
  const int64_t p = core::ParseInt64(lanes.Data());
  // Checked before any memory is taken: a file cannot make the reader allocate or run for long.
  if (variant < 0 || m < 1 || m > g_max_memory_kib || p < 1 || p > kPpkMaxArgon2Lanes || t < 1 ||
      t > g_max_work / m) {
    return kBadPuttyKey;
  }
  core::Buffer salt;
  rc = core::HexDecodeAppend(salt, salt_text.Data());
  if (rc != 0) return kBadPuttyKey;
  const auto password_length = static_cast<uint32_t>(std::strlen(password));
  rc = Argon2DeriveKey(static_cast<uint32_t>(variant), reinterpret_cast<const uint8_t*>(password), password_length,
                       salt.Bytes(), salt.Length(), static_cast<uint32_t>(t), static_cast<uint32_t>(m),
                       static_cast<uint32_t>(p), kArgon2Output, derived, nullptr, 0, nullptr, 0);
  // Parameters Argon2 itself refuses (a short salt, too little memory for the lanes) are a bad file.
  return rc == crypto::kArgon2BadParameters ? kBadPuttyKey : rc;
}

// ReadKeyFields reads the key from the public and private blobs.
int ReadKeyFields(crypto::KeyRecord& key, const core::BufferCore& public_blob, const core::BufferCore& private_blob,
                  core::BufferCore* error_text) {
  core::ByteStream pub(public_blob), priv(private_blob);
  core::Buffer name;
  if (pub.ReadString(name) != 0) return kBadPuttyKey;
  const bool edwards = name.EqualsBytes("ssh-ed25519", 11) || name.EqualsBytes("ssh-ed448", 9);
  if (edwards && component::UseFIPSCompliantAPI()) {
    SetText(error_text, kFipsEdwards);
    return kPuttyFipsRefused;
  }
  const bool known = edwards || name.EqualsBytes("ssh-rsa", 7) || name.EqualsBytes("ssh-dss", 7) ||
                     name.EqualsBytes("ecdsa-sha2-nistp256", 19) || name.EqualsBytes("ecdsa-sha2-nistp384", 19) ||
                     name.EqualsBytes("ecdsa-sha2-nistp521", 19);
  if (!known) return kBadPuttyKey;
  int rc = ReadSshPublicKeyFields(pub, name, key);
  if (rc == 0) {
    if (key.Type == crypto::kKeyRsa) {
      crypto::RsaKeyParams& rsa = key.RsaParams;
      for (core::BufferCore* field : std::initializer_list<core::BufferCore*>{(&rsa.D), &rsa.P, &rsa.Q, &rsa.InverseQ}) {
        if (rc == 0) rc = priv.ReadString(*field);
      }
      if (rc == 0) rc = crypto::CompleteRsaPrivateKey(rsa, crypto::kProviderDefault);
    } else if (key.Type == crypto::kKeyDsa) {
      rc = priv.ReadString(key.DsaParams.X);
    } else if (key.Type == crypto::kKeyEc) {
      rc = priv.ReadString(key.EcParams.D);
    } else {
      rc = priv.ReadString(key.EdParams.PrivateKey);
      // The key code takes the private octets at the public key's size only.
      if (rc == 0 && key.EdParams.PrivateKey.Length() != key.EdParams.PublicKey.Length()) rc = kBadPuttyKey;
    }
  }
  if (rc != 0) {
    SetText(error_text, kWrongPassword);
    return kBadPuttyKey;
  }
  return 0;
}

const char* CommentPrefix(const crypto::KeyRecord& key) {
  if (key.Type == crypto::kKeyRsa) return "rsa-key-";
  if (key.Type == crypto::kKeyDsa) return "dsa-key-";
  if (key.Type == crypto::kKeyEc) return "ecdsa-key-";
  return key.EdParams.KeyType == 3 ? "ed25519-key-" : "ed448-key-";
}

int DefaultComment(const crypto::KeyRecord& key, core::BufferCore& comment) {
  uint32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
  int32_t weekday = 0;
  (void)core::GetUtcDateParts(&year, &month, &day, &hour, &minute, &second, &ms, &weekday);
  core::Buffer date;
  (void)core::FormatDateTime(date, "yyyyMMdd", year, month, day, hour, minute, second, ms, weekday);
  int rc = comment.SetString(CommentPrefix(key));
  return rc == 0 ? comment.Append(date) : rc;
}

// PrivateBlob builds the private blob of key (its numbers completed by the key layer).
int PrivateBlob(crypto::KeyRecord& key, core::ByteStream& stream) {
  int rc = 0;
  if (key.Type == crypto::kKeyRsa) {
    crypto::RsaKeyParams rsa;
    rc = key.GetRsaParams(rsa, false);
    for (const core::BufferCore* field : std::initializer_list<const core::BufferCore*>{&rsa.D, &rsa.P, &rsa.Q, &rsa.InverseQ}) {
      if (rc == 0) rc = AppendSshMpint(stream, *field);
    }
  } else if (key.Type == crypto::kKeyDsa) {
    crypto::DsaKeyParams dsa;
    rc = key.GetDsaParams(dsa, false);
    if (rc == 0) rc = AppendSshMpint(stream, dsa.X);
  } else {
    crypto::EcKeyParams ec;
    rc = key.GetEcParams(ec, false);
    if (rc == 0 && key.Type == crypto::kKeyEc) rc = AppendSshMpint(stream, ec.D);
    if (rc == 0 && key.Type != crypto::kKeyEc) rc = stream.AppendString(ec.PrivateKey.Data(), ec.PrivateKey.Length());
  }
  return rc;
}

int AppendBase64Lines(core::BufferCore& text, const char* name, const void* data, int32_t length) {
  int rc = text.AppendFormat("\r\n%s: %d\r\n", name, (length + 47) / 48) >= 0 ? 0 : core::kOutOfMemory;
  return rc == 0 ? core::Base64Encode(text, data, length, 1, 64, 0) : rc;
}

}  // namespace

int Argon2DeriveKey(uint32_t variant, const uint8_t* password, uint32_t password_length, const uint8_t* salt,
                    int32_t salt_length, uint32_t passes, uint32_t memory_kib, uint32_t lanes, uint32_t tag_length,
                    core::BufferCore& out, const uint8_t* secret, int32_t secret_length,
                    const uint8_t* associated_data, int32_t ad_length) {
  if (component::UseFIPSCompliantAPI()) return kPuttyFipsRefused;
  crypto::Argon2Params params;
  params.type = static_cast<int32_t>(variant);
  params.passes = static_cast<int32_t>(passes);
  params.memory_kib = static_cast<int32_t>(memory_kib);
  params.lanes = static_cast<int32_t>(lanes);
  params.tag_length = static_cast<int32_t>(tag_length);
  int rc = params.salt.SetData(salt_length > 0 ? salt_length : 0, salt);
  if (rc == 0) rc = params.secret.SetData(secret_length > 0 ? secret_length : 0, secret);
  if (rc == 0) rc = params.associated.SetData(ad_length > 0 ? ad_length : 0, associated_data);
  if (rc != 0) return rc;
  // Values above 2^31 - 1 turn negative and are refused by Argon2Hash's parameter check.
  if (params.type < 0 || params.passes < 0 || params.memory_kib < 0 || params.lanes < 0 || params.tag_length < 0 ||
      static_cast<int32_t>(password_length) < 0) {
    return crypto::kArgon2BadParameters;
  }
  return crypto::Argon2Hash(params, password, static_cast<int32_t>(password_length), out);
}

int ReadPuTTYKey(crypto::KeyRecord& key, const void* data, int32_t length, const char* password,
                 core::BufferCore* error_text) {
  if (data == nullptr || length < 0) return kBadPuttyKey;
  if (password == nullptr) password = "";
  core::Buffer text, line, type_name, encryption, comment, public_text, private_text, expected_mac;
  int rc = text.SetData(length, data);
  if (rc == 0) rc = text.TrimWhitespace();
  if (rc == 0) rc = core::TakeLine(text, line);
  if (rc != 0) return rc;
  int version = 0;
  if (Begins(line, "PuTTY-User-Key-File-3")) version = 3;
  if (version == 0 && Begins(line, "PuTTY-User-Key-File-2")) version = 2;
  if (version == 0) return kBadPuttyKey;
  rc = HeaderValue(line, type_name);
  if (rc == 0) rc = NextHeader(text, "Encryption", encryption);
  if (rc != 0) return rc;
  const bool encrypted = encryption.EqualsBytes("aes256-cbc", 10) != 0;
  if (!encrypted && !encryption.EqualsBytes("none", 4)) return kBadPuttyKey;
  rc = NextHeader(text, "Comment", comment);
  if (rc == 0) rc = ReadBlobLines(text, "Public-Lines", public_text);
  if (rc != 0) return rc;

  core::SecureBuffer cipher_key, iv, mac_key;
  if (version == 3 && encrypted) {
    if (component::UseFIPSCompliantAPI()) {
      SetText(error_text, kFipsVersion3);
      return kPuttyFipsRefused;
    }
    core::SecureBuffer derived;
    rc = Argon2Lines(text, password, derived);
    if (rc == 0) rc = cipher_key.SetData(32, derived.Data());
    if (rc == 0) rc = iv.SetData(16, derived.Data() + 32);
    if (rc == 0) rc = mac_key.SetData(32, derived.Data() + 48);
    if (rc != 0) return rc;
  }
  rc = ReadBlobLines(text, "Private-Lines", private_text);
  if (rc == 0) rc = NextHeader(text, "Private-MAC", expected_mac);
  if (rc != 0) return rc;
  if (public_text.IsEmpty() || private_text.IsEmpty()) return kBadPuttyKey;
  core::Buffer public_blob;
  core::SecureBuffer private_blob;
  if (public_blob.Assign(public_text) != 0 || core::Base64Decode(public_blob, 0, 0, 0) != 0) return kBadPuttyKey;
  if (private_blob.Assign(private_text) != 0 || core::Base64Decode(private_blob, 0, 0, 0) != 0) return kBadPuttyKey;

  if (version == 2) {
    rc = Sha1Of(kMacLabel, kMacLabelLength, encrypted ? password : "", mac_key);
    if (rc == 0 && encrypted) rc = Version2CipherKey(password, cipher_key);
    if (rc == 0 && encrypted) rc = iv.SetData(16, nullptr);
    if (rc == 0 && encrypted) std::memset(iv.Data(), 0, 16);
    if (rc != 0) return rc;
  }
  if (encrypted && RunAes(cipher_key.Bytes(), iv.Bytes(), true, private_blob, private_blob) != 0) return kBadPuttyKey;

  core::ByteStream mac_input;
  core::Buffer mac, mac_hex;
  static constexpr uint8_t kNoKey = 0;
  rc = MacInput(type_name.Data(), encryption.Data(), comment.Data(), public_blob, private_blob, mac_input);
  if (rc == 0) {
    rc = crypto::ComputeHmac(version == 3 ? crypto::kEngineHmacSha256 : crypto::kEngineHmacSha1,
                             mac_key.IsEmpty() ? &kNoKey : mac_key.Bytes(), mac_key.Length(), mac_input.Data(),
                             mac_input.Length(), mac);
  }
  if (rc == 0) rc = core::AppendHexLower(mac_hex, mac.Data(), mac.Length());
  if (rc != 0) return rc;
  if (expected_mac.Length() != mac_hex.Length() || mac_hex.EqualsNoCase(expected_mac.Data()) == 0) {
    if (encrypted) SetText(error_text, kWrongPassword);
    return kBadPuttyKey;
  }
  rc = ReadKeyFields(key, public_blob, private_blob, error_text);
  if (rc == 0) rc = key.AddAttribute("Comment", comment.Data());
  return rc;
}

int WritePuTTYKeyFile(crypto::KeyRecord& key, const char* password, core::BufferCore& out) {
  if (password == nullptr) password = "";
  const char* type_name = SshKeyTypeName(key);
  if (type_name == nullptr) return kNoPuttyForm;
  const bool encrypted = *password != '\0';
  const char* encryption = encrypted ? "aes256-cbc" : "none";
  core::Buffer comment;
  const int32_t index = key.AttributeNames.IndexOf("Comment", 0);
  int rc = index >= 0 ? comment.SetString(key.AttributeValues.Item(index)) : 0;
  if (rc == 0 && comment.IsEmpty()) rc = DefaultComment(key, comment);
  if (rc != 0) return rc;

  core::ByteStream public_stream, private_stream;
  rc = AppendSshPublicKeyBlob(key, public_stream);
  if (rc == kBadSshKey) return kNoPuttyForm;
  if (rc == 0) rc = PrivateBlob(key, private_stream);
  if (rc != 0) return rc;
  core::Buffer public_blob;
  core::SecureBuffer private_blob;
  rc = public_blob.SetData(public_stream.Length(), public_stream.Data());
  if (rc == 0) rc = private_blob.SetData(private_stream.Length(), private_stream.Data());
  if (rc == 0 && encrypted && private_blob.Length() % 16 != 0) {
    core::Buffer digest;
    rc = crypto::ComputeHashByName("SHA1", private_blob.Data(), private_blob.Length(), digest);
    if (rc == 0) rc = private_blob.Append(digest.Data(), 16 - private_blob.Length() % 16);
  }
  core::SecureBuffer mac_key;
  core::ByteStream mac_input;
  core::Buffer mac;
  if (rc == 0) rc = Sha1Of(kMacLabel, kMacLabelLength, password, mac_key);
  if (rc == 0) rc = MacInput(type_name, encryption, comment.Data(), public_blob, private_blob, mac_input);
  if (rc == 0) {
    rc = crypto::ComputeHmac(crypto::kEngineHmacSha1, mac_key.Bytes(), mac_key.Length(), mac_input.Data(),
                             mac_input.Length(), mac);
  }
  if (rc == 0 && encrypted) {
    static constexpr uint8_t kZeroIv[16] = {};
    core::SecureBuffer cipher_key;
    rc = Version2CipherKey(password, cipher_key);
    if (rc == 0) rc = RunAes(cipher_key.Bytes(), kZeroIv, false, private_blob, private_blob);
  }
  core::Buffer text;
  if (rc == 0) {
    rc = text.Format("PuTTY-User-Key-File-2: %s\r\nEncryption: %s\r\nComment: %s", type_name, encryption,
                     comment.Data()) >= 0 ? 0 : core::kOutOfMemory;
  }
  if (rc == 0) rc = AppendBase64Lines(text, "Public-Lines", public_blob.Data(), public_blob.Length());
  if (rc == 0) rc = AppendBase64Lines(text, "Private-Lines", private_blob.Data(), private_blob.Length());
  if (rc == 0) rc = text.AppendCString("\r\nPrivate-MAC: ");
  if (rc == 0) rc = core::AppendHexLower(text, mac.Data(), mac.Length());
  if (rc == 0) rc = text.AppendCString("\r\n");
  return rc == 0 ? out.Assign(text) : rc;
}

namespace test {
void SetPpkArgon2Limits(int64_t max_memory_kib, int64_t max_work) {
  g_max_memory_kib = max_memory_kib > 0 ? max_memory_kib : kPpkMaxArgon2MemoryKib;
  g_max_work = max_work > 0 ? max_work : kPpkMaxArgon2Work;
}
}  // namespace test

}  // namespace velmora::keystore
