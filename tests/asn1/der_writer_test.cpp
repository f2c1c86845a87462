// The writer against OpenSSL: a seeded sweep builds the same values with the writer and with
// `openssl asn1parse -genconf` and compares the bytes (the committed vectors run in der_cases_test, the
// OIDs in oid_tables_test).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "asn1/der_read.h"
#include "asn1/der_writer.h"
#include "asn1/oid_text.h"
#include "tests/asn1/asn1_oracle.h"

namespace velmora::pki::testing {
namespace {

// ---- The seeded sweep against openssl -genconf

// Sweep holds the values written so far, as writer calls and as the genconf lines that make the same.
struct Sweep {
  DerWriter writer;
  std::vector<std::string> fields;    // "name = value" lines of the top section
  std::vector<std::string> sections;  // extra sections for nested elements
  std::vector<std::string> labels;    // what each item is, for the failure message

  void Field(const std::string& value, const std::string& label) {
    fields.push_back("f" + std::to_string(fields.size()) + " = " + value);
    labels.push_back(label);
  }
};

// IntegerBoundaries are the byte-length boundaries of two's-complement INTEGER content.
std::vector<int64_t> IntegerValues(std::mt19937_64& rng) {
  std::vector<int64_t> values;
  for (int64_t b : {0LL, 127LL, 128LL, 255LL, 256LL, 32767LL, 32768LL, 8388607LL, 8388608LL, 2147483647LL, 2147483648LL}) {
    for (int64_t d = -2; d <= 2; ++d) {
      values.push_back(b + d);
      values.push_back(-(b + d));
    }
  }
  for (int i = 0; i < 200; ++i) values.push_back(static_cast<int64_t>(static_cast<int32_t>(rng() >> (rng() % 32))));
  return values;
}

void AddIntegers(Sweep& s, std::mt19937_64& rng) {
  for (int64_t v : IntegerValues(rng)) {
    const std::string gen = "INTEGER:" + std::to_string(v);
    if (v >= INT32_MIN && v <= INT32_MAX) {
      ASSERT_EQ(s.writer.AppendSmallInteger(static_cast<int32_t>(v), 2), 0);
      s.Field(gen, "AppendSmallInteger " + std::to_string(v));
      s.writer.AppendInteger(static_cast<int32_t>(v), 2);
      s.Field(gen, "AppendInteger " + std::to_string(v));
    }
    if (v >= 0 && v <= UINT32_MAX) {
      s.writer.AppendNonNegativeInteger(static_cast<uint32_t>(v), 2);
      s.Field(gen, "AppendNonNegativeInteger " + std::to_string(v));
    }
  }
}

void AddUnsigned(Sweep& s, std::mt19937_64& rng) {
  for (int i = 0; i < 300; ++i) {
    const int zeros = static_cast<int>(rng() % 4);
    const int length = 1 + static_cast<int>(rng() % 40);
    std::string m(static_cast<size_t>(zeros), '\0');
    for (int j = 0; j < length; ++j) m += static_cast<char>(rng());
    // Top bit of the first non-zero byte set or clear, by turns.
    m[zeros] = static_cast<char>(i % 2 == 0 ? (m[zeros] | 0x80) : (m[zeros] & 0x7F));
    ASSERT_EQ(s.writer.AppendUnsignedInteger(m.data(), static_cast<int32_t>(m.size())), 0);
    s.Field("INTEGER:0x" + Hex(m), "AppendUnsignedInteger " + Hex(m));
  }
}

void AddOthers(Sweep& s, std::mt19937_64& rng) {
  for (int i = 0; i < 40; ++i) {
    std::string bits;
    for (int n = static_cast<int>(rng() % 70); n > 0; --n) bits += static_cast<char>(rng());
    ASSERT_EQ(s.writer.AppendBitString(bits.data(), static_cast<int32_t>(bits.size()), 3), 0);
    s.Field(bits.empty() ? "BITSTRING:" : "FORMAT:HEX,BITSTRING:" + Hex(bits), "AppendBitString " + Hex(bits));
  }
  for (int flag : {0, 1}) {
    ASSERT_EQ(s.writer.AppendBoolean(flag, 1), 0);
    s.Field(flag ? "BOOLEAN:TRUE" : "BOOLEAN:FALSE", "AppendBoolean");
  }
  s.writer.AppendEmpty(5);
  s.Field("NULL", "AppendEmpty");
  for (int i = 0; i < 60; ++i) {
    char text[16];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", static_cast<int>(1900 + rng() % 250),
                  static_cast<int>(1 + rng() % 12), static_cast<int>(1 + rng() % 28), static_cast<int>(rng() % 24),
                  static_cast<int>(rng() % 60), static_cast<int>(rng() % 60));
    core::Buffer time;
    ASSERT_EQ(time.SetString(text), 0);
    ASSERT_EQ(EncodeAsn1Time(time, s.writer), 0);
    const int year = std::atoi(std::string(text, 4).c_str());
    const bool utc = year >= 1950 && year < 2050;
    s.Field(utc ? "UTCTIME:" + std::string(text + 2) + "Z" : "GENTIME:" + std::string(text) + "Z",
            "EncodeAsn1Time " + std::string(text));
  }
}

// AddNested writes SEQUENCE { SET { OCTET STRING } } shapes whose SEQUENCE content is size bytes.
void AddNested(Sweep& s, int32_t size) {
  const std::string section = "n" + std::to_string(s.sections.size());
  const std::string label = "nested content " + std::to_string(size);
  ASSERT_EQ(s.writer.BeginElement(0x30), 0);
  if (size == 0) {
    ASSERT_EQ(s.writer.EndElement(0), 0);
    s.sections.push_back("[" + section + "]\n");
    s.Field("SEQUENCE:" + section, label);
    return;
  }
  // SET content = size - SET header; OCTET STRING content = that - its header.
  int32_t set_content = size - 1 - DerLengthSize(static_cast<uint32_t>(size - 2));
  if (1 + DerLengthSize(static_cast<uint32_t>(set_content)) + set_content != size) --set_content;
  int32_t octets = set_content - 1 - DerLengthSize(static_cast<uint32_t>(set_content - 2));
  if (1 + DerLengthSize(static_cast<uint32_t>(octets)) + octets != set_content) --octets;
  ASSERT_EQ(1 + DerLengthSize(uint32_t(octets)) + octets, set_content);
  ASSERT_EQ(1 + DerLengthSize(uint32_t(set_content)) + set_content, size);
  const std::string payload(static_cast<size_t>(octets), 'A');
  const int32_t start = s.writer.Length() - 2;
  ASSERT_EQ(s.writer.BeginElement(0x31), 0);
  ASSERT_EQ(s.writer.AppendTlv(payload.data(), octets, 4), 0);
  ASSERT_EQ(s.writer.EndElement(0), 0);
  ASSERT_EQ(s.writer.EndElement(0), 0);
  // PrependHeader gives the same minimal headers.
  DerWriter prepended;
  ASSERT_EQ(prepended.AppendTlv(payload.data(), octets, 4), 0);
  ASSERT_EQ(prepended.PrependHeader(0x31), 0);
  ASSERT_EQ(prepended.PrependHeader(0x30), 0);
  EXPECT_TRUE(Bytes(prepended) == Bytes(s.writer).substr(size_t(start))) << "PrependHeader at " << size;
  s.sections.push_back("[" + section + "]\nset = SET:" + section + "s\n[" + section + "s]\no = FORMAT:ASCII,OCTETSTRING:" +
                       payload + "\n");
  s.Field("SEQUENCE:" + section, label);
}

// FirstDifference names the first top-level item that differs between two SEQUENCEs.
std::string FirstDifference(const std::string& ours, const std::string& theirs, const std::vector<std::string>& labels) {
  core::Buffer a, b;
  if (a.SetData(int32_t(ours.size()), ours.data()) != 0 || b.SetData(int32_t(theirs.size()), theirs.data()) != 0) return "?";
  int32_t pa = 0, pb = 0;
  if (DerEnterElement(a, &pa) != 0 || DerEnterElement(b, &pb) != 0) return "outer header";
  for (size_t i = 0; i < labels.size(); ++i) {
    const int32_t sa = pa, sb = pb;
    if (DerSkipElement(a, &pa) != 0 || DerSkipElement(b, &pb) != 0) return labels[i] + ": unreadable";
    const std::string ia = ours.substr(size_t(sa), size_t(pa - sa)), ib = theirs.substr(size_t(sb), size_t(pb - sb));
    if (ia != ib) return labels[i] + ": ours " + Hex(ia.substr(0, 64)) + " openssl " + Hex(ib.substr(0, 64));
  }
  return "trailing bytes";
}

// The arc-array OID codec agrees with the text codec over random OIDs of 32-bit arcs, both ways.
TEST(DerOidArcs, AgreeWithTheTextCodec) {
  std::mt19937 rng(20261207);
  auto next = [&rng] { return static_cast<uint32_t>(rng()); };
  for (int i = 0; i < 500; ++i) {
    std::vector<uint32_t> arcs = {next() % 3, 0};
    arcs[1] = arcs[0] == 2 ? next() % 100000 : next() % 40;
    const int extra = static_cast<int>(next() % 12);
    for (int j = 0; j < extra; ++j) arcs.push_back(j % 3 == 0 ? next() : next() % 300);
    std::string text;
    for (uint32_t arc : arcs) text += (text.empty() ? "" : ".") + std::to_string(arc);
    core::Buffer content;
    ASSERT_EQ(OidTextToContent(text.c_str(), content), 0) << text;
    uint8_t encoded[1400];
    int32_t left = sizeof encoded;
    const uint8_t* end = DerEncodeOid(encoded, &left, 0x06, arcs.data(), static_cast<int32_t>(arcs.size()));
    ASSERT_NE(end, nullptr) << text;
    const auto header = static_cast<int32_t>(end - encoded) - content.Length();
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(encoded + header), static_cast<size_t>(content.Length())),
              std::string(content.Data(), static_cast<size_t>(content.Length())))
        << text;
    uint32_t decoded[256];
    int32_t capacity = 256, remaining = static_cast<int32_t>(end - encoded);
    uint8_t tag = 0;
    ASSERT_NE(DerDecodeOid(encoded, &remaining, &tag, decoded, &capacity), nullptr) << text;
    EXPECT_EQ(std::vector<uint32_t>(decoded, decoded + capacity), arcs) << text;
    EXPECT_EQ(tag, 0x06);
  }
  uint32_t bad[] = {1, 40};
  int32_t left = 16;
  uint8_t out[16];
  EXPECT_EQ(DerEncodeOid(out, &left, 0x06, bad, 2), nullptr);
}

TEST(DerWriterSweep, SeededValuesMatchOpensslGenconf) {
  if (!OpensslAvailable()) GTEST_SKIP() << "openssl is not installed";
  const uint64_t seed = std::getenv("VELMORABLE_DER_SEED") ? std::strtoull(std::getenv("VELMORABLE_DER_SEED"), nullptr, 0)
                                                           : std::random_device{}();
  std::printf("DER writer sweep seed %llu (VELMORABLE_DER_SEED replays it)\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
  Sweep s;
  ASSERT_EQ(s.writer.BeginElement(0x30), 0);
  AddIntegers(s, rng);
  AddUnsigned(s, rng);
  AddOthers(s, rng);
  for (int32_t size : {0, 127, 128, 255, 256, 65535, 65536, 16777216}) AddNested(s, size);
  ASSERT_EQ(s.writer.EndElement(0), 0);
  EXPECT_EQ(s.writer.OpenCount(), 0);

  char dir[] = "/tmp/velmora_der_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string conf = std::string(dir) + "/sweep.cnf", out = std::string(dir) + "/sweep.der";
  {
    std::ofstream file(conf);
    file << "asn1 = SEQUENCE:top\n[top]\n";
    for (const auto& f : s.fields) file << f << "\n";
    for (const auto& section : s.sections) file << section;
  }
  std::string ignored;
  ASSERT_TRUE(RunCommand("openssl asn1parse -genconf " + conf + " -noout -out " + out, &ignored));
  std::ifstream in(out, std::ios::binary);
  const std::string theirs((std::istreambuf_iterator<char>(in)), {});
  std::remove(conf.c_str());
  std::remove(out.c_str());
  std::remove(dir);
  const std::string ours = Bytes(s.writer);
  ASSERT_EQ(ours.size(), theirs.size()) << FirstDifference(ours, theirs, s.labels);
  EXPECT_TRUE(ours == theirs) << FirstDifference(ours, theirs, s.labels);
}

}  // namespace
}  // namespace velmora::pki::testing
