// Connect, Disconnect, pairing, and the device handlers that report later changes of the connected server.
//
// The held device changes only on the application's thread (Connect, Disconnect), under the engine's state
// mutex; the handlers run on platform threads and take their own reference through HeldDevice. The
// not-connected flag is an atomic that both sides change: the status handler moves it only on a real
// transition, so a drop and a return of the link are each reported once.
#include "ble/connection.h"

#include <chrono>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

#include "ble/advertisement.h"
#include "ble/await.h"
#include "ble/ble_client_engine.h"
#include "ble/gatt_result.h"
#include "ble/internal.h"
#include "core/hex.h"
#include "platform/clock.h"

namespace velmora::ble {

namespace {

constexpr const char kLogTypeConnection[] = "Connection";
constexpr const char kLogTypeDebug[] = "Debug";
constexpr const char kLogTypeVerbose[] = "Verbose";
constexpr int32_t kEPointer = static_cast<int32_t>(0x80004003u);
constexpr int kServerIdLength = 12;

using PairingStatus = bt::DevicePairingResultStatus;

// The deliveries of the calling thread, innermost first.
thread_local EventDeliveries::Delivery* t_innermost_delivery = nullptr;
// How often a Disconnect that waits for deliveries asks whether to give up.
constexpr auto kDeliveryWaitStep = std::chrono::milliseconds(5);

const char* const kPairingStatusNames[] = {
    "Paired",
    "NotReadyToPair",
    "NotPaired",
    "AlreadyPaired",
    "ConnectionRejected",
    "TooManyConnections",
    "HardwareFailure",
    "AuthenticationTimeout",
    "AuthenticationNotAllowed",
    "AuthenticationFailure",
    "NoSupportedProfiles",
    "ProtectionLevelCouldNotBeMet",
    "AccessDenied",
    "InvalidCeremonyData",
    "PairingCanceled",
    "OperationAlreadyInProgress",
    "RequiredHandlerNotRegistered",
    "RejectedByHandler",
    "RemoteDeviceHasAssociation",
    "Failed",
};

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

template <class T>
std::shared_ptr<T> Required(std::shared_ptr<T> object) {
  if (object == nullptr) RaisePlatformError(kEPointer);
  return object;
}

// PairingOf follows the device's information to its pairing object.
std::shared_ptr<bt::DeviceInformationPairing> PairingOf(bt::BluetoothLEDevice& device) {
  return Required(Required(device.DeviceInformation())->Pairing());
}

}  // namespace

// LateBond decides about a pairing whose Connect stopped waiting for it: the bond is removed when the sink had
// answered and the platform's late result says that this pairing paired the device (not a failure, nor a
// device found already paired by another pairing). Either word may come first, on any thread; it keeps no
// engine, which may be gone by the time the platform answers.
class LateBond {
 public:
  LateBond(std::shared_ptr<bt::DeviceInformationPairing> pairing, uint64_t address)
      : pairing_(std::move(pairing)), address_(address) {}
  void Answered(bool answered) {
    std::unique_lock lock(mutex_);
    answer_known_ = true;
    answered_ = answered;
    Settle(lock);
  }
  void Finished(const std::shared_ptr<bt::DevicePairingResult>& result) {
    bool paired = false;
    try {
      paired = result != nullptr && result->Status() == bt::DevicePairingResultStatus::Paired;
    } catch (const bt::PlatformError&) {
      // NOTE: a result that cannot tell its status made no bond to act on.
    }
    std::unique_lock lock(mutex_);
    result_known_ = true;
    paired_ = paired;
    Settle(lock);
  }
  // TakeOver hands the bond to a later Connect to the same device (address) that finds it paired: true (and
  // nothing is removed here any more) when the sink had answered and the platform has not said that this
  // pairing failed.
  bool TakeOver(uint64_t address) {
    std::lock_guard lock(mutex_);
    if (pairing_ == nullptr || address_ != address || !answer_known_ || !answered_) return false;
    if (result_known_ && !paired_) return false;
    pairing_.reset();
    return true;
  }

 private:
  void Settle(std::unique_lock<std::mutex>& lock) {
    if (!answer_known_ || !result_known_ || !answered_ || !paired_ || pairing_ == nullptr) return;
    const std::shared_ptr<bt::DeviceInformationPairing> pairing = std::move(pairing_);
    lock.unlock();
    try {
      (void)pairing->UnpairAsync();
    } catch (const bt::PlatformError&) {
      // NOTE: nobody waits for this Connect any more to report a refusal to.
    }
  }

  std::mutex mutex_;
  std::shared_ptr<bt::DeviceInformationPairing> pairing_;  // the device's, taken on the thread of Connect
  const uint64_t address_;
  bool answer_known_ = false;
  bool answered_ = false;
  bool result_known_ = false;
  bool paired_ = false;
};

// The bonds that Connects which gave up waiting for their pairing leave to the platform's late word, of every
// client of the process: a Connect of any client that finds the device paired takes them over (its Disconnect
// removes the bond), so that the late word never removes a bond under a connection made since.
class LateBonds {
 public:
  static void Leave(const std::shared_ptr<LateBond>& bond) {
    std::lock_guard lock(Mutex());
    auto& bonds = Bonds();
    std::erase_if(bonds, [](const std::weak_ptr<LateBond>& weak) { return weak.expired(); });
    bonds.push_back(bond);
  }
  // TakeOver tells whether any bond left for the device at address was taken over.
  static bool TakeOver(uint64_t address) {
    std::vector<std::shared_ptr<LateBond>> left;
    {
      std::lock_guard lock(Mutex());
      for (const std::weak_ptr<LateBond>& weak : Bonds()) {
        if (std::shared_ptr<LateBond> bond = weak.lock()) left.push_back(std::move(bond));
      }
    }
    bool taken = false;
    for (const std::shared_ptr<LateBond>& bond : left) taken = bond->TakeOver(address) || taken;
    return taken;
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<std::weak_ptr<LateBond>>& Bonds() {
    static std::vector<std::weak_ptr<LateBond>> bonds;
    return bonds;
  }
};

bool IsServerIdText(const char* text) {
  if (text == nullptr) return false;
  for (int i = 0; i < kServerIdLength; ++i) {
    if (!IsHexDigit(text[i])) return false;  // the terminating NUL is no hex digit: no read past it
  }
  return text[kServerIdLength] == '\0';
}

int ParseBluetoothAddress(const char* text, uint64_t* address) {
  bool ended = text == nullptr;
  for (int k = 0; k < 6; ++k) {
    char high = '\0';
    char low = '\0';
    if (!ended) {
      high = text[2 * k];
      ended = high == '\0';
    }
    if (!ended) {
      low = text[2 * k + 1];
      ended = low == '\0';
    }
    const int32_t value = core::HexPairToByte(high, low);
    const uint64_t byte = value < 0 ? 0xFF : static_cast<uint64_t>(value);
    *address |= byte << (40 - 8 * k);
  }
  return 0;
}

// ---- EventDeliveries ---------------------------------------------------------------------------------------

void EventDeliveries::Delivery::Admit(EventDeliveries& deliveries) {
  if (deliveries_ != nullptr) return;
  {
    std::lock_guard lock(deliveries.mutex_);
    ++deliveries.inside_;
  }
  deliveries_ = &deliveries;
  outer_ = t_innermost_delivery;
  t_innermost_delivery = this;
}

EventDeliveries::Delivery::~Delivery() {
  if (deliveries_ == nullptr) return;
  t_innermost_delivery = outer_;
  deliveries_->Leave();
}

void EventDeliveries::Leave() {
  std::lock_guard lock(mutex_);
  --inside_;
  if (inside_ == 0) left_.notify_all();
}

bool EventDeliveries::WaitForOthers(const std::function<bool()>& give_up) {
  uint32_t own = 0;
  for (const Delivery* delivery = t_innermost_delivery; delivery != nullptr; delivery = delivery->outer_) {
    if (delivery->deliveries_ == this) ++own;
  }
  std::unique_lock lock(mutex_);
  inside_ -= own;
  if (inside_ == 0) left_.notify_all();
  while (inside_ != 0 && !give_up()) (void)left_.wait_for(lock, kDeliveryWaitStep);
  const bool none_left = inside_ == 0;
  inside_ += own;
  return none_left;
}

// ---- Engine members ----------------------------------------------------------------------------------------

const char* BLEClientEngine::FormatPairingStatus(int32_t status) {
  constexpr int32_t kCount = static_cast<int32_t>(sizeof kPairingStatusNames / sizeof kPairingStatusNames[0]);
  return status >= 0 && status < kCount ? kPairingStatusNames[status] : "Unknow";
}

const char* BLEClientEngine::GetServerId() {
  core::Buffer& text = CurrentResults().server_id;
  (void)text.Clear();
  const std::shared_ptr<bt::BluetoothLEDevice> device = HeldDevice();
  if (device != nullptr) (void)FormatBluetoothAddress(device->BluetoothAddress(), text);
  return text.Data();
}

std::shared_ptr<bt::BluetoothLEDevice> BLEClientEngine::HeldDevice() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return device_.device;
}

std::shared_ptr<bt::BluetoothLEDevice> BLEClientEngine::HeldDeviceFor(EventDeliveries::Delivery& delivery) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (device_.device != nullptr) delivery.Admit(deliveries_);
  return device_.device;
}

// The tree belongs to the held device: every change of it empties the tree and moves its generation on (see
// GattTree), after the change, so that a discovery that read the generation before the device never adds
// what one device gave to the tree of the next.
void BLEClientEngine::SetHeldDevice(std::shared_ptr<bt::BluetoothLEDevice> device) {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    device_.device.swap(device);
    device_.held.store(device_.device != nullptr, std::memory_order_release);
    if (device_.device == device) return;
  }
  (void)ClearGattTree();
  // The reference given up (now in device) is released here, outside the lock.
}

void BLEClientEngine::DropHeldDevice(const std::shared_ptr<bt::BluetoothLEDevice>& device) {
  std::shared_ptr<bt::BluetoothLEDevice> dropped;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (device_.device != device) return;
    dropped.swap(device_.device);
    device_.held.store(false, std::memory_order_release);
  }
  (void)ClearGattTree();
}

int BLEClientEngine::SetAwaitedPairing(std::shared_ptr<bt::DeviceInformationCustomPairing> pairing,
                                    const core::Buffer& id) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  pairing_.swap(pairing);
  ++pairing_round_;
  pairing_answered_ = false;
  return pairing_ != nullptr ? pairing_server_id_.Assign(id) : pairing_server_id_.Clear();
}

bool BLEClientEngine::GiveUpPairing() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  const bool answered = pairing_answered_;
  pairing_.reset();
  ++pairing_round_;
  pairing_answered_ = false;
  (void)pairing_server_id_.Clear();
  return answered;
}

bool BLEClientEngine::PairingAnswered() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return pairing_answered_;
}

int BLEClientEngine::LogConnection(int32_t level, const char* text, const char* log_type) {
  if (settings_.log_level.load(std::memory_order_relaxed) < level) return 0;
  return FireLog(level, text, log_type);
}

int BLEClientEngine::FailConnect(const char* text) {
  (void)LogConnection(1, text, kLogTypeConnection);
  (void)FireConnected(kConnectionFailed, text);
  return SetErrorText(kConnectionFailed, text);
}

int BLEClientEngine::Connect(const char* server_id) {
  core::Buffer id;
  int rc = id.SetString(TextOrEmpty(server_id));
  if (rc == core::kOk) rc = id.TrimByte(' ');
  if (rc != core::kOk) return ReportOutOfMemory(rc);
  if (id.IsEmpty()) return 0;
  // Anything but a 12-digit address would dial some other address (bad pairs read as 0xFF) and never
  // match the connected server's id, so each such Connect would tear the connection down.
  if (!IsServerIdText(id.Data())) {
    core::Buffer text;
    (void)text.Format("Invalid server ID \"%s\".", id.Data());
    return SetErrorText(kInvalidArgument, text.Data());
  }
  if (device_ != nullptr && settings_.not_connected.load(std::memory_order_acquire) == 0 &&
      id.EqualsNoCase(GetServerId())) {
    return 0;
  }
  // A scan still starting is stopped as well as a running one.
  rc = StopScanning();
  if (rc != 0) return rc;
  uint64_t address = 0;
  (void)ParseBluetoothAddress(id.Data(), &address);
  if (device_ != nullptr) {
    rc = Disconnect();
    if (rc != 0) return rc;
    // A sink that connects again from this Disconnect's own events (one that reconnects whenever a connection
    // ends) made a connection of its own meanwhile: this Connect, overtaken, leaves that one as it is.
    if (device_ != nullptr) return kParentNotListed;
  }
  const std::shared_ptr<bt::BluetoothPlatform> platform = bt::Provider();
  rc = RequireRadio(*platform);
  if (rc != 0) return rc;
  (void)bridge_->RegisterLogged(platform);
  const std::shared_ptr<bt::BluetoothLEDevice> device =
      AwaitLEDevice(*this, platform->FromBluetoothAddressAsync(address));
  if (device == nullptr) {
    // A wait that stopped (301) left its code and text; the failed connection (604, with a Connected event)
    // reports only a device that the platform does not know.
    if (LastErrorCode() != 0) return LastErrorCode();
    core::Buffer text;
    (void)text.Format("Connection to server ID %s was unsuccessful.", id.Data());
    return FailConnect(text.Data());
  }
  // Until this Connect has set the connection up, a status change of the device it holds (one reported through
  // the handler that an earlier Connect put on the same object) is its own doing, as the pairing brings the
  // link up: it raises no Connected "Online" before Connect's own Connected or failure.
  struct Connecting {
    BLEClientEngine& engine;
    explicit Connecting(BLEClientEngine& owner) : engine(owner) { Set(true); }
    ~Connecting() { Set(false); }
    void Set(bool on) {
      std::lock_guard lock(engine.status_mutex_);
      engine.connecting_ = on;
      if (on) engine.dropped_while_connecting_ = false;
    }
  } connecting(*this);
  try {
    if (settings_.pairing_mode.load(std::memory_order_relaxed) == 1) {
      if (PairingOf(*device)->CanPair()) {
        rc = PairDevice(device, id);
        if (rc != 0) return rc;
      } else if (LateBonds::TakeOver(device->BluetoothAddress())) {
        // Found paired (a platform that offers no pairing for a paired device) by the bond that a Connect
        // which gave up left to the platform's late word: the bond is this connection's now, which its
        // Disconnect removes, and the late word removes nothing under it.
        paired_here_.store(true);
      }
    }
    (void)bridge_->RegisterNameChanged(device);
    (void)bridge_->RegisterGattServicesChanged(device);
  } catch (...) {
    // A platform failure during pairing must not leave the device held in the pairing state, nor the bond
    // that the pairing made: no Disconnect follows a failed Connect.
    SetHeldDevice(nullptr);
    LeaveNoBond(device);
    settings_.not_connected.store(1, std::memory_order_release);
    throw;
  }
  SetHeldDevice(device);
  core::Buffer text;
  (void)text.Format("Successfully connected to server ID %s.", id.Data());
  (void)LogConnection(1, text.Data(), kLogTypeConnection);
  settings_.not_connected.store(0, std::memory_order_release);
  connecting.Set(false);
  (void)FireConnected(0, "OK");
  (void)bridge_->RegisterConnectionStatusChanged(device);
  // A link that dropped while this Connect set the connection up is no doing of its own: once Connected has
  // told of the connection, its loss is told as the status handler tells it, unless the link is back.
  bool dropped = false;
  {
    std::lock_guard lock(status_mutex_);
    dropped = dropped_while_connecting_;
    dropped_while_connecting_ = false;
  }
  if (dropped && HeldDevice() == device && device->ConnectionStatus() == bt::BluetoothConnectionStatus::Disconnected) {
    int32_t connected = 0;
    bool lost = false;
    {
      std::lock_guard lock(status_mutex_);
      lost = !disconnecting_ && !connecting_ &&
             settings_.not_connected.compare_exchange_strong(connected, 1, std::memory_order_acq_rel);
    }
    if (lost) (void)FireDisconnected(0, "Offline");
  }
  return 0;
}

// PairDevice runs the custom pairing of Connect. The device is held meanwhile (its server id is the
// ServerId property already). Returns 0 when the device may be used, else the failure (the device released).
int BLEClientEngine::PairDevice(const std::shared_ptr<bt::BluetoothLEDevice>& device, const core::Buffer& id) {
  SetHeldDevice(device);
  const std::shared_ptr<bt::DeviceInformationCustomPairing> custom = Required(PairingOf(*device)->Custom());
  (void)bridge_->RegisterPairingRequested(custom);
  // Only this pairing's requests reach the sink, with this server's id, and only while this call waits: the
  // request of a pairing whose Connect gave up may come late (the platform's event thread was busy), when
  // the held device is another one, and answering it would bond a server that no Connect asked for.
  struct EndOfWait {
    BLEClientEngine& engine;
    ~EndOfWait() { (void)engine.SetAwaitedPairing(nullptr, {}); }
  } end_of_wait{*this};
  int rc = SetAwaitedPairing(custom, id);
  if (rc != core::kOk) return ReportOutOfMemory(rc);
  // The platform's word may come after the wait stopped: the bond is removed then only when this pairing
  // made it (see LateBond), never one that another pairing made meanwhile.
  const std::shared_ptr<LateBond> late_bond = std::make_shared<LateBond>(PairingOf(*device), device->BluetoothAddress());
  const std::shared_ptr<bt::DevicePairingResult> result = AwaitPairingResult(
      *this, custom->PairAsync(kRequestedPairingKinds),
      [late_bond](std::shared_ptr<bt::DevicePairingResult> late) { late_bond->Finished(late); });
  int32_t status = static_cast<int32_t>(PairingStatus::Failed);
  if (result != nullptr) {
    status = static_cast<int32_t>(result->Status());
  } else if (LastErrorCode() != 0) {
    const int stopped = LastErrorCode();
    core::Buffer stopped_text;
    (void)stopped_text.Assign(LastErrorText());
    // An answer that the sink gave while this Connect waited may bond the device all the same (the
    // platform's word comes too late): no Disconnect follows a failed Connect, so that bond is removed once
    // the platform reports this pairing done. The pairing is given up first, so that no answer comes after.
    const bool answered = GiveUpPairing();
    late_bond->Answered(answered);
    if (answered) LateBonds::Leave(late_bond);
    SetHeldDevice(nullptr);
    settings_.not_connected.store(1, std::memory_order_release);
    return SetErrorText(stopped, stopped_text.Data());
  }
  // A bond of an earlier Connect that gave up (of this client or another), still to be removed once the
  // platform reports it, is this Connect's now that it connects (its Disconnect removes it).
  const bool taken_over = (status == static_cast<int32_t>(PairingStatus::Paired) ||
                           status == static_cast<int32_t>(PairingStatus::AlreadyPaired)) &&
                          LateBonds::TakeOver(device->BluetoothAddress());
  if (status == static_cast<int32_t>(PairingStatus::Paired)) {
    paired_here_.store(true);
    return 0;
  }
  // A bond made before (outside this connection) serves as well; it is not this engine's to remove. But a
  // bond that an answer of this pairing made is: a request of an earlier pairing of the same object that
  // came while this one waited was answered as this one's, and this pairing then finds the device bonded.
  if (status == static_cast<int32_t>(PairingStatus::AlreadyPaired)) {
    if (PairingAnswered() || taken_over) paired_here_.store(true);
    return 0;
  }
  SetHeldDevice(nullptr);
  settings_.not_connected.store(1, std::memory_order_release);
  // The platform's detail says why, where the status alone does not.
  core::Buffer reason;
  if (result != nullptr && PlatformStringToText(result->Detail(), reason) != core::kOk) (void)reason.Clear();
  core::Buffer text;
  if (reason.IsEmpty()) {
    (void)text.Format("Connection to server ID %s was unsuccessful, status %s.", id.Data(), FormatPairingStatus(status));
  } else {
    (void)text.Format("Connection to server ID %s was unsuccessful, status %s: %s.", id.Data(),
                      FormatPairingStatus(status), reason.Data());
  }
  return FailConnect(text.Data());
}

int BLEClientEngine::Disconnect() {
  const std::shared_ptr<bt::BluetoothLEDevice> device = HeldDevice();
  if (device == nullptr) return 0;
  // The bond is removed by one Disconnect only, should a sink disconnect at the same time.
  const bool paired_here = paired_here_.exchange(false);
  core::Buffer id;
  try {
    (void)id.SetString(GetServerId());
  } catch (const bt::PlatformError&) {
    // NOTE: the id only serves the log lines; a device that cannot tell its address is dropped all the same.
  }
  core::Buffer text;
  (void)text.Format("Disconnecting from server ID %s.", id.Data());
  (void)LogConnection(1, text.Data(), kLogTypeConnection);
  {
    std::lock_guard lock(status_mutex_);
    disconnecting_ = true;
  }
  // The tree, the selection and the current collections go first: nothing may reach the device's GATT
  // objects once it is dropped.
  (void)ClearGattTree();
  // A value that found its characteristic before the tree was emptied may still be on its way to the sink
  // on a platform thread, and would list its subscription again: it is waited for first. A sink may itself
  // wait for this thread (an application that marshals events to it), so the wait is bounded like every
  // other wait of the engine; the disconnect goes on when it runs out.
  bool delivered = WaitForDeliveries(deliveries_, platform::DeadlineClockMs() + BoundedWaitMs());
  subscriptions_.Clear();  // a new connection starts with no listed subscription state
  if (paired_here) Unpair(device, id);
  CloseLink(device, id);
  DropHeldDevice(device);
  // The deliveries of the device's own events admitted before it was dropped: a wait bounded on its own, so
  // that the time the platform took to unpair and close the link is not taken from it. After a first wait
  // that ran out, a delivery still holds out and this one would only wait for it again.
  delivered = delivered && WaitForDeliveries(deliveries_, platform::DeadlineClockMs() + BoundedWaitMs());
  {
    std::lock_guard lock(status_mutex_);
    disconnecting_ = false;
  }
  (void)text.Format("Disconnected from server ID %s.", id.Data());
  (void)LogConnection(1, text.Data(), kLogTypeConnection);
  settings_.not_connected.store(1, std::memory_order_release);
  (void)FireDisconnected(0, "OK");
  // The connection is closed either way; 301 tells the caller that an event of it that another thread was
  // still delivering may yet reach the sink.
  if (!delivered) return SetErrorText(kAwaitStopped, component::kTextTimeout);
  return 0;
}

bool BLEClientEngine::WaitForDeliveries(EventDeliveries& deliveries, uint64_t deadline) {
  if (deliveries.WaitForOthers([&] { return Destroying() || platform::DeadlineClockMs() >= deadline; })) return true;
  return Destroying();
}

// Unpair removes the bond that Connect made in this connection (Disconnect leaves a bond made outside the
// engine alone). The outcome does not change Disconnect's result: a refusal is only logged, and a wait that
// stopped or a platform failure leaves no code or text behind.
void BLEClientEngine::Unpair(const std::shared_ptr<bt::BluetoothLEDevice>& device, const core::Buffer& id) {
  try {
    const std::shared_ptr<bt::DeviceUnpairingResult> result =
        AwaitUnpairingResult(*this, PairingOf(*device)->UnpairAsync());
    if (result != nullptr && result->Status() == bt::DeviceUnpairingResultStatus::Failed) {
      LogUnconfirmed("Removing the pairing with server ID %s was not confirmed: %s", id, result->Detail());
    }
  } catch (const bt::PlatformError&) {
    // NOTE: the device is dropped whether or not the platform could unpair it.
  }
  if (LastErrorCode() != 0) {
    LogUnconfirmed("Removing the pairing with server ID %s was not confirmed: %s", id, {});
    (void)LastErrorText().Clear();
    SetLastErrorCode(0);
  }
}

void BLEClientEngine::LeaveNoBond(const std::shared_ptr<bt::BluetoothLEDevice>& device) noexcept {
  if (!paired_here_.exchange(false) || device == nullptr) return;
  try {
    (void)PairingOf(*device)->UnpairAsync();
  } catch (...) {
    // NOTE: nothing is left to tell; the platform keeps the bond.
  }
}

// CloseLink closes the link before Disconnected is raised, waiting for the platform within Timeout. The
// platform is given nine tenths of it, so that its own time-out, with its reason, comes before this wait
// gives up. A refusal or time-out is logged and changes nothing else; a platform that closes links with
// their last reference has nothing to wait for.
void BLEClientEngine::CloseLink(const std::shared_ptr<bt::BluetoothLEDevice>& device, const core::Buffer& id) {
  const uint32_t timeout = TimeoutMs();
  try {
    const std::shared_ptr<bt::DeviceCloseResult> result =
        AwaitCloseResult(*this, device->CloseAsync(timeout - timeout / 10));
    if (result != nullptr && !result->Succeeded()) {
      LogUnconfirmed("Disconnect from server ID %s was not confirmed: %s", id, result->Detail());
    }
  } catch (const bt::PlatformError&) {
    // NOTE: kENoInterface (or any failure) leaves the link to the release of the device.
  }
  if (LastErrorCode() != 0) {
    LogUnconfirmed("Disconnect from server ID %s was not confirmed: %s", id, {});
    (void)LastErrorText().Clear();
    SetLastErrorCode(0);
  }
}

// LogUnconfirmed logs at level 2 that the platform did not confirm a step of Disconnect: format takes the
// server id and the reason, which is the platform's detail or, without one, the stopped wait's text.
void BLEClientEngine::LogUnconfirmed(const char* format, const core::Buffer& id, const bt::HString& detail) {
  if (settings_.log_level.load(std::memory_order_relaxed) < 2) return;
  core::Buffer reason;
  if (!detail.empty()) {
    if (PlatformStringToText(detail, reason) != core::kOk) (void)reason.Clear();
  } else {
    (void)reason.SetString(LastErrorText().Data());
  }
  core::Buffer line;
  (void)line.Format(format, id.Data(), reason.Data());
  (void)FireLog(2, line.Data(), kLogTypeConnection);
}

// OnPlatformLogged passes a line that the platform logs on at level 2, with the log type of its activity.
void BLEClientEngine::OnPlatformLogged(const std::shared_ptr<bt::PlatformLogEventArgs>& args) {
  if (args == nullptr || settings_.log_level.load(std::memory_order_relaxed) < 2) return;
  static const char* const kTypes[] = {"Scanning", kLogTypeConnection, kGattLogDiscovery, kGattLogSubscriptions};
  const auto topic = static_cast<size_t>(args->Topic());
  core::Buffer text;
  if (PlatformStringToText(args->Text(), text) != core::kOk) return;
  (void)FireLog(2, text.Data(), topic < std::size(kTypes) ? kTypes[topic] : kLogTypeConnection);
}

// ---- Device handlers (platform threads) --------------------------------------------------------------------

void BLEClientEngine::OnConnectionStatusChanged(const std::shared_ptr<bt::BluetoothLEDevice>&,
                                                const std::shared_ptr<bt::Inspectable>&) {
  // The status is read from the device the engine holds, not from the sender.
  EventDeliveries::Delivery delivery;
  const std::shared_ptr<bt::BluetoothLEDevice> device = HeldDeviceFor(delivery);
  if (device == nullptr) return;
  const bt::BluetoothConnectionStatus status = device->ConnectionStatus();
  if (settings_.log_level.load(std::memory_order_relaxed) >= 3) {
    core::Buffer status_text;
    if (PlatformStringToText(bt::Provider()->EnumText(status), status_text) != core::kOk) (void)status_text.Clear();
    core::Buffer line;
    (void)line.Format("System updated device connection status to \"%s\".", status_text.Data());
    (void)FireLog(3, line.Data(), kLogTypeDebug);
  }
  int32_t expected = status == bt::BluetoothConnectionStatus::Disconnected ? 0 : 1;
  {
    // The application's Disconnect raises its own Disconnected, and Connect its own Connected; a change seen
    // meanwhile is their doing.
    std::lock_guard lock(status_mutex_);
    if (connecting_ && expected == 0) dropped_while_connecting_ = true;
    if (disconnecting_ || connecting_) return;
    if (!settings_.not_connected.compare_exchange_strong(expected, 1 - expected, std::memory_order_acq_rel)) return;
  }
  if (expected == 0) {
    (void)FireDisconnected(0, "Offline");
  } else {
    (void)FireConnected(0, "Online");
  }
}

void BLEClientEngine::OnNameChanged(const std::shared_ptr<bt::BluetoothLEDevice>& sender,
                                    const std::shared_ptr<bt::Inspectable>&) {
  EventDeliveries::Delivery delivery;
  const std::shared_ptr<bt::BluetoothLEDevice> device = HeldDeviceFor(delivery);
  // A device object of an earlier connection that is still alive does not speak for the server now.
  if (device == nullptr || (sender != nullptr && sender != device)) return;
  core::Buffer name;
  if (PlatformStringToText(device->Name(), name) != core::kOk) (void)name.Clear();
  if (settings_.log_level.load(std::memory_order_relaxed) >= 2) {
    core::Buffer line;
    (void)line.Format("Server's name has changed to %s.", name.Data());
    (void)FireLog(2, line.Data(), kLogTypeVerbose);
  }
  (void)FireServerUpdate(name.Data(), "");
}

void BLEClientEngine::OnGattServicesChanged(const std::shared_ptr<bt::BluetoothLEDevice>& sender,
                                            const std::shared_ptr<bt::Inspectable>& args) {
  EventDeliveries::Delivery delivery;
  const std::shared_ptr<bt::BluetoothLEDevice> device = HeldDeviceFor(delivery);
  if (device == nullptr || (sender != nullptr && sender != device)) return;
  (void)LogConnection(2, "Server's services have changed.", kLogTypeVerbose);
  core::Buffer changed;
  if (args != nullptr && PlatformStringToText(args->ToString(), changed) != core::kOk) (void)changed.Clear();
  // The tree stays as it is: the application discovers again when it wants the new services.
  (void)FireServerUpdate("", changed.Data());
}

void BLEClientEngine::OnPairingRequested(const std::shared_ptr<bt::DeviceInformationCustomPairing>& pairing,
                                         const std::shared_ptr<bt::DevicePairingRequestedEventArgs>& args) {
  if (args == nullptr || pairing == nullptr) return;
  // A request of a pairing that no Connect waits for (any more) is left unanswered, which refuses it.
  core::Buffer server_id;
  uint64_t round = 0;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (pairing != pairing_ || server_id.Assign(pairing_server_id_) != core::kOk) return;
    round = pairing_round_;
  }
  const uint32_t kind = args->PairingKind();
  core::Buffer pin;
  if (PlatformStringToText(args->Pin(), pin) != core::kOk) (void)pin.Clear();
  int32_t accept = 0;
  (void)FirePairingRequest(server_id.Data(), static_cast<int32_t>(kind), &pin, &accept);
  if (accept == 0) return;
  // A PIN is required for ProvidePin: without one no answer is given and the platform refuses the pairing.
  bt::HString wide_pin;
  if (kind == bt::DevicePairingKinds::ProvidePin &&
      (pin.IsEmpty() || TextToPlatformString(pin.Data(), wide_pin) != core::kOk)) {
    return;
  }
  // The sink may answer long after the request came (a person typing the PIN): once Connect has stopped
  // waiting for this pairing, the answer is not given, which declines it, since no Connect would hold the
  // bond it makes. That holds as well when a later Connect waits for a pairing of the same object by then
  // (the answer belongs to the round the request came in), and once Destroy has begun, which ends Connect's
  // wait (a sink that destroys its client, then answers). It is given under the lock that Connect gives up
  // the pairing under.
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (pairing != pairing_ || round != pairing_round_ || Destroying()) return;
  pairing_answered_ = true;
  if (kind != bt::DevicePairingKinds::ProvidePin) {
    args->Accept();
  } else {
    args->AcceptWithPin(wide_pin);
  }
}

}  // namespace velmora::ble
