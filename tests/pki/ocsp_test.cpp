// OCSP requests and responses against the openssl command line (request maker, request printer and file-mode
// responder), libcrypto (request signatures) and python3-cryptography (what a request and a response say).
#include <gtest/gtest.h>
#include <openssl/ocsp.h>

#include <memory>
#include <string>
#include <vector>

#include "core/date_time.h"
#include "pki/key_export.h"
#include "pki/ocsp.h"
#include "pki/pem_armour.h"
#include "platform/time.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::pki::testing {

namespace {

constexpr const char* kOracle = VELMORA_TEST_SOURCE_DIR "/pki/ocsp_oracle.py";
constexpr const char* kCorpus = "/usr/lib/python3/dist-packages/cryptography_vectors/x509/ocsp/";
constexpr const char* kUntrusted = "Untrusted certificate is used to sign the response";

// Pki is the oracle's CA, leaves, responders and index, made once for the whole program.
struct Pki {
  ScratchDir dir;
  bool made = false;
  Pki() { made = Runs((std::string(kDebianPython) + " " + kOracle + " make " + dir.path + " 2>/dev/null").c_str()); }
  std::string Der(const std::string& stem) const {
    core::Buffer der;
    EXPECT_EQ(PemDecode(dir.Read(stem + ".pem").c_str(), "CERTIFICATE", der, ""), 0) << stem;
    return Bytes(der);
  }
};

const Pki& SharedPki() {
  static const Pki pki;
  return pki;
}

// NowAt fixes the clock for its lifetime.
struct NowAt {
  explicit NowAt(int64_t unix_ms) {
    uint64_t file_time = 0;
    core::UnixMsToFileTime(unix_ms, &file_time);
    platform::test::SetNowFileTime(file_time);
  }
  ~NowAt() { platform::test::SetNowFileTime(0); }
};

int64_t UnixMs(const std::string& stamp) {
  int64_t ms = 0;
  auto part = [&](size_t at, size_t n) { return static_cast<uint32_t>(std::stoul(stamp.substr(at, n))); };
  EXPECT_EQ(core::DatePartsToUnixMs(part(0, 4), part(4, 2), part(6, 2), part(8, 2), part(10, 2), part(12, 2), 0, &ms), 0);
  return ms;
}

class Ocsp : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OpensslAvailable() || !DebianPythonAvailable()) GTEST_SKIP() << "openssl or Debian's python3 is missing";
    if (!pki().made) GTEST_SKIP() << "the oracle could not make its certificates";
  }
  const Pki& pki() const { return SharedPki(); }

  // Prepare sets request up for the leaves under issuer.
  void Prepare(OcspRequest& request, const std::vector<std::string>& leaves, const char* hash = "SHA1",
               const std::string& issuer = "ca") {
    request.Reset();
    ASSERT_EQ(request.issuerCertificate.SetData(static_cast<int32_t>(pki().Der(issuer).size()), pki().Der(issuer).data()), 0);
    for (const std::string& leaf : leaves) {
      const std::string der = pki().Der(leaf);
      ASSERT_EQ(request.certificates.Add(der.data(), static_cast<int32_t>(der.size())), 0);
    }
    ASSERT_EQ(request.hashAlgorithm.SetString(hash), 0);
  }
  std::string Encode(OcspRequest& request) {
    core::Buffer out;
    EXPECT_EQ(request.Encode(out), 0) << request.errorText.Data();
    return Bytes(out);
  }
  std::string Openssl(const std::string& arguments) {
    std::string out;
    EXPECT_TRUE(RunCommand("cd " + pki().dir.path + " && openssl ocsp " + arguments + " 2>/dev/null", &out)) << arguments;
    return out;
  }
  // Respond has the file-mode responder answer a request with the signer options given.
  std::string Respond(const std::string& request, const std::string& options) {
    const std::string name = "q" + std::to_string(++files_);
    pki().dir.Write(name + ".der", request);
    Openssl("-index index.txt -CA ca.pem -reqin " + name + ".der -respout " + name + ".resp " + options);
    return pki().dir.Read(name + ".resp");
  }
  static int Parse(OcspRequest& request, const std::string& response) {
    return ParseOcspResponse(request, Held(response).Bytes(), static_cast<int32_t>(response.size()));
  }
  std::string Python(const std::string& mode, const std::string& path) {
    std::string out;
    EXPECT_TRUE(RunCommand(std::string(kDebianPython) + " " + kOracle + " " + mode + " " + path + " 2>/dev/null", &out));
    return out;
  }
  // Answers is the response side as the oracle prints it (without the serial, checked against certID).
  static std::string Answers(const OcspRequest& request) {
    std::string text;
    for (int32_t i = 0; i < request.singleResponses.Count(); ++i) text += Answers(*request.singleResponses.Get(i));
    return text;
  }
  static std::string Answers(const OcspSingleResponse& a) {
    const auto stamp = [](const core::Buffer& b) { return b.IsEmpty() ? std::string("-") : Bytes(b); };
    return std::to_string(a.status) + " " + stamp(a.thisUpdate) + " " + stamp(a.nextUpdate) + " " +
           stamp(a.revocationTime) + " " + std::to_string(a.revocationReason) + "\n";
  }
  // ExpectOracleAnswers compares the response side with the oracle's reading of the response file.
  void ExpectOracleAnswers(const OcspRequest& request, const std::string& response_path) {
    const auto lines = testing_support::Lines(Python("resp", response_path));
    ASSERT_EQ(static_cast<int32_t>(lines.size()), request.singleResponses.Count() + 1) << response_path;
    EXPECT_EQ(Bytes(request.producedAt), lines[0][0]);
    if (lines[0][1] != "name") {
      EXPECT_EQ(Bytes(request.responderId), lines[0][1]);
    }
    std::string expected;
    for (size_t i = 1; i < lines.size(); ++i) {
      expected += lines[i][0] + " " + lines[i][1] + " " + lines[i][2] + " " + lines[i][3] + " " + lines[i][4] + "\n";
      std::string serial = lines[i][5];
      if (serial.size() % 2 != 0) serial = "0" + serial;
      EXPECT_TRUE(testing_support::ToHex(Bytes(request.singleResponses.Get(int32_t(i - 1))->certID)).ends_with(serial));
    }
    EXPECT_EQ(Answers(request), expected) << response_path;
  }
  int files_ = 0;
  ProvidersLoaded providers_;
};

TEST_F(Ocsp, UnsignedRequestsEqualOpensslAndPythonReadsThem) {
  struct Row {
    std::vector<std::string> leaves;
    const char* hash;
    std::string issuer, options;
  } rows[] = {{{"leaf1"}, "SHA1", "ca", "-issuer ca.pem -cert leaf1.pem"},
              {{"leaf2"}, "SHA256", "ca", "-issuer ca.pem -sha256 -cert leaf2.pem"},
              {{"ecleaf"}, "SHA1", "ecca", "-issuer ecca.pem -cert ecleaf.pem"},
              {{"leaf1", "leaf3"}, "SHA1", "ca", "-issuer ca.pem -cert leaf1.pem -cert leaf3.pem"}};
  for (const Row& row : rows) {
    OcspRequest request;
    Prepare(request, row.leaves, row.hash, row.issuer);
    const std::string ours = Encode(request);
    Openssl(row.options + " -no_nonce -reqout expected.der");
    EXPECT_EQ(Hex(ours), Hex(pki().dir.Read("expected.der"))) << row.options;
    EXPECT_EQ(request.certIdsSent.Count(), static_cast<int32_t>(row.leaves.size()));
    if (row.leaves.size() == 1) {
      const auto line = testing_support::Lines(Python("req", pki().dir.Write("ours.der", ours)));
      ASSERT_EQ(line.size(), 1u);
      EXPECT_EQ(line[0][1], row.hash == std::string("SHA1") ? "sha1" : "sha256");
    }
  }
}

TEST_F(Ocsp, NonceAndRequestorNameAsTheReadersShowThem) {
  OcspRequest request;
  Prepare(request, {"leaf1"});
  const std::string first(16, '\x5A'), nonce = testing_support::FromHex("00112233445566778899aabbccddeeff");
  ASSERT_EQ(AddOcspNonceExtension(request, reinterpret_cast<const uint8_t*>(first.data()), 16), 0);
  ASSERT_EQ(AddOcspNonceExtension(request, reinterpret_cast<const uint8_t*>(nonce.data()), 16), 0);
  ASSERT_EQ(request.requestExtensions.Count(), 1);  // the second nonce replaced the first
  EXPECT_EQ(Bytes(request.requestExtensions.Get(0)->value), "\x04\x12\x04\x10" + nonce);
  const std::string path = pki().dir.Write("nonce.der", Encode(request));
  EXPECT_EQ(testing_support::Lines(Python("req", path))[0][2], testing_support::ToHex(nonce));
  EXPECT_NE(Openssl("-reqin nonce.der -req_text").find("OCSP Nonce: \n            0410" + Hex(nonce)), std::string::npos);

  ASSERT_EQ(request.requestorName.SetString("email:ocsp@velmora.test"), 0);
  pki().dir.Write("named.der", Encode(request));
  EXPECT_NE(Openssl("-reqin named.der -req_text").find("Requestor Name: email:ocsp@velmora.test"), std::string::npos);
}

TEST_F(Ocsp, SignedRequestsNameTheKeysAlgorithmAndVerify) {
  const std::pair<const char*, const char*> rows[] = {{"sign_rsa", "sha1WithRSAEncryption"},
                                                       {"sign_p256", "ecdsa-with-SHA256"},
                                                       {"sign_ed25519", "ED25519"},
                                                       {"sign_dsa", "dsaWithSHA1"}};
  for (const auto& [stem, algorithm] : rows) {
    crypto::KeyRecord key;
    ASSERT_EQ(LoadKeyFromPem(key, pki().dir.Read(std::string(stem) + ".key").c_str()), 0) << stem;
    Held signer(pki().Der(stem));
    OcspRequest request;
    Prepare(request, {"leaf1"});
    request.signerCertificate = &signer;
    request.signerKey = &key;
    // libcrypto finds the signer by a directoryName requestor.
    ASSERT_EQ(request.requestorName.SetString(("dirname:CN=Requestor " + std::string(stem) + ", O=Velmora Test").c_str()), 0);
    const std::string der = Encode(request);
    pki().dir.Write("signed.der", der);
    EXPECT_NE(Openssl("-reqin signed.der -req_text").find(std::string("Signature Algorithm: ") + algorithm),
              std::string::npos) << stem;
    // libcrypto checks the signature over tbsRequest with the key of the certificate carried in it.
    const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<OCSP_REQUEST, decltype(&OCSP_REQUEST_free)> parsed(
        d2i_OCSP_REQUEST(nullptr, &cursor, static_cast<long>(der.size())), OCSP_REQUEST_free);
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
    ASSERT_NE(parsed, nullptr) << stem;
    EXPECT_EQ(OCSP_request_verify(parsed.get(), nullptr, store.get(), OCSP_NOVERIFY), 1) << stem;
  }
}

TEST_F(Ocsp, CheckEndsWhereTheRequestWouldBeSent) {
  const std::string kNoResponse = "Failed to get a valid response from the OCSP server: http://ocsp.velmora.test/status";
  struct Row {
    const char* leaf;
    std::vector<std::string> candidates;
    bool report;
    int rc;
    std::string text;
  } rows[] = {
      {"noaia", {"ca"}, false, 0, ""},
      {"noaia", {"ca"}, true, 280, "OCSP check failed: OCSP is not supported by the certificate."},
      {"leaf2", {"other"}, false, 275, "Failed to find the Issuer of the certificate: CN=OCSP leaf2, O=Velmora Test"},
      {"leaf1", {"other"}, false, 0, ""},
      {"leaf1", {"other"}, true, 280, "Failed to get the Issuer from the url: http://ca.velmora.test/ca.crt"},
      {"leaf2", {"other", "ca"}, false, 0, ""},
      {"leaf2", {"other", "ca"}, true, 280, kNoResponse},
      {"leaf2", {"other", "caseca"}, true, 280, kNoResponse},  // the same name in other letter case
  };
  for (const Row& row : rows) {
    for (const bool pem : {true, false}) {
      core::StrList candidates;
      for (const std::string& stem : row.candidates) {
        const std::string item = pem ? pki().dir.Read(stem + ".pem") : pki().Der(stem);
        ASSERT_EQ(candidates.Add(item.data(), static_cast<int32_t>(item.size())), 0);
      }
      core::Buffer text;
      EXPECT_EQ(CheckOcsp(Held(pki().Der(row.leaf)), candidates, text, row.report), row.rc) << row.leaf;
      EXPECT_EQ(Bytes(text), row.text) << row.leaf << (pem ? " PEM" : " DER");
    }
  }
  core::StrList broken;
  ASSERT_EQ(broken.AddCString("\x30\x03\x02"), 0);
  core::Buffer text;
  EXPECT_EQ(CheckOcsp(Held(pki().Der("leaf2")), broken, text, true), 447);
}

TEST_F(Ocsp, ResponderAnswersAreReadAsPythonReadsThem) {
  const std::pair<const char*, const char*> rows[] = {
      {"SHA1", "-rsigner ca.pem -rkey ca.key"},
      {"SHA1", "-rsigner ca.pem -rkey ca.key -resp_no_certs -resp_key_id"},
      {"SHA1", "-rsigner delegate.pem -rkey delegate.key -ndays 1"},
      {"SHA256", "-rsigner delegate.pem -rkey delegate.key -resp_key_id -nmin 5"},
  };
  const std::string nonce(16, '\x3C');
  for (const auto& [hash, options] : rows) {
    OcspRequest request;
    Prepare(request, {"leaf1", "leaf2", "leaf3"}, hash);
    ASSERT_EQ(AddOcspNonceExtension(request, reinterpret_cast<const uint8_t*>(nonce.data()), 16), 0);
    const std::string response = Respond(Encode(request), options);
    EXPECT_EQ(Parse(request, response), 0)
        << options << ": " << request.errorText.Data();
    ExpectOracleAnswers(request, pki().dir.Write("answer.der", response));
  }
}

TEST_F(Ocsp, NonceOrderAndFreshnessAreEnforced) {
  OcspRequest asked, other, reversed;
  Prepare(asked, {"leaf1", "leaf2"});
  Prepare(other, {"leaf1", "leaf2"});
  Prepare(reversed, {"leaf2", "leaf1"});
  const std::string a(16, 'a'), b(16, 'b');
  ASSERT_EQ(AddOcspNonceExtension(asked, reinterpret_cast<const uint8_t*>(a.data()), 16), 0);
  ASSERT_EQ(AddOcspNonceExtension(other, reinterpret_cast<const uint8_t*>(b.data()), 16), 0);
  Encode(asked);
  const std::string for_other = Respond(Encode(other), "-rsigner ca.pem -rkey ca.key -nmin 5");
  const std::string for_reversed = Respond(Encode(reversed), "-rsigner ca.pem -rkey ca.key");
  EXPECT_EQ(Parse(asked, for_other), 275);
  EXPECT_EQ(Bytes(asked.errorText), "Invalid Nonce response");
  Prepare(asked, {"leaf1", "leaf2"});
  Encode(asked);
  EXPECT_EQ(Parse(asked, for_reversed), 275);
  EXPECT_EQ(Bytes(asked.errorText), "Invalid response");

  // nextUpdate is thisUpdate + 5 minutes; the clock may be five minutes off either way.
  ASSERT_EQ(Parse(other, for_other), 0) << other.errorText.Data();
  const int64_t this_update = UnixMs(Bytes(other.singleResponses.Get(0)->thisUpdate));
  const std::pair<int, int> minutes[] = {{-6, 275}, {-4, 0}, {9, 0}, {11, 275}};
  for (const auto& [offset, rc] : minutes) {
    NowAt now(this_update + offset * 60000LL);
    EXPECT_EQ(Parse(other, for_other), rc) << offset << " minutes";
    EXPECT_EQ(Bytes(other.errorText), rc == 0 ? "" : "Invalid response");
  }
}

TEST_F(Ocsp, OnlyTheIssuerOrItsDelegateMaySign) {
  struct Row {
    const char* options;
    int days_ahead;  // the clock moved forward
    int rc;
  } rows[] = {
      {"-rsigner fakeca.pem -rkey fakeca.key", 0, 275},  // self-made, the CA's subject name
      {"-rsigner rogue.pem -rkey rogue.key", 0, 275},    // OCSP signing, the CA's name as issuer, not its signature
      {"-rsigner expired.pem -rkey expired.key", 20, 275},
      {"-rsigner expired.pem -rkey expired.key", 0, 0},  // the same responder within its validity
      {"-rsigner eku90.pem -rkey eku90.key", 0, 275},    // 1.3.6.1.5.5.7.3.90 only
  };
  for (const Row& row : rows) {
    OcspRequest request;
    Prepare(request, {"leaf1"});
    const std::string response = Respond(Encode(request), row.options);
    std::unique_ptr<NowAt> now;
    if (row.days_ahead != 0) now = std::make_unique<NowAt>(core::CurrentUnixMs() + row.days_ahead * 86400000LL);
    EXPECT_EQ(Parse(request, response), row.rc)
        << row.options;
    EXPECT_EQ(Bytes(request.errorText), row.rc == 0 ? "" : kUntrusted) << row.options;
  }
}

TEST_F(Ocsp, CorpusResponsesGiveTheirTextsAndPythonsAnswers) {
  std::string unknown_type;
  RunCommand(std::string("openssl asn1parse -inform DER -in ") + kCorpus +
                 "resp-response-type-unknown-oid.der | sed -n 's/.*OBJECT *://p'", &unknown_type);
  const std::string patched_unauthorized = [] {
    std::string bytes = ReadFile(std::string(kCorpus) + "resp-unauthorized.der");
    if (bytes.size() > 4) bytes[4] = 4;  // 30 03 0A 01 status
    return bytes;
  }();
  const std::pair<std::string, std::string> refused[] = {
      {ReadFile(std::string(kCorpus) + "resp-unauthorized.der"), "Request unauthorized"},
      {ReadFile(std::string(kCorpus) + "resp-successful-no-response-bytes.der"), "ResponseTypes field is missed"},
      {ReadFile(std::string(kCorpus) + "resp-response-type-unknown-oid.der"),
       "Unknown ResponseType: " + unknown_type.substr(0, unknown_type.find('\n'))},
      {ReadFile(std::string(kCorpus) + "resp-unknown-response-status.der"), "Unknown response status: 7"},
      {patched_unauthorized, "Unknown response status: 4"}};
  for (const auto& [bytes, text] : refused) {
    OcspRequest request;
    EXPECT_EQ(Parse(request, bytes), 275) << text;
    EXPECT_EQ(Bytes(request.errorText), text);
  }
  for (const char* name : {"resp-delegate-unknown-cert.der", "resp-invalid-signature-oid.der",
                           "resp-responder-key-hash.der", "resp-revoked-no-next-update.der", "resp-revoked-reason.der",
                           "resp-revoked.der", "resp-sct-extension.der", "resp-sha256.der",
                           "resp-single-extension-reason.der", "resp-unknown-extension.der",
                           "resp-unknown-hash-alg.der"}) {
    const std::string bytes = ReadFile(std::string(kCorpus) + name);
    if (bytes.empty()) GTEST_SKIP() << "python3-cryptography-vectors is not installed";
    OcspRequest request;
    EXPECT_NE(Parse(request, bytes), 0) << name;
    ExpectOracleAnswers(request, std::string(kCorpus) + name);
  }
}

TEST_F(Ocsp, SingleResponseClonesAreWholeAndOwnTheirStorage) {
  const std::string bytes = ReadFile(std::string(kCorpus) + "resp-single-extension-reason.der");
  if (bytes.empty()) GTEST_SKIP() << "python3-cryptography-vectors is not installed";
  OcspRequest request;
  EXPECT_NE(Parse(request, bytes), 0);  // read, but its signer is not known here
  ASSERT_EQ(request.singleResponses.Count(), 1);
  const OcspSingleResponse& source = *request.singleResponses.Get(0);
  ASSERT_EQ(source.extensions.Count(), 1);
  const auto text = [](const OcspSingleResponse& a) {
    std::string out = testing_support::ToHex(Bytes(a.certID)) + " " + Answers(a);
    for (int32_t i = 0; i < a.extensions.Count(); ++i) {
      const CertExtension& e = *a.extensions.Get(i);
      out += " " + Bytes(e.oid) + " " + std::to_string(e.critical) + " " + testing_support::ToHex(Bytes(e.value));
    }
    return out;
  };
  const std::string expected = text(source);
  const RecordPtr<OcspSingleResponse> clone = OcspSingleResponse::Clone(source);
  ASSERT_NE(clone, nullptr);
  request.ResetResponse();  // a clone that shared the source's storage now reads freed memory
  EXPECT_EQ(text(*clone), expected);
}

TEST_F(Ocsp, DamagedResponsesEndInACodeAndKeepWhatWasRead) {
  OcspRequest request;
  Prepare(request, {"leaf1", "leaf2", "leaf3"});
  const std::string response = Respond(Encode(request), "-rsigner delegate.pem -rkey delegate.key");
  std::string bad_signature = response;
  const size_t signature_end = response.find(pki().Der("delegate"));
  ASSERT_NE(signature_end, std::string::npos);
  bad_signature[signature_end - 9] ^= 0x40;  // the signature's last byte, before A0 82 LL LL 30 82 LL LL
  EXPECT_EQ(Parse(request, bad_signature), 275);
  EXPECT_EQ(Bytes(request.errorText), "Invalid signature value");
  EXPECT_EQ(request.singleResponses.Count(), 3);
  std::string wrong_tag = response;
  wrong_tag[0] = 0x31;
  EXPECT_EQ(Parse(request, wrong_tag), 447);
  for (size_t length = 0; length < response.size(); length += 7) {
    EXPECT_NE(ParseOcspResponse(request, Held(response).Bytes(), static_cast<int32_t>(length)), 0) << length;
  }
}

}  // namespace
}  // namespace velmora::pki::testing
