// Simulated device objects, their events and the pairing ceremony.
#include <utility>

#include "platform/bluetooth/sim/gatt_result.h"
#include "platform/bluetooth/sim/objects.h"

namespace velmora::platform::bluetooth::sim {
namespace {

// SimPairingRequest collects the handler's answer; answers given after the handler returned do not count.
class SimPairingRequest final : public DevicePairingRequestedEventArgs {
 public:
  struct Answer {
    bool given = false;
    bool with_pin = false;
    HString pin;
  };
  SimPairingRequest(std::shared_ptr<SimCore> core, uint32_t kind, HString pin)
      : core_(std::move(core)), kind_(kind), pin_(std::move(pin)) {}

  uint32_t PairingKind() override {
    auto lock = core_->Call({.api = "DevicePairingRequestedEventArgs.PairingKind"});
    return kind_;
  }
  HString Pin() override {
    auto lock = core_->Call({.api = "DevicePairingRequestedEventArgs.Pin"});
    return pin_;
  }
  void Accept() override {
    auto lock = core_->Call({.api = "DevicePairingRequestedEventArgs.Accept"});
    if (!closed_) answer_ = {true, false, {}};
  }
  void AcceptWithPin(const HString& pin) override {
    auto lock = core_->Call({.api = "DevicePairingRequestedEventArgs.AcceptWithPin", .text = pin});
    if (!closed_) answer_ = {true, true, pin};
  }
  Answer Close() {
    std::lock_guard lock(core_->mutex);
    closed_ = true;
    return answer_;
  }

 private:
  std::shared_ptr<SimCore> core_;
  const uint32_t kind_;
  const HString pin_;
  bool closed_ = false;
  Answer answer_;
};

template <class Interface, class StatusType>
class SimStatusResult final : public Interface {
 public:
  SimStatusResult(std::shared_ptr<SimCore> core, const char* api, int32_t status)
      : core_(std::move(core)), api_(api), status_(status) {}
  StatusType Status() override {
    auto lock = core_->Call({.api = api_});
    return static_cast<StatusType>(status_);
  }

 private:
  std::shared_ptr<SimCore> core_;
  const char* const api_;
  const int32_t status_;
};

using SimPairingResult = SimStatusResult<DevicePairingResult, DevicePairingResultStatus>;
using SimUnpairingResult = SimStatusResult<DeviceUnpairingResult, DeviceUnpairingResultStatus>;

int32_t Code(DevicePairingResultStatus status) { return static_cast<int32_t>(status); }

}  // namespace

// ---- SimPairing

std::shared_ptr<DeviceInformationPairing> SimPairing::Pairing() {
  auto lock = core_->Call({.api = "DeviceInformation.Pairing", .address = address_});
  return shared_from_this();
}

bool SimPairing::CanPair() {
  auto lock = core_->Call({.api = "DeviceInformationPairing.CanPair", .address = address_});
  return state_->config.can_pair;
}

bool SimPairing::IsPaired() {
  auto lock = core_->Call({.api = "DeviceInformationPairing.IsPaired", .address = address_});
  return state_->config.paired;
}

std::shared_ptr<DeviceInformationCustomPairing> SimPairing::Custom() {
  auto lock = core_->Call({.api = "DeviceInformationPairing.Custom", .address = address_});
  return shared_from_this();
}

AsyncOp<DeviceUnpairingResult> SimPairing::UnpairAsync() {
  core_->Call({.api = "DeviceInformationPairing.UnpairAsync", .address = address_});
  return core_->Start<DeviceUnpairingResult>(
      SimOp::kUnpair, address_, 0, [core = core_, state = state_](const SimFault& fault) {
        std::lock_guard lock(core->mutex);
        int32_t status = static_cast<int32_t>(DeviceUnpairingResultStatus::AlreadyUnpaired);
        if (fault.status) {
          status = *fault.status;
        } else if (state->config.paired) {
          state->config.paired = false;
          status = static_cast<int32_t>(DeviceUnpairingResultStatus::Unpaired);
        }
        return std::make_shared<SimUnpairingResult>(core, "DeviceUnpairingResult.Status", status);
      });
}

EventToken SimPairing::AddPairingRequested(RequestHandler handler) {
  auto lock = core_->Call({.api = "DeviceInformationCustomPairing.AddPairingRequested", .address = address_});
  return requested_.Add(core_->NextToken(), std::move(handler));
}

void SimPairing::RemovePairingRequested(EventToken token) {
  RequestHandler removed;  // let go after the lock
  auto lock = core_->Call({.api = "DeviceInformationCustomPairing.RemovePairingRequested", .address = address_});
  removed = requested_.Remove(token);
}

// PairAsync runs the ceremony on the event thread (the request handler may take its time there while the
// caller waits for the operation) and then finishes the operation as its fault rule says. A rule with a
// status skips the ceremony, so that such an operation can also be finished inline. Asked from an event
// handler, which holds an event thread while it waits, the ceremony runs on the completion thread instead,
// as a platform raises the request on a thread of its own and not on the one that asks.
AsyncOp<DevicePairingResult> SimPairing::PairAsync(uint32_t kinds) {
  std::vector<RequestHandler> handlers;
  SimFault fault;
  int rule_id = 0;
  {
    auto lock = core_->Call({.api = "DeviceInformationCustomPairing.PairAsync", .address = address_, .mode = kinds});
    fault = core_->TakeFault(SimOp::kPair, address_, 0, &rule_id);
    handlers = requested_.List();
  }
  auto operation = std::make_shared<SimAsyncOperation<DevicePairingResult>>();
  auto finish = [core = core_, operation, fault](int32_t status) {
    return [core, operation, fault, status] {
      operation->Finish(
          fault.null_result ? nullptr : std::make_shared<SimPairingResult>(core, "DevicePairingResult.Status", status),
          fault.results_hresult);
    };
  };
  if (fault.status) {
    core_->Schedule(fault, rule_id, finish(*fault.status));
    return operation;
  }
  Executor& ceremony = core_->events.IsCurrentThread() ? core_->completions : core_->events;
  ceremony.Post([self = shared_from_this(), kinds, handlers = std::move(handlers), fault, rule_id, finish] {
    self->core_->Schedule(fault, rule_id, finish(self->RunCeremony(kinds, handlers)));
  });
  return operation;
}

int32_t SimPairing::RunCeremony(uint32_t kinds, const std::vector<RequestHandler>& handlers) {
  using R = DevicePairingResultStatus;
  uint32_t kind;
  HString pin;
  {
    std::lock_guard lock(core_->mutex);
    if (state_->config.paired) return Code(R::AlreadyPaired);
    kind = state_->config.pairing_kind;
    pin = state_->config.pin;
    if (kind == DevicePairingKinds::None) {
      state_->config.paired = true;
      return Code(R::Paired);
    }
  }
  if ((kinds & kind) == 0) return Code(R::AuthenticationNotAllowed);
  if (handlers.empty()) return Code(R::RequiredHandlerNotRegistered);
  const bool shows_pin = kind == DevicePairingKinds::DisplayPin || kind == DevicePairingKinds::ConfirmPinMatch;
  auto request = std::make_shared<SimPairingRequest>(core_, kind, shows_pin ? pin : HString());
  std::shared_ptr<DeviceInformationCustomPairing> sender = shared_from_this();
  std::shared_ptr<DevicePairingRequestedEventArgs> args = request;
  for (const auto& handler : handlers) {
    try {
      handler(sender, args);
    } catch (...) {
      // NOTE: a handler that raises gives no answer.
    }
  }
  const SimPairingRequest::Answer answer = request->Close();
  if (!answer.given) return Code(R::RejectedByHandler);
  if (kind == DevicePairingKinds::ProvidePin && (!answer.with_pin || answer.pin != pin)) {
    return Code(R::AuthenticationFailure);
  }
  std::lock_guard lock(core_->mutex);
  state_->config.paired = true;
  return Code(R::Paired);
}

// ---- SimDevice

SimDevice::SimDevice(std::shared_ptr<SimCore> core, std::shared_ptr<PeripheralState> state)
    : core_(std::move(core)),
      state_(std::move(state)),
      address_(state_->config.address),
      pairing_(std::make_shared<SimPairing>(core_, state_, address_)) {}

uint64_t SimDevice::BluetoothAddress() {
  auto lock = core_->Call({.api = "BluetoothLEDevice.BluetoothAddress", .address = address_});
  return address_;
}

bluetooth::BluetoothAddressType SimDevice::BluetoothAddressType() {
  auto lock = core_->Call({.api = "BluetoothLEDevice.BluetoothAddressType", .address = address_});
  return state_->config.address_type;
}

HString SimDevice::Name() {
  auto lock = core_->Call({.api = "BluetoothLEDevice.Name", .address = address_});
  return state_->config.name;
}

BluetoothConnectionStatus SimDevice::ConnectionStatus() {
  auto lock = core_->Call({.api = "BluetoothLEDevice.ConnectionStatus", .address = address_});
  return state_->config.link_up ? BluetoothConnectionStatus::Connected : BluetoothConnectionStatus::Disconnected;
}

std::shared_ptr<bluetooth::DeviceInformation> SimDevice::DeviceInformation() {
  auto lock = core_->Call({.api = "BluetoothLEDevice.DeviceInformation", .address = address_});
  return pairing_;
}

EventToken SimDevice::AddNameChanged(Handler handler) {
  return Add("BluetoothLEDevice.AddNameChanged", name_changed_, std::move(handler));
}

void SimDevice::RemoveNameChanged(EventToken token) {
  Remove("BluetoothLEDevice.RemoveNameChanged", name_changed_, token);
}

EventToken SimDevice::AddGattServicesChanged(Handler handler) {
  return Add("BluetoothLEDevice.AddGattServicesChanged", services_changed_, std::move(handler));
}

void SimDevice::RemoveGattServicesChanged(EventToken token) {
  Remove("BluetoothLEDevice.RemoveGattServicesChanged", services_changed_, token);
}

EventToken SimDevice::AddConnectionStatusChanged(Handler handler) {
  return Add("BluetoothLEDevice.AddConnectionStatusChanged", status_changed_, std::move(handler));
}

void SimDevice::RemoveConnectionStatusChanged(EventToken token) {
  Remove("BluetoothLEDevice.RemoveConnectionStatusChanged", status_changed_, token);
}

EventToken SimDevice::Add(const char* api, Handlers& handlers, Handler handler) {
  auto lock = core_->Call({.api = api, .address = address_});
  return handlers.Add(core_->NextToken(), std::move(handler));
}

void SimDevice::Remove(const char* api, Handlers& handlers, EventToken token) {
  Handler removed;  // let go after the lock
  auto lock = core_->Call({.api = api, .address = address_});
  removed = handlers.Remove(token);
}

AsyncOp<GattDeviceServicesResult> SimDevice::GetGattServicesWithCacheModeAsync(BluetoothCacheMode mode) {
  return Services("BluetoothLEDevice.GetGattServicesWithCacheModeAsync", std::nullopt, mode);
}

AsyncOp<GattDeviceServicesResult> SimDevice::GetGattServicesForUuidWithCacheModeAsync(const Guid& uuid,
                                                                                      BluetoothCacheMode mode) {
  return Services("BluetoothLEDevice.GetGattServicesForUuidWithCacheModeAsync", uuid, mode);
}

// Services lists the primary services in handle order.
AsyncOp<GattDeviceServicesResult> SimDevice::Services(const char* api, const std::optional<Guid>& uuid,
                                                      BluetoothCacheMode mode) {
  return Request<GattDeviceServicesResult>(
      core_, state_, {.api = api, .uuid = uuid, .mode = static_cast<int>(mode)}, SimOp::kRootServices, Target::kDevice,
      kServicesResultNames,
      [core = core_, state = state_, uuid](PeripheralState&, const AttributeRef&, SimGattResult& result) {
        for (const SimService& service : state->config.gatt.services) {
          if (service.primary && (!uuid || service.uuid == *uuid)) {
            result.services.push_back(MakeService(core, state, service));
          }
        }
      });
}

void SimDevice::FireLocked(SimEvent event) {
  const Handlers& handlers = event == SimEvent::kNameChanged           ? name_changed_
                             : event == SimEvent::kGattServicesChanged ? services_changed_
                                                                       : status_changed_;
  core_->Fire(handlers.List(), std::shared_ptr<BluetoothLEDevice>(shared_from_this()),
              std::shared_ptr<Inspectable>(std::make_shared<SimInspectable>(
                  core_, event == SimEvent::kGattServicesChanged ? u"GattServicesChanged" : u"Object")));
}

size_t SimDevice::HandlerCountLocked(SimEvent event) const {
  switch (event) {
    case SimEvent::kNameChanged:
      return name_changed_.size();
    case SimEvent::kGattServicesChanged:
      return services_changed_.size();
    case SimEvent::kConnectionStatusChanged:
      return status_changed_.size();
    case SimEvent::kPairingRequested:
      return pairing_->HandlerCountLocked();
    default:
      return 0;
  }
}

}  // namespace velmora::platform::bluetooth::sim
