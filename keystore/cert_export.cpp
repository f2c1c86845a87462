#include "keystore/cert_export.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/base64.h"
#include "keystore/jwk.h"
#include "keystore/openssh_key.h"
#include "keystore/ppk.h"
#include "keystore/ssh2_key.h"
#include "keystore/ssh_public_key.h"
#include "keystore/xml_key.h"
#include "pki/certificate_codec.h"
#include "pki/certificate_creation.h"
#include "pki/key_export.h"
#include "pki/pfx_builder.h"
#include "pki/pkcs7.h"

namespace velmora::keystore {
namespace {

constexpr int kUnsupportedKeyAlgorithm = 1424;

std::string Lower(const char* text) {
  std::string lower(text != nullptr ? text : "");
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// Export is one call: the handle's selection and the caller's arguments.
struct Export {
  CertStoreHandle& handle;
  const char* format;
  bool include_private;
  const char* password;
  const char* comment;
  const core::StrList& names;
  const core::StrList& values;
  const char* key_oid;
  const char* cert_oid;
  core::Buffer& out;
  core::BufferCore* error_text;

  Certificate* Cert() const { return handle.SelectedCertificate(); }
  KeyRecord* Key() const {
    KeyRecord* key = handle.SelectedKeyInfo();
    return key != nullptr && key->Type != crypto::kKeyNone ? key : nullptr;
  }
  bool HasPrivate() const { return handle.SelectedHasPrivateKey(); }

  int Refuse(const char* text) const {
    if (error_text != nullptr) (void)error_text->SetString(text);
    return kCannotExport;
  }
  int Unsupported() const {
    if (error_text != nullptr) {
      (void)error_text->SetString("Unsupported export format: ");
      (void)error_text->AppendCString(format != nullptr ? format : "");
      (void)error_text->AppendCString(".");
    }
    return kUnsupportedExportFormat;
  }
};

// LineWidth reads the item after "|" of a format name as the armour's line width.
uint32_t LineWidth(const std::string& format) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= format.size()) {
    size_t bar = format.find('|', start);
    if (bar == std::string::npos) bar = format.size();
    std::string item = format.substr(start, bar - start);
    const size_t first = item.find_first_not_of(" \t");
    const size_t last = item.find_last_not_of(" \t");
    if (first != std::string::npos) items.push_back(item.substr(first, last - first + 1));
    start = bar + 1;
  }
  if (items.size() < 2) return kDefaultSshLineWidth;
  char* end = nullptr;
  const long width = std::strtol(items[1].c_str(), &end, 10);
  return end != nullptr && *end == '\0' && width > 0 && width <= 4096 ? static_cast<uint32_t>(width)
                                                                     : kDefaultSshLineWidth;
}

int CertificatePem(Export& e) {
  Certificate* certificate = e.Cert();
  if (certificate == nullptr) return e.Refuse("Cannot export key to X509 format.");
  return pki::CertificateToPem(*certificate, e.out);
}

int Pkcs8(Export& e) {
  KeyRecord* key = e.Key();
  if (key == nullptr) return e.Unsupported();
  if (!e.include_private) return pki::WritePublicKeyPem(*key, e.out, true);
  if (!e.HasPrivate()) return e.Refuse("Cannot export public key to PKCS8 private key format.");
  return pki::WritePkcs8PrivateKeyPem(*key, e.password, e.out);
}

// Pkcs1 writes the traditional structure of an RSA or DSA key. The public one is DER unless armour is
// asked for, as it is when "PEM" comes here: text under the label the loader reads back.
int Pkcs1(Export& e, bool armour) {
  KeyRecord* key = e.Key();
  if (key == nullptr) return e.Unsupported();
  int rc;
  if (e.include_private) {
    if (!e.HasPrivate()) return e.Refuse("Cannot export public key to PKCS1/PEM private key format.");
    rc = pki::WriteTraditionalPrivateKeyPem(*key, e.password, e.out);
  } else {
    rc = pki::WriteTraditionalPublicKeyPem(*key, e.out, armour);
  }
  return rc == core::kOk ? rc : e.Refuse("Cannot export to PKCS#1.");
}

int PfxFormat(Export& e) {
  Certificate* certificate = e.Cert();
  KeyRecord* key = e.Key();
  int rc;
  if (certificate != nullptr && key != nullptr && e.HasPrivate()) {
    rc = pki::BuildPfx(*certificate, e.password, *key, e.key_oid, e.cert_oid, e.out);
  } else if (certificate == nullptr && key != nullptr) {
    // A bare key travels with a throwaway self-signed certificate of its public key.
    Certificate temporary;
    rc = pki::CreateTempSelfSignedCertificate(*key, temporary);
    if (rc == core::kOk) {
      rc = key->HasPrivatePart() ? pki::BuildPfx(temporary, e.password, *key, e.key_oid, e.cert_oid, e.out)
                                 : pki::BuildPfxForCertificate(temporary, e.password, e.key_oid, e.cert_oid, e.out);
    }
  } else if (certificate != nullptr) {
    rc = pki::BuildPfxForCertificate(*certificate, e.password, e.key_oid, e.cert_oid, e.out);
  } else {
    return e.Unsupported();
  }
  return rc == core::kOk ? rc : e.Refuse("Cannot export to PFX/PKCS#12.");
}

int P7b(Export& e) {
  if (SignedDataEntry* entry = e.handle.SelectedSignedDataEntry(); entry != nullptr) return e.out.Assign(entry->bytes);
  Certificate* certificate = e.Cert();
  if (certificate == nullptr) return e.Refuse("Cannot export key to P7B format.");
  pki::CertificateList list;
  Certificate* copy = pki::AddNew(list);
  if (copy == nullptr) return core::kOutOfMemory;
  if (const int rc = pki::CopyCertificate(*copy, *certificate); rc != core::kOk) return rc;
  return pki::BuildP7b(list, e.out);
}

int Xml(Export& e) {
  if (e.handle.SelectedHasCertificateObject() || e.handle.SelectedHasSignedData() ||
      (!e.include_private && e.handle.SelectedHasPfx())) {
    core::Buffer der;
    int rc = e.handle.SelectedCertificateDer(der);
    if (rc == core::kOk) rc = e.out.SetString("<X509Data><X509Certificate>");
    if (rc == core::kOk) rc = core::Base64Encode(e.out, der.Data(), der.Length(), 0, 0, 0);
    if (rc == core::kOk) rc = e.out.AppendCString("</X509Certificate></X509Data>");
    return rc;
  }
  KeyRecord* key = e.Key();
  if (key == nullptr) return e.Unsupported();
  if (e.include_private && !e.HasPrivate()) return e.Refuse("Cannot export public key to XML private key format.");
  if (key->Type == crypto::kKeyRsa) {
    crypto::RsaKeyParams params;
    if (const int rc = key->GetRsaParams(params, !e.include_private); rc != core::kOk) return rc;
    return WriteRsaKeyValue(params, e.include_private ? 1 : 0, e.out);
  }
  if (key->Type == crypto::kKeyDsa) {
    crypto::DsaKeyParams params;
    if (const int rc = key->GetDsaParams(params, !e.include_private); rc != core::kOk) return rc;
    return WriteDsaKeyValue(params, e.include_private ? 1 : 0, e.out);
  }
  return e.Refuse("Cannot export ECDSA key or EdDSA key to xml format.");
}

int Auto(Export& e) {
  if (e.include_private && e.handle.SelectedHasPfx()) {
    Certificate* certificate = e.Cert();
    KeyRecord* key = e.Key();
    if (certificate == nullptr || key == nullptr) return e.Refuse("Cannot export to PFX/PKCS#12.");
    return pki::BuildPfx(*certificate, e.password, *key, e.key_oid, e.cert_oid, e.out);
  }
  if (e.handle.SelectedHasCertificateObject() || e.handle.SelectedHasSignedData() || e.handle.SelectedHasPfx()) {
    return CertificatePem(e);
  }
  KeyRecord* key = e.Key();
  if (key == nullptr) return e.Unsupported();
  if (!e.include_private) return pki::WritePublicKeyPem(*key, e.out, true);
  if (!e.HasPrivate()) return e.Refuse("Cannot export public key to PKCS8 private key format.");
  return pki::WritePkcs8PrivateKeyPem(*key, e.password, e.out);
}

int Pem(Export& e) {
  KeyRecord* key = e.Key();
  const bool traditional = key != nullptr && (key->Type == crypto::kKeyRsa || key->Type == crypto::kKeyDsa);
  if (!e.include_private && e.Cert() != nullptr) return CertificatePem(e);
  if (key == nullptr) return e.Unsupported();
  return traditional ? Pkcs1(e, true) : Pkcs8(e);
}

int OpenSsh(Export& e, uint32_t width) {
  KeyRecord* key = e.Key();
  if (key == nullptr) return e.Unsupported();
  if (!e.include_private) return WriteSsh2PublicKey(*key, false, width, e.comment, e.out);
  if (!e.HasPrivate()) return e.Refuse("Cannot export public key to OpenSSHPrivateKey format.");
  // An absent attribute reads as "": the caller's comment stands in for a key that has none of its own.
  const char* own = key->GetAttribute("Comment");
  return ArmourOpenSshPrivateKey(*key, e.password, own[0] != '\0' ? own : e.comment, e.out);
}

int Jwk(Export& e) {
  KeyRecord* key = e.Key();
  if (key == nullptr) return e.Unsupported();
  if (e.include_private && !e.HasPrivate()) return e.Refuse("Canot export public key to JWK private key format.");
  // The caller's JWK_ attributes join the key for this write only.
  int rc = key->FlattenAttributes();
  for (int32_t i = 0; rc == core::kOk && i < e.names.Count(); ++i) {
    if (std::strncmp(e.names.Item(i), "JWK_", 4) == 0) rc = key->SetAttribute(e.names.Item(i), e.values.Item(i));
  }
  if (rc == core::kOk) rc = WriteJwk(*key, e.include_private ? 1 : 0, e.out);
  const int restored = key->UnflattenAttributes();
  if (rc == kUnsupportedKeyAlgorithm) return e.Refuse("Unsupported key algorithm.");
  return rc != core::kOk ? rc : restored;
}

int Ppk(Export& e) {
  KeyRecord* key = e.Key();
  if (key == nullptr || !e.HasPrivate()) return e.Refuse("Cannot export public key to PPK format.");
  // The comment joins a copy, so that repeated exports do not grow the stored key's attributes.
  KeyRecord copy;
  int rc = copy.CopyFrom(*key);
  if (rc == core::kOk) rc = copy.AddAttribute("Comment", e.comment);
  if (rc == core::kOk) rc = WritePuTTYKeyFile(copy, e.password, e.out);
  return rc;
}

}  // namespace

int ExportCertificateKey(CertStoreHandle& handle, const char* format, bool include_private, const char* password,
                         const core::StrList& attribute_names, const core::StrList& attribute_values,
                         const char* key_algorithm_oid, const char* cert_algorithm_oid, core::Buffer& out,
                         core::BufferCore* error_text) {
  if (const int rc = out.Clear(); rc != core::kOk) return rc;
  Export e{handle, format, include_private, password, "", attribute_names, attribute_values,
           key_algorithm_oid, cert_algorithm_oid, out, error_text};
  if (include_private && handle.SelectedHasCertificateWithKey()) {
    return e.Refuse("Cannot export PKCS#11 certificate's private key");
  }
  if (attribute_names.Count() != attribute_values.Count()) return kAttributeCountMismatch;
  if (const int32_t at = attribute_names.IndexOf("Comment", 0); at >= 0) e.comment = attribute_values.Item(at);

  const std::string name = Lower(format);
  const KeyRecord* key = e.Key();
  if (name == "auto") return Auto(e);
  if (name == "pfx" || name == "pkcs12") return PfxFormat(e);
  if (name == "p7b") return P7b(e);
  if (name == "x509") return CertificatePem(e);
  if (name == "xml") return Xml(e);
  if (name == "pkcs8") return Pkcs8(e);
  if (name == "pem") return Pem(e);
  if (name == "pkcs1") return Pkcs1(e, false);
  if (name.rfind("openssh", 0) == 0) return OpenSsh(e, LineWidth(name));
  if (name.rfind("ssh2publickey", 0) == 0) {
    if (key == nullptr) return e.Unsupported();
    return WriteSsh2PublicKey(*e.Key(), true, LineWidth(name), e.comment, out);
  }
  if (name.rfind("ssh2privatekey", 0) == 0) {
    if (key == nullptr) return e.Unsupported();
    if (!e.HasPrivate()) return e.Refuse("Cannot export public key to SSH2PrivateKey format.");
    return WriteSsh2PrivateKey(*e.Key(), LineWidth(name), e.comment, password != nullptr ? password : "", out);
  }
  if (name == "jwk") return Jwk(e);
  if (name == "ppk") return Ppk(e);
  return e.Unsupported();
}

}  // namespace velmora::keystore
