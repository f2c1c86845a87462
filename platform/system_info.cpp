#include "platform/system_info.h"

#include <atomic>

namespace velmora::platform {

namespace {
std::atomic<uint32_t> g_code_page_override{0};
}  // namespace

uint32_t GetAnsiCodePage() {
  const uint32_t forced = g_code_page_override.load(std::memory_order_relaxed);
  return forced != 0 ? forced : kCodePageUtf8;
}

namespace test {

void SetAnsiCodePage(uint32_t code_page) { g_code_page_override.store(code_page, std::memory_order_relaxed); }

}  // namespace test

}  // namespace velmora::platform
