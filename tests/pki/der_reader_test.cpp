// The element tree and readers over real structures, checked element by element against openssl
// asn1parse, asn1crypto and cryptography; then the depth and size limits.
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pki/asn1_element.h"
#include "pki/der_read.h"
#include "tests/pki/pki_oracle.h"

namespace velmora::pki::testing {
namespace {

// One element as asn1parse prints it: offset, depth, header length, content length (-1 indefinite),
// constructed.
struct Row {
  int64_t offset, depth, header, length, constructed;
  bool operator==(const Row&) const = default;
};

std::string Show(const Row& r) {
  std::ostringstream s;
  s << r.offset << ":d=" << r.depth << " hl=" << r.header << " l=" << r.length << (r.constructed ? " cons" : " prim");
  return s.str();
}

struct Visit {
  const Asn1Element* node;
  Row row;
};

// Flatten walks the tree depth-first (explicit stack) and gives each node's row as asn1parse would.
std::vector<Visit> Flatten(const Asn1Element& root) {
  std::vector<Visit> visits;
  std::vector<std::pair<const Asn1Element*, Row>> stack;
  auto row_of = [](const Asn1Element& node, int64_t offset, int64_t depth) {
    uint8_t tag = 0;
    int32_t start = 0, end = 0;
    EXPECT_TRUE(DerWalkHeader(node.Bytes(), 0, node.Length(), &tag, &start, &end, nullptr, nullptr));
    const bool indefinite = node.Length() > 1 && node.Bytes()[1] == 0x80;
    return Row{offset, depth, start, indefinite ? -1 : end - start, (tag & 0x20) ? 1 : 0};
  };
  stack.emplace_back(&root, row_of(root, 0, 0));
  while (!stack.empty()) {
    auto [node, row] = stack.back();
    stack.pop_back();
    visits.push_back({node, row});
    std::vector<std::pair<const Asn1Element*, Row>> children;
    int64_t offset = row.offset + row.header;
    for (const Asn1Element* c = node->firstChild(); c != nullptr; c = c->nextSibling()) {
      children.emplace_back(c, row_of(*c, offset, row.depth + 1));
      offset += c->Length();
    }
    stack.insert(stack.end(), children.rbegin(), children.rend());
  }
  return visits;
}

void Reencode(const Asn1Element& node, DerWriter& writer) {
  if ((node.tag() & 0x20) != 0) {
    ASSERT_EQ(writer.BeginElement(node.tag()), 0);
    for (const Asn1Element* c = node.firstChild(); c != nullptr; c = c->nextSibling()) Reencode(*c, writer);
    ASSERT_EQ(writer.EndElement(0), 0);
    return;
  }
  core::Buffer content;
  ASSERT_EQ(DerReadOctets(node, 0, content, nullptr), 0);
  ASSERT_EQ(writer.AppendTlv(content.Data(), content.Length(), node.tag()), 0);
}

std::string StripZeros(std::string hex) {
  for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t nz = hex.find_first_not_of('0');
  return nz == std::string::npos ? "0" : hex.substr(nz);
}

const Asn1Element* Child(const Asn1Element* node, int index) {
  for (const Asn1Element* c = node ? node->firstChild() : nullptr; c != nullptr; c = c->nextSibling()) {
    if (index-- == 0) return c;
  }
  return nullptr;
}

// Record is one input of the oracle with its reference answers.
struct Record {
  std::string name, der;
  bool refused = false;
  bool high_tag = false;
  std::vector<Row> rows;
  std::vector<std::string> policies;
  std::vector<std::pair<int64_t, std::string>> oids, bits;
  std::string serial;
  std::vector<std::string> times;  // two texts, or {"!"} when cryptography refused them
};

std::vector<Record> ReadOracle(const std::string& text) {
  std::vector<Record> records;
  for (const auto& f : testing_support::Lines(text)) {
    if (f.empty()) continue;
    if (f[0] == "F" && f.size() == 3) {
      records.emplace_back();
      records.back().name = f[1];
      records.back().der = testing_support::FromHex(f[2]);
    } else if (records.empty()) {
      ADD_FAILURE() << "oracle output starts without a record";
      break;
    } else if (f[0] == "X") {
      records.back().refused = true;
    } else if (f[0] == "H") {
      records.back().high_tag = true;
    } else if (f[0] == "P" && f.size() == 2) {
      records.back().policies.push_back(f[1]);
    } else if (f[0] == "E" && f.size() == 6) {
      records.back().rows.push_back(
          Row{std::stoll(f[1]), std::stoll(f[2]), std::stoll(f[3]), std::stoll(f[4]), std::stoll(f[5])});
    } else if ((f[0] == "O" || f[0] == "B") && f.size() == 3) {
      (f[0] == "O" ? records.back().oids : records.back().bits).emplace_back(std::stoll(f[1]), f[2]);
    } else if (f[0] == "S" && f.size() == 2) {
      records.back().serial = f[1];
    } else if (f[0] == "T" && f.size() == 3) {
      records.back().times = {f[1], f[2]};
    } else if (f[0] == "T!") {
      records.back().times = {"!"};
    } else {
      ADD_FAILURE() << "unexpected oracle line " << f[0];
    }
  }
  return records;
}

// CheckCertificate reads serial number and validity times the way certificate code does.
void CheckCertificate(const Record& r, const Asn1Element& root, std::vector<std::string>* lenient) {
  const Asn1Element* tbs = Child(&root, 0);
  const int first = Child(tbs, 0) != nullptr && Child(tbs, 0)->tag() == 0xA0 ? 1 : 0;
  if (!r.serial.empty()) {
    core::Buffer serial;
    ASSERT_NE(Child(tbs, first), nullptr);
    ASSERT_EQ(DerReadUnsignedInteger(*Child(tbs, first), 0, serial), 0);
    EXPECT_EQ(StripZeros(Hex(Bytes(serial))), StripZeros(r.serial)) << "serial";
  }
  if (r.times.empty()) return;
  const Asn1Element* validity = Child(tbs, first + 3);
  ASSERT_NE(validity, nullptr);
  std::vector<std::string> read;
  bool refused = false;
  for (int i = 0; i < 2; ++i) {
    core::Buffer content, text;
    uint8_t tag = 0;
    ASSERT_NE(Child(validity, i), nullptr);
    ASSERT_EQ(DerReadOctets(*Child(validity, i), 0, content, &tag), 0);
    const int rc = DecodeAsn1Time(content, text, tag, "yyyyMMddHHmmss", 0, nullptr);
    EXPECT_TRUE(rc == 0 || rc == kDerBadInner) << rc;
    refused = refused || rc != 0;
    read.push_back(Bytes(text));
  }
  if (r.times.size() == 2) {
    EXPECT_FALSE(refused);
    EXPECT_EQ(read, r.times) << "validity";
  } else if (!refused) {
    lenient->push_back(r.name + " (" + read[0] + " " + read[1] + ")");
  }
}

void CheckRecord(const Record& r, std::vector<std::string>* lenient, int* reencoded, int* indefinite) {
  SCOPED_TRACE(r.name);
  Asn1Element root;
  ASSERT_EQ(root.SetData(static_cast<int32_t>(r.der.size()), r.der.data()), 0);
  const int rc = root.ParseChildren(0);
  // Refused by asn1parse, or with tags of the high-tag-number form (which the walk does not read): only the
  // absence of faults is checked.
  if (r.refused || r.high_tag) return;
  ASSERT_EQ(rc, 0);
  const std::vector<Visit> visits = Flatten(root);
  ASSERT_EQ(visits.size(), r.rows.size());
  std::map<int64_t, const Asn1Element*> at;
  bool minimal = true;
  for (size_t i = 0; i < visits.size(); ++i) {
    ASSERT_EQ(visits[i].row, r.rows[i]) << "element " << i << ": ours " << Show(visits[i].row) << ", asn1parse "
                                        << Show(r.rows[i]);
    at[visits[i].row.offset] = visits[i].node;
    const Row& row = r.rows[i];
    if (row.length < 0) ++*indefinite;
    minimal = minimal && row.length >= 0 && row.header == 1 + DerLengthSize(static_cast<uint32_t>(row.length));
  }
  if (minimal) {
    DerWriter writer;
    Reencode(root, writer);
    EXPECT_TRUE(Bytes(writer) == r.der.substr(0, static_cast<size_t>(writer.Length()))) << "re-encoding differs";
    EXPECT_EQ(writer.Length(), r.rows[0].header + r.rows[0].length);
    ++*reencoded;
  }
  for (const auto& [offset, dotted] : r.oids) {
    core::Buffer text;
    ASSERT_EQ(DerReadOid(*at[offset], 0, text, nullptr), 0) << offset;
    EXPECT_EQ(Bytes(text), dotted) << "OID at " << offset;
  }
  for (const auto& [offset, count] : r.bits) {
    core::Buffer bits;
    int32_t n = -1;
    ASSERT_EQ(DerReadBitString(*at[offset], 0, bits, &n, nullptr), 0) << offset;
    EXPECT_EQ(std::to_string(n), count) << "BIT STRING at " << offset;
  }
  if (!r.serial.empty() || !r.times.empty()) CheckCertificate(r, root, lenient);
  if (!r.policies.empty()) {
    // Policy identifiers sit inside the extension's OCTET STRING: parse every such content as a tree.
    std::set<std::string> nested;
    for (const Visit& v : visits) {
      core::Buffer content;
      if (v.node->tag() != 0x04 || DerReadOctets(*v.node, 0, content, nullptr) != 0 ||
          !DerIsSingleElement(content.Bytes(), content.Length())) {
        continue;
      }
      Asn1Element inner;
      ASSERT_EQ(inner.Assign(content), 0);
      if (inner.ParseChildren(0) != 0) continue;
      for (const Visit& w : Flatten(inner)) {
        core::Buffer text;
        if (w.node->tag() == 0x06 && DerReadOid(*w.node, 0, text, nullptr) == 0) nested.insert(Bytes(text));
      }
    }
    for (const std::string& policy : r.policies) EXPECT_EQ(nested.count(policy), 1u) << "policy " << policy;
  }
}

TEST(DerReaderCorpus, TreesMatchAsn1parseAndValuesMatchPython) {
  if (!OpensslAvailable() || !DebianPythonAvailable()) {
    GTEST_SKIP() << "needs openssl and Debian's python3 with asn1crypto and cryptography "
                    "(python3-asn1crypto, python3-cryptography, python3-cryptography-vectors)";
  }
  char dir[] = "/tmp/velmora_der_corpus_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string output;
  const bool ran = RunCommand(std::string(kDebianPython) + " " VELMORA_TEST_SOURCE_DIR "/pki/der_corpus_oracle.py " +
                                  dir + " 2>/dev/null",
                              &output);
  std::string ignored;
  (void)RunCommand(std::string("rm -rf ") + dir, &ignored);
  ASSERT_TRUE(ran) << "the oracle script failed";
  const std::vector<Record> records = ReadOracle(output);
  std::vector<std::string> lenient;
  int reencoded = 0, indefinite = 0, roots = 0, certificates = 0, policies = 0;
  bool policy_seen = false;
  for (const Record& r : records) {
    CheckRecord(r, &lenient, &reencoded, &indefinite);
    roots += r.name.rfind("/usr/share/ca-certificates/mozilla/", 0) == 0 ? 1 : 0;
    certificates += r.times.size() == 2 ? 1 : 0;
    policies += static_cast<int>(r.policies.size());
    if (r.name == "generated/policy.der") {
      for (const auto& p : r.policies) policy_seen |= p == "2.25.329800735698586629295641978511506172918";
    }
    if (r.high_tag) std::printf("not read (high-tag-number form): %s\n", r.name.c_str());
  }
  std::printf("%zu inputs (%d Mozilla roots, %d certificates with times, %d policy OIDs), %d re-encoded, "
              "%d indefinite lengths\n",
              records.size(), roots, certificates, policies, reencoded, indefinite);
  for (const std::string& name : lenient) std::printf("read although cryptography refuses its times: %s\n", name.c_str());
  EXPECT_GT(records.size(), 1000u);
  EXPECT_GT(roots, 100);
  EXPECT_GT(indefinite, 0);
  EXPECT_TRUE(policy_seen);
}

// ---- Depth and size limits

std::string Repeat(const std::string& piece, int count) {
  std::string out;
  out.reserve(piece.size() * static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) out += piece;
  return out;
}

// NestedDefinite is depth SEQUENCEs, each the only content of the one around it.
std::string NestedDefinite(int depth) {
  std::vector<std::string> headers;
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

std::string NestedIndefinite(int depth) { return Repeat("\x30\x80", depth) + Repeat(std::string(2, '\0'), depth); }

int ParseAll(const std::string& der) {
  Asn1Element root;
  EXPECT_EQ(root.SetData(static_cast<int32_t>(der.size()), der.data()), 0);
  return root.ParseChildren(1);
}

TEST(DerReaderLimits, NestingBeyondSixtyFourLevelsIsRefused) {
  // The innermost SEQUENCE 64 levels below the root parses; 65 levels do not.
  EXPECT_EQ(ParseAll(NestedDefinite(65)), 0);
  EXPECT_EQ(ParseAll(NestedDefinite(66)), kDerBadInner);
  EXPECT_EQ(ParseAll(NestedIndefinite(65)), 0);
  EXPECT_EQ(ParseAll(NestedIndefinite(66)), kDerBadOuter);
  EXPECT_EQ(ParseAll(NestedDefinite(100000)), kDerBadInner);
  EXPECT_EQ(ParseAll(NestedIndefinite(100000)), kDerBadOuter);
  const std::string deep = NestedIndefinite(100000);
  EXPECT_FALSE(DerIsSingleElement(reinterpret_cast<const uint8_t*>(deep.data()), static_cast<int32_t>(deep.size())));
}

TEST(DerReaderLimits, WideAndDeepTreesAreFreedWithoutRecursion) {
  const std::string items = Repeat(std::string("\x05\x00", 2), 100000);
  DerWriter wide;
  ASSERT_EQ(wide.AppendTlv(items.data(), static_cast<int32_t>(items.size()), 0x30), 0);
  {
    Asn1Element root;
    ASSERT_EQ(root.SetData(wide.Length(), wide.Data()), 0);
    ASSERT_EQ(root.ParseChildren(0), 0);
    EXPECT_EQ(root.childCount(), 100000);
  }
  const std::string deep = NestedDefinite(65);
  Asn1Element root;
  ASSERT_EQ(root.SetData(static_cast<int32_t>(deep.size()), deep.data()), 0);
  ASSERT_EQ(root.ParseChildren(0), 0);
  int depth = 0;
  for (const Asn1Element* n = &root; n->firstChild() != nullptr; n = n->firstChild()) ++depth;
  EXPECT_EQ(depth, 64);
}

TEST(DerReaderLimits, HugeLengthsFailWithoutOverflow) {
  for (uint32_t length : {0x7FFFFFFFu, 0x7FFFFF00u, 0x80000000u, 0xFFFFFFFFu}) {
    for (int offset = 1; offset <= 16; ++offset) {
      // offset - 1 filler bytes (an OCTET STRING once there is room), then an element claiming length bytes.
      std::string content;
      if (offset >= 3) content = std::string("\x04", 1) + static_cast<char>(offset - 3) + std::string(size_t(offset - 3), 'f');
      else content = std::string(size_t(offset - 1), '\x05');
      const std::string huge = std::string("\x04\x84", 2) + static_cast<char>(length >> 24) +
                               static_cast<char>(length >> 16) + static_cast<char>(length >> 8) + static_cast<char>(length);
      const std::string der = std::string("\x30", 1) + static_cast<char>(content.size() + huge.size() + 4) + content + huge + "abcd";
      SCOPED_TRACE(offset);
      const int rc = ParseAll(der);
      EXPECT_TRUE(rc == kDerBadOuter || rc == kDerBadInner) << rc;
      EXPECT_FALSE(DerWalkHeader(reinterpret_cast<const uint8_t*>(der.data()), 2 + int32_t(content.size()),
                                 int32_t(der.size()), nullptr, nullptr, nullptr, nullptr, nullptr));
      core::Buffer node, out;
      ASSERT_EQ(node.SetData(int32_t(huge.size() + 4), (huge + "abcd").data()), 0);
      EXPECT_EQ(DerReadOctets(node, 0, out, nullptr), kDerBadOuter);
      int32_t at = 0;
      EXPECT_EQ(DerSkipElement(node, &at), -1);
    }
  }
  EXPECT_EQ(ParseAll(std::string("\x30\x85\x00\x00\x00\x00\x01\x05\x00", 9)), kDerBadOuter);
}

}  // namespace
}  // namespace velmora::pki::testing
