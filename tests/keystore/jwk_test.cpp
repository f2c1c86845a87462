// JSON Web Keys against jwcrypto (Debian's python3-jwcrypto): keys it generates load with its numbers, the
// keys we write load in it with the same thumbprint, and member texts survive the trip; jq reads our text.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/base64.h"
#include "keystore/jwk.h"
#include "pki/certificate_codec.h"
#include "tests/fuzz_support.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::keystore::testing {

std::string FuzzJwkInput(const std::string& input);

namespace {

using pki::testing::Bytes;
using pki::testing::kDebianPython;
using pki::testing::RunCommand;
using pki::testing::Shell;

bool JwcryptoAvailable() {
  static const bool available = pki::testing::Runs("/usr/bin/python3 -c 'import jwcrypto' >/dev/null 2>&1");
  return available;
}

// Generates each key kind and prints its private and its public JWK, both with kid, use, alg and a numeric
// exp, as "private|public" lines.
constexpr const char* kGenerate = R"(
import json
from jwcrypto import jwk
specs = [dict(kty='RSA', size=2048)] + [dict(kty='EC', crv=c) for c in ('P-256', 'P-384', 'P-521', 'secp256k1')] \
      + [dict(kty='OKP', crv=c) for c in ('Ed25519', 'Ed448', 'X25519', 'X448')]
for i, spec in enumerate(specs):
    key, extra = jwk.JWK.generate(**spec), dict(kid='key:%d.a' % i, use='sig', alg='none', exp=1700000000 + i)
    full, pub = key.export(as_dict=True), key.export_public(as_dict=True)
    print(json.dumps(dict(full, **extra), separators=(',', ':')) + '|' + json.dumps(dict(pub, **extra)))
)";

// Reads "source|ours" lines and prints one verdict a line: ours holds the same members and numbers in the
// same encoding (so EC coordinates at full size), and jwcrypto reads it with the source's thumbprint.
constexpr const char* kCheck = R"(
import json, sys
from jwcrypto import jwk
for line in sys.stdin.read().splitlines():
    src, ours = line.split('|')
    same = json.loads(src) == json.loads(ours)
    print('ok' if same and jwk.JWK.from_json(src).thumbprint() == jwk.JWK.from_json(ours).thumbprint() else ours)
)";

// The base point of P-256 (SEC 2 section 2.4.2) as JWK members, printed by openssl ecparam.
const std::string kP256Base = R"("x":"axfR8uEsQkf4vOblY6RA8ncDfYEt6zOg9KE5RdiYwpY",)"
                              R"("y":"T-NC4v4af5uO5-tKfA-eFivOM1drMV7Oy7ZAaDe_UfU")";

std::string Write(const crypto::KeyRecord& key, uint32_t include_private) {
  core::Buffer out;
  EXPECT_EQ(WriteJwk(key, include_private, out), 0);
  return Bytes(out);
}

TEST(Jwk, JwcryptoKeysLoadAndOurKeysLoadInJwcrypto) {
  if (!JwcryptoAvailable()) GTEST_SKIP() << "Debian's python3 with jwcrypto is not installed";
  std::string generated, pairs, verdicts, all_ok;
  ASSERT_TRUE(testing_support::RunPython(kGenerate, "", "", &generated, kDebianPython));
  std::istringstream lines(generated);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    for (const bool with_private : {true, false}) {
      const std::string source = with_private ? line.substr(0, line.find('|')) : line.substr(line.find('|') + 1);
      pki::KeyWithCertificates record;
      ASSERT_EQ(LoadJwk(record, source.c_str()), 0) << source;
      EXPECT_EQ(record.key.HasPrivatePart(), with_private) << source;
      EXPECT_STREQ(record.key.GetAttribute("JWK_2_kid"), ("key:" + std::to_string(count) + ".a").c_str());
      EXPECT_STREQ(record.key.GetAttribute("JWK_3_exp"), std::to_string(1700000000 + count).c_str());
      pairs += source + "|" + Write(record.key, with_private ? 1 : 0) + "\n";
      all_ok += "ok\n";
    }
  }
  EXPECT_EQ(count, 9);
  ASSERT_TRUE(testing_support::RunPython(kCheck, "", pairs, &verdicts, kDebianPython));
  EXPECT_EQ(verdicts, all_ok);
}

TEST(Jwk, BadDocumentsGive271AndRepeatedMembersKeepTheLast) {
  const std::string rsa = R"({"kty":"RSA","n":"AQAB","e":"AQAB")";
  const struct {
    std::string text;
    int code;
  } cases[] = {
      {R"({"n":"AQAB","e":"AQAB"})", 271},
      {R"({"kty":"DSA","n":"AQAB","e":"AQAB"})", 271},
      {R"({"kty":"EC","crv":"P-192","x":"AQAB","y":"AQAB"})", 271},
      {R"({"kty":"OKP","crv":"Ed1","x":"AQAB"})", 271},
      {R"({"kty":"RSA","e":"AQAB"})", 271},
      {R"({"kty":"RSA","n":"AQAB"})", 271},
      {R"({"kty":"EC","crv":"P-256","y":"AQAB"})", 271},
      {R"({"kty":"EC","crv":"P-256","x":"AQAB"})", 271},
      {rsa, 271},
      {rsa.substr(0, 20), 271},
      {"[" + rsa + "}]", 271},
      {"", 271},
      {rsa + "}", 0},
      {R"({"kty":"RSA","n":"AQAB","e":"AQAB","kid":"key:1.a"})", 0},
  };
  for (const auto& c : cases) {
    pki::KeyWithCertificates record;
    EXPECT_EQ(LoadJwk(record, c.text.c_str()), c.code) << c.text;
  }
  pki::KeyWithCertificates record;
  const std::string last = "AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQE";  // 32 bytes of 01
  ASSERT_EQ(LoadJwk(record, (R"({"kty":"OKP","crv":"Ed25519","x":"AAAA","x":")" + last + R"(","kid":"k"})").c_str()),
            0);
  EXPECT_EQ(Bytes(record.key.EdParams.PublicKey), std::string(32, '\x01'));
  EXPECT_STREQ(record.key.GetAttribute("JWK_2_x"), last.c_str());
  EXPECT_EQ(Write(record.key, 0), R"({"kty":"OKP","crv":"Ed25519","x":")" + last + R"(","kid":"k"})");
}

// The public key readers refuse a point off its curve (an invalid-curve attack on ECDH): the base point
// of P-256 loads, (1, 1) does not, nor the base point with 01 in front of x, nor an Ed25519 key of 3
// bytes.
TEST(Jwk, KeysOffTheirCurveOrOfAnotherLengthGive1401) {
  const std::string wide_x = R"("x":"AWsX0fLhLEJH-Lzm5WOkQPJ3A32BLeszoPShOUXYmMKW")";
  const struct {
    std::string text;
    int code;
  } cases[] = {
      {R"({"kty":"EC","crv":"P-256",)" + kP256Base + "}", 0},
      {R"({"kty":"EC","crv":"P-256","x":"AQ","y":"AQ"})", 1401},
      {R"({"kty":"EC","crv":"P-256",)" + wide_x + kP256Base.substr(kP256Base.find(',')) + "}", 1401},
      {R"({"kty":"OKP","crv":"Ed25519","x":"AQID"})", 1401},
  };
  for (const auto& c : cases) {
    pki::KeyWithCertificates record;
    EXPECT_EQ(LoadJwk(record, c.text.c_str()), c.code) << c.text;
  }
}

TEST(Jwk, MemberTextsComeBackAsWritten) {
  if (!Shell("jq --version")) GTEST_SKIP() << "jq is not installed";
  // An Ed25519 key whose first byte is zero keeps all 32 bytes.
  const std::string x = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";
  const std::string text = R"({"kty":"OKP","crv":"Ed25519","x":")" + x +
                           R"(","note":"caf\u00e9 \"q\" \\ \/","nbf":null,"exp":0,"ok":true,"x5u":["a",{"b":1}]})";
  pki::KeyWithCertificates record;
  ASSERT_EQ(LoadJwk(record, text.c_str()), 0);
  ASSERT_EQ(record.key.EdParams.PublicKey.Length(), 32);
  EXPECT_EQ(Write(record.key, 1), text);
  // Values a caller sets are escaped.
  const std::string caller = "say \"hi\"\\ \x01\t\n end";
  ASSERT_EQ(record.key.AddAttribute("JWK_2_said", caller.c_str()), 0);
  ASSERT_EQ(record.key.SetAttribute("JWK_2_note", "plain \\u0041"), 0);
  const std::string ours = Write(record.key, 0);
  char path[] = "/tmp/velmora_jwk_XXXXXX";
  ASSERT_GE(mkstemp(path), 0);
  std::ofstream(path) << ours;
  std::string said, note;
  EXPECT_TRUE(RunCommand(std::string("jq -e . ") + path + " >/dev/null", &said)) << ours;
  EXPECT_TRUE(RunCommand(std::string("jq -j .said ") + path, &said));
  EXPECT_TRUE(RunCommand(std::string("jq -j .note ") + path, &note));
  std::remove(path);
  EXPECT_EQ(said, caller);
  EXPECT_EQ(note, "plain \\u0041");
}

TEST(Jwk, X5cCertificatesJoinTheChainInOrder) {
  if (!pki::testing::OpensslAvailable()) GTEST_SKIP() << "openssl is not installed";
  std::vector<std::string> ders, items;
  for (const char* cn : {"leaf", "issuer"}) {
    std::string der;
    ASSERT_TRUE(Shell(std::string("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "
                                  "/dev/null -subj /CN=") + cn + " -outform DER", &der));
    core::Buffer b64;
    ASSERT_EQ(core::Base64Encode(b64, der.data(), static_cast<int32_t>(der.size()), 0, 0, 0), 0);
    ders.push_back(der);
    items.push_back(Bytes(b64));
  }
  const std::string head = R"({"kty":"EC","crv":"P-256",)" + kP256Base + R"(,"x5c":[")";
  pki::KeyWithCertificates record;
  ASSERT_EQ(LoadJwk(record, (head + items[0] + "\",\n \"" + items[1] + "\"]}").c_str()), 0);
  ASSERT_EQ(record.certificates.Count(), 2);
  EXPECT_EQ(Bytes(record.certificates.Get(0)->der), ders[0]);
  EXPECT_EQ(Bytes(record.certificates.Get(1)->der), ders[1]);

  pki::Certificate broken;
  const int code = pki::ParseCertificate(reinterpret_cast<const uint8_t*>("\x30\x03\x02\x01\x01"), 5, broken);
  pki::KeyWithCertificates partial;
  EXPECT_EQ(LoadJwk(partial, (head + items[0] + "\",\"MAMCAQE\"]}").c_str()), code);
  ASSERT_GE(partial.certificates.Count(), 1);
  EXPECT_EQ(Bytes(partial.certificates.Get(0)->der), ders[0]);
}

// Mutated keys of every type, with chains, escapes and deep nesting, end in the reader's codes; under
// ASan nothing leaks. VELMORABLE_FUZZ_SEED replays the printed seed.
TEST(JwkFuzz, MutatedKeysEndInTheirCodes) {
  pki::testing::ProvidersLoaded providers;
  const std::string pem =
      pki::testing::ReadFile(std::string(pki::testing::kVectors) + "/x509/cryptography.io.pem");
  std::string body;
  for (size_t at = pem.find('\n') + 1; at < pem.size() && pem.compare(at, 5, "-----") != 0; at = pem.find('\n', at) + 1) {
    body += pem.substr(at, pem.find('\n', at) - at);
  }
  std::vector<std::string> seeds = {
      R"({"kty":"RSA","n":"wX1z","e":"AQAB","d":"AQ","p":"Aw","q":"BQ","dp":"Bw","dq":"CQ","qi":"Cw","kid":"a\"b"})",
      // The base points of P-521 (SEC 2) and brainpoolP256r1 (RFC 5639), printed by openssl ecparam.
      R"({"kty":"EC","crv":"P-521","x":"AMaFjga3BATpzZ4-y2YjlbRCnGSBOQU_tSH4KK9ga009uqFLXnfv51ko_h3BJ6L_qN4zSLPBhWpCm_)"
      R"(l-fjHC5b1m","y":"ARg5KWp4mjvABFyKX7QsfRvZmPVESVebRGgXr70XJz5mLJfucple9CZAxVC5AT-tB2E1PHCGonLCQIi-lHaf0WZQ",)"
      R"("d":"Bwg","exp":1700000000,"nbf":null})",
      R"({"kty":"OKP","crv":"X448","x":")" + std::string(75, 'A') + R"(","d":")" + std::string(75, 'B') +
          R"(","ok":true,"x5u":[1,{"a":[]}]})",
      R"({"kty":"EC","crv":"BP-256","x":"i9Kuuct-V8ssS0gv_IG3r7neJ-HjvSPCOkRTvZrOMmI",)"
      R"("y":"VH74NcPaxP2X-EYaFGEdycJ3RRMt7Y5UXB1Uxy8EaZc","x5c":[")" + body + "\",\"" + body + "\"]}",
      R"({"kty":"OKP","crv":"Ed25519","x":")" + std::string(43, 'C') +
          R"(","n":{"a":[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]}})",
      R"({"kty":"RSA","n":"AQ","e":"AQ","deep":)" + std::string(3000, '[') + std::string(3000, ']') + "}",
  };
  testing_support::RunMutationLoop("JWK", seeds, 20000, "{}[]\",:\\AQ0 \x80", FuzzJwkInput);
}

}  // namespace
}  // namespace velmora::keystore::testing
