#include "keystore/openssh_key.h"

#include <atomic>
#include <cstring>
#include <initializer_list>

#include "core/byte_stream.h"
#include "crypto/cipher/cipher_params.h"
#include "crypto/objects/cipher_selection.h"
#include "crypto/objects/key_creation.h"
#include "crypto/objects/password_kdf.h"
#include "crypto/rand/random.h"
#include "keystore/ssh_public_key.h"
#include "pki/pem_armour.h"

namespace velmora::keystore {

namespace {

constexpr int32_t kMagicLength = 15;  // "openssh-key-v1" and its zero
constexpr char kMagic[kMagicLength + 1] = "openssh-key-v1";
constexpr int32_t kWriteRounds = 16;
constexpr int32_t kSaltLength = 16;
constexpr int32_t kIvLength = 16;

std::atomic<int64_t> g_max_rounds{kOpenSshMaxRounds};

bool StartsWith(const core::BufferCore& text, const char* literal) {
  const auto n = static_cast<int32_t>(std::strlen(literal));
  return text.Length() >= n && std::memcmp(text.Data(), literal, static_cast<size_t>(n)) == 0;
}

// LowerAscii lower-cases A to Z in place.
void LowerAscii(core::BufferCore& text) {
  for (int32_t i = 0; i < text.Length(); ++i) {
    if (text.Data()[i] >= 'A' && text.Data()[i] <= 'Z') text.Data()[i] = static_cast<char>(text.Data()[i] + 32);
  }
}

// CipherForName gives mode and key length of an AES name of the "aesNNN-cbc" / "aesNNN-ctr" kind; false
// for another name.
bool CipherForName(const core::BufferCore& name_in, int32_t& mode, int32_t& key_length) {
  core::Buffer name;
  if (name.Assign(name_in) != 0) return false;
  LowerAscii(name);
  if (!StartsWith(name, "aes")) return false;
  if (std::strstr(name.Data(), "-cbc") != nullptr) {
    mode = crypto::kModeCbc;
  } else if (std::strstr(name.Data(), "-ctr") != nullptr) {
    mode = crypto::kModeCtr;
  } else {
    return false;
  }
  key_length = StartsWith(name, "aes128") ? 16 : StartsWith(name, "aes192") ? 24 : 32;
  return true;
}

int RunAes(const core::BufferCore& key_iv, int32_t key_length, int32_t mode, bool decrypt, const uint8_t* data,
           int32_t length, core::BufferCore& out) {
  component::CryptoComponent component;
  const crypto::CipherInit init{key_iv.Bytes(), key_length, key_iv.Bytes() + key_length, kIvLength,
                                decrypt ? 1 : 0, mode, crypto::kPaddingNone, ""};
  int rc = crypto::SelectCipherProvider(component, crypto::kEngineCipherAes, init, crypto::kProviderDefault);
  if (rc != 0) return rc;
  int32_t consumed = length;
  crypto::CipherObject* cipher = crypto::HeldCipher(component);
  return decrypt ? cipher->Decrypt(data, 0, &consumed, out, 1) : cipher->Encrypt(data, 0, &consumed, out, 1);
}

// SkipPublicBlob steps over the fields of the public key blob by its key type name.
int SkipPublicBlob(core::ByteStream& stream) {
  core::Buffer name, field;
  if (stream.ReadString(name) != 0) return kBadOpenSshKey;
  int32_t fields = 0;
  if (name.EqualsNoCase("ssh-rsa")) fields = 2;
  if (name.EqualsNoCase("ssh-dss")) fields = 4;
  if (StartsWith(name, "ecdsa-sha2-")) fields = 2;
  if (name.EqualsNoCase("ssh-ed25519") || name.EqualsNoCase("ssh-ed448")) fields = 1;
  for (int32_t i = 0; i < fields; ++i) {
    if (stream.ReadString(field) != 0) return kBadOpenSshKey;
  }
  return 0;
}

// ReadPrivateFields reads the key of the private section after the check integers.
int ReadPrivateFields(core::ByteStream& stream, crypto::KeyRecord& key) {
  core::Buffer name;
  if (stream.ReadString(name) != 0) return kBadOpenSshKey;
  if (name.EqualsNoCase("ssh-rsa")) {
    key.Type = crypto::kKeyRsa;
    crypto::RsaKeyParams& rsa = key.RsaParams;
    for (core::BufferCore* field : std::initializer_list<core::BufferCore*>{(&rsa.Modulus), &rsa.Exponent,
                                    (&rsa.D), &rsa.InverseQ, &rsa.P, &rsa.Q}) {
      if (stream.ReadString(*field) != 0) return kBadOpenSshKey;
    }
    return crypto::CompleteRsaPrivateKey(rsa, crypto::kProviderDefault) == 0 ? 0 : kBadOpenSshKey;
  }
  core::Buffer canonical;
  const bool ed25519 = name.EqualsNoCase("ssh-ed25519") != 0, ed448 = name.EqualsNoCase("ssh-ed448") != 0;
  if (name.EqualsNoCase("ssh-dss")) {
    if (canonical.SetString("ssh-dss") != 0) return kBadOpenSshKey;
  } else if (ed25519 || ed448) {
    if (canonical.SetString(ed25519 ? "ssh-ed25519" : "ssh-ed448") != 0) return kBadOpenSshKey;
  } else if (StartsWith(name, "ecdsa-sha2-")) {
    if (canonical.Assign(name) != 0) return kBadOpenSshKey;
  } else {
    return kBadOpenSshKey;
  }
  if (ReadSshPublicKeyFields(stream, canonical, key) != 0) return kBadOpenSshKey;
  core::BufferCore& secret = key.Type == crypto::kKeyDsa ? key.DsaParams.X
                             : key.Type == crypto::kKeyEc ? key.EcParams.D
                                                          : key.EdParams.PrivateKey;
  if (stream.ReadString(secret) != 0) return kBadOpenSshKey;
  if (key.Type != crypto::kKeyEdwards) return 0;
  core::Buffer comment;
  crypto::EcKeyParams& ed = key.EdParams;
  if (stream.ReadString(comment) != 0) return kBadOpenSshKey;
  if (key.AddAttribute("Comment", comment.Data()) != 0) return kBadOpenSshKey;
  // The private octets are followed by the public ones; a shorter field is no key.
  const int32_t size = ed25519 ? 32 : 57;
  if (ed.PrivateKey.Length() < size) return kBadOpenSshKey;
  return ed.PrivateKey.Resize(size) == 0 ? 0 : kBadOpenSshKey;
}

// SectionEndsWell is true when what follows the key fields is the comment (read here for the key types
// that keep none) and then only the padding bytes 1, 2, 3, ...: a section cut short or trailed by other
// bytes is no key.
bool SectionEndsWell(core::ByteStream& section, const crypto::KeyRecord& key) {
  core::Buffer comment;
  if (key.Type != crypto::kKeyEdwards && section.ReadString(comment) != 0) return false;
  for (int32_t at = section.Cursor(), pad = 1; at < section.Length(); ++at, ++pad) {
    if (section.ByteAt(at) != (pad & 0xFF)) return false;
  }
  return true;
}

// KeyFromParams puts a copy of the one parameter set given into key.
int KeyFromParams(const crypto::DsaKeyParams* dsa, const crypto::RsaKeyParams* rsa, const crypto::EcKeyParams* ec,
                  crypto::KeyRecord& key) {
  if (rsa != nullptr) {
    key.Type = crypto::kKeyRsa;
    return key.RsaParams.CopyFrom(*rsa);
  }
  if (dsa != nullptr) {
    key.Type = crypto::kKeyDsa;
    return key.DsaParams.CopyFrom(*dsa);
  }
  if (ec == nullptr) return kNoOpenSshForm;
  if (ec->KeyType == 3 || ec->KeyType == 4) {
    key.Type = crypto::kKeyEdwards;
    return key.EdParams.CopyFrom(*ec, true);
  }
  key.Type = crypto::kKeyEc;
  return key.EcParams.CopyFrom(*ec, true);
}

// AppendPrivateFields writes the key fields of the private section, the name first.
int AppendPrivateFields(crypto::KeyRecord& key, core::ByteStream& section) {
  int rc = section.AppendCString(SshKeyTypeName(key));
  if (rc != 0) return rc;
  if (key.Type == crypto::kKeyRsa) {
    crypto::RsaKeyParams rsa;
    rc = key.GetRsaParams(rsa, false);
    for (const core::BufferCore* field : std::initializer_list<const core::BufferCore*>{(&rsa.Modulus), &rsa.Exponent,
                                          (&rsa.D), &rsa.InverseQ, &rsa.P,
                                          &rsa.Q}) {
      if (rc == 0) rc = AppendSshMpint(section, *field);
    }
    return rc;
  }
  if (key.Type == crypto::kKeyDsa) {
    crypto::DsaKeyParams dsa;
    rc = key.GetDsaParams(dsa, false);
    for (const core::BufferCore* field : std::initializer_list<const core::BufferCore*>{&dsa.P, &dsa.Q, &dsa.G, &dsa.Y, (&dsa.X)}) {
      if (rc == 0) rc = AppendSshMpint(section, *field);
    }
    return rc;
  }
  // The public blob after its name holds exactly the public fields of an EC or EdDSA key.
  core::ByteStream blob;
  core::Buffer skipped;
  rc = AppendSshPublicKeyBlob(key, blob);
  core::ByteStream reader(blob.Data(), 0, blob.Length());
  if (rc == 0) rc = reader.ReadString(skipped);
  if (rc == 0) rc = section.Append(blob.Data() + reader.Cursor(), blob.Length() - reader.Cursor());
  crypto::EcKeyParams ec;
  if (rc == 0) rc = key.GetEcParams(ec, false);
  if (rc != 0) return rc;
  if (key.Type == crypto::kKeyEc) return AppendSshMpint(section, ec.D);
  core::SecureBuffer octets;
  rc = octets.Assign(ec.PrivateKey);
  if (rc == 0) rc = octets.Append(ec.PublicKey);
  return rc == 0 ? section.AppendString(octets.Data(), octets.Length()) : rc;
}

}  // namespace

int ReadOpenSshPrivateKey(crypto::KeyRecord& key, const void* body, uint32_t length, const char* password) {
  if (body == nullptr || length > 0x7FFFFFFFu) return kBadOpenSshKey;
  core::ByteStream stream(body, 0, static_cast<int32_t>(length));
  core::Buffer magic, cipher_name, kdf_name, salt, options;
  uint32_t option_length = 0, rounds = 0, key_count = 0, public_length = 0, section_length = 0;
  if (stream.Read(kMagicLength, magic) > 1) return kBadOpenSshKey;
  if (stream.ReadString(cipher_name) != 0 || stream.ReadString(kdf_name) != 0) return kBadOpenSshKey;
  const bool no_kdf = kdf_name.EqualsNoCase("none") != 0;
  if (!no_kdf) {
    if (stream.ReadUInt32BE(option_length) != 0 || stream.ReadString(salt) != 0 ||
        stream.ReadUInt32BE(rounds) != 0) {
      return kBadOpenSshKey;
    }
  } else if (stream.ReadString(options) != 0) {
    return kBadOpenSshKey;
  }
  if (stream.ReadUInt32BE(key_count) != 0 || stream.ReadUInt32BE(public_length) != 0) return kBadOpenSshKey;
  const bool bcrypt = kdf_name.EqualsNoCase("bcrypt") != 0;
  int32_t mode = 0, key_length = 0;
  core::SecureBuffer key_iv;
  if (bcrypt) {
    // The name and the round count are checked before the (slow) derivation.
    if (!CipherForName(cipher_name, mode, key_length)) return kBadOpenSshKey;
    if (rounds < 1 || rounds > g_max_rounds) return kBadOpenSshKey;
    core::SecureBuffer pass;
    if (pass.SetString(password != nullptr ? password : "") != 0) return kBadOpenSshKey;
    const int rc = crypto::BcryptPbkdfBytes(pass, salt.Bytes(), salt.Length(), static_cast<int32_t>(rounds),
                                            key_length + kIvLength, key_iv);
    if (rc == crypto::kNotAllowedInFips) return rc;
    if (rc != 0) return kBadOpenSshKey;
  }
  if (SkipPublicBlob(stream) != 0 || stream.ReadUInt32BE(section_length) != 0) return kBadOpenSshKey;
  // The section is read only within its stated length, and all of that length must be there.
  const auto count = static_cast<int32_t>(section_length > 0x7FFFFFFFu ? 0x7FFFFFFFu : section_length);
  if (stream.CheckAvailable(count) != 0) return kBadOpenSshKey;
  core::ByteStream reader(stream.Data() + stream.Cursor(), 0, count);
  int rc = reader.Length() == count ? 0 : kBadOpenSshKey;
  if (rc == 0 && bcrypt) {
    core::SecureBuffer plain;
    if (RunAes(key_iv, key_length, mode, true, reinterpret_cast<const uint8_t*>(reader.Data()), count, plain) != 0 ||
        reader.SetData(plain.Data(), 0, plain.Length()) != 0) {
      rc = kBadOpenSshKey;
    }
  }
  uint32_t check = 0;
  if (rc == 0 && (reader.ReadUInt32BE(check) != 0 || reader.ReadUInt32BE(check) != 0)) rc = kBadOpenSshKey;
  if (rc == 0) rc = ReadPrivateFields(reader, key);
  if (rc == 0 && !SectionEndsWell(reader, key)) rc = kBadOpenSshKey;
  // The plaintext section held the private key: wipe the copy before the store goes.
  if (reader.Length() > 0) std::memset(const_cast<char*>(reader.Data()), 0, static_cast<size_t>(reader.Length()));
  return rc;
}

int WriteOpenSshPrivateKey(core::BufferCore& out, const char* password, const char* comment,
                           const crypto::DsaKeyParams* dsa, const crypto::RsaKeyParams* rsa,
                           const crypto::EcKeyParams* ec, const char* cipher_name, int32_t rounds) {
  if (password == nullptr) password = "";
  if (comment == nullptr) comment = "";
  const bool encrypted = *password != '\0';
  if (encrypted && cipher_name != nullptr && *cipher_name != '\0') {
    core::Buffer name;
    if (name.SetString(cipher_name) != 0 || !name.EqualsNoCase("aes256-cbc")) return kNoOpenSshForm;
  }
  crypto::KeyRecord key;
  int rc = KeyFromParams(dsa, rsa, ec, key);
  if (rc != 0) return rc;
  if (SshKeyTypeName(key) == nullptr) return kNoOpenSshForm;

  core::ByteStream body, section;
  core::SecureBuffer key_iv;
  rc = body.Append(kMagic, kMagicLength);
  if (rc == 0) rc = body.AppendCString(encrypted ? "aes256-cbc" : "none");
  if (rc == 0) rc = body.AppendCString(encrypted ? "bcrypt" : "none");
  if (rc == 0 && encrypted) {
    uint8_t salt[kSaltLength];
    core::SecureBuffer pass;
    (void)crypto::GlobalRandomBytes(salt, 0, kSaltLength);
    const int32_t work_rounds = rounds < 1 ? kWriteRounds : rounds;
    rc = pass.SetString(password);
    if (rc == 0) rc = crypto::BcryptPbkdfBytes(pass, salt, kSaltLength, work_rounds, 32 + kIvLength, key_iv);
    if (rc == 0) rc = body.AppendUInt32BE(4 + kSaltLength + 4);
    if (rc == 0) rc = body.AppendString(salt, kSaltLength);
    if (rc == 0) rc = body.AppendUInt32BE(static_cast<uint32_t>(work_rounds));
  } else if (rc == 0) {
    rc = body.AppendString(nullptr, 0);
  }
  if (rc == 0) rc = body.AppendUInt32BE(1);
  core::ByteStream public_blob;
  if (rc == 0) rc = AppendSshPublicKeyBlob(key, public_blob);
  if (rc == kBadSshKey) rc = kNoOpenSshForm;
  if (rc == 0) rc = body.AppendString(public_blob.Data(), public_blob.Length());
  // The check integers come from the library's random source, below 32768 as written before.
  uint8_t random[2] = {};
  (void)crypto::GlobalRandomBytes(random, 0, 2);
  const uint32_t check = (uint32_t{random[0]} << 8 | random[1]) & 0x7FFFu;
  if (rc == 0) rc = section.AppendUInt32BE(check);
  if (rc == 0) rc = section.AppendUInt32BE(check);
  if (rc == 0) rc = AppendPrivateFields(key, section);
  if (rc == 0) rc = section.AppendCString(comment);
  for (uint8_t pad = 1, count = static_cast<uint8_t>(16 - section.Length() % 16); rc == 0 && pad <= count; ++pad) {
    rc = section.AppendByte(pad);
  }
  if (rc == 0 && encrypted) {
    core::SecureBuffer cipher_text;
    rc = RunAes(key_iv, 32, crypto::kModeCbc, false, reinterpret_cast<const uint8_t*>(section.Data()),
                section.Length(), cipher_text);
    if (rc == 0) rc = body.AppendString(cipher_text.Data(), cipher_text.Length());
  } else if (rc == 0) {
    rc = body.AppendString(section.Data(), section.Length());
  }
  // The plaintext section held the private key: wipe it before the store goes.
  if (section.Length() > 0) std::memset(const_cast<char*>(section.Data()), 0, static_cast<size_t>(section.Length()));
  return rc == 0 ? out.SetData(body.Length(), body.Data()) : rc;
}

int ArmourOpenSshPrivateKey(crypto::KeyRecord& key, const char* password, const char* comment, core::BufferCore& out) {
  core::SecureBuffer body;
  const crypto::RsaKeyParams* rsa = key.Type == crypto::kKeyRsa ? &key.RsaParams : nullptr;
  const crypto::DsaKeyParams* dsa = key.Type == crypto::kKeyDsa ? &key.DsaParams : nullptr;
  const crypto::EcKeyParams* ec = key.Type == crypto::kKeyEc       ? &key.EcParams
                                  : key.Type == crypto::kKeyEdwards ? &key.EdParams
                                                                    : nullptr;
  core::Buffer armour, text;
  int rc = WriteOpenSshPrivateKey(body, password, comment, dsa, rsa, ec, "aes256-cbc", kWriteRounds);
  if (rc == 0) rc = pki::PemEncode(body.Data(), body.Length(), "OPENSSH PRIVATE KEY", armour);
  // OpenSSH finds its armour lines only with LF ends: the CRs of the PEM armour go.
  for (int32_t i = 0; rc == 0 && i < armour.Length(); ++i) {
    if (armour.Data()[i] != '\r') rc = text.AppendByte(static_cast<uint8_t>(armour.Data()[i]));
  }
  return rc == 0 ? out.Assign(text) : rc;
}

namespace test {
void SetOpenSshMaxRounds(int64_t max_rounds) { g_max_rounds = max_rounds > 0 ? max_rounds : kOpenSshMaxRounds; }
}  // namespace test

}  // namespace velmora::keystore
