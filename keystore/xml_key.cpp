#include "keystore/xml_key.h"

namespace velmora::keystore {

// Not built yet: the XML key value reader and writers arrive with the key format work.
int ReadXmlKey(const char*, pki::CertificateList&, core::PtrArray<crypto::KeyRecord>&) { return 280; }
int WriteRsaKeyValue(const crypto::RsaKeyParams&, uint32_t, core::Buffer&) { return 280; }
int WriteDsaKeyValue(const crypto::DsaKeyParams&, int32_t, core::Buffer&) { return 280; }
int WriteXmlKey(component::CertKeyComponent&, uint32_t, core::Buffer&) { return 280; }

}  // namespace velmora::keystore
