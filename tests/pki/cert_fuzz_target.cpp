// One hostile input through the certificate decoders (then every getter and the encoder on what parsed)
// and through the extension value readers: the target of the ctest fuzz case and of the libFuzzer program.
#include <cstdint>
#include <string>
#include <utility>

#include "asn1/der_writer.h"
#include "core/buffer.h"
#include "pki/cert_extensions.h"
#include "pki/certificate_codec.h"
#include "pki/general_names.h"
#include "pki/key_usage.h"

namespace velmora::pki::testing {

namespace {

bool Allowed(int rc) { return rc == 0 || rc == 200 || rc == 446 || rc == 447; }

// ExerciseCertificate runs every getter and the encoder; "" or the name of one outside its results.
std::string ExerciseCertificate(Certificate& c) {
  core::Buffer url;
  (void)GetSubjectAltNameText(c, true);
  (void)GetSubjectAltNameText(c, false);
  (void)GetKeyUsageText(c);
  (void)DecodeExtendedKeyUsage(c);
  (void)DecodeCrlDistributionPoints(c);
  if (!Allowed(GetAiaCaIssuersUrl(c, url)) || !Allowed(GetAiaOcspUrl(c, url))) return "GetAia";
  DerWriter writer;
  if (EncodeCertificate(c, writer) != 0 || writer.Length() != c.der.Length()) return "EncodeCertificate";
  return "";
}

}  // namespace

// FuzzCertificateInput feeds the input to the certificate and extension readers and names the first that
// ends outside its results ("" when none does).
std::string FuzzCertificateInput(const std::string& input) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(input.data());
  Certificate parsed, stored;
  int rc = ParseCertificate(bytes, static_cast<int32_t>(input.size()), parsed);
  if (!Allowed(rc) && rc != -1 && rc != 1401) return "ParseCertificate " + std::to_string(rc);
  if (rc == 0) {
    if (std::string problem = ExerciseCertificate(parsed); !problem.empty()) return problem;
  }
  if (stored.der.SetData(static_cast<int32_t>(input.size()), input.data()) != 0) return "SetData";
  rc = DecodeStoredCertificate(stored);
  if (!Allowed(rc) && rc != -1 && rc != 1401) return "DecodeStoredCertificate " + std::to_string(rc);
  // A failed decode leaves the extensions read before it, never more than the input holds.
  if (stored.tbs.extensions.Count() > static_cast<int32_t>(input.size())) return "extension count";

  core::Buffer der, text;
  if (der.SetData(static_cast<int32_t>(input.size()), input.data()) != 0) return "SetData";
  CertExtension extension;
  uint32_t bits = 0;
  const std::pair<const char*, int> results[] = {{"CertExtension::Decode", extension.Decode(der)},
                                                 {"GeneralNamesToText", GeneralNamesToText(der, text, true)},
                                                 {"OidListToText", OidListToText(der, text)},
                                                 {"KeyUsageExtensionToBits", KeyUsageExtensionToBits(der, &bits)}};
  for (const auto& [name, result] : results) {
    if (!Allowed(result)) return name + (" " + std::to_string(result));
  }
  return "";
}

}  // namespace velmora::pki::testing
