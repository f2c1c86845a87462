// The element tree and readers over real structures, checked element by element against openssl
// asn1parse, asn1crypto and cryptography (der_corpus_oracle.py); DSA and ECDSA signatures split as
// python3-cryptography splits them; the depth and size limits; allocation failures.
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "asn1/asn1_element.h"
#include "asn1/der_read.h"
#include "tests/asn1/asn1_oracle.h"
#include "tests/test_support.h"

namespace velmora::pki::testing {
namespace {

// Rows gives each node, depth first, with the line "offset depth header-length length constructed" that
// the oracle prints for asn1parse's view of the same element (length -1 for the indefinite form).
std::vector<std::pair<const Asn1Element*, std::string>> Rows(const Asn1Element& root) {
  std::vector<std::pair<const Asn1Element*, std::string>> rows;
  struct Item { const Asn1Element* node; int64_t offset, depth; };
  std::vector<Item> stack = {{&root, 0, 0}};
  while (!stack.empty()) {
    const Item item = stack.back();
    stack.pop_back();
    uint8_t tag = 0;
    int32_t start = 0, end = 0;
    EXPECT_TRUE(DerWalkHeader(item.node->Bytes(), 0, item.node->Length(), &tag, &start, &end, nullptr, nullptr));
    const bool indefinite = item.node->Bytes()[1] == 0x80;
    rows.emplace_back(item.node, std::to_string(item.offset) + " " + std::to_string(item.depth) + " " +
                                     std::to_string(start) + " " + std::to_string(indefinite ? -1 : end - start) +
                                     ((tag & 0x20) ? " 1" : " 0"));
    std::vector<Item> children;
    int64_t offset = item.offset + start;
    for (const Asn1Element* c = item.node->firstChild(); c != nullptr; offset += c->Length(), c = c->nextSibling()) {
      children.push_back({c, offset, item.depth + 1});
    }
    stack.insert(stack.end(), children.rbegin(), children.rend());
  }
  return rows;
}

void Reencode(const Asn1Element& node, DerWriter& writer) {
  if ((node.tag() & 0x20) == 0) {
    core::Buffer content;
    ASSERT_EQ(DerReadOctets(node, 0, content, nullptr), 0);
    ASSERT_EQ(writer.AppendTlv(content.Data(), content.Length(), node.tag()), 0);
    return;
  }
  ASSERT_EQ(writer.BeginElement(node.tag()), 0);
  for (const Asn1Element* c = node.firstChild(); c != nullptr; c = c->nextSibling()) Reencode(*c, writer);
  ASSERT_EQ(writer.EndElement(0), 0);
}

std::string NoLeadingZeros(const std::string& hex) {
  const size_t nz = hex.find_first_not_of('0');
  return nz == std::string::npos ? "0" : hex.substr(nz);
}

const Asn1Element* Child(const Asn1Element* node, int index) {
  const Asn1Element* c = node != nullptr ? node->firstChild() : nullptr;
  for (; c != nullptr && index > 0; --index) c = c->nextSibling();
  return c;
}

// Record is one input of the oracle with its answers, keyed by the letter that starts each line.
struct Record {
  std::string name, der;
  std::map<std::string, std::vector<std::vector<std::string>>> lines;
  bool Has(const char* key) const { return lines.count(key) != 0; }
  const std::vector<std::vector<std::string>>& Get(const char* key) const {
    static const std::vector<std::vector<std::string>> kNone;
    return Has(key) ? lines.at(key) : kNone;
  }
};

// CheckCertificate reads serial number, validity and policy OIDs the way certificate code will.
void CheckCertificate(const Record& r, const Asn1Element& root, const std::vector<std::pair<const Asn1Element*, std::string>>& rows,
                      std::vector<std::string>* lenient) {
  const Asn1Element* tbs = Child(&root, 0);
  const int first = Child(tbs, 0) != nullptr && Child(tbs, 0)->tag() == 0xA0 ? 1 : 0;
  core::Buffer value, text;
  if (r.Has("S")) {
    ASSERT_EQ(DerReadUnsignedInteger(*Child(tbs, first), 0, value), 0);
    EXPECT_EQ(NoLeadingZeros(testing_support::ToHex(Bytes(value))), NoLeadingZeros(r.Get("S")[0][0])) << "serial";
  }
  std::vector<std::string> times;
  for (int i = 0; i < 2 && (r.Has("T") || r.Has("T!")); ++i) {
    uint8_t tag = 0;
    ASSERT_EQ(DerReadOctets(*Child(Child(tbs, first + 3), i), 0, value, &tag), 0);
    const int rc = DecodeAsn1Time(value, text, tag, "yyyyMMddHHmmss", 0, nullptr);
    times.push_back(rc == 0 ? Bytes(text) : std::to_string(rc));
  }
  if (r.Has("T")) {
    EXPECT_EQ(times, r.Get("T")[0]) << "validity";
  }
  if (r.Has("T!") && times[0].size() > 3 && times[1].size() > 3) lenient->push_back(r.name);
  // Policy identifiers sit inside the extension's OCTET STRING: every such content is parsed as a tree.
  std::set<std::string> nested;
  for (const auto& [node, row] : rows) {
    Asn1Element inner;
    if (!r.Has("P") || node->tag() != 0x04 || DerReadOctets(*node, 0, inner, nullptr) != 0 || inner.ParseChildren(0) != 0) {
      continue;
    }
    for (const auto& [n, ignored] : Rows(inner)) {
      if (n->tag() == 0x06 && DerReadOid(*n, 0, text, nullptr) == 0) nested.insert(Bytes(text));
    }
  }
  for (const auto& p : r.Get("P")) {
    EXPECT_EQ(nested.count(p[0]), 1u) << "policy " << p[0];
  }
}

void CheckRecord(const Record& r, std::vector<std::string>* lenient, int* reencoded) {
  SCOPED_TRACE(r.name);
  Asn1Element root;
  ASSERT_EQ(root.SetData(static_cast<int32_t>(r.der.size()), r.der.data()), 0);
  const int rc = root.ParseChildren(0);
  // Refused by asn1parse (X), or using the high-tag-number form the walk does not read (H): only the absence
  // of faults is checked.
  if (r.Has("X") || r.Has("H")) return;
  ASSERT_EQ(rc, 0);
  const auto rows = Rows(root);
  const auto& expected = r.Get("E");
  ASSERT_EQ(rows.size(), expected.size());
  std::map<int64_t, const Asn1Element*> at;
  bool minimal = true;
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& e = expected[i];
    ASSERT_EQ(rows[i].second, e[0] + " " + e[1] + " " + e[2] + " " + e[3] + " " + e[4]) << "element " << i;
    at[std::stoll(e[0])] = rows[i].first;
    minimal = minimal && e[3] != "-1" && std::stoi(e[2]) == 1 + DerLengthSize(uint32_t(std::stoll(e[3])));
  }
  if (minimal) {
    DerWriter writer;
    Reencode(root, writer);
    EXPECT_TRUE(Bytes(writer) == r.der.substr(0, Bytes(writer).size())) << "re-encoding differs";
    EXPECT_EQ(writer.Length(), root.Length());
    ++*reencoded;
  }
  core::Buffer out;
  int32_t bits = -1;
  for (const auto& o : r.Get("O")) {
    ASSERT_EQ(DerReadOid(*at[std::stoll(o[0])], 0, out, nullptr), 0);
    EXPECT_EQ(Bytes(out), o[1]) << "OID at " << o[0];
  }
  for (const auto& b : r.Get("B")) {
    ASSERT_EQ(DerReadBitString(*at[std::stoll(b[0])], 0, out, &bits, nullptr), 0);
    EXPECT_EQ(std::to_string(bits), b[1]) << "BIT STRING at " << b[0];
  }
  if (r.Has("S") || r.Has("T") || r.Has("T!")) CheckCertificate(r, root, rows, lenient);
}

TEST(DerReaderCorpus, TreesMatchAsn1parseAndValuesMatchPython) {
  if (!OpensslAvailable() || !DebianPythonAvailable()) {
    GTEST_SKIP() << "needs openssl and Debian's python3-asn1crypto, python3-cryptography, python3-cryptography-vectors";
  }
  char dir[] = "/tmp/velmora_der_corpus_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string output, ignored;
  const bool ran = RunCommand(std::string(kDebianPython) + " " VELMORA_TEST_SOURCE_DIR "/asn1/der_corpus_oracle.py " + dir +
                                  " 2>/dev/null",
                              &output);
  (void)RunCommand(std::string("rm -rf ") + dir, &ignored);
  ASSERT_TRUE(ran) << "the oracle script failed";
  std::vector<Record> records;
  for (auto& f : testing_support::Lines(output)) {
    if (f.size() == 3 && f[0] == "F") {
      records.push_back(Record{f[1], testing_support::FromHex(f[2]), {}});
    } else if (!f.empty() && !records.empty()) {
      const std::string key = f[0];
      f.erase(f.begin());
      records.back().lines[key].push_back(f);
    }
  }
  std::vector<std::string> lenient;
  int reencoded = 0, roots = 0, indefinite = 0;
  bool policy_seen = false;
  for (const Record& r : records) {
    CheckRecord(r, &lenient, &reencoded);
    roots += r.name.rfind("/usr/share/ca-certificates/mozilla/", 0) == 0 ? 1 : 0;
    for (const auto& e : r.Get("E")) indefinite += e[3] == "-1";
    for (const auto& p : r.Get("P")) {
      policy_seen |= r.name == "generated/policy.der" && p[0] == "2.25.329800735698586629295641978511506172918";
    }
    if (r.Has("H")) std::printf("not read (high-tag-number form): %s\n", r.name.c_str());
  }
  std::printf("%zu inputs (%d Mozilla roots), %d re-encoded, %d indefinite lengths\n", records.size(), roots,
              reencoded, indefinite);
  for (const auto& name : lenient) std::printf("times read although cryptography refuses them: %s\n", name.c_str());
  EXPECT_GT(records.size(), 1000u);
  EXPECT_GT(roots, 100);
  EXPECT_GT(indefinite, 0);
  EXPECT_TRUE(policy_seen);
}

TEST(DerSignatures, SplitMatchesPythonCryptography) {
  if (!DebianPythonAvailable()) GTEST_SKIP() << "needs Debian's python3 with cryptography (python3-cryptography)";
  static const char kScript[] = R"(
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import dsa, ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
keys = [dsa.generate_private_key(1024)] + [ec.generate_private_key(c) for c in (ec.SECP256R1(), ec.SECP384R1(), ec.SECP521R1())]
for i in range(1000):
    key = keys[i % 4]
    sig = key.sign(b"%d" % i, hashes.SHA256()) if i % 4 == 0 else key.sign(b"%d" % i, ec.ECDSA(hashes.SHA256()))
    print(sig.hex(), "%x %x" % decode_dss_signature(sig))
)";
  std::string output;
  ASSERT_TRUE(testing_support::RunPython(kScript, "", "", &output, kDebianPython));
  const auto lines = testing_support::Lines(output);
  ASSERT_EQ(lines.size(), 1000u);
  for (const auto& f : lines) {
    const std::string sig = testing_support::FromHex(f.at(0));
    core::BufferPair parts;
    ASSERT_EQ(SplitDerSignature(reinterpret_cast<const uint8_t*>(sig.data()), int32_t(sig.size()), parts), 1) << f[0];
    EXPECT_EQ(NoLeadingZeros(testing_support::ToHex(Bytes(parts.first))), f.at(1));
    EXPECT_EQ(NoLeadingZeros(testing_support::ToHex(Bytes(parts.second))), f.at(2));
  }
}

// ---- Depth and size limits

// Nested is depth SEQUENCEs, each the only content of the one around it.
std::string Nested(int depth, bool indefinite) {
  if (indefinite) {
    std::string open, close;
    for (int i = 0; i < depth; ++i) open += "\x30\x80", close += std::string(2, '\0');
    return open + close;
  }
  std::vector<std::string> headers;  // innermost first: the encoding is the headers alone, outermost first
  uint32_t length = 0;
  for (int i = 0; i < depth; ++i) {
    DerWriter header;
    EXPECT_EQ(header.AppendHeader(0x30, length), 0);
    headers.push_back(Bytes(header));
    length += static_cast<uint32_t>(header.Length());
  }
  std::string out;
  for (auto it = headers.rbegin(); it != headers.rend(); ++it) out += *it;
  return out;
}

int ParseAll(const std::string& der, Asn1Element& root) {
  EXPECT_EQ(root.SetData(static_cast<int32_t>(der.size()), der.data()), 0);
  return root.ParseChildren(0);
}

TEST(DerReaderLimits, DepthIsBoundedAndTreesAreFreedWithoutRecursion) {
  Asn1Element a, b, c, d, e, f;
  // The innermost SEQUENCE 64 levels below the root parses; 65 levels do not.
  EXPECT_EQ(ParseAll(Nested(66, false), a), kDerBadInner);
  EXPECT_EQ(ParseAll(Nested(65, true), b), 0);
  EXPECT_EQ(ParseAll(Nested(66, true), c), kDerBadOuter);
  EXPECT_EQ(ParseAll(Nested(100000, false), c), kDerBadInner);
  EXPECT_EQ(ParseAll(Nested(100000, true), c), kDerBadOuter);
  ASSERT_EQ(ParseAll(Nested(65, false), d), 0);
  int depth = 0;
  for (const Asn1Element* n = &d; n->firstChild() != nullptr; n = n->firstChild()) ++depth;
  EXPECT_EQ(depth, 64);
  std::string items;
  for (int i = 0; i < 100000; ++i) items += std::string("\x05\x00", 2);
  DerWriter wide;
  ASSERT_EQ(wide.AppendTlv(items.data(), static_cast<int32_t>(items.size()), 0x30), 0);
  ASSERT_EQ(ParseAll(Bytes(wide), e), 0);
  EXPECT_EQ(e.childCount(), 100000);
  // Destroying e (a root with 100,000 children) and d (a chain 64 deep) needs no recursion.
}

TEST(DerReaderLimits, HugeLengthsFailWithoutOverflow) {
  for (uint32_t length : {0x7FFFFFFFu, 0x7FFFFF00u, 0x80000000u, 0xFFFFFFFFu}) {
    for (int offset = 1; offset <= 16; ++offset) {
      // Filler up to offset (an OCTET STRING once there is room), then an element claiming length bytes.
      const std::string filler = offset >= 3 ? std::string("\x04", 1) + char(offset - 3) + std::string(size_t(offset - 3), 'f')
                                             : std::string(size_t(offset - 1), '\x05');
      const std::string huge = std::string("\x04\x84", 2) + char(length >> 24) + char(length >> 16) + char(length >> 8) +
                               char(length) + "abcd";
      Asn1Element root;
      const int rc = ParseAll(std::string("\x30", 1) + char(filler.size() + huge.size()) + filler + huge, root);
      EXPECT_TRUE(rc == kDerBadOuter || rc == kDerBadInner) << rc << " at " << offset;
      core::Buffer node, out;
      ASSERT_EQ(node.SetData(int32_t(huge.size()), huge.data()), 0);
      EXPECT_EQ(DerReadOctets(node, 0, out, nullptr), kDerBadOuter);
      EXPECT_FALSE(DerWalkHeader(node.Bytes(), 0, node.Length(), nullptr, nullptr, nullptr, nullptr, nullptr));
    }
  }
}

TEST(DerParse, AllocationFailuresGiveTheirCodeAndLeaveNoLeak) {
  const std::string der = std::string("\x30\x76\x04\x70", 4) + std::string(0x70, 'a') + std::string("\x05\x00\x05\x00", 4);
  for (int successes = 0; successes < 8; ++successes) {
    Asn1Element root;
    ASSERT_EQ(root.SetData(static_cast<int32_t>(der.size()), der.data()), 0);
    testing_support::FailingAllocations fail(successes);
    const int rc = root.ParseChildren(0);
    EXPECT_TRUE(rc == 0 || rc == kDerBadInner || rc == core::kOutOfMemory) << rc;
    EXPECT_TRUE(rc == 0 || root.firstChild() == nullptr);
  }
}

}  // namespace
}  // namespace velmora::pki::testing
