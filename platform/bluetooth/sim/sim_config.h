// Plain data that scripts the simulated radio: peripherals, their advertisements and GATT databases, fault
// rules for asynchronous operations, and the journal entries of platform calls.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/bluetooth/types.h"

namespace velmora::platform::bluetooth::sim {

// SimAdvert is one advertising event as sent on air: the raw AD structures in their order. Everything the
// platform derives (local name, flags, service UUIDs, manufacturer data) comes from these sections.
struct SimAdvert {
  BluetoothLEAdvertisementType type = BluetoothLEAdvertisementType::ConnectableUndirected;
  int16_t rssi = -60;
  std::vector<BluetoothLEAdvertisementDataSection> sections;
};

// ParseAdvertisingData splits advertising data (length, type, payload; repeated) into sections. A length
// byte of 0 ends the data early (Vol 3 Part C 11). Returns false, with `out` unchanged, when a structure
// runs past the end.
bool ParseAdvertisingData(std::span<const uint8_t> data, std::vector<BluetoothLEAdvertisementDataSection>* out);

struct SimDescriptor {
  uint16_t handle = 0;
  Guid uuid;
  Bytes value;  // a Client Characteristic Configuration (0x2902) value is kept by the characteristic
};

struct SimCharacteristic {
  uint16_t handle = 0;
  Guid uuid;
  uint32_t properties = 0;  // GattCharacteristicProperties bits
  Bytes value;
  // encrypted: reads and writes answer InsufficientAuthentication until the peripheral is paired.
  bool encrypted = false;
  std::vector<SimDescriptor> descriptors;
  std::vector<GattPresentationFormat> formats;
};

struct SimService {
  uint16_t handle = 0;
  Guid uuid;
  bool primary = true;
  std::vector<uint16_t> included;  // handles of included services
  std::vector<SimCharacteristic> characteristics;
};

struct SimGattDb {
  std::vector<SimService> services;
  uint16_t max_pdu_size = 247;
};

// SimPeriodicValue sends notifications (or indications) of a characteristic every period, cycling through
// the values; CCCD gating applies as for Notify.
struct SimPeriodicValue {
  uint16_t handle = 0;
  int64_t period_ms = 1000;
  bool indicate = false;
  std::vector<Bytes> values;
};

struct SimPeripheral {
  uint64_t address = 0;  // 48 bits
  BluetoothAddressType address_type = BluetoothAddressType::Public;
  std::u16string name;
  std::vector<SimAdvert> adverts;
  std::optional<SimAdvert> scan_response;  // delivered after each advert to watchers in Active mode
  // On average: each advertising event goes out up to a quarter of the interval earlier or later at random.
  int64_t advertising_interval_ms = 0;     // 0: adverts go out only through EmitAdvertisement
  bool obtainable = true;                  // false: a device lookup for the address finds nothing
  bool reuse_device_object = true;         // false: every lookup makes a new device object
  bool link_up = true;
  bool can_pair = true;
  bool paired = false;
  // pairing_kind is the DevicePairingKinds bit the peripheral asks for; None pairs without a request.
  uint32_t pairing_kind = DevicePairingKinds::ConfirmOnly;
  std::u16string pin;  // shown for DisplayPin and ConfirmPinMatch, expected for ProvidePin
  SimGattDb gatt;
  std::vector<SimPeriodicValue> periodic_values;
};

enum class SimAdapter { kPresent, kAbsent, kNoLowEnergy };

// SimEvent names the platform events, for counting registered handlers.
enum class SimEvent {
  kReceived,
  kStopped,
  kNameChanged,
  kGattServicesChanged,
  kConnectionStatusChanged,
  kPairingRequested,
  kValueChanged,
};

// SimOp names the asynchronous operations that fault rules apply to.
enum class SimOp {
  kGetAdapter,
  kFromAddress,
  kPair,
  kUnpair,
  kRootServices,
  kIncludedServices,
  kCharacteristics,
  kDescriptors,
  kReadCharacteristic,
  kReadDescriptor,
  kReadCccd,
  kWriteCharacteristic,
  kWriteDescriptor,
  kWriteCccd,
};

// SimFault changes how matching operations finish. The first matching rule (in the order added) applies;
// it is used up after `times` operations (-1: never used up).
struct SimFault {
  SimOp op = SimOp::kReadCharacteristic;
  std::optional<uint64_t> address{};  // match one peripheral only
  std::optional<uint16_t> handle{};   // match one attribute only (the service, characteristic or descriptor)
  int times = 1;
  int64_t delay_ms = 0;          // finish this much later
  bool hold = false;             // finish only on Release(rule id)
  bool complete_inline = false;  // already finished when returned, so SetCompleted runs its handler inline
  bool null_result = false;      // finish with a null result
  int32_t results_hresult = 0;   // nonzero: GetResults raises this failure number
  // status replaces the GATT status (or the pairing/unpairing status) and skips the operation itself;
  // protocol_error gives the ATT error byte (0..255) or kNoProtocolError for none. A protocol_error without
  // a status means status ProtocolError.
  std::optional<int32_t> status{};
  std::optional<int> protocol_error{};
};

// SimCall is one journal entry: a platform call as the simulator saw it. Fields that the call has no use
// for stay zero or empty; `mode` holds the cache mode, write option, CCCD value or pairing kinds.
struct SimCall {
  const char* api = "";  // "<Class>.<Member>", e.g. "GattCharacteristic.ReadValueWithCacheModeAsync"
  uint64_t address = 0;
  uint16_t handle = 0;
  std::optional<Guid> uuid{};
  int64_t mode = 0;
  Bytes bytes{};
  std::u16string text{};
  std::thread::id thread = std::this_thread::get_id();
};

}  // namespace velmora::platform::bluetooth::sim
