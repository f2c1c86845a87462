#include "platform/crypto/crypto_types.h"

namespace velmora::platform {

int CompareCryptNames(const char16_t* a, const char16_t* b) {
  static constexpr char16_t kEmpty[1] = {0};
  if (a == nullptr) a = kEmpty;
  if (b == nullptr) b = kEmpty;
  for (;; ++a, ++b) {
    const char16_t x = (*a >= u'A' && *a <= u'Z') ? static_cast<char16_t>(*a + 32) : *a;
    const char16_t y = (*b >= u'A' && *b <= u'Z') ? static_cast<char16_t>(*b + 32) : *b;
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
}

}  // namespace velmora::platform
