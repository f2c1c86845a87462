#include "keystore/chain_validation.h"

#include <cstring>
#include <memory>

#include "component/tls_credentials.h"
#include "component/tls_services.h"
#include "keystore/component_keys.h"
#include "keystore/issuer_checks.h"
#include "keystore/system_stores.h"
#include "pki/chain_checks.h"
#include "pki/ocsp.h"
#include "pki/pem_armour.h"
#include "platform/code_page.h"
#include "platform/last_error.h"

namespace velmora::keystore {

namespace plat = velmora::platform;

namespace {

constexpr int kNoChain = 274;
constexpr int kPolicyFailed = 275;
constexpr int kRevocationFailed = 280;
constexpr int kServerNameUnusable = 285;
constexpr int kNoCertificate = 272;
constexpr uint32_t kBadAlgorithm = 0x80090008u;
// X.500 names without "+" joining, as the status texts show them.
constexpr plat::DWORD kNameStrType = plat::kCertNameStrNoPlusFlag | plat::kCertX500NameStr;
constexpr plat::DWORD kNameTextSize = 2000;
// Room for 1000 UTF-16 units, the terminator included.
constexpr int kServerNameUnits = 1000;

struct StatusRow {
  uint32_t code;
  const char* text;
};

constexpr StatusRow kStatusTexts[] = {
    {0x800B0109u,
     "A certification chain processed correctly but terminated in a root certificate not trusted by the trust "
     "provider."},
    {0x800B010Au, "A chain of certificates was not correctly created."},
    {0x800B010Cu, "A certificate in the chain has been explicitly revoked by its issuer."},
    {0x800B010Du, "The root certificate is a testing certificate and policy settings disallow test certificates."},
    {0x800B010Eu, "The revocation process could not continue. The certificates could not be checked."},
    {0x800B010Fu, "The certificate's CN name does not match the passed value."},
    {0x800B0110u, "The certificate is not valid for the requested usage."},
    {0x800B0106u, "A certificate is being used for a non permitted purpose."},
    {0x80092010u, "The certificate or signature has been revoked."},
    {0x80092013u,
     "Since the revocation server was offline, the called function was not able to complete the revocation "
     "check."},
    {0x80096004u, "The signature of the certificate cannot be verified."},
    {0x80096019u, "The certificate's basic constraints are invalid or missing."},
    {0x800B0101u, "A required certificate is not within its validity period."},
    {0x800B0102u, "The validity periods of the certification chain do not nest correctly."},
    {0x800B0103u, "A certificate that can only be used as an end-entity is being used as a CA or visa versa."},
};

// ChainDeleter frees a chain context through the certificate module.
struct ChainDeleter {
  void operator()(const plat::CERT_CHAIN_CONTEXT* chain) const { (void)component::CertFreeCertificateChain(chain); }
};
using ChainHolder = std::unique_ptr<const plat::CERT_CHAIN_CONTEXT, ChainDeleter>;

// BuildChain asks the platform for the chain of context at the current time, the context's own store as
// the additional store; null when it cannot be built (the reason in the platform's last error).
ChainHolder BuildChain(plat::PCCERT_CONTEXT context) {
  plat::CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  const plat::CERT_CHAIN_CONTEXT* chain = nullptr;
  if (component::CertGetCertificateChain(nullptr, context, nullptr, context->hCertStore, &para, 0, nullptr, &chain) ==
      0) {
    return nullptr;
  }
  return ChainHolder(chain);
}

// FirstSimpleChain is the chain's first simple chain, or null when it has none. Contexts with several
// simple chains are walked through their first one alone, so every element is taken once.
const plat::CERT_SIMPLE_CHAIN* FirstSimpleChain(const plat::CERT_CHAIN_CONTEXT& chain) {
  return chain.cChain > 0 && chain.rgpChain != nullptr ? chain.rgpChain[0] : nullptr;
}

int32_t ElementCount(const plat::CERT_SIMPLE_CHAIN* simple) {
  return simple != nullptr && simple->rgpElement != nullptr ? static_cast<int32_t>(simple->cElement) : 0;
}

plat::PCCERT_CONTEXT ElementCertificate(const plat::CERT_SIMPLE_CHAIN& simple, int32_t index) {
  const plat::CERT_CHAIN_ELEMENT* element = simple.rgpElement[index];
  return element != nullptr ? element->pCertContext : nullptr;
}

// NameText writes the name as text; a failing call leaves out empty.
void NameText(plat::PCCERT_CONTEXT certificate, const plat::CERT_NAME_BLOB& name, core::BufferCore& out) {
  char text[kNameTextSize] = {};
  if (component::CertNameToStrA(certificate->dwCertEncodingType, &name, kNameStrType, text, kNameTextSize) == 0) {
    return;
  }
  text[kNameTextSize - 1] = 0;
  if (out.SetString(text) != core::kOk) out.Clear();
}

int CertificatePem(plat::PCCERT_CONTEXT certificate, core::BufferCore& out) {
  if (certificate == nullptr) return out.Clear();
  return pki::PemEncode(certificate->pbCertEncoded, static_cast<int32_t>(certificate->cbCertEncoded), "CERTIFICATE",
                        out);
}

// WriteChainText sets out to the PEM blocks of every certificate of the simple chain, "\r\n" between
// two blocks.
int WriteChainText(const plat::CERT_SIMPLE_CHAIN* simple, core::BufferCore& out) {
  out.Clear();
  core::Buffer block;
  for (int32_t i = 0; i < ElementCount(simple); ++i) {
    int rc = CertificatePem(ElementCertificate(*simple, i), block);
    if (rc == core::kOk && i > 0) rc = out.Append("\r\n", 2);
    if (rc == core::kOk) rc = out.Append(block);
    if (rc != core::kOk) return rc;
  }
  return core::kOk;
}

// LoadedTexts loads encoded into the reset component and sets its CRL points and serial texts: the load's
// code (0 when it loaded), or the code of storing a text.
int LoadedTexts(component::CertKeyComponent& holder, const void* encoded, int32_t length, core::BufferCore& points,
                core::BufferCore& serial) {
  holder.ResetStore();
  const int rc = SetCertificateEncoded(holder, static_cast<const uint8_t*>(encoded), length);
  pki::Certificate* certificate = SelectedCertificateOf(holder);
  const char* text = certificate != nullptr ? pki::DecodeCrlDistributionPoints(*certificate) : nullptr;
  if (const int stored = points.SetString(text != nullptr ? text : ""); stored != core::kOk) return stored;
  if (const int stored = serial.SetString(SelectedSerialHex(holder)); stored != core::kOk) return stored;
  return rc;
}

// CheckRevocation runs the checks the flags ask for on the chain's certificates: 0 when they pass, 280
// with the check's text as the status text, or a setup code.
int CheckRevocation(component::SocketBase& socket, plat::PCCERT_CONTEXT certificate,
                    const plat::CERT_SIMPLE_CHAIN* simple, uint32_t flags, core::Buffer20& status_text) {
  component::CertKeyComponent holder;
  core::StrList chain_list, crl_points, serials;
  const int32_t count = ElementCount(simple);
  if (const int rc = crl_points.SetCount(count); rc != core::kOk) return rc;
  if (const int rc = serials.SetCount(count); rc != core::kOk) return rc;
  core::Buffer pem, points, serial;
  for (int32_t i = 0; i < count; ++i) {
    if (const int rc = CertificatePem(ElementCertificate(*simple, i), pem); rc != core::kOk) return rc;
    if (const int rc = chain_list.Add(pem.Data(), pem.Length()); rc != core::kOk) return rc;
    // An element that does not load keeps empty texts: its check has nothing to look at.
    (void)LoadedTexts(holder, pem.Data(), pem.Length(), points, serial);
    if (const int rc = crl_points.SetAt(i, points.Data(), points.Length()); rc != core::kOk) return rc;
    if (const int rc = serials.SetAt(i, serial.Data(), serial.Length()); rc != core::kOk) return rc;
  }
  core::Buffer der;
  if (const int rc = der.SetData(static_cast<int32_t>(certificate->cbCertEncoded), certificate->pbCertEncoded);
      rc != core::kOk) {
    return rc;
  }
  if (const int rc = LoadedTexts(holder, der.Data(), der.Length(), points, serial); rc != 0) return rc;

  core::Buffer error_text;
  int failure = 0;
  if ((flags & (kRevocationOcsp | kRevocationOcspReport)) != 0) {
    const int rc = pki::CheckOcsp(der, chain_list, error_text, (flags & kRevocationOcspReport) != 0);
    if (rc != 0) {
      socket.SetLastErrorCode(rc);
      failure = rc;
    }
  }
  if (failure == 0 && (flags & (kRevocationCrl | kRevocationCrlReport)) != 0) {
    int32_t out_code = 0;
    if (CheckChainCrls(points.Data(), serial.Data(), chain_list, crl_points, serials, &out_code, &error_text,
                       (flags & kRevocationCrlReport) != 0) != 0) {
      socket.SetLastErrorCode(out_code);
      failure = kRevocationFailed;
    }
  }
  if (failure == 0) return 0;
  if (status_text.Assign(error_text) != core::kOk) status_text.Clear();
  return kRevocationFailed;
}

}  // namespace

void ChainStatusText(uint32_t code, core::BufferCore& out) {
  if (code == 0) {
    (void)out.SetString("OK");
    return;
  }
  const char* text = "(unknown status code)";
  for (const StatusRow& row : kStatusTexts) {
    if (row.code == code) text = row.text;
  }
  if (out.Format("[0x%x] %s", code, text) != core::kOk) out.Clear();
}

int ValidateServerCertificateChain(component::SocketBase& socket, plat::PCCERT_CONTEXT certificate,
                                   const char* server_name, uint32_t auth_type, core::Buffer20& status_text,
                                   core::BufferCore& subject_text, core::BufferCore& issuer_text,
                                   core::BufferCore& chain_text, uint32_t revocation_flags) {
  status_text.Clear();
  subject_text.Clear();
  issuer_text.Clear();
  chain_text.Clear();
  ChainHolder chain;
  if (certificate != nullptr && certificate->pCertInfo != nullptr) {
    NameText(certificate, certificate->pCertInfo->Subject, subject_text);
    NameText(certificate, certificate->pCertInfo->Issuer, issuer_text);
  }
  if (certificate != nullptr) chain = BuildChain(certificate);
  if (chain == nullptr) {
    const uint32_t error = certificate != nullptr ? plat::GetLastError() : plat::kEInvalidArg;
    component::SetErrorTextWithCode(socket, "can't get certificate chain (error ", error, ").");
    (void)status_text.Assign(socket.LastErrorText());
    return kNoChain;
  }

  char16_t wide_name[kServerNameUnits + 1] = {};
  if (server_name != nullptr) {
    const int units = plat::MultiByteToWideChar(plat::kCodePageAnsi, server_name, -1, nullptr, 0);
    if (units <= 0 || units > kServerNameUnits ||
        plat::MultiByteToWideChar(plat::kCodePageAnsi, server_name, -1, wide_name, kServerNameUnits) == 0) {
      (void)status_text.SetString("Server name does not match server certificate.");
      return kServerNameUnusable;
    }
  }

  const int32_t security_flags = socket.SslSecurityFlags();
  plat::SSL_EXTRA_CERT_CHAIN_POLICY_PARA extra{};
  extra.cbSize = sizeof extra;
  extra.dwAuthType = auth_type;
  extra.pwszServerName = server_name != nullptr && security_flags >= 0 ? wide_name : nullptr;
  plat::CERT_CHAIN_POLICY_PARA para{};
  para.cbSize = sizeof para;
  para.dwFlags = static_cast<plat::DWORD>(security_flags);
  para.pvExtraPolicyPara = &extra;
  plat::CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  if (component::CertVerifyCertificateChainPolicy(reinterpret_cast<const char*>(plat::kCertChainPolicySsl),
                                                  chain.get(), &para, &status) == 0) {
    component::SetErrorTextWithCode(socket, "Can't verify certificate chain (error ", plat::GetLastError(), ").");
    (void)status_text.Assign(socket.LastErrorText());
    return kPolicyFailed;
  }
  ChainStatusText(status.dwError, status_text);
  const int verdict = static_cast<int>(status.dwError);

  const plat::CERT_SIMPLE_CHAIN* simple = FirstSimpleChain(*chain);
  const int rc = socket.SslIncludeCertChain() != 0 ? WriteChainText(simple, chain_text)
                                                   : CertificatePem(certificate, chain_text);
  if (rc != core::kOk) return rc;
  if (revocation_flags == 0) return verdict;
  const int revocation = CheckRevocation(socket, certificate, simple, revocation_flags, status_text);
  return revocation != 0 ? revocation : verdict;
}

int GetCertificateChain(component::CertKeyComponent& component, core::StrList& chain, uint32_t* error_status,
                        uint32_t* info_status) {
  (void)chain.Clear();
  plat::PCCERT_CONTEXT context = PlatformCertificate(component);
  if (context == nullptr) {
    return component.SetErrorText(kNoCertificate, "A certificate must be specified prior to this operation.");
  }
  ChainHolder built = BuildChain(context);
  if (built == nullptr) {
    const uint32_t error = plat::GetLastError();
    CertStoreHandle* handle = LoadedHandle(component);
    const KeyRecord* key = handle != nullptr ? handle->SelectedKeyInfo() : nullptr;
    if (error == kBadAlgorithm && key != nullptr && key->Type == crypto::kKeyEdwards) return 0;
    component::SetErrorTextWithCode(component, "Cannot get certificate chain (error ", error, ").");
    return kPolicyFailed;
  }
  const plat::CERT_SIMPLE_CHAIN* simple = FirstSimpleChain(*built);
  // A chain whose signatures do not verify may repeat a certificate: the walk stops where one comes again.
  const bool stop_at_repeat = (built->TrustStatus.dwErrorStatus & plat::kTrustIsNotSignatureValid) != 0;
  for (int32_t i = 0; i < ElementCount(simple); ++i) {
    plat::PCCERT_CONTEXT element = ElementCertificate(*simple, i);
    if (element == nullptr) continue;
    const auto length = static_cast<int32_t>(element->cbCertEncoded);
    const int32_t last = chain.Count() - 1;
    if (stop_at_repeat && last >= 0 && chain.ItemLength(last) == length &&
        std::memcmp(chain.Item(last), element->pbCertEncoded, static_cast<size_t>(length)) == 0) {
      break;
    }
    if (const int rc = chain.Add(element->pbCertEncoded, length); rc != core::kOk) return component.ReportOutOfMemory(rc);
  }
  if (error_status != nullptr) *error_status = simple != nullptr ? simple->TrustStatus.dwErrorStatus : 0;
  if (info_status != nullptr) *info_status = simple != nullptr ? simple->TrustStatus.dwInfoStatus : 0;
  return 0;
}

int CheckChainCrls(const char* first_points, const char*, const core::StrList& chain, const core::StrList& crl_points,
                   const core::StrList&, int32_t* out_code, core::BufferCore* error_text, bool report) {
  // The serials and the chain travel along for a check that would fetch and read the lists.
  if (const int rc = pki::CheckCrl(first_points, out_code, error_text, report); rc != 0) return rc;
  for (int32_t i = 1; i < chain.Count(); ++i) {
    const char* points = i < crl_points.Count() ? crl_points.Item(i) : "";
    if (const int rc = pki::CheckCrl(points, out_code, error_text, false); rc != 0) return rc;
  }
  return 0;
}

plat::PCCERT_CONTEXT PlatformCertificate(component::CertKeyComponent& component) {
  if (component.CertificateContext() == nullptr) (void)ImportPemKeyToCryptoApi(component, false);
  return component.CertificateContext();
}

const char* SelectedSerialHex(component::CertKeyComponent& component) {
  const pki::Certificate* certificate = SelectedCertificateOf(component);
  if (certificate == nullptr || certificate->tbs.serialHex.IsEmpty()) return "00";
  return certificate->tbs.serialHex.Data();
}

int CrlPointsList(component::CertKeyComponent& component, core::StrList& out) {
  pki::Certificate* certificate = SelectedCertificateOf(component);
  const char* text = certificate != nullptr ? pki::DecodeCrlDistributionPoints(*certificate) : nullptr;
  return core::SplitToStringList(out, text, ", ", 1, 1);
}

}  // namespace velmora::keystore
