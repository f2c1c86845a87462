// Every operation on the committed vectors: the writer's encoders (OpenSSL's bytes, then hand-checked
// calls), the typed readers, the one-level and whole-tree parse, constructed OCTET STRINGs, X.509 times
// and the name tables. One dispatcher runs each record through the operation its Op names.
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "asn1/asn1_element.h"
#include "asn1/der_read.h"
#include "crypto/registry/oid_tables.h"
#include "tests/asn1/asn1_oracle.h"

namespace velmora::pki::testing {
namespace {

std::string Word(uint64_t value, int digits) {
  char text[20];
  std::snprintf(text, sizeof text, "%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

uint8_t Byte(const std::string& hex) { return static_cast<uint8_t>(std::stoul(hex, nullptr, 16)); }

// Calls runs "Name args; ..." writer calls until one fails and returns that call's code.
int Calls(const std::string& calls, const std::string& text, DerWriter& w) {
  std::istringstream list(calls);
  for (std::string call; std::getline(list, call, ';');) {
    std::istringstream words(call);
    std::string name, a, b;
    words >> name >> a >> b;
    const std::string bytes = a.empty() ? "" : Unhex(a), second = b.empty() ? "" : Unhex(b);
    const auto size = static_cast<int32_t>(bytes.size());
    core::Buffer time;
    int rc = 0;
    if (name == "SmallInteger") rc = w.AppendSmallInteger(std::stoi(a), 2);
    else if (name == "Integer") rc = w.AppendInteger(std::stoi(a), 2);
    else if (name == "NonNegative") rc = w.AppendNonNegativeInteger(uint32_t(std::stoul(a)), 2);
    else if (name == "UnsignedInteger") rc = w.AppendUnsignedInteger(size ? bytes.data() : nullptr, size);
    else if (name == "Unsigned32") rc = w.AppendUnsigned32(uint32_t(std::stoul(a, nullptr, 16)), 2);
    else if (name == "Unsigned64") rc = w.AppendUnsigned64(uint32_t(std::stoull(a, nullptr, 16) >> 32), uint32_t(std::stoull(a, nullptr, 16)), 2);
    else if (name == "Boolean") rc = w.AppendBoolean(std::stoi(a), 1);
    else if (name == "Null") rc = w.AppendEmpty(5);
    else if (name == "BitString") rc = w.AppendBitString(bytes.data(), size, 3);
    else if (name == "Tlv") rc = w.AppendTlv(second.data(), int32_t(second.size()), Byte(a));
    else if (name == "Header") rc = w.AppendHeader(Byte(a), uint32_t(std::stoul(b)));
    else if (name == "Raw") rc = w.Append(bytes.data(), size);
    else if (name == "Begin") rc = w.BeginElement(Byte(a));
    else if (name == "End") rc = w.EndElement(std::stoi(a));
    else if (name == "Prepend") rc = w.PrependHeader(Byte(a));
    else if (name == "OidText") rc = w.AppendOid(text.c_str(), 6);
    else if (name == "Time") rc = time.SetString(a.c_str()) | EncodeAsn1Time(time, w);
    else if (name == "ToBytes") rc = IntegerToBytes(std::stoll(a), w, std::stoi(b)) == 1 ? 0 : -1;
    else ADD_FAILURE() << "unknown call " << name;
    if (rc != 0) return rc;
  }
  return 0;
}

// Writer runs each alternative of the record's calls on a new writer.
void Writer(Vector& v) {
  const std::string calls = v.Get("Calls"), der = v.Get("Der");
  const std::string text = v.fields.count("Text") ? v.Get("Text") : "";
  const int expected = v.fields.count("Result") ? std::stoi(v.Get("Result")) : 0;
  for (size_t start = 0, end; start < calls.size() + 1; start = end + 3) {
    end = std::min(calls.find(" | ", start), calls.size());
    DerWriter w;
    EXPECT_EQ(Calls(calls.substr(start, end - start), text, w), expected) << calls.substr(start, end - start);
    EXPECT_EQ(Hex(Bytes(w)), der) << calls.substr(start, end - start);
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
      if (std::string(file) == "der_writer.txt") {
        Writer(v);
      } else if (const std::string op = v.Get("Op"); op == "Lookup") {
        Lookup(v);
      } else {
        Reader(op, v);
      }
      v.CheckAllRead();
    }
  }
}

}  // namespace
}  // namespace velmora::pki::testing
