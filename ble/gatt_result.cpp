#include "ble/gatt_result.h"

#include <atomic>

#include "ble/await.h"
#include "ble/ble_client_engine.h"
#include "core/buffer.h"
#include "platform/text.h"

namespace velmora::ble {

namespace {

using Status = bt::GattCommunicationStatus;
using AttError = bt::GattProtocolError;

// Every text made here is shorter than this.
constexpr size_t kTextCap = 256;

constexpr const char kAccessDeniedText[] = "Error attempting communication: Access denied by system.";
constexpr const char kUnreachableText[] = "Error attempting communication: Device unreachable.";
constexpr const char kUnknownStatusFormat[] = "Unknown communication status %d.";
constexpr const char kProtocolErrorFormat[] = "Protocol error returned during communication: [%d] {%d}. %s";
constexpr const char kApplicationErrorFormat[] =
    "Application-specific protocol error {%d (0x%x) returned during communication. Consult the remote device's "
    "documentation for more information.";
constexpr const char kUnknownProtocolErrorFormat[] = "Unknown protocol error %d (0x%x) returned during communication.";

struct AttErrorRow {
  AttError error;
  const char* reason;
};

// The ATT errors the platform names (Bluetooth Core, Vol 3 Part F 3.4.1.1), in the order they are matched;
// row i gives code 701 + i.
constexpr AttErrorRow kAttErrors[] = {
    {AttError::InvalidHandle, "Invalid handle."},
    {AttError::ReadNotPermitted, "Read not permitted."},
    {AttError::WriteNotPermitted, "Write not permitted."},
    {AttError::InvalidPdu, "Invalid PDU."},
    {AttError::InsufficientAuthentication, "Insufficient authentication."},
    {AttError::RequestNotSupported, "Request not supported."},
    {AttError::InvalidOffset, "Invalid offset."},
    {AttError::InsufficientAuthorization, "Insufficient authorization."},
    {AttError::PrepareQueueFull, "Prepare queue full."},
    {AttError::AttributeNotFound, "Attribute not found."},
    {AttError::AttributeNotLong, "Attribute not long."},
    {AttError::InsufficientEncryptionKeySize, "Insufficient encryption key size."},
    {AttError::InvalidAttributeValueLength, "Invalid attribute value length."},
    {AttError::UnlikelyError, "Unlikely error."},
    {AttError::InsufficientEncryption, "Insufficient encryption."},
    {AttError::UnsupportedGroupType, "Unsupported group type."},
    {AttError::InsufficientResources, "Insufficient resources."},
};

// The common profile and service errors 0xFC..0xFF (Bluetooth Core Supplement, Part B).
constexpr const char* kCommonProfileErrors[] = {
    "Write request rejected.",
    "Client characteristic configuration descriptor (CCCD) improperly configured.",
    "A procedure is already in progress.",
    "Attribute value is out of range.",
};

int MapProtocolError(uint8_t byte, BLEClientEngine& engine) {
  const int value = byte;
  char text[kTextCap];
  const std::shared_ptr<bt::BluetoothPlatform> platform = bt::Provider();
  for (size_t i = 0; i < std::size(kAttErrors); ++i) {
    if (platform->GattProtocolErrorValue(kAttErrors[i].error) != byte) continue;
    platform::Format(text, sizeof text, kProtocolErrorFormat, value, value, kAttErrors[i].reason);
    return engine.SetErrorText(kGattProtocolErrorBase + 1 + static_cast<int>(i), text);
  }
  // Application errors are 0x80..0x9F.
  if (static_cast<uint8_t>(byte + 0x80) < 0x20) {
    platform::Format(text, sizeof text, kApplicationErrorFormat, value, static_cast<unsigned>(value));
    return engine.SetErrorText(kGattApplicationError, text);
  }
  if (byte >= 0xFC) {
    platform::Format(text, sizeof text, kProtocolErrorFormat, value, value, kCommonProfileErrors[byte - 0xFC]);
    return engine.SetErrorText(kGattCommonProfileErrorBase + value, text);
  }
  platform::Format(text, sizeof text, kUnknownProtocolErrorFormat, value, static_cast<unsigned>(value));
  return engine.SetErrorText(kGattCommunicationError, text);
}

}  // namespace

int MapGattResult(Status status, uint8_t protocol_error, BLEClientEngine& engine) {
  switch (status) {
    case Status::Success:
      return 0;
    case Status::AccessDenied:
      return engine.SetErrorText(kGattCommunicationError, kAccessDeniedText);
    case Status::Unreachable:
      return engine.SetErrorText(kGattDeviceUnreachable, kUnreachableText);
    case Status::ProtocolError:
      return MapProtocolError(protocol_error, engine);
  }
  // A status without a name (only a stand-in platform reports one) says nothing about success: the caller
  // must not go on to use the result's value.
  char text[kTextCap];
  platform::Format(text, sizeof text, kUnknownStatusFormat, static_cast<int>(status));
  return engine.SetErrorText(kGattCommunicationError, text);
}

int ReportGattResult(BLEClientEngine& engine, Status status, uint8_t protocol_error, const char* log_type) {
  if (engine.BleSettings().log_level.load(std::memory_order_relaxed) >= 1) {
    // The status name is only needed for the line, so it is fetched only when the line is logged.
    core::Buffer name;
    if (PlatformStringToText(bt::Provider()->EnumText(status), name) != core::kOk) (void)name.Clear();
    char line[kTextCap];
    platform::Format(line, sizeof line, "BLE Result Status: %s (Protocol Code: %d).", name.Data(),
                     static_cast<int>(protocol_error));
    (void)engine.FireLog(1, line, log_type);
  }
  return MapGattResult(status, protocol_error, engine);
}

int ReportMissingGattResult(BLEClientEngine& engine) {
  const int code = engine.LastErrorCode();
  if (code != 0) return code;
  return engine.SetErrorText(kGattCommunicationError, kNoGattResultText);
}

}  // namespace velmora::ble
