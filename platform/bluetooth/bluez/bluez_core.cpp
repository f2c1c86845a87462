#include "platform/bluetooth/bluez/bluez_core.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/bluetooth/bluez/objects.h"

namespace velmora::platform::bluetooth::bluez {
namespace {

// A burst of service changes (bluetoothd adds or removes each service separately) gives one event.
constexpr int64_t kServicesChangedBurstMs = 100;
// kServiceBackMs is how long a burst waits for a service that bluetoothd removed to come back: after a Service
// Changed it removes a replaced service as soon as the device answers its new discovery, and exports it again
// only once its characteristics and descriptors are discovered, several round trips of the link later.
constexpr int64_t kServiceBackMs = 3000;
// kConnectAgainMs is the pause before a Connect that bluetoothd refused as in progress is asked again.
constexpr int64_t kConnectAgainMs = 500;
// kServicesCheckUs bounds the look at bluetoothd's objects for a resolved device of which no service came.
constexpr uint64_t kServicesCheckUs = 500'000;
// kRecordSize holds any notification socket record whole: an ATT value is at most 512 bytes.
constexpr size_t kRecordSize = 1024;

// kCloseWaitMs bounds how long CloseLink waits for holds that are on their way out.
constexpr int64_t kCloseWaitMs = 1000;
// kIncomingSlice is how many of bluetoothd's messages the bus thread takes in before it turns to its tasks
// and timers again.
constexpr int kIncomingSlice = 64;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool IsAdvertisingKey(const std::string& key) {
  static const char* const kKeys[] = {
      "RSSI", "ManufacturerData", "ServiceData", "AdvertisingData", "AdvertisingFlags", "TxPower", "UUIDs", "Name"};
  for (const char* k : kKeys) {
    if (key == k) return true;
  }
  return false;
}

class LogArgs final : public PlatformLogEventArgs {
 public:
  LogArgs(PlatformLogTopic topic, const std::string& text) : topic_(topic), text_(text.begin(), text.end()) {}
  PlatformLogTopic Topic() override { return topic_; }
  HString Text() override { return text_; }

 private:
  const PlatformLogTopic topic_;
  const HString text_;
};

// TopicOf is the activity a property of `iface` belongs to.
PlatformLogTopic TopicOf(const std::string& iface, const std::string& key) {
  if (iface == kDeviceIface && IsAdvertisingKey(key)) return PlatformLogTopic::Scanning;
  if (iface == kDeviceIface || iface == kAdapterIface) return PlatformLogTopic::Connection;
  return PlatformLogTopic::Discovery;
}

// The GATT object kinds: the property that names each one's parent, and what that parent is.
struct GattLevel {
  const char* iface;
  const char* link;
  const char* parent_iface;
  const char* parent_kind;
};
constexpr GattLevel kGattLevels[] = {
    {kServiceIface, "Device", kDeviceIface, "device"},
    {kCharacteristicIface, "Service", kServiceIface, "service"},
    {kDescriptorIface, "Characteristic", kCharacteristicIface, "characteristic"},
};

}  // namespace

LinkHold::~LinkHold() {
  if (auto core = core_.lock()) core->LinkReleased(device_path_);
}

BluezCore::BluezCore(std::string bus_address)
    : sim(std::make_shared<sim::SimCore>(1)), address_(std::move(bus_address)) {}

BluezCore::~BluezCore() { Shutdown(); }

bool BluezCore::Open() {
  sd_bus* bus = nullptr;
  int r;
  if (address_.empty()) {
    r = sd_bus_open_system(&bus);
  } else {
    r = sd_bus_new(&bus);
    if (r >= 0) r = sd_bus_set_address(bus, address_.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0) r = sd_bus_start(bus);
  }
  if (r < 0) {
    sd_bus_unref(bus);
    return false;
  }
  bus_ = bus;
  has_bus_ = true;
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  Subscribe();
  // Before any signal of bluetoothd is taken in: changes of the owner come as NameOwnerChanged from here on.
  sd_bus_message* reply = nullptr;
  const char* owner = nullptr;
  if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "GetNameOwner", nullptr, &reply, "s", kBluez) >= 0 &&
      sd_bus_message_read(reply, "s", &owner) >= 0 && owner != nullptr) {
    WatchOwner(owner);
  }
  sd_bus_message_unref(reply);
  thread_ = std::thread([this] { Run(); });
  return true;
}

void BluezCore::Subscribe() {
  // NOTE: when bluetoothd exits only the bus tells: no InterfacesRemoved comes for what it had exported.
  sd_bus_add_match(bus_, nullptr,
                   "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                   "member='NameOwnerChanged',arg0='org.bluez'",
                   &BluezCore::OnSignal, this);
  // The agent answers at any path below its root: bluetoothd may call a path after its pairing ended.
  sd_bus_add_fallback(bus_, nullptr, kAgentRoot, &BluezCore::OnAgentCall, this);
}

// NOTE: any program on the bus may send signals with bluetoothd's paths and interfaces; the match rules name
// bluetoothd's unique name, which changes when it restarts, and HandleSignal checks the sender again.
void BluezCore::WatchOwner(const std::string& owner) {
  for (sd_bus_slot* slot : owner_matches_) sd_bus_slot_unref(slot);
  owner_matches_.clear();
  owner_ = owner;
  if (owner.empty()) return;
  const std::string sender = "type='signal',sender='" + owner + "',";
  const std::string rules[] = {
      sender + "interface='org.freedesktop.DBus.ObjectManager',path='/'",
      sender + "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',path_namespace='/org/bluez'",
  };
  for (const std::string& rule : rules) {
    sd_bus_slot* slot = nullptr;
    if (sd_bus_add_match(bus_, &slot, rule.c_str(), &BluezCore::OnSignal, this) >= 0) owner_matches_.push_back(slot);
  }
}

int BluezCore::OnAgentCall(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
  return static_cast<BluezCore*>(userdata)->agent_.OnCall(message);
}

void BluezCore::RefuseAgentRequest(sd_bus_message* request, const std::string& device_path, const std::string& why) {
  const char* member = sd_bus_message_get_member(request);
  sd_bus_reply_method_errorf(request, "org.bluez.Error.Rejected", "Rejected: %s.", why.c_str());
  Log(PlatformLogTopic::Connection, std::string("Refused the pairing agent request ") + member + " for " +
                                        (device_path.empty() ? std::string("no device") : device_path) + ": " +
                                        why + ".");
}

void BluezCore::Shutdown() {
  if (shut_down_.exchange(true)) return;
  if (thread_.joinable()) {
    {
      std::lock_guard lock(tasks_mutex_);
      stopping_ = true;
    }
    const uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof one);
    thread_.join();
  }
  if (wake_fd_ >= 0) close(wake_fd_);
  wake_fd_ = -1;
  // Operations that the shutdown ended still finish; queued events are dropped.
  sim->completions.WaitIdle();
  sim->events.Shutdown();
  sim->completions.Shutdown();
}

bool BluezCore::Post(std::function<void()> task) {
  if (!has_bus_) return false;
  {
    std::lock_guard lock(tasks_mutex_);
    if (stopping_) return false;
    tasks_.push_back(std::move(task));
  }
  const uint64_t one = 1;
  (void)!write(wake_fd_, &one, sizeof one);
  return true;
}

// ---- Bus thread

void BluezCore::Run() {
  for (;;) {
    // What bluetoothd sent before a task was posted is taken in first, so that the task sees it; a slice at a
    // time, though. While discovery runs, bluetoothd reports every advertisement (DuplicateData), and a bus
    // thread that took everything in before its tasks would not come back to them while the signals came in
    // faster than it handles them: the task that stops discovery, the one thing that ends them, would wait
    // for as long as they come.
    bool more = TakeIncoming();
    RunTasks();
    {
      std::lock_guard lock(tasks_mutex_);
      if (stopping_) break;
    }
    more = TakeIncoming() || more;
    RunTimers();
    std::vector<pollfd> fds;
    fds.push_back({sd_bus_get_fd(bus_), static_cast<short>(sd_bus_get_events(bus_)), 0});
    fds.push_back({wake_fd_, POLLIN, 0});
    std::vector<std::string> session_paths;
    for (const auto& [path, session] : sessions_) {
      if (session.fd < 0) continue;
      fds.push_back({session.fd, POLLIN, 0});
      session_paths.push_back(path);
    }
    // Messages left over from a slice are read already: poll would not wake for them.
    const int64_t timeout = more ? 0 : PollTimeoutMs();
    if (poll(fds.data(), fds.size(), static_cast<int>(std::min<int64_t>(timeout, INT_MAX))) < 0) continue;
    if (fds[1].revents != 0) {
      uint64_t count;
      (void)!read(wake_fd_, &count, sizeof count);
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents != 0) ReadSocket(session_paths[i - 2], fds[i].fd);
    }
  }
  StopOnBusThread();
}

bool BluezCore::TakeIncoming() {
  for (int i = 0; i < kIncomingSlice; ++i) {
    if (sd_bus_process(bus_, nullptr) <= 0) return false;
  }
  return true;
}

void BluezCore::RunTasks() {
  std::deque<std::function<void()>> tasks;
  {
    std::lock_guard lock(tasks_mutex_);
    tasks.swap(tasks_);
  }
  for (auto& task : tasks) task();
}

void BluezCore::RunTimers() {
  const int64_t now = NowMs();
  std::vector<uint64_t> due;
  for (const auto& [id, timer] : timers_) {
    if (timer.due_ms <= now) due.push_back(id);
  }
  for (uint64_t id : due) {
    auto found = timers_.find(id);
    if (found == timers_.end()) continue;
    std::function<void()> fn = std::move(found->second.fn);
    timers_.erase(found);
    fn();
  }
}

int64_t BluezCore::PollTimeoutMs() {
  int64_t timeout = -1;
  uint64_t bus_due_us = 0;
  if (sd_bus_get_timeout(bus_, &bus_due_us) > 0 && bus_due_us != UINT64_MAX) {
    const int64_t now_us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    timeout = std::max<int64_t>(0, (static_cast<int64_t>(bus_due_us) - now_us + 999) / 1000);
  }
  const int64_t now = NowMs();
  for (const auto& [id, timer] : timers_) {
    const int64_t wait = std::max<int64_t>(0, timer.due_ms - now);
    if (timeout < 0 || wait < timeout) timeout = wait;
  }
  return timeout;
}

void BluezCore::StopOnBusThread() {
  // Requests posted before the stop are made, and then ended below like every other unanswered call.
  RunTasks();
  // Discovery, notification sessions and links of this process end with it; no reply is awaited.
  std::set<std::string> opened;
  {
    std::lock_guard lock(mutex_);
    opened.swap(opened_here_);
  }
  discovery_.Shutdown();
  for (auto& [path, session] : sessions_) {
    if (session.fd >= 0) {
      close(session.fd);
    } else {
      CallMethod(path, kCharacteristicIface, "StopNotify", nullptr, kDefaultCallUs, [](Reply&) {});
    }
  }
  sessions_.clear();
  // NOTE: bluetoothd makes an LE Connect on after its caller has left the bus (device.c, dev_connect watches
  // no caller, unlike Pair), and the link it would bring up would be nobody's: a Connect of this process that
  // still waits for its answer is ended too (device_request_disconnect cancels it). One paused after an
  // InProgress refusal waits on another program's, which is left alone.
  for (const auto& [id, call] : pending_) {
    if (call.iface == kDeviceIface && call.member == "Connect") opened.insert(call.path);
  }
  for (const std::string& path : opened) {
    CallMethod(path, kDeviceIface, "Disconnect", nullptr, kDefaultCallUs, [](Reply&) {});
  }
  // Whatever still waits for a reply ends now, as if bluetoothd had gone.
  // From here on every call ends at once, so that what waits behind an ended call ends too.
  closing_ = true;
  // An ended call may make another one (a pairing unregisters its agent); those end as well.
  for (int round = 0; round < 8 && !pending_.empty(); ++round) {
    std::map<uint64_t, Pending> pending;
    pending.swap(pending_);
    for (auto& [id, call] : pending) {
      Reply reply{"org.freedesktop.DBus.Error.NoReply", "The backend is shutting down.", {}, {}};
      call.done(reply);
    }
  }
  std::map<std::string, std::vector<std::function<void(bool)>>> waiters;
  waiters.swap(waiters_);
  for (auto& [path, list] : waiters) {
    for (auto& waiter : list) waiter(false);
  }
  timers_.clear();
  serial_.clear();
  // The match slots hold the connection.
  WatchOwner({});
  sd_bus_flush_close_unref(bus_);
  bus_ = nullptr;
}

uint64_t BluezCore::CallMethod(const std::string& path, const char* iface, const char* member,
                               const Appender& append, uint64_t timeout_us, std::function<void(Reply&)> done,
                               const char* destination) {
  if (closing_) {
    Reply reply{"org.freedesktop.DBus.Error.NoReply", "The backend is shutting down.", {}, {}};
    done(reply);
    return 0;
  }
  sd_bus_message* message = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &message, destination, path.c_str(), iface, member);
  if (r >= 0) r = sd_bus_message_set_auto_start(message, 0);
  if (r >= 0 && append) r = append(message);
  if (r >= 0) r = sd_bus_call_async(bus_, nullptr, message, &BluezCore::OnReply, this, timeout_us);
  uint64_t cookie = 0;
  if (r >= 0) r = sd_bus_message_get_cookie(message, &cookie);
  sd_bus_message_unref(message);
  if (r < 0) {
    Reply reply{"org.freedesktop.DBus.Error.Disconnected", std::strerror(-r), {}, {}};
    done(reply);
    return 0;
  }
  // The reply (or the error sd-bus makes up on a timeout) carries the call's cookie, which is never 0.
  pending_[cookie] = Pending{path, iface, member, {}, std::move(done)};
  return cookie;
}

void BluezCore::RemoveDevice(const std::string& adapter_path, const std::string& device_path,
                             std::function<void(Reply&)> done) {
  const uint64_t call = CallMethod(
      adapter_path, kAdapterIface, "RemoveDevice",
      [device_path](sd_bus_message* message) { return sd_bus_message_append(message, "o", device_path.c_str()); },
      kDefaultCallUs, std::move(done));
  auto pending = pending_.find(call);
  if (pending != pending_.end()) pending->second.about = device_path;
}

int BluezCore::OnReply(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
  auto* self = static_cast<BluezCore*>(userdata);
  uint64_t cookie = 0;
  if (sd_bus_message_get_reply_cookie(message, &cookie) < 0) return 0;
  auto found = self->pending_.find(cookie);
  if (found == self->pending_.end()) return 0;
  std::function<void(Reply&)> done = std::move(found->second.done);
  self->pending_.erase(found);
  Reply reply;
  if (sd_bus_message_is_method_error(message, nullptr)) {
    const sd_bus_error* error = sd_bus_message_get_error(message);
    reply.error = error != nullptr && error->name != nullptr ? error->name : "org.freedesktop.DBus.Error.Failed";
    reply.message = error != nullptr && error->message != nullptr ? error->message : "";
  } else if (!ReadAll(message, &reply.args)) {
    reply.error = "org.freedesktop.DBus.Error.InvalidArgs";
  } else {
    const char* signature = sd_bus_message_get_signature(message, 1);
    reply.signature = signature != nullptr ? signature : "";
  }
  done(reply);
  return 0;
}

uint64_t BluezCore::AddTimer(int64_t ms, std::function<void()> fn) {
  const uint64_t id = next_id_++;
  timers_[id] = Timer{NowMs() + ms, std::move(fn)};
  return id;
}

void BluezCore::CancelTimer(uint64_t id) { timers_.erase(id); }

// ---- Signals and the object cache

int BluezCore::OnSignal(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
  static_cast<BluezCore*>(userdata)->HandleSignal(message);
  return 0;
}

void BluezCore::HandleSignal(sd_bus_message* message) {
  const char* member = sd_bus_message_get_member(message);
  const char* path = sd_bus_message_get_path(message);
  const char* sender = sd_bus_message_get_sender(message);
  if (member == nullptr || path == nullptr || sender == nullptr) return;
  const bool from_bus = std::strcmp(sender, "org.freedesktop.DBus") == 0;
  if (std::strcmp(member, "NameOwnerChanged") == 0 ? !from_bus : owner_.empty() || owner_ != sender) return;
  std::vector<Value> args;
  if (!ReadAll(message, &args)) return;
  if (std::strcmp(member, "InterfacesAdded") == 0 && args.size() == 2) {
    InterfacesAdded(args[0].text, InterfacesFrom(args[1]));
  } else if (std::strcmp(member, "InterfacesRemoved") == 0 && args.size() == 2) {
    InterfacesRemoved(args[0].text, args[1].Texts());
  } else if (std::strcmp(member, "PropertiesChanged") == 0 && args.size() >= 2) {
    PropertiesChanged(path, args[0].text, PropsFrom(args[1]),
                      args.size() > 2 ? args[2].Texts() : std::vector<std::string>());
  } else if (std::strcmp(member, "NameOwnerChanged") == 0 && args.size() == 3 && args[0].text == kBluez) {
    OwnerChanged(args[2].text);
  }
}

void BluezCore::Refresh(std::function<void(bool)> done, uint64_t timeout_us) {
  CallMethod("/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", nullptr, timeout_us,
             [this, done = std::move(done)](Reply& reply) {
               if (!reply.Ok() || reply.args.empty()) {
                 // Without an owner of org.bluez nothing it told is true any more; a slow answer keeps the cache.
                 if (reply.error == "org.freedesktop.DBus.Error.ServiceUnknown" ||
                     reply.error == "org.freedesktop.DBus.Error.NameHasNoOwner") {
                   ReplaceObjects({}, false);
                 }
                 done(false);
                 return;
               }
               const std::string problem = ReplyProblem(reply, "GetManagedObjects", "a{oa{sa{sv}}}");
               if (!problem.empty()) {
                 Log(PlatformLogTopic::Connection, problem);
                 done(false);
                 return;
               }
               std::map<std::string, Interfaces> objects;
               for (const Value& entry : reply.args[0].items) {
                 if (entry.items.size() != 2) continue;
                 Interfaces object = InterfacesFrom(entry.items[1]);
                 CheckObject(entry.items[0].text, &object);
                 objects[entry.items[0].text] = std::move(object);
               }
               ReplaceObjects(std::move(objects), true);
               done(true);
             });
}

void BluezCore::WithObjects(std::function<void()> fn) {
  bool loaded;
  {
    std::lock_guard lock(mutex_);
    loaded = loaded_;
  }
  if (loaded) return fn();
  Refresh([fn = std::move(fn)](bool) { fn(); });
}

// CheckProps drops the properties that cannot be used, each with a log line; the rest stand.
void BluezCore::CheckProps(const std::string& path, const std::string& iface, Props* props) {
  for (auto it = props->begin(); it != props->end();) {
    const std::string problem = PropertyProblem(iface, it->first, it->second);
    if (problem.empty()) {
      ++it;
      continue;
    }
    Log(TopicOf(iface, it->first), "Ignored the property " + it->first + " of " + path + ": " + problem + ".");
    it = props->erase(it);
  }
}

void BluezCore::CheckObject(const std::string& path, Interfaces* object) {
  for (auto& [iface, props] : *object) CheckProps(path, iface, &props);
}

void BluezCore::ReplaceObjects(std::map<std::string, Interfaces> objects, bool loaded) {
  std::lock_guard lock(mutex_);
  objects_ = std::move(objects);
  loaded_ = loaded;
}

void BluezCore::InterfacesAdded(const std::string& path, Interfaces added) {
  CheckObject(path, &added);
  bool device_added = false;
  bool service_added = false;
  Props device;
  {
    std::lock_guard lock(mutex_);
    Interfaces& object = objects_[path];
    for (auto& [iface, props] : added) {
      if (iface == kDeviceIface) device_added = true, device = props;
      if (iface == kServiceIface) service_added = true;
      object[iface] = std::move(props);
    }
  }
  if (device_added) DeviceChanged(path, device, true);
  // The services of a first export that follow the device's ServicesResolved are no change of them.
  if (service_added && first_export_.count(DeviceOf(path)) == 0) ServicesChanged(DeviceOf(path), {}, path);
}

void BluezCore::InterfacesRemoved(const std::string& path, const std::vector<std::string>& removed) {
  bool device_gone = false;
  bool service_gone = false;
  bool adapter_gone = false;
  std::vector<std::string> attributes_gone;
  // Only the adapter in use counts: another one unplugged ends nothing of ours.
  const std::string adapter = AdapterPath();
  {
    std::lock_guard lock(mutex_);
    auto found = objects_.find(path);
    if (found == objects_.end()) return;
    for (const std::string& iface : removed) {
      if (found->second.erase(iface) == 0) continue;
      device_gone |= iface == kDeviceIface;
      service_gone |= iface == kServiceIface;
      adapter_gone |= iface == kAdapterIface && path == adapter;
      if (iface == kCharacteristicIface || iface == kDescriptorIface) attributes_gone.push_back(iface);
    }
    if (found->second.empty()) objects_.erase(found);
  }
  const bool session = sessions_.count(path) != 0;
  if (session) ReadSocketsDry(path);
  socket_values_.erase(path);
  if (session) {
    CloseSession(path, false);
    // A link that dropped is reported as such; its subscriptions end with it.
    if (DeviceConnected(DeviceOf(path))) CharacteristicRemoved(path);
  }
  for (const std::string& iface : attributes_gone) EndCalls(path, iface);
  if (adapter_gone) AbortWatchers();
  if (service_gone) ServicesChanged(DeviceOf(path), path);
  if (device_gone) {
    bool ours;
    {
      std::lock_guard lock(mutex_);
      ours = quiet_.erase(path) != 0 && !LinkHeldLocked(path);
      opened_here_.erase(path);
      acquired_mtu_.erase(path);
    }
    // NOTE: bluetoothd drops a Connect under way with the device, unanswered (device.c, device_free: "if
    // (device->connect) dbus_message_unref(device->connect)"). It is forgotten, so that a request for the
    // device that bluetoothd lists again connects it at once; the call's late timeout changes nothing.
    connecting_.erase(path);
    LinkDown(path);
    if (!ours) FireDevices(path, kConnectionStatusChanged);
    EndSubscriptionsOf(path, "the link to the device was lost");
    // Once the link's end is settled: the calls that bluetoothd dropped with the device end.
    EndDeviceCalls(path);
  }
}

void BluezCore::PropertiesChanged(const std::string& path, const std::string& iface, const Props& unchecked,
                                  const std::vector<std::string>& invalidated) {
  Props changed = unchecked;
  CheckProps(path, iface, &changed);
  {
    std::lock_guard lock(mutex_);
    auto object = objects_.find(path);
    if (object == objects_.end()) return;
    auto props = object->second.find(iface);
    if (props == object->second.end()) return;
    for (const auto& [key, value] : changed) props->second[key] = value;
    for (const std::string& key : invalidated) props->second.erase(key);
  }
  if (iface == kAdapterIface) {
    auto powered = changed.find("Powered");
    if (powered != changed.end() && !powered->second.Bool() && path == AdapterPath()) AbortWatchers(kPoweredOffText);
    if (changed.count("Discovering") != 0) discovery_.DiscoveringChanged(path);
  } else if (iface == kDeviceIface) {
    DeviceChanged(path, changed, false);
  } else if (iface == kCharacteristicIface) {
    auto value = changed.find("Value");
    if (value != changed.end() || std::find(invalidated.begin(), invalidated.end(), "Value") != invalidated.end()) {
      socket_values_.erase(path);
    }
    auto session = sessions_.find(path);
    // During an AcquireNotify session the values come through its socket only.
    if (value == changed.end() || session == sessions_.end() || session->second.fd >= 0) return;
    auto reading = reading_.find(path);
    if (reading != reading_.end()) {
      reading->second.values.push_back(value->second.AsBytes());
    } else {
      DeliverValue(path, value->second.AsBytes());
    }
  }
}

void BluezCore::DeviceChanged(const std::string& path, const Props& changed, bool added) {
  if (added) discovery_.DeviceSeen(path, changed);
  bool advertised = added && changed.count("RSSI") != 0;
  for (const auto& [key, value] : changed) advertised |= !added && IsAdvertisingKey(key);
  if (advertised) {
    std::vector<std::shared_ptr<BluezWatcher>> watchers;
    {
      std::lock_guard lock(mutex_);
      for (const auto& weak : watchers_) {
        if (auto watcher = weak.lock()) watchers.push_back(watcher);
      }
    }
    const std::optional<Props> device = PropsOf(path, kDeviceIface);
    // NOTE: each adapter files the devices it hears under itself (Device1's Adapter); another adapter's are
    // found by another discovery, and cannot be connected through this one.
    auto owner = device ? device->find("Adapter") : Props::const_iterator();
    const bool ours = device && (owner == device->end() || owner->second.text == AdapterPath());
    if (!watchers.empty() && ours) {
      auto rssi = device->find("RSSI");
      auto address = device->find("Address");
      const std::optional<uint64_t> parsed =
          address != device->end() ? ParseAddress(address->second.text) : std::nullopt;
      // A device that is only cached (no RSSI) was not heard now.
      if (rssi != device->end() && parsed) {
        const auto sections = RebuildSections(*device);
        for (const auto& watcher : watchers) {
          // The signature check keeps RSSI an int16.
          watcher->Offer(*parsed, static_cast<int16_t>(rssi->second.number), sections);
        }
      }
    }
  }
  if (added) return;
  if (changed.count("Name") != 0) FireDevices(path, kNameChanged);
  auto connected = changed.find("Connected");
  if (connected != changed.end()) {
    bool quiet = false;
    if (!connected->second.Bool()) {
      {
        std::lock_guard lock(mutex_);
        opened_here_.erase(path);
        quiet = quiet_.count(path) != 0 && !LinkHeldLocked(path);
      }
      LinkDown(path);
    }
    // A link that this process closes is not reported as a drop; the application already knows. An object
    // that holds the link now came after the close began (another client connected while bluetoothd kept
    // the link for its disconnect timer): its owner does not know, and is told.
    if (!quiet) FireDevices(path, kConnectionStatusChanged);
    if (!connected->second.Bool()) EndSubscriptionsOf(path, "the link to the device was lost");
  }
  auto resolved = changed.find("ServicesResolved");
  if (resolved != changed.end() && resolved->second.Bool()) Resolved(path, true);
}

void BluezCore::LinkDown(const std::string& device_path) {
  FinishWaiters(device_path, false);
  // The Value updates held for reads of the device's characteristics still unanswered came while the link was
  // up: they are notifications, handed on before the link's end ends their subscriptions.
  const std::string prefix = device_path + "/";
  for (auto it = reading_.lower_bound(prefix); it != reading_.end() && it->first.rfind(prefix, 0) == 0; ++it) {
    std::vector<Bytes> values;
    values.swap(it->second.values);
    for (const Bytes& value : values) DeliverValue(it->first, value);
  }
  // A burst of service changes not told yet is no change of a connection any more: the link's end is told
  // instead, and the next connection discovers anew. NOTE: bluetoothd removes a device's services before its
  // link's end is told when the adapter is unplugged (adapter.c, adapter_remove: device_remove, whose
  // disconnect_all reaches no controller, so Connected never turns false; device_free runs
  // btd_gatt_client_destroy before the device's own InterfacesRemoved), and may do so when it drops its cache
  // as the ATT channel closes (device.c, att_disconnected_cb: gatt_cache_cleanup), before Connected=false.
  CancelServicesChanged(device_path);
  // NOTE: bluetoothd keeps a StartNotify session across the link's end when it keeps the device's objects
  // (the default "[GATT] Cache = always", device.c, gatt_cache_cleanup): btd_gatt_client_disconnected keeps
  // its clients and btd_gatt_client_connected registers them again at the next connection, by any program.
  // The subscription ended with the link, so the session is stopped (characteristic_stop_notify takes it
  // while disconnected); a socket session ends with its socket. The subscribers learn it once the link's
  // loss is reported (EndSubscriptionsOf). What a socket still holds came before the link's end (bluetoothd
  // writes each notification as it comes and shuts the sockets down as the link goes): it is handed on first,
  // however much the bus thread took in before it came back to the sockets.
  ReadSocketsDry(device_path);
  CloseSessionsOf(device_path);
}

void BluezCore::EndSubscriptionsOf(const std::string& device_path, const std::string& reason) {
  std::vector<std::weak_ptr<BluezCharacteristic>> subscribers;
  for (const auto& object : LiveCharacteristics(device_path, true)) {
    if (object->subscription() == Subscription::kSubscribed) subscribers.push_back(object);
  }
  NotificationsLost(subscribers, reason);
}

// NOTE: the objects are let go only once the lock is released: the last reference of one, let go under the
// lock while another thread let its own go, would run its destructor there, whose link hold takes the lock.
std::vector<std::shared_ptr<BluezCharacteristic>> BluezCore::LiveCharacteristics(const std::string& path,
                                                                                  bool under) {
  std::vector<std::shared_ptr<BluezCharacteristic>> live;
  std::lock_guard lock(mutex_);
  for (auto it = under ? characteristics_.begin() : characteristics_.find(path); it != characteristics_.end(); ++it) {
    if (under && !path.empty() && it->first.rfind(path + "/", 0) != 0) continue;
    for (const auto& weak : it->second) {
      if (auto object = weak.lock()) live.push_back(std::move(object));
    }
    if (!under) break;
  }
  return live;
}

void BluezCore::FinishWaiters(const std::string& device_path, bool ok) {
  auto found = waiters_.find(device_path);
  if (found == waiters_.end()) return;
  std::vector<std::function<void(bool)>> waiters = std::move(found->second);
  waiters_.erase(found);
  for (auto& waiter : waiters) waiter(ok);
}

bool BluezCore::HasServices(const std::string& device_path) {
  const std::string prefix = device_path + "/";
  std::lock_guard lock(mutex_);
  for (auto it = objects_.lower_bound(prefix); it != objects_.end() && it->first.rfind(prefix, 0) == 0; ++it) {
    if (it->second.count(kServiceIface) != 0) return true;
  }
  return false;
}

// NOTE: bluetoothd holds its signals back per object and, when a message goes out before they were sent, sends
// them in the order the objects first had one (gdbus/object.c, g_dbus_flush): the device's UUIDs, changed
// before its services were exported (device.c, gatt_client_ready_cb), take its ServicesResolved ahead of the
// services' InterfacesAdded. Its answer to GetManagedObjects lists every object it has and goes out after
// every signal it held (g_dbus_send_message flushes first), so it settles what the device has. It may also
// have none: a discovery that failed on an ATT error sets ServicesResolved all the same and exports nothing
// (gatt_client_ready_cb: "if (!success) { device_svc_resolved(..., -EIO)"). A discovery that succeeded names
// each primary service in UUIDs (add_gatt_service: btd_device_add_uuid), the GAP service at least, so a
// resolved device with no service and an empty UUIDs was not discovered. With services in UUIDs and none
// exported, bluetoothd may hold them for its own plugins (claimed services, not exported before 5.80 nor with
// "[GATT] ExportClaimedServices = no"), and the empty list stands; from 5.69 on a failed discovery also keeps
// the advertised UUIDs (device_add_eir_uuids), which cannot be told from that.
void BluezCore::Resolved(const std::string& device_path, bool first) {
  if (HasServices(device_path)) return FinishWaiters(device_path, true);
  if (first) first_export_.insert(device_path);
  if (!checking_.insert(device_path).second) return;
  Refresh(
      [this, device_path](bool) {
        checking_.erase(device_path);
        first_export_.erase(device_path);
        const std::optional<Props> device = PropsOf(device_path, kDeviceIface);
        if (!device) return FinishWaiters(device_path, false);
        auto flag = [&](const char* key) {
          auto found = device->find(key);
          return found != device->end() && found->second.Bool();
        };
        // A link that went meanwhile finished the waiters; a discovery under way again finishes them later.
        if (!flag("Connected") || !flag("ServicesResolved")) return;
        if (HasServices(device_path)) return FinishWaiters(device_path, true);
        auto uuids = device->find("UUIDs");
        if (uuids != device->end() && uuids->second.Texts().empty()) {
          Log(PlatformLogTopic::Discovery, "bluetoothd resolved the services of " + device_path +
                                               " but found none: its GATT discovery of the device failed.");
          return FinishWaiters(device_path, false);
        }
        FinishWaiters(device_path, true);
      },
      kServicesCheckUs);
}

// NOTE: bluetoothd tells no end of its discovery after a Service Changed (device.c,
// gatt_client_service_changed only stores the database). A burst is told once no service it removed is
// missing, 100 ms after its last change, and at most kServiceBackMs after it when one is: a replaced service
// comes back under the same path, so that a Discover on the event finds it; one that does not come back (or
// comes back under other handles) is told as gone. The database that bluetoothd drops as the ATT channel closes while the link still stands
// ("[GATT] Cache = no", or "yes" with a device that is not bonded: att_disconnected_cb, gatt_cache_cleanup)
// removes every service the same way, and the link's end follows within the kernel's disconnect time-out
// (2 s): it cancels the burst, so that the link's end is told, not a services change.
void BluezCore::ServicesChanged(const std::string& device_path, const std::string& removed,
                                const std::string& added) {
  const std::optional<Props> device = PropsOf(device_path, kDeviceIface);
  if (!device) return;
  auto resolved = device->find("ServicesResolved");
  if (resolved == device->end() || !resolved->second.Bool()) return;
  ServicesBurst& burst = services_bursts_[device_path];
  if (!removed.empty()) burst.missing.insert(removed);
  // Only the service itself, back under its path, ends its wait: bluetoothd exports the services of one
  // change in the order of their handles, a new one ahead of a replaced one still being discovered.
  if (!added.empty()) burst.missing.erase(added);
  if (burst.timer != 0) CancelTimer(burst.timer);
  burst.timer = AddTimer(burst.missing.empty() ? kServicesChangedBurstMs : kServiceBackMs, [this, device_path] {
    auto found = services_bursts_.find(device_path);
    if (found == services_bursts_.end()) return;
    std::vector<std::pair<std::weak_ptr<BluezCharacteristic>, uint64_t>> ended = std::move(found->second.ended);
    services_bursts_.erase(found);
    for (const auto& [weak, session] : ended) {
      // An object that subscribed again meanwhile keeps its new session.
      const std::shared_ptr<BluezCharacteristic> object = weak.lock();
      if (object == nullptr || object->NotificationSession() != session) continue;
      NotificationsLost({object}, "bluetoothd removed the characteristic (the device's services changed)");
      // The ended subscription counted as one while it was held: a session that another object opened on the
      // characteristic meanwhile, and let go, ends with its last subscriber (as an Unsubscribe ends it).
      const std::string path = object->Path();
      Serial(path, [this, path](std::function<void()> next) {
        if (!Subscribed(path)) CloseSession(path, true);
        next();
      });
    }
    // The requests that waited for the change go on once a service is there; with none yet, bluetoothd's
    // discovery is still under way (ServicesResolved stays set through it), and the next export or the link's
    // end finishes them, as for the first discovery (see EnsureResolved).
    if (waiters_.count(device_path) != 0 && HasServices(device_path)) FinishWaiters(device_path, true);
    FireDevices(device_path, kGattServicesChanged);
  });
}

void BluezCore::CancelServicesChanged(const std::string& device_path) {
  auto found = services_bursts_.find(device_path);
  if (found == services_bursts_.end()) return;
  if (found->second.timer != 0) CancelTimer(found->second.timer);
  services_bursts_.erase(found);
}

void BluezCore::FireDevices(const std::string& device_path, int event) {
  std::vector<std::shared_ptr<BluezDevice>> devices;
  {
    std::lock_guard lock(mutex_);
    auto found = devices_.find(device_path);
    if (found == devices_.end()) return;
    for (const auto& weak : found->second) {
      if (auto device = weak.lock()) devices.push_back(device);
    }
  }
  for (const auto& device : devices) device->Fire(static_cast<DeviceEvent>(event));
}

void BluezCore::AbortWatchers(const HString& detail) {
  std::vector<std::shared_ptr<BluezWatcher>> watchers;
  {
    std::lock_guard lock(mutex_);
    for (const auto& weak : watchers_) {
      if (auto watcher = weak.lock()) watchers.push_back(watcher);
    }
  }
  // bluetoothd ends the discovery sessions of an adapter powered off or gone, and forgets all when it exits.
  discovery_.Forget();
  for (const auto& watcher : watchers) watcher->Abort(BluetoothError::RadioNotAvailable, detail);
}

void BluezCore::OwnerChanged(const std::string& new_owner) {
  if (new_owner == owner_) return;
  if (!owner_.empty()) OwnerGone();
  WatchOwner(new_owner);
  // A bluetoothd that (re)started: what it has is learnt afresh.
  if (!new_owner.empty()) Refresh([](bool) {});
}

// OwnerGone forgets everything bluetoothd told: calls waiting for its answer end, a running scan ends as
// one the system stopped, and each device that was connected is reported disconnected once.
void BluezCore::OwnerGone() {
  // What the notification sockets still hold came before bluetoothd left.
  ReadSocketsDry("");
  std::vector<std::string> connected;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [path, object] : objects_) {
      auto device = object.find(kDeviceIface);
      if (device == object.end()) continue;
      auto flag = device->second.find("Connected");
      if (flag != device->second.end() && flag->second.Bool()) connected.push_back(path);
    }
    objects_.clear();
    loaded_ = false;
    opened_here_.clear();
    quiet_.clear();
    acquired_mtu_.clear();
  }
  // An ended call may make another one (a pairing unregisters its agent); the bus answers those itself.
  std::map<uint64_t, Pending> pending;
  pending.swap(pending_);
  for (auto& [id, call] : pending) {
    Reply reply{"org.freedesktop.DBus.Error.NoReply", "bluetoothd left the bus.", {}, {}};
    call.done(reply);
  }
  for (auto& [path, session] : sessions_) {
    if (session.fd >= 0) close(session.fd);
  }
  sessions_.clear();
  socket_values_.clear();
  for (auto& [path, burst] : services_bursts_) CancelTimer(burst.timer);
  services_bursts_.clear();
  std::vector<std::string> waiting;
  for (const auto& [path, list] : waiters_) waiting.push_back(path);
  for (const std::string& path : waiting) FinishWaiters(path, false);
  reading_.clear();
  agent_.Forget();
  AbortWatchers();
  for (const std::string& path : connected) FireDevices(path, kConnectionStatusChanged);
  // The sessions went with bluetoothd; the subscriptions end with them.
  EndSubscriptionsOf({}, "bluetoothd left the bus");
}

void BluezCore::DeliverValue(const std::string& characteristic_path, const Bytes& value) {
  std::vector<std::shared_ptr<BluezCharacteristic>> targets;
  for (auto& object : LiveCharacteristics(characteristic_path, false)) {
    if (object->subscription() != Subscription::kUnsubscribed) targets.push_back(std::move(object));
  }
  if (targets.empty()) return;
  const int64_t timestamp = sim::TimestampMs();
  for (const auto& object : targets) object->Deliver(value, timestamp);
}

bool BluezCore::Subscribed(const std::string& characteristic_path) {
  for (const auto& object : LiveCharacteristics(characteristic_path, false)) {
    if (object->subscription() == Subscription::kSubscribed) return true;
  }
  return false;
}

void BluezCore::ReadStarted(const std::string& characteristic_path) { ++reading_[characteristic_path].count; }

void BluezCore::ReadAnswered(const std::string& characteristic_path, const Reply& reply) {
  if (reply.Ok()) socket_values_.erase(characteristic_path);
  auto reading = reading_.find(characteristic_path);
  if (reading == reading_.end()) return;
  std::vector<Bytes> values;
  if (--reading->second.count == 0) {
    values.swap(reading->second.values);
    reading_.erase(reading);
  }
  // NOTE: bluetoothd sends the Value update of a read just before the read's answer, so it is the last one
  // that came; those before it were notifications.
  if (reply.Ok() && !values.empty() && !reply.args.empty() && values.back() == reply.args[0].AsBytes()) {
    values.pop_back();
  }
  for (const Bytes& value : values) DeliverValue(characteristic_path, value);
}

std::optional<Bytes> BluezCore::SocketValue(const std::string& characteristic_path) const {
  auto found = socket_values_.find(characteristic_path);
  if (found == socket_values_.end()) return std::nullopt;
  return found->second;
}

// ---- Connections, serial operations and notification sessions

void BluezCore::EnsureResolved(const std::string& device_path, std::function<void(bool)> done) {
  const std::optional<Props> device = PropsOf(device_path, kDeviceIface);
  if (!device) {
    done(false);
    return;
  }
  auto flag = [&](const char* key) {
    auto found = device->find(key);
    return found != device->end() && found->second.Bool();
  };
  // A services change under way with a removed service still missing (bluetoothd discovers it anew after a
  // Service Changed, ServicesResolved staying set): the request waits for it, as the first discovery waits
  // for ServicesResolved. The change's telling (within kServiceBackMs) or the link's end finishes the wait.
  const auto burst = services_bursts_.find(device_path);
  const bool changing = burst != services_bursts_.end() && !burst->second.missing.empty();
  if (flag("Connected") && flag("ServicesResolved") && HasServices(device_path) && !changing) {
    done(true);
    return;
  }
  // NOTE: the wait has no bound of its own. bluetoothd's GATT discovery ends with ServicesResolved or with the
  // link, however long the database takes: ATT bounds each of its requests and shuts the bearer down when one
  // goes unanswered (src/shared/att.c, timeout_cb: io_shutdown). Any bound here would cut short a discovery the
  // application still waits for (its Timeout, or none); what ends the wait is ServicesResolved, the link's end,
  // the device's removal, a failed Connect, bluetoothd leaving the bus, or Shutdown.
  waiters_[device_path].push_back(std::move(done));
  if (changing) return;
  if (flag("Connected") && flag("ServicesResolved")) return Resolved(device_path, false);
  if (flag("Connected") || connecting_.count(device_path) != 0) return;
  AskConnect(device_path);
}

void BluezCore::AskConnect(const std::string& device_path) {
  const uint64_t call = next_id_++;
  connecting_[device_path] = call;
  CallMethod(device_path, kDeviceIface, "Connect", nullptr, kConnectCallUs, [this, device_path, call](Reply& reply) {
    // A Connect that was forgotten (its device went meanwhile) answers for no later one.
    auto current = connecting_.find(device_path);
    if (current == connecting_.end() || current->second != call) return;
    // NOTE: bluetoothd refuses a Connect while another program's Connect or Pair of the device is under way
    // (device.c, dev_connect: "if (dev->bonding) return btd_error_in_progress(msg)", and for LE "if
    // (dev->connect)"). The device is being connected, not unreachable: the link that the other call opens
    // serves as well, so the waiters wait on for Connected and ServicesResolved. That call may fail, though, and
    // then bluetoothd answers only its caller and changes no property (att_connect_cb: "device->connect =
    // NULL"): so the Connect is asked again after a pause while the waiters wait and the device is not
    // connected. It stays in connecting_ meanwhile, so that no second one is asked beside it.
    if (reply.error == "org.bluez.Error.InProgress") {
      AddTimer(kConnectAgainMs, [this, device_path, call] {
        auto pausing = connecting_.find(device_path);
        if (pausing == connecting_.end() || pausing->second != call) return;
        connecting_.erase(pausing);
        if (waiters_.count(device_path) != 0 && !DeviceConnected(device_path)) AskConnect(device_path);
      });
      return;
    }
    connecting_.erase(current);
    if (!reply.Ok()) {
      FinishWaiters(device_path, false);
      return;
    }
    bool held;
    {
      std::lock_guard lock(mutex_);
      opened_here_.insert(device_path);
      held = LinkHeldLocked(device_path);
    }
    // NOTE: a Connect asked again can be answered after its waiters gave up and every object of the device
    // went (LinkReleased found no link opened here): the link is closed as the last hold's release would.
    if (!held && waiters_.count(device_path) == 0) {
      LinkReleased(device_path);
      return;
    }
    const std::optional<Props> now = PropsOf(device_path, kDeviceIface);
    if (now) {
      auto resolved = now->find("ServicesResolved");
      if (resolved != now->end() && resolved->second.Bool()) Resolved(device_path, false);
    }
  });
}

void BluezCore::Serial(const std::string& path, std::function<void(std::function<void()> next)> task) {
  auto& queue = serial_[path];
  queue.push_back(std::move(task));
  if (queue.size() == 1) RunSerialHead(path);
}

// RunSerialHead runs the queue's head; its `next` drops it and starts the following one.
void BluezCore::RunSerialHead(const std::string& path) {
  auto found = serial_.find(path);
  if (found == serial_.end() || found->second.empty()) return;
  auto head = found->second.front();
  head([this, path] {
    auto queue = serial_.find(path);
    if (queue == serial_.end()) return;
    queue->second.pop_front();
    if (queue->second.empty()) {
      serial_.erase(queue);
      return;
    }
    if (closing_) {
      RunSerialHead(path);
    } else {
      Post([this, path] { RunSerialHead(path); });
    }
  });
}

void BluezCore::OpenSession(const std::string& characteristic_path, int fd, uint16_t mtu) {
  CloseSession(characteristic_path, false);
  sessions_[characteristic_path] = Session{fd, next_id_++};
  if (fd >= 0) {
    // NOTE: bluetoothd promises a SOCK_SEQPACKET socket; anything else fails like a socket that broke.
    struct stat info {};
    int type = 0;
    socklen_t size = sizeof type;
    if (fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode) ||
        getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_SEQPACKET) {
      // After the caller's answer, so that the subscription is in place before it is reported lost.
      const uint64_t id = sessions_[characteristic_path].id;
      (void)Post([this, characteristic_path, id] {
        auto session = sessions_.find(characteristic_path);
        if (session != sessions_.end() && session->second.id == id) {
          SocketFailed(characteristic_path, "bluetoothd gave a descriptor that is not a packet socket");
        }
      });
    }
  }
  if (mtu != 0) {
    std::lock_guard lock(mutex_);
    acquired_mtu_[DeviceOf(characteristic_path)] = mtu;
  }
}

void BluezCore::CloseSession(const std::string& characteristic_path, bool stop_notify) {
  auto found = sessions_.find(characteristic_path);
  if (found == sessions_.end()) return;
  if (found->second.fd >= 0) {
    close(found->second.fd);
  } else if (stop_notify) {
    CallMethod(characteristic_path, kCharacteristicIface, "StopNotify", nullptr, kDefaultCallUs, [](Reply&) {});
  }
  sessions_.erase(found);
}

void BluezCore::CloseSessionsOf(const std::string& device_path) {
  std::vector<std::string> closing;
  for (const auto& [path, session] : sessions_) {
    if (path.rfind(device_path + "/", 0) == 0) closing.push_back(path);
  }
  for (const std::string& path : closing) CloseSession(path, true);
}

bool BluezCore::HasSession(const std::string& characteristic_path) { return sessions_.count(characteristic_path) != 0; }

namespace {

// HungUp tells whether the other end of a notification socket has closed it.
bool HungUp(int fd) {
  pollfd state{fd, POLLRDHUP, 0};
  return poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) != 0;
}

// Queued tells whether records with bytes in them still wait in the socket.
bool Queued(int fd) {
  int bytes = 0;
  return ioctl(fd, FIONREAD, &bytes) == 0 && bytes > 0;
}

}  // namespace

void BluezCore::ReadSocketsDry(const std::string& path) {
  std::vector<std::pair<std::string, int>> sockets;
  for (const auto& [session_path, session] : sessions_) {
    if (session.fd >= 0 && (path.empty() || session_path == path || session_path.rfind(path + "/", 0) == 0)) {
      sockets.emplace_back(session_path, session.fd);
    }
  }
  for (const auto& [session_path, fd] : sockets) ReadSocket(session_path, fd, true);
}

void BluezCore::ReadSocket(const std::string& characteristic_path, int fd, bool ending) {
  // One record is one notification (SOCK_SEQPACKET), written whole. NOTE: the MTU that AcquireNotify gave
  // bounds no record: the link's MTU can grow later (shared/att.c, bt_att_set_mtu, on the device's own MTU
  // exchange or an EATT channel) and bluetoothd writes each notification as it came (gatt-client.c,
  // notify_io_cb). Only a record cut short (MSG_TRUNC) fails the socket. A device may notify an empty
  // value, which bluetoothd writes as an empty record: that reads as 0 bytes just as the end of the stream
  // does, and only the hang-up that bluetoothd's close raises, with no record of any length behind it, tells
  // the end. (Empty values that came last before the close cannot be told from it, and go with the session.)
  uint8_t record[kRecordSize];
  for (int i = 0; ending || i < 64; ++i) {
    iovec part{record, sizeof record};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    const ssize_t got = recvmsg(fd, &message, MSG_DONTWAIT);
    if (got > 0 && (message.msg_flags & MSG_TRUNC) == 0) {
      const Bytes value(record, record + got);
      socket_values_[characteristic_path] = value;
      DeliverValue(characteristic_path, value);
      continue;
    }
    if (got == 0 && (!HungUp(fd) || Queued(fd))) {
      socket_values_[characteristic_path].clear();
      DeliverValue(characteristic_path, Bytes());
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (ending) return;
    std::string reason;
    if (got > 0) {
      reason = "a notification larger than " + std::to_string(kRecordSize) + " bytes";
    } else if (got == 0) {
      reason = "the notification socket was closed";
    } else {
      reason = std::string("reading the notification socket failed: ") + std::strerror(errno);
    }
    SocketFailed(characteristic_path, reason);
    return;
  }
}

// SocketFailed ends a notification socket that failed and asks bluetoothd for the notifications by
// StartNotify instead; when it refuses, the characteristic's objects learn that its notifications are
// lost. A session closed or replaced meanwhile (the link dropped, bluetoothd left) needs neither.
void BluezCore::SocketFailed(const std::string& characteristic_path, const std::string& reason) {
  auto session = sessions_.find(characteristic_path);
  if (session == sessions_.end() || session->second.fd < 0) return;
  close(session->second.fd);
  session->second.fd = -1;
  const uint64_t id = session->second.id;
  CallMethod(characteristic_path, kCharacteristicIface, "StartNotify", nullptr, kGattCallUs,
             [this, characteristic_path, id, reason](Reply& reply) {
               auto now = sessions_.find(characteristic_path);
               if (now == sessions_.end() && reply.Ok()) {
                 // NOTE: the link dropped meanwhile (the socket closed with it), and bluetoothd keeps a
                 // StartNotify of a disconnected device for the next connection ("We will automatically try
                 // and register all clients when a GATT client becomes ready", gatt-client.c,
                 // characteristic_start_notify): the session that nobody here holds is ended.
                 CallMethod(characteristic_path, kCharacteristicIface, "StopNotify", nullptr, kDefaultCallUs,
                            [](Reply&) {});
                 return;
               }
               if (now == sessions_.end() || now->second.id != id) return;
               if (reply.Ok()) {
                 Log(PlatformLogTopic::Subscriptions, "The notification socket of " + characteristic_path +
                                                          " failed (" + reason + "); StartNotify took its place.");
                 return;
               }
               sessions_.erase(now);
               // A link that dropped is reported as such; its subscriptions end with it. NOTE: bluetoothd
               // answers StartNotify with NotConnected only while the device is disconnecting (gatt-client.c,
               // characteristic_start_notify: device_is_disconnecting): a program's Disconnect shut the ATT
               // channel down, which closed the socket, and the link closes when the DISCONNECT_TIMER has run
               // (device.c, device_request_disconnect), Connected=false telling then. That is the link's end too.
               if (!DeviceConnected(DeviceOf(characteristic_path)) || reply.error == "org.bluez.Error.NotConnected") {
                 return;
               }
               NotificationsLost(Subscribers(characteristic_path),
                                 reason + "; StartNotify failed with " + reply.error +
                                     (reply.message.empty() ? "" : ": " + reply.message));
             });
}

bool BluezCore::DeviceConnected(const std::string& device_path) {
  const std::optional<Props> device = PropsOf(device_path, kDeviceIface);
  auto connected = device ? device->find("Connected") : Props::const_iterator();
  return device && connected != device->end() && connected->second.Bool();
}

std::vector<std::weak_ptr<BluezCharacteristic>> BluezCore::Subscribers(const std::string& characteristic_path) {
  std::vector<std::weak_ptr<BluezCharacteristic>> subscribers;
  for (const auto& object : LiveCharacteristics(characteristic_path, false)) {
    if (object->subscription() == Subscription::kSubscribed) subscribers.push_back(object);
  }
  return subscribers;
}

void BluezCore::NotificationsLost(const std::vector<std::weak_ptr<BluezCharacteristic>>& subscribers,
                                  const std::string& reason) {
  for (const auto& weak : subscribers) {
    auto object = weak.lock();
    if (object == nullptr || object->subscription() != Subscription::kSubscribed) continue;
    object->set_subscription(Subscription::kUnsubscribed);
    object->Lose(reason);
  }
}

// NOTE: bluetoothd removes a characteristic that a Service Changed replaced, also to export it again under the
// same path (gatt-client.c, discovery_parse_services: gatt_db_clear_range, then gatt_db_insert_service; the
// paths come from the handles, export_service), and freeing it ends the notification socket and the
// StartNotify sessions of every client (characteristic_free): the subscription is over. It removes every
// characteristic of a device that goes as well (an adapter unplugged: adapter.c, adapter_remove, device_remove),
// the device still connected: device_free runs btd_gatt_client_destroy before the device's own interface is
// gone, so the characteristics' InterfacesRemoved come first. That is the link's end, reported as such. The
// verdict waits for bluetoothd's answer to a Get of the device's Connected, which comes after the device's
// InterfacesRemoved when the device went: bluetoothd removes it with its characteristics in one go
// (btd_device_unref: g_dbus_unregister_interface, whose destroy is device_free), and gdbus sends the
// InterfacesRemoved it holds back before any answer (gdbus/object.c, g_dbus_send_message: g_dbus_flush), or at
// once when the object's last interface went (generic_unregister). Bus thread.
void BluezCore::CharacteristicRemoved(const std::string& characteristic_path) {
  const std::string device_path = DeviceOf(characteristic_path);
  // Those subscribed now: an object that subscribes to the characteristic exported again keeps its session.
  std::vector<std::weak_ptr<BluezCharacteristic>> subscribers = Subscribers(characteristic_path);
  if (subscribers.empty()) return;
  CallMethod(
      device_path, "org.freedesktop.DBus.Properties", "Get",
      [](sd_bus_message* message) { return sd_bus_message_append(message, "ss", kDeviceIface, "Connected"); },
      kDefaultCallUs, [this, device_path, subscribers = std::move(subscribers)](Reply&) {
        if (!DeviceConnected(device_path)) return;
        // The subscriptions end with the burst of service changes that removed the characteristic, when one is
        // under way: a link's end that comes before it tells them instead (CancelServicesChanged).
        auto burst = services_bursts_.find(device_path);
        if (burst == services_bursts_.end()) {
          NotificationsLost(subscribers, "bluetoothd removed the characteristic (the device's services changed)");
          return;
        }
        for (const auto& weak : subscribers) {
          if (const auto object = weak.lock()) burst->second.ended.emplace_back(object, object->NotificationSession());
        }
      });
}

// NOTE: bluetoothd never answers the calls under way on an attribute it removes: unregister_characteristic and
// unregister_descriptor cancel its read and write (gatt-client.c: bt_gatt_client_cancel), and bt_att's cancel
// runs only the request's destroy (shared/att.c, cancel_att_send_op), which frees the D-Bus call unanswered
// (async_dbus_op_free); a pending AcquireNotify goes the same way (sock_io_destroy). They end here as calls to
// an object that is gone, so that neither they nor the operations queued behind them (Serial) wait out the
// D-Bus timeout; a late answer finds no call.
void BluezCore::EndCalls(const std::string& path, const std::string& iface) {
  for (Pending& call : TakeCalls([&](const Pending& call) { return call.path == path && call.iface == iface; })) {
    Reply reply{kUnknownObject, "bluetoothd removed " + path + ".", {}, {}};
    call.done(reply);
  }
}

// NOTE: bluetoothd answers a Disconnect, and a RemoveDevice of a connected device, only once the link is down
// (device.c, device_request_disconnect keeps them in device->disconnects, which device_remove_connection answers
// before the device may go). A device that goes with them under way (the adapter unplugged: adapter.c,
// adapter_remove, device_remove, whose disconnect_all reaches no controller) is freed with them unanswered
// (device_free leaves device->disconnects alone). They end with the device, as answered: the link that the
// Disconnect closes went with it, and so did the device that RemoveDevice removes (a RemoveDevice of a device
// that was not connected is answered just after its InterfacesRemoved, with the same success). Any other call
// of the device ends as a call to an object that is gone.
void BluezCore::EndDeviceCalls(const std::string& device_path) {
  std::vector<Pending> ended = TakeCalls([&](const Pending& call) {
    return (call.path == device_path && call.iface == kDeviceIface) || call.about == device_path;
  });
  for (Pending& call : ended) {
    Reply reply;
    if (call.member != "Disconnect" && call.about != device_path) {
      reply = Reply{kUnknownObject, "bluetoothd removed " + device_path + ".", {}, {}};
    }
    call.done(reply);
  }
}

std::vector<BluezCore::Pending> BluezCore::TakeCalls(const std::function<bool(const Pending&)>& which) {
  std::vector<Pending> taken;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (which(it->second)) {
      taken.push_back(std::move(it->second));
      it = pending_.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

// ---- Cache queries and registries

std::optional<Props> BluezCore::PropsOf(const std::string& path, const char* iface) {
  std::lock_guard lock(mutex_);
  auto object = objects_.find(path);
  if (object == objects_.end()) return std::nullopt;
  auto props = object->second.find(iface);
  if (props == object->second.end()) return std::nullopt;
  return props->second;
}

std::vector<std::pair<std::string, Props>> BluezCore::Children(const std::string& parent, const char* iface,
                                                               const char* link) {
  std::vector<std::pair<std::string, Props>> found;
  std::lock_guard lock(mutex_);
  if (std::strcmp(link, "Includes") == 0) {
    auto owner = objects_.find(parent);
    if (owner == objects_.end() || owner->second.count(iface) == 0) return found;
    auto includes = owner->second[iface].find("Includes");
    if (includes == owner->second[iface].end()) return found;
    for (const std::string& path : includes->second.Texts()) {
      auto object = objects_.find(path);
      if (object != objects_.end() && object->second.count(iface) != 0 && GattProblem(path, iface).empty()) {
        found.emplace_back(path, object->second[iface]);
      }
    }
  } else {
    for (auto& [path, object] : objects_) {
      auto props = object.find(iface);
      if (props == object.end()) continue;
      auto named = props->second.find(link);
      if (named != props->second.end() && named->second.text == parent && GattProblem(path, iface).empty()) {
        found.emplace_back(path, props->second);
      }
    }
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return HandleOf(a.first, a.second) < HandleOf(b.first, b.second); });
  return found;
}

// GattProblem says why a GATT object is malformed: no UUID, a parent that is missing or itself malformed, or
// a path that is not one step below its parent's. Empty for a well-formed object.
std::string BluezCore::GattProblem(const std::string& path, const char* iface) {
  const GattLevel* level = nullptr;
  for (const GattLevel& candidate : kGattLevels) {
    if (std::strcmp(candidate.iface, iface) == 0) level = &candidate;
  }
  auto object = objects_.find(path);
  if (level == nullptr || object == objects_.end()) return {};
  auto props = object->second.find(iface);
  if (props == object->second.end()) return {};
  if (!UuidOf(props->second)) return "it has no UUID";
  auto link = props->second.find(level->link);
  if (link == props->second.end()) return std::string("it names no ") + level->parent_kind;
  const std::string& parent = link->second.text;
  auto owner = objects_.find(parent);
  if (owner == objects_.end() || owner->second.count(level->parent_iface) == 0) {
    return std::string("its ") + level->link + " " + parent + " names no " + level->parent_kind;
  }
  const size_t step = parent.size() + 1;
  if (path.size() <= step || path.compare(0, step, parent + "/") != 0 || path.find('/', step) != std::string::npos) {
    return std::string("it does not lie directly under its ") + level->parent_kind + " " + parent;
  }
  if (std::strcmp(level->parent_iface, kDeviceIface) != 0 && !GattProblem(parent, level->parent_iface).empty()) {
    return std::string("its ") + level->parent_kind + " " + parent + " is skipped";
  }
  return {};
}

void BluezCore::LogMalformed(const std::string& device_path) {
  std::vector<std::string> lines;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [path, object] : objects_) {
      if (path.rfind(device_path + "/", 0) != 0) continue;
      for (const GattLevel& level : kGattLevels) {
        if (object.count(level.iface) == 0) continue;
        const std::string problem = GattProblem(path, level.iface);
        if (!problem.empty()) lines.push_back("Skipped the GATT object " + path + ": " + problem + ".");
      }
    }
  }
  for (const std::string& line : lines) Log(PlatformLogTopic::Discovery, line);
}

void BluezCore::Log(PlatformLogTopic topic, const std::string& text) {
  std::vector<TypedEventHandler<BluetoothPlatform, PlatformLogEventArgs>> handlers;
  {
    std::lock_guard lock(mutex_);
    handlers.reserve(logged_.size());
    for (const auto& entry : logged_) handlers.push_back(entry.second);
  }
  sim->Fire(std::move(handlers), std::shared_ptr<BluetoothPlatform>(),
            std::shared_ptr<PlatformLogEventArgs>(std::make_shared<LogArgs>(topic, text)));
}

EventToken BluezCore::AddLogged(TypedEventHandler<BluetoothPlatform, PlatformLogEventArgs> handler) {
  std::lock_guard lock(mutex_);
  const EventToken token = NextToken();
  logged_.emplace(token.value, std::move(handler));
  return token;
}

void BluezCore::RemoveLogged(EventToken token) {
  decltype(logged_)::node_type removed;  // let go after the lock
  std::lock_guard lock(mutex_);
  removed = logged_.extract(token.value);
}

std::string BluezCore::AdapterPath() {
  const char* wanted = std::getenv("VELMORABLE_BT_ADAPTER");
  std::lock_guard lock(mutex_);
  const auto kept = objects_.find(adapter_);
  if (!adapter_.empty() && kept != objects_.end() && kept->second.count(kAdapterIface) != 0) return adapter_;
  adapter_.clear();
  // Before the first load the cache holds only what signals brought, perhaps an adapter plugged in just now
  // but not the one that comes first; the choice waits for the whole list.
  if (!loaded_) return adapter_;
  for (const auto& [path, object] : objects_) {
    if (object.count(kAdapterIface) == 0) continue;
    if (wanted == nullptr || *wanted == '\0' || path == std::string("/org/bluez/") + wanted) {
      adapter_ = path;
      break;
    }
  }
  return adapter_;
}

std::string BluezCore::DevicePathFor(uint64_t address) {
  const std::string adapter = AdapterPath();
  std::lock_guard lock(mutex_);
  for (const auto& [path, object] : objects_) {
    auto device = object.find(kDeviceIface);
    if (device == object.end()) continue;
    auto text = device->second.find("Address");
    auto owner = device->second.find("Adapter");
    if (text == device->second.end() || ParseAddress(text->second.text) != address) continue;
    if (owner == device->second.end() || owner->second.text == adapter) return path;
  }
  return {};
}

std::string BluezCore::DeviceOf(const std::string& path) {
  // /org/bluez/hci0/dev_XX_XX_XX_XX_XX_XX[/service...]
  const size_t device = path.find("/dev_");
  if (device == std::string::npos) return path;
  const size_t end = path.find('/', device + 1);
  return end == std::string::npos ? path : path.substr(0, end);
}

uint16_t BluezCore::AcquiredMtu(const std::string& device_path) {
  std::lock_guard lock(mutex_);
  auto found = acquired_mtu_.find(device_path);
  return found == acquired_mtu_.end() ? 0 : found->second;
}

bool BluezCore::LinkHeldLocked(const std::string& device_path) const {
  const auto hold = holds_.find(device_path);
  return hold != holds_.end() && !hold->second.expired();
}

std::shared_ptr<LinkHold> BluezCore::Hold(const std::string& device_path) {
  std::lock_guard lock(mutex_);
  auto& weak = holds_[device_path];
  auto hold = weak.lock();
  if (hold == nullptr) {
    hold = std::make_shared<LinkHold>(weak_from_this(), device_path);
    weak = hold;
  }
  return hold;
}

void BluezCore::Register(const std::shared_ptr<BluezWatcher>& watcher) {
  std::lock_guard lock(mutex_);
  std::erase_if(watchers_, [](const auto& weak) { return weak.expired(); });
  watchers_.push_back(watcher);
}

// The registries keep a path while an object of it lives: the paths whose objects are all gone are dropped as
// the registries grow, so that a process that meets one device after another keeps none of those it let go.
void BluezCore::Register(const std::string& path, const std::shared_ptr<BluezDevice>& device) {
  std::lock_guard lock(mutex_);
  sim::PruneExpiredWhenGrown(devices_, devices_prune_at_);
  auto& list = devices_[path];
  sim::PruneExpired(list);
  list.push_back(device);
}

void BluezCore::Register(const std::string& path, const std::shared_ptr<BluezCharacteristic>& characteristic) {
  std::lock_guard lock(mutex_);
  sim::PruneExpiredWhenGrown(characteristics_, characteristics_prune_at_);
  auto& list = characteristics_[path];
  sim::PruneExpired(list);
  list.push_back(characteristic);
}

void BluezCore::LinkReleased(const std::string& device_path) {
  {
    std::lock_guard lock(mutex_);
    auto hold = holds_.find(device_path);
    if (hold != holds_.end() && hold->second.expired()) holds_.erase(hold);
  }
  // NOTE: the notification sessions of the device end with the last object of the process that holds it,
  // also on a link that another program opened and keeps open: bluetoothd would keep them for as long as the
  // process runs, notifying for nobody and refusing the characteristic's AcquireNotify to every other
  // program (gatt-client.c, characteristic_acquire_notify: "Notify acquired", InProgress).
  Post([this, device_path] {
    bool close;
    {
      std::lock_guard lock(mutex_);
      // A new object of the device may have come meanwhile; it keeps the link and the sessions. A waiting
      // CloseLink closes them itself, and reports bluetoothd's answer.
      if (LinkHeldLocked(device_path)) return;
      if (closing_links_.count(device_path) != 0) return;
      close = opened_here_.erase(device_path) != 0;
    }
    CloseSessionsOf(device_path);
    if (close) CallMethod(device_path, kDeviceIface, "Disconnect", nullptr, kDefaultCallUs, [](Reply&) {});
  });
}

void BluezCore::CloseLink(const std::string& device_path, std::shared_ptr<LinkHold> hold, uint32_t timeout_ms,
                          std::function<void(Reply&)> done) {
  hold.reset();
  const int64_t now = NowMs();
  const int64_t bound_ms = timeout_ms == 0 ? static_cast<int64_t>(kDefaultCallUs / 1000) : timeout_ms;
  TryCloseLink(device_path, now + std::min<int64_t>(bound_ms / 2, kCloseWaitMs), now + bound_ms, std::move(done));
}

void BluezCore::TryCloseLink(const std::string& device_path, int64_t wait_until_ms, int64_t call_until_ms,
                             std::function<void(Reply&)> done) {
  bool held_elsewhere;
  bool close;
  bool released = false;
  {
    std::lock_guard lock(mutex_);
    held_elsewhere = LinkHeldLocked(device_path);
    close = opened_here_.count(device_path) != 0;
  }
  const bool wait = held_elsewhere && close && NowMs() < wait_until_ms;
  {
    std::lock_guard lock(mutex_);
    if (wait) {
      closing_links_.insert(device_path);
    } else {
      closing_links_.erase(device_path);
      held_elsewhere = LinkHeldLocked(device_path);
      released = !held_elsewhere;
      close = released && opened_here_.erase(device_path) != 0;
      if (close) quiet_.insert(device_path);
    }
  }
  if (wait) {
    AddTimer(10, [this, device_path, wait_until_ms, call_until_ms, done = std::move(done)]() mutable {
      TryCloseLink(device_path, wait_until_ms, call_until_ms, std::move(done));
    });
    return;
  }
  // The sessions end with the last hold, as in LinkReleased; with another hold left, its release ends them.
  if (released) CloseSessionsOf(device_path);
  if (!close) {
    Reply nothing_to_close;
    done(nothing_to_close);
    return;
  }
  const int64_t left_ms = call_until_ms - NowMs();
  const uint64_t timeout_us = static_cast<uint64_t>(left_ms > 1 ? left_ms : 1) * 1000;
  CallMethod(device_path, kDeviceIface, "Disconnect", nullptr, timeout_us,
             [this, device_path, done = std::move(done)](Reply& reply) {
               Unquiet(device_path);
               done(reply);
             });
}

void BluezCore::Quiet(const std::string& device_path) {
  std::lock_guard lock(mutex_);
  quiet_.insert(device_path);
}

void BluezCore::Unquiet(const std::string& device_path) {
  std::lock_guard lock(mutex_);
  quiet_.erase(device_path);
}

void BluezCore::ForgetLink(const std::string& device_path) {
  std::lock_guard lock(mutex_);
  opened_here_.erase(device_path);
}

bool BluezCore::Connected(const std::string& device_path) {
  const std::optional<Props> device = PropsOf(device_path, kDeviceIface);
  if (!device) return false;
  auto connected = device->find("Connected");
  return connected != device->end() && connected->second.Bool();
}

void BluezCore::PairingAnswered(const std::string& device_path, bool was_connected) {
  // NOTE: Pair "Connects to the remote device and initiate pairing procedure"; bluetoothd leaves that link
  // open whatever the outcome. It is a link opened here: the Pair's hold goes with its answer, and the link
  // is closed with the last hold, never while another user of the process (a Connect, a Discover) holds it.
  if (was_connected || !Connected(device_path)) return;
  std::lock_guard lock(mutex_);
  opened_here_.insert(device_path);
}

}  // namespace velmora::platform::bluetooth::bluez
