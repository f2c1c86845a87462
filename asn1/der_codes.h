// Result codes of the DER reader and writer.
#pragma once

namespace velmora::pki {

// kDerEncodeFailed: nothing open to close, a malformed argument, or no room in an encoder's area.
constexpr int kDerEncodeFailed = 445;
// kDerBadInner: a later item, a skipped element or a typed value is malformed, or a node cannot be made.
constexpr int kDerBadInner = 446;
// kDerBadOuter: the element itself (or its first content item) is malformed or missing.
constexpr int kDerBadOuter = 447;

// kDerMaxDepth bounds the nesting that the tree parse and the header walk of indefinite lengths follow.
// Certificates nest about 8 levels and BER CMS messages about 12, so 64 leaves room and bounds the stack.
constexpr int kDerMaxDepth = 64;

// kOidMaxArcs is the most arcs an OBJECT IDENTIFIER may have, read or written.
constexpr int kOidMaxArcs = 256;

}  // namespace velmora::pki
