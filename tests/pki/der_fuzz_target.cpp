#include "tests/pki/der_fuzz_target.h"

#include <vector>

#include "pki/asn1_element.h"
#include "pki/der_read.h"

namespace velmora::pki::testing {
namespace {

bool Allowed(int rc) { return rc == 0 || rc == core::kOutOfRange || rc == kDerBadInner || rc == kDerBadOuter; }

struct Checker {
  std::string* problem;
  bool ok = true;
  void Check(bool good, const char* what, int rc) {
    if (!good && ok) {
      *problem = std::string(what) + " returned " + std::to_string(rc);
      ok = false;
    }
  }
};

void ReadNode(const Asn1Element& node, Checker& c) {
  core::Buffer out;
  uint32_t u = 0, v = 0;
  int32_t bits = 0;
  uint8_t tag = 0;
  for (int32_t skip = 0; skip <= 3; ++skip) {
    int rc = DerReadOctets(node, skip, out, &tag);
    c.Check(Allowed(rc), "DerReadOctets", rc);
    if (rc == 0 && (tag == 23 || tag == 24)) {
      core::Buffer text;
      rc = DecodeAsn1Time(out, text, tag, "yyyyMMddHHmmss", 0, nullptr);
      c.Check(rc == 0 || rc == kDerBadInner, "DecodeAsn1Time", rc);
    }
    rc = DerReadUnsignedInteger(node, skip, out);
    c.Check(Allowed(rc), "DerReadUnsignedInteger", rc);
    rc = DerReadSmallInteger(node, skip, &u, &tag);
    c.Check(Allowed(rc), "DerReadSmallInteger", rc);
    rc = DerReadInt32Strict(node, skip, &u, &tag);
    c.Check(Allowed(rc), "DerReadInt32Strict", rc);
    rc = DerReadInteger64(node, skip, &u, &v, &tag);
    c.Check(Allowed(rc), "DerReadInteger64", rc);
    rc = DerReadBitString(node, skip, out, &bits, &tag);
    c.Check(Allowed(rc), "DerReadBitString", rc);
    rc = DerReadOid(node, skip, out, &tag);
    c.Check(Allowed(rc), "DerReadOid", rc);
  }
  if (node.firstChild() != nullptr) {
    const int rc = ParseMultiOctStr(nullptr, node, out);
    c.Check(Allowed(rc), "ParseMultiOctStr", rc);
  }
  // A node whose own parse ends at the node's end is one element.
  uint32_t size = 0;
  Asn1Element copy;
  if (copy.Assign(node) == 0) {
    const bool single = DerIsSingleElement(node.Bytes(), node.Length());
    const bool parsed = copy.Parse(0, &size) == 0 && size == static_cast<uint32_t>(node.Length());
    c.Check(single || !parsed, "DerIsSingleElement", single);
  }
}

void WalkOffsets(const core::BufferCore& buffer, Checker& c) {
  int32_t offset = 0;
  for (int steps = 0; steps < 4096; ++steps) {
    const int rc = DerSkipElement(buffer, &offset);
    c.Check(rc == 0 || rc == -1, "DerSkipElement", rc);
    if (rc != 0) break;
  }
  offset = 0;
  for (int steps = 0; steps < 4096; ++steps) {
    const int32_t before = offset;
    int rc = DerEnterElement(buffer, &offset);
    c.Check(rc == 0 || rc == -1, "DerEnterElement", rc);
    if (rc != 0) {
      rc = DerSkipElement(buffer, &offset);
      if (rc != 0) break;
    }
    if (offset <= before) break;
  }
}

}  // namespace

bool FuzzDerInput(const uint8_t* data, size_t size, std::string* problem) {
  if (size > (1u << 20)) return true;
  Checker c{problem};
  const auto length = static_cast<int32_t>(size);
  for (int release = 0; release <= 1; ++release) {
    Asn1Element root;
    if (root.SetData(length, data) != 0) return true;
    const int rc = root.ParseChildren(release);
    c.Check(rc == 0 || rc == kDerBadInner || rc == kDerBadOuter, "ParseChildren", rc);
    if (release != 0) continue;
    std::vector<const Asn1Element*> stack = {&root};
    while (!stack.empty()) {
      const Asn1Element* node = stack.back();
      stack.pop_back();
      ReadNode(*node, c);
      for (const Asn1Element* child = node->firstChild(); child != nullptr; child = child->nextSibling()) {
        stack.push_back(child);
      }
    }
    WalkOffsets(root, c);
  }
  // A split signature's two integers lie inside the input.
  core::BufferPair parts;
  const int split = SplitDerSignature(data, length, parts);
  c.Check(split == 0 || (split == 1 && parts.first.Length() + parts.second.Length() + 6 <= length), "SplitDerSignature",
          split);
  return c.ok;
}

}  // namespace velmora::pki::testing
