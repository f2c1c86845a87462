// One hostile OCSP response read as the answer to a fixed request: the target of the ctest fuzz case and
// of the libFuzzer program.
#include <string>

#include "core/buffer.h"
#include "pki/ocsp.h"

namespace velmora::pki::testing {

namespace {

struct FixedRequest {
  std::string issuer, certificate;
};

FixedRequest& Fixed() {
  static FixedRequest fixed;
  return fixed;
}

bool Allowed(int rc) {
  return rc == 0 || rc == -1 || rc == kOcspRefused || rc == 432 || rc == 434 || rc == 445 || rc == 446 || rc == 447 ||
         rc == 1401;
}

}  // namespace

// SetOcspFuzzRequest fixes the issuer and the certificate the responses answer about (DER).
void SetOcspFuzzRequest(const std::string& issuer, const std::string& certificate) {
  Fixed().issuer = issuer;
  Fixed().certificate = certificate;
}

// FuzzOcspResponseInput reads the input as the response to the fixed request: "" when the result is 0
// with every CertID answered, or a refusal or reader's code; otherwise what went wrong.
std::string FuzzOcspResponseInput(const std::string& input) {
  OcspRequest request;
  core::Buffer encoded;
  const FixedRequest& fixed = Fixed();
  if (request.issuerCertificate.SetData(static_cast<int32_t>(fixed.issuer.size()), fixed.issuer.data()) != 0 ||
      request.certificates.Add(fixed.certificate.data(), static_cast<int32_t>(fixed.certificate.size())) != 0) {
    return "set-up";
  }
  if (!fixed.issuer.empty() && request.Encode(encoded) != 0) return "Encode";
  const int rc = ParseOcspResponse(request, reinterpret_cast<const uint8_t*>(input.data()),
                                   static_cast<int32_t>(input.size()));
  if (!Allowed(rc)) return "ParseOcspResponse " + std::to_string(rc);
  if (rc == 0 && request.singleResponses.Count() != request.certIdsSent.Count()) return "unmatched answers";
  if (rc == kOcspRefused && request.errorText.IsEmpty()) return "refusal without a text";
  return "";
}

}  // namespace velmora::pki::testing
