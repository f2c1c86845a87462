#include "keystore/xml_key.h"

#include <cstring>
#include <initializer_list>
#include <string_view>

#include "core/base64.h"
#include "keystore/certificate_source.h"
#include "parsers/xml_cursor.h"
#include "parsers/xml_parser.h"
#include "pki/certificate_codec.h"

namespace velmora::keystore {

namespace {

using parsers::XmlCursor;

constexpr int kNoXmlKey = 280;
constexpr int kNothingSelected = 144;
constexpr const char kNothingSelectedText[] = "No certificate selected. Please select a certificate first.";

// DecodeChild base64-decodes the text of the child element name into field. A missing child returns
// the lookup's code when required, else 0 with field untouched.
int DecodeChild(const XmlCursor& element, const char* name, bool required, core::BufferCore& field) {
  XmlCursor child;
  if (int rc = element.FindPath(name, &child); rc != 0) return required ? rc : 0;
  if (int rc = field.SetString(child.Text()); rc != core::kOk) return rc;
  return core::Base64Decode(field, 0, 0, 1);
}

int ReadCertificate(const XmlCursor& element, pki::CertificateList& certificates) {
  XmlCursor child;
  if (int rc = element.FindPath("X509Certificate", &child); rc != 0) return rc;
  core::Buffer der;
  int rc = der.SetString(child.Text());
  if (rc == core::kOk) rc = core::Base64Decode(der, 0, 0, 1);
  if (rc != core::kOk) return rc;
  const int32_t count = certificates.Count();
  pki::Certificate* certificate = pki::AddNew(certificates);
  if (certificate == nullptr) return core::kOutOfMemory;
  rc = pki::ParseCertificate(der.Bytes(), der.Length(), *certificate);
  if (rc != 0) (void)certificates.SetCount(count);  // a certificate that does not parse is not kept
  return rc;
}

struct KeyField {
  const char* name;
  bool required;
  core::BufferCore* value;
};

int DecodeFields(const XmlCursor& element, std::initializer_list<KeyField> fields) {
  for (const KeyField& field : fields) {
    if (int rc = DecodeChild(element, field.name, field.required, *field.value); rc != 0) return rc;
  }
  return 0;
}

// ReadKeyValue reads an RSA (type kKeyRsa) or DSA key value element; the record stays in keys only once
// every required number was found. DP and DQ are not read: they follow from D, P and Q.
int ReadKeyValue(const XmlCursor& element, int32_t type, core::PtrArray<KeyRecord>& keys) {
  const int32_t count = keys.Count();
  KeyRecord* key = pki::AddNew(keys);
  if (key == nullptr) return core::kOutOfMemory;
  key->Type = type;
  crypto::RsaKeyParams& r = key->RsaParams;
  crypto::DsaKeyParams& d = key->DsaParams;
  const int rc = type == crypto::kKeyRsa
                     ? DecodeFields(element, {{"Modulus", true, &r.Modulus}, {"Exponent", true, &r.Exponent},
                                              {"D", false, &r.D}, {"P", false, &r.P}, {"Q", false, &r.Q},
                                              {"InverseQ", false, &r.InverseQ}})
                     : DecodeFields(element, {{"P", true, &d.P}, {"Q", true, &d.Q}, {"G", true, &d.G},
                                              {"Y", false, &d.Y}, {"X", false, &d.X}});
  if (rc != 0) (void)keys.SetCount(count);
  return rc;
}

// Significant is the value without its leading zero bytes.
std::string_view Significant(const core::BufferCore& value) {
  std::string_view bytes(value.Data(), static_cast<size_t>(value.Length()));
  const size_t first = bytes.find_first_not_of('\0');
  return first == std::string_view::npos ? std::string_view() : bytes.substr(first);
}

// AppendValue appends <name>base64</name> of the padded value; an empty value is left out unless always
// is set. Padding cuts a value longer than its fixed width (a prime longer than half the modulus), so
// such a value is written whole, as given.
int AppendValue(core::Buffer& out, const char* name, const core::BufferCore& given, const core::BufferCore& padded,
                bool always) {
  const core::BufferCore& value = Significant(given) == Significant(padded) ? padded : given;
  if (value.IsEmpty() && !always) return 0;
  int rc = out.AppendFormat("<%s>", name);
  if (rc == core::kOk) rc = core::Base64Encode(out, value.Data(), value.Length(), 0, 0, 0);
  if (rc == core::kOk) rc = out.AppendFormat("</%s>", name);
  return rc;
}

CertStoreHandle* LoadedHandle(component::CertKeyComponent& component) {
  return dynamic_cast<CertStoreHandle*>(component.LoadedStore());
}

}  // namespace

int ReadXmlKey(const char* text, pki::CertificateList& certificates, core::PtrArray<KeyRecord>& keys) {
  if (text == nullptr || (std::strstr(text, "DSAKeyValue") == nullptr && std::strstr(text, "RSAKeyValue") == nullptr &&
                          std::strstr(text, "X509Data") == nullptr)) {
    return kNoXmlKey;
  }
  parsers::XmlParser parser;
  parser.SetBuildDom(1);
  (void)parser.SetErrorText(0, "");
  if (int rc = parser.LoadText(text); rc != 0) return rc;
  if (int rc = parser.SetXPath("/"); rc != 0) return rc;

  // Breadth-first: elements are taken in the order they were queued; a key value or certificate
  // element ends its branch, any other element queues its children.
  core::PtrArray<XmlCursor> work;
  if (int rc = work.InsertAt(0, XmlCursor::AtCurrent(parser.Document())); rc != 0) return rc;
  for (int32_t next = 0; next < work.Count(); ++next) {
    const XmlCursor element = *work.Get(next);
    // Key value elements count by local name, so a prefixed "ds:RSAKeyValue" is one too.
    const char* local = element.LocalName();
    int rc = 0;
    if (std::strstr(element.QualifiedName(), "X509Data") != nullptr) {
      rc = ReadCertificate(element, certificates);
    } else if (std::strcmp(local, "RSAKeyValue") == 0) {
      rc = ReadKeyValue(element, crypto::kKeyRsa, keys);
    } else if (std::strcmp(local, "DSAKeyValue") == 0) {
      rc = ReadKeyValue(element, crypto::kKeyDsa, keys);
    } else {
      const uint32_t count = element.ChildCount();
      XmlCursor child;
      for (uint32_t i = 0; i < count && rc == 0; ++i) {
        rc = i == 0 ? element.FirstChild(&child) : parsers::NextSibling(child, &child);
        if (rc == 0) rc = work.InsertAt(work.Count(), child);
      }
    }
    if (rc != 0) return rc;
  }
  return certificates.Count() > 0 || keys.Count() > 0 ? 0 : kNoXmlKey;
}

int WriteRsaKeyValue(const crypto::RsaKeyParams& params, uint32_t include_private, core::Buffer& out) {
  crypto::RsaKeyParams padded;
  int rc = padded.CopyFrom(params);
  if (rc == 0) rc = padded.PadToFixedLength();
  if (rc == 0) rc = out.AppendCString("<RSAKeyValue>");
  if (rc == 0) rc = AppendValue(out, "Modulus", params.Modulus, padded.Modulus, true);
  if (rc == 0) rc = AppendValue(out, "Exponent", params.Exponent, padded.Exponent, true);
  if (include_private != 0) {
    if (rc == 0) rc = AppendValue(out, "P", params.P, padded.P, false);
    if (rc == 0) rc = AppendValue(out, "Q", params.Q, padded.Q, false);
    if (rc == 0) rc = AppendValue(out, "DP", params.DP, padded.DP, false);
    if (rc == 0) rc = AppendValue(out, "DQ", params.DQ, padded.DQ, false);
    if (rc == 0) rc = AppendValue(out, "InverseQ", params.InverseQ, padded.InverseQ, false);
    if (rc == 0) rc = AppendValue(out, "D", params.D, padded.D, false);
  }
  if (rc == 0) rc = out.AppendCString("</RSAKeyValue>");
  return rc;
}

int WriteDsaKeyValue(const crypto::DsaKeyParams& params, int32_t include_private, core::Buffer& out) {
  crypto::DsaKeyParams padded;
  int rc = padded.CopyFrom(params);
  if (rc == 0) rc = padded.PadToFixedLength();
  if (rc == 0) rc = out.AppendCString("<DSAKeyValue>");
  if (rc == 0) rc = AppendValue(out, "P", params.P, padded.P, false);
  if (rc == 0) rc = AppendValue(out, "Q", params.Q, padded.Q, false);
  if (rc == 0) rc = AppendValue(out, "G", params.G, padded.G, false);
  if (rc == 0) rc = AppendValue(out, "Y", params.Y, padded.Y, false);
  if (rc == 0) rc = AppendValue(out, "J", params.J, padded.J, false);
  if (include_private != 0 && rc == 0) rc = AppendValue(out, "X", params.X, padded.X, false);
  if (rc == 0) rc = out.AppendCString("</DSAKeyValue>");
  return rc;
}

int WriteXmlKey(component::CertKeyComponent& component, uint32_t include_private, core::Buffer& out) {
  out.Clear();
  CertStoreHandle* handle = LoadedHandle(component);
  KeyRecord* key = handle != nullptr ? handle->SelectedKeyInfo() : nullptr;
  if (key == nullptr) return component.SetErrorText(kNothingSelected, kNothingSelectedText);
  if (key->Type == crypto::kKeyRsa) {
    crypto::RsaKeyParams params;
    int rc = key->GetRsaParams(params, include_private == 0);
    return rc != 0 ? rc : WriteRsaKeyValue(params, include_private, out);
  }
  if (key->Type == crypto::kKeyDsa) {
    crypto::DsaKeyParams params;
    int rc = key->GetDsaParams(params, false);
    if (rc == 0) rc = params.ComputePublicKey();
    if (rc == 0 && include_private == 0) rc = params.X.Clear();
    return rc != 0 ? rc : WriteDsaKeyValue(params, static_cast<int32_t>(include_private), out);
  }
  return 0;  // elliptic-curve and Edwards keys have no key value form
}

int WriteX509Data(component::CertKeyComponent& component, const char** text, uint32_t* length,
                  int32_t include_private) {
  *text = core::kEmptyText;
  *length = 0;
  core::Buffer& out = component.OutputText();
  out.Clear();
  CertStoreHandle* handle = LoadedHandle(component);
  int rc = 0;
  if (handle != nullptr && handle->SelectedCertificate() != nullptr) {
    core::Buffer der;
    rc = handle->SelectedCertificateDer(der);
    if (rc == 0) rc = out.AppendCString("<X509Data><X509Certificate>");
    if (rc == 0) rc = core::Base64Encode(out, der.Data(), der.Length(), 1, 64, 0);
    if (rc == 0) rc = out.AppendCString("</X509Certificate></X509Data>");
  } else {
    const bool with_private = include_private != 0 && handle != nullptr && handle->SelectedHasPrivateKey();
    rc = WriteXmlKey(component, with_private ? 1 : 0, out);
  }
  if (rc != 0) return rc;
  *text = out.Data();
  *length = static_cast<uint32_t>(out.Length());
  return 0;
}

}  // namespace velmora::keystore
