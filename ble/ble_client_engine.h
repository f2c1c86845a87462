// BLEClientEngine: the object that does the Bluetooth work of a BLEClient. It is a SocketBase (notification
// window, wait step, Timeout) and adds the BLE settings with their configuration keys, the event bridge that
// platform callbacks come through, the event firers, and the BLE operations that the methods call.
//
// Threads: the application's thread runs the operations and Config. Platform threads fire events through
// the bridge (BLEEvent::Enter first); the int settings are atomics so that those threads may read them, the
// event error that both sides write is guarded by StateMutex(), and each thread's calls keep their results
// (last error, replies, the advertisement it delivers) in their own CallResults.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "ble/advertisement.h"
#include "ble/await.h"
#include "ble/ble_event.h"
#include "ble/call_results.h"
#include "ble/connection.h"
#include "ble/discovery.h"
#include "ble/event_sink.h"
#include "ble/gatt_records.h"
#include "ble/scan_queue.h"
#include "ble/scanning.h"
#include "ble/reading.h"
#include "component/socket_base.h"
#include "core/buffer.h"
#include "platform/bluetooth/bluetooth.h"

namespace velmora::ble {

class BLEClient;
struct ValueTarget;

namespace bt = platform::bluetooth;

// Result codes of the engine's own checks.
constexpr int kInvalidArgument = 202;
constexpr int kNotInAdvertisementEvent = 602;
// kMaxGattListCount is the most items a list of the GATT tree can hold: a server has no more attribute
// handles than this.
constexpr int32_t kMaxGattListCount = 65535;
// kUnboundedWaitCapMs bounds the waits that Timeout 0 (no deadline) leaves open, so that a platform or a
// sink that never lets go cannot hold the caller for ever.
constexpr uint64_t kUnboundedWaitCapMs = 60000;

// SinkWord is what became of a pairing's requests: shown once a displayed PIN reached the sink (one the
// platform may not wait for: the device's user may type it whatever the answer), answered once one was
// answered (accepted in time).
struct SinkWord {
  bool shown = false;
  bool answered = false;
};

class BLEClientEngine : public component::SocketBase, public BLEEventSink {
 public:
  // BondUse names the device whose bond a connection uses: its platform (held weakly, so that a record of a
  // platform that is gone names no device of a later one) and its address; serial numbers the use.
  struct BondUse {
    std::weak_ptr<bt::BluetoothPlatform> platform;
    uint64_t address = 0;
    uint64_t serial = 0;
  };

  // The default of every int setting, as Init sets it.
  struct Settings {
    std::atomic<int32_t> auto_discover_characteristics{0};
    std::atomic<int32_t> auto_discover_descriptors{0};
    std::atomic<int32_t> auto_discover_included_services{0};
    std::atomic<int32_t> include_rediscovered{1};
    std::atomic<int32_t> prefer_indications{0};
    std::atomic<int32_t> active_scanning{0};
    std::atomic<int32_t> not_connected{1};
    std::atomic<int32_t> query_additional_device_info{0};
    std::atomic<int32_t> log_level{1};
    std::atomic<int32_t> scan_started_timeout{2};
    std::atomic<int32_t> pairing_mode{0};
  };

  explicit BLEClientEngine(BLEClient* owner);
  ~BLEClientEngine() override;

  // Init starts the engine on the creating thread: the socket layer's Init, a new event bridge (an older
  // one is detached), empty selection, the setting defaults and Timeout 60 s. Returns 1.
  int Init();

  // Config answers the BLE keys and hands every other name (and a query-only key given a value) to
  // SocketBase::Config. Codes: 0, 602 for an advertisement key outside the Advertisement event, 202 for a
  // bad index, 610 for a platform failure (its text set), or the code of the base chain.
  int Config(const component::ConfigSettingParts& setting, const char** reply) override;

  // SetTimeoutSeconds stores Timeout (negative counts as 0, above 2147483 as 2147483) and clears the
  // running deadline when asked. Returns 0. GetTimeoutSeconds reads it back in the unit it was given in.
  int SetTimeoutSeconds(int32_t seconds, bool clear_deadline);
  int32_t GetTimeoutSeconds() const;
  // SetAwaitDeadline restarts the base deadline and starts the operation deadline Timeout from now (0, no
  // deadline, when Timeout is 0); returns the operation deadline. Called by every await on the window thread,
  // which gives the operation deadline back with RestoreOperationDeadline as it ends: the wait step of a
  // later wait (a scan's, ProcessEvents) must not stop on a deadline an earlier call left.
  uint64_t SetAwaitDeadline();
  void RestoreOperationDeadline(uint64_t deadline) { operation_deadline_.store(deadline, std::memory_order_relaxed); }
  // BoundedWaitMs is how long a wait that Timeout bounds may last: Timeout, or kUnboundedWaitCapMs when
  // Timeout is 0.
  uint64_t BoundedWaitMs() const {
    const uint32_t timeout = TimeoutMs();  // once: another thread may set Timeout meanwhile
    return timeout != 0 ? timeout : kUnboundedWaitCapMs;
  }
  // WaitStep is the socket layer's wait step, which Destroy wakes at once (see WakeWaits): the calling thread
  // is listed for the length of the step, and a step that begins once Destroy has begun does not sleep.
  int WaitStep(int32_t wait_ms, platform::WindowHandle window) override;
  // LibraryStepMs is one step of the library's own waits: SelectWaitMillis, but at most kWakelessStepMs where
  // the step does not wait on the thread's messages (UseWindowsMessages False, UseIOCP True), as the wake of
  // an answer or of Destroy does not reach it there; such a wait then looks every kWakelessStepMs.
  static constexpr int32_t kWakelessStepMs = 50;
  int32_t LibraryStepMs() const {
    const int32_t step = SelectWaitMillis();
    return UsesWindowsMessages() ? step : std::min(step, kWakelessStepMs);
  }
  // WakeWaits wakes every wait of the engine, on any thread, so that each sees at once that Destroy has
  // begun. Destroy calls it once the bridge is detached. Any thread.
  void WakeWaits();
  AwaitWakeups& Wakeups() { return wakeups_; }
  // OnWindowThread tells whether the calling thread is the one that owns the notification window (the one
  // that ran Init, while it lives) and may run the wait step. It asks the window's owner, not the thread's
  // id: a thread that was given the id of the ended one owns no window of it.
  bool OnWindowThread() const { return platform::IsWindowOfThisThread(NotificationWindow()); }

  // RequireAdvertisementContext returns 0 while the calling thread delivers an Advertisement event, else
  // 602 with the text naming key.
  int RequireAdvertisementContext(const char* key);
  // CheckManufacturerIndex returns 0 when 0 <= index < count, else 202 with the text naming the index and key.
  int CheckManufacturerIndex(int32_t index, int32_t count, const char* key);
  // BeginAdvertisement marks the calling thread as delivering the Advertisement event of context (kept by
  // the caller until EndAdvertisement) and returns the context it delivered before (null when none, as a
  // rule); EndAdvertisement puts that one back. Each thread has its own, so deliveries on several platform
  // threads never wait for one another.
  AdvertisementContext* BeginAdvertisement(AdvertisementContext* context);
  void EndAdvertisement(AdvertisementContext* outer);

  // QueryMaxPduSize reads the maximum PDU size of the GATT session of the record's service. Raises
  // PlatformError when the platform fails or the record has no service or session.
  int32_t QueryMaxPduSize(const GattServiceRecord& record);

  // ---- Event firers: each passes the event to the owning client, with null texts as "" and byte values
  // followed by a zero byte. Always 0: an operation never sees what the sink returned. A platform thread
  // calls them only between BLEEvent::Enter and Leave.
  int FireAdvertisement(const char* server_id, const char* name, int32_t rssi, int32_t tx_power,
                        const char* service_uuids, const char* service_data_uuids,
                        const char* solicited_uuids, int32_t company_id, const uint8_t* data,
                        int32_t data_len, int32_t connectable, int32_t scan_response) override;
  int FireConnected(int32_t status, const char* description) override;
  int FireDisconnected(int32_t status, const char* description) override;
  int FireDiscovered(int32_t kind, const char* service_id, const char* characteristic_id,
                     const char* descriptor_id, const char* uuid, const char* description) override;
  int FireError(int32_t code, const char* description) override;
  int FireLog(int32_t level, const char* message, const char* log_type) override;
  // FirePairingRequest offers the PIN in pin to the sink and leaves in pin the PIN the sink gave (empty when
  // it gave none) and in *accept its answer.
  int FirePairingRequest(const char* server_id, int32_t kind, core::Buffer* pin, int32_t* accept) override;
  int FireServerUpdate(const char* name, const char* changed_services) override;
  int FireStartScan(const char* service_uuids) override;
  int FireStopScan(int32_t code, const char* description) override;
  int FireSubscribed(const char* service_id, const char* characteristic_id, const char* uuid,
                     const char* description) override;
  int FireUnsubscribed(const char* service_id, const char* characteristic_id, const char* uuid,
                       const char* description) override;
  int FireValue(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                const char* uuid, const char* description, const uint8_t* value, int32_t value_len) override;
  int FireWriteResponse(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                        const char* uuid, const char* description) override;

  // ---- BLE operations called by the methods. Each returns its result code with the last error text set
  // for a failure. Out pointers stay valid until the next operation of the engine.
  int GetCccdState(int32_t characteristic_index, int32_t* state);
  int Connect(const char* server_id);
  // Disconnect ends the connection; the application's (not Connect's own disconnect first) also ends a Connect
  // of another thread that holds no device yet.
  int Disconnect(bool of_connect = false);
  int Discover(const char* service_uuids, const char* characteristic_uuids, int32_t include_descriptors,
               const char* service_id);
  int DiscoverCharacteristics(const char* service_id, const char* characteristic_uuids);
  int DiscoverDescriptors(const char* service_id, const char* characteristic_id);
  int DiscoverServices(const char* service_uuids, const char* service_id);
  int PostValue(const char* service_id, const char* characteristic_id, const uint8_t* value, int32_t length);
  int ReadCharacteristicCached(int32_t characteristic_index, const uint8_t** value, int32_t* length);
  int ReadDescriptorCached(int32_t descriptor_index, const uint8_t** value, int32_t* length);
  int ReadValue(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                const uint8_t** value, int32_t* length);
  // ---- Reading (reading.cpp). Each read demands a record with a platform object (601 otherwise), waits
  // for the platform (301 when the wait stops) and maps the GATT outcome; a failure copies nothing.
  // ReadCharacteristic/ReadDescriptor append the value to out, asking the device (from_device) or the
  // platform's cache; a descriptor 0x2902 read changes no subscription state.
  int ReadCharacteristic(GattCharacteristicRecord& record, bool from_device, core::BufferCore& out);
  int ReadDescriptor(GattDescriptorRecord& record, bool from_device, core::BufferCore& out);
  // GetCccdState sets *state to 1 (subscribed) or 0: the listed state, else the device's, which is then
  // listed unless another call listed a state while the read waited (that state is given then). A failed
  // read returns its code and lists nothing.
  int GetCccdState(GattCharacteristicRecord& record, int32_t* state);
  // ProcessValueChanged delivers a value the server pushed for record (in service service_id) as a Value
  // event with an empty descriptor id. Any thread.
  int ProcessValueChanged(const GattCharacteristicRecord& record, const char* service_id, const bt::Bytes& value);
  SubscriptionStates& Subscriptions() { return subscriptions_; }
  // ListSubscription changes the listed CCCD value (0 for unsubscribed) of record's characteristic: kSet lists it,
  // kFill lists it unless a value is listed already, kUpdate changes a listed one only (and sets *previous as
  // SubscriptionStates::Update does), kForget takes it off the list (cccd unused). Only a record that the tree
  // holds changes the list: one of an earlier connection (found before Disconnect emptied the tree) leaves it
  // alone, so that no connection starts with a state of the one before. 0, or 200.
  enum class Listing { kSet, kFill, kUpdate, kForget };
  [[nodiscard]] int ListSubscription(const GattCharacteristicRecord& record, int32_t cccd, Listing listing,
                                     bool* previous = nullptr);
  int Select(const char* service_id, const char* characteristic_id);
  int StartScanning(const char* service_uuids);
  int StopScanning();
  int Subscribe(const char* service_id, const char* characteristic_id);
  int Unsubscribe(const char* service_id, const char* characteristic_id);
  int WriteValue(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                 const uint8_t* value, int32_t length);
  // ---- Writing (writing.cpp). Each write demands a record with a platform object (601 otherwise), waits for
  // the platform (301 when the wait stops) and maps the GATT outcome; a failure fires no event.
  // WriteCharacteristic writes with response (with_response non-zero) or without; WriteDescriptor writes a
  // descriptor and, for a CCCD, brings the characteristic's listed subscription state in line, reporting a
  // change with Subscribed or Unsubscribed; one that turns notifications off ends them as Unsubscribe does,
  // within wait (see ValuesWait below).
  struct ValuesWait;
  int WriteCharacteristic(GattCharacteristicRecord& record, const uint8_t* bytes, int32_t length,
                          int32_t with_response);
  int WriteDescriptor(GattDescriptorRecord& record, const uint8_t* bytes, int32_t length, ValuesWait* wait);
  // ValuesWait is the wait of one Unsubscribe for the notifications that platform threads are delivering:
  // its deadline (0 until the first wait starts it, Timeout from then) bounds the waits for all the
  // characteristics that the Unsubscribe ends together; left is set once one of them ran out.
  struct ValuesWait {
    uint64_t deadline = 0;
    bool left = false;
  };
  // SetSubscription writes the CCCD (subscribe 1 or 0) unless this client already holds a subscription
  // listed with the value it would write (notifications or indications as PreferIndications and the flags
  // choose), or, unsubscribing, holds none and the characteristic is listed as unsubscribed, while no CCCD
  // write of it has gone unanswered since the last one accepted (cccd_unsettled); it lists the
  // value, and fires Subscribed or Unsubscribed on success. 602 without Notify and Indicate. Subscribing
  // lets the notifications through once the device has accepted the write (see OpenedValues); 608 when the
  // tree has moved on from the record's meanwhile (a Disconnect or Connect), with no Subscribed. Unsubscribing
  // stops the characteristic's notifications and, off a platform event thread, first waits for those being
  // delivered, within wait (when given; else a wait of its own), whatever the listed state (see EndValues);
  // a wait that ran out is no failure of its own. A subscription that the platform ended while the write
  // waited was reported ended then: no second Unsubscribed.
  // SubscriptionWords reads record's count of words told (see GattCharacteristicRecord::words).
  uint64_t SubscriptionWords(GattCharacteristicRecord& record);
  // TellSubscription raises Subscribed (on) or Unsubscribed for record once its call's success Log line has
  // been told, unless a Disconnect or Connect made meanwhile cut the call short (608), or a later call told its
  // own word since words was read (0, nothing raised).
  int TellSubscription(GattCharacteristicRecord& record, uint64_t words, bool on, const char* service_id,
                       const char* characteristic_id);
  int SetSubscription(GattCharacteristicRecord& record, int32_t subscribe, ValuesWait* wait);
  // ReportValuesLeft returns 301 "Timeout." when an Unsubscribe left notifications in the sink, else 0.
  int ReportValuesLeft(bool values_left);
  // WriteUserDescription writes text (without its NUL) to the record's User Description descriptor; 611
  // when the record has none.
  int WriteUserDescription(GattCharacteristicRecord& record, const char* text);
  // ComposeMessage sets out to prefix (null: ""), text and suffix (each left out when null) and returns
  // out's text. Allocation failures are not reported: out then holds what fitted.
  static const char* ComposeMessage(core::BufferCore& out, const char* prefix, const char* text,
                                    const char* suffix);
  bool IsScanning() const;
  // ScanModeFixed tells whether a scan of this client is starting or runs, so that its mode cannot change
  // (also while the platform has not said that it started).
  bool ScanModeFixed();
  // RequireConnection returns 0 while a device is connected, else 605 with its text; 608 in a sink of an
  // event of a connection that a call of another thread has ended since (see EventOfConnection). The GATT
  // operations run it first.
  int RequireConnection();
  // EventOfConnection marks, for its lifetime on the calling thread, the delivery of an event of this
  // client's connection of `generation` (a Value, the end of a subscription, a change of the device): what its
  // sink does through this client's GATT calls and Connect is done on that connection alone, and is cut short
  // (608) once another thread has ended it (a Disconnect that gave up waiting for the event, and a Connect
  // since); its Disconnect then ends nothing (0). A Connect or Disconnect of the sink's own moves the mark on
  // to the connection it leaves (FollowConnection), before the events it raises itself.
  class EventOfConnection {
   public:
    EventOfConnection(const BLEClientEngine* engine, uint64_t generation);
    ~EventOfConnection();
    EventOfConnection(const EventOfConnection&) = delete;
    EventOfConnection& operator=(const EventOfConnection&) = delete;

   private:
    friend class BLEClientEngine;
    const BLEClientEngine* engine_;
    uint64_t generation_;
    EventOfConnection* outer_;
  };
  // EventConnectionEnded tells whether the calling thread delivers an event of this client's connection that
  // another thread has ended since (see EventOfConnection).
  bool EventConnectionEnded();
  // FollowConnection moves the calling thread's marks of this client's events on to the connection it holds
  // now (as the thread's own Disconnect or Connect empties the tree).
  void FollowConnection();
  // RequireRadio returns 0 while platform has a radio to offer, else 613 with the platform's reason in its
  // text. StartScanning and Connect, the calls that reach the radio without a connection, run it.
  int RequireRadio(bt::BluetoothPlatform& platform);
  // ResolveValueTarget finds the object of a value operation (ReadValue, WriteValue): 0 with target holding
  // the descriptor (when descriptor_id is not "") or the characteristic; else 605 (not connected), 202 (an id
  // missing) or 601 (not discovered, or not in that service) with its text. The ids must not be null.
  int ResolveValueTarget(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                         ValueTarget& target);
  // GetServerId returns the held device's address as 12 upper-case hex digits ("" without a device), in a
  // text of the calling thread's that its next call replaces.
  const char* GetServerId();
  // FormatPairingStatus returns the constant name of a pairing result status; "Unknow" outside 0..19.
  static const char* FormatPairingStatus(int32_t status);
  // HeldDevice returns the device the engine holds (null when none). Any thread: platform threads read the
  // device through it, while only the application's thread changes it.
  std::shared_ptr<bt::BluetoothLEDevice> HeldDevice();
  // HeldDeviceFor is HeldDevice for a platform handler that reports on the device: delivery is admitted
  // when a device is held.
  std::shared_ptr<bt::BluetoothLEDevice> HeldDeviceFor(EventDeliveries::Delivery& delivery);
  // BuildAdvertisementRawData sets out to the raw report of the advertisement being delivered ("" outside
  // the Advertisement event): 0, or 200. It waits for the device lookup, on the delivering thread.
  int BuildAdvertisementRawData(core::BufferCore& out);

  // ---- The GATT tree (gatt_records.cpp). Lookups return shared references: a record stays valid while its
  // holder fires events or waits, whatever happens to the tree meanwhile. None holds the tree mutex across a
  // platform wait or a sink call.
  // BuildObjectId sets out to the id of the handles ("%04X%04X%04X"); 202 with its text for a zero service
  // handle, or a zero characteristic handle under a descriptor handle.
  int BuildObjectId(uint16_t service_handle, uint16_t characteristic_handle, uint16_t descriptor_handle,
                    core::BufferCore& out);
  // The lookups give 0, or 601 with the text naming the ids. The service is matched without regard to
  // case; the characteristic and descriptor lists are found by the exact id of their parent.
  int LookupService(const char* service_id, std::shared_ptr<GattServiceRecord>* record);
  int LookupCharacteristic(const char* service_id, const char* characteristic_id,
                           std::shared_ptr<GattCharacteristicRecord>* record);
  // ReportCharacteristicNotDiscovered sets the 601 text of a characteristic id not listed for the service.
  int ReportCharacteristicNotDiscovered(const char* service_id, const char* characteristic_id);
  int LookupDescriptor(const char* characteristic_id, const char* descriptor_id,
                       std::shared_ptr<GattDescriptorRecord>* record);
  // LookupDescriptorOf also demands that the characteristic belongs to the service (601 otherwise).
  int LookupDescriptorOf(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                         std::shared_ptr<GattDescriptorRecord>* record);
  // The Find functions give 1 (found) or 0 and set no text; records without a platform object never match.
  // Each is one look in the tree's index. The list lookups expect the caller to hold the tree mutex.
  int FindServiceById(const char* id, std::shared_ptr<GattServiceRecord>* record);
  int FindCharacteristic(const char* service_id, const char* characteristic_id,
                         std::shared_ptr<GattCharacteristicRecord>* record);
  int FindCharacteristicInList(const char* id, const CharacteristicArray* list,
                               std::shared_ptr<GattCharacteristicRecord>* record);
  int FindDescriptorInList(const char* id, const DescriptorArray* list,
                           std::shared_ptr<GattDescriptorRecord>* record);
  // FindCharacteristicByObject finds the tree's record of a platform characteristic (by identity) and its
  // service id; 1 or 0. It changes nothing, so the notification path may call it on a platform thread. A
  // delivery given is admitted when the record is found (see EventDeliveries).
  int FindCharacteristicByObject(const bt::GattCharacteristic* object,
                                 std::shared_ptr<GattCharacteristicRecord>* record, core::BufferCore* service_id,
                                 EventDeliveries::Delivery* delivery = nullptr);
  // SelectService and SelectCharacteristic are the setters of the Service and Characteristic properties;
  // a failure leaves the selection as it was.
  int SelectService(const char* service_id);
  int SelectCharacteristic(const char* characteristic_id);
  // SelectDiscovered selects what DiscoverCharacteristics or DiscoverDescriptors of generation owner found:
  // the service (its characteristic selection kept when it was selected already, else cleared) and, when
  // given, its characteristic. The ids are the tree's own. 0, 608 once the tree has moved on from owner
  // (nothing changes), or 200.
  int SelectDiscovered(uint64_t owner, const char* service_id, const char* characteristic_id);
  // TreeGeneration is the tree's generation now (see GattTree), which a discovery carries from its start.
  uint64_t TreeGeneration();
  // ClearGattTree empties every list of the tree and the selection, and moves the tree's generation on.
  // Returns 0.
  int ClearGattTree();
  // The Add functions put a record for ref with id into the tree unless one with that id is there; *record
  // receives the tree's record and *added whether it is new. 608 when the tree has moved on from the
  // generation the addition was started for (owner, or the parent record's) or the parent is not listed,
  // 202 for a ref without an object of that kind, 200. AddCharacteristicToTree registers the value handler.
  int AddServiceToTree(uint64_t owner, const GattObjectRef& ref, const char* id,
                       std::shared_ptr<GattServiceRecord>* record, bool* added);
  int AddCharacteristicToTree(uint64_t owner, const char* service_id, const GattObjectRef& ref, const char* id,
                              std::shared_ptr<GattCharacteristicRecord>* record, bool* added);
  // AddDescriptorToTree adds to the list of parent, the tree's record of the characteristic; 608 when the
  // record has left the tree (an earlier connection's, or cut from its service's list): a record of the
  // same id that took its place gets nothing.
  int AddDescriptorToTree(const GattCharacteristicRecord& parent, const GattObjectRef& ref, const char* id,
                          std::shared_ptr<GattDescriptorRecord>* record, bool* added);
  // EnsureDescriptorDiscovered makes sure the characteristic's descriptors of the UUID text are in the tree.
  int EnsureDescriptorDiscovered(GattCharacteristicRecord& characteristic, const char* uuid_text);
  // The indexed collections: counts (0 without a collection), and the item at an index (an empty slot gets
  // an empty record); 432 for an index outside the collection, 200.
  int32_t ServiceCount();
  int32_t CharacteristicCount();
  int32_t DescriptorCount();
  int ServiceAt(int32_t index, std::shared_ptr<GattServiceRecord>* record);
  int CharacteristicAt(int32_t index, std::shared_ptr<GattCharacteristicRecord>* record);
  int DescriptorAt(int32_t index, std::shared_ptr<GattDescriptorRecord>* record);
  // SetCharacteristicCount resizes the current characteristic collection (none: nothing). 0, 200, or 432
  // with its text for a count above kMaxGattListCount (nothing changes).
  int SetCharacteristicCount(int32_t count);
  std::mutex& TreeMutex() { return tree_mutex_; }
  // Tree is the tree itself, for readers holding TreeMutex().
  const GattTree& Tree() const { return gatt_tree_; }

  // ---- Platform event handlers. The bridge (BLEEvent) calls each on a platform thread, inside a CallScope
  // of this engine, so the engine stays alive while it runs. Each may raise PlatformError; the bridge
  // catches it, as nothing may raise back into the platform.
  void OnAdvertisementReceived(const std::shared_ptr<bt::BluetoothLEAdvertisementWatcher>& watcher,
                               const std::shared_ptr<bt::BluetoothLEAdvertisementReceivedEventArgs>& args);
  void OnWatcherStopped(const std::shared_ptr<bt::BluetoothLEAdvertisementWatcher>& watcher,
                        const std::shared_ptr<bt::BluetoothLEAdvertisementWatcherStoppedEventArgs>& args);
  void OnConnectionStatusChanged(const std::shared_ptr<bt::BluetoothLEDevice>& device,
                                 const std::shared_ptr<bt::Inspectable>& args);
  void OnNameChanged(const std::shared_ptr<bt::BluetoothLEDevice>& device, const std::shared_ptr<bt::Inspectable>& args);
  void OnGattServicesChanged(const std::shared_ptr<bt::BluetoothLEDevice>& device,
                             const std::shared_ptr<bt::Inspectable>& args);
  void OnPairingRequested(const std::shared_ptr<bt::DeviceInformationCustomPairing>& pairing,
                          const std::shared_ptr<bt::DevicePairingRequestedEventArgs>& args);
  void OnValueChanged(const std::shared_ptr<bt::GattCharacteristic>& characteristic,
                      const std::shared_ptr<bt::GattValueChangedEventArgs>& args);
  void OnNotificationsLost(const std::shared_ptr<bt::GattCharacteristic>& characteristic,
                           const std::shared_ptr<bt::Inspectable>& args);
  // OnLateCccdOff takes the device's late acceptance of CCCD write number `write` of the characteristic, one
  // turning notifications off whose wait had stopped (301): unless a later write was asked for since, the
  // subscription this client still held ends (its notifications stop, the state reads 0, Unsubscribed).
  void OnLateCccdOff(const std::shared_ptr<bt::GattCharacteristic>& characteristic, uint64_t write);
  void OnPlatformLogged(const std::shared_ptr<bt::PlatformLogEventArgs>& args);

  BLEClient* Owner() const { return owner_; }
  // Bridge is the event bridge that platform callbacks hold; null before Init.
  const std::shared_ptr<BLEEvent>& Bridge() const { return bridge_; }
  // Destroying tells whether Destroy has begun (the bridge is detached): every wait of the engine ends then,
  // for the platform or for another thread. Any thread.
  bool Destroying() const { return bridge_ == nullptr || bridge_->Detached(); }
  Settings& BleSettings() { return settings_; }
  std::mutex& StateMutex() { return state_mutex_; }
  const core::Buffer& SelectedServiceId() const { return selected_service_id_; }
  const core::Buffer& SelectedCharacteristicId() const { return selected_characteristic_id_; }

  // Results (and CurrentResults, the same set with the client's own parts) is the result state of the
  // calling thread: on a thread that delivers a platform event, that event's own set; for a call from a sink
  // of another client (on any thread), a set of that sink's event for this client (see CallScope::EventResults);
  // else the client's own, which belongs to the application's thread. InPlatformEvent tells whether the
  // calling thread's results are apart from the application's thread's.
  component::ResultState& Results() const override { return CurrentResults(); }
  CallResults& CurrentResults() const;
  // AdvertisementResults is the set that holds the advertisement the calling thread delivers: that of the
  // platform callback of this client that the thread runs in, whatever events (of other clients too) its
  // sink's calls raise inside it; else CurrentResults.
  CallResults& AdvertisementResults() const;
  bool InPlatformEvent() const;
  // OnPlatformEventThread tells whether the calling thread delivers a platform event of any client: such a
  // thread must not wait for the platform's events, which may be queued behind the one it runs.
  static bool OnPlatformEventThread();
  // LeaveBondAtDestroy ends the connection's use of the bond as Destroy begins on the application's thread
  // outside any call (where no Disconnect follows), and waits, within Timeout, for the removal of the bond of
  // which it was the last use, and for every other removal that the client began (a sink's Disconnect or
  // Connect, whose wait Destroy ended): a program that ends as Destroy returns leaves no bond of the library
  // behind.
  void LeaveBondAtDestroy() noexcept;
  // LeaveBondUse ends use (see LeaveUse, through device or, where null, a lookup) and records the removal of
  // the bond that it began, if any.
  void LeaveBondUse(const std::shared_ptr<bt::BluetoothLEDevice>& device, const BondUse& use) noexcept;
  // NoteRemoval records a removal of use's bond that this engine began (see removals_begun_).
  void NoteRemoval(const BondUse& use) noexcept;
  // The last error text of the calling thread's earlier calls while its running method keeps it aside (see
  // RecordedCall); null when none is kept. VisibleLastErrorText is the text that thread sees meanwhile.
  void SetEarlierErrorText(const core::BufferCore* text) { CurrentResults().earlier_error_text = text; }
  const core::BufferCore* EarlierErrorText() const { return CurrentResults().earlier_error_text; }
  const char* VisibleLastErrorText() const;

 private:
  // ConfigAdvertisementKey answers an in-event key (its canonical name); a platform failure gives 610.
  int ConfigAdvertisementKey(const char* key, const component::ConfigSettingParts& setting, const char** reply);
  int AdvertisementKeyReply(const char* key, const component::ConfigSettingParts& setting, const char** reply);
  int ConfigServiceData(const component::ConfigSettingParts& setting, const char** reply);
  int LogScanning(int32_t level, const char* message);
  // Scan steps (scanning.cpp). The watcher numbers its runs, every event of a run carries its number, and
  // scans_ keeps each scan's events in one queue: these do what it decides.
  // ScanClockMs is the clock of scans_: milliseconds of the monotonic clock, as the platform stamps events.
  static int64_t ScanClockMs();
  // Watcher is the advertisement watcher (null before the first StartScanning); any thread.
  std::shared_ptr<bt::BluetoothLEAdvertisementWatcher> Watcher() const;
  // StartNewScan starts scan once scans_ has given StartScanning its turn (kStart).
  int StartNewScan(uint64_t scan, const char* service_uuids, ScanQueue::Caller me);
  // WaitForWatcherStart polls (ScanStartedTimeout) until the watcher's run `run` is Started, the platform
  // reported its end, scans_ says the wait is over (closed, ended, advertisements came) or Destroy has begun.
  void WaitForWatcherStart(bt::BluetoothLEAdvertisementWatcher& watcher, uint64_t scan, uint64_t run);
  // AwaitScanOver waits on the application's thread until scan is over (its StopScan has returned from the
  // sink), delivering its end itself when no other thread does: 0; 301 once the deadline (DeadlineClockMs)
  // has passed; 0 at once when Destroy has begun.
  int AwaitScanOver(uint64_t scan, uint64_t deadline);
  // PlatformEnded tells whether the platform shows run ended; *stop receives its report (null: none yet).
  static bool PlatformEnded(bt::BluetoothLEAdvertisementWatcher& watcher, uint64_t run, ScanQueue::StopArgs* stop);
  // PauseForPlatform waits one wait step, and at least a millisecond, or until the platform has ended the
  // scan's run (its report told to scans_ after version) or Destroy has begun.
  void PauseForPlatform(uint64_t version);
  // EndedRun tells scans_ that run ended (Ended) and wakes the waits for that end; it returns the first event
  // of me's turn when me takes it.
  ScanQueue::Event EndedRun(uint64_t run, const ScanQueue::StopArgs& stop, bool aborted, ScanQueue::Caller me,
                            ScanQueue::Role role);
  // ReportedRun returns the run of the running scan when the platform has reported its end, else 0.
  uint64_t ReportedRun();
  // NoteScanEnd tells scans_ that the running scan has ended when the platform has reported so, and delivers
  // its end when that falls to this call.
  void NoteScanEnd(ScanQueue::Caller me);
  // AwaitStoppedEvent waits, on a thread that may wait for the platform's events, while the platform shows
  // the latest scan's run ended with a report whose Stopped event has not reached this client yet: the
  // advertisements the platform received before the end come ahead of that event. It returns once the event
  // has come, at deadline (DeadlineClockMs), or at once when Destroy has begun.
  void AwaitStoppedEvent(uint64_t deadline);
  // TellRunEnded tells scans_, on a method's call, that the platform ended run (stop: its report, null when
  // it ended without one) and delivers the end when that falls to this call.
  void TellRunEnded(bt::BluetoothLEAdvertisementWatcher& watcher, uint64_t run, const ScanQueue::StopArgs& stop,
                    ScanQueue::Caller me);
  // DeliverScanEvents delivers event and, while me holds the turn, what follows it; then hands what is left
  // to a platform thread when asked to.
  void DeliverScanEvents(ScanQueue::Event event, ScanQueue::Caller me, ScanQueue::Role role);
  // DrainScanEvents takes the turn on a platform thread for what a call left; PostScanDrain has a platform
  // thread run it.
  void DrainScanEvents();
  void PostScanDrain();
  // FireScanEvent fires one event of the queue: StartScan (after "Scanning started."), an Advertisement, the
  // drop count, or the end (ReportStop).
  void FireScanEvent(const ScanQueue::Event& event);
  // ReportStop fires what the end of a scan tells the application: the platform's Log line, Error for an
  // aborted scan or "Scanning stopped.", the last drop count, then StopScan.
  void ReportStop(const ScanQueue::Event& end);
  // DeliverOne delivers one advertisement; one the platform fails to describe is dropped.
  void DeliverOne(const ScanQueue::Advertisement& args);
  // LogDrops fires the level-2 line that counts the drops advertisements dropped for their wait (0: none).
  void LogDrops(uint64_t drops);
  void DeliverAdvertisement(const std::shared_ptr<bt::BluetoothLEAdvertisementReceivedEventArgs>& args);
  void LookUpDeviceName(uint64_t address, core::BufferCore& name);
  // ConfigMaxPduSize answers "MaxPduSize" for the selected service: "" without one, 610 on a platform failure.
  int ConfigMaxPduSize(const char** reply);
  // ConfigGattObjTreeInfo answers the "GattObjTreeInfo" query: the dump of the tree (BuildGattObjTreeInfo)
  // as the reply text. A platform failure gives 610 with its text and 200 gives "Out of memory."; on a
  // failure *reply is "".
  int ConfigGattObjTreeInfo(const char** reply);
  // Reading helpers (reading.cpp).
  int LogRead(int32_t level, const char* log_type, const char* format, const char* id);
  // Writing helpers (writing.cpp).
  int LogComposed(int32_t level, const char* log_type, const char* prefix, const char* id, const char* suffix);
  int RequireListedService(const char* service_id);
  int UnsubscribeEach(const std::vector<std::shared_ptr<GattCharacteristicRecord>>& records);
  // AdmitValue admits a notification of record for delivery (counted in record.values until delivery is
  // destroyed) while this client holds a subscription of it: false otherwise.
  bool AdmitValue(GattCharacteristicRecord& record, EventDeliveries::Delivery& delivery);
  // StopValues sets whether the notifications of record are dropped (see values_stopped) and returns what it
  // was before.
  bool StopValues(GattCharacteristicRecord& record, bool stop);
  // MayHoldSubscription tells whether this client holds a subscription of record (its notifications pass),
  // or the device may hold one for it (see GattCharacteristicRecord::cccd_unsettled).
  bool MayHoldSubscription(GattCharacteristicRecord& record);
  // EndValues stops the notifications of record and, off a platform event thread, waits for those being
  // delivered until wait's deadline (started here when it is 0; wait null: a wait of its own), setting
  // wait->left when it ran out. Returns whether this client held a subscription of record until then.
  bool EndValues(GattCharacteristicRecord& record, ValuesWait* wait);
  // OpenedValues lets the notifications of a characteristic through once the device has accepted a CCCD
  // write that turns them on, and stops them again unless that result is reported as a success (Keep);
  // Made tells whether this client held no subscription of it before. The platform's end of the
  // subscription that comes before the call has fired its Subscribed is reported when it goes (see
  // GattCharacteristicRecord::subscribing).
  class OpenedValues;
  // FailedCccdWrite brings what a CCCD write of a characteristic leaves in line with what the device may have
  // done when the write fails, also by a platform failure that leaves the call at once: the state listed, and
  // whether the CCCD is unsettled (see GattCharacteristicRecord::cccd_unsettled).
  class FailedCccdWrite;
  // ReportNotificationsLost lists record as unsubscribed and tells the application that the platform ended
  // its subscription: Log (level 2), Error 610 "Notifications of characteristic ID ... ended: <reason>." and
  // Unsubscribed. made is the record's count of subscriptions made when its notifications stopped: one made
  // since (a Subscribe of the Error's sink, or of another thread) keeps its listed state and is not followed
  // by the end's Unsubscribed.
  void ReportNotificationsLost(const GattCharacteristicRecord& record, uint64_t made, const char* service_id,
                               const char* reason);
  // MadeSince tells whether a subscription of record has been made since its count of them was made.
  bool MadeSince(const GattCharacteristicRecord& record, uint64_t made);
  int ResetSettings();
  // Discovery steps (discovery.cpp). Each returns 0 or the code of the first failure, its text set.
  struct ServiceRequestTexts;
  struct DiscoveryRun;
  class IncludedPathEntry;
  using ServiceObjects = std::vector<std::shared_ptr<bt::GattDeviceService>>;
  using ServicesRequest = std::function<bt::AsyncOp<bt::GattDeviceServicesResult>(const Guid* uuid)>;
  // LogDiscovery fires Log with the formatted text (at most 255 characters) while LogLevel >= level.
  int LogDiscovery(int32_t level, const char* log_type, const char* format, ...);
  int DiscoverRootServices(DiscoveryRun& run, const UuidList& filter, ServiceRecordList& out);
  int DiscoverIncludedServices(DiscoveryRun& run, const UuidList& filter,
                               const std::shared_ptr<GattServiceRecord>& parent, ServiceRecordList& out);
  int ReportIncludedCycle(const DiscoveryRun& run, const char* parent_id);
  int RequestServices(uint64_t owner, const UuidList& filter, const ServiceRequestTexts& texts,
                      const ServicesRequest& request, ServiceObjects& found);
  // The service additions carry the generation of the tree they were started for (owner).
  int AddServiceRecords(DiscoveryRun& run, uint64_t owner, const ServiceObjects& services,
                        GattServiceRecord* parent, ServiceRecordList& out);
  int AddServiceRecord(DiscoveryRun& run, uint64_t owner, const GattObjectRef& ref, GattServiceRecord* parent,
                       std::shared_ptr<GattServiceRecord>* record);
  int DiscoverCharacteristicsOf(const DiscoveryRun& run, const GattServiceRecord& service, const UuidList& filter);
  int AddCharacteristicRecord(const DiscoveryRun& run, const GattObjectRef& ref, const GattServiceRecord& service);
  // DiscoverDescriptorsOf discovers all descriptors of the characteristic, or (uuid given) those of one type.
  int DiscoverDescriptorsOf(const GattServiceRecord& service, const GattCharacteristicRecord& characteristic,
                            const Guid* uuid);
  int AddDescriptorRecords(const std::vector<std::shared_ptr<bt::GattDescriptor>>& descriptors,
                           const GattServiceRecord& service, const GattCharacteristicRecord& characteristic);
  int AddDescriptorRecord(const GattObjectRef& ref, const GattServiceRecord& service,
                          const GattCharacteristicRecord& characteristic);
  bool HasDescriptorOfType(const char* characteristic_id, const Guid& uuid);
  // Connection helpers (connection.cpp).
  int LogConnection(int32_t level, const char* text, const char* log_type);
  // FailConnect ends a failed Connect: its use of the bond (serial) ends first, so that a Disconnect made in
  // its Connected event finds no connection, nor one being set up, to end; then Log and Connected tell the
  // failure (604).
  int FailConnect(const char* text, const std::shared_ptr<bt::BluetoothLEDevice>& device, uint64_t serial);
  // PairDevice runs the pairing of the Connect whose use of the bond is own_use (see HoldDeviceOfUse).
  int PairDevice(const std::shared_ptr<bt::BluetoothLEDevice>& device, const core::Buffer& id, const BondUse& own_use);
  // AwaitedPairing is one round of a pairing that a Connect waits for: its requests name the round's server,
  // and word tells what became of them (guarded by state_mutex_). A sink's Connect may begin a round of its
  // own while an earlier Connect still waits: each Connect ends and asks about its own round only.
  struct AwaitedPairing {
    std::shared_ptr<bt::DeviceInformationCustomPairing> pairing;
    core::Buffer server_id;
    SinkWord word;
    uint64_t generation = 0;  // the tree's, once the Connect holds the device: its requests' connection
  };
  // AwaitPairing makes round the one that the pairing requests are answered for.
  void AwaitPairing(const std::shared_ptr<AwaitedPairing>& round);
  // PairingWord tells what became of round's requests so far.
  SinkWord PairingWord(const std::shared_ptr<AwaitedPairing>& round);
  // GiveUpPairing ends the wait for round, while it is still the awaited one (a later answer is declined),
  // and tells what became of its requests.
  SinkWord GiveUpPairing(const std::shared_ptr<AwaitedPairing>& round);
  void Unpair(const std::shared_ptr<bt::BluetoothLEDevice>& device, const core::Buffer& id, const BondUse& use);
  // UseBond begins this engine's use of the bond of the device at address of platform (Connect), after any
  // removal of it under way; *serial receives the use's number. A use it replaces, of a Connect that a sink's
  // Connect overtakes before it holds a device, ends here. 0, or the code of a wait for that removal that
  // stopped (301).
  int UseBond(const std::shared_ptr<bt::BluetoothPlatform>& platform, uint64_t address, uint64_t* serial);
  // TakeBondUse ends the engine's record of its use of a bond and returns it: the one numbered serial only
  // (0: whichever there is); none when there is no such use.
  std::optional<BondUse> TakeBondUse(uint64_t serial);
  // CurrentBondUse is the engine's use of a bond, if any.
  std::optional<BondUse> CurrentBondUse();
  // HoldsBondUse tells whether the engine's use of a bond is still the one numbered serial.
  bool HoldsBondUse(uint64_t serial);
  // LeaveBond ends the use numbered serial (0: whichever there is), where no Disconnect will (a failed Connect, a
  // client destroyed while connected): when it was the last use of a bond that a pairing of the library made,
  // the platform is asked to remove it, without waiting for the answer. Never raises.
  void LeaveBond(const std::shared_ptr<bt::BluetoothLEDevice>& device, uint64_t serial) noexcept;
  void CloseLink(const std::shared_ptr<bt::BluetoothLEDevice>& device, const core::Buffer& id);
  void LogUnconfirmed(const char* format, const core::Buffer& id, const bt::HString& detail);
  void SetHeldDevice(std::shared_ptr<bt::BluetoothLEDevice> device);
  // HoldDeviceOfUse holds device for the Connect whose use of the bond is numbered serial, while that use is
  // still the engine's (serial 0: whatever use, as SetHeldDevice): false when a sink's Disconnect or Connect
  // has overtaken that Connect, which holds nothing then.
  bool HoldDeviceOfUse(std::shared_ptr<bt::BluetoothLEDevice> device, uint64_t serial);
  // ClaimHeldDevice returns the held device for the Disconnect that calls it to end, and counts that Disconnect
  // in disconnects_running_ and disconnects_ending_ (the caller ends the counts); null when none is held or another
  // Disconnect (a sink's, on another thread) is ending it already. Where none is held and unheld_use is given,
  // the use of the bond of a Connect that holds no device yet is taken into it (ended for that Connect).
  std::shared_ptr<bt::BluetoothLEDevice> ClaimHeldDevice(std::optional<BondUse>* unheld_use = nullptr);
  // AwaitOtherDisconnect is the Disconnect that found another one ending the connection: outside sinks it waits
  // for that one's end (within Timeout: 301, or Destroy), and returns 0; in a sink at once.
  int AwaitOtherDisconnect();
  // ReleaseHeldDevice gives up that claim, where device is still held (a Disconnect that did not get as far as
  // dropping it).
  void ReleaseHeldDevice(const std::shared_ptr<bt::BluetoothLEDevice>& device);
  // DropHeldDevice drops device when it is still the one held (a sink's Connect may have replaced it).
  void DropHeldDevice(const std::shared_ptr<bt::BluetoothLEDevice>& device);
  // WaitForDeliveries waits for the deliveries of deliveries that run on other threads, until the deadline
  // (DeadlineClockMs): true when none is left. Destroy, once begun, ends the wait too (true): a sink that
  // destroys the client waits for this thread in turn, and no event reaches a destroyed client's sink.
  [[nodiscard]] bool WaitForDeliveries(EventDeliveries& deliveries, uint64_t deadline);

  BLEClient* const owner_;
  BLEEventSink* const sink_;  // the owner, as the receiver of the events (null without one)
  std::shared_ptr<BLEEvent> bridge_;
  core::Buffer selected_service_id_;
  core::Buffer selected_characteristic_id_;
  Settings settings_;
  std::mutex state_mutex_;
  // The result state of the application's thread.
  mutable CallResults main_results_;
  // The advertisement watcher, made by the first StartScanning (on whichever thread calls it) and kept for
  // the engine's life; watcher_mutex_ guards the pointer.
  mutable std::mutex watcher_mutex_;
  std::shared_ptr<bt::BluetoothLEAdvertisementWatcher> watcher_;
  // HeldDeviceSlot is the device held from Connect (during pairing already) until Disconnect; null while
  // none is held. Connect and Disconnect change it (SetHeldDevice, DropHeldDevice) under state_mutex_, also
  // from a sink while the application's thread runs either; a reference is taken under that lock
  // (HeldDevice). Whether one is held (`device_ != nullptr`) may be asked without the lock.
  struct HeldDeviceSlot {
    std::shared_ptr<bt::BluetoothLEDevice> device;  // guarded by state_mutex_
    std::atomic<bool> held{false};                  // device != null, written with it
    bool ending = false;  // a Disconnect has claimed device (guarded by state_mutex_; reset when it changes)
    friend bool operator==(const HeldDeviceSlot& slot, std::nullptr_t) {
      return !slot.held.load(std::memory_order_acquire);
    }
  };
  HeldDeviceSlot device_;
  // The Disconnects that claimed the held device and have not returned yet (see AwaitOtherDisconnect).
  std::atomic<int> disconnects_running_{0};
  // disconnects_ending_ counts the same Disconnects until each raises its Disconnected: a Connect made meanwhile
  // meets one still ending the connection (a sink's Connect made inside that Disconnected does not).
  std::atomic<int> disconnects_ending_{0};
  // Connects numbered as they begin; a Disconnect cuts short every one begun before it (see Connect).
  std::atomic<uint64_t> connects_begun_{0};
  std::atomic<uint64_t> connects_cut_{0};
  // bond_use_ is the device whose bond this engine's connection uses, from the start of its Connect until its
  // Disconnect, its failure or Destroy ends the use (guarded by state_mutex_; none meanwhile): the last use of
  // a bond that a pairing of the library made removes it (Bonds in connection.cpp). bond_uses_ numbers them.
  std::optional<BondUse> bond_use_;
  // removals_begun_ holds, for each removal of a bond that this engine began (its use was the last one), an
  // operation that finishes once no removal of that device's bond is under way (guarded by state_mutex_;
  // finished ones are dropped as new ones come; see LeaveBondAtDestroy).
  std::vector<bt::AsyncOp<bt::DeviceUnpairingResult>> removals_begun_;
  uint64_t bond_uses_ = 0;
  // The round of the pairing that Connect waits for (guarded by state_mutex_; null while none): a
  // PairingRequest names its server, and one of any other pairing is refused. A platform may hand the next
  // Connect the same pairing object, and a request answered late belongs to the round it came in, not to the
  // next Connect's. A request of an earlier pairing of the same object can come only once the next Connect
  // waits, when nothing tells it from that Connect's own: the bond an answer to it makes is that Connect's.
  std::shared_ptr<AwaitedPairing> awaited_pairing_;
  // disconnecting_ is true while Disconnect drops the held device; status_mutex_ orders it against the
  // status handler, so that a status change read during the application's own Disconnect (a late report
  // of the connection included) raises no second Disconnected.
  std::mutex status_mutex_;
  bool disconnecting_ = false;
  // connecting_ holds the bond use numbers of the Connects that set up the connection of the device they
  // hold, until each reports it (see Connect): a status change is theirs only while the use is the engine's
  // (a Connect that a sink's overtook sets up nothing). status_mutex_ guards it likewise, and
  // dropped_while_connecting_, set when the link was seen down meanwhile, which Connect tells once it has
  // reported the connection.
  std::vector<uint64_t> connecting_;
  bool dropped_while_connecting_ = false;
  // SettingUpLocked tells whether the Connect of use (the engine's) still sets its connection up (status_mutex_
  // held).
  bool SettingUpLocked(const std::optional<BondUse>& use) const;
  // The GATT tree and the mutex that guards it (and the selection against platform-thread readers).
  std::mutex tree_mutex_;
  GattTree gatt_tree_;
  // The subscription states (own lock).
  SubscriptionStates subscriptions_;
  // The connection's events that platform threads are delivering; Disconnect waits for them.
  EventDeliveries deliveries_;
  // The queue of the scan events (own lock).
  ScanQueue scans_{&BLEClientEngine::ScanClockMs};
  // The threads inside a wait of the engine, for Destroy to wake (own lock).
  AwaitWakeups wakeups_;
  // The threads waiting for the platform to end a scan's run, for the run's end to wake (own lock).
  AwaitWakeups scan_end_wakeups_;
};

}  // namespace velmora::ble
