// Facts about the host system that the component layer asks for.
#pragma once

#include <cstdint>

namespace velmora::platform {

// kCodePageUtf8 is the code page number of UTF-8.
constexpr uint32_t kCodePageUtf8 = 65001;

// GetAnsiCodePage returns the system's default code page for byte texts: 65001 (UTF-8) on this
// system, or the value a test set. Any thread may call it.
// NOTE: Linux has no per-system "ANSI" code page; byte texts are UTF-8 throughout.
uint32_t GetAnsiCodePage();

namespace test {
// SetAnsiCodePage makes GetAnsiCodePage return code_page; 0 restores the system value. Process-wide.
void SetAnsiCodePage(uint32_t code_page);
}  // namespace test

}  // namespace velmora::platform
