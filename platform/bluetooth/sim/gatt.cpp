// The simulated GATT client: services, characteristics, descriptors and their results, against the
// peripheral's database (device values), the client cache and the per-characteristic CCCD state.
#include <algorithm>
#include <utility>

#include "platform/bluetooth/sim/gatt_result.h"
#include "platform/bluetooth/sim/objects.h"

namespace velmora::platform::bluetooth::sim {
namespace {

constexpr Guid kCccdUuid = BluetoothBaseUuid(0x2902);
constexpr Guid kUserDescriptionUuid = BluetoothBaseUuid(0x2901);

int Mode(BluetoothCacheMode mode) { return static_cast<int>(mode); }

bool Wanted(const std::optional<Guid>& filter, const Guid& uuid) { return !filter || *filter == uuid; }

// ReadThrough answers a read: the device value when asked for it or when nothing is cached yet; the value
// read becomes the cached one.
Bytes ReadThrough(PeripheralState& state, uint16_t handle, const Bytes& device_value, BluetoothCacheMode mode) {
  auto cached = state.cache.find(handle);
  if (mode == BluetoothCacheMode::Cached && cached != state.cache.end()) return cached->second;
  state.cache[handle] = device_value;
  return device_value;
}

bool Locked(const PeripheralState& state, const SimCharacteristic& characteristic) {
  return characteristic.encrypted && !state.config.paired;
}

class SimValueChangedArgs final : public GattValueChangedEventArgs {
 public:
  SimValueChangedArgs(std::shared_ptr<SimCore> core, Bytes value)
      : core_(std::move(core)), value_(std::move(value)), timestamp_(TimestampMs()) {}
  Bytes CharacteristicValue() override {
    auto lock = core_->Call({.api = "GattValueChangedEventArgs.CharacteristicValue"});
    return value_;
  }
  int64_t Timestamp() override {
    auto lock = core_->Call({.api = "GattValueChangedEventArgs.Timestamp"});
    return timestamp_;
  }

 private:
  std::shared_ptr<SimCore> core_;
  const Bytes value_;
  const int64_t timestamp_;
};

class SimSession final : public GattSession {
 public:
  SimSession(std::shared_ptr<SimCore> core, std::shared_ptr<PeripheralState> state)
      : core_(std::move(core)), state_(std::move(state)) {}
  uint16_t MaxPduSize() override {
    auto lock = core_->Call({.api = "GattSession.MaxPduSize", .address = state_->config.address});
    return state_->config.gatt.max_pdu_size;
  }

 private:
  std::shared_ptr<SimCore> core_;
  std::shared_ptr<PeripheralState> state_;
};

class SimGattDescriptor final : public GattDescriptor {
 public:
  SimGattDescriptor(std::shared_ptr<SimCore> core, std::shared_ptr<PeripheralState> state, const SimDescriptor& found)
      : core_(std::move(core)), state_(std::move(state)), handle_(found.handle), uuid_(found.uuid) {}

  uint16_t AttributeHandle() override {
    auto lock = core_->Call({.api = "GattDescriptor.AttributeHandle", .handle = handle_});
    return handle_;
  }
  Guid Uuid() override {
    auto lock = core_->Call({.api = "GattDescriptor.Uuid", .handle = handle_});
    return uuid_;
  }

  AsyncOp<GattReadResult> ReadValueWithCacheModeAsync(BluetoothCacheMode mode) override {
    core_->Call({.api = "GattDescriptor.ReadValueWithCacheModeAsync",
                 .address = state_->config.address,
                 .handle = handle_,
                 .mode = Mode(mode)});
    return core_->Start<GattReadResult>(
        SimOp::kReadDescriptor, state_->config.address, handle_,
        [core = core_, state = state_, handle = handle_, mode](const SimFault& fault) {
          std::lock_guard lock(core->mutex);
          auto result = std::make_shared<SimGattResult>(core, kReadResultNames);
          if (!Proceed(*state, fault, *result)) return result;
          const AttributeRef found = FindAttribute(state->config.gatt, handle);
          if (found.descriptor == nullptr) {
            Refuse(*result, GattProtocolError::InvalidHandle);
          } else if (found.descriptor->uuid == kCccdUuid) {
            const uint16_t cccd = state->cccd[found.characteristic->handle];
            result->value = {static_cast<uint8_t>(cccd), static_cast<uint8_t>(cccd >> 8)};
          } else {
            result->value = ReadThrough(*state, handle, found.descriptor->value, mode);
          }
          return result;
        });
  }

  AsyncOp<GattWriteResult> WriteValueWithResultAsync(const Bytes& value) override {
    core_->Call({.api = "GattDescriptor.WriteValueWithResultAsync",
                 .address = state_->config.address,
                 .handle = handle_,
                 .bytes = value});
    return core_->Start<GattWriteResult>(
        SimOp::kWriteDescriptor, state_->config.address, handle_,
        [core = core_, state = state_, handle = handle_, value](const SimFault& fault) {
          std::lock_guard lock(core->mutex);
          auto result = std::make_shared<SimGattResult>(core, kWriteResultNames);
          if (!Proceed(*state, fault, *result)) return result;
          const AttributeRef found = FindAttribute(state->config.gatt, handle);
          if (found.descriptor == nullptr) {
            Refuse(*result, GattProtocolError::InvalidHandle);
          } else if (found.descriptor->uuid == kCccdUuid) {
            // The CCCD is a 16-bit little-endian value (Vol 3 Part G 3.3.3.3); missing bytes read as 0.
            state->cccd[found.characteristic->handle] =
                static_cast<uint16_t>((value.size() > 0 ? value[0] : 0) | (value.size() > 1 ? value[1] << 8 : 0));
          } else {
            found.descriptor->value = value;
            state->cache[handle] = value;
          }
          return result;
        });
  }

 private:
  std::shared_ptr<SimCore> core_;
  std::shared_ptr<PeripheralState> state_;
  const uint16_t handle_;
  const Guid uuid_;
};

class SimGattService final : public GattDeviceService {
 public:
  SimGattService(std::shared_ptr<SimCore> core, std::shared_ptr<PeripheralState> state, const SimService& found)
      : core_(std::move(core)), state_(std::move(state)), handle_(found.handle), uuid_(found.uuid) {}

  uint16_t AttributeHandle() override {
    auto lock = core_->Call({.api = "GattDeviceService.AttributeHandle", .handle = handle_});
    return handle_;
  }
  Guid Uuid() override {
    auto lock = core_->Call({.api = "GattDeviceService.Uuid", .handle = handle_});
    return uuid_;
  }
  std::shared_ptr<GattSession> Session() override {
    auto lock = core_->Call({.api = "GattDeviceService.Session", .handle = handle_});
    return std::make_shared<SimSession>(core_, state_);
  }

  AsyncOp<GattDeviceServicesResult> GetIncludedServicesWithCacheModeAsync(BluetoothCacheMode mode) override {
    Journal("GattDeviceService.GetIncludedServicesWithCacheModeAsync", std::nullopt, mode);
    return Included(std::nullopt);
  }
  AsyncOp<GattDeviceServicesResult> GetIncludedServicesForUuidWithCacheModeAsync(const Guid& uuid,
                                                                                 BluetoothCacheMode mode) override {
    Journal("GattDeviceService.GetIncludedServicesForUuidWithCacheModeAsync", uuid, mode);
    return Included(uuid);
  }
  AsyncOp<GattCharacteristicsResult> GetCharacteristicsWithCacheModeAsync(BluetoothCacheMode mode) override {
    Journal("GattDeviceService.GetCharacteristicsWithCacheModeAsync", std::nullopt, mode);
    return Characteristics(std::nullopt);
  }
  AsyncOp<GattCharacteristicsResult> GetCharacteristicsForUuidWithCacheModeAsync(const Guid& uuid,
                                                                                BluetoothCacheMode mode) override {
    Journal("GattDeviceService.GetCharacteristicsForUuidWithCacheModeAsync", uuid, mode);
    return Characteristics(uuid);
  }

 private:
  void Journal(const char* api, const std::optional<Guid>& uuid, BluetoothCacheMode mode) {
    core_->Call({.api = api, .address = state_->config.address, .handle = handle_, .uuid = uuid, .mode = Mode(mode)});
  }

  // Included lists the services this one includes, in handle order.
  AsyncOp<GattDeviceServicesResult> Included(const std::optional<Guid>& uuid) {
    return core_->Start<GattDeviceServicesResult>(
        SimOp::kIncludedServices, state_->config.address, handle_,
        [core = core_, state = state_, handle = handle_, uuid](const SimFault& fault) {
          std::lock_guard lock(core->mutex);
          auto result = std::make_shared<SimGattResult>(core, kServicesResultNames);
          if (!Proceed(*state, fault, *result)) return result;
          const AttributeRef found = FindAttribute(state->config.gatt, handle);
          if (found.service == nullptr || found.characteristic != nullptr) {
            Refuse(*result, GattProtocolError::InvalidHandle);
            return result;
          }
          const std::vector<uint16_t> included = found.service->included;
          for (const SimService& service : state->config.gatt.services) {
            if (std::find(included.begin(), included.end(), service.handle) != included.end() &&
                Wanted(uuid, service.uuid)) {
              result->services.push_back(MakeService(core, state, service));
            }
          }
          return result;
        });
  }

  AsyncOp<GattCharacteristicsResult> Characteristics(const std::optional<Guid>& uuid) {
    return core_->Start<GattCharacteristicsResult>(
        SimOp::kCharacteristics, state_->config.address, handle_,
        [core = core_, state = state_, handle = handle_, uuid](const SimFault& fault) {
          std::lock_guard lock(core->mutex);
          auto result = std::make_shared<SimGattResult>(core, kCharacteristicsResultNames);
          if (!Proceed(*state, fault, *result)) return result;
          const AttributeRef found = FindAttribute(state->config.gatt, handle);
          if (found.service == nullptr || found.characteristic != nullptr) {
            Refuse(*result, GattProtocolError::InvalidHandle);
            return result;
          }
          PruneExpired(state->characteristics);
          for (const SimCharacteristic& characteristic : found.service->characteristics) {
            if (!Wanted(uuid, characteristic.uuid)) continue;
            auto object = std::make_shared<SimGattCharacteristic>(core, state, characteristic);
            state->characteristics.push_back(object);
            result->characteristics.push_back(std::move(object));
          }
          return result;
        });
  }

  std::shared_ptr<SimCore> core_;
  std::shared_ptr<PeripheralState> state_;
  const uint16_t handle_;
  const Guid uuid_;
};

}  // namespace

// ---- Shared helpers

bool Proceed(const PeripheralState& state, const SimFault& fault, SimGattResult& result) {
  if (fault.status || fault.protocol_error) {
    result.status = fault.status.value_or(static_cast<int32_t>(GattCommunicationStatus::ProtocolError));
    if (fault.protocol_error && *fault.protocol_error >= 0) {
      result.protocol_error = static_cast<uint8_t>(*fault.protocol_error);
    }
    return false;
  }
  if (!state.config.link_up) {
    result.status = static_cast<int32_t>(GattCommunicationStatus::Unreachable);
    return false;
  }
  return true;
}

void Refuse(SimGattResult& result, GattProtocolError error) {
  result.status = static_cast<int32_t>(GattCommunicationStatus::ProtocolError);
  result.protocol_error = static_cast<uint8_t>(error);
}

std::shared_ptr<GattDeviceService> MakeService(const std::shared_ptr<SimCore>& core,
                                               const std::shared_ptr<PeripheralState>& state, const SimService& service) {
  return std::make_shared<SimGattService>(core, state, service);
}

// ---- SimGattResult

GattCommunicationStatus SimGattResult::Status() {
  auto lock = core_->Call({.api = names_.status});
  return static_cast<GattCommunicationStatus>(status);
}

std::optional<uint8_t> SimGattResult::ProtocolError() {
  auto lock = core_->Call({.api = names_.protocol_error});
  return protocol_error;
}

std::vector<std::shared_ptr<GattDeviceService>> SimGattResult::Services() {
  auto lock = core_->Call({.api = names_.payload});
  return services;
}

std::vector<std::shared_ptr<GattCharacteristic>> SimGattResult::Characteristics() {
  auto lock = core_->Call({.api = names_.payload});
  return characteristics;
}

std::vector<std::shared_ptr<GattDescriptor>> SimGattResult::Descriptors() {
  auto lock = core_->Call({.api = names_.payload});
  return descriptors;
}

Bytes SimGattResult::Value() {
  auto lock = core_->Call({.api = names_.payload});
  return value;
}

GattClientCharacteristicConfigurationDescriptorValue SimGattResult::ClientCharacteristicConfigurationDescriptor() {
  auto lock = core_->Call({.api = names_.payload});
  return static_cast<GattClientCharacteristicConfigurationDescriptorValue>(cccd & 3);
}

// ---- SimGattCharacteristic

SimGattCharacteristic::SimGattCharacteristic(std::shared_ptr<SimCore> core, std::shared_ptr<PeripheralState> state,
                                             const SimCharacteristic& found)
    : core_(std::move(core)), state_(std::move(state)), handle_(found.handle), uuid_(found.uuid),
      properties_(found.properties) {}

uint16_t SimGattCharacteristic::AttributeHandle() {
  auto lock = core_->Call({.api = "GattCharacteristic.AttributeHandle", .handle = handle_});
  return handle_;
}

Guid SimGattCharacteristic::Uuid() {
  auto lock = core_->Call({.api = "GattCharacteristic.Uuid", .handle = handle_});
  return uuid_;
}

uint32_t SimGattCharacteristic::CharacteristicProperties() {
  auto lock = core_->Call({.api = "GattCharacteristic.CharacteristicProperties", .handle = handle_});
  return properties_;
}

std::vector<GattPresentationFormat> SimGattCharacteristic::PresentationFormats() {
  auto lock = core_->Call({.api = "GattCharacteristic.PresentationFormats", .handle = handle_});
  const AttributeRef found = FindAttribute(state_->config.gatt, handle_);
  return found.characteristic != nullptr ? found.characteristic->formats : std::vector<GattPresentationFormat>();
}

HString SimGattCharacteristic::UserDescription() {
  auto lock = core_->Call({.api = "GattCharacteristic.UserDescription", .handle = handle_});
  const AttributeRef found = FindAttribute(state_->config.gatt, handle_);
  if (found.characteristic == nullptr || found.descriptor != nullptr) return {};
  for (const SimDescriptor& descriptor : found.characteristic->descriptors) {
    if (descriptor.uuid == kUserDescriptionUuid) return Utf8ToHString(descriptor.value);
  }
  return {};
}

EventToken SimGattCharacteristic::AddValueChanged(TypedEventHandler<GattCharacteristic, GattValueChangedEventArgs> handler) {
  auto lock = core_->Call({.api = "GattCharacteristic.AddValueChanged", .handle = handle_});
  value_changed_.push_back(std::move(handler));
  return core_->NextToken();
}

AsyncOp<GattReadResult> SimGattCharacteristic::ReadValueWithCacheModeAsync(BluetoothCacheMode mode) {
  core_->Call({.api = "GattCharacteristic.ReadValueWithCacheModeAsync",
               .address = state_->config.address,
               .handle = handle_,
               .mode = Mode(mode)});
  return core_->Start<GattReadResult>(
      SimOp::kReadCharacteristic, state_->config.address, handle_,
      [core = core_, state = state_, handle = handle_, mode](const SimFault& fault) {
        std::lock_guard lock(core->mutex);
        auto result = std::make_shared<SimGattResult>(core, kReadResultNames);
        if (!Proceed(*state, fault, *result)) return result;
        const AttributeRef found = FindAttribute(state->config.gatt, handle);
        if (found.characteristic == nullptr || found.descriptor != nullptr) {
          Refuse(*result, GattProtocolError::InvalidHandle);
        } else if ((found.characteristic->properties & GattCharacteristicProperties::Read) == 0) {
          Refuse(*result, GattProtocolError::ReadNotPermitted);
        } else if (Locked(*state, *found.characteristic)) {
          Refuse(*result, GattProtocolError::InsufficientAuthentication);
        } else {
          result->value = ReadThrough(*state, handle, found.characteristic->value, mode);
        }
        return result;
      });
}

AsyncOp<GattReadClientCharacteristicConfigurationDescriptorResult>
SimGattCharacteristic::ReadClientCharacteristicConfigurationDescriptorAsync() {
  core_->Call({.api = "GattCharacteristic.ReadClientCharacteristicConfigurationDescriptorAsync",
               .address = state_->config.address,
               .handle = handle_});
  return core_->Start<GattReadClientCharacteristicConfigurationDescriptorResult>(
      SimOp::kReadCccd, state_->config.address, handle_, [core = core_, state = state_, handle = handle_](const SimFault& fault) {
        std::lock_guard lock(core->mutex);
        auto result = std::make_shared<SimGattResult>(core, kCccdResultNames);
        if (!Proceed(*state, fault, *result)) return result;
        const AttributeRef found = FindAttribute(state->config.gatt, handle);
        if (found.characteristic == nullptr || found.descriptor != nullptr) {
          Refuse(*result, GattProtocolError::InvalidHandle);
        } else {
          result->cccd = state->cccd[handle];
        }
        return result;
      });
}

AsyncOp<GattDescriptorsResult> SimGattCharacteristic::GetDescriptorsWithCacheModeAsync(BluetoothCacheMode mode) {
  return Descriptors(std::nullopt, mode);
}

AsyncOp<GattDescriptorsResult> SimGattCharacteristic::GetDescriptorsForUuidWithCacheModeAsync(const Guid& uuid,
                                                                                             BluetoothCacheMode mode) {
  return Descriptors(uuid, mode);
}

AsyncOp<GattDescriptorsResult> SimGattCharacteristic::Descriptors(const std::optional<Guid>& uuid,
                                                                  BluetoothCacheMode mode) {
  core_->Call({.api = uuid ? "GattCharacteristic.GetDescriptorsForUuidWithCacheModeAsync"
                           : "GattCharacteristic.GetDescriptorsWithCacheModeAsync",
               .address = state_->config.address,
               .handle = handle_,
               .uuid = uuid,
               .mode = Mode(mode)});
  return core_->Start<GattDescriptorsResult>(
      SimOp::kDescriptors, state_->config.address, handle_,
      [core = core_, state = state_, handle = handle_, uuid](const SimFault& fault) {
        std::lock_guard lock(core->mutex);
        auto result = std::make_shared<SimGattResult>(core, kDescriptorsResultNames);
        if (!Proceed(*state, fault, *result)) return result;
        const AttributeRef found = FindAttribute(state->config.gatt, handle);
        if (found.characteristic == nullptr || found.descriptor != nullptr) {
          Refuse(*result, GattProtocolError::InvalidHandle);
          return result;
        }
        for (const SimDescriptor& descriptor : found.characteristic->descriptors) {
          if (Wanted(uuid, descriptor.uuid)) {
            result->descriptors.push_back(std::make_shared<SimGattDescriptor>(core, state, descriptor));
          }
        }
        return result;
      });
}

AsyncOp<GattWriteResult> SimGattCharacteristic::WriteValueWithResultAndOptionAsync(const Bytes& value,
                                                                                   GattWriteOption option) {
  core_->Call({.api = "GattCharacteristic.WriteValueWithResultAndOptionAsync",
               .address = state_->config.address,
               .handle = handle_,
               .mode = static_cast<int>(option),
               .bytes = value});
  return core_->Start<GattWriteResult>(
      SimOp::kWriteCharacteristic, state_->config.address, handle_,
      [core = core_, state = state_, handle = handle_, value, option](const SimFault& fault) {
        std::lock_guard lock(core->mutex);
        auto result = std::make_shared<SimGattResult>(core, kWriteResultNames);
        if (!Proceed(*state, fault, *result)) return result;
        const AttributeRef found = FindAttribute(state->config.gatt, handle);
        const uint32_t needed = option == GattWriteOption::WriteWithResponse ? GattCharacteristicProperties::Write
                                                                             : GattCharacteristicProperties::WriteWithoutResponse;
        if (found.characteristic == nullptr || found.descriptor != nullptr) {
          Refuse(*result, GattProtocolError::InvalidHandle);
        } else if ((found.characteristic->properties & needed) == 0) {
          Refuse(*result, GattProtocolError::WriteNotPermitted);
        } else if (Locked(*state, *found.characteristic)) {
          Refuse(*result, GattProtocolError::InsufficientAuthentication);
        } else {
          found.characteristic->value = value;
          state->cache[handle] = value;
        }
        return result;
      });
}

AsyncOp<GattWriteResult> SimGattCharacteristic::WriteClientCharacteristicConfigurationDescriptorWithResultAsync(
    GattClientCharacteristicConfigurationDescriptorValue value) {
  core_->Call({.api = "GattCharacteristic.WriteClientCharacteristicConfigurationDescriptorWithResultAsync",
               .address = state_->config.address,
               .handle = handle_,
               .mode = static_cast<int>(value)});
  return core_->Start<GattWriteResult>(
      SimOp::kWriteCccd, state_->config.address, handle_,
      [core = core_, state = state_, handle = handle_, value](const SimFault& fault) {
        std::lock_guard lock(core->mutex);
        auto result = std::make_shared<SimGattResult>(core, kWriteResultNames);
        if (!Proceed(*state, fault, *result)) return result;
        const AttributeRef found = FindAttribute(state->config.gatt, handle);
        constexpr uint32_t kPushes = GattCharacteristicProperties::Notify | GattCharacteristicProperties::Indicate;
        if (found.characteristic == nullptr || found.descriptor != nullptr) {
          Refuse(*result, GattProtocolError::InvalidHandle);
        } else if ((found.characteristic->properties & kPushes) == 0) {
          // 0xFD: Client Characteristic Configuration Descriptor Improperly Configured (Core Supplement 1.2).
          result->status = static_cast<int32_t>(GattCommunicationStatus::ProtocolError);
          result->protocol_error = 0xFD;
        } else {
          state->cccd[handle] = static_cast<uint16_t>(value);
        }
        return result;
      });
}

bool SimGattCharacteristic::DeliverValueLocked(const Bytes& value) {
  if (value_changed_.empty()) return false;
  core_->Fire(value_changed_, std::shared_ptr<GattCharacteristic>(shared_from_this()),
              std::shared_ptr<GattValueChangedEventArgs>(std::make_shared<SimValueChangedArgs>(core_, value)));
  return true;
}

}  // namespace velmora::platform::bluetooth::sim
