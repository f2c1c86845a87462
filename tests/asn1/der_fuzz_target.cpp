// The DER fuzz target: one input through the tree parse (keeping and releasing bytes), every typed reader
// on every node with skip counts 0 to 3, the offset walkers and the signature splitter. FuzzDerInput
// returns false, naming the operation, when a result lies outside what the operation may return. Built
// into a libFuzzer program with clang and run under ctest by der_fuzz_test.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "asn1/asn1_element.h"
#include "asn1/der_read.h"

namespace velmora::pki::testing {
namespace {

bool Allowed(int rc) { return rc == 0 || rc == core::kOutOfRange || rc == kDerBadInner || rc == kDerBadOuter; }

// ReadNode names the first reader on node that gives a result outside its range, or returns null.
const char* ReadNode(const Asn1Element& node) {
  core::Buffer out, text;
  uint32_t a = 0, b = 0;
  int32_t bits = 0;
  uint8_t tag = 0;
  for (int32_t skip = 0; skip <= 3; ++skip) {
    const int rc = DerReadOctets(node, skip, out, &tag);
    if (!Allowed(rc)) return "DerReadOctets";
    if (rc == 0 && (tag == 23 || tag == 24) && !Allowed(DecodeAsn1Time(out, text, tag, "yyyyMMddHHmmss", 0, nullptr))) {
      return "DecodeAsn1Time";
    }
    if (!Allowed(DerReadUnsignedInteger(node, skip, out))) return "DerReadUnsignedInteger";
    if (!Allowed(DerReadSmallInteger(node, skip, &a, &tag))) return "DerReadSmallInteger";
    if (!Allowed(DerReadInt32Strict(node, skip, &a, &tag))) return "DerReadInt32Strict";
    if (!Allowed(DerReadInteger64(node, skip, &a, &b, &tag))) return "DerReadInteger64";
    if (!Allowed(DerReadBitString(node, skip, out, &bits, &tag))) return "DerReadBitString";
    if (!Allowed(DerReadOid(node, skip, out, &tag))) return "DerReadOid";
  }
  if (node.firstChild() != nullptr && !Allowed(ParseMultiOctStr(nullptr, node, out))) return "ParseMultiOctStr";
  // A node whose own parse ends at the node's end is one element.
  Asn1Element copy;
  uint32_t size = 0;
  if (copy.Assign(node) == 0 && copy.Parse(0, &size) == 0 && size == uint32_t(node.Length()) &&
      !DerIsSingleElement(node.Bytes(), node.Length())) {
    return "DerIsSingleElement";
  }
  return nullptr;
}

// WalkOffsets steps over and into elements until the walkers stop; they answer only 0 or -1.
const char* WalkOffsets(const core::BufferCore& buffer) {
  int32_t offset = 0;
  for (int steps = 0, rc = 0; steps < 4096 && rc == 0; ++steps) {
    rc = DerSkipElement(buffer, &offset);
    if (rc != 0 && rc != -1) return "DerSkipElement";
  }
  offset = 0;
  for (int steps = 0; steps < 4096; ++steps) {
    const int32_t before = offset;
    const int rc = DerEnterElement(buffer, &offset);
    if (rc != 0 && rc != -1) return "DerEnterElement";
    if ((rc != 0 && DerSkipElement(buffer, &offset) != 0) || offset <= before) break;
  }
  return nullptr;
}

}  // namespace

bool FuzzDerInput(const uint8_t* data, size_t size, std::string* problem) {
  if (size > (1u << 20)) return true;
  const auto length = static_cast<int32_t>(size);
  const char* failed = nullptr;
  for (int release = 0; release <= 1 && failed == nullptr; ++release) {
    Asn1Element root;
    if (root.SetData(length, data) != 0) return true;
    const int rc = root.ParseChildren(release);
    if (rc != 0 && rc != kDerBadInner && rc != kDerBadOuter) failed = "ParseChildren";
    std::vector<const Asn1Element*> stack = {&root};
    while (release == 0 && failed == nullptr && !stack.empty()) {
      const Asn1Element* node = stack.back();
      stack.pop_back();
      failed = ReadNode(*node);
      for (const Asn1Element* c = node->firstChild(); c != nullptr; c = c->nextSibling()) stack.push_back(c);
    }
    if (release == 0 && failed == nullptr) failed = WalkOffsets(root);
  }
  // A split signature's two integers lie inside the input.
  core::BufferPair parts;
  const int split = SplitDerSignature(data, length, parts);
  if (failed == nullptr && split != 0 && (split != 1 || parts.first.Length() + parts.second.Length() + 6 > length)) {
    failed = "SplitDerSignature";
  }
  if (failed != nullptr) *problem = failed;
  return failed == nullptr;
}

}  // namespace velmora::pki::testing
