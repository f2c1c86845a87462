// JSON Web Keys against jwcrypto (Debian's python3-jwcrypto): keys it generates load with its numbers, the
// keys we write load in it with the same thumbprint, and member texts survive the trip; jq reads our text.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/base64.h"
#include "keystore/jwk.h"
#include "pki/certificate_codec.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::keystore::testing {
namespace {

using pki::testing::Bytes;
using pki::testing::kDebianPython;
using pki::testing::RunCommand;
using pki::testing::Shell;

bool JwcryptoAvailable() {
  static const bool available = pki::testing::Runs("/usr/bin/python3 -c 'import jwcrypto' >/dev/null 2>&1");
  return available;
}

// Generates each key kind, prints "private JSON|public JSON|name=hex,..." with the numbers of the private
// export; the JSON carries kid, use, alg and a numeric exp.
constexpr const char* kGenerate = R"(
import base64, json
from jwcrypto import jwk
specs = [dict(kty='RSA', size=2048)] + [dict(kty='EC', crv=c) for c in ('P-256', 'P-384', 'P-521', 'secp256k1')] \
      + [dict(kty='OKP', crv=c) for c in ('Ed25519', 'Ed448', 'X25519', 'X448')]
for i, spec in enumerate(specs):
    key = jwk.JWK.generate(**spec)
    extra = dict(kid='key:%d.a' % i, use='sig', alg='none', exp=1700000000 + i)
    full, pub = key.export(as_dict=True), key.export_public(as_dict=True)
    full.update(extra); pub.update(extra)
    nums = ','.join('%s=%s' % (k, base64.urlsafe_b64decode(v + '=' * (-len(v) % 4)).hex())
                    for k, v in full.items() if k not in ('kty', 'crv') and k not in extra)
    print(json.dumps(full, separators=(',', ':')) + '|' + json.dumps(pub) + '|' + nums)
)";

// Reads "source|ours" lines and prints one verdict a line: our JWK loads with the source's thumbprint and
// private numbers, its EC coordinates at full curve size.
constexpr const char* kCheck = R"(
import base64, json, sys
from jwcrypto import jwk
size = {'P-256': 32, 'P-384': 48, 'P-521': 66, 'secp256k1': 32}
for line in sys.stdin.read().splitlines():
    src, ours = line.split('|')
    a, b, d = jwk.JWK.from_json(src), jwk.JWK.from_json(ours), json.loads(ours)
    ok = a.thumbprint() == b.thumbprint() and a.has_private == b.has_private
    ok = ok and (not a.has_private or a.export_private(as_dict=True)['d'] == d['d'])
    if d['kty'] == 'EC':
        ok = ok and all(len(base64.urlsafe_b64decode(d[m] + '==')) == size[d['crv']] for m in ('x', 'y'))
    print('ok' if ok else 'bad ' + ours)
)";

std::map<std::string, std::string> KeyNumbers(const crypto::KeyRecord& key) {
  std::map<std::string, const core::BufferCore*> fields;
  if (key.Type == crypto::kKeyRsa) {
    const auto& r = key.RsaParams;
    fields = {{"n", &r.Modulus}, {"e", &r.Exponent}, {"d", &r.D},   {"p", &r.P},
              {"q", &r.Q},       {"dp", &r.DP},      {"dq", &r.DQ}, {"qi", &r.InverseQ}};
  } else if (key.Type == crypto::kKeyEc) {
    fields = {{"x", &key.EcParams.X}, {"y", &key.EcParams.Y}, {"d", &key.EcParams.D}};
  } else {
    fields = {{"x", &key.EdParams.PublicKey}, {"d", &key.EdParams.PrivateKey}};
  }
  std::map<std::string, std::string> out;
  for (const auto& [name, value] : fields) {
    if (!value->IsEmpty()) out[name] = testing_support::ToHex(Bytes(*value));
  }
  return out;
}

std::string Write(const crypto::KeyRecord& key, uint32_t include_private) {
  core::Buffer out;
  EXPECT_EQ(WriteJwk(key, include_private, out), 0);
  return Bytes(out);
}

TEST(Jwk, JwcryptoKeysLoadAndOurKeysLoadInJwcrypto) {
  if (!JwcryptoAvailable()) GTEST_SKIP() << "Debian's python3 with jwcrypto is not installed";
  pki::testing::ProvidersLoaded providers;
  std::string generated, pairs;
  ASSERT_TRUE(testing_support::RunPython(kGenerate, "", "", &generated, kDebianPython));
  std::istringstream lines(generated);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    const size_t bar1 = line.find('|'), bar2 = line.find('|', bar1 + 1);
    const std::string full = line.substr(0, bar1), pub = line.substr(bar1 + 1, bar2 - bar1 - 1);
    std::map<std::string, std::string> numbers;
    std::istringstream items(line.substr(bar2 + 1));
    for (std::string item; std::getline(items, item, ',');) numbers[item.substr(0, item.find('='))] = item.substr(item.find('=') + 1);
    for (const bool with_private : {true, false}) {
      const std::string& source = with_private ? full : pub;
      pki::KeyWithCertificates record;
      ASSERT_EQ(LoadJwk(record, source.c_str()), 0) << source;
      std::map<std::string, std::string> expected = numbers;
      for (const char* m : {"d", "p", "q", "dp", "dq", "qi"}) {
        if (!with_private) expected.erase(m);
      }
      EXPECT_EQ(KeyNumbers(record.key), expected) << source;
      EXPECT_STREQ(record.key.GetAttribute("JWK_2_kid"), ("key:" + std::to_string(count) + ".a").c_str());
      EXPECT_STREQ(record.key.GetAttribute("JWK_2_use"), "sig");
      EXPECT_STREQ(record.key.GetAttribute("JWK_2_alg"), "none");
      EXPECT_STREQ(record.key.GetAttribute("JWK_3_exp"), std::to_string(1700000000 + count).c_str());
      const std::string ours = Write(record.key, with_private ? 1 : 0);
      EXPECT_NE(ours.find(",\"exp\":" + std::to_string(1700000000 + count)), std::string::npos) << ours;
      pairs += source + "|" + ours + "\n";
    }
  }
  EXPECT_EQ(count, 9);
  std::string verdicts;
  ASSERT_TRUE(testing_support::RunPython(kCheck, "", pairs, &verdicts, kDebianPython));
  std::string all_ok;
  for (int i = 0; i < 2 * count; ++i) all_ok += "ok\n";
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
  ASSERT_EQ(LoadJwk(record, R"({"kty":"OKP","crv":"Ed25519","x":"AAAA","x":"AQID","kid":"k"})"), 0);
  EXPECT_EQ(Bytes(record.key.EdParams.PublicKey), std::string("\x01\x02\x03"));
  EXPECT_STREQ(record.key.GetAttribute("JWK_2_x"), "AQID");
  EXPECT_EQ(Write(record.key, 0), R"({"kty":"OKP","crv":"Ed25519","x":"AQID","kid":"k"})");
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
  const std::string head = R"({"kty":"EC","crv":"P-256","x":"AQ","y":"AQ","x5c":[")";
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

}  // namespace
}  // namespace velmora::keystore::testing
