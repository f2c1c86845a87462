#include "platform/bluetooth/types.h"

#include <cstdio>

namespace velmora::platform::bluetooth {
namespace {

const char16_t* const kBluetoothErrorNames[] = {
    u"Success",          u"RadioNotAvailable", u"ResourceInUse",  u"DeviceNotConnected", u"OtherError",
    u"DisabledByPolicy", u"NotSupported",      u"DisabledByUser", u"ConsentRequired",    u"TransportNotSupported"};
const char16_t* const kConnectionStatusNames[] = {u"Disconnected", u"Connected"};
const char16_t* const kCommunicationStatusNames[] = {u"Success", u"Unreachable", u"ProtocolError", u"AccessDenied"};

template <size_t N>
std::u16string NameOrType(const char16_t* const (&names)[N], int32_t value, const char16_t* type_name) {
  return value >= 0 && static_cast<size_t>(value) < N ? names[value] : type_name;
}

}  // namespace

PlatformError::PlatformError(int32_t hresult, const char* detail) noexcept : hresult_(hresult) {
  if (detail == nullptr || *detail == '\0') {
    std::snprintf(text_, sizeof text_, "Platform error 0x%08X.", static_cast<unsigned>(hresult));
  } else {
    std::snprintf(text_, sizeof text_, "Platform error 0x%08X. %s", static_cast<unsigned>(hresult), detail);
  }
}

std::optional<uint8_t> ProtocolErrorOf(int protocol_error) {
  if (protocol_error < 0) return std::nullopt;
  return static_cast<uint8_t>(protocol_error);
}

std::optional<uint32_t> ShortIdOf(const Guid& uuid) {
  if (!(BluetoothBaseUuid(uuid.data1) == uuid)) return std::nullopt;
  return uuid.data1;
}

std::u16string GuidText(const Guid& uuid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", uuid.data1, uuid.data2,
                uuid.data3, uuid.data4[0], uuid.data4[1], uuid.data4[2], uuid.data4[3], uuid.data4[4], uuid.data4[5],
                uuid.data4[6], uuid.data4[7]);
  return std::u16string(text, text + 38);
}

std::u16string EnumName(BluetoothError value) {
  return NameOrType(kBluetoothErrorNames, static_cast<int32_t>(value), u"Windows.Devices.Bluetooth.BluetoothError");
}

std::u16string EnumName(BluetoothConnectionStatus value) {
  return NameOrType(kConnectionStatusNames, static_cast<int32_t>(value),
                    u"Windows.Devices.Bluetooth.BluetoothConnectionStatus");
}

std::u16string EnumName(GattCommunicationStatus value) {
  return NameOrType(kCommunicationStatusNames, static_cast<int32_t>(value),
                    u"Windows.Devices.Bluetooth.GenericAttributeProfile.GattCommunicationStatus");
}

}  // namespace velmora::platform::bluetooth
