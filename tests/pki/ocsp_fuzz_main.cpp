// libFuzzer entry of the OCSP response fuzz target (clang, -fsanitize=fuzzer); run by hand. The request
// asks about leaf1.pem under ca.pem of the folder VELMORABLE_OCSP_FUZZ_PKI names (the test oracle's
// "make" writes one); without it the request has no issuer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "core/buffer.h"
#include "crypto/providers/provider_tables.h"
#include "pki/pem_armour.h"

namespace velmora::pki::testing {
std::string FuzzOcspResponseInput(const std::string& input);
void SetOcspFuzzRequest(const std::string& issuer, const std::string& certificate);
}  // namespace velmora::pki::testing

namespace {

std::string CertificateDer(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  velmora::core::Buffer der;
  if (velmora::pki::PemDecode(text.c_str(), "CERTIFICATE", der, "") != 0) return "";
  return std::string(der.Data(), static_cast<size_t>(der.Length()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  velmora::crypto::CryptoProvidersStaticInit();
  if (const char* folder = std::getenv("VELMORABLE_OCSP_FUZZ_PKI"); folder != nullptr) {
    velmora::pki::testing::SetOcspFuzzRequest(CertificateDer(std::string(folder) + "/ca.pem"),
                                              CertificateDer(std::string(folder) + "/leaf1.pem"));
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string problem =
      velmora::pki::testing::FuzzOcspResponseInput(std::string(reinterpret_cast<const char*>(data), size));
  if (!problem.empty()) {
    std::fprintf(stderr, "%s is outside its results\n", problem.c_str());
    std::abort();
  }
  return 0;
}
