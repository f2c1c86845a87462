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

bool NeedsPairing(const PeripheralState& state, const SimCharacteristic& characteristic) {
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
  // The characteristic object it was found through (owner) subscribes when the CCCD is written here.
  SimGattDescriptor(std::shared_ptr<SimCore> core, std::shared_ptr<PeripheralState> state, const SimDescriptor& found,
                    std::weak_ptr<SimGattCharacteristic> owner)
      : core_(std::move(core)),
        state_(std::move(state)),
        handle_(found.handle),
        uuid_(found.uuid),
        owner_(std::move(owner)) {}

  uint16_t AttributeHandle() override {
    auto lock = core_->Call({.api = "GattDescriptor.AttributeHandle", .handle = handle_});
    return handle_;
  }
  Guid Uuid() override {
    auto lock = core_->Call({.api = "GattDescriptor.Uuid", .handle = handle_});
    return uuid_;
  }

  // A CCCD descriptor reads and writes its characteristic's CCCD state, a 16-bit little-endian value
  // (Vol 3 Part G 3.3.3.3); missing bytes of a write count as 0.
  AsyncOp<GattReadResult> ReadValueWithCacheModeAsync(BluetoothCacheMode mode) override {
    return Request<GattReadResult>(
        core_, state_, {.api = "GattDescriptor.ReadValueWithCacheModeAsync", .handle = handle_, .mode = Mode(mode)},
        SimOp::kReadDescriptor, Target::kDescriptor, kReadResultNames,
        [mode](PeripheralState& state, const AttributeRef& found, SimGattResult& result) {
          if (found.descriptor->uuid == kCccdUuid) {
            const uint16_t cccd = state.cccd[found.characteristic->handle];
            result.value = {static_cast<uint8_t>(cccd), static_cast<uint8_t>(cccd >> 8)};
          } else {
            result.value = ReadThrough(state, found.descriptor->handle, found.descriptor->value, mode);
          }
        });
  }

  AsyncOp<GattWriteResult> WriteValueWithResultAsync(const Bytes& value) override {
    return Request<GattWriteResult>(
        core_, state_, {.api = "GattDescriptor.WriteValueWithResultAsync", .handle = handle_, .bytes = value},
        SimOp::kWriteDescriptor, Target::kDescriptor, kWriteResultNames,
        [value, owner = owner_](PeripheralState& state, const AttributeRef& found, SimGattResult&) {
          if (found.descriptor->uuid == kCccdUuid) {
            const auto cccd =
                static_cast<uint16_t>((value.size() > 0 ? value[0] : 0) | (value.size() > 1 ? value[1] << 8 : 0));
            const std::shared_ptr<SimGattCharacteristic> subscriber = owner.lock();
            if (subscriber != nullptr && subscriber->handle() == found.characteristic->handle) {
              subscriber->SubscribeLocked(state, cccd);
            } else {
              state.cccd[found.characteristic->handle] = cccd;
            }
          } else {
            found.descriptor->value = value;
            state.cache[found.descriptor->handle] = value;
          }
        });
  }

 private:
  std::shared_ptr<SimCore> core_;
  std::shared_ptr<PeripheralState> state_;
  const uint16_t handle_;
  const Guid uuid_;
  const std::weak_ptr<SimGattCharacteristic> owner_;
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
    return Included("GattDeviceService.GetIncludedServicesWithCacheModeAsync", std::nullopt, mode);
  }
  AsyncOp<GattDeviceServicesResult> GetIncludedServicesForUuidWithCacheModeAsync(const Guid& uuid,
                                                                                 BluetoothCacheMode mode) override {
    return Included("GattDeviceService.GetIncludedServicesForUuidWithCacheModeAsync", uuid, mode);
  }
  AsyncOp<GattCharacteristicsResult> GetCharacteristicsWithCacheModeAsync(BluetoothCacheMode mode) override {
    return Characteristics("GattDeviceService.GetCharacteristicsWithCacheModeAsync", std::nullopt, mode);
  }
  AsyncOp<GattCharacteristicsResult> GetCharacteristicsForUuidWithCacheModeAsync(const Guid& uuid,
                                                                                 BluetoothCacheMode mode) override {
    return Characteristics("GattDeviceService.GetCharacteristicsForUuidWithCacheModeAsync", uuid, mode);
  }

 private:
  // Included lists the services this one includes, in handle order.
  AsyncOp<GattDeviceServicesResult> Included(const char* api, const std::optional<Guid>& uuid,
                                             BluetoothCacheMode mode) {
    return Request<GattDeviceServicesResult>(
        core_, state_, {.api = api, .handle = handle_, .uuid = uuid, .mode = Mode(mode)}, SimOp::kIncludedServices,
        Target::kService, kServicesResultNames,
        [core = core_, state = state_, uuid](PeripheralState&, const AttributeRef& found, SimGattResult& result) {
          // The database is sorted by handle: each included handle is looked up, in handle order, once.
          std::vector<uint16_t> included = found.service->included;
          std::sort(included.begin(), included.end());
          included.erase(std::unique(included.begin(), included.end()), included.end());
          const std::vector<SimService>& services = state->config.gatt.services;
          auto below = [](const SimService& service, uint16_t handle) { return service.handle < handle; };
          for (const uint16_t handle : included) {
            for (auto service = std::lower_bound(services.begin(), services.end(), handle, below);
                 service != services.end() && service->handle == handle; ++service) {
              if (Wanted(uuid, service->uuid)) result.services.push_back(MakeService(core, state, *service));
            }
          }
        });
  }

  // Characteristics makes new characteristic objects and keeps track of them for notifications.
  AsyncOp<GattCharacteristicsResult> Characteristics(const char* api, const std::optional<Guid>& uuid,
                                                     BluetoothCacheMode mode) {
    return Request<GattCharacteristicsResult>(
        core_, state_, {.api = api, .handle = handle_, .uuid = uuid, .mode = Mode(mode)}, SimOp::kCharacteristics,
        Target::kService, kCharacteristicsResultNames,
        [core = core_, state = state_, uuid](PeripheralState&, const AttributeRef& found, SimGattResult& result) {
          PruneExpiredWhenGrown(state->characteristics, state->characteristics_prune_at);
          for (const SimCharacteristic& characteristic : found.service->characteristics) {
            if (!Wanted(uuid, characteristic.uuid)) continue;
            auto object = std::make_shared<SimGattCharacteristic>(core, state, characteristic);
            state->characteristics.push_back(object);
            result.characteristics.push_back(std::move(object));
          }
        });
  }

  std::shared_ptr<SimCore> core_;
  std::shared_ptr<PeripheralState> state_;
  const uint16_t handle_;
  const Guid uuid_;
};

}  // namespace

// ---- Shared helpers

void Refuse(SimGattResult& result, GattProtocolError error) {
  result.status = static_cast<int32_t>(GattCommunicationStatus::ProtocolError);
  result.protocol_error = static_cast<uint8_t>(error);
}

std::shared_ptr<GattDeviceService> MakeService(const std::shared_ptr<SimCore>& core,
                                               const std::shared_ptr<PeripheralState>& state,
                                               const SimService& service) {
  return std::make_shared<SimGattService>(core, state, service);
}

// ---- SimGattResult

GattCommunicationStatus SimGattResult::Status() {
  auto lock = core_->Call({.api = names_.status});
  return static_cast<GattCommunicationStatus>(status);
}

std::optional<uint8_t> SimGattResult::ProtocolError() {
  auto lock = core_->Call({.api = names_.protocol_error});
  return ProtocolErrorOf(protocol_error);
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
    : core_(std::move(core)),
      state_(std::move(state)),
      handle_(found.handle),
      uuid_(found.uuid),
      properties_(found.properties) {}

SimGattCharacteristic::~SimGattCharacteristic() {
  if (subscription_.value_or(0) == 0) return;
  // The last reference may be let go with SimCore::mutex held (by a loop over the live objects), so the
  // check runs on the completion thread under its own lock, against the objects live by then. Queued there,
  // it comes before the completion of any operation asked for after this object went.
  core_->completions.Post([core = core_, state = state_, handle = handle_] {
    std::lock_guard lock(core->mutex);
    PruneExpired(state->characteristics);
    for (const auto& weak : state->characteristics) {
      const std::shared_ptr<SimGattCharacteristic> object = weak.lock();
      if (object != nullptr && object->handle_ == handle && object->subscription_.value_or(0) != 0) return;
    }
    state->cccd[handle] = 0;
  });
}

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

EventToken SimGattCharacteristic::AddValueChanged(
    TypedEventHandler<GattCharacteristic, GattValueChangedEventArgs> handler) {
  auto lock = core_->Call({.api = "GattCharacteristic.AddValueChanged", .handle = handle_});
  return value_changed_.Add(core_->NextToken(), std::move(handler));
}

void SimGattCharacteristic::RemoveValueChanged(EventToken token) {
  decltype(value_changed_)::Handler removed;  // let go after the lock
  auto lock = core_->Call({.api = "GattCharacteristic.RemoveValueChanged", .handle = handle_});
  removed = value_changed_.Remove(token);
}

EventToken SimGattCharacteristic::AddNotificationsLost(TypedEventHandler<GattCharacteristic, Inspectable> handler) {
  auto lock = core_->Call({.api = "GattCharacteristic.AddNotificationsLost", .handle = handle_});
  return notifications_lost_.Add(core_->NextToken(), std::move(handler));
}

void SimGattCharacteristic::RemoveNotificationsLost(EventToken token) {
  decltype(notifications_lost_)::Handler removed;  // let go after the lock
  auto lock = core_->Call({.api = "GattCharacteristic.RemoveNotificationsLost", .handle = handle_});
  removed = notifications_lost_.Remove(token);
}

AsyncOp<GattReadResult> SimGattCharacteristic::ReadValueWithCacheModeAsync(BluetoothCacheMode mode) {
  return Request<GattReadResult>(
      core_, state_, {.api = "GattCharacteristic.ReadValueWithCacheModeAsync", .handle = handle_, .mode = Mode(mode)},
      SimOp::kReadCharacteristic, Target::kCharacteristic, kReadResultNames,
      [mode](PeripheralState& state, const AttributeRef& found, SimGattResult& result) {
        const SimCharacteristic& characteristic = *found.characteristic;
        if ((characteristic.properties & GattCharacteristicProperties::Read) == 0) {
          Refuse(result, GattProtocolError::ReadNotPermitted);
        } else if (NeedsPairing(state, characteristic)) {
          Refuse(result, GattProtocolError::InsufficientAuthentication);
        } else {
          result.value = ReadThrough(state, characteristic.handle, characteristic.value, mode);
        }
      });
}

AsyncOp<GattReadClientCharacteristicConfigurationDescriptorResult>
SimGattCharacteristic::ReadClientCharacteristicConfigurationDescriptorAsync() {
  return Request<GattReadClientCharacteristicConfigurationDescriptorResult>(
      core_, state_,
      {.api = "GattCharacteristic.ReadClientCharacteristicConfigurationDescriptorAsync", .handle = handle_},
      SimOp::kReadCccd, Target::kCharacteristic, kCccdResultNames,
      [](PeripheralState& state, const AttributeRef& found, SimGattResult& result) {
        result.cccd = state.cccd[found.characteristic->handle];
      });
}

AsyncOp<GattDescriptorsResult> SimGattCharacteristic::GetDescriptorsWithCacheModeAsync(BluetoothCacheMode mode) {
  return Descriptors("GattCharacteristic.GetDescriptorsWithCacheModeAsync", std::nullopt, mode);
}

AsyncOp<GattDescriptorsResult> SimGattCharacteristic::GetDescriptorsForUuidWithCacheModeAsync(const Guid& uuid,
                                                                                              BluetoothCacheMode mode) {
  return Descriptors("GattCharacteristic.GetDescriptorsForUuidWithCacheModeAsync", uuid, mode);
}

AsyncOp<GattDescriptorsResult> SimGattCharacteristic::Descriptors(const char* api, const std::optional<Guid>& uuid,
                                                                  BluetoothCacheMode mode) {
  return Request<GattDescriptorsResult>(
      core_, state_, {.api = api, .handle = handle_, .uuid = uuid, .mode = Mode(mode)}, SimOp::kDescriptors,
      Target::kCharacteristic, kDescriptorsResultNames,
      [core = core_, state = state_, uuid, owner = weak_from_this()](PeripheralState&, const AttributeRef& found,
                                                                       SimGattResult& result) {
        for (const SimDescriptor& descriptor : found.characteristic->descriptors) {
          if (Wanted(uuid, descriptor.uuid)) {
            result.descriptors.push_back(std::make_shared<SimGattDescriptor>(core, state, descriptor, owner));
          }
        }
      });
}

AsyncOp<GattWriteResult> SimGattCharacteristic::WriteValueWithResultAndOptionAsync(const Bytes& value,
                                                                                   GattWriteOption option) {
  return Request<GattWriteResult>(
      core_, state_,
      {.api = "GattCharacteristic.WriteValueWithResultAndOptionAsync",
       .handle = handle_,
       .mode = static_cast<int>(option),
       .bytes = value},
      SimOp::kWriteCharacteristic, Target::kCharacteristic, kWriteResultNames,
      [value, option](PeripheralState& state, const AttributeRef& found, SimGattResult& result) {
        SimCharacteristic& characteristic = *found.characteristic;
        const uint32_t needed = option == GattWriteOption::WriteWithResponse
                                    ? GattCharacteristicProperties::Write
                                    : GattCharacteristicProperties::WriteWithoutResponse;
        if ((characteristic.properties & needed) == 0) {
          Refuse(result, GattProtocolError::WriteNotPermitted);
        } else if (NeedsPairing(state, characteristic)) {
          Refuse(result, GattProtocolError::InsufficientAuthentication);
        } else {
          characteristic.value = value;
          state.cache[characteristic.handle] = value;
        }
      });
}

AsyncOp<GattWriteResult> SimGattCharacteristic::WriteClientCharacteristicConfigurationDescriptorWithResultAsync(
    GattClientCharacteristicConfigurationDescriptorValue value) {
  return Request<GattWriteResult>(
      core_, state_,
      {.api = "GattCharacteristic.WriteClientCharacteristicConfigurationDescriptorWithResultAsync",
       .handle = handle_,
       .mode = static_cast<int>(value)},
      SimOp::kWriteCccd, Target::kCharacteristic, kWriteResultNames,
      [value, self = weak_from_this()](PeripheralState& state, const AttributeRef& found, SimGattResult& result) {
        constexpr uint32_t kPushes = GattCharacteristicProperties::Notify | GattCharacteristicProperties::Indicate;
        if ((found.characteristic->properties & kPushes) == 0) {
          // 0xFD: Client Characteristic Configuration Descriptor Improperly Configured (Core Supplement 1.2).
          result.status = static_cast<int32_t>(GattCommunicationStatus::ProtocolError);
          result.protocol_error = 0xFD;
        } else if (const std::shared_ptr<SimGattCharacteristic> subscriber = self.lock()) {
          subscriber->SubscribeLocked(state, static_cast<uint16_t>(value));
        } else {
          state.cccd[found.characteristic->handle] = static_cast<uint16_t>(value);
        }
      });
}

void SimGattCharacteristic::SubscribeLocked(PeripheralState& state, uint16_t value) {
  if (value != 0 && subscription_.value_or(0) == 0) ++sessions_;
  subscription_ = value;
  uint16_t asked = 0;
  PruneExpired(state.characteristics);
  for (const auto& weak : state.characteristics) {
    const std::shared_ptr<SimGattCharacteristic> object = weak.lock();
    if (object != nullptr && object->handle_ == handle_) asked |= object->subscription_.value_or(0);
  }
  state.cccd[handle_] = asked;
}

bool SimGattCharacteristic::WantsLocked(const PeripheralState& state, uint16_t bit) const {
  if (subscription_) return *subscription_ != 0;
  auto cccd = state.cccd.find(handle_);
  return cccd != state.cccd.end() && (cccd->second & bit) != 0;
}

bool SimGattCharacteristic::LoseLocked(const HString& reason) {
  if (!subscription_ || *subscription_ == 0) return false;
  subscription_ = 0;
  core_->Fire(notifications_lost_.List(), std::shared_ptr<GattCharacteristic>(shared_from_this()),
              std::shared_ptr<Inspectable>(std::make_shared<SimInspectable>(core_, reason, sessions_.load())));
  return true;
}

bool SimGattCharacteristic::DeliverValueLocked(const Bytes& value) {
  if (value_changed_.empty()) return false;
  core_->Fire(value_changed_.List(), std::shared_ptr<GattCharacteristic>(shared_from_this()),
              std::shared_ptr<GattValueChangedEventArgs>(std::make_shared<SimValueChangedArgs>(core_, value)));
  return true;
}

}  // namespace velmora::platform::bluetooth::sim
