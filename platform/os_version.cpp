#include "platform/os_version.h"

#include <cstring>
#include <mutex>

namespace velmora::platform {

namespace {

std::mutex g_version_mutex;
bool g_overridden = false;
OsVersion g_override;

constexpr int32_t kStatusInvalidParameter = static_cast<int32_t>(0xC000000Du);
constexpr uint32_t kPlatformNt = 2;

}  // namespace

OsVersion GetOsVersion() {
  std::lock_guard<std::mutex> lock(g_version_mutex);
  return g_overridden ? g_override : OsVersion{};
}

int32_t FillOsVersionRecord(OsVersionRecord* record) {
  if (record == nullptr || record->size != sizeof(OsVersionRecord)) return kStatusInvalidParameter;
  const OsVersion version = GetOsVersion();
  std::memset(record, 0, sizeof(*record));
  record->size = sizeof(OsVersionRecord);
  record->major = version.major;
  record->minor = version.minor;
  record->build = version.build;
  record->platform_id = kPlatformNt;
  record->product_type = version.workstation ? kProductTypeWorkstation : kProductTypeServer;
  return 0;
}

namespace test {

void SetOsVersion(const OsVersion& version) {
  std::lock_guard<std::mutex> lock(g_version_mutex);
  g_override = version;
  g_overridden = true;
}

void ResetOsVersion() {
  std::lock_guard<std::mutex> lock(g_version_mutex);
  g_overridden = false;
}

}  // namespace test

}  // namespace velmora::platform
