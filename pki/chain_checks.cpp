#include "pki/chain_checks.h"

#include <cstdio>
#include <cstring>

#include "platform/time.h"

namespace velmora::pki {

int CheckValidityWindow(const char* not_before, const char* not_after) {
  platform::SystemTime now;
  platform::GetSystemTime(&now);
  char text[32];
  std::snprintf(text, sizeof text, "%04i%02i%02i%02i%02i%02i", now.year, now.month, now.day, now.hour, now.minute,
                now.second);
  if (std::strcmp(text, not_before != nullptr ? not_before : "") < 0) return -1;
  if (std::strcmp(text, not_after != nullptr ? not_after : "") > 0) return 1;
  return 0;
}

}  // namespace velmora::pki
