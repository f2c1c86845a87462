// The OID codec and the name tables against openssl (encoding and the names it gives OIDs) and asn1crypto;
// their edge cases run from oid_tables.txt in der_cases_test.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "asn1/der_read.h"
#include "crypto/registry/oid_table_rows.h"
#include "crypto/registry/oid_tables.h"
#include "tests/asn1/asn1_oracle.h"

namespace velmora::pki::testing {
namespace {

std::vector<std::string> TableOids() {
  std::set<std::string> oids;
  for (const auto& row : oid_rows::kAlgorithmOids) oids.insert(row.oid);
  for (const auto& row : oid_rows::kOidNames) oids.insert(row.oid);
  for (const auto& row : oid_rows::kDigestAlgorithmNames) oids.insert(row.oid);
  for (const auto& row : oid_rows::kAesAlgorithmNames) oids.insert(row.oid);
  for (const auto& row : oid_rows::kDigests) oids.insert(row.oid);
  return {oids.begin(), oids.end()};
}

// LargeArcOids have arcs around 2^32, 2^64 and 2^128, and random arcs of up to 128 bits such as
// 2.25.<UUID> carries.
std::vector<std::string> LargeArcOids(std::mt19937_64& rng) {
  std::vector<std::string> oids = {"1.2.4294967295", "1.2.4294967296", "2.4294967295.4294967296",
                                   "1.3.18446744073709551615.18446744073709551616",
                                   "1.2.340282366920938463463374607431768211455",
                                   "2.25.329800735698586629295641978511506172918"};
  for (int i = 0; i < 40; ++i) {
    std::string text = i < 20 ? "2.25" : std::to_string(rng() % 3) + "." + std::to_string(rng() % 40);
    for (int arcs = i < 20 ? 1 : 1 + int(rng() % 8); arcs > 0; --arcs) {
      __extension__ typedef unsigned __int128 Arc;
      const int bits = 1 + int(rng() % 128);
      Arc v = ((Arc{rng()} << 64) | rng()) >> (128 - bits);
      std::string digits;
      for (; v != 0 || digits.empty(); v /= 10) digits.insert(digits.begin(), char('0' + int(v % 10)));
      text += "." + digits;
    }
    oids.push_back(text);
  }
  return oids;
}

// OpensslOids encodes the texts with openssl -genconf; *names receives the name asn1parse gives each.
bool OpensslOids(const std::vector<std::string>& texts, std::string* der, std::vector<std::string>* names) {
  char dir[] = "/tmp/velmora_oid_XXXXXX";
  if (mkdtemp(dir) == nullptr) return false;
  const std::string conf = std::string(dir) + "/oids.cnf", out = std::string(dir) + "/oids.der";
  {
    std::ofstream file(conf);
    file << "asn1 = SEQUENCE:top\n[top]\n";
    for (size_t i = 0; i < texts.size(); ++i) file << "f" << i << " = OID:" << texts[i] << "\n";
  }
  std::string listing;
  const bool ok = RunCommand("openssl asn1parse -genconf " + conf + " -out " + out, &listing);
  std::ifstream in(out, std::ios::binary);
  der->assign(std::istreambuf_iterator<char>(in), {});
  std::remove(conf.c_str());
  std::remove(out.c_str());
  std::remove(dir);
  names->clear();
  size_t at = 0;
  while ((at = listing.find(" OBJECT ", at)) != std::string::npos) {
    const size_t colon = listing.find(':', at), end = listing.find('\n', at);
    names->push_back(listing.substr(colon + 1, end - colon - 1));
    at = end;
  }
  return ok && names->size() == texts.size();
}

TEST(OidCodec, TextsMatchOpensslAndAsn1cryptoAndReadBack) {
  const uint64_t seed = std::random_device{}();
  std::printf("OID arc seed %llu\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
  std::vector<std::string> texts = TableOids();
  const std::vector<std::string> large = LargeArcOids(rng);
  texts.insert(texts.end(), large.begin(), large.end());
  DerWriter writer;
  ASSERT_EQ(writer.BeginElement(0x30), 0);
  for (const std::string& text : texts) ASSERT_EQ(writer.AppendOid(text.c_str(), 6), 0) << text;
  ASSERT_EQ(writer.EndElement(0), 0);
  const std::string ours = Bytes(writer);
  // Each element reads back to its text.
  core::Buffer all;
  ASSERT_EQ(all.SetData(static_cast<int32_t>(ours.size()), ours.data()), 0);
  int32_t offset = 0;
  ASSERT_EQ(DerEnterElement(all, &offset), 0);
  for (const std::string& text : texts) {
    core::Buffer element, back;
    const int32_t start = offset;
    ASSERT_EQ(DerSkipElement(all, &offset), 0);
    ASSERT_EQ(element.SetData(offset - start, all.Data() + start), 0);
    ASSERT_EQ(DerReadOid(element, 0, back, nullptr), 0);
    EXPECT_EQ(Bytes(back), text);
  }
  if (OpensslAvailable()) {
    std::string theirs;
    std::vector<std::string> names;
    ASSERT_TRUE(OpensslOids(texts, &theirs, &names));
    EXPECT_TRUE(ours == theirs) << "openssl encodes the OIDs differently";
  }
  if (DebianPythonAvailable()) {
    std::string input, output;
    for (const std::string& text : texts) input += text + "\n";
    ASSERT_TRUE(testing_support::RunPython(
        "import sys\nfrom asn1crypto.core import ObjectIdentifier\n"
        "for t in sys.stdin.read().split():\n    print(ObjectIdentifier(t).dump().hex())\n",
        "", input, &output, kDebianPython));
    std::string expected;
    for (const auto& line : testing_support::Lines(output)) expected += testing_support::FromHex(line.at(0));
    EXPECT_TRUE(ours.substr(ours.size() - expected.size()) == expected) << "asn1crypto encodes the OIDs differently";
  }
}

TEST(OidCodec, ArcCountAndSizeLimits) {
  DerWriter writer;
  std::string text = "1.2";
  for (int i = 2; i < kOidMaxArcs; ++i) text += ".300";
  ASSERT_EQ(writer.AppendOid(text.c_str(), 6), 0);
  core::Buffer back;
  ASSERT_EQ(DerReadOid(writer, 0, back, nullptr), 0);
  EXPECT_EQ(Bytes(back), text);
  // One subidentifier more on the wire is 257 arcs.
  std::string content = Bytes(writer).substr(4) + "\x05";
  DerWriter longer;
  ASSERT_EQ(longer.AppendTlv(content.data(), static_cast<int32_t>(content.size()), 6), 0);
  EXPECT_EQ(DerReadOid(longer, 0, back, nullptr), kDerBadInner);
  EXPECT_EQ(writer.AppendOid((text + ".5").c_str(), 6), kDerEncodeFailed);
  EXPECT_EQ(std::size(oid_rows::kOidNames), 122u);
}

// The name openssl gives each algorithm's OID.
const std::map<std::string, std::string> kOpensslNames = {
    {"md5", "md5"}, {"sha1", "sha1"}, {"sha-1", "sha1"}, {"sha256", "sha256"}, {"sha-256", "sha256"},
    {"sha384", "sha384"}, {"sha-384", "sha384"}, {"sha512", "sha512"}, {"sha-512", "sha512"},
    {"sha224", "sha224"}, {"sha-224", "sha224"}, {"rc2", "rc2-cbc"}, {"rc2cbc40", "rc2-cbc"},
    {"rc2cbc64", "rc2-cbc"}, {"rc2cbc128", "rc2-cbc"}, {"md2", "md2"}, {"md2rsa", "md2WithRSAEncryption"},
    {"md4rsa", "md4WithRSAEncryption"}, {"md5rsa", "md5WithRSAEncryption"}, {"sha1rsa", "sha1WithRSAEncryption"},
    {"rc2cbc", "rc2-cbc"}, {"rc4", "rc4"}, {"des", "des-cbc"}, {"3des", "des-ede3-cbc"}, {"descbc", "des-cbc"},
    {"3descbc", "des-ede3-cbc"}, {"des_ede3_cbc", "des-ede3-cbc"}, {"aes", "aes-128-cbc"},
    {"aescbc128", "aes-128-cbc"}, {"aescbc192", "aes-192-cbc"}, {"aescbc256", "aes-256-cbc"},
    {"aesgcm", "aes-128-gcm"}, {"aesgcm128", "aes-128-gcm"}, {"aesgcm192", "aes-192-gcm"},
    {"aesgcm256", "aes-256-gcm"}};

// DigestIn names the digest an OpenSSL algorithm name carries.
std::string DigestIn(std::string name) {
  std::string upper;
  for (char c : name) {
    if (c != '-') upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  for (const char* digest : {"SHA512", "SHA384", "SHA256", "SHA224", "SHA1", "MD5", "MD4", "MD2"}) {
    if (upper.find(digest) != std::string::npos) return digest;
  }
  return "?" + name;
}

TEST(OidTables, NamesAgreeWithOpenssl) {
  if (!OpensslAvailable()) GTEST_SKIP() << "openssl is not installed";
  std::vector<std::string> oids;
  for (const auto& row : oid_rows::kAlgorithmOids) oids.push_back(AlgorithmNameToOid(row.name));
  for (const auto& row : oid_rows::kDigests) oids.push_back(row.oid);
  std::string der;
  std::vector<std::string> names;
  ASSERT_TRUE(OpensslOids(oids, &der, &names));
  size_t i = 0;
  for (const auto& row : oid_rows::kAlgorithmOids) {
    ASSERT_EQ(kOpensslNames.count(row.name), 1u) << row.name;
    EXPECT_EQ(names[i++], kOpensslNames.at(row.name)) << row.name;
  }
  const std::map<int32_t, std::string> engine = {
      {kEngineDigestSha1, "SHA1"},     {kEngineDigestMd5, "MD5"},       {kEngineDigestSha256, "SHA256"},
      {kEngineDigestSha224, "SHA224"}, {kEngineDigestSha512, "SHA512"}, {kEngineDigestSha384, "SHA384"},
      {kEngineDigestMd4, "MD4"},       {kEngineDigestMd2, "MD2"}};
  const std::map<int32_t, std::string> hash = {
      {kHashIdSha1, "SHA1"},     {kHashIdMd5, "MD5"},       {kHashIdSha256, "SHA256"}, {kHashIdSha224, "SHA224"},
      {kHashIdSha512, "SHA512"}, {kHashIdSha384, "SHA384"}, {kHashIdMd4, "MD4"},       {kHashIdMd2, "MD2"}};
  for (const auto& row : oid_rows::kDigests) {
    SCOPED_TRACE(row.oid);
    const std::string digest = HashNameFromOid(row.oid);
    EXPECT_EQ(digest, DigestIn(names[i++]));
    ASSERT_EQ(engine.count(SignatureOidToEngineDigestId(row.oid)), 1u);
    EXPECT_EQ(engine.at(SignatureOidToEngineDigestId(row.oid)), digest);
    ASSERT_EQ(hash.count(SignatureOidToHashId(row.oid)), 1u);
    EXPECT_EQ(hash.at(SignatureOidToHashId(row.oid)), digest);
  }
}

}  // namespace
}  // namespace velmora::pki::testing
