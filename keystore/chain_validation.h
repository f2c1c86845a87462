// The peer's certificate chain checked through the platform's chain engine: building the chain, the SSL
// policy's verdict as a status text, the chain as PEM text, and the library's own CRL and OCSP checks
// handed the chain; and the chain of a component's own certificate as encoded certificates.
#pragma once

#include <cstdint>

#include "component/socket_base.h"
#include "core/buffer.h"
#include "core/str_list.h"
#include "crypto/objects/crypto_component.h"
#include "platform/crypto/cert_types.h"

namespace velmora::keystore {

// Revocation flags of ValidateServerCertificateChain: CRL checks of the whole chain (bit 1 also asks the
// first certificate's check to report), an OCSP check of the server certificate (bit 3 asks it to report).
inline constexpr uint32_t kRevocationCrl = 0x1;
inline constexpr uint32_t kRevocationCrlReport = 0x2;
inline constexpr uint32_t kRevocationOcsp = 0x4;
inline constexpr uint32_t kRevocationOcspReport = 0x8;

// ChainStatusText writes the status text of a policy error code: "OK" for 0, else "[0x%x] " and the
// code's text ("(unknown status code)" for a code without one).
void ChainStatusText(uint32_t code, core::BufferCore& out);

// ValidateServerCertificateChain builds the chain of certificate with the platform, applies the SSL
// policy for auth_type (platform::kAuthTypeClient or kAuthTypeServer) with the socket's SSLSecurityFlags
// and server_name (null: none), and writes the status text, the certificate's subject and issuer texts
// and the chain text (PEM blocks; the whole chain with SSLIncludeCertChain on, else the certificate
// alone). Returns the policy's error code (0: accepted), 274 (no chain), 275 (the policy call failed),
// 280 (a requested revocation check failed; the status text holds its text), 285 (server name unusable),
// or a setup error.
[[nodiscard]] int ValidateServerCertificateChain(component::SocketBase& socket, platform::PCCERT_CONTEXT certificate,
                                                 const char* server_name, uint32_t auth_type,
                                                 core::Buffer20& status_text, core::BufferCore& subject_text,
                                                 core::BufferCore& issuer_text, core::BufferCore& chain_text,
                                                 uint32_t revocation_flags);

// GetCertificateChain fills chain with the encoded certificates of the chain of the component's own
// certificate (end certificate first) and writes the chain's error and information status (each
// optional). 0; 272 without a certificate; 275 when the chain cannot be built (0 and an empty list for
// an EdDSA key the platform refuses).
[[nodiscard]] int GetCertificateChain(component::CertKeyComponent& component, core::StrList& chain,
                                      uint32_t* error_status, uint32_t* info_status);

// CheckChainCrls runs CheckCrl on the first certificate's CRL points (with report as its report flag),
// then on the CRL points at index i of crl_points for i from 1 to chain's count - 1 (without report).
// The first nonzero result is returned; *out_code receives what CheckCrl reports.
[[nodiscard]] int CheckChainCrls(const char* first_points, const char* first_serial, const core::StrList& chain,
                                 const core::StrList& crl_points, const core::StrList& serials, int32_t* out_code,
                                 core::BufferCore* error_text, bool report);

// PlatformCertificate is the component's platform certificate context; when it holds none, its key and
// certificate are first handed to the platform (ImportPemKeyToCryptoApi). Null when that fails (the
// component's last-error text says why).
platform::PCCERT_CONTEXT PlatformCertificate(component::CertKeyComponent& component);

// SelectedSerialHex is the selected certificate's serial number in hex, "00" without a selected
// certificate or with an empty serial; valid while the loaded store stays as it is.
const char* SelectedSerialHex(component::CertKeyComponent& component);

// CrlPointsList sets out to the selected certificate's CRL distribution points, split at ", ", trimmed,
// empty items skipped. 0 or 200.
[[nodiscard]] int CrlPointsList(component::CertKeyComponent& component, core::StrList& out);

}  // namespace velmora::keystore
