// bluetoothd's error names and texts mapped to the platform's GATT, pairing and scanning outcomes.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/bluetooth/bluez/objects.h"

namespace velmora::platform::bluetooth::bluez {
namespace {

constexpr char kErrorPrefix[] = "org.bluez.Error.";

// Short gives the error name after "org.bluez.Error.", or the whole name for other errors.
std::string Short(const std::string& name) {
  const size_t prefix = std::strlen(kErrorPrefix);
  return name.compare(0, prefix, kErrorPrefix) == 0 ? name.substr(prefix) : name;
}

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

GattOutcome Protocol(uint8_t code) { return {GattCommunicationStatus::ProtocolError, code}; }

}  // namespace

GattOutcome GattOutcomeOf(const Reply& reply) {
  if (reply.Ok()) return {};
  const std::string name = Short(reply.error);
  const std::string& text = reply.message;
  if (name == "NotPermitted") {
    // gatt-client.c, create_gatt_dbus_error: the device's ATT errors; bluetoothd names 0x05, 0x0C and 0x0F
    // alike "Not paired". Its refusal of a CCCD write ("Write not permitted") never comes: the backend
    // subscribes through AcquireNotify and StartNotify.
    if (Contains(text, "Read not permitted")) return Protocol(0x02);
    if (Contains(text, "Write not permitted")) return Protocol(0x03);
    if (Contains(text, "Not paired")) return Protocol(0x05);
    // NOTE: every other text is bluetoothd's own refusal, decided before any ATT request: "Notify acquired"
    // and "Write acquired" while another client holds the characteristic's notification or write socket
    // (gatt-client.c, characteristic_acquire_notify, characteristic_start_notify,
    // characteristic_write_value). The device said nothing.
    return {GattCommunicationStatus::AccessDenied};
  }
  // NOTE: gatt-client.c answers the device's ATT error 0x08 with NotAuthorized "Operation Not Authorized"
  // (create_gatt_dbus_error), and a write to a service that a plugin of bluetoothd claimed, while
  // ExportClaimedServices is read-only (its default), with the same name and text: the two cannot be told
  // apart, and the device's meaning is kept.
  if (name == "NotAuthorized") return Protocol(0x08);
  if (name == "NotSupported") return Protocol(0x06);
  if (name == "InvalidOffset") return Protocol(0x07);
  if (name == "InvalidValueLength") return Protocol(0x0D);
  if (name == "InvalidArguments") {
    if (Contains(text, "Invalid offset")) return Protocol(0x07);
    if (Contains(text, "Invalid Length")) return Protocol(0x0D);
    return {GattCommunicationStatus::Unreachable};
  }
  if (name == "Failed") {
    // "Operation failed with ATT error: 0xNN" (bluetoothd adds the error's name in parentheses).
    const char* marker = "ATT error: 0x";
    const size_t at = text.find(marker);
    unsigned code = 0;
    if (at != std::string::npos && std::sscanf(text.c_str() + at + std::strlen(marker), "%2x", &code) == 1) {
      return Protocol(static_cast<uint8_t>(code));
    }
  }
  if (reply.error == "org.freedesktop.DBus.Error.AccessDenied") return {GattCommunicationStatus::AccessDenied};
  // Not connected, the object gone, no reply, a timeout, other failures.
  return {GattCommunicationStatus::Unreachable};
}

DevicePairingResultStatus PairingStatusOf(const Reply& reply) {
  using R = DevicePairingResultStatus;
  if (reply.Ok()) return R::Paired;
  const std::string name = Short(reply.error);
  if (name == "AlreadyExists") return R::AlreadyPaired;
  if (name == "AuthenticationCanceled") return R::PairingCanceled;
  if (name == "AuthenticationRejected") return R::RejectedByHandler;
  if (name == "AuthenticationFailed") return R::AuthenticationFailure;
  if (name == "AuthenticationTimeout" || name == "org.freedesktop.DBus.Error.NoReply") return R::AuthenticationTimeout;
  if (name == "ConnectionAttemptFailed") return R::ConnectionRejected;
  if (name == "InProgress") return R::OperationAlreadyInProgress;
  if (name == "DoesNotExist" || name == "org.freedesktop.DBus.Error.UnknownObject") return R::NotReadyToPair;
  return R::Failed;
}

std::string HoldOf(const Reply& reply) {
  if (Short(reply.error) != "NotPermitted") return {};
  if (Contains(reply.message, "Notify acquired")) {
    return "another program holds the characteristic's notification socket (AcquireNotify)";
  }
  if (Contains(reply.message, "Write acquired")) {
    return "another program holds the characteristic's write socket (AcquireWrite)";
  }
  return {};
}

HString ErrorDetail(const Reply& reply) {
  if (reply.Ok()) return {};
  const std::string text = reply.message.empty() ? reply.error : reply.error + ": " + reply.message;
  return sim::Utf8ToHString(Bytes(text.begin(), text.end()));
}

BluetoothError ScanErrorOf(const Reply& reply) {
  const std::string name = Short(reply.error);
  if (name == "NotReady" || name == "org.freedesktop.DBus.Error.UnknownObject" ||
      name == "org.freedesktop.DBus.Error.ServiceUnknown") {
    return BluetoothError::RadioNotAvailable;
  }
  if (name == "NotAuthorized" || name == "org.freedesktop.DBus.Error.AccessDenied") {
    return BluetoothError::DisabledByPolicy;
  }
  if (name == "InProgress") return BluetoothError::ResourceInUse;
  return BluetoothError::OtherError;
}

}  // namespace velmora::platform::bluetooth::bluez
