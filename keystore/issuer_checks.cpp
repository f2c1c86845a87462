#include "keystore/issuer_checks.h"

#include "keystore/certificate_source.h"
#include "pki/certificate_signature.h"
#include "pki/distinguished_name.h"

namespace velmora::keystore {

pki::Certificate* SelectedCertificateOf(const component::CertKeyComponent& component) {
  const auto* store = dynamic_cast<const CertStoreHandle*>(component.LoadedStore());
  return store != nullptr ? store->SelectedCertificate() : nullptr;
}

const char* SelectedIssuerText(const component::CertKeyComponent& component) {
  const pki::Certificate* certificate = SelectedCertificateOf(component);
  if (certificate == nullptr || certificate->tbs.issuer.Data() == nullptr) return "";
  return certificate->tbs.issuer.Data();
}

int IsIssuedBy(const component::CertKeyComponent& a, const component::CertKeyComponent& b) {
  const pki::Certificate* subject = SelectedCertificateOf(a);
  const pki::Certificate* issuer = SelectedCertificateOf(b);
  if (subject == nullptr || issuer == nullptr) return 0;
  const char* issuer_subject = issuer->tbs.subject.Data() != nullptr ? issuer->tbs.subject.Data() : "";
  if (pki::DistinguishedNamesEqual(SelectedIssuerText(a), issuer_subject) != 1) return 0;
  return pki::VerifySignatureByAlgorithm(*subject, *issuer) == 0 ? 1 : 0;
}

}  // namespace velmora::keystore
