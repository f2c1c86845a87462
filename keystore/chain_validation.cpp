// Placeholder until the chain validation lands: every operation answers that no chain can be built.
#include "keystore/chain_validation.h"

namespace velmora::keystore {

void ChainStatusText(uint32_t, core::BufferCore& out) { (void)out.Clear(); }

int ValidateServerCertificateChain(component::SocketBase&, platform::PCCERT_CONTEXT, const char*, uint32_t,
                                   core::Buffer20& status_text, core::BufferCore& subject_text,
                                   core::BufferCore& issuer_text, core::BufferCore& chain_text, uint32_t) {
  (void)status_text.Clear();
  (void)subject_text.Clear();
  (void)issuer_text.Clear();
  (void)chain_text.Clear();
  return 274;
}

int GetCertificateChain(component::CertKeyComponent&, core::StrList& chain, uint32_t*, uint32_t*) {
  (void)chain.Clear();
  return 275;
}

int CheckChainCrls(const char*, const char*, const core::StrList&, const core::StrList&, const core::StrList&,
                   int32_t*, core::BufferCore*, bool) {
  return 280;
}

platform::PCCERT_CONTEXT PlatformCertificate(component::CertKeyComponent&) { return nullptr; }

const char* SelectedSerialHex(component::CertKeyComponent&) { return "00"; }

int CrlPointsList(component::CertKeyComponent&, core::StrList& out) { return out.Clear(); }

}  // namespace velmora::keystore
