// GATT results and the helpers that the simulated device and GATT objects share. Internal to the simulator.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/core.h"

namespace velmora::platform::bluetooth::sim {

// ResultNames are the journal names of a result's three getters.
struct ResultNames {
  const char* status;
  const char* protocol_error;
  const char* payload;
};
inline constexpr ResultNames kServicesResultNames{"GattDeviceServicesResult.Status",
                                                  "GattDeviceServicesResult.ProtocolError",
                                                  "GattDeviceServicesResult.Services"};
inline constexpr ResultNames kCharacteristicsResultNames{"GattCharacteristicsResult.Status",
                                                         "GattCharacteristicsResult.ProtocolError",
                                                         "GattCharacteristicsResult.Characteristics"};
inline constexpr ResultNames kDescriptorsResultNames{"GattDescriptorsResult.Status",
                                                     "GattDescriptorsResult.ProtocolError",
                                                     "GattDescriptorsResult.Descriptors"};
inline constexpr ResultNames kReadResultNames{"GattReadResult.Status", "GattReadResult.ProtocolError",
                                              "GattReadResult.Value"};
inline constexpr ResultNames kCccdResultNames{
    "GattReadClientCharacteristicConfigurationDescriptorResult.Status",
    "GattReadClientCharacteristicConfigurationDescriptorResult.ProtocolError",
    "GattReadClientCharacteristicConfigurationDescriptorResult.ClientCharacteristicConfigurationDescriptor"};
inline constexpr ResultNames kWriteResultNames{"GattWriteResult.Status", "GattWriteResult.ProtocolError", ""};

// SimGattResult serves every GATT result interface; each request fills the fields its interface reads
// before the result is handed out, and nothing changes them afterwards.
class SimGattResult final : public GattDeviceServicesResult,
                            public GattCharacteristicsResult,
                            public GattDescriptorsResult,
                            public GattReadResult,
                            public GattReadClientCharacteristicConfigurationDescriptorResult,
                            public GattWriteResult {
 public:
  SimGattResult(std::shared_ptr<SimCore> core, const ResultNames& names) : core_(std::move(core)), names_(names) {}

  GattCommunicationStatus Status() override;
  std::optional<uint8_t> ProtocolError() override;
  std::vector<std::shared_ptr<GattDeviceService>> Services() override;
  std::vector<std::shared_ptr<GattCharacteristic>> Characteristics() override;
  std::vector<std::shared_ptr<GattDescriptor>> Descriptors() override;
  Bytes Value() override;
  GattClientCharacteristicConfigurationDescriptorValue ClientCharacteristicConfigurationDescriptor() override;

  int32_t status = 0;
  std::optional<uint8_t> protocol_error;
  std::vector<std::shared_ptr<GattDeviceService>> services;
  std::vector<std::shared_ptr<GattCharacteristic>> characteristics;
  std::vector<std::shared_ptr<GattDescriptor>> descriptors;
  Bytes value;
  uint16_t cccd = 0;

 private:
  std::shared_ptr<SimCore> core_;
  const ResultNames& names_;
};

// Proceed decides whether a request reaches the database: a fault rule's outcome or a dropped link end it
// here, with the result filled in. Caller holds SimCore::mutex.
bool Proceed(const PeripheralState& state, const SimFault& fault, SimGattResult& result);
// Refuse fills in the answer of an ATT server that rejects the request with `error`.
void Refuse(SimGattResult& result, GattProtocolError error);
// MakeService makes a new platform object for a service of the database. Caller holds SimCore::mutex.
std::shared_ptr<GattDeviceService> MakeService(const std::shared_ptr<SimCore>& core,
                                               const std::shared_ptr<PeripheralState>& state, const SimService& service);

}  // namespace velmora::platform::bluetooth::sim
