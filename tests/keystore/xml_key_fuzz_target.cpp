// One hostile text through the XML key value reader, and every key it reads back through the writers
// and the reader again: the target of the ctest fuzz case and of the libFuzzer program.
#include <algorithm>
#include <initializer_list>
#include <string>

#include "keystore/xml_key.h"
#include "parsers/xml_dom.h"

namespace velmora::keystore::testing {

namespace {

// Numbers lists the type and the numbers the reader fills, leading zero bytes aside.
std::string Numbers(const crypto::KeyRecord& k) {
  const crypto::RsaKeyParams& r = k.RsaParams;
  const crypto::DsaKeyParams& d = k.DsaParams;
  std::string all = std::to_string(k.Type);
  for (const core::BufferCore* v : std::initializer_list<const core::BufferCore*>{
           &r.Modulus, &r.Exponent, &r.D, &r.P, &r.Q, &r.InverseQ, &d.P, &d.Q, &d.G, &d.Y, &d.X}) {
    const std::string bytes(v->Data(), static_cast<size_t>(v->Length()));
    all += "|" + bytes.substr(std::min(bytes.find_first_not_of('\0'), bytes.size()));
  }
  return all;
}

}  // namespace

// FuzzXmlKeyInput names the first result outside its codes ("" when none is).
std::string FuzzXmlKeyInput(const std::string& input) {
  pki::CertificateList certificates;
  core::PtrArray<crypto::KeyRecord> keys;
  const int rc = ReadXmlKey(input.c_str(), certificates, keys);
  // The parser's and the lookup's codes (200 for nesting deeper than the store keeps), the certificate
  // reader's (446, 447, -1, 1401) and 280.
  const bool known = rc == 0 || rc == 280 || (rc >= 200 && rc <= parsers::kXmlTextOutsideRoot) || rc == 306 ||
                     rc == 446 || rc == 447 || rc == -1 || rc == 1401;
  if (!known) return "ReadXmlKey " + std::to_string(rc);
  if (rc == 0 && certificates.Count() == 0 && keys.Count() == 0) return "0 with nothing read";
  for (int32_t i = 0; i < keys.Count(); ++i) {
    const crypto::KeyRecord& key = *keys.Get(i);
    core::Buffer out;
    const int w = key.Type == crypto::kKeyRsa ? WriteRsaKeyValue(key.RsaParams, 1, out)
                                              : WriteDsaKeyValue(key.DsaParams, 1, out);
    if (w != 0) return "writer " + std::to_string(w);
    // A DSA value read with an empty required number is written without it.
    pki::CertificateList again_certificates;
    core::PtrArray<crypto::KeyRecord> again;
    const int r = ReadXmlKey(out.Data(), again_certificates, again);
    if (r != 0 && r != parsers::kXmlNoSuchChild) return "reading the written value " + std::to_string(r);
    if (r == 0 && (again.Count() != 1 || Numbers(key) != Numbers(*again.Get(0)))) return "numbers changed on writing";
  }
  return "";
}

}  // namespace velmora::keystore::testing
