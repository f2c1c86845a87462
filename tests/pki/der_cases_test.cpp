// Every operation on the committed vectors: the writer's encoders (OpenSSL's bytes, then hand-checked
// calls), the typed readers, the one-level and whole-tree parse, constructed OCTET STRINGs, X.509 times
// and the name tables. One dispatcher runs each record through the operation its Op names.
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "pki/asn1_element.h"
#include "pki/der_read.h"
#include "pki/oid_tables.h"
#include "tests/pki/pki_oracle.h"

namespace velmora::pki::testing {
namespace {

std::string Word(uint64_t value, int digits) {
  char text[20];
  std::snprintf(text, sizeof text, "%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

uint8_t Byte(const std::string& hex) { return static_cast<uint8_t>(std::stoul(hex, nullptr, 16)); }

// Calls runs "Name args; ..." writer calls until one fails and returns that call's code.
int Calls(const std::string& calls, DerWriter& w) {
  std::istringstream list(calls);
  for (std::string call; std::getline(list, call, ';');) {
    std::istringstream words(call);
    std::string name, a, b;
    words >> name >> a >> b;
    const std::string bytes = a.empty() ? "" : Unhex(a);
    int rc = 0;
    if (name == "Begin") rc = w.BeginElement(Byte(a));
    else if (name == "End") rc = w.EndElement(std::stoi(a));
    else if (name == "Tlv") rc = w.AppendTlv(Unhex(b).data(), int32_t(Unhex(b).size()), Byte(a));
    else if (name == "Null") rc = w.AppendEmpty(5);
    else if (name == "Boolean") rc = w.AppendBoolean(std::stoi(a), 1);
    else if (name == "Raw") rc = w.Append(bytes.data(), int32_t(bytes.size()));
    else if (name == "Prepend") rc = w.PrependHeader(Byte(a));
    else if (name == "Unsigned32") rc = w.AppendUnsigned32(uint32_t(std::stoul(a, nullptr, 16)), 2);
    else if (name == "Unsigned64") rc = w.AppendUnsigned64(uint32_t(std::stoull(a, nullptr, 16) >> 32), uint32_t(std::stoull(a, nullptr, 16)), 2);
    else if (name == "UnsignedInteger") rc = w.AppendUnsignedInteger(bytes.empty() ? nullptr : bytes.data(), int32_t(bytes.size()));
    else ADD_FAILURE() << "unknown call " << name;
    if (rc != 0) return rc;
  }
  return 0;
}

// ExpectWrites runs one writer operation and checks its code and bytes.
template <typename Body>
void ExpectWrites(Vector& v, int expected_rc, Body body) {
  DerWriter w;
  EXPECT_EQ(body(w), expected_rc);
  EXPECT_EQ(Hex(Bytes(w)), v.fields["Der"]);
}

void Writer(const std::string& op, Vector& v) {
  const int rc = v.fields.count("Result") ? std::stoi(v.Get("Result")) : 0;
  v.Get("Der");
  if (op == "Integer") {
    const int64_t value = std::stoll(v.Get("Value"));
    if (value >= INT32_MIN && value <= INT32_MAX) {
      ExpectWrites(v, 0, [&](DerWriter& w) { return w.AppendSmallInteger(int32_t(value), 2); });
      ExpectWrites(v, 0, [&](DerWriter& w) { return w.AppendInteger(int32_t(value), 2); });
    }
    if (value >= 0) ExpectWrites(v, 0, [&](DerWriter& w) { return w.AppendNonNegativeInteger(uint32_t(value), 2); });
  } else if (op == "Unsigned") {
    const std::string m = Unhex(v.Get("Magnitude"));
    ExpectWrites(v, 0, [&](DerWriter& w) { return w.AppendUnsignedInteger(m.data(), int32_t(m.size())); });
  } else if (op == "Boolean") {
    ExpectWrites(v, 0, [&](DerWriter& w) { return w.AppendBoolean(std::stoi(v.Get("Value")) * 7, 1); });
  } else if (op == "Null") {
    ExpectWrites(v, 0, [&](DerWriter& w) { return w.AppendEmpty(5); });
  } else if (op == "BitString" || op == "OctetString") {
    const std::string b = Unhex(v.Get("Bytes"));
    ExpectWrites(v, 0, [&](DerWriter& w) {
      return op == "BitString" ? w.AppendBitString(b.data(), int32_t(b.size()), 3) : w.AppendTlv(b.data(), int32_t(b.size()), 4);
    });
    if (op == "OctetString") {
      ExpectWrites(v, 0, [&](DerWriter& w) { return w.AppendHeader(4, uint32_t(b.size())) | w.Append(b.data(), int32_t(b.size())); });
    }
  } else if (op == "Oid") {
    const std::string text = v.Get("Text");
    ExpectWrites(v, rc, [&](DerWriter& w) { return w.AppendOid(text.c_str(), 6); });
    core::Buffer node, back;
    ASSERT_EQ(node.SetData(int32_t(Unhex(v.fields["Der"]).size()), Unhex(v.fields["Der"]).data()), 0);
    // Canonical texts read back as written.
    if (rc == 0 && text.size() > 1 && text.find_first_of(" \t") == std::string::npos && text.find("..") == std::string::npos) {
      ASSERT_EQ(DerReadOid(node, 0, back, nullptr), 0);
      EXPECT_EQ(Bytes(back), text);
    }
  } else if (op == "Time") {
    core::Buffer text, content, back;
    ASSERT_EQ(text.SetString(v.Get("Text").c_str()), 0);
    ExpectWrites(v, 0, [&](DerWriter& w) {
      uint8_t tag = 0;
      int code = EncodeAsn1Time(text, w);
      EXPECT_EQ(DerReadOctets(w, 0, content, &tag), 0);
      EXPECT_EQ(DecodeAsn1Time(content, back, tag, "yyyyMMddHHmmss", 0, nullptr), 0);
      EXPECT_EQ(Bytes(back), Bytes(text));
      return code;
    });
  } else if (op == "Write") {
    ExpectWrites(v, rc, [&](DerWriter& w) { return Calls(v.Get("Calls"), w); });
  } else {
    ADD_FAILURE() << "unknown Op " << op;
  }
}

std::string Descendants(const Asn1Element& root) {
  std::string out;
  std::vector<const Asn1Element*> stack;
  for (const Asn1Element* n = root.firstChild(); n != nullptr; n = n->nextSibling()) stack.insert(stack.begin(), n);
  while (!stack.empty()) {
    const Asn1Element* n = stack.back();
    stack.pop_back();
    out += (out.empty() ? "" : " ") + Hex(Bytes(*n));
    std::vector<const Asn1Element*> children;
    for (const Asn1Element* c = n->firstChild(); c != nullptr; c = c->nextSibling()) children.insert(children.begin(), c);
    stack.insert(stack.end(), children.begin(), children.end());
  }
  return out.empty() ? "-" : out;
}

void Reader(const std::string& op, Vector& v) {
  const int expected = std::stoi(v.Get("Result"));
  Asn1Element node;
  const std::string in = op == "DecodeTime" ? (v.Get("Content") == "-" ? "" : v.fields["Content"]) : Unhex(v.Get("In"));
  ASSERT_EQ(node.SetData(int32_t(in.size()), in.data()), 0);
  core::Buffer out;
  std::string got = "-";
  int rc = -1;
  if (op.rfind("Read", 0) == 0) {
    const int32_t skip = std::stoi(v.Get("Skip"));
    uint32_t a = 0, b = 0;
    int32_t bits = -1;
    if (op == "ReadOid") rc = DerReadOid(node, skip, out, nullptr);
    if (op == "ReadOctets") rc = DerReadOctets(node, skip, out, nullptr);
    if (op == "ReadUnsignedInteger") rc = DerReadUnsignedInteger(node, skip, out);
    if (op == "ReadBitString") rc = DerReadBitString(node, skip, out, &bits, nullptr);
    if (op == "ReadSmallInteger") rc = DerReadSmallInteger(node, skip, &a, nullptr);
    if (op == "ReadInt32Strict") rc = DerReadInt32Strict(node, skip, &a, nullptr);
    if (op == "ReadInteger64") rc = DerReadInteger64(node, skip, &a, &b, nullptr);
    if (op == "ReadBitString") {
      EXPECT_EQ(std::to_string(bits), v.Get("Bits"));
    }
    if (op == "ReadOid" && rc == 0) got = Bytes(out);
    else if (op == "ReadSmallInteger" || op == "ReadInt32Strict") got = rc == 0 ? Word(a, 8) : "-";
    else if (op == "ReadInteger64") got = rc == 0 ? Word((uint64_t{a} << 32) | b, 16) : "-";
    else if (op != "ReadOid" && (rc == 0 || op == "ReadUnsignedInteger")) got = Hex(Bytes(out));
  } else if (op == "Parse" || op == "ParseChildren") {
    uint32_t size = 0;
    rc = op == "Parse" ? node.Parse(std::stoi(v.Get("Release")), &size) : node.ParseChildren(std::stoi(v.Get("Release")));
    if (op == "Parse") {
      EXPECT_EQ(std::to_string(size), v.Get("Size"));
    }
    EXPECT_EQ(Descendants(node), v.Get("Children"));
    got = Hex(Bytes(node));
  } else if (op == "MultiOctStr") {
    core::Buffer error;
    EXPECT_EQ(node.ParseChildren(0), 0);
    rc = ParseMultiOctStr(&error, node, out);
    if (rc == 0) got = Hex(Bytes(out));
    EXPECT_EQ(error.Length() > 0 ? Bytes(error) : "-", v.Get("Error"));
  } else if (op == "SplitSignature") {
    core::BufferPair parts;
    rc = SplitDerSignature(node.Bytes(), node.Length(), parts);
    if (rc == 1) got = Hex(Bytes(parts.first)) + " " + Hex(Bytes(parts.second));
  } else if (op == "DecodeTime") {
    rc = DecodeAsn1Time(node, out, uint8_t(std::stoi(v.Get("Tag"))), "yyyyMMddHHmmss", 0, nullptr);
    if (rc == 0) got = Bytes(out);
  } else {
    ADD_FAILURE() << "unknown Op " << op;
  }
  EXPECT_EQ(rc, expected);
  EXPECT_EQ(got, v.Get(op.rfind("Parse", 0) == 0 ? "Keep" : "Out"));
}

void Lookup(Vector& v) {
  const std::string function = v.Get("Function"), in = v.Get("In");
  const char* arg = in == "(null)" ? nullptr : in == "-" ? "" : in.c_str();
  std::string got;
  if (function == "AlgorithmNameToOid") got = AlgorithmNameToOid(arg);
  if (function == "OidToName") got = OidToName(arg);
  if (function == "OidToAlgorithmName") got = OidToAlgorithmName(arg);
  if (function == "HashNameFromOid") got = HashNameFromOid(arg);
  if (function == "SignatureOidToEngineDigestId") got = std::to_string(SignatureOidToEngineDigestId(arg));
  if (function == "SignatureOidToHashId") got = std::to_string(SignatureOidToHashId(arg));
  EXPECT_EQ(got.empty() ? "-" : got, v.Get("Out"));
}

TEST(DerCases, EveryVectorGivesItsResult) {
  for (const char* file : {"der_writer.txt", "der_reader.txt", "oid_tables.txt"}) {
    std::vector<Vector> vectors = ReadVectors(file);
    EXPECT_GT(vectors.size(), 25u) << file;
    for (Vector& v : vectors) {
      SCOPED_TRACE(v.where);
      const std::string op = v.Get("Op");
      if (op == "Lookup") Lookup(v);
      else if (op == "IntegerToBytes") {
        core::Buffer out;
        EXPECT_EQ(IntegerToBytes(std::stoll(v.Get("Value")), out, std::stoi(v.Get("Count"))), 1);
        EXPECT_EQ(Hex(Bytes(out)), v.Get("Out"));
      } else if (std::string(file) == "der_writer.txt") Writer(op, v);
      else Reader(op, v);
      v.CheckAllRead();
    }
  }
}

}  // namespace
}  // namespace velmora::pki::testing
