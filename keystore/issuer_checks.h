// Issuer tests between the certificates that two certificate components have selected in their loaded
// stores.
#pragma once

#include "crypto/objects/crypto_component.h"
#include "pki/certificate.h"

namespace velmora::keystore {

// SelectedCertificateOf is the certificate selected in the component's loaded store; null without a
// loaded store or a selected certificate.
pki::Certificate* SelectedCertificateOf(const component::CertKeyComponent& component);

// SelectedIssuerText is the issuer text of the selected certificate, "" when there is none; valid while
// the loaded store stays as it is.
const char* SelectedIssuerText(const component::CertKeyComponent& component);

// IsIssuedBy is 1 when both components hold a selected certificate, a's issuer text and b's subject text
// are the same distinguished name (DistinguishedNamesEqual) and b's key verifies a's signature; else 0.
// IsIssuedBy(c, c) tells whether c's certificate is self-signed.
int IsIssuedBy(const component::CertKeyComponent& a, const component::CertKeyComponent& b);

}  // namespace velmora::keystore
