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
inline constexpr ResultNames kServicesResultNames{
    "GattDeviceServicesResult.Status", "GattDeviceServicesResult.ProtocolError", "GattDeviceServicesResult.Services"};
inline constexpr ResultNames kCharacteristicsResultNames{"GattCharacteristicsResult.Status",
                                                         "GattCharacteristicsResult.ProtocolError",
                                                         "GattCharacteristicsResult.Characteristics"};
inline constexpr ResultNames kDescriptorsResultNames{
    "GattDescriptorsResult.Status", "GattDescriptorsResult.ProtocolError", "GattDescriptorsResult.Descriptors"};
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
  int protocol_error = kNoProtocolError;  // the ATT error byte, kept as a number (see kNoProtocolError)
  std::vector<std::shared_ptr<GattDeviceService>> services;
  std::vector<std::shared_ptr<GattCharacteristic>> characteristics;
  std::vector<std::shared_ptr<GattDescriptor>> descriptors;
  Bytes value;
  uint16_t cccd = 0;

 private:
  std::shared_ptr<SimCore> core_;
  const ResultNames& names_;
};

// Refuse fills in the answer of an ATT server that rejects the request with `error`.
void Refuse(SimGattResult& result, GattProtocolError error);
// MakeService makes a new platform object for a service of the database. Caller holds SimCore::mutex.
std::shared_ptr<GattDeviceService> MakeService(const std::shared_ptr<SimCore>& core,
                                               const std::shared_ptr<PeripheralState>& state,
                                               const SimService& service);

// Target is the kind of attribute a GATT request is made on.
enum class Target { kDevice, kService, kCharacteristic, kDescriptor };

// Request journals a GATT request on attribute call.handle and starts it. A fault rule's outcome or a
// dropped link answers it without touching the database; a handle that is not of the `target` kind (any
// more) is answered Invalid Handle; otherwise body(state, attribute, result) answers it, under
// SimCore::mutex, when the operation finishes.
template <class T, class Body>
AsyncOp<T> Request(const std::shared_ptr<SimCore>& core, const std::shared_ptr<PeripheralState>& state, SimCall call,
                   SimOp op, Target target, const ResultNames& names, Body body) {
  const uint16_t handle = call.handle;
  call.address = state->config.address;
  core->Call(std::move(call));
  return core->Start<T>(
      op, state->config.address, handle,
      [core, state, handle, target, names = &names, body](const SimFault& fault) -> std::shared_ptr<T> {
        std::lock_guard lock(core->mutex);
        auto result = std::make_shared<SimGattResult>(core, *names);
        if (fault.status || fault.protocol_error) {
          result->status = fault.status.value_or(static_cast<int32_t>(GattCommunicationStatus::ProtocolError));
          if (fault.protocol_error.value_or(kNoProtocolError) >= 0) {
            result->protocol_error = static_cast<uint8_t>(*fault.protocol_error);
          }
          return result;
        }
        if (!state->config.link_up) {
          result->status = static_cast<int32_t>(GattCommunicationStatus::Unreachable);
          return result;
        }
        const AttributeRef found = FindAttribute(state->config.gatt, handle);
        const bool fits = target == Target::kDevice           ? true
                          : target == Target::kService        ? found.service && !found.characteristic
                          : target == Target::kCharacteristic ? found.characteristic && !found.descriptor
                                                              : found.descriptor != nullptr;
        if (fits) {
          body(*state, found, *result);
        } else {
          Refuse(*result, GattProtocolError::InvalidHandle);
        }
        return result;
      });
}

}  // namespace velmora::platform::bluetooth::sim
