// Typed readers on committed vectors, the one-level parse, constructed OCTET STRINGs, X.509 times both
// ways, and DER signatures split against python3-cryptography.
#include <cstdint>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "pki/asn1_element.h"
#include "pki/der_read.h"
#include "tests/pki/pki_oracle.h"
#include "tests/pki/vector_file.h"
#include "tests/test_support.h"

namespace velmora::pki::testing {
namespace {


std::string HexWord(uint64_t value, int digits) {
  char text[20];
  std::snprintf(text, sizeof text, "%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

TEST(DerTypedReaders, VectorsGiveTheirValueOrCode) {
  auto records = testing_support::ReadVectorFile(DataPath("der_reader.txt"));
  ASSERT_GT(records.size(), 30u);
  for (auto& r : records) {
    SCOPED_TRACE(r.Where());
    const std::string reader = r.Get("Reader");
    const std::string in = Unhex(r.Get("In"));
    core::Buffer node;
    ASSERT_EQ(node.SetData(static_cast<int32_t>(in.size()), in.data()), 0);
    const int32_t skip = std::stoi(r.Get("Skip"));
    const int expected = std::stoi(r.Get("Result"));
    const std::string out = r.Get("Out");
    core::Buffer bytes;
    std::string got = "-";
    int rc = -1;
    if (reader == "Oid") {
      rc = DerReadOid(node, skip, bytes, nullptr);
      if (rc == 0) got = Bytes(bytes);
    } else if (reader == "Octets" || reader == "UnsignedInteger" || reader == "BitString") {
      int32_t bits = -1;
      rc = reader == "Octets"            ? DerReadOctets(node, skip, bytes, nullptr)
           : reader == "UnsignedInteger" ? DerReadUnsignedInteger(node, skip, bytes)
                                         : DerReadBitString(node, skip, bytes, &bits, nullptr);
      if (rc == 0 || reader == "UnsignedInteger") {
        got = bytes.Length() > 0 ? Hex(Bytes(bytes)) : "-";
      }
      if (reader == "BitString") {
        EXPECT_EQ(std::to_string(bits), r.Get("Bits"));
      }
    } else if (reader == "SmallInteger" || reader == "Int32Strict") {
      uint32_t value = 0;
      rc = reader == "SmallInteger" ? DerReadSmallInteger(node, skip, &value, nullptr)
                                    : DerReadInt32Strict(node, skip, &value, nullptr);
      if (rc == 0) got = HexWord(value, 8);
    } else if (reader == "Integer64") {
      uint32_t high = 0, low = 0;
      rc = DerReadInteger64(node, skip, &high, &low, nullptr);
      if (rc == 0) got = HexWord((uint64_t{high} << 32) | low, 16);
    } else {
      ADD_FAILURE() << "unknown reader " << reader;
    }
    EXPECT_EQ(rc, expected);
    EXPECT_EQ(got, out);
    r.CheckAllRead();
  }
}

TEST(DerParse, OneLevelAndWholeTree) {
  Asn1Element indefinite;
  ASSERT_EQ(indefinite.SetData(7, "\x30\x80\x04\x01\x41\x00\x00"), 0);
  uint32_t size = 0;
  ASSERT_EQ(indefinite.Parse(0, &size), 0);
  EXPECT_EQ(size, 7u);
  ASSERT_EQ(indefinite.childCount(), 1);
  EXPECT_EQ(Hex(Bytes(*indefinite.firstChild())), "040141");

  Asn1Element empty;
  ASSERT_EQ(empty.SetData(2, "\x30\x00"), 0);
  ASSERT_EQ(empty.Parse(1, nullptr), 0);
  EXPECT_EQ(empty.childCount(), 0);
  EXPECT_EQ(empty.Length(), 2);  // nothing to release without content

  Asn1Element primitive;
  ASSERT_EQ(primitive.SetData(5, "\x04\x03\x01\x02\x03"), 0);
  ASSERT_EQ(primitive.ParseChildren(1), 0);
  EXPECT_EQ(primitive.firstChild(), nullptr);
  EXPECT_EQ(Hex(Bytes(primitive)), "0403010203");

  // A later malformed item keeps the children before it; parsing again replaces the children.
  Asn1Element partial;
  ASSERT_EQ(partial.SetData(8, "\x30\x06\x05\x00\x05\x00\x04\x05"), 0);
  EXPECT_EQ(partial.Parse(0, nullptr), kDerBadInner);
  EXPECT_EQ(partial.childCount(), 2);
  ASSERT_EQ(partial.SetData(4, "\x31\x02\x01\x05"), 0);
  EXPECT_EQ(partial.Parse(0, nullptr), kDerBadOuter);  // a first item that does not fit
  ASSERT_EQ(partial.SetData(5, "\x31\x03\x01\x01\xFF"), 0);
  ASSERT_EQ(partial.Parse(0, nullptr), 0);
  EXPECT_EQ(partial.childCount(), 1);
  EXPECT_EQ(partial.tag(), 0x31);
  EXPECT_EQ(partial.firstChild()->nextSibling(), nullptr);

  // An indefinite length on a primitive tag is malformed (X.690 8.1.3.2).
  Asn1Element primitive_indefinite;
  ASSERT_EQ(primitive_indefinite.SetData(6, "\x04\x80\x41\x20\x00\x00"), 0);
  EXPECT_EQ(primitive_indefinite.Parse(0, nullptr), kDerBadOuter);
}

TEST(DerParse, ReleasedBytesStayOnlyInPrimitiveNodes) {
  Asn1Element root;
  ASSERT_EQ(root.SetData(11, "\x30\x09\x31\x03\x02\x01\x07\x04\x02\x41\x42"), 0);
  ASSERT_EQ(root.ParseChildren(1), 0);
  EXPECT_EQ(root.Length(), 0);
  const Asn1Element* set = root.firstChild();
  EXPECT_EQ(set->Length(), 0);
  EXPECT_EQ(set->tag(), 0x31);
  EXPECT_EQ(Hex(Bytes(*set->firstChild())), "020107");
  EXPECT_EQ(Hex(Bytes(*set->nextSibling())), "04024142");
}

TEST(DerParse, AllocationFailuresGiveTheirCodeAndLeaveNoLeak) {
  const std::string items = std::string("\x04\x70", 2) + std::string(0x70, 'a') + std::string("\x05\x00\x05\x00", 4);
  const std::string der = std::string("\x30\x76", 2) + items;
  for (int successes = 0; successes < 8; ++successes) {
    Asn1Element root;
    ASSERT_EQ(root.SetData(static_cast<int32_t>(der.size()), der.data()), 0);
    int rc;
    {
      testing_support::FailingAllocations fail(successes);
      rc = root.ParseChildren(0);
    }
    EXPECT_TRUE(rc == 0 || rc == kDerBadInner || rc == core::kOutOfMemory) << rc;
    if (rc != 0) {
      EXPECT_EQ(root.firstChild(), nullptr);
    }
  }
}

TEST(DerConstructedOctetString, JoinsChildrenAndRefusesOtherTypes) {
  Asn1Element node;
  ASSERT_EQ(node.SetData(11, "\x24\x80\x04\x02\x41\x42\x04\x01\x43\x00\x00"), 0);
  ASSERT_EQ(node.ParseChildren(0), 0);
  core::Buffer error;
  ASSERT_EQ(ParseMultiOctStr(&error, node, node), 0);
  EXPECT_EQ(Bytes(node), "ABC");
  EXPECT_EQ(Bytes(error), "");

  Asn1Element mixed;
  ASSERT_EQ(mixed.SetData(9, "\x24\x07\x04\x02\x41\x42\x0C\x01\x43"), 0);
  ASSERT_EQ(mixed.ParseChildren(0), 0);
  core::Buffer out;
  EXPECT_EQ(ParseMultiOctStr(&error, mixed, out), kDerBadInner);
  EXPECT_EQ(Bytes(error), "Error on ParseMultiOctStr, wrong ASN type.");
  Asn1Element childless;
  ASSERT_EQ(ParseMultiOctStr(nullptr, childless, out), 0);
  EXPECT_EQ(out.Length(), 0);
}

class DerTimes : public testing_support::ZoneTest {};

std::string RoundTrip(const char* digits, std::string* der) {
  core::Buffer text, content, back;
  EXPECT_EQ(text.SetString(digits), 0);
  DerWriter writer;
  EXPECT_EQ(EncodeAsn1Time(text, writer), 0);
  *der = Hex(Bytes(writer));
  uint8_t tag = 0;
  EXPECT_EQ(DerReadOctets(writer, 0, content, &tag), 0);
  EXPECT_EQ(DecodeAsn1Time(content, back, tag, "yyyyMMddHHmmss", 0, nullptr), 0);
  return Bytes(back);
}

TEST_F(DerTimes, CenturyRangesBothWays) {
  std::string der;
  for (const char* digits : {"19491231235959", "19500101000000", "20491231235959", "20500101000000"}) {
    EXPECT_EQ(RoundTrip(digits, &der), digits);
    const bool utc = digits[1] == '9' ? digits[2] == '5' : digits[2] == '4';
    EXPECT_EQ(der.substr(0, 2), utc ? "17" : "18") << digits;
  }
  core::Buffer out;
  auto decode = [&](const char* content, uint8_t tag) {
    core::Buffer c;
    EXPECT_EQ(c.SetString(content), 0);
    const int rc = DecodeAsn1Time(c, out, tag, "yyyyMMddHHmmss", 0, nullptr);
    return rc == 0 ? Bytes(out) : std::to_string(rc);
  };
  EXPECT_EQ(decode("491231235959Z", 23), "20491231235959");
  EXPECT_EQ(decode("500101000000Z", 23), "19500101000000");
  EXPECT_EQ(decode("5001010000Z", 23), "19500101000000");
  EXPECT_EQ(decode("500101000000+0100", 23), "19491231230000");
  EXPECT_EQ(decode("20500101000000.5Z", 24), "20500101000000");
  // Not of the type's form, not a date, or not a time type at all.
  for (const auto& [content, tag] : std::initializer_list<std::pair<const char*, uint8_t>>{
           {"19020701025736Z", 23}, {"491231235959", 23}, {"491231235959Zx", 23}, {"4912312359Z5", 23},
           {"491331235959Z", 23}, {"", 23}, {"20500101000000+01", 24}, {"2050010100.Z", 24},
           {"491231235959Z", 4}}) {
    EXPECT_EQ(decode(content, tag), "446") << content;
  }
}

TEST(DerSignatures, SplitMatchesPythonCryptography) {
  if (!DebianPythonAvailable()) GTEST_SKIP() << "needs Debian's python3 with cryptography (python3-cryptography)";
  static const char kScript[] = R"(
# 1,000 DSA and ECDSA signatures with python3-cryptography's own split into r and s.
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import dsa, ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
keys = [(dsa.generate_private_key(1024), None)] + [(ec.generate_private_key(c), ec.ECDSA(hashes.SHA256()))
                                                   for c in (ec.SECP256R1(), ec.SECP384R1(), ec.SECP521R1())]
for i in range(1000):
    key, alg = keys[i % 4]
    message = b"message %d" % i
    sig = key.sign(message, hashes.SHA256()) if alg is None else key.sign(message, alg)
    r, s = decode_dss_signature(sig)
    print(sig.hex(), "%x" % r, "%x" % s)
)";
  std::string output;
  ASSERT_TRUE(testing_support::RunPython(kScript, "", "", &output, kDebianPython));
  const auto lines = testing_support::Lines(output);
  ASSERT_EQ(lines.size(), 1000u);
  auto strip = [](std::string hex) {
    const size_t nz = hex.find_first_not_of('0');
    return nz == std::string::npos ? std::string("0") : hex.substr(nz);
  };
  for (const auto& f : lines) {
    ASSERT_EQ(f.size(), 3u);
    const std::string sig = testing_support::FromHex(f[0]);
    core::BufferPair parts;
    ASSERT_EQ(SplitDerSignature(reinterpret_cast<const uint8_t*>(sig.data()), int32_t(sig.size()), parts), 1) << f[0];
    EXPECT_EQ(strip(testing_support::ToHex(Bytes(parts.first))), f[1]);
    EXPECT_EQ(strip(testing_support::ToHex(Bytes(parts.second))), f[2]);
  }
  // Shapes that are no signature.
  core::BufferPair parts;
  for (const std::string& bad : {std::string("\x30\x06\x02\x01\x01\x02\x01", 7), std::string("\x31\x06\x02\x01\x01\x02\x01\x01", 8),
                                 std::string("\x30\x06\x02\x01\x01\x04\x01\x01", 8), std::string("\x30\x80\x02\x01\x01\x02\x01\x01", 8),
                                 std::string("\x30\x07\x02\x01\x01\x02\x01\x01", 8), std::string("\x30\x06\x02\x81\x01\x01\x02\x01\x01", 9)}) {
    EXPECT_EQ(SplitDerSignature(reinterpret_cast<const uint8_t*>(bad.data()), int32_t(bad.size()), parts), 0) << Hex(bad);
  }
}

}  // namespace
}  // namespace velmora::pki::testing
