// GATT services, characteristics and descriptors over bluetoothd's GattService1, GattCharacteristic1 and
// GattDescriptor1 objects, notification sessions, and their results.
#include <systemd/sd-bus.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/bluetooth/bluez/objects.h"

namespace velmora::platform::bluetooth::bluez {
namespace {

using Cccd = GattClientCharacteristicConfigurationDescriptorValue;

constexpr Guid kCccdUuid = BluetoothBaseUuid(0x2902);
constexpr Guid kUserDescriptionUuid = BluetoothBaseUuid(0x2901);
constexpr Guid kPresentationFormatUuid = BluetoothBaseUuid(0x2904);
constexpr uint16_t kDefaultAttMtu = 23;
// NOTE: bluetoothd hands a written value's length on to its ATT layer in 16 bits (src/gatt-client.c,
// characteristic_write_value and descriptor_write_value, into bt_gatt_client_write_value, _write_long_value
// and _write_without_response, whose length is a uint16_t), so it would write a longer value cut to the low 16
// bits of its length. Such a value is refused here as a device refuses one too long for the attribute.
constexpr size_t kMaxWriteLength = 0xFFFF;

// kCallAgainMs is the pause before a read or write that bluetoothd refused as in progress is asked again.
constexpr int64_t kCallAgainMs = 50;

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool DeviceConnected(BluezCore& core, const std::string& path) {
  const std::optional<Props> device = core.PropsOf(BluezCore::DeviceOf(path), kDeviceIface);
  if (!device) return false;
  auto connected = device->find("Connected");
  return connected != device->end() && connected->second.Bool();
}

// TimerWait finishes an operation that waits for a timer as unreachable when the timer never runs (the shutdown
// drops it): the next attempt of a call, or the look at the link after an answer (SettleAnswer).
template <class T>
struct TimerWait {
  TimerWait(std::shared_ptr<BluezCore> owner, std::shared_ptr<BluezAsync<T>> operation)
      : core(std::move(owner)), op(std::move(operation)) {}
  ~TimerWait() {
    if (!taken) core->Complete<T>(op, Unreachable());
  }
  TimerWait(const TimerWait&) = delete;
  TimerWait& operator=(const TimerWait&) = delete;
  const std::shared_ptr<BluezCore> core;
  const std::shared_ptr<BluezAsync<T>> op;
  bool taken = false;
};

// kAttBoundMs is ATT's bound on a request (see kGattCallUs).
constexpr int64_t kAttBoundMs = 30'000;
// kLinkEndWaitMs bounds the look at the link after an answer that may tell of its end (SettleAnswer), made
// every kLinkEndStepMs.
// NOTE: when ATT gives up on a request ahead of this one and shuts its channel down, bluetoothd does not
// disconnect (device.c, att_disconnected_cb): the kernel drops the LE link once nothing holds it, 2 s after the
// ATT socket let go of it (HCI_DISCONN_TIMEOUT; twice that for a link the device opened), and only then does
// the device read disconnected.
constexpr int64_t kLinkEndWaitMs = 5000;
constexpr int64_t kLinkEndStepMs = 20;

// TakeAsLinkLoss makes the answer that of a call on a link that is down.
void TakeAsLinkLoss(Reply& reply) { reply = Reply{"org.bluez.Error.NotConnected", "Not connected", {}, {}}; }

template <class T>
void AwaitLinkEnd(const std::shared_ptr<BluezCore>& core, const std::string& path, Reply reply, int64_t until_ms,
                  std::shared_ptr<TimerWait<T>> wait, std::function<void(Reply&)> done) {
  core->AddTimer(kLinkEndStepMs, [core, path, reply, until_ms, wait, done]() mutable {
    const bool connected = DeviceConnected(*core, path);
    if (connected && SteadyMs() < until_ms) return AwaitLinkEnd<T>(core, path, reply, until_ms, wait, done);
    wait->taken = true;
    if (!connected) TakeAsLinkLoss(reply);
    done(reply);
  });
}

// SettleAnswer hands bluetoothd's answer to a request of the device (sent at sent_ms) to done, as the link's
// loss where it tells of that.
// NOTE: bluetoothd answers each request that the link's end leaves pending with an Unlikely Error of its own
// making, which the device never sent (src/shared/att.c, disconnect_cb: disc_att_send_op hands the request back
// without a PDU; src/shared/gatt-client.c, process_error: "if (!pdu ...) return BT_ATT_ERROR_UNLIKELY", since
// 5.55; gatt-client.c, create_gatt_dbus_error: "Operation failed with ATT error: 0x0e"), and so a request that
// ATT gave up on after its 30 s, just before it shuts the link down (att.c, timeout_cb). Such an answer is the
// link's loss when it came that late, or when the device's Connected is false by then or turns false within
// kLinkEndWaitMs (bluetoothd hears of the end from its management socket and from the ATT socket, in either
// order, and the link outlives an ATT channel that ATT shut down by a few seconds); otherwise it is the device's
// own error.
template <class T>
void SettleAnswer(const std::shared_ptr<BluezCore>& core, const std::string& path,
                  const std::shared_ptr<BluezAsync<T>>& op, int64_t sent_ms, Reply& reply,
                  const std::function<void(Reply&)>& done) {
  const GattOutcome outcome = GattOutcomeOf(reply);
  if (outcome.status != GattCommunicationStatus::ProtocolError ||
      outcome.protocol_error != static_cast<int>(GattProtocolError::UnlikelyError)) {
    return done(reply);
  }
  if (!DeviceConnected(*core, path) || SteadyMs() - sent_ms >= kAttBoundMs) {
    TakeAsLinkLoss(reply);
    return done(reply);
  }
  AwaitLinkEnd<T>(core, path, reply, SteadyMs() + kLinkEndWaitMs, std::make_shared<TimerWait<T>>(core, op), done);
}

template <class T>
void CallUntil(const std::shared_ptr<BluezCore>& core, const std::string& path, const char* iface, const char* method,
               const Appender& append, const std::shared_ptr<BluezAsync<T>>& op, int64_t until_ms,
               const std::function<void(Reply&)>& done) {
  const int64_t sent_ms = SteadyMs();
  core->CallMethod(
      path, iface, method, append, kGattCallUs,
      [core, path, iface, method, append, op, until_ms, done, sent_ms](Reply& reply) {
        if (reply.error == "org.bluez.Error.InProgress" && SteadyMs() + kCallAgainMs < until_ms) {
          auto again = std::make_shared<TimerWait<T>>(core, op);
          core->AddTimer(kCallAgainMs, [core, path, iface, method, append, op, until_ms, done, again] {
            again->taken = true;
            CallUntil(core, path, iface, method, append, op, until_ms, done);
          });
          return;
        }
        SettleAnswer<T>(core, path, op, sent_ms, reply, done);
      });
}

// CallPastOthers makes a read or write of an attribute, for op; `done` gets bluetoothd's answer.
// NOTE: bluetoothd keeps one write under way per characteristic or descriptor, whoever asked, and one read
// (joined only by reads from the same offset), and refuses the others as in progress before anything reaches
// the device (gatt-client.c, characteristic_write_value and descriptor_write_value: "if (chrc->write_op)
// return btd_error_in_progress(msg)"; characteristic_read_value and descriptor_read_value: "if
// (chrc->read_op->offset != offset) return btd_error_in_progress(msg)"). This process's own calls of an
// attribute go one after another (Serial), so the refusal tells of another program's call: the device is
// reached, only not now. The call is asked again after a short pause while the other call may still be under
// way within ATT's bound (kGattCallUs from the first attempt); each attempt waits for its answer as long.
template <class T>
void CallPastOthers(const std::shared_ptr<BluezCore>& core, const std::string& path, const char* iface,
                    const char* method, const Appender& append, const std::shared_ptr<BluezAsync<T>>& op,
                    const std::function<void(Reply&)>& done) {
  CallUntil(core, path, iface, method, append, op, SteadyMs() + static_cast<int64_t>(kGattCallUs / 1000), done);
}

bool Wanted(const std::optional<Guid>& filter, const Props& props) { return !filter || UuidOf(props) == filter; }

// PropertyBits maps the characteristic's Flags texts to property bits; permission texts are ignored.
uint32_t PropertyBits(const Props& props) {
  static const std::pair<const char*, uint32_t> kBits[] = {
      {"broadcast", GattCharacteristicProperties::Broadcast},
      {"read", GattCharacteristicProperties::Read},
      {"write-without-response", GattCharacteristicProperties::WriteWithoutResponse},
      {"write", GattCharacteristicProperties::Write},
      {"notify", GattCharacteristicProperties::Notify},
      {"indicate", GattCharacteristicProperties::Indicate},
      {"authenticated-signed-writes", GattCharacteristicProperties::AuthenticatedSignedWrites},
      {"extended-properties", GattCharacteristicProperties::ExtendedProperties},
      {"reliable-write", GattCharacteristicProperties::ReliableWrites},
      {"writable-auxiliaries", GattCharacteristicProperties::WritableAuxiliaries},
  };
  uint32_t bits = 0;
  auto flags = props.find("Flags");
  if (flags == props.end()) return bits;
  for (const std::string& flag : flags->second.Texts()) {
    for (const auto& [text, bit] : kBits) {
      if (flag == text) bits |= bit;
    }
  }
  return bits;
}

std::shared_ptr<BluezGattResult> TooLongToWrite() {
  auto result = std::make_shared<BluezGattResult>();
  result->status = GattCommunicationStatus::ProtocolError;
  result->protocol_error = static_cast<int>(GattProtocolError::InvalidAttributeValueLength);
  return result;
}

int AppendOptions(sd_bus_message* message, const char* type) {
  if (type == nullptr) return AppendStringOptions(message, {});
  return AppendStringOptions(message, {{"type", type}});
}

int AppendValue(sd_bus_message* message, const Bytes& value, const char* type) {
  const int r = sd_bus_message_append_array(message, 'y', value.data(), value.size());
  return r < 0 ? r : AppendOptions(message, type);
}

// LogHold logs a refusal of `member` that names another client's hold on the characteristic at path: the
// application gets an access denied, and the line says whose.
void LogHold(BluezCore& core, PlatformLogTopic topic, const std::string& path, const char* member,
             const Reply& reply) {
  const std::string hold = HoldOf(reply);
  if (hold.empty()) return;
  core.Log(topic, std::string("bluetoothd refused ") + member + " of " + path + ": " + hold + " (" + reply.error +
                      ": " + reply.message + ").");
}

// Start runs body on the bus thread and returns its operation; after shutdown the call raises.
template <class T, class Body>
AsyncOp<T> Start(const std::shared_ptr<BluezCore>& core, Body body) {
  if (core->IsShutDown()) throw PlatformError(kRoEClosed);
  auto operation = std::make_shared<BluezAsync<T>>();
  if (!core->Post([core, operation, body] { body(operation); })) throw PlatformError(kRoEClosed);
  return operation;
}

GattPresentationFormat ParseFormat(const Bytes& value) {
  GattPresentationFormat format;
  if (value.size() < 7) return format;
  format.format_type = value[0];
  format.exponent = static_cast<int8_t>(value[1]);
  format.unit = static_cast<uint16_t>(value[2] | (value[3] << 8));
  format.namespace_id = value[4];
  format.description = static_cast<uint16_t>(value[5] | (value[6] << 8));
  return format;
}

class BluezSession final : public GattSession {
 public:
  BluezSession(std::shared_ptr<BluezCore> core, std::string service_path)
      : core_(std::move(core)), service_path_(std::move(service_path)) {}
  // The characteristic's MTU (bluetoothd 5.62 and later), else the MTU an AcquireNotify reported.
  uint16_t MaxPduSize() override {
    for (const auto& [path, props] : core_->Children(service_path_, kCharacteristicIface, "Service")) {
      auto mtu = props.find("MTU");
      if (mtu != props.end() && mtu->second.number > 0) return static_cast<uint16_t>(mtu->second.number);
    }
    const uint16_t acquired = core_->AcquiredMtu(BluezCore::DeviceOf(service_path_));
    return acquired != 0 ? acquired : kDefaultAttMtu;
  }

 private:
  std::shared_ptr<BluezCore> core_;
  const std::string service_path_;
};

// Attribute is what every service and descriptor object holds: its object path, handle and UUID, and the
// hold on its device's link.
struct Attribute {
  Attribute(std::shared_ptr<BluezCore> owner, std::string object_path, uint16_t attribute_handle, Guid attribute_uuid)
      : core(std::move(owner)),
        path(std::move(object_path)),
        handle(attribute_handle),
        uuid(attribute_uuid),
        hold(core->Hold(BluezCore::DeviceOf(path))) {}
  const std::shared_ptr<BluezCore> core;
  const std::string path;
  const uint16_t handle;
  const Guid uuid;
  const std::shared_ptr<LinkHold> hold;
};

class BluezDescriptor final : public GattDescriptor {
 public:
  // The characteristic object it was found through (owner) subscribes when the CCCD is written here.
  BluezDescriptor(std::shared_ptr<BluezCore> core, std::string path, uint16_t handle, Guid uuid,
                  std::weak_ptr<BluezCharacteristic> owner)
      : a_(std::move(core), std::move(path), handle, uuid), owner_(std::move(owner)) {}
  uint16_t AttributeHandle() override { return a_.handle; }
  Guid Uuid() override { return a_.uuid; }
  AsyncOp<GattReadResult> ReadValueWithCacheModeAsync(BluetoothCacheMode mode) override {
    return ReadAttribute(a_.core, a_.path, kDescriptorIface, mode);
  }
  // bluetoothd refuses CCCD writes: a write of the CCCD starts or ends the characteristic's session.
  AsyncOp<GattWriteResult> WriteValueWithResultAsync(const Bytes& value) override {
    if (a_.uuid == kCccdUuid) {
      const uint16_t bits =
          static_cast<uint16_t>((value.empty() ? 0 : value[0]) | (value.size() > 1 ? value[1] << 8 : 0));
      const Cccd cccd = (bits & 1) != 0 ? Cccd::Notify : (bits & 2) != 0 ? Cccd::Indicate : Cccd::None;
      const std::optional<Props> props = a_.core->PropsOf(a_.path, kDescriptorIface);
      auto owner = props ? props->find("Characteristic") : Props::const_iterator();
      return WriteCccd(a_.core, props && owner != props->end() ? owner->second.text : std::string(), cccd, owner_);
    }
    auto core = a_.core;
    const std::string path = a_.path;
    return Start<GattWriteResult>(core, [core, path, value](const std::shared_ptr<BluezAsync<GattWriteResult>>& op) {
      if (!core->PropsOf(path, kDescriptorIface) || !DeviceConnected(*core, path)) {
        return core->Complete<GattWriteResult>(op, Unreachable());
      }
      if (value.size() > kMaxWriteLength) return core->Complete<GattWriteResult>(op, TooLongToWrite());
      core->Serial(path, [core, path, value, op](std::function<void()> next) {
        CallPastOthers<GattWriteResult>(
            core, path, kDescriptorIface, "WriteValue",
            [value](sd_bus_message* message) { return AppendValue(message, value, nullptr); }, op,
            [core, op, next](Reply& reply) {
              core->Complete<GattWriteResult>(op, ResultOf(reply));
              next();
            });
      });
    });
  }

 private:
  const Attribute a_;
  const std::weak_ptr<BluezCharacteristic> owner_;
};

class BluezService final : public GattDeviceService {
 public:
  BluezService(std::shared_ptr<BluezCore> core, std::string path, uint16_t handle, Guid uuid)
      : a_(std::move(core), std::move(path), handle, uuid) {}
  uint16_t AttributeHandle() override { return a_.handle; }
  Guid Uuid() override { return a_.uuid; }
  std::shared_ptr<GattSession> Session() override { return std::make_shared<BluezSession>(a_.core, a_.path); }
  AsyncOp<GattDeviceServicesResult> GetIncludedServicesWithCacheModeAsync(BluetoothCacheMode) override {
    return Included(std::nullopt);
  }
  AsyncOp<GattDeviceServicesResult> GetIncludedServicesForUuidWithCacheModeAsync(const Guid& uuid,
                                                                                 BluetoothCacheMode) override {
    return Included(uuid);
  }
  AsyncOp<GattCharacteristicsResult> GetCharacteristicsWithCacheModeAsync(BluetoothCacheMode) override {
    return Characteristics(std::nullopt);
  }
  AsyncOp<GattCharacteristicsResult> GetCharacteristicsForUuidWithCacheModeAsync(const Guid& uuid,
                                                                                 BluetoothCacheMode) override {
    return Characteristics(uuid);
  }

 private:
  AsyncOp<GattDeviceServicesResult> Included(std::optional<Guid> uuid) {
    auto core = a_.core;
    const std::string path = a_.path;
    return Start<GattDeviceServicesResult>(
        core, [core, path, uuid](const std::shared_ptr<BluezAsync<GattDeviceServicesResult>>& op) {
          core->EnsureResolved(BluezCore::DeviceOf(path), [core, path, uuid, op](bool ok) {
            if (!ok || !core->PropsOf(path, kServiceIface))
              return core->Complete<GattDeviceServicesResult>(op, Unreachable());
            auto result = std::make_shared<BluezGattResult>();
            result->services = MakeServices(core, core->Children(path, kServiceIface, "Includes"), uuid);
            core->Complete<GattDeviceServicesResult>(op, result);
          });
        });
  }

  AsyncOp<GattCharacteristicsResult> Characteristics(std::optional<Guid> uuid);

  const Attribute a_;
};

// Discovered is the state of one characteristic discovery: the characteristics found and the User
// Description and Presentation Format descriptors still to read, one after another.
struct Discovered {
  std::vector<BluezCharacteristic::Info> infos;
  std::vector<std::pair<size_t, std::string>> reads;  // (index into infos, descriptor path)
  size_t next = 0;
};

void ReadNextDescriptor(const std::shared_ptr<BluezCore>& core, const std::shared_ptr<Discovered>& state,
                        const std::function<void()>& done) {
  if (state->next == state->reads.size()) return done();
  const auto [index, path] = state->reads[state->next++];
  core->CallMethod(
      path, kDescriptorIface, "ReadValue", [](sd_bus_message* message) { return AppendOptions(message, nullptr); },
      kGattCallUs,
      [core, state, done, index, path](Reply& reply) {
        const std::optional<Props> props = core->PropsOf(path, kDescriptorIface);
        const std::string problem = ReplyProblem(reply, "ReadValue", "ay");
        if (!problem.empty()) core->Log(PlatformLogTopic::Discovery, problem + " Descriptor " + path + " is not used.");
        if (reply.Ok() && problem.empty() && props) {
          const Bytes value = reply.args[0].AsBytes();
          BluezCharacteristic::Info& info = state->infos[index];
          if (UuidOf(*props) == kUserDescriptionUuid) {
            info.user_description = sim::Utf8ToHString(value);
          } else {
            info.formats.push_back(ParseFormat(value));
          }
        }
        ReadNextDescriptor(core, state, done);
      });
}

AsyncOp<GattCharacteristicsResult> BluezService::Characteristics(std::optional<Guid> uuid) {
  auto core = a_.core;
  const std::string path = a_.path;
  return Start<GattCharacteristicsResult>(
      core, [core, path, uuid](const std::shared_ptr<BluezAsync<GattCharacteristicsResult>>& op) {
        core->EnsureResolved(BluezCore::DeviceOf(path), [core, path, uuid, op](bool ok) {
          if (!ok || !core->PropsOf(path, kServiceIface))
            return core->Complete<GattCharacteristicsResult>(op, Unreachable());
          auto state = std::make_shared<Discovered>();
          for (const auto& [child, props] : core->Children(path, kCharacteristicIface, "Service")) {
            if (!Wanted(uuid, props)) continue;
            state->infos.push_back(
                {child, HandleOf(child, props), UuidOf(props).value_or(Guid{}), PropertyBits(props), {}, {}});
            for (const auto& [descriptor, dprops] : core->Children(child, kDescriptorIface, "Characteristic")) {
              const std::optional<Guid> duuid = UuidOf(dprops);
              if (duuid == kUserDescriptionUuid || duuid == kPresentationFormatUuid) {
                state->reads.emplace_back(state->infos.size() - 1, descriptor);
              }
            }
          }
          ReadNextDescriptor(core, state, [core, state, op] {
            auto result = std::make_shared<BluezGattResult>();
            for (BluezCharacteristic::Info& info : state->infos) {
              auto made = std::make_shared<BluezCharacteristic>(core, std::move(info));
              core->Register(made->Path(), made);
              result->characteristics.push_back(made);
            }
            core->Complete<GattCharacteristicsResult>(op, result);
          });
        });
      });
}

}  // namespace

std::shared_ptr<BluezGattResult> Unreachable() {
  auto result = std::make_shared<BluezGattResult>();
  result->status = GattCommunicationStatus::Unreachable;
  return result;
}

std::shared_ptr<BluezGattResult> ResultOf(const Reply& reply) {
  auto result = std::make_shared<BluezGattResult>();
  const GattOutcome outcome = GattOutcomeOf(reply);
  result->status = outcome.status;
  result->protocol_error = outcome.protocol_error;
  return result;
}

uint16_t HandleOf(const std::string& path, const Props& props) {
  auto handle = props.find("Handle");
  if (handle != props.end() && handle->second.number > 0) return static_cast<uint16_t>(handle->second.number);
  // service000c/char000d/desc000f: the handle is the path's hex suffix.
  const size_t end = path.size();
  size_t start = end;
  while (start > 0 && std::isxdigit(static_cast<unsigned char>(path[start - 1])) != 0) --start;
  if (end - start > 4) start = end - 4;
  return start == end ? 0 : static_cast<uint16_t>(std::strtoul(path.c_str() + start, nullptr, 16));
}

std::optional<Guid> UuidOf(const Props& props) {
  auto uuid = props.find("UUID");
  return uuid == props.end() ? std::nullopt : ParseUuid(uuid->second.text);
}

std::vector<std::shared_ptr<GattDeviceService>> MakeServices(const std::shared_ptr<BluezCore>& core,
                                                             const std::vector<std::pair<std::string, Props>>& found,
                                                             const std::optional<Guid>& uuid) {
  std::vector<std::shared_ptr<GattDeviceService>> services;
  for (const auto& [path, props] : found) {
    if (!Wanted(uuid, props)) continue;
    services.push_back(
        std::make_shared<BluezService>(core, path, HandleOf(path, props), UuidOf(props).value_or(Guid{})));
  }
  return services;
}

AsyncOp<GattReadResult> ReadAttribute(const std::shared_ptr<BluezCore>& core, const std::string& path,
                                      const char* iface, BluetoothCacheMode mode) {
  return Start<GattReadResult>(core, [core, path, iface, mode](const std::shared_ptr<BluezAsync<GattReadResult>>& op) {
    const std::optional<Props> props = core->PropsOf(path, iface);
    if (!props || !DeviceConnected(*core, path)) return core->Complete<GattReadResult>(op, Unreachable());
    auto cached = props->find("Value");
    // NOTE: bluetoothd exports Value from the start, empty until a read or a notification stores one
    // (gatt-client.c, characteristic_value_exists: the attribute's read answers 0 bytes without an error), so
    // an empty Value is no cached value: the device is read, as with no Value at all.
    if (cached != props->end() && cached->second.AsBytes().empty()) cached = props->end();
    const std::optional<Bytes> notified =
        std::strcmp(iface, kCharacteristicIface) == 0 ? core->SocketValue(path) : std::nullopt;
    if (mode == BluetoothCacheMode::Cached && (notified || cached != props->end())) {
      auto result = std::make_shared<BluezGattResult>();
      result->value = notified ? *notified : cached->second.AsBytes();
      return core->Complete<GattReadResult>(op, result);
    }
    core->Serial(path, [core, path, iface, op](std::function<void()> next) {
      const bool characteristic = std::strcmp(iface, kCharacteristicIface) == 0;
      if (characteristic) core->ReadStarted(path);
      CallPastOthers<GattReadResult>(
          core, path, iface, "ReadValue", [](sd_bus_message* message) { return AppendOptions(message, nullptr); },
          op, [core, op, next, path, characteristic](Reply& reply) {
            if (characteristic) core->ReadAnswered(path, reply);
            const std::string problem = ReplyProblem(reply, "ReadValue", "ay");
            if (!problem.empty()) {
              core->Fail<GattReadResult>(op, problem);
              return next();
            }
            auto result = ResultOf(reply);
            if (reply.Ok()) result->value = reply.args[0].AsBytes();
            core->Complete<GattReadResult>(op, result);
            next();
          });
    });
  });
}

AsyncOp<GattWriteResult> WriteCccd(const std::shared_ptr<BluezCore>& core, const std::string& characteristic_path,
                                   Cccd value, std::weak_ptr<BluezCharacteristic> subscriber) {
  const std::string path = characteristic_path;
  return Start<GattWriteResult>(core, [core, path, value, subscriber](
                                          const std::shared_ptr<BluezAsync<GattWriteResult>>& op) {
    if (!core->PropsOf(path, kCharacteristicIface) || !DeviceConnected(*core, path)) {
      return core->Complete<GattWriteResult>(op, Unreachable());
    }
    core->Serial(path, [core, path, value, subscriber, op](std::function<void()> next) {
      auto finish = [core, op, next](std::shared_ptr<BluezGattResult> result) {
        core->Complete<GattWriteResult>(op, std::move(result));
        next();
      };
      auto subscribe = [subscriber](Subscription subscription) {
        if (auto object = subscriber.lock()) object->set_subscription(subscription);
      };
      if (value == Cccd::None) {
        subscribe(Subscription::kUnsubscribed);
        // NOTE: bluetoothd keeps one notification session per client, and this process is one client: it
        // ends with the last subscriber of the process. Closing the socket ends an AcquireNotify session; a
        // StartNotify session needs StopNotify.
        if (!core->Subscribed(path)) core->CloseSession(path, true);
        return finish(std::make_shared<BluezGattResult>());
      }
      if (core->HasSession(path)) {
        subscribe(Subscription::kSubscribed);
        return finish(std::make_shared<BluezGattResult>());
      }
      // NOTE: the answer may come after the link dropped (LinkDown ended the device's sessions before this one
      // existed) or after the subscriber was let go with every other subscriber of the characteristic (its
      // release found no session to end). A session that nothing holds is ended at once: bluetoothd would keep
      // it for as long as the process runs, refusing the characteristic's AcquireNotify to every other program,
      // and keeps a StartNotify of a disconnected device for its next connection (gatt-client.c,
      // characteristic_start_notify: "If the device is currently not connected, return success").
      auto settle = [core, path, finish, subscribe, subscriber](int fd, uint16_t mtu) {
        core->OpenSession(path, fd, mtu);
        if (!DeviceConnected(*core, path)) {
          core->CloseSession(path, true);
          return finish(Unreachable());
        }
        if (subscriber.expired() && !core->Subscribed(path)) {
          core->CloseSession(path, true);
        } else {
          subscribe(Subscription::kSubscribed);
        }
        finish(std::make_shared<BluezGattResult>());
      };
      // What AcquireNotify's answer leads to: the socket, or StartNotify where bluetoothd refused it.
      auto acquired = [core, path, op, finish, settle](Reply& reply) {
        // A reply of another shape is taken as a refusal: StartNotify is the way that is left.
        if (reply.Ok() && reply.signature == "hq" && reply.args[0].number >= 0) {
          return settle(static_cast<int>(reply.args[0].number), static_cast<uint16_t>(reply.args[1].number));
        }
        CloseFds(reply.args);
        // The characteristic is gone (bluetoothd removed it meanwhile): StartNotify would reach no object,
        // or the one bluetoothd exported again at the same path.
        if (reply.error == kUnknownObject) return finish(ResultOf(reply));
        // The link dropped (gatt-client.c, characteristic_acquire_notify: "Not connected"): a StartNotify
        // would be kept for the next connection.
        if (!DeviceConnected(*core, path) || reply.message == "Not connected") return finish(Unreachable());
        const int64_t sent_ms = SteadyMs();
        core->CallMethod(path, kCharacteristicIface, "StartNotify", nullptr, kGattCallUs,
                         [core, path, op, finish, settle, sent_ms](Reply& started) {
                           LogHold(*core, PlatformLogTopic::Subscriptions, path, "StartNotify", started);
                           auto answered = [finish, settle](Reply& answer) {
                             if (answer.Ok()) return settle(-1, 0);
                             finish(ResultOf(answer));
                           };
                           SettleAnswer<GattWriteResult>(core, path, op, sent_ms, started, answered);
                         });
      };
      const int64_t sent_ms = SteadyMs();
      core->CallMethod(
          path, kCharacteristicIface, "AcquireNotify",
          [](sd_bus_message* message) { return AppendOptions(message, nullptr); }, kGattCallUs,
          [core, path, op, sent_ms, acquired](Reply& answer) {
            SettleAnswer<GattWriteResult>(core, path, op, sent_ms, answer, acquired);
          });
    });
  });
}

// ---- BluezCharacteristic

BluezCharacteristic::BluezCharacteristic(std::shared_ptr<BluezCore> core, Info info)
    : core_(std::move(core)), info_(std::move(info)), hold_(core_->Hold(BluezCore::DeviceOf(info_.path))) {}

// NOTE: a subscriber goes without unsubscribing when its client disconnects. The session is the process's
// (see WriteCccd) and ends with its last subscriber, not only with the last object that holds the device's
// link: while another client of the process keeps the device, bluetoothd would otherwise notify for nobody
// and refuse the characteristic's AcquireNotify to every other program (gatt-client.c,
// characteristic_acquire_notify: "Notify acquired", InProgress). The object's own subscription was last
// written on the bus thread, which let its reference go since.
BluezCharacteristic::~BluezCharacteristic() {
  if (subscription_ != Subscription::kSubscribed) return;
  auto core = core_;
  const std::string path = info_.path;
  (void)core->Post([core, path] {
    core->Serial(path, [core, path](std::function<void()> next) {
      if (!core->Subscribed(path)) core->CloseSession(path, true);
      next();
    });
  });
}

EventToken BluezCharacteristic::AddValueChanged(
    TypedEventHandler<GattCharacteristic, GattValueChangedEventArgs> handler) {
  std::lock_guard lock(mutex_);
  return value_changed_.Add(core_->NextToken(), std::move(handler));
}

void BluezCharacteristic::RemoveValueChanged(EventToken token) {
  decltype(value_changed_)::Handler removed;  // let go after the lock
  std::lock_guard lock(mutex_);
  removed = value_changed_.Remove(token);
}

EventToken BluezCharacteristic::AddNotificationsLost(TypedEventHandler<GattCharacteristic, Inspectable> handler) {
  std::lock_guard lock(mutex_);
  return lost_.Add(core_->NextToken(), std::move(handler));
}

void BluezCharacteristic::RemoveNotificationsLost(EventToken token) {
  decltype(lost_)::Handler removed;  // let go after the lock
  std::lock_guard lock(mutex_);
  removed = lost_.Remove(token);
}

AsyncOp<GattReadResult> BluezCharacteristic::ReadValueWithCacheModeAsync(BluetoothCacheMode mode) {
  return ReadAttribute(core_, info_.path, kCharacteristicIface, mode);
}

AsyncOp<GattReadClientCharacteristicConfigurationDescriptorResult>
BluezCharacteristic::ReadClientCharacteristicConfigurationDescriptorAsync() {
  using Result = GattReadClientCharacteristicConfigurationDescriptorResult;
  auto core = core_;
  const std::string path = info_.path;
  const uint32_t properties = info_.properties;
  return Start<Result>(core, [core, path, properties](const std::shared_ptr<BluezAsync<Result>>& op) {
    const std::optional<Props> props = core->PropsOf(path, kCharacteristicIface);
    if (!props || !DeviceConnected(*core, path)) return core->Complete<Result>(op, Unreachable());
    auto flag = [&](const char* key) {
      auto found = props->find(key);
      return found != props->end() && found->second.Bool();
    };
    const Cccd active = (properties & GattCharacteristicProperties::Notify) != 0 ? Cccd::Notify : Cccd::Indicate;
    std::string cccd_path;
    for (const auto& [descriptor, dprops] : core->Children(path, kDescriptorIface, "Characteristic")) {
      if (UuidOf(dprops) == kCccdUuid) cccd_path = descriptor;
    }
    if (core->HasSession(path) || cccd_path.empty()) {
      auto result = std::make_shared<BluezGattResult>();
      result->cccd = core->HasSession(path) || flag("Notifying") || flag("NotifyAcquired") ? active : Cccd::None;
      return core->Complete<Result>(op, result);
    }
    const int64_t sent_ms = SteadyMs();
    core->CallMethod(
        cccd_path, kDescriptorIface, "ReadValue",
        [](sd_bus_message* message) { return AppendOptions(message, nullptr); }, kGattCallUs,
        [core, op, cccd_path, sent_ms](Reply& answer) {
          SettleAnswer<Result>(core, cccd_path, op, sent_ms, answer, [core, op](Reply& reply) {
            const std::string problem = ReplyProblem(reply, "ReadValue", "ay");
            if (!problem.empty()) return core->Fail<Result>(op, problem);
            auto result = ResultOf(reply);
            const Bytes value = reply.Ok() ? reply.args[0].AsBytes() : Bytes();
            const int bits = value.empty() ? 0 : value[0];
            result->cccd = (bits & 1) != 0 ? Cccd::Notify : (bits & 2) != 0 ? Cccd::Indicate : Cccd::None;
            core->Complete<Result>(op, result);
          });
        });
  });
}

AsyncOp<GattDescriptorsResult> BluezCharacteristic::GetDescriptorsWithCacheModeAsync(BluetoothCacheMode) {
  return Descriptors(std::nullopt);
}

AsyncOp<GattDescriptorsResult> BluezCharacteristic::GetDescriptorsForUuidWithCacheModeAsync(const Guid& uuid,
                                                                                            BluetoothCacheMode) {
  return Descriptors(uuid);
}

AsyncOp<GattDescriptorsResult> BluezCharacteristic::Descriptors(std::optional<Guid> uuid) {
  auto core = core_;
  const std::string path = info_.path;
  return Start<GattDescriptorsResult>(
      core, [core, path, uuid, owner = weak_from_this()](const std::shared_ptr<BluezAsync<GattDescriptorsResult>>& op) {
        if (!core->PropsOf(path, kCharacteristicIface) || !DeviceConnected(*core, path)) {
          return core->Complete<GattDescriptorsResult>(op, Unreachable());
        }
        auto result = std::make_shared<BluezGattResult>();
        for (const auto& [descriptor, props] : core->Children(path, kDescriptorIface, "Characteristic")) {
          if (!Wanted(uuid, props)) continue;
          result->descriptors.push_back(std::make_shared<BluezDescriptor>(
              core, descriptor, HandleOf(descriptor, props), UuidOf(props).value_or(Guid{}), owner));
        }
        core->Complete<GattDescriptorsResult>(op, result);
      });
}

namespace {

void WriteCharacteristic(const std::shared_ptr<BluezCore>& core, const std::string& path, const Bytes& value,
                         const char* type, const std::shared_ptr<BluezAsync<GattWriteResult>>& op,
                         const std::function<void()>& next) {
  CallPastOthers<GattWriteResult>(
      core, path, kCharacteristicIface, "WriteValue",
      [value, type](sd_bus_message* message) { return AppendValue(message, value, type); }, op,
      [core, path, op, next](Reply& reply) {
        LogHold(*core, PlatformLogTopic::Connection, path, "WriteValue", reply);
        core->Complete<GattWriteResult>(op, ResultOf(reply));
        next();
      });
}

}  // namespace

AsyncOp<GattWriteResult> BluezCharacteristic::WriteValueWithResultAndOptionAsync(const Bytes& value,
                                                                                 GattWriteOption option) {
  auto core = core_;
  const std::string path = info_.path;
  const char* type = option == GattWriteOption::WriteWithoutResponse ? "command" : "request";
  return Start<GattWriteResult>(
      core, [core, path, value, type](const std::shared_ptr<BluezAsync<GattWriteResult>>& op) {
        if (!core->PropsOf(path, kCharacteristicIface) || !DeviceConnected(*core, path)) {
          return core->Complete<GattWriteResult>(op, Unreachable());
        }
        if (value.size() > kMaxWriteLength) return core->Complete<GattWriteResult>(op, TooLongToWrite());
        core->Serial(path, [core, path, value, type, op](std::function<void()> next) {
          WriteCharacteristic(core, path, value, type, op, next);
        });
      });
}

AsyncOp<GattWriteResult> BluezCharacteristic::WriteClientCharacteristicConfigurationDescriptorWithResultAsync(
    Cccd value) {
  return WriteCccd(core_, info_.path, value, weak_from_this());
}

class ReasonArgs final : public NotificationsLostArgs {
 public:
  ReasonArgs(const std::string& reason, uint64_t session)
      : text_(sim::Utf8ToHString(Bytes(reason.begin(), reason.end()))), session_(session) {}
  HString ToString() override { return text_; }
  uint64_t Session() override { return session_; }

 private:
  const HString text_;
  const uint64_t session_;
};

void BluezCharacteristic::Lose(const std::string& reason) {
  std::vector<TypedEventHandler<GattCharacteristic, Inspectable>> handlers;
  {
    std::lock_guard lock(mutex_);
    handlers = lost_.List();
  }
  core_->sim->Fire(std::move(handlers), std::shared_ptr<GattCharacteristic>(shared_from_this()),
                   std::shared_ptr<Inspectable>(std::make_shared<ReasonArgs>(reason, sessions_.load())));
}

class ValueChangedArgs final : public GattValueChangedEventArgs {
 public:
  ValueChangedArgs(Bytes value, int64_t timestamp) : value_(std::move(value)), timestamp_(timestamp) {}
  Bytes CharacteristicValue() override { return value_; }
  int64_t Timestamp() override { return timestamp_; }

 private:
  const Bytes value_;
  const int64_t timestamp_;
};

void BluezCharacteristic::Deliver(const Bytes& value, int64_t timestamp) {
  std::vector<TypedEventHandler<GattCharacteristic, GattValueChangedEventArgs>> handlers;
  {
    std::lock_guard lock(mutex_);
    handlers = value_changed_.List();
  }
  core_->sim->Fire(std::move(handlers), std::shared_ptr<GattCharacteristic>(shared_from_this()),
                   std::shared_ptr<GattValueChangedEventArgs>(std::make_shared<ValueChangedArgs>(value, timestamp)));
}

}  // namespace velmora::platform::bluetooth::bluez
