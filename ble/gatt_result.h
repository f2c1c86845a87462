// GATT outcomes: every GATT request of the engine ends in a communication status and, for a protocol
// error, the ATT error byte. ReportGattResult turns that pair into a Log line, a result code and the
// engine's last error text; it is the one place that makes the codes 606, 607, 612, 701-717 and 952-955.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/bluetooth/bluetooth.h"

namespace velmora::ble {

class BLEClientEngine;

namespace bt = platform::bluetooth;

// Result codes of GATT outcomes.
// kGattCommunicationError: access denied, an unknown protocol error or communication status, or no result.
constexpr int kGattCommunicationError = 606;
constexpr int kGattDeviceUnreachable = 607;
// kGattApplicationError: an ATT application error (0x80-0x9F), defined by the remote device.
constexpr int kGattApplicationError = 612;
// kGattProtocolErrorBase + n: ATT error n for n = 0x01..0x11 (701..717).
constexpr int kGattProtocolErrorBase = 700;
// kGattCommonProfileErrorBase + n: common profile error 0xFC..0xFF (952..955).
constexpr int kGattCommonProfileErrorBase = 952 - 0xFC;

// The log types GATT callers pass to ReportGattResult.
constexpr const char kGattLogDiscovery[] = "Discovery";
constexpr const char kGattLogRead[] = "Read";
constexpr const char kGattLogDebug[] = "Debug";
constexpr const char kGattLogSubscriptions[] = "Subscriptions";
constexpr const char kGattLogWrite[] = "Write";

// kNoGattResultText is the last error text of a request that finished without a result object.
constexpr const char kNoGattResultText[] = "No result from the platform.";

// MapGattResult returns the result code of (status, protocol_error) and sets engine's last error text for
// every failure; Success gives 0 and leaves the text alone. A status outside Success, Unreachable,
// ProtocolError and AccessDenied gives 606 ("Unknown communication status %d."). Protocol errors 0x01-0x11
// are matched against the platform's values, one at a time in ATT order, which may raise PlatformError.
// The thread of the engine's operations.
[[nodiscard]] int MapGattResult(bt::GattCommunicationStatus status, uint8_t protocol_error, BLEClientEngine& engine);

// ReportGattResult fires Log (level 1, "BLE Result Status: <status name> (Protocol Code: <byte>).",
// log_type) while the engine's LogLevel is 1 or more, successes included, then returns MapGattResult.
// May raise PlatformError (status name, protocol error values). The thread of the engine's operations.
[[nodiscard]] int ReportGattResult(BLEClientEngine& engine, bt::GattCommunicationStatus status,
                                   uint8_t protocol_error, const char* log_type);

// ReportMissingGattResult gives the code of an await that returned no result object: the engine's last
// error code when the wait set one (301: time-out or interruption, its text already set), else 606 with
// kNoGattResultText, so that a missing result never passes as a success.
[[nodiscard]] int ReportMissingGattResult(BLEClientEngine& engine);

// ReportGattResultOf reports an awaited GATT result (any platform result with ProtocolError and Status):
// ReportMissingGattResult when it is null, else ReportGattResult with its protocol error (0 when it has
// none), read first, and its status.
template <class Result>
[[nodiscard]] int ReportGattResultOf(BLEClientEngine& engine, const std::shared_ptr<Result>& result,
                                     const char* log_type) {
  if (result == nullptr) return ReportMissingGattResult(engine);
  const uint8_t protocol_error = result->ProtocolError().value_or(0);
  return ReportGattResult(engine, result->Status(), protocol_error, log_type);
}

}  // namespace velmora::ble
