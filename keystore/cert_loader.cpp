#include "keystore/cert_loader.h"

#include <cstring>
#include <string>

#include "asn1/der_read.h"
#include "core/base64.h"
#include "core/file_helpers.h"
#include "core/hex.h"
#include "core/str_list.h"
#include "keystore/jwk.h"
#include "keystore/openssh_key.h"
#include "keystore/ppk.h"
#include "keystore/security_key.h"
#include "keystore/ssh2_key.h"
#include "keystore/ssh_public_key.h"
#include "keystore/xml_key.h"
#include "pki/certificate_codec.h"
#include "pki/key_der.h"
#include "pki/key_export.h"
#include "pki/pem_armour.h"
#include "pki/pem_legacy.h"
#include "pki/pfx.h"
#include "pki/pfx_builder.h"
#include "pki/pkcs7.h"

namespace velmora::keystore {
namespace {

constexpr char kWrongPasswordText[] = "The certificate store could not be opened (Wrong password).";
constexpr char kUnsupportedAlgorithmText[] = "The certificate store could not be opened (Unsupported Algorithm).";
constexpr char kFipsText[] = "The certificate store could not be opened (Unsupported certificate in FIPS mode).";
constexpr char kUnrecognisedText[] = "The certificate store could not be opened (0x2).";
constexpr char kWrongPuttyPasswordText[] = "Error decoding key: The specified password is not correct.";
// The PKCS #12 container a certificate block and its key block are packed into: AES-256-CBC.
constexpr char kRepackCipherOid[] = "2.16.840.1.101.3.4.1.42";

// Quote returns the first line of text, at most kLoaderQuoteLength characters of it.
std::string Quote(const char* text, int32_t length) {
  std::string quoted;
  for (int32_t i = 0; i < length && i < kLoaderQuoteLength; ++i) {
    if (text[i] == '\r' || text[i] == '\n' || text[i] == '\0') break;
    quoted.push_back(text[i]);
  }
  return quoted;
}

// Load is one run of the loader: the handle, the caller's arguments and what the run found so far.
struct Load {
  CertStoreHandle& handle;
  const char* password;
  core::BufferCore* log;
  core::BufferCore* error_text;
  bool is_file = false;
  int32_t kind = 0;
  int first_failure = 0;

  void Log(const char* line) const {
    if (log != nullptr) (void)log->AppendCString(line);
  }
  void LogQuoted(const char* before, const char* text, int32_t length, const char* after) const {
    if (log == nullptr) return;
    (void)log->AppendCString(before);
    (void)log->AppendCString(Quote(text, length).c_str());
    (void)log->AppendCString(after);
  }
  void SetText(const char* text) const {
    if (error_text != nullptr) (void)error_text->SetString(text);
  }
  void Remember(int code) {
    if (first_failure == 0) first_failure = code;
  }
  void SetKind(int32_t file_kind, int32_t data_kind) { kind = is_file ? file_kind : data_kind; }
};

// ---- PEM blocks -------------------------------------------------------------------------------------

// ReadRsaPublicKey reads a DER SEQUENCE whose first INTEGER is the modulus and second the exponent.
int ReadRsaPublicKey(const core::BufferCore& der, crypto::KeyRecord& key) {
  core::Buffer content;
  uint8_t tag = 0;
  int rc = pki::DerReadOctets(der, 0, content, &tag);
  if (rc == core::kOk && tag != 0x30) rc = 446;
  if (rc == core::kOk) rc = pki::DerReadUnsignedInteger(content, 0, key.RsaParams.Modulus);
  if (rc == core::kOk) rc = pki::DerReadUnsignedInteger(content, 1, key.RsaParams.Exponent);
  if (rc == core::kOk) key.Type = crypto::kKeyRsa;
  return rc;
}

// ReadDsaPublicKey reads a DER SEQUENCE of P, Q, G and Y.
int ReadDsaPublicKey(const core::BufferCore& der, crypto::KeyRecord& key) {
  core::Buffer content;
  uint8_t tag = 0;
  int rc = pki::DerReadOctets(der, 0, content, &tag);
  if (rc == core::kOk && tag != 0x30) rc = 446;
  crypto::DsaKeyParams& p = key.DsaParams;
  core::BufferCore* fields[] = {&p.P, &p.Q, &p.G, &p.Y};
  for (int32_t i = 0; rc == core::kOk && i < 4; ++i) rc = pki::DerReadUnsignedInteger(content, i, *fields[i]);
  if (rc == core::kOk) key.Type = crypto::kKeyDsa;
  return rc;
}

// ReadRsaPrivateKey reads PKCS #1, else PKCS #8 (encrypted when a password is given); the PKCS #1 code
// when both fail.
int ReadRsaPrivateKey(const core::BufferCore& body, const char* password, crypto::KeyRecord& key) {
  const int rc = pki::ReadRsaPrivateKeyDer(body.Bytes(), body.Length(), key.RsaParams);
  if (rc == core::kOk) {
    key.Type = crypto::kKeyRsa;
    return rc;
  }
  crypto::KeyRecord pkcs8;
  const bool encrypted = password != nullptr && password[0] != '\0';
  if (pki::LoadPkcs8PrivateKey(pkcs8, body.Bytes(), body.Length(), false, encrypted, password) == core::kOk) {
    return key.CopyFrom(pkcs8);
  }
  return rc;
}

enum class Outcome { kAdded, kFailed, kSkipped, kEnd };

// TagNeedsLegacyStep: the traditional key tags, the security key block and any tag the loader does not
// know pass the legacy decryption step first.
bool TagNeedsLegacyStep(const std::string& tag) {
  static const char* const kKnownOthers[] = {"PKCS7",       "PKCS #7 SIGNED DATA", "CERTIFICATE",
                                             "SSH2 ENCRYPTED PRIVATE KEY", "SSH2 PUBLIC KEY",
                                             "OPENSSH PRIVATE KEY",        "ENCRYPTED PRIVATE KEY",
                                             "PRIVATE KEY",                "PUBLIC KEY"};
  for (const char* other : kKnownOthers) {
    if (tag == other) return false;
  }
  return true;
}

// DecryptLegacyBody opens a body whose header names a "DEK-Info" cipher (a body without one stays as it
// is): kOk to go on, a code that ends the load (*end set), or a code for the block to be skipped.
int DecryptLegacyBody(Load& load, const char* header_text, core::BufferCore& body, bool* end) {
  *end = false;
  core::StrList fields;
  if (const int rc = pki::ParseHeaderFields(header_text, fields); rc != core::kOk) {
    *end = true;
    return rc;
  }
  int32_t index = -1;
  for (int32_t i = 0; i + 1 < fields.Count(); i += 2) {
    if (std::strcmp(fields.Item(i), "DEK-Info") == 0) {
      index = i + 1;
      break;
    }
  }
  if (index < 0) return core::kOk;
  const std::string value(fields.Item(index), static_cast<size_t>(fields.ItemLength(index)));
  const size_t comma = value.find(',');
  const std::string cipher = value.substr(0, comma);
  core::Buffer iv;
  if (comma != std::string::npos) {
    if (const int rc = core::HexDecodeAppend(iv, value.c_str() + comma + 1); rc != core::kOk) {
      *end = true;
      return rc;
    }
  }
  int rc;
  if (cipher == "DES-CBC" || cipher == "RC2-CBC") {
    // Their IV would come from the key derivation, while DEK-Info carries one: not read here.
    rc = pki::kUnknownPemCipher;
  } else {
    pki::PemKeyDerivation derivation;
    derivation.password = load.password;
    derivation.iv = iv.Bytes();
    derivation.iv_length = iv.Length();
    rc = pki::DecryptPemBody(cipher.c_str(), body, derivation);
  }
  if (rc == pki::kUnknownPemCipher) {
    load.SetText(kUnsupportedAlgorithmText);
    *end = true;
    return kStoreNotOpened;
  }
  if (rc == kLoaderFipsRefused) {
    load.SetText(kFipsText);
    *end = true;
    return kLoaderFipsRefused;
  }
  if (rc != core::kOk) load.Log("Failed to decrypt PEM data.\r\n");
  return rc;
}

// PemState is what the PEM path keeps across blocks.
struct PemState {
  Certificate certificate;
  bool has_certificate = false;
  crypto::KeyRecord key;
  bool has_key = false;
};

// AddKey appends a key read from a block; keep marks the private-key tags whose first key is kept.
int AddKeyEntry(Load& load, PemState& state, crypto::KeyRecord& key, bool keep) {
  if (const int rc = load.handle.AddKey(key); rc != core::kOk) return rc;
  if (keep && !state.has_key) {
    if (const int rc = state.key.CopyFrom(key); rc != core::kOk) return rc;
    state.has_key = true;
  }
  return core::kOk;
}

// ReadPemBlock reads one block by its tag. Returns the code of an append or of the end of the load in
// *code with kEnd; a reader failure with kFailed.
Outcome ReadPemBlock(Load& load, PemState& state, const std::string& tag, core::BufferCore& body,
                     const core::BufferCore& input, int* code) {
  *code = core::kOk;
  const auto keyed = [&](const char* name, int rc, crypto::KeyRecord& key, bool keep) {
    std::string line = std::string(rc == core::kOk ? "Successfully" : "Failed to") + " parse";
    line += rc == core::kOk ? "d PEM(" : " PEM(";
    line += name;
    line += ") as KeyStore.\r\n";
    if (rc != core::kOk) {
      load.Log(line.c_str());
      *code = rc;
      return Outcome::kFailed;
    }
    if (const int add = AddKeyEntry(load, state, key, keep); add != core::kOk) {
      *code = add;
      return Outcome::kEnd;
    }
    load.SetKind(kKindCertificateFile, kKindCertificateData);
    load.Log(line.c_str());
    return Outcome::kAdded;
  };

  if (tag == "PKCS7" || tag == "PKCS #7 SIGNED DATA") {
    SignedDataEntry entry;
    const int rc = pki::LoadP7b(body.Bytes(), body.Length(), entry);
    if (rc != core::kOk) {
      load.Log("Failed to parse PEM(PKCS7) as P7B certificate.\r\n");
      *code = rc;
      return Outcome::kFailed;
    }
    int add = pki::OrderCertificateChain(entry);
    if (add == core::kOk) add = load.handle.AddSignedData(entry);
    if (add != core::kOk) {
      *code = add;
      return Outcome::kEnd;
    }
    load.SetKind(kKindP7bFile, kKindP7bData);
    load.Log("Successfully parsed PEM(PKCS7) as P7B certificate.\r\n");
    return Outcome::kAdded;
  }
  if (tag == "CERTIFICATE") {
    Certificate certificate;
    const int rc = pki::ParseCertificate(body.Bytes(), body.Length(), certificate);
    if (rc != core::kOk) {
      load.Log("Failed to parse PEM(CERTIFICATE) as X509 certificate.\r\n");
      *code = rc;
      return Outcome::kFailed;
    }
    int add = load.handle.AddCertificate(certificate);
    if (add == core::kOk && !state.has_certificate) {
      add = pki::CopyCertificate(state.certificate, certificate);
      state.has_certificate = add == core::kOk;
    }
    if (add != core::kOk) {
      *code = add;
      return Outcome::kEnd;
    }
    load.SetKind(kKindCertificateFile, kKindCertificateData);
    load.Log("Successfully parsed PEM(CERTIFICATE) as X509 certificate.\r\n");
    return Outcome::kAdded;
  }
  crypto::KeyRecord key;
  if (tag == "SSH2 ENCRYPTED PRIVATE KEY") {
    return keyed(tag.c_str(), ReadSsh2PrivateKey(key, body.Bytes(), body.Length(), load.password), key, false);
  }
  if (tag == "SSH2 PUBLIC KEY") {
    return keyed(tag.c_str(), ReadSshPublicKeyBlob(body.Bytes(), body.Length(), key), key, false);
  }
  if (tag == "OPENSSH PRIVATE KEY") {
    const int rc = ReadOpenSshPrivateKey(key, body.Bytes(), static_cast<uint32_t>(body.Length()), load.password);
    return keyed(tag.c_str(), rc, key, false);
  }
  if (tag == "ENCRYPTED PRIVATE KEY" || tag == "PRIVATE KEY") {
    const int rc = pki::LoadPkcs8PrivateKey(key, body.Bytes(), body.Length(), false, tag == "ENCRYPTED PRIVATE KEY",
                                            load.password);
    return keyed("PRIVATE KEY", rc, key, true);
  }
  if (tag == "PUBLIC KEY") {
    return keyed(tag.c_str(), pki::LoadPublicKeyDer(key, body.Bytes(), body.Length()), key, false);
  }
  if (tag == "RSA PRIVATE KEY") return keyed(tag.c_str(), ReadRsaPrivateKey(body, load.password, key), key, true);
  if (tag == "DSA PRIVATE KEY") {
    int rc = pki::ReadDsaPrivateKeyDer(body.Bytes(), body.Length(), key.DsaParams);
    if (rc == core::kOk) key.Type = crypto::kKeyDsa;
    return keyed(tag.c_str(), rc, key, true);
  }
  if (tag == "EC PRIVATE KEY") {
    int rc = pki::ReadEcPrivateKeyDer(body.Bytes(), body.Length(), key.EcParams);
    if (rc == core::kOk) key.Type = crypto::kKeyEc;
    return keyed(tag.c_str(), rc, key, true);
  }
  if (tag == "RSA PUBLIC KEY") return keyed(tag.c_str(), ReadRsaPublicKey(body, key), key, false);
  if (tag == "DSA PUBLIC KEY") return keyed(tag.c_str(), ReadDsaPublicKey(body, key), key, false);
  if (tag == "SECURITY KEY") {
    CertificateWithKey record;
    int rc = LoadSecurityKey(record, input.Data(), load.password);
    if (rc == core::kOk) rc = load.handle.AddCertificateWithKey(record);
    if (rc != core::kOk) {
      *code = rc;
      return Outcome::kEnd;
    }
    load.kind = kKindSecurityKey;
    load.Log("Successfully parsed PEM(SECURITY KEY) as PKCS#11 Certificate.\r\n");
    return Outcome::kAdded;
  }
  load.LogQuoted("Unknown PEM tag (", tag.data(), static_cast<int32_t>(tag.size()), ") was ignored.\r\n");
  return Outcome::kSkipped;
}

// CertificateKeyMatches is true when key's public part equals the certificate's public key.
bool CertificateKeyMatches(PemState& state) {
  crypto::KeyRecord public_key;
  crypto::KeyRecord certificate_key;
  if (state.key.GetPublicKey(public_key) != core::kOk) return false;
  if (pki::CopyRecord(certificate_key, state.certificate.tbs.publicKey.key) != core::kOk) return false;
  return certificate_key.Equals(public_key);
}

int LoadPem(Load& load, const core::BufferCore& input, core::StrList& labels, core::StrList& headers,
            core::StrList& bodies) {
  load.Log("Parsed PEM input data successfully.\r\n");
  PemState state;
  for (int32_t i = 0; i < labels.Count(); ++i) {
    const std::string tag(labels.Item(i), static_cast<size_t>(labels.ItemLength(i)));
    load.LogQuoted("PEM tag: ", tag.data(), static_cast<int32_t>(tag.size()), "\r\n");
    core::Buffer body;
    if (const int rc = body.SetData(bodies.ItemLength(i), bodies.Item(i)); rc != core::kOk) return rc;
    if (TagNeedsLegacyStep(tag)) {
      bool end = false;
      const int rc = DecryptLegacyBody(load, headers.Item(i), body, &end);
      if (end) return rc;
      if (rc != core::kOk) {
        load.Remember(rc);
        continue;
      }
      // The public-key readers take the body as it was armoured.
      if ((tag == "RSA PUBLIC KEY" || tag == "DSA PUBLIC KEY") &&
          body.SetData(bodies.ItemLength(i), bodies.Item(i)) != core::kOk) {
        return core::kOutOfMemory;
      }
    }
    int code = core::kOk;
    switch (ReadPemBlock(load, state, tag, body, input, &code)) {
      case Outcome::kEnd: return code;
      case Outcome::kFailed: load.Remember(code); break;
      case Outcome::kAdded:
      case Outcome::kSkipped: break;
    }
  }

  if (labels.Count() == 2 && state.has_certificate && state.has_key && CertificateKeyMatches(state)) {
    core::Buffer container;
    int rc = pki::BuildPfx(state.certificate, load.password, state.key, kRepackCipherOid, kRepackCipherOid, container);
    if (rc == core::kOk) {
      rc = LoadCertificateFromInput(load.handle, container.Data(), container.Length(), false, load.password, nullptr,
                                    nullptr, nullptr, nullptr);
    }
    if (rc != core::kOk) return rc;
    load.SetKind(kKindCertificateFile, kKindCertificateData);
  } else if (state.has_certificate && state.has_key) {
    bool found = false;
    if (load.handle.PairKeysWithCertificates(&found) == core::kOk && found) {
      load.SetKind(kKindCertificateFile, kKindCertificateData);
    }
  }

  if (load.handle.entries.Count() > 0) return core::kOk;
  switch (load.first_failure) {
    case core::kOk:
      // Nothing was recognised: not an empty store.
      load.SetText(kUnrecognisedText);
      return kStoreNotOpened;
    case kLoaderFipsRefused:
      load.SetText(kFipsText);
      return kLoaderFipsRefused;
    case kLoaderUnsupportedAlgorithm:
      if (load.error_text == nullptr) return kLoaderUnsupportedAlgorithm;
      load.SetText(kUnsupportedAlgorithmText);
      return kStoreNotOpened;
    default: return load.first_failure;
  }
}

// ---- Binary and text input --------------------------------------------------------------------------

// SplitSshLines splits a text of "ssh-" lines at its line ends into trimmed, non-empty lines; any other
// text stays one line.
int SplitSshLines(const core::BufferCore& input, core::StrList& lines) {
  std::string text(input.Data(), static_cast<size_t>(input.Length()));
  if (text.rfind("ssh-", 0) != 0 || text.find_first_of("\r\n") == std::string::npos) {
    return lines.Add(text.data(), static_cast<int32_t>(text.size()));
  }
  for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.replace(at, 2, "\n");
  for (char& c : text) {
    if (c == '\r') c = '\n';
  }
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    size_t first = start;
    size_t last = end;
    while (first < last && (text[first] == ' ' || text[first] == '\t')) ++first;
    while (last > first && (text[last - 1] == ' ' || text[last - 1] == '\t')) --last;
    if (last > first) {
      if (const int rc = lines.Add(text.data() + first, static_cast<int32_t>(last - first)); rc != core::kOk) return rc;
    }
    start = end + 1;
  }
  return core::kOk;
}

int LoadBinaryOrText(Load& load, const core::BufferCore& input) {
  // A buffer keeps a zero after its bytes, so the text readers take input as a C string.
  core::Buffer bytes;
  if (const int rc = bytes.Assign(input); rc != core::kOk) return rc;
  if (core::IsBase64Text(input.Data(), input.Length())) {
    if (const int rc = core::Base64Decode(bytes, 0, 0, 1); rc != core::kOk) return rc;
  }

  {
    Pfx pfx;
    const int rc = Pfx::Load(bytes.Bytes(), bytes.Length(), load.password, pfx);
    if (rc == core::kOk) {
      if (const int add = load.handle.AddPfx(pfx); add != core::kOk) return add;
      load.SetKind(kKindPfxFile, kKindPfxData);
      load.Log("Successfully parsed binary ASN.1 input data as PFX certificate.\r\n");
      return core::kOk;
    }
    if (rc == pki::kPfxMacMismatch) {
      load.SetText(kWrongPasswordText);
      return kStoreNotOpened;
    }
    if (rc == kLoaderFipsRefused) {
      load.SetText(kFipsText);
      return kLoaderFipsRefused;
    }
    load.Log("Failed to parse binary ASN.1 input data as PFX certificate.\r\n");
    load.Remember(rc);
  }
  {
    Certificate certificate;
    if (pki::ParseCertificate(bytes.Bytes(), bytes.Length(), certificate) == core::kOk) {
      load.SetKind(kKindCertificateFile, kKindCertificateData);
      load.Log("Successfully parsed binary ASN.1 input data as X509 certificate.\r\n");
      return load.handle.AddCertificate(certificate);
    }
    load.Log("Failed to parse binary ASN.1 input data as X509 certificate.\r\n");
  }
  {
    SignedDataEntry entry;
    if (pki::LoadP7b(bytes.Bytes(), bytes.Length(), entry) == core::kOk) {
      int rc = pki::OrderCertificateChain(entry);
      if (rc == core::kOk) rc = load.handle.AddSignedData(entry);
      if (rc != core::kOk) return rc;
      load.SetKind(kKindP7bFile, kKindP7bData);
      load.Log("Successfully parsed binary ASN.1 input data as P7B certificate.\r\n");
      return core::kOk;
    }
    load.Log("Failed to parse binary ASN.1 input data as P7B certificate.\r\n");
  }
  {
    pki::CertificateList certificates;
    core::PtrArray<crypto::KeyRecord> keys;
    if (ReadXmlKey(input.Data(), certificates, keys) == core::kOk) {
      load.SetKind(kKindXmlFile, kKindXmlData);
      for (int32_t i = 0; i < certificates.Count(); ++i) {
        if (const Certificate* c = certificates.Get(i); c != nullptr) {
          if (const int rc = load.handle.AddCertificate(*c); rc != core::kOk) return rc;
        }
      }
      for (int32_t i = 0; i < keys.Count(); ++i) {
        if (const crypto::KeyRecord* k = keys.Get(i); k != nullptr) {
          if (const int rc = load.handle.AddKey(*k); rc != core::kOk) return rc;
        }
      }
      load.Log("Successfully parsed ASCII input data as XML.\r\n");
      return core::kOk;
    }
    load.Log("Failed to parse ASCII input data as XML.\r\n");
  }
  {
    crypto::KeyRecord key;
    core::Buffer reader_text;
    const int rc = ReadPuTTYKey(key, input.Data(), input.Length(), load.password, &reader_text);
    if (rc == core::kOk) {
      if (const int add = load.handle.AddKey(key); add != core::kOk) return add;
      load.SetKind(kKindPuttyFile, kKindPuttyData);
      load.Log("Successfully parsed ASCII input data as PPK.\r\n");
      return core::kOk;
    }
    load.Log("Failed to parse ASCII input data as PPK.\r\n");
    const std::string said(reader_text.Data(), static_cast<size_t>(reader_text.Length()));
    if (said == kWrongPuttyPasswordText || rc == kLoaderFipsRefused) {
      load.SetText(said.c_str());
      return rc;
    }
  }
  {
    KeyWithCertificates record;
    if (LoadJwk(record, input.Data()) == core::kOk) {
      if (const int rc = load.handle.AddKeyWithCertificates(record); rc != core::kOk) return rc;
      load.SetKind(kKindJwkFile, kKindJwkData);
      load.Log("Successfully parsed ASCII input data as JWK.\r\n");
      return core::kOk;
    }
    load.Log("Failed to parse ASCII input data as JWK.\r\n");
  }
  {
    core::StrList lines;
    if (const int rc = SplitSshLines(input, lines); rc != core::kOk) return rc;
    for (int32_t i = 0; i < lines.Count(); ++i) {
      crypto::KeyRecord key;
      if (ReadSshPublicKeyBlob(lines.Item(i), lines.ItemLength(i), key) == core::kOk) {
        if (const int rc = load.handle.AddKey(key); rc != core::kOk) return rc;
        load.SetKind(kKindSshPublicKeyFile, kKindSshPublicKeyData);
        load.Log("Successfully parsed ASCII input data as Openssh public key.\r\n");
      } else {
        load.Log("Failed to parse ASCII input data as Openssh public key.\r\n");
      }
    }
  }

  if (load.handle.entries.Count() > 0) return core::kOk;
  switch (load.first_failure) {
    case kLoaderFipsRefused: load.SetText(kFipsText); return kLoaderFipsRefused;
    case kLoaderUnsupportedAlgorithm: load.SetText(kUnsupportedAlgorithmText); return kLoaderUnsupportedAlgorithm;
    default: load.SetText(kUnrecognisedText); return kStoreNotOpened;
  }
}

}  // namespace

int LoadCertificateFromInput(CertStoreHandle& handle, const void* data, int32_t length, bool may_be_file,
                             const char* password, core::BufferCore* log, int32_t* is_file, int32_t* detected_kind,
                             core::BufferCore* error_text) {
  handle.record.selected_index = -1;
  handle.record.store_kind = 0;
  if (const int rc = handle.entries.Clear(); rc != core::kOk) return rc;
  if (is_file != nullptr) *is_file = 0;
  if (detected_kind != nullptr) *detected_kind = 0;
  const char* bytes = static_cast<const char*>(data);
  if (bytes == nullptr) length = 0;
  if (length < 0) length = static_cast<int32_t>(std::strlen(bytes));

  Load load{handle, password != nullptr ? password : "", log, error_text};
  core::Buffer input;
  if (may_be_file && length > 0 && length < kLoaderMaxFileNameLength) {
    const std::string name(bytes, static_cast<size_t>(length));
    if (std::strlen(name.c_str()) == name.size() && core::FileExists(name.c_str())) {
      load.LogQuoted("Input data is a file: ", name.data(), length, "\r\n");
      if (const int rc = core::ReadFileToBuffer(name.c_str(), input); rc != core::kOk) return rc;
      load.is_file = true;
    }
  }
  if (!load.is_file) {
    if (const int rc = input.SetData(length, bytes); rc != core::kOk) return rc;
  }
  int rc;
  {
    core::StrList labels;
    core::StrList headers;
    core::StrList bodies;
    core::Buffer armour_error;
    if (pki::ParsePemArmour(input, labels, headers, bodies, armour_error) == core::kOk) {
      rc = LoadPem(load, input, labels, headers, bodies);
    } else {
      rc = LoadBinaryOrText(load, input);
    }
  }
  if (is_file != nullptr) *is_file = load.is_file ? 1 : 0;
  if (detected_kind != nullptr) *detected_kind = load.kind;
  return rc;
}

int LoadCertificate(CertStoreHandle& handle, const void* data, int32_t length, bool may_be_file, const char* password,
                    core::BufferCore* error_text, core::BufferCore* log) {
  int32_t is_file = 0;
  int32_t kind = 0;
  if (const int rc = LoadCertificateFromInput(handle, data, length, may_be_file, password, log, &is_file, &kind,
                                              error_text);
      rc != core::kOk) {
    return rc;
  }
  if (is_file != 0) {
    const std::string name(static_cast<const char*>(data),
                           length < 0 ? std::strlen(static_cast<const char*>(data)) : static_cast<size_t>(length));
    if (const int rc = handle.record.file_name.SetString(name.c_str()); rc != core::kOk) return rc;
    if (const int rc = core::ReadFileToBuffer(name.c_str(), handle.record.store_data); rc != core::kOk) return rc;
  } else {
    // A NUL-terminated input (negative length) leaves the store data empty.
    const int32_t kept = length < 0 || data == nullptr ? 0 : length;
    if (const int rc = handle.record.store_data.SetData(kept, data); rc != core::kOk) return rc;
  }
  handle.record.detected_kind = kind;
  return handle.record.password.SetString(password != nullptr ? password : "");
}

}  // namespace velmora::keystore
