// The operating-system version the library reports to itself. The socket and transport-security code picks
// buffer sizes and protocol flags by version; on this system the answer is a fixed modern version (10.0
// build 22000, workstation) so that the "version 6 or later" branches are the ones taken. Tests may
// override it to reach the older branches.
#pragma once

#include <cstdint>

namespace velmora::platform {

struct OsVersion {
  uint32_t major = 10;
  uint32_t minor = 0;
  uint32_t build = 22000;
  bool workstation = true;  // product type 1; servers have other build thresholds
};

// GetOsVersion returns the reported version (the override while one is set). Any thread.
OsVersion GetOsVersion();

// OsVersionRecord is the 284-byte extended version record that the run-time "RtlGetVersion" entry of the
// "ntdll" module fills (size must be set by the caller).
struct OsVersionRecord {
  uint32_t size;
  uint32_t major;
  uint32_t minor;
  uint32_t build;
  uint32_t platform_id;
  uint16_t service_pack_text[128];
  uint16_t service_pack_major;
  uint16_t service_pack_minor;
  uint16_t suite_mask;
  uint8_t product_type;
  uint8_t reserved;
};
static_assert(sizeof(OsVersionRecord) == 284, "the version record has a fixed size");

constexpr uint8_t kProductTypeWorkstation = 1;
constexpr uint8_t kProductTypeServer = 3;

// FillOsVersionRecord is the "RtlGetVersion" entry: fills *record from GetOsVersion and returns 0, or
// returns a nonzero status when record is null or its size field is not 284.
using FillOsVersionRecordFn = int32_t (*)(OsVersionRecord* record);
int32_t FillOsVersionRecord(OsVersionRecord* record);

namespace test {
// SetOsVersion makes GetOsVersion report version until ResetOsVersion. Process-wide.
void SetOsVersion(const OsVersion& version);
void ResetOsVersion();
}  // namespace test

}  // namespace velmora::platform
