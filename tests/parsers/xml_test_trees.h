// Test trees for the XML record store: a plain nested description, a builder that writes it through the
// store's writers (recording the offset of every element), random trees, and the XML text of a tree for
// outside tools.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "parsers/xml_dom.h"

namespace velmora::parsers::testing {

struct TreeNode {
  std::string name;
  // A namespace declared on this element's start tag (empty uri: none); the element takes it.
  std::string prefix;
  std::string uri;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::string text;
  std::vector<TreeNode> children;
  bool empty_tag = false;
  // Filled by the builder.
  uint32_t offset = 0;
};

// TreeBuilder writes a tree into a store as the tokenizer would: namespace records first, then the
// element, its attributes, its children, its text, the close of the element and of its scope.
class TreeBuilder {
 public:
  explicit TreeBuilder(XmlDom& dom) : dom_(dom) {}

  // Build writes node as the element at depth (1 for the root); false when a writer fails.
  bool Build(TreeNode& node, int32_t depth = 1, int32_t inherited_namespace = 0) {
    int32_t namespace_depth = inherited_namespace;
    const bool declares = !node.uri.empty();
    if (declares) {
      ++bindings_;
      if (dom_.WriteNamespace(node.prefix.c_str(), node.uri.c_str(), bindings_) != 0) return false;
      namespace_depth = bindings_;
    }
    const bool empty = node.empty_tag && node.children.empty() && node.text.empty();
    node.offset = dom_.Length();
    const uint32_t start = position_++;
    if (dom_.WriteElement(node.name.c_str(), depth, namespace_depth, static_cast<uint32_t>(bindings_), empty ? 1 : 0,
                          static_cast<uint32_t>(node.attributes.size()), start, start + 1) != 0) {
      return false;
    }
    for (const auto& [name, value] : node.attributes) {
      if (dom_.WriteAttribute(name.c_str(), value.c_str(), 0) != 0) return false;
    }
    for (TreeNode& child : node.children) {
      if (!Build(child, depth + 1, namespace_depth)) return false;
    }
    if (!node.text.empty() && dom_.WriteText(depth, node.text.c_str(), kMeasure) != 0) return false;
    dom_.CloseElement(depth, position_ + 1, position_);
    position_ += 2;
    if (declares) dom_.CloseNamespaceScope(bindings_--);
    return true;
  }

 private:
  XmlDom& dom_;
  int32_t bindings_ = 0;
  uint32_t position_ = 1;
};

// Node makes a tree node for hand-written trees.
inline TreeNode Node(const std::string& name, const std::string& prefix = "", const std::string& uri = "",
                     std::vector<std::pair<std::string, std::string>> attributes = {}, const std::string& text = "",
                     bool empty_tag = false) {
  TreeNode node;
  node.name = name;
  node.prefix = prefix;
  node.uri = uri;
  node.attributes = std::move(attributes);
  node.text = text;
  node.empty_tag = empty_tag;
  return node;
}

inline constexpr const char* kTreeNames[] = {"a", "b", "c", "item", "x1"};

// RandomTree makes a tree of up to max_nodes elements with names from a small set (so that paths by
// name find repeats), an "id" attribute on every element (unique, "n<k>"), some extra attributes, texts
// and namespaces.
inline TreeNode RandomTree(std::mt19937_64& rng, int max_nodes, bool with_namespaces) {
  int next_id = 0;
  auto make = [&](auto& self, int depth, int& budget) -> TreeNode {
    TreeNode node;
    node.name = kTreeNames[rng() % 5];
    node.attributes.push_back({"id", "n" + std::to_string(next_id++)});
    if (rng() % 3 == 0) node.attributes.push_back({"k", "v" + std::to_string(rng() % 3)});
    if (rng() % 3 == 0) node.text = "t" + std::to_string(rng() % 1000);
    if (with_namespaces && rng() % 6 == 0) {
      node.prefix = rng() % 2 == 0 ? "" : "p";
      node.uri = "urn:u" + std::to_string(rng() % 3);
    }
    node.empty_tag = rng() % 2 == 0;
    const int wanted = depth > 6 ? 0 : static_cast<int>(rng() % 5);
    for (int i = 0; i < wanted && budget > 0; ++i) {
      --budget;
      node.children.push_back(self(self, depth + 1, budget));
    }
    return node;
  };
  int budget = max_nodes - 1;
  return make(make, 1, budget);
}

// ToXml writes a tree without namespaces as XML text.
inline std::string ToXml(const TreeNode& node) {
  std::string out = "<" + node.name;
  for (const auto& [name, value] : node.attributes) out += " " + name + "=\"" + value + "\"";
  out += ">";
  for (const TreeNode& child : node.children) out += ToXml(child);
  return out + node.text + "</" + node.name + ">";
}

}  // namespace velmora::parsers::testing
