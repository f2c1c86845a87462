// The element tree built node by node in document order against the copying path (every child copied
// when its parent is split), on real structures and mutations of them: the same result code and the
// same partial tree, node for node (tag, child count, bytes), with and without released bytes, after a
// child of the finished tree is split again and after the whole tree is parsed a second time. Trees of
// many certificates outgrow the small slabs and the chunks of copied bytes; a node left holding a heap
// block when the tree goes must not leak (LeakSanitizer), with storage wiped on release or not.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "asn1/asn1_element.h"
#include "core/buffer.h"
#include "tests/fuzz_support.h"

namespace velmora::pki::testing {
namespace {

// Dump lists the nodes of the tree in pre-order as tag, child count and bytes.
std::string Dump(const Asn1Element& root) {
  std::string out;
  std::vector<const Asn1Element*> stack = {&root};
  while (!stack.empty()) {
    const Asn1Element* node = stack.back();
    stack.pop_back();
    out += std::to_string(node->tag()) + "/" + std::to_string(node->childCount()) + ":" +
           std::string(node->Data(), static_cast<size_t>(node->Length())) + "|";
    std::vector<const Asn1Element*> children;
    for (const Asn1Element* c = node->firstChild(); c != nullptr; c = c->nextSibling()) children.push_back(c);
    stack.insert(stack.end(), children.rbegin(), children.rend());
  }
  return out;
}

// Build parses input with every descendant on the chosen path, then splits the first constructed
// child with bytes again, and returns both codes and the tree; then parses the whole input again and
// returns that tree too. Before the tree goes, its last node is left with open elements on the heap.
std::string Build(const std::string& input, int release, bool copying) {
  internal::ForceDerCopyingPath(copying);
  Asn1Element root;
  std::string out;
  if (root.SetData(static_cast<int32_t>(input.size()), input.data()) == 0) {
    out = std::to_string(root.ParseChildren(release)) + "#";
    for (Asn1Element* c = root.firstChild(); c != nullptr; c = c->nextSibling()) {
      if ((c->tag() & 0x20) != 0 && !c->IsEmpty()) {
        out += std::to_string(c->Parse(release, nullptr)) + "#";
        break;
      }
    }
    out += Dump(root);
    if (root.SetData(static_cast<int32_t>(input.size()), input.data()) == 0) {
      out += "#" + std::to_string(root.ParseChildren(release)) + "#" + Dump(root);
    }
    Asn1Element* last = root.firstChild();
    while (last != nullptr && last->nextSibling() != nullptr) last = last->nextSibling();
    for (int i = 0; last != nullptr && i < 8; ++i) (void)last->BeginElement(0x30);
  }
  internal::ForceDerCopyingPath(false);
  return out;
}

std::vector<std::string> Seeds() {
  std::vector<std::string> seeds = {
      std::string("\x30\x80\x04\x01\x41\x00\x00", 7),
      std::string("\x30\x0B\x30\x00\x31\x03\x02\x01\x05\x24\x02\x04\x00", 13),
      std::string("\x30\x11\x17\x0D" "491231235959Z" "\x05\x00", 19),
  };
  // Nested indefinite lengths past the depth limit.
  std::string deep;
  for (int i = 0; i < kDerMaxDepth + 4; ++i) deep += std::string("\x30\x80", 2);
  seeds.push_back(deep + std::string(2 * (kDerMaxDepth + 4), '\0'));
  const std::filesystem::path root = "/usr/lib/python3/dist-packages/cryptography_vectors/x509";
  std::error_code ec;
  std::string many;
  for (const char* folder : {"PKITS_data/certs", "ocsp"}) {
    int taken = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root / folder, ec)) {
      if (++taken > 40) break;
      std::ifstream in(entry.path(), std::ios::binary);
      seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (taken <= 12) many += seeds.back();
    }
  }
  // One SEQUENCE of a dozen certificates: a tree of several hundred nodes (a two-byte length).
  if (!many.empty() && many.size() < 0x10000) {
    seeds.push_back(std::string("\x30\x82", 2) + char(many.size() >> 8) + char(many.size() & 0xFF) + many);
    // The same inside one more SEQUENCE: a child too large for the chunks that hold the copies.
    const std::string inner = seeds.back();
    if (inner.size() < 0x10000) {
      seeds.push_back(std::string("\x30\x82", 2) + char(inner.size() >> 8) + char(inner.size() & 0xFF) + inner);
    }
  }
  return seeds;
}

TEST(DerPaths, DocumentOrderTreeMatchesCopyingPath) {
  const std::string alphabet("\x00\x01\x02\x04\x05\x06\x1F\x20\x24\x30\x31\x7F\x80\x81\x82\x84\xA0\xFF", 18);
  testing_support::RunMutationLoop("DerPaths", Seeds(), 4000, alphabet, [](const std::string& input) -> std::string {
    std::string failure;
    for (int release = 0; release < 2 && failure.empty(); ++release) {
      core::SetZeroMemoryFlag(release);  // wiped on release or not
      const std::string copying = Build(input, release, true);
      if (Build(input, release, false) != copying) failure = "trees differ with release " + std::to_string(release);
    }
    core::SetZeroMemoryFlag(0);
    return failure;
  });
}

}  // namespace
}  // namespace velmora::pki::testing
