// Values of the Bluetooth platform seam: UUIDs, byte buffers, platform texts, the one error type that every
// failing platform call raises, and the platform enumerations with the numeric values the engine relies on.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace velmora::platform::bluetooth {

// Guid is a 16-byte UUID in its field layout; data1..data3 hold the numbers as they read in the text form.
struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};

  // Two GUIDs are equal when all 16 bytes are.
  friend bool operator==(const Guid& a, const Guid& b) = default;
};

// BluetoothBaseUuid returns the UUID that a 16- or 32-bit short id stands for: short_id-0000-1000-8000-00805F9B34FB
// (Bluetooth Core, Vol 3 Part B 2.5.1).
constexpr Guid BluetoothBaseUuid(uint32_t short_id) {
  return Guid{short_id, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};
}

// Bytes stands for a platform byte buffer; it is copied in and out of the platform.
using Bytes = std::vector<uint8_t>;
// HString stands for a platform text (UTF-16); the empty text doubles as the null text.
using HString = std::u16string;

// kNoProtocolError stands for "no ATT error byte" where a backend keeps a GATT result's protocol error.
// Backends keep a number, not a std::optional, and make ProtocolError()'s optional only when asked: an empty
// optional never writes its byte, optimised readers load that byte with the flag (value_or becomes a select
// over both), and valgrind's memcheck, which follows the flag test only for the whole register, then reports
// the unwritten byte as deciding the engine's result.
constexpr int kNoProtocolError = -1;
// ProtocolErrorOf gives a kept protocol error (0..255 or kNoProtocolError) as ProtocolError() returns it.
std::optional<uint8_t> ProtocolErrorOf(int protocol_error);

// Failure numbers (HRESULTs) that the platform reports; every failure number is negative.
constexpr int32_t kEFail = static_cast<int32_t>(0x80004005u);
constexpr int32_t kENoInterface = static_cast<int32_t>(0x80004002u);
constexpr int32_t kEIllegalMethodCall = static_cast<int32_t>(0x8000000Eu);
constexpr int32_t kEIllegalDelegateAssignment = static_cast<int32_t>(0x80000018u);
constexpr int32_t kRoEClosed = static_cast<int32_t>(0x80000013u);
constexpr int32_t kEAccessDenied = static_cast<int32_t>(0x80070005u);
constexpr int32_t kEInvalidArg = static_cast<int32_t>(0x80070057u);
// kEInvalidData is a system answer of the wrong type or shape.
constexpr int32_t kEInvalidData = static_cast<int32_t>(0x8007000Du);
constexpr int32_t kEDeviceNotConnected = static_cast<int32_t>(0x8007048Fu);
// kRpcEDisconnected is what an event handler reports back when the object it serves is gone.
constexpr int32_t kRpcEDisconnected = static_cast<int32_t>(0x80010108u);

// PlatformError is raised by every platform call that fails; it carries the failure number. what() gives
// "Platform error 0x%08X." with that number, followed by the platform's detail when it gave one (cut to
// fit 240 bytes).
class PlatformError : public std::exception {
 public:
  explicit PlatformError(int32_t hresult) noexcept : PlatformError(hresult, nullptr) {}
  PlatformError(int32_t hresult, const char* detail) noexcept;
  int32_t HResult() const noexcept { return hresult_; }
  const char* what() const noexcept override { return text_; }

 private:
  int32_t hresult_;
  char text_[240];
};

enum class BluetoothLEAdvertisementWatcherStatus : int32_t {
  Created = 0,
  Started = 1,
  Stopping = 2,
  Stopped = 3,
  Aborted = 4,
};

enum class BluetoothLEScanningMode : int32_t { Passive = 0, Active = 1 };

enum class BluetoothLEAdvertisementType : int32_t {
  ConnectableUndirected = 0,
  ConnectableDirected = 1,
  ScannableUndirected = 2,
  NonConnectableUndirected = 3,
  ScanResponse = 4,
};

enum class BluetoothAddressType : int32_t { Public = 0, Random = 1, Unspecified = 2 };

enum class BluetoothError : int32_t {
  Success = 0,
  RadioNotAvailable = 1,
  ResourceInUse = 2,
  DeviceNotConnected = 3,
  OtherError = 4,
  DisabledByPolicy = 5,
  NotSupported = 6,
  DisabledByUser = 7,
  ConsentRequired = 8,
  TransportNotSupported = 9,
};

enum class BluetoothConnectionStatus : int32_t { Disconnected = 0, Connected = 1 };

enum class BluetoothCacheMode : int32_t { Cached = 0, Uncached = 1 };

// GattCommunicationStatus: the platform may report values outside the named ones; they pass through as numbers.
enum class GattCommunicationStatus : int32_t { Success = 0, Unreachable = 1, ProtocolError = 2, AccessDenied = 3 };

enum class GattWriteOption : int32_t { WriteWithResponse = 0, WriteWithoutResponse = 1 };

enum class GattClientCharacteristicConfigurationDescriptorValue : int32_t { None = 0, Notify = 1, Indicate = 2 };

// DevicePairingResultStatus: values outside 0..19 may arrive and pass through as numbers.
enum class DevicePairingResultStatus : int32_t {
  Paired = 0,
  NotReadyToPair = 1,
  NotPaired = 2,
  AlreadyPaired = 3,
  ConnectionRejected = 4,
  TooManyConnections = 5,
  HardwareFailure = 6,
  AuthenticationTimeout = 7,
  AuthenticationNotAllowed = 8,
  AuthenticationFailure = 9,
  NoSupportedProfiles = 10,
  ProtectionLevelCouldNotBeMet = 11,
  AccessDenied = 12,
  InvalidCeremonyData = 13,
  PairingCanceled = 14,
  OperationAlreadyInProgress = 15,
  RequiredHandlerNotRegistered = 16,
  RejectedByHandler = 17,
  RemoteDeviceHasAssociation = 18,
  Failed = 19,
};

enum class DeviceUnpairingResultStatus : int32_t {
  Unpaired = 0,
  AlreadyUnpaired = 1,
  OperationAlreadyInProgress = 2,
  AccessDenied = 3,
  Failed = 4,
};

// DevicePairingKinds are bits: a pairing request names one, PairAsync accepts a set.
struct DevicePairingKinds {
  static constexpr uint32_t None = 0;
  static constexpr uint32_t ConfirmOnly = 1;
  static constexpr uint32_t DisplayPin = 2;
  static constexpr uint32_t ProvidePin = 4;
  static constexpr uint32_t ConfirmPinMatch = 8;
};

// GattCharacteristicProperties are the bits a characteristic reports.
struct GattCharacteristicProperties {
  static constexpr uint32_t None = 0;
  static constexpr uint32_t Broadcast = 0x001;
  static constexpr uint32_t Read = 0x002;
  static constexpr uint32_t WriteWithoutResponse = 0x004;
  static constexpr uint32_t Write = 0x008;
  static constexpr uint32_t Notify = 0x010;
  static constexpr uint32_t Indicate = 0x020;
  static constexpr uint32_t AuthenticatedSignedWrites = 0x040;
  static constexpr uint32_t ExtendedProperties = 0x080;
  static constexpr uint32_t ReliableWrites = 0x100;
  static constexpr uint32_t WritableAuxiliaries = 0x200;
};

// BluetoothLEAdvertisementDataType names the advertising data section types the platform publishes as
// statics (values: Bluetooth assigned numbers, Core Specification Supplement Part A).
enum class BluetoothLEAdvertisementDataType : uint8_t {
  Flags = 0x01,
  IncompleteService16BitUuids = 0x02,
  CompleteService16BitUuids = 0x03,
  IncompleteService32BitUuids = 0x04,
  CompleteService32BitUuids = 0x05,
  IncompleteService128BitUuids = 0x06,
  CompleteService128BitUuids = 0x07,
  ShortenedLocalName = 0x08,
  CompleteLocalName = 0x09,
  TxPowerLevel = 0x0A,
  ServiceSolicitation16BitUuids = 0x14,
  ServiceSolicitation128BitUuids = 0x15,
  ServiceData16BitUuids = 0x16,
  ServiceSolicitation32BitUuids = 0x1F,
  ServiceData32BitUuids = 0x20,
  ServiceData128BitUuids = 0x21,
  ManufacturerSpecificData = 0xFF,
};

// GattProtocolError names the ATT error codes the platform publishes as statics (Vol 3 Part F 3.4.1.1).
enum class GattProtocolError : uint8_t {
  InvalidHandle = 0x01,
  ReadNotPermitted = 0x02,
  WriteNotPermitted = 0x03,
  InvalidPdu = 0x04,
  InsufficientAuthentication = 0x05,
  RequestNotSupported = 0x06,
  InvalidOffset = 0x07,
  InsufficientAuthorization = 0x08,
  PrepareQueueFull = 0x09,
  AttributeNotFound = 0x0A,
  AttributeNotLong = 0x0B,
  InsufficientEncryptionKeySize = 0x0C,
  InvalidAttributeValueLength = 0x0D,
  UnlikelyError = 0x0E,
  InsufficientEncryption = 0x0F,
  UnsupportedGroupType = 0x10,
  InsufficientResources = 0x11,
};

// GattPresentationFormatType names the presentation format numbers the platform publishes as statics
// (Vol 3 Part G 3.3.3.5.2).
enum class GattPresentationFormatType : uint8_t {
  Boolean = 0x01,
  Bit2,
  Nibble,
  UInt8,
  UInt12,
  UInt16,
  UInt24,
  UInt32,
  UInt48,
  UInt64,
  UInt128,
  SInt8,
  SInt12,
  SInt16,
  SInt24,
  SInt32,
  SInt48,
  SInt64,
  SInt128,
  Float32,
  Float64,
  SFloat,
  Float,
  DUInt16,
  Utf8,
  Utf16,
  Struct,
};

// GattPresentationFormat is one Characteristic Presentation Format (0x2904) of a characteristic.
struct GattPresentationFormat {
  uint8_t format_type = 0;
  int32_t exponent = 0;
  uint16_t unit = 0;
  uint8_t namespace_id = 0;
  uint16_t description = 0;
};

// BluetoothLEAdvertisementDataSection is one advertising data structure: its type and its payload.
struct BluetoothLEAdvertisementDataSection {
  uint8_t data_type = 0;
  Bytes data;
};

// BluetoothLEManufacturerData is one manufacturer specific data section split into company id and data.
struct BluetoothLEManufacturerData {
  uint16_t company_id = 0;
  Bytes data;
};

// The radio-free members every backend shares.
// ShortIdOf returns the 16- or 32-bit short id of a UUID built on the Bluetooth base UUID.
std::optional<uint32_t> ShortIdOf(const Guid& uuid);
// GuidText gives "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower case.
std::u16string GuidText(const Guid& uuid);
// EnumName gives the enumerator's name, or the enumeration's full type name for a value without one.
std::u16string EnumName(BluetoothError value);
std::u16string EnumName(BluetoothConnectionStatus value);
std::u16string EnumName(GattCommunicationStatus value);

}  // namespace velmora::platform::bluetooth
