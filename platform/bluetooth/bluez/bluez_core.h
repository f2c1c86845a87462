// The shared core of the BlueZ backend: one bus thread that owns the sd-bus connection, the cache of
// bluetoothd's objects and properties that the signals keep current, and the registries of live platform
// objects that events reach. Internal to the BlueZ backend.
//
// Threads: the bus thread runs every D-Bus call, signal, timer and notification socket; completions and
// events are handed to the two handler threads of `sim` (completions, events), never run on the bus thread.
// Members marked "bus thread" must only be called there (from a task given to Post).
#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/bluez/agent.h"
#include "platform/bluetooth/bluez/dbus.h"
#include "platform/bluetooth/bluez/discovery.h"
#include "platform/bluetooth/sim/core.h"

namespace velmora::platform::bluetooth::bluez {

inline constexpr char kBluez[] = "org.bluez";
inline constexpr char kAdapterIface[] = "org.bluez.Adapter1";
inline constexpr char kDeviceIface[] = "org.bluez.Device1";
inline constexpr char kServiceIface[] = "org.bluez.GattService1";
inline constexpr char kCharacteristicIface[] = "org.bluez.GattCharacteristic1";
inline constexpr char kDescriptorIface[] = "org.bluez.GattDescriptor1";
inline constexpr char kAgentIface[] = "org.bluez.Agent1";
// The error of a call to an object that is gone, also of one that bluetoothd dropped with its object.
inline constexpr char kUnknownObject[] = "org.freedesktop.DBus.Error.UnknownObject";

// Call timeouts in microseconds: bluetoothd answers Connect and Pair only when the radio is done.
inline constexpr uint64_t kDefaultCallUs = 25'000'000;
// NOTE: bluetoothd answers an LE Connect when the kernel's attempt on its ATT socket ends (device.c,
// device_connect_le and att_connect_cb), and the kernel bounds that attempt by the socket's send timeout, 40 s
// (L2CAP_CONN_TIMEOUT), which bluetoothd leaves as it is. The wait outlasts it: a Connect forgotten sooner would
// leave a link that the kernel brings up afterwards with nobody here to close it.
inline constexpr uint64_t kConnectCallUs = 45'000'000;
inline constexpr uint64_t kPairCallUs = 120'000'000;
// kGattCallUs bounds the calls that bluetoothd answers only once the device has (ReadValue, WriteValue,
// AcquireNotify, StartNotify). NOTE: ATT bounds each request at 30 s from its send, after which bluetoothd fails
// the request and shuts the bearer down (src/shared/att.c, ATT_TIMEOUT_INTERVAL, timeout_cb: io_shutdown), and
// answers the call; the margin keeps the call waiting for that answer, so that a late success (a value written,
// notifications turned on) is never taken for a failure.
inline constexpr uint64_t kGattCallUs = 35'000'000;

class BluezCore;
class BluezWatcher;
class BluezDevice;
class BluezCharacteristic;

// LinkHold is held by every device and GATT object of one device; when the last one goes, the notification
// sessions of the device's characteristics end and a link that the backend opened is closed.
class LinkHold {
 public:
  LinkHold(std::weak_ptr<BluezCore> core, std::string device_path)
      : core_(std::move(core)), device_path_(std::move(device_path)) {}
  ~LinkHold();
  const std::string& device_path() const { return device_path_; }

 private:
  std::weak_ptr<BluezCore> core_;
  const std::string device_path_;
};

// BluezAsync is the backend's asynchronous operation (finished on the completion thread).
template <class T>
using BluezAsync = sim::SimAsyncOperation<T>;

class BluezCore : public std::enable_shared_from_this<BluezCore> {
 public:
  // BluezCore starts the two handler threads; Open connects. An empty address means the system bus
  // (DBUS_SYSTEM_BUS_ADDRESS is honoured).
  explicit BluezCore(std::string bus_address);
  ~BluezCore();

  // Open connects to the bus, learns who owns org.bluez and starts the bus thread; false (and no bus thread)
  // without a bus.
  bool Open();
  // Shutdown stops discovery, closes notification sockets and links opened here, unregisters the agent,
  // closes the bus and joins every thread. Bounded: it waits for no reply. Not from a backend thread.
  void Shutdown();
  bool IsShutDown() const { return shut_down_.load(); }

  // Post runs task on the bus thread; false (task dropped) without a bus or after Shutdown. Any thread.
  bool Post(std::function<void()> task);

  // ---- Bus thread
  // CallMethod calls member on a bluetoothd object and hands the reply (or the error) to done; it returns the
  // call's id while the call waits for its answer, 0 when it ended at once.
  uint64_t CallMethod(const std::string& path, const char* iface, const char* member, const Appender& append,
                      uint64_t timeout_us, std::function<void(Reply&)> done, const char* destination = kBluez);
  // AddTimer runs fn after ms milliseconds; CancelTimer drops it.
  uint64_t AddTimer(int64_t ms, std::function<void()> fn);
  void CancelTimer(uint64_t id);
  // Refresh reloads every object with GetManagedObjects; done(true) when bluetoothd answered.
  void Refresh(std::function<void(bool)> done, uint64_t timeout_us = 5'000'000);
  // WithObjects runs fn at once when the objects were loaded before, else after a Refresh.
  void WithObjects(std::function<void()> fn);
  // EnsureResolved connects the device when it is not connected and waits for its services to be
  // resolved, with no bound of its own; done(false) when the device is gone, the connection fails, the link
  // drops, bluetoothd leaves the bus or the backend shuts down meanwhile.
  void EnsureResolved(const std::string& device_path, std::function<void(bool)> done);
  // Serial runs the operations on one attribute one after another (bluetoothd refuses a concurrent one);
  // each task calls `next` when it is finished.
  void Serial(const std::string& path, std::function<void(std::function<void()> next)> task);
  // RemoveDevice asks the adapter at adapter_path to remove the device and hands the answer to done; the
  // call also ends, as answered, when the device's object goes first.
  void RemoveDevice(const std::string& adapter_path, const std::string& device_path, std::function<void(Reply&)> done);
  // Notification sessions of characteristics: an AcquireNotify socket (fd >= 0) or a StartNotify session.
  void OpenSession(const std::string& characteristic_path, int fd, uint16_t mtu);
  void CloseSession(const std::string& characteristic_path, bool stop_notify);
  bool HasSession(const std::string& characteristic_path);
  // Subscribed tells whether a live characteristic object of the path has subscribed (and not unsubscribed
  // since): the notification session stays while one has. Any thread.
  bool Subscribed(const std::string& characteristic_path);
  sd_bus* bus() const { return bus_; }
  // BluezOwner is the unique bus name of bluetoothd (the owner of org.bluez), empty while none runs; only
  // what it sends is believed.
  const std::string& BluezOwner() const { return owner_; }
  BluezDiscovery& discovery() { return discovery_; }
  BluezAgent& agent() { return agent_; }
  // ReadStarted and ReadAnswered frame the backend's own ReadValue of a characteristic: bluetoothd updates
  // Value after a read as after a notification, so the update that a read brings is no notification.
  void ReadStarted(const std::string& characteristic_path);
  void ReadAnswered(const std::string& characteristic_path, const Reply& reply);
  // SocketValue is the last value that the characteristic's notification socket gave, while bluetoothd
  // brought none since (a Value change or a read's answer): bluetoothd keeps no socket notification in its
  // Value. Bus thread.
  std::optional<Bytes> SocketValue(const std::string& characteristic_path) const;
  // PairingAnswered settles the link of a device whose Pair bluetoothd answered, when that Pair connected
  // it (was_connected false, connected now): whether the pairing failed or succeeded, it stays as a link
  // opened here, closed once the Pair's hold and every other hold are gone.
  void PairingAnswered(const std::string& device_path, bool was_connected);
  // Connected tells whether the cached device at device_path is connected. Any thread.
  bool Connected(const std::string& device_path);
  // RefuseAgentRequest answers an org.bluez.Agent1 request with org.bluez.Error.Rejected and logs it with
  // the device path it named and `why`. Bus thread.
  void RefuseAgentRequest(sd_bus_message* request, const std::string& device_path, const std::string& why);
  // Fail finishes an operation with kEInvalidData and `detail` (a reply of the wrong type). Any thread.
  template <class T>
  void Fail(const std::shared_ptr<BluezAsync<T>>& operation, std::string detail) {
    sim->completions.Post(
        [operation, detail = std::move(detail)] { operation->Finish(nullptr, kEInvalidData, detail); });
  }

  // ---- Cache (any thread)
  std::optional<Props> PropsOf(const std::string& path, const char* iface);
  // Children lists the well-formed objects with `iface` whose property `link` names parent (or, for
  // "Includes", that the parent lists), in handle order.
  std::vector<std::pair<std::string, Props>> Children(const std::string& parent, const char* iface, const char* link);
  // LogMalformed logs every GATT object under a device that discovery skips, with its path and why.
  void LogMalformed(const std::string& device_path);
  // AdapterPath is the adapter the process uses: the first one present (or the one VELMORABLE_BT_ADAPTER
  // names), kept from then on while it is present, so that an adapter plugged in later takes no scan or
  // device lookup away from it. It is chosen only once bluetoothd's objects were loaded (empty before).
  std::string AdapterPath();
  std::string DevicePathFor(uint64_t address);
  // DeviceOf gives the device path that a GATT object's path lies under.
  static std::string DeviceOf(const std::string& path);
  uint16_t AcquiredMtu(const std::string& device_path);

  // ---- Registries of live objects (any thread)
  std::shared_ptr<LinkHold> Hold(const std::string& device_path);
  void Register(const std::shared_ptr<BluezWatcher>& watcher);
  void Register(const std::string& path, const std::shared_ptr<BluezDevice>& device);
  void Register(const std::string& path, const std::shared_ptr<BluezCharacteristic>& characteristic);
  // LinkReleased is called by the last LinkHold of a device: its notification sessions end and a link opened
  // here is closed.
  void LinkReleased(const std::string& device_path);
  // CloseLink drops `hold` and, when no other object holds the device's link, ends its notification sessions
  // and, when it was opened here, closes the link and hands bluetoothd's reply to done (within timeout_ms, 0:
  // the default bound); otherwise done gets a success. Objects that the caller let go may still be referenced
  // for a moment by a thread on its way out (a completion just delivered): other holds are waited for in short
  // steps, for at most half the bound and one second, and meanwhile the close stays CloseLink's. Bus thread.
  void CloseLink(const std::string& device_path, std::shared_ptr<LinkHold> hold, uint32_t timeout_ms,
                 std::function<void(Reply&)> done);
  // Quiet keeps the link loss of a device that this backend disconnects or unpairs (its Connected=false and
  // its removal) from reading as a drop, until Unquiet or the device's removal. Any thread.
  void Quiet(const std::string& device_path);
  void Unquiet(const std::string& device_path);
  // ForgetLink marks a link closed by bluetoothd for us (an unpairing removed the device). Any thread.
  void ForgetLink(const std::string& device_path);

  // Complete finishes an operation on the completion thread.
  template <class T>
  void Complete(const std::shared_ptr<BluezAsync<T>>& operation, std::shared_ptr<T> result, int32_t failure = 0) {
    sim->completions.Post([operation, result = std::move(result), failure] { operation->Finish(result, failure); });
  }
  EventToken NextToken() { return EventToken{++last_token_}; }

  // Log hands one level-2 line to every Logged handler, on the event thread. Any thread.
  void Log(PlatformLogTopic topic, const std::string& text);
  EventToken AddLogged(TypedEventHandler<BluetoothPlatform, PlatformLogEventArgs> handler);
  void RemoveLogged(EventToken token);

  // The two handler threads and the radio-free objects (filters, advertisements) shared with the simulator.
  const std::shared_ptr<sim::SimCore> sim;

 private:
  struct Timer {
    int64_t due_ms;
    std::function<void()> fn;
  };
  struct Session {
    int fd = -1;
    uint64_t id = 0;  // tells a session from a later one of the same characteristic
  };
  // A call waiting for bluetoothd's answer, with the object and interface it went to.
  struct Pending {
    std::string path;
    std::string iface;
    std::string member;
    std::string about;  // the device that a call to its adapter removes (RemoveDevice), else empty
    std::function<void(Reply&)> done;
  };

  void Run();
  // TakeIncoming handles a slice of the messages that came in on the bus; true when more may be waiting.
  bool TakeIncoming();
  void RunTasks();
  void RunTimers();
  // TryCloseLink is CloseLink's step: close, give up, or look again after a short pause.
  void TryCloseLink(const std::string& device_path, int64_t wait_until_ms, int64_t call_until_ms,
                    std::function<void(Reply&)> done);
  // ReadSocket hands on the notifications a session's socket holds, a slice at a time; `ending`, when the
  // session ends with the link or its characteristic, reads it dry and leaves the socket's end to the caller.
  void ReadSocket(const std::string& characteristic_path, int fd, bool ending = false);
  // ReadSocketsDry reads dry the sockets of the sessions under `path` (a device, one characteristic, or all).
  void ReadSocketsDry(const std::string& path);
  void SocketFailed(const std::string& characteristic_path, const std::string& reason);
  // Subscribers gives the live characteristic objects of the path that hold a subscription.
  std::vector<std::weak_ptr<BluezCharacteristic>> Subscribers(const std::string& characteristic_path);
  // NotificationsLost ends the subscription of each of `subscribers` that still holds one, telling it why.
  void NotificationsLost(const std::vector<std::weak_ptr<BluezCharacteristic>>& subscribers,
                         const std::string& reason);
  // LiveCharacteristics gives the live characteristic objects of the path (under: of every path below it, of
  // every path when it is empty).
  std::vector<std::shared_ptr<BluezCharacteristic>> LiveCharacteristics(const std::string& path, bool under);
  // EndSubscriptionsOf ends, telling why, every subscription that an object of this process holds of a
  // characteristic of the device (of every device when device_path is empty): its session is gone.
  void EndSubscriptionsOf(const std::string& device_path, const std::string& reason);
  // CharacteristicRemoved gives the verdict on a subscribed characteristic that bluetoothd removed: with the
  // device's burst of service changes when one is under way, else once bluetoothd says the device is connected.
  void CharacteristicRemoved(const std::string& characteristic_path);
  // EndCalls ends the calls under way on an interface that bluetoothd removed from the object at path (it
  // never answers them), each as a call to an object that is gone.
  void EndCalls(const std::string& path, const std::string& iface);
  // EndDeviceCalls ends the calls under way on a device that bluetoothd removed, and a RemoveDevice of it.
  void EndDeviceCalls(const std::string& device_path);
  // TakeCalls takes the calls under way that `which` picks out of those waiting for an answer.
  std::vector<Pending> TakeCalls(const std::function<bool(const Pending&)>& which);
  // CloseSessionsOf ends the notification sessions of the device's characteristics.
  void CloseSessionsOf(const std::string& device_path);
  // DeviceConnected tells whether bluetoothd lists the device as connected.
  bool DeviceConnected(const std::string& device_path);
  void CheckProps(const std::string& path, const std::string& iface, Props* props);
  void CheckObject(const std::string& path, Interfaces* object);
  std::string GattProblem(const std::string& path, const char* iface);  // caller holds mutex_
  int64_t PollTimeoutMs();
  void StopOnBusThread();
  void RunSerialHead(const std::string& path);
  void Subscribe();
  static int OnSignal(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int OnReply(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int OnAgentCall(sd_bus_message* message, void* userdata, sd_bus_error* error);
  void HandleSignal(sd_bus_message* message);
  void InterfacesAdded(const std::string& path, Interfaces added);
  void InterfacesRemoved(const std::string& path, const std::vector<std::string>& removed);
  void PropertiesChanged(const std::string& path, const std::string& iface, const Props& changed,
                         const std::vector<std::string>& invalidated);
  // ReplaceObjects puts `objects` in the cache; `loaded`: they are bluetoothd's whole list.
  void ReplaceObjects(std::map<std::string, Interfaces> objects, bool loaded);
  void DeviceChanged(const std::string& path, const Props& changed, bool added);
  // LinkDown ends what belongs to the device's link: the waiters for its services, its notification sessions
  // and a services change not told yet.
  void LinkDown(const std::string& device_path);
  void FinishWaiters(const std::string& device_path, bool ok);
  // HasServices tells whether the cache holds a service of the device. Any thread.
  bool HasServices(const std::string& device_path);
  // Resolved finishes the waiters of a connected device whose ServicesResolved is set, once its services are
  // known; when none came, after a look at bluetoothd's objects (none there and an empty UUIDs: the discovery
  // failed, done(false)). first: ServicesResolved was set just now.
  void Resolved(const std::string& device_path, bool first);
  // AskConnect calls Connect on the device for EnsureResolved's waiters.
  void AskConnect(const std::string& device_path);
  // ServicesChanged begins or lengthens the device's burst of service changes: `removed` is the path of a
  // service that bluetoothd removed, `added` of one it exported (empty for neither).
  void ServicesChanged(const std::string& device_path, const std::string& removed = {},
                       const std::string& added = {});
  // CancelServicesChanged drops the device's burst of service changes that is not told yet, and the
  // subscriptions held for it (the link's end tells them).
  void CancelServicesChanged(const std::string& device_path);
  void DeliverValue(const std::string& characteristic_path, const Bytes& value);
  void AbortWatchers(const HString& detail = {});
  void OwnerChanged(const std::string& new_owner);
  void OwnerGone();
  // WatchOwner subscribes to the signals of bluetoothd's objects sent by `owner` alone (none when empty).
  void WatchOwner(const std::string& owner);
  void FireDevices(const std::string& device_path, int event);

  std::string address_;
  sd_bus* bus_ = nullptr;  // bus thread only, once it runs
  bool has_bus_ = false;   // set by Open before the bus thread starts, then constant
  int wake_fd_ = -1;
  std::thread thread_;
  std::atomic<bool> shut_down_{false};
  std::atomic<int64_t> last_token_{0};

  std::mutex tasks_mutex_;  // guards tasks_ and stopping_
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  bool thread_done_ = false;
  std::condition_variable thread_done_cv_;

  // Bus thread only.
  uint64_t next_id_ = 1;
  bool closing_ = false;  // shutting down: calls end at once
  std::map<uint64_t, Pending> pending_;
  std::map<uint64_t, Timer> timers_;
  std::map<std::string, Session> sessions_;
  std::map<std::string, std::vector<std::function<void(bool)>>> waiters_;
  std::map<std::string, uint64_t> connecting_;  // device path -> its Connect under way
  std::map<std::string, std::deque<std::function<void(std::function<void()>)>>> serial_;
  // A device's burst of service changes not told yet: its timer, the services it removed that have not come
  // back, and the subscriptions of removed characteristics (with their session) that end with it.
  struct ServicesBurst {
    uint64_t timer = 0;
    std::set<std::string> missing;
    std::vector<std::pair<std::weak_ptr<BluezCharacteristic>, uint64_t>> ended;
  };
  std::map<std::string, ServicesBurst> services_bursts_;
  std::set<std::string> checking_;      // devices whose objects Resolved looks up
  std::set<std::string> first_export_;  // devices whose services come after their ServicesResolved
  std::string owner_;  // set by Open before the bus thread starts, then bus thread only
  std::vector<sd_bus_slot*> owner_matches_;
  // The backend's reads of a characteristic under way, and the Value updates that came meanwhile.
  struct Reading {
    int count = 0;
    std::vector<Bytes> values;
  };
  std::map<std::string, Reading> reading_;
  std::map<std::string, Bytes> socket_values_;  // see SocketValue
  BluezDiscovery discovery_{*this};
  BluezAgent agent_{*this};

  std::mutex mutex_;  // guards everything below
  std::map<std::string, Interfaces> objects_;
  bool loaded_ = false;  // objects_ started from bluetoothd's whole list, not only from its signals
  std::string adapter_;  // the adapter AdapterPath chose, while it is present
  std::vector<std::weak_ptr<BluezWatcher>> watchers_;
  std::map<std::string, std::vector<std::weak_ptr<BluezDevice>>> devices_;
  std::map<std::string, std::vector<std::weak_ptr<BluezCharacteristic>>> characteristics_;
  // The sizes of devices_ and characteristics_ at which the paths of objects all gone are next dropped.
  size_t devices_prune_at_ = 0;
  size_t characteristics_prune_at_ = 0;
  std::map<std::string, std::weak_ptr<LinkHold>> holds_;
  // LinkHeldLocked: an object of the device holds its link (mutex_ held).
  bool LinkHeldLocked(const std::string& device_path) const;
  std::set<std::string> opened_here_;
  std::set<std::string> closing_links_;  // links whose CloseLink waits for the last holds to go
  std::set<std::string> quiet_;
  std::map<std::string, uint16_t> acquired_mtu_;
  std::map<int64_t, TypedEventHandler<BluetoothPlatform, PlatformLogEventArgs>> logged_;  // by token
};

}  // namespace velmora::platform::bluetooth::bluez
