#include "keystore/system_stores.h"

#include <cstring>
#include <new>

#include "component/config_setting_parts.h"
#include "component/tls_services.h"
#include "core/hex.h"
#include "crypto/objects/hash_objects.h"
#include "keystore/cert_loader.h"
#include "pki/distinguished_name.h"
#include "platform/last_error.h"

namespace velmora::keystore {

namespace {

namespace plat = platform;
using component::CertKeyComponent;
using plat::PCCERT_CONTEXT;

constexpr plat::DWORD kEncoding = plat::kX509AsnEncoding | plat::kPkcs7AsnEncoding;
constexpr plat::DWORD kUserExisting = plat::kCertSystemStoreCurrentUser | plat::kCertStoreOpenExistingFlag;
constexpr plat::DWORD kMachineExisting = plat::kCertSystemStoreLocalMachine | plat::kCertStoreOpenExistingFlag;
constexpr plat::DWORD kExportAll =
    plat::kPfxExportPrivateKeys | plat::kPfxReportNoPrivateKey | plat::kPfxReportNotAbleToExport;
constexpr int32_t kNameBufferSize = 2000;

// The platform codes of an export refused for want of an exportable private key.
constexpr uint32_t kKeyRefusals[] = {0x80092004u, 0x80090003u, 0x8009000Bu, 0x8009000Du, 0x80090010u, 0x80090016u};

const char* TextOf(const core::BufferCore& buffer) { return buffer.Data() != nullptr ? buffer.Data() : ""; }
bool IsBlank(const char* text) { return text == nullptr || *text == '\0'; }

const char* ProviderName(uintptr_t provider) { return reinterpret_cast<const char*>(provider); }

plat::HCERTSTORE OpenSystemStore(int32_t kind, const char* name) {
  return component::CertOpenStore(ProviderName(plat::kCertStoreProvSystemA), 0, 0,
                                  kind == kStoreKindMachine ? kMachineExisting : kUserExisting, name);
}

// SetPlatformText sets the component's text to prefix + "0x<last error>" + suffix and returns code.
int SetPlatformText(CertKeyComponent& component, const char* prefix, uint32_t error, const char* suffix, int code) {
  component.LastErrorText().Format("%s0x%x%s", prefix, error, suffix);
  return code;
}

// SubjectText sets out to the context's subject as X.500 text.
int SubjectText(PCCERT_CONTEXT context, core::BufferCore& out) {
  out.Clear();
  const plat::CERT_NAME_BLOB* name = &context->pCertInfo->Subject;
  const plat::DWORD size = component::CertNameToStrA(kEncoding, name, plat::kCertX500NameStr, nullptr, 0);
  if (size <= 1) return core::kOk;
  if (out.Resize(static_cast<int32_t>(size)) != core::kOk) return core::kOutOfMemory;
  const plat::DWORD written = component::CertNameToStrA(kEncoding, name, plat::kCertX500NameStr, out.Data(), size);
  return out.Resize(written > 0 ? static_cast<int32_t>(written) - 1 : 0);
}

bool HasKeySpec(PCCERT_CONTEXT context) {
  plat::DWORD size = 0;
  return component::CertGetCertificateContextProperty(context, plat::kCertKeySpecPropId, nullptr, &size) != 0 &&
         size != 0;
}

// ThumbprintMatches compares the hex thumbprint with the certificate's digest of the kind its length
// names (32/33 MD5, 40/41 the SHA-1 hash property, 64/65 SHA-256), ignoring case.
bool ThumbprintMatches(PCCERT_CONTEXT context, const core::BufferCore& thumbprint) {
  core::Buffer digest;
  switch (thumbprint.Length()) {
    case 32:
    case 33:
    case 64:
    case 65: {
      const char* name = thumbprint.Length() < 40 ? "MD5" : "SHA256";
      if (crypto::ComputeHashByName(name, context->pbCertEncoded, static_cast<int32_t>(context->cbCertEncoded),
                                    digest) != core::kOk) {
        return false;
      }
      break;
    }
    case 40:
    case 41: {
      uint8_t hash[20];
      plat::DWORD size = sizeof hash;
      if (component::CertGetCertificateContextProperty(context, plat::kCertSha1HashPropId, hash, &size) == 0 ||
          digest.SetData(static_cast<int32_t>(size), hash) != core::kOk) {
        return false;
      }
      break;
    }
    default:
      return false;
  }
  core::Buffer hex;
  return core::AppendHexLower(hex, digest.Bytes(), digest.Length()) == core::kOk &&
         hex.EqualsNoCase(TextOf(thumbprint)) != 0;
}

// SubjectQualifies: the text equals the certificate's subject text, or both are the same name.
bool SubjectQualifies(const char* certificate_subject, const char* wanted) {
  return std::strcmp(certificate_subject, wanted) == 0 || pki::DistinguishedNamesEqual(certificate_subject, wanted) == 1;
}

struct Search {
  const char* subject;  // "" when absent or taken as a thumbprint
  const char* substring_text;
  const char* partial_rule;  // what a substring candidate's attributes must hold
  const core::BufferCore* der;
  const core::BufferCore* thumbprint;
  bool require_private_key;
};

// FindOnce runs one pass of the search; the context found, or null with *failed set on a memory failure.
PCCERT_CONTEXT FindOnce(plat::HCERTSTORE store, const Search& search, bool* failed) {
  const char* subject = search.subject;
  if (!IsBlank(subject) && subject[0] != '*') {
    uint8_t encoded[kNameBufferSize];
    plat::DWORD size = sizeof encoded;
    if (component::CertStrToNameA(kEncoding, subject, plat::kCertOidNameStr, nullptr, encoded, &size, nullptr) != 0) {
      plat::CERT_NAME_BLOB name{size, encoded};
      PCCERT_CONTEXT found =
          component::CertFindCertificateInStore(store, kEncoding, 0, plat::kCertFindSubjectName, &name, nullptr);
      if (found != nullptr) return found;
    }
  }
  const bool any = std::strcmp(subject, "*") == 0;
  core::Buffer text;
  PCCERT_CONTEXT context = nullptr;
  while ((context = component::CertFindCertificateInStore(store, kEncoding, 0, plat::kCertFindAny, nullptr,
                                                          context)) != nullptr) {
    bool qualifies = false;
    if (any || search.der != nullptr) {
      qualifies = any || (static_cast<int32_t>(context->cbCertEncoded) == search.der->Length() &&
                          std::memcmp(context->pbCertEncoded, search.der->Bytes(), context->cbCertEncoded) == 0);
      qualifies = qualifies && (!search.require_private_key || HasKeySpec(context));
    } else if (search.thumbprint != nullptr) {
      qualifies = ThumbprintMatches(context, *search.thumbprint);
    } else if (!IsBlank(subject)) {
      if (SubjectText(context, text) != core::kOk) {
        *failed = true;
        component::CertFreeCertificateContext(context);
        return nullptr;
      }
      qualifies = SubjectQualifies(TextOf(text), subject);
    }
    if (qualifies) return context;
  }
  if (search.der != nullptr || IsBlank(search.substring_text)) return nullptr;
  // The platform's substring search proposes; a candidate is taken only when the wanted attributes are
  // whole values of its subject.
  while ((context = component::CertFindCertificateInStore(store, kEncoding, 0, plat::kCertFindSubjectStrA,
                                                          search.substring_text, context)) != nullptr) {
    if (SubjectText(context, text) != core::kOk) {
      *failed = true;
      component::CertFreeCertificateContext(context);
      return nullptr;
    }
    if (SubjectMatchesPartially(TextOf(text), search.partial_rule)) return context;
  }
  return nullptr;
}

// ReopenKeyStore keeps the system store open as the component's key store when the loaded certificate
// has no private key of its own but the platform holds one for it.
void ReopenKeyStore(CertKeyComponent& component, CertStoreHandle& store) {
  PCCERT_CONTEXT context = component.CertificateContext();
  if (context == nullptr || store.SelectedHasPrivateKey() || !HasKeySpec(context)) return;
  if (component.KeyStore() != nullptr) {
    component::CertCloseStore(component.KeyStore(), 0);
    component.KeyStore() = nullptr;
  }
  component.KeyStore() = OpenSystemStore(component.StoreKind(), TextOf(component.StoreName()));
}

int SetSubjectFromSelection(CertKeyComponent& component, CertStoreHandle& store) {
  const pki::Certificate* certificate = store.SelectedCertificate();
  return component.Subject().SetString(certificate != nullptr ? TextOf(certificate->tbs.subject) : "");
}

// SystemCertificate finds the certificate in the configured system store and loads it.
int SystemCertificate(CertKeyComponent& component, const char* subject, const uint8_t* data, int32_t length) {
  CertStoreHandle* store = LoadedStoreOf(component);
  if (store == nullptr) return core::kOutOfMemory;
  const platform::CERT_CONTEXT* found = nullptr;
  int rc = OpenSystemStoreAndFind(component, component.StoreKind(), TextOf(component.StoreName()), subject, data,
                                  length, &found, true);
  if (found != nullptr) {
    if (component.CertificateContext() != nullptr) component::CertFreeCertificateContext(component.CertificateContext());
    component.CertificateContext() = found;
  }
  if (rc != 0) return rc;
  if (component.CertificateContext() == nullptr) return 0;
  rc = LoadSystemCertificate(component, *store, component.CertificateContext());
  if (rc != 0) return rc;
  ReopenKeyStore(component, *store);
  return SetSubjectFromSelection(component, *store);
}

// EncodedCertificateDer sets der to the DER of the certificate that data holds in any form the loader
// reads (DER, PEM, base64 and the rest); never read as a file name, since the bytes are the certificate.
// der is empty when data holds no certificate; the loader's code when it reads nothing.
int EncodedCertificateDer(const uint8_t* data, int32_t length, core::Buffer& der) {
  der.Clear();
  CertStoreHandle loaded;
  const int rc = LoadCertificateFromInput(loaded, data, length, false, "", nullptr, nullptr, nullptr, nullptr);
  if (rc != 0) return rc;
  return loaded.SelectedCertificateDer(der) != core::kOk ? core::kOutOfMemory : 0;
}

// ReadAsFile: the kinds whose store is the name of a file.
bool ReadAsFile(int32_t kind) {
  switch (kind) {
    case 2: case 4: case 6: case 8: case 11: case 13: case 14: case 16: case 18: case 21: case 99:
      return true;
    default:
      return false;
  }
}

}  // namespace

CertStoreHandle* LoadedStoreOf(CertKeyComponent& component) {
  auto* store = dynamic_cast<CertStoreHandle*>(component.LoadedStore());
  if (store != nullptr) return store;
  store = new (std::nothrow) CertStoreHandle();
  if (store != nullptr) component.SetLoadedStore(store);
  return store;
}

int FindByEncodedCertificate(CertKeyComponent& component, const uint8_t* data, int32_t length) {
  auto* store = dynamic_cast<CertStoreHandle*>(component.LoadedStore());
  if (store == nullptr || store->SelectedCertificate() == nullptr || data == nullptr || length <= 0) return -1;
  core::Buffer der;
  if (EncodedCertificateDer(data, length, der) != 0 || der.IsEmpty()) return -1;
  return store->FindEncoded(der.Bytes(), der.Length());
}

int CheckStoreKind(CertKeyComponent& component, int32_t requested) {
  const auto* store = dynamic_cast<const CertStoreHandle*>(component.LoadedStore());
  const int32_t detected = store != nullptr ? store->record.detected_kind : -1;
  auto in = [detected](std::initializer_list<int32_t> kinds) {
    for (const int32_t kind : kinds) {
      if (kind == detected) return true;
    }
    return false;
  };
  switch (requested) {
    case 0: case 1:
      return 0;
    case 2: case 3: case 11: case 12: case 14: case 15: case 16: case 17: case 18: case 19:
      return detected == requested ? 0 : kStoreNotOpened;
    case 6: case 8: case 13:
      return in({6, 8, 13}) ? 0 : kStoreNotOpened;
    case 7: case 9: case 10:
      return in({7, 9, 10}) ? 0 : kStoreNotOpened;
    case 20: case 23:
      return in({20, 23}) ? 0 : kStoreNotOpened;
    default:
      return kStoreNotOpened;
  }
}

int OpenSystemStoreAndFind(CertKeyComponent& component, int32_t kind, const char* store_name, const char* subject,
                           const uint8_t* data, int32_t length, const platform::CERT_CONTEXT** out,
                           bool require_private_key) {
  if (kind > kStoreKindMachine) return kStoreKindOutOfRange;
  if (IsBlank(subject) && data == nullptr) return 0;
  plat::HCERTSTORE store = OpenSystemStore(kind, store_name != nullptr ? store_name : "");
  if (store == nullptr) {
    return SetPlatformText(component, "The certificate store could not be opened (", plat::GetLastError(), ").",
                           kStoreNotOpened);
  }
  const int rc = FindCertificateInStore(component, store, subject, data, length, require_private_key, out);
  component::CertCloseStore(store, 0);
  return rc;
}

int FindCertificateInStore(CertKeyComponent& component, plat::HCERTSTORE store, const char* subject,
                           const uint8_t* data, int32_t length, bool require_private_key,
                           const platform::CERT_CONTEXT** out) {
  if (IsBlank(subject) && data == nullptr) return 0;
  const char* wanted = subject != nullptr ? subject : "";
  bool by_thumbprint = false;
  if (!IsBlank(wanted)) {
    component::ConfigSettingParts setting;
    if (setting.Parse(wanted, 0) != core::kOk) return core::kOutOfMemory;
    if (setting.Query() == 0 && setting.Name().EqualsNoCase("Thumbprint") != 0) {
      if (component.Thumbprint().Assign(setting.Value()) != core::kOk) return core::kOutOfMemory;
      by_thumbprint = true;
    }
  }
  if (component.CertificateContext() != nullptr) {
    component::CertFreeCertificateContext(component.CertificateContext());
    component.CertificateContext() = nullptr;
  }
  core::Buffer der;
  if (data != nullptr) {
    if (const int rc = EncodedCertificateDer(data, length, der); rc != 0) return rc;
  }
  Search search{by_thumbprint ? "" : wanted, wanted, wanted, data != nullptr ? &der : nullptr,
                by_thumbprint ? &component.Thumbprint() : nullptr, require_private_key};
  bool failed = false;
  PCCERT_CONTEXT found = FindOnce(store, search, &failed);
  if (found == nullptr && !failed && data == nullptr && !by_thumbprint && std::strncmp(wanted, "CN=", 3) == 0) {
    // The common name alone, taken from a substring candidate only as its whole common name.
    search.subject = wanted + 3;
    search.substring_text = wanted + 3;
    found = FindOnce(store, search, &failed);
  }
  if (failed) return core::kOutOfMemory;
  if (found == nullptr) {
    if (component.LastErrorText().IsEmpty()) {
      SetPlatformText(component, "The certificate could not be found (", plat::GetLastError(), ").", 0);
    }
    return kNoSubjectMatch;
  }
  *out = found;
  return 0;
}

int LoadSystemCertificate(CertKeyComponent& component, CertStoreHandle& handle, const platform::CERT_CONTEXT* context) {
  plat::HCERTSTORE memory = component::CertOpenStore(ProviderName(plat::kCertStoreProvMemory), 0, 0, 0, nullptr);
  if (memory == nullptr) {
    (void)component.LastErrorText().SetString("The certificate store could not be opened.");
    return kStoreNotOpened;
  }
  int rc = 0;
  plat::CRYPT_DATA_BLOB pfx{0, nullptr};
  core::Buffer bytes;
  if (component::CertAddCertificateContextToStore(memory, context, plat::kCertStoreAddAlways, nullptr) == 0) {
    const uint32_t error = plat::GetLastError();
    rc = SetPlatformText(component, "Cannot add certificate to store (error ", error, ").", static_cast<int>(error));
  } else if (component::PFXExportCertStore(memory, &pfx, u"", kExportAll) == 0) {
    const uint32_t error = plat::GetLastError();
    for (const uint32_t refusal : kKeyRefusals) {
      if (error == refusal) {
        rc = LoadCertificate(handle, context->pbCertEncoded, static_cast<int32_t>(context->cbCertEncoded), false, "",
                             nullptr, nullptr);
      }
    }
  } else if (bytes.Resize(static_cast<int32_t>(pfx.cbData)) != core::kOk) {
    rc = core::kOutOfMemory;
  } else {
    pfx.pbData = reinterpret_cast<uint8_t*>(bytes.Data());
    if (component::PFXExportCertStore(memory, &pfx, u"", kExportAll) == 0) {
      const uint32_t error = plat::GetLastError();
      rc = SetPlatformText(component, "Cannot export certificate (error ", error, ").", static_cast<int>(error));
    } else {
      rc = LoadCertificate(handle, bytes.Data(), static_cast<int32_t>(pfx.cbData), false, "", nullptr, nullptr);
    }
  }
  component::CertCloseStore(memory, 0);
  return rc;
}

int EnumerateStoreCertificates(CertKeyComponent& holder, core::StrList& out) {
  if (holder.KeyStore() == nullptr) return 0;
  PCCERT_CONTEXT context = nullptr;
  while ((context = component::CertFindCertificateInStore(holder.KeyStore(), kEncoding, 0, plat::kCertFindAny,
                                                          nullptr, context)) != nullptr) {
    if (out.Add(context->pbCertEncoded, static_cast<int32_t>(context->cbCertEncoded)) != core::kOk) {
      component::CertFreeCertificateContext(context);
      return core::kOutOfMemory;
    }
  }
  return 0;
}

int SetCertificateSubject(CertKeyComponent& component, const char* subject, core::BufferCore* log) {
  component.CertificateSet() = 0;
  if (component.Subject().SetString(subject) != core::kOk) return core::kOutOfMemory;
  const int32_t kind = component.StoreKind();
  if (kind == kStoreKindUser || kind == kStoreKindMachine) {
    if (IsBlank(subject)) return 0;
    const core::BufferCore& encoded = component.EncodedCertificate();
    return SystemCertificate(component, subject, encoded.IsEmpty() ? nullptr : encoded.Bytes(), encoded.Length());
  }
  CertStoreHandle* store = LoadedStoreOf(component);
  if (store == nullptr) return core::kOutOfMemory;
  core::Buffer error_text;
  const core::BufferCore& data = component.StoreName();
  int rc = LoadCertificate(*store, data.Data(), data.Length(), ReadAsFile(kind), TextOf(component.StorePassword()),
                           &error_text, log);
  if (rc != 0) {
    (void)component.LastErrorText().SetString(TextOf(error_text));
    return rc;
  }
  rc = store->SelectBySubject(subject);
  if (rc == 0) {
    if (kind != kStoreKindDetect && CheckStoreKind(component, kind) != 0) {
      (void)component.LastErrorText().SetString("The certificate store could not be opened (0x80092002).");
      return kStoreNotOpened;
    }
    component.StoreKind() = store->record.detected_kind;
    return SetSubjectFromSelection(component, *store);
  }
  component.Subject().Clear();
  (void)component.LastErrorText().SetString("Cannot find specified certificate.");
  return rc;
}

int SetCertificateEncoded(CertKeyComponent& component, const uint8_t* der, int32_t length) {
  if (der == nullptr || length <= 0) return 0;
  if (component.EncodedCertificate().SetData(length, der) != core::kOk) return core::kOutOfMemory;
  const int32_t kind = component.StoreKind();
  CertStoreHandle* store = LoadedStoreOf(component);
  if (store == nullptr) return core::kOutOfMemory;
  if (kind == kStoreKindUser || kind == kStoreKindMachine) {
    core::Buffer subject;
    if (subject.Assign(component.Subject()) != core::kOk) return core::kOutOfMemory;
    if (SystemCertificate(component, TextOf(subject), der, length) == 0) {
      component.CertificateSet() = 1;
      return 0;
    }
  } else if (kind == 2 || kind == 3 || kind == 11 || kind == 12) {
    if (store->entries.Count() == 0 && !component.StoreName().IsEmpty() &&
        component.StoreName().EqualsNoCase("MY") == 0) {
      const int rc = SetCertificateSubject(component, "*", nullptr);
      if (rc != 0) return rc;
      if (CheckStoreKind(component, kind) != 0) {
        (void)component.LastErrorText().SetString("The certificate store could not be opened (0x80092002).");
        return kStoreNotOpened;
      }
    }
    if (store->entries.Count() > 0 && FindByEncodedCertificate(component, der, length) >= 0) {
      component.CertificateSet() = 1;
      return SetSubjectFromSelection(component, *store);
    }
  }
  if (component.StoreName().SetData(length, der) != core::kOk) return core::kOutOfMemory;
  component.StorePassword().Clear();
  component.Subject().Clear();
  const int rc = LoadCertificate(*store, der, length, false, "", nullptr, nullptr);
  if (rc != 0) return rc;
  component.StoreKind() = store->record.detected_kind;
  return SetSubjectFromSelection(component, *store);
}

void CopyCertificateHolder(CertKeyComponent& target, const CertKeyComponent& source) {
  auto& from = const_cast<CertKeyComponent&>(source);
  const auto* loaded = dynamic_cast<const CertStoreHandle*>(source.LoadedStore());
  target.SetLoadedStore(loaded != nullptr ? loaded->CloneContents() : nullptr);
  (void)target.Store().CopyFrom(from.Store());
  target.Flag() = from.Flag();
  target.CertificateSet() = from.CertificateSet();
  target.StoreKind() = from.StoreKind();
  (void)target.StoreName().Assign(from.StoreName());
  (void)target.Subject().Assign(from.Subject());
  (void)target.StorePassword().Assign(from.StorePassword());
  (void)target.EncodedCertificate().Assign(from.EncodedCertificate());
  (void)target.FurtherText().Assign(from.FurtherText());
  if (target.CertificateContext() != nullptr) component::CertFreeCertificateContext(target.CertificateContext());
  target.CertificateContext() =
      from.CertificateContext() != nullptr ? component::CertDuplicateCertificateContext(from.CertificateContext()) : nullptr;
}

bool IsSelectedKeyRsa(const CertKeyComponent& component) {
  const auto* store = dynamic_cast<const CertStoreHandle*>(component.LoadedStore());
  const KeyRecord* key = store != nullptr ? store->SelectedKeyInfo() : nullptr;
  return key != nullptr && key->Type == crypto::kKeyRsa;
}

bool IsSelectedKeyDsa(const CertKeyComponent& component) {
  const auto* store = dynamic_cast<const CertStoreHandle*>(component.LoadedStore());
  const KeyRecord* key = store != nullptr ? store->SelectedKeyInfo() : nullptr;
  return key != nullptr && key->Type == crypto::kKeyDsa;
}

}  // namespace velmora::keystore
