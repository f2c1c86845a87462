// OCSP responses made by the openssl file-mode responder for our requests, read and verified next to
// OpenSSL on the same bytes: ParseOcspResponse against d2i_OCSP_RESPONSE, OCSP_basic_verify with the CA as
// trust anchor and OCSP_resp_find_status. range(0) picks the response: 0 an RSA-2048 delegated responder
// with its certificate included, 1 a P-256 CA signing itself. The certificates come from the OCSP test
// oracle (Debian's python3 with python3-cryptography) and the responses from the openssl command line.
#include <benchmark/benchmark.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "crypto/providers/provider_tables.h"
#include "pki/ocsp.h"
#include "pki/pem_armour.h"

namespace {

struct Scenario {
  std::string issuer_pem, leaf_pem, issuer, leaf, response;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Der(const std::string& pem) {
  velmora::core::Buffer der;
  if (velmora::pki::PemDecode(pem.c_str(), "CERTIFICATE", der, "") != 0) return "";
  return std::string(der.Data(), static_cast<size_t>(der.Length()));
}

// Prepare sets request up for the scenario's leaf and encodes it (the CertIDs a response is matched to).
bool Prepare(const Scenario& s, velmora::pki::OcspRequest& request, velmora::core::Buffer& out) {
  return request.issuerCertificate.SetData(static_cast<int32_t>(s.issuer.size()), s.issuer.data()) == 0 &&
         request.certificates.Add(s.leaf.data(), static_cast<int32_t>(s.leaf.size())) == 0 && request.Encode(out) == 0;
}

const Scenario* Scenarios() {
  static Scenario scenarios[2];
  static const bool made = [] {
    velmora::crypto::CryptoProvidersStaticInit();
    char pattern[] = "/tmp/velmora_ocsp_bench_XXXXXX";
    if (mkdtemp(pattern) == nullptr) return false;
    const std::string dir = pattern;
    const std::string make = "/usr/bin/python3 " VELMORA_TEST_SOURCE_DIR "/pki/ocsp_oracle.py make " + dir;
    if (std::system((make + " 2>/dev/null").c_str()) != 0) return false;
    const char* setups[2][3] = {{"ca", "leaf1", "-rsigner delegate.pem -rkey delegate.key"},
                                {"ecca", "ecleaf", "-rsigner ecca.pem -rkey ecca.key"}};
    for (int i = 0; i < 2; ++i) {
      Scenario& s = scenarios[i];
      s.issuer_pem = ReadFile(dir + "/" + setups[i][0] + ".pem");
      s.leaf_pem = ReadFile(dir + "/" + setups[i][1] + ".pem");
      s.issuer = Der(s.issuer_pem);
      s.leaf = Der(s.leaf_pem);
      velmora::pki::OcspRequest request;
      velmora::core::Buffer der;
      if (!Prepare(s, request, der)) return false;
      std::ofstream(dir + "/q.der", std::ios::binary) << std::string(der.Data(), static_cast<size_t>(der.Length()));
      const std::string respond = "cd " + dir + " && openssl ocsp -index index.txt -CA " + setups[i][0] +
                                  ".pem -reqin q.der -respout r.der " + setups[i][2] + " >/dev/null 2>&1";
      if (std::system(respond.c_str()) != 0) return false;
      s.response = ReadFile(dir + "/r.der");
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return true;
  }();
  return made ? scenarios : nullptr;
}

void BM_ParseOcspResponse(benchmark::State& state) {
  const Scenario* scenarios = Scenarios();
  if (scenarios == nullptr) return state.SkipWithError("openssl or Debian's python3 is missing");
  const Scenario& s = scenarios[state.range(0)];
  velmora::pki::OcspRequest request;
  velmora::core::Buffer der;
  if (!Prepare(s, request, der)) return state.SkipWithError("request");
  for (auto _ : state) {
    if (velmora::pki::ParseOcspResponse(request, reinterpret_cast<const uint8_t*>(s.response.data()),
                                        static_cast<int32_t>(s.response.size())) != 0) {
      return state.SkipWithError(request.errorText.Data());
    }
    benchmark::DoNotOptimize(request.singleResponses.Get(0)->status);
  }
}

X509* ReadX509(const std::string& pem) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
  return PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
}

void BM_OpensslOcspResponse(benchmark::State& state) {
  const Scenario* scenarios = Scenarios();
  if (scenarios == nullptr) return state.SkipWithError("openssl or Debian's python3 is missing");
  const Scenario& s = scenarios[state.range(0)];
  X509* issuer = ReadX509(s.issuer_pem);
  X509* leaf = ReadX509(s.leaf_pem);
  X509_STORE* store = X509_STORE_new();
  X509_STORE_add_cert(store, issuer);
  OCSP_CERTID* id = OCSP_cert_to_id(nullptr, leaf, issuer);
  for (auto _ : state) {
    const unsigned char* cursor = reinterpret_cast<const unsigned char*>(s.response.data());
    OCSP_RESPONSE* response = d2i_OCSP_RESPONSE(nullptr, &cursor, static_cast<long>(s.response.size()));
    OCSP_BASICRESP* basic = response != nullptr ? OCSP_response_get1_basic(response) : nullptr;
    int status = -1, reason = 0;
    ASN1_GENERALIZEDTIME *revoked = nullptr, *this_update = nullptr, *next_update = nullptr;
    if (basic == nullptr || OCSP_basic_verify(basic, nullptr, store, 0) != 1 ||
        OCSP_resp_find_status(basic, id, &status, &reason, &revoked, &this_update, &next_update) != 1) {
      state.SkipWithError("openssl refused the response");
    }
    benchmark::DoNotOptimize(status);
    OCSP_BASICRESP_free(basic);
    OCSP_RESPONSE_free(response);
    if (status == -1) break;
  }
  OCSP_CERTID_free(id);
  X509_STORE_free(store);
  X509_free(leaf);
  X509_free(issuer);
}

BENCHMARK(BM_ParseOcspResponse)->Arg(0)->Arg(1);
BENCHMARK(BM_OpensslOcspResponse)->Arg(0)->Arg(1);

}  // namespace
