// Connect, Disconnect, pairing, and the device handlers that report later changes of the connected server.
//
// The held device changes only on the application's thread (Connect, Disconnect), under the engine's state
// mutex; the handlers run on platform threads and take their own reference through HeldDevice. The
// not-connected flag is an atomic that both sides change: the status handler moves it only on a real
// transition, so a drop and a return of the link are each reported once.
#include "ble/connection.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "ble/advertisement.h"
#include "ble/await.h"
#include "ble/ble_client.h"
#include "ble/ble_client_engine.h"
#include "ble/gatt_result.h"
#include "ble/internal.h"
#include "core/hex.h"
#include "platform/bluetooth/sim/core.h"
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
// The events of a connection that the calling thread delivers, innermost first (see EventOfConnection).
thread_local BLEClientEngine::EventOfConnection* t_innermost_event = nullptr;
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

// The bonds that pairings of this process made, per device of a platform, and the connections of every client
// that use the device: a bond that a pairing here made is removed once no connection uses it any more (by the
// last one's Disconnect, or without waiting where no Disconnect follows), never under a connection of another
// client; and a Connect waits for a removal under way before it looks at the device's pairing, so that it
// never finds a bond that is about to go. Any thread.
class Bonds {
 public:
  using Key = BLEClientEngine::BondUse;

  // Shared is the process's record. It is never destroyed: a client may be disconnected or destroyed by the
  // program's clean-up at exit (an atexit handler, a static's destructor), after the statics made since have
  // gone; and a platform thread may end a removal after the process began to exit (a removal asked for without
  // waiting, by Destroy say). It lives in static storage, off the heap, so that a program's leak check finds
  // nothing of it at exit; the pointers handed out own nothing.
  static std::shared_ptr<Bonds> Shared() {
    alignas(Bonds) static unsigned char storage[sizeof(Bonds)];
    static Bonds* const bonds = new (storage) Bonds();
    return std::shared_ptr<Bonds>(std::shared_ptr<void>(), bonds);
  }
  using Wait = bt::sim::SimAsyncOperation<bt::DeviceUnpairingResult>;

  // Use counts one more connection of the device (from the start of its Connect), and returns an operation
  // that finishes once no removal of the device's bond is under way (null when none is).
  std::shared_ptr<Wait> Use(const Key& key) {
    std::lock_guard lock(mutex_);
    // The records of a platform that is gone (a provider replaced) are of no device any more.
    std::erase_if(devices_, [](const auto& entry) { return entry.first.platform.expired(); });
    Device& device = devices_[key];
    ++device.users;
    return WaitFor(device);
  }
  // Removing returns an operation that finishes once no removal of the device's bond is under way (null when
  // none is), counting no use.
  std::shared_ptr<Wait> Removing(const Key& key) {
    std::lock_guard lock(mutex_);
    auto found = devices_.find(key);
    return found != devices_.end() ? WaitFor(found->second) : nullptr;
  }
  // Made records that a pairing of this process bonded the device.
  void Made(const Key& key) {
    std::lock_guard lock(mutex_);
    devices_[key].made = true;
  }
  // Leave ends one connection's use. True when it was the last use of a bond made here: the caller removes the
  // bond, then calls Removed.
  bool Leave(const Key& key) {
    std::lock_guard lock(mutex_);
    auto found = devices_.find(key);
    if (found == devices_.end()) return false;
    if (found->second.users > 0) --found->second.users;
    return StartRemoval(found);
  }
  // Orphaned records a bond made here by a pairing that no Connect waits for any more. True when no connection
  // uses the device: the caller removes the bond, then calls Removed; otherwise the last use removes it.
  bool Orphaned(const Key& key) {
    std::lock_guard lock(mutex_);
    auto found = devices_.try_emplace(key).first;
    found->second.made = true;
    return StartRemoval(found);
  }
  // Kept ends a removal that Leave or Orphaned started but could not ask for (no device object to ask with):
  // the bond stays the library's, for the next connection's end to remove.
  void Kept(const Key& key) {
    {
      std::lock_guard lock(mutex_);
      auto found = devices_.find(key);
      if (found != devices_.end()) found->second.made = true;
    }
    Removed(key);
  }
  // Removed ends a removal that Leave or Orphaned started, and the Connects' waits for it.
  void Removed(const Key& key) {
    std::vector<std::shared_ptr<Wait>> waits;
    {
      std::lock_guard lock(mutex_);
      auto found = devices_.find(key);
      if (found == devices_.end()) return;
      Device& device = found->second;
      if (device.removals > 0) --device.removals;
      if (device.removals == 0) waits.swap(device.waits);
      Forget(found);
    }
    for (const std::shared_ptr<Wait>& wait : waits) wait->Finish(nullptr, 0);
  }

 private:
  struct Device {
    int users = 0;      // connections that use the device
    bool made = false;  // a pairing here made its bond, which is not being removed yet
    int removals = 0;   // removals of that bond under way
    std::vector<std::shared_ptr<Wait>> waits;  // the Connects and Destroys waiting for them
  };
  struct Order {
    bool operator()(const Key& a, const Key& b) const {
      if (a.platform.owner_before(b.platform)) return true;
      if (b.platform.owner_before(a.platform)) return false;
      return a.address < b.address;
    }
  };
  using Map = std::map<Key, Device, Order>;

  static std::shared_ptr<Wait> WaitFor(Device& device) {
    if (device.removals == 0) return nullptr;
    device.waits.push_back(std::make_shared<Wait>());
    return device.waits.back();
  }
  bool StartRemoval(Map::iterator found) {
    Device& device = found->second;
    if (device.users > 0 || !device.made) {
      Forget(found);
      return false;
    }
    device.made = false;
    ++device.removals;
    return true;
  }
  void Forget(Map::iterator found) {
    const Device& device = found->second;
    if (device.users == 0 && !device.made && device.removals == 0) devices_.erase(found);
  }
  std::mutex mutex_;
  Map devices_;
};

// RemoveBond asks the platform to remove the device's bond (which Bonds handed to the caller) without waiting,
// and ends the removal in Bonds once the platform has answered. Never raises.
void RemoveBond(const std::shared_ptr<Bonds>& bonds, const std::shared_ptr<bt::DeviceInformationPairing>& pairing,
                const Bonds::Key& key) noexcept {
  try {
    const bt::AsyncOp<bt::DeviceUnpairingResult> removal = pairing->UnpairAsync();
    if (removal != nullptr) {
      removal->SetCompleted(
          [bonds, key](bt::AsyncOperation<bt::DeviceUnpairingResult>&, bt::AsyncStatus) {
            bonds->Removed(key);
          });
      return;
    }
  } catch (...) {
    // NOTE: nobody waits for this removal to report a refusal to; the platform keeps the bond.
  }
  bonds->Removed(key);
}

// RemoveBondOfDevice asks the platform for the device of key and removes its bond (as RemoveBond), without
// waiting, for a use that ended without a device object (a Connect whose lookup failed). A device the platform
// cannot give keeps the bond the library's (Bonds::Kept). Never raises.
void RemoveBondOfDevice(const std::shared_ptr<Bonds>& bonds, const Bonds::Key& key) noexcept {
  try {
    const std::shared_ptr<bt::BluetoothPlatform> platform = key.platform.lock();
    const bt::AsyncOp<bt::BluetoothLEDevice> lookup =
        platform != nullptr ? platform->FromBluetoothAddressAsync(key.address) : nullptr;
    if (lookup != nullptr) {
      lookup->SetCompleted([bonds, key](bt::AsyncOperation<bt::BluetoothLEDevice>& operation, bt::AsyncStatus) {
        std::shared_ptr<bt::DeviceInformationPairing> pairing;
        try {
          const std::shared_ptr<bt::BluetoothLEDevice> device = operation.GetResults();
          if (device != nullptr) pairing = PairingOf(*device);
        } catch (...) {
          // NOTE: a device the platform cannot give keeps its bond, as below.
        }
        if (pairing == nullptr) {
          bonds->Kept(key);
          return;
        }
        RemoveBond(bonds, pairing, key);
      });
      return;
    }
  } catch (...) {
    // NOTE: as a device the platform cannot give.
  }
  bonds->Kept(key);
}

// RemoveStartedBond asks the platform to remove a bond whose removal Bonds has begun, through device, or through
// a lookup of the device where device is null or cannot give its pairing, without waiting. Never raises.
void RemoveStartedBond(const std::shared_ptr<Bonds>& bonds, const std::shared_ptr<bt::BluetoothLEDevice>& device,
                       const Bonds::Key& key) noexcept {
  std::shared_ptr<bt::DeviceInformationPairing> pairing;
  try {
    if (device != nullptr) pairing = PairingOf(*device);
  } catch (...) {
    // NOTE: a device that cannot give its pairing is looked up anew.
  }
  if (pairing == nullptr) {
    RemoveBondOfDevice(bonds, key);
    return;
  }
  RemoveBond(bonds, pairing, key);
}

// LeaveUse ends a connection's use of the bond (see Bonds): when it was the last use of a bond that a pairing
// of the library made, the platform is asked to remove it through device, or through a lookup of the device
// where device is null, without waiting; true then. Never raises.
bool LeaveUse(const std::shared_ptr<bt::BluetoothLEDevice>& device, const Bonds::Key& use) noexcept {
  const std::shared_ptr<Bonds> bonds = Bonds::Shared();
  if (!bonds->Leave(use)) return false;
  RemoveStartedBond(bonds, device, use);
  return true;
}

// BondOutcome is what a pairing of the library leaves of the device's bond, from the platform's result: Paired
// made it; AlreadyPaired made it only where the sink answered (a request of an earlier pairing of the device,
// taken for this one, bonded it); a failed pairing, or one whose result cannot tell, that leaves the device
// bonded made it only where the sink answered, or was shown a displayed PIN that the platform did not wait for
// (bluetoothd bonds as the device's user types the passkey, whatever the sink answers). Otherwise another
// program, or the system, may have paired the device meanwhile, and its bond is not the library's.
enum class BondOutcome { kNone, kMade, kMadeIfAnswered, kMadeIfAnsweredOrShown };

// Made tells whether a pairing whose sink heard word made the bond of outcome.
bool Made(BondOutcome outcome, SinkWord word) {
  switch (outcome) {
    case BondOutcome::kMade:
      return true;
    case BondOutcome::kMadeIfAnswered:
      return word.answered;
    case BondOutcome::kMadeIfAnsweredOrShown:
      return word.answered || word.shown;
    case BondOutcome::kNone:
      break;
  }
  return false;
}

BondOutcome FailedPairingsBond(bt::DeviceInformationPairing& pairing) {
  try {
    return pairing.IsPaired() ? BondOutcome::kMadeIfAnsweredOrShown : BondOutcome::kNone;
  } catch (...) {
    // NOTE: a device that cannot tell keeps what it has.
    return BondOutcome::kNone;
  }
}

BondOutcome OutcomeOf(const std::shared_ptr<bt::DevicePairingResult>& result, bt::DeviceInformationPairing& pairing) {
  try {
    const bt::DevicePairingResultStatus status =
        result != nullptr ? result->Status() : bt::DevicePairingResultStatus::Failed;
    if (status == bt::DevicePairingResultStatus::Paired) return BondOutcome::kMade;
    if (status == bt::DevicePairingResultStatus::AlreadyPaired) return BondOutcome::kMadeIfAnswered;
  } catch (const bt::PlatformError&) {
    // NOTE: as a failed pairing.
  }
  return FailedPairingsBond(pairing);
}

// LateBond decides about a pairing whose Connect stopped waiting for it: the bond that the platform's late result
// shows this pairing made (see BondOutcome; what the sink heard is known once the wait has stopped) is
// removed once no connection uses the device (see Bonds). Either word may come first, on any thread; it keeps no
// engine, which may be gone by the time the platform answers.
class LateBond {
 public:
  LateBond(std::shared_ptr<bt::DeviceInformationPairing> pairing, Bonds::Key key)
      : pairing_(std::move(pairing)), key_(std::move(key)) {}
  // The record, held: the platform's late word may come after the process began to exit.
  const std::shared_ptr<Bonds> bonds_ = Bonds::Shared();
  void Heard(SinkWord word) {
    std::unique_lock lock(mutex_);
    word_known_ = true;
    word_ = word;
    Settle(lock);
  }
  void Finished(const std::shared_ptr<bt::DevicePairingResult>& result) {
    std::shared_ptr<bt::DeviceInformationPairing> pairing;
    {
      std::lock_guard lock(mutex_);
      pairing = pairing_;
    }
    const BondOutcome outcome = pairing != nullptr ? OutcomeOf(result, *pairing) : BondOutcome::kNone;
    std::unique_lock lock(mutex_);
    result_known_ = true;
    outcome_ = outcome;
    Settle(lock);
  }

 private:
  void Settle(std::unique_lock<std::mutex>& lock) {
    if (!word_known_ || !result_known_ || pairing_ == nullptr) return;
    if (!Made(outcome_, word_)) return;
    const std::shared_ptr<bt::DeviceInformationPairing> pairing = std::move(pairing_);
    lock.unlock();
    if (bonds_->Orphaned(key_)) RemoveBond(bonds_, pairing, key_);
  }

  std::mutex mutex_;
  std::shared_ptr<bt::DeviceInformationPairing> pairing_;  // the device's, taken on the thread of Connect
  const Bonds::Key key_;
  bool word_known_ = false;
  SinkWord word_;
  bool result_known_ = false;
  BondOutcome outcome_ = BondOutcome::kNone;
};

}  // namespace

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

// ---- Events of a connection ----------------------------------------------------------------------------------

BLEClientEngine::EventOfConnection::EventOfConnection(const BLEClientEngine* engine, uint64_t generation)
    : engine_(engine), generation_(generation), outer_(t_innermost_event) {
  t_innermost_event = this;
}

BLEClientEngine::EventOfConnection::~EventOfConnection() { t_innermost_event = outer_; }

void BLEClientEngine::FollowConnection() {
  if (t_innermost_event == nullptr) return;
  const uint64_t now = TreeGeneration();
  for (EventOfConnection* event = t_innermost_event; event != nullptr; event = event->outer_) {
    if (event->engine_ == this) event->generation_ = now;
  }
}

bool BLEClientEngine::EventConnectionEnded() {
  for (const EventOfConnection* event = t_innermost_event; event != nullptr; event = event->outer_) {
    if (event->engine_ == this) return event->generation_ != TreeGeneration();
  }
  return false;
}

int BLEClientEngine::RequireConnection() {
  if (EventConnectionEnded()) return kParentNotListed;
  if (device_ != nullptr && settings_.not_connected.load(std::memory_order_relaxed) == 0) return 0;
  return SetErrorText(kNotConnected, kNotConnectedText);
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
  (void)HoldDeviceOfUse(std::move(device), 0);
}

bool BLEClientEngine::HoldDeviceOfUse(std::shared_ptr<bt::BluetoothLEDevice> device, uint64_t serial) {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (serial != 0 && (!bond_use_.has_value() || bond_use_->serial != serial)) return false;
    device_.device.swap(device);
    device_.held.store(device_.device != nullptr, std::memory_order_release);
    if (device_.device == device) return true;
    device_.ending = false;
  }
  (void)ClearGattTree();
  // The reference given up (now in device) is released here, outside the lock.
  return true;
}

void BLEClientEngine::DropHeldDevice(const std::shared_ptr<bt::BluetoothLEDevice>& device) {
  std::shared_ptr<bt::BluetoothLEDevice> dropped;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (device_.device != device) return;
    dropped.swap(device_.device);
    device_.held.store(false, std::memory_order_release);
    device_.ending = false;
  }
  (void)ClearGattTree();
}

int BLEClientEngine::AwaitOtherDisconnect() {
  // A thread inside a sink (the other Disconnect's own event among them, or one that it waits for) or a
  // delivery returns at once; so does a thread that delivers a platform event.
  if (SinkFrame::InSink() || t_innermost_delivery != nullptr || OnPlatformEventThread()) return 0;
  const uint64_t deadline = platform::DeadlineClockMs() + BoundedWaitMs();
  for (;;) {
    // Until the other one has returned: it raises Disconnected after it has dropped the device.
    if (disconnects_running_.load(std::memory_order_acquire) == 0) return 0;
    if (Destroying()) return 0;
    if (platform::DeadlineClockMs() >= deadline) return SetErrorText(kAwaitStopped, component::kTextTimeout);
    std::this_thread::sleep_for(kDeliveryWaitStep);
  }
}

std::shared_ptr<bt::BluetoothLEDevice> BLEClientEngine::ClaimHeldDevice(std::optional<BondUse>* unheld_use) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (device_.device == nullptr && unheld_use != nullptr) *unheld_use = std::exchange(bond_use_, std::nullopt);
  const bool claimed = device_.device != nullptr && !device_.ending;
  if (!claimed && (unheld_use == nullptr || !unheld_use->has_value())) return nullptr;
  if (claimed) device_.ending = true;
  // The pairing that a Connect waits for is given up with its connection: a request that comes later is left
  // unanswered (refused), and none reaches the sink once this Disconnect has returned.
  awaited_pairing_.reset();
  // Counted with the claim (or the use taken), so that a Disconnect or Connect that finds the claim finds the
  // count too.
  disconnects_running_.fetch_add(1, std::memory_order_acq_rel);
  disconnects_ending_.fetch_add(1, std::memory_order_acq_rel);
  return claimed ? device_.device : nullptr;
}

void BLEClientEngine::ReleaseHeldDevice(const std::shared_ptr<bt::BluetoothLEDevice>& device) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (device_.device == device) device_.ending = false;
}

bool BLEClientEngine::SettingUpLocked(const std::optional<BondUse>& use) const {
  return use.has_value() && std::find(connecting_.begin(), connecting_.end(), use->serial) != connecting_.end();
}

void BLEClientEngine::AwaitPairing(const std::shared_ptr<AwaitedPairing>& round) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  awaited_pairing_ = round;
}

SinkWord BLEClientEngine::GiveUpPairing(const std::shared_ptr<AwaitedPairing>& round) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (awaited_pairing_ == round) awaited_pairing_.reset();
  return round->word;
}

SinkWord BLEClientEngine::PairingWord(const std::shared_ptr<AwaitedPairing>& round) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return round->word;
}

int BLEClientEngine::LogConnection(int32_t level, const char* text, const char* log_type) {
  if (settings_.log_level.load(std::memory_order_relaxed) < level) return 0;
  return FireLog(level, text, log_type);
}

int BLEClientEngine::FailConnect(const char* text, const std::shared_ptr<bt::BluetoothLEDevice>& device,
                                 uint64_t serial) {
  LeaveBond(device, serial);
  (void)LogConnection(1, text, kLogTypeConnection);
  // A Connect made in that Log line (a sink's) has the client's connection now, or is setting it up: this
  // one's failure is no word of it (cut short, as a Connect that a sink's Connect overtakes is).
  if (CurrentBondUse().has_value()) return kParentNotListed;
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
  // Not while a Disconnect ends that connection (from its claim of the device until its Disconnected).
  const auto connected_as_asked = [&] {
    return device_ != nullptr && settings_.not_connected.load(std::memory_order_acquire) == 0 &&
           disconnects_ending_.load(std::memory_order_acquire) == 0 && id.EqualsNoCase(GetServerId());
  };
  if (connected_as_asked()) return 0;
  // A Disconnect made from here on (on whichever thread, also in a sink) ends this Connect too: it gives up
  // (608) at its next step, until it holds its use of the bond, which such a Disconnect takes from then on.
  const uint64_t number = connects_begun_.fetch_add(1, std::memory_order_acq_rel) + 1;
  const auto cut = [&] { return connects_cut_.load(std::memory_order_acquire) >= number; };
  // A scan still starting is stopped as well as a running one.
  rc = StopScanning();
  if (rc != 0) return rc;
  // The stop's StopScan sink may have connected the same server meanwhile: it is connected as asked.
  if (connected_as_asked()) return 0;
  if (cut()) return kParentNotListed;
  uint64_t address = 0;
  (void)ParseBluetoothAddress(id.Data(), &address);
  // A Disconnect is ending the connection from its claim of the device until its Disconnected, also once it has
  // dropped the device.
  if (device_ != nullptr || disconnects_ending_.load(std::memory_order_acquire) != 0) {
    rc = Disconnect(true);
    if (rc != 0) return rc;
    // A sink that connects again from this Disconnect's own events (one that reconnects whenever a connection
    // ends) made a connection of its own meanwhile, or another Disconnect (a sink's on another thread, or the
    // application's beside this sink) is still ending the connection, which this one, in a sink, could not
    // wait for: this Connect, overtaken, leaves the connection (or that end) to them.
    if (device_ != nullptr || disconnects_ending_.load(std::memory_order_acquire) != 0) return kParentNotListed;
  }
  if (cut()) return kParentNotListed;
  const std::shared_ptr<bt::BluetoothPlatform> platform = bt::Provider();
  rc = RequireRadio(*platform);
  if (rc != 0) return rc;
  (void)bridge_->RegisterLogged(platform);
  // The connection uses the device's bond from here on (see Bonds): one that another client's Disconnect or
  // Destroy is removing goes first, before the device is asked for, so that this Connect never finds a bond,
  // nor a device object (bluetoothd removes the device with its bond), about to go. A failed Connect ends the
  // use again.
  std::shared_ptr<bt::BluetoothLEDevice> device;
  struct UseOfBond {
    BLEClientEngine& engine;
    const std::shared_ptr<bt::BluetoothLEDevice>& device;
    uint64_t serial = 0;
    bool kept = false;
    ~UseOfBond() {
      if (!kept && serial != 0) engine.LeaveBond(device, serial);
    }
  } bond_use{*this, device};
  rc = UseBond(platform, address, &bond_use.serial);
  if (rc != 0) return rc;
  if (cut()) return kParentNotListed;
  device = AwaitLEDevice(*this, platform->FromBluetoothAddressAsync(address));
  // A wait that stopped (301) left its code and text.
  if (device == nullptr && LastErrorCode() != 0) return LastErrorCode();
  // A sink's Connect (on a platform thread) that began while this one waited for the device took the
  // engine's use of the bond over and ended this one's (UseBond): this Connect, overtaken, leaves the sink's
  // connection as it is, as the pairing does below.
  if (!HoldsBondUse(bond_use.serial)) return kParentNotListed;
  if (device == nullptr) {
    // The failed connection (604, with a Connected event) reports only a device that the platform does not
    // know.
    core::Buffer text;
    (void)text.Format("Connection to server ID %s was unsuccessful.", id.Data());
    return FailConnect(text.Data(), device, bond_use.serial);
  }
  // Until this Connect has set the connection up, a status change of the device it holds (one reported through
  // the handler that an earlier Connect put on the same object) is its own doing, as the pairing brings the
  // link up: it raises no Connected "Online" before Connect's own Connected or failure.
  // Counted by this Connect's use of the bond: a sink's Connect that overtakes this one counts its own, which
  // this one's end leaves alone.
  struct Connecting {
    BLEClientEngine& engine;
    const uint64_t serial;
    bool on = true;
    Connecting(BLEClientEngine& owner, uint64_t use) : engine(owner), serial(use) {
      std::lock_guard lock(engine.status_mutex_);
      engine.connecting_.push_back(serial);
      engine.dropped_while_connecting_ = false;
    }
    ~Connecting() { End(); }
    void End() {
      std::lock_guard lock(engine.status_mutex_);
      if (!on) return;
      on = false;
      engine.connecting_.erase(std::find(engine.connecting_.begin(), engine.connecting_.end(), serial));
    }
  } connecting(*this, bond_use.serial);
  try {
    if (settings_.pairing_mode.load(std::memory_order_relaxed) == 1) {
      if (PairingOf(*device)->CanPair()) {
        // The status handler is in place before the pairing holds the device, so that a link lost while it
        // pairs (as the bond completes, say) is noted for the check after Connected.
        (void)bridge_->RegisterConnectionStatusChanged(device);
        rc = PairDevice(device, id, BondUse{platform, address, bond_use.serial});
        if (rc != 0) return rc;
      }
    }
    // The status handler is in place before Connected is told, so that a link that drops while the Connected
    // sink runs (one that discovers, say) is told as well: until connecting ends below, a drop is noted for the
    // check after Connected, then the handler tells it.
    (void)bridge_->RegisterConnectionStatusChanged(device);
    (void)bridge_->RegisterNameChanged(device);
    (void)bridge_->RegisterGattServicesChanged(device);
  } catch (...) {
    // A platform failure while Connect pairs or puts its handlers in place must not leave the device held, nor
    // the bond that the pairing made: no Disconnect follows a failed Connect (the use ends with bond_use). A
    // sink's Connect that overtook this one keeps its connection.
    if (HoldDeviceOfUse(nullptr, bond_use.serial)) settings_.not_connected.store(1, std::memory_order_release);
    throw;
  }
  // A sink's Disconnect or Connect made since (while this Connect registered its handlers, or once it had
  // paired) overtook it as well.
  if (!HoldDeviceOfUse(device, bond_use.serial)) return kParentNotListed;
  bond_use.kept = true;
  core::Buffer text;
  (void)text.Format("Successfully connected to server ID %s.", id.Data());
  (void)LogConnection(1, text.Data(), kLogTypeConnection);
  // A sink's Connect elsewhere (another client's sink on a platform thread, say) may have overtaken this one
  // since it held the device, while the Log line above was in the sink: Connected tells only of a connection
  // that is still this Connect's.
  if (!HoldsBondUse(bond_use.serial) || HeldDevice() != device) return kParentNotListed;
  settings_.not_connected.store(0, std::memory_order_release);
  connecting.End();
  (void)FireConnected(0, "OK");
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
    const std::optional<BondUse> use = CurrentBondUse();
    {
      std::lock_guard lock(status_mutex_);
      lost = !disconnecting_ && !SettingUpLocked(use) &&
             settings_.not_connected.compare_exchange_strong(connected, 1, std::memory_order_acq_rel);
    }
    if (lost) (void)FireDisconnected(0, "Offline");
  }
  return 0;
}

// PairDevice runs the custom pairing of Connect. The device is held meanwhile (its server id is the
// ServerId property already). Returns 0 when the device may be used, else the failure (the device released).
int BLEClientEngine::PairDevice(const std::shared_ptr<bt::BluetoothLEDevice>& device, const core::Buffer& id,
                                const BondUse& own_use) {
  const uint64_t serial = own_use.serial;
  const auto round = std::make_shared<AwaitedPairing>();
  const int rc = round->server_id.Assign(id);
  if (rc != core::kOk) return ReportOutOfMemory(rc);
  if (!HoldDeviceOfUse(device, serial)) return kParentNotListed;
  round->generation = TreeGeneration();
  const std::shared_ptr<bt::DeviceInformationCustomPairing> custom = Required(PairingOf(*device)->Custom());
  (void)bridge_->RegisterPairingRequested(custom);
  // Only this pairing's requests reach the sink, with this server's id, and only while this call waits: the
  // request of a pairing whose Connect gave up may come late (the platform's event thread was busy), when
  // the held device is another one, and answering it would bond a server that no Connect asked for.
  // The round is this Connect's own: a sink's Connect that overtakes it waits for a round of its own, which
  // this one's end leaves alone.
  round->pairing = custom;
  struct EndOfWait {
    BLEClientEngine& engine;
    const std::shared_ptr<AwaitedPairing>& round;
    ~EndOfWait() { (void)engine.GiveUpPairing(round); }
  } end_of_wait{*this, round};
  AwaitPairing(round);
  // A Disconnect (or a sink's Connect elsewhere) since the device was held cut this Connect short: nothing is
  // paired for it.
  if (!HoldsBondUse(serial)) return kParentNotListed;
  // The platform's word may come after the wait stopped: the bond is removed then only when this pairing
  // made it (see LateBond), never one that another pairing made meanwhile. The use is this Connect's own, also
  // once a Disconnect has ended it.
  const BondUse& use = own_use;
  const std::shared_ptr<LateBond> late_bond = std::make_shared<LateBond>(PairingOf(*device), use);
  // A pairing that fails after the sink answered may have bonded the device all the same: its result could not
  // be had, or an answer of an earlier pairing of the device, taken for this one, bonded it before this pairing
  // failed on its own. So may one whose displayed PIN the sink refused, where the platform did not
  // wait for the answer. No Disconnect follows a failed Connect: that bond (see BondOutcome) is removed with the
  // last connection that uses the device (this Connect's use, ending as it returns, or one still open; at once
  // when a sink's Disconnect has ended this one's already). A device left unbonded has no bond of the library's.
  const auto count_failed_pairings_bond = [&]() noexcept {
    try {
      const std::shared_ptr<bt::DeviceInformationPairing> pairing = PairingOf(*device);
      const BondOutcome outcome = FailedPairingsBond(*pairing);
      if (!Made(outcome, PairingWord(round))) return;
      if (!Bonds::Shared()->Orphaned(use)) return;
      NoteRemoval(use);
      RemoveBond(Bonds::Shared(), pairing, use);
    } catch (...) {
      // NOTE: a device that cannot be asked keeps what it has.
    }
  };
  std::shared_ptr<bt::DevicePairingResult> result;
  int32_t status = static_cast<int32_t>(PairingStatus::Failed);
  try {
    result = AwaitPairingResult(*this, custom->PairAsync(kRequestedPairingKinds),
                                [late_bond](std::shared_ptr<bt::DevicePairingResult> late) {
                                  late_bond->Finished(late);
                                });
    if (result != nullptr) status = static_cast<int32_t>(result->Status());
  } catch (...) {
    count_failed_pairings_bond();
    // A sink's Disconnect (or Connect elsewhere) meanwhile had cut this Connect short: as below.
    if (!HoldsBondUse(serial)) return kParentNotListed;
    throw;
  }
  if (result == nullptr && LastErrorCode() != 0) {
    const int stopped = LastErrorCode();
    core::Buffer stopped_text;
    (void)stopped_text.Assign(LastErrorText());
    // An answer that the sink gave while this Connect waited may bond the device all the same (the
    // platform's word comes too late): no Disconnect follows a failed Connect, so that bond is removed once
    // the platform reports this pairing done. The pairing is given up first, so that no answer comes after.
    late_bond->Heard(GiveUpPairing(round));
    // A sink that connected elsewhere meanwhile overtook this Connect (its use of the bond ended then): the
    // sink's connection stays as it is (608, as below).
    if (!HoldDeviceOfUse(nullptr, serial)) return kParentNotListed;
    settings_.not_connected.store(1, std::memory_order_release);
    return SetErrorText(stopped, stopped_text.Data());
  }
  // The bond that this pairing made is the library's, and goes with the last connection that uses the device:
  // this Connect's, or, when a sink disconnected (or connected elsewhere) while the pairing ran and so ended
  // this connection's use of the bond (the Connect is cut short, 608), at once unless another client's
  // connection uses the device. A bond made before (outside the library) serves as well; it is not the library's
  // to remove. But a bond that an answer of this pairing made is: a request of an earlier pairing of the same
  // object that came while this one waited was answered as this one's, and this pairing then finds the device
  // bonded. (A bond that an earlier Connect's answer made, whose Connect gave up, is removed once this
  // connection ends: see Bonds.)
  const bool paired = status == static_cast<int32_t>(PairingStatus::Paired) ||
                      status == static_cast<int32_t>(PairingStatus::AlreadyPaired);
  const bool made =
      status == static_cast<int32_t>(PairingStatus::Paired) || (paired && PairingWord(round).answered);
  if (made) {
    if (Bonds::Shared()->Orphaned(use)) {
      NoteRemoval(use);
      RemoveStartedBond(Bonds::Shared(), device, use);
    }
  } else if (!paired) {
    count_failed_pairings_bond();
  }
  if (!HoldsBondUse(serial)) return kParentNotListed;
  if (paired) return 0;
  if (!HoldDeviceOfUse(nullptr, serial)) return kParentNotListed;
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
  return FailConnect(text.Data(), device, serial);
}

int BLEClientEngine::Disconnect(bool of_connect) {
  // One Disconnect ends a connection: another made while it runs (a sink's on a platform thread, or the
  // application's beside a sink's) ends nothing, so that the link is closed and Disconnected raised once; it
  // waits for that end where it may.
  // A Connect that holds no device yet (it looks the device up, or sets a connection up without pairing) is
  // ended all the same: its use of the bond ends here, and it gives up (608) where it next looks, as when a
  // sink's Connect elsewhere overtakes it.
  if (!of_connect) {
    // Every Connect begun so far gives up at its next step (see Connect).
    const uint64_t begun = connects_begun_.load(std::memory_order_acquire);
    uint64_t cut = connects_cut_.load(std::memory_order_acquire);
    while (cut < begun && !connects_cut_.compare_exchange_weak(cut, begun, std::memory_order_acq_rel)) {
    }
  }
  std::optional<BondUse> setting_up;
  const std::shared_ptr<bt::BluetoothLEDevice> device = ClaimHeldDevice(of_connect ? nullptr : &setting_up);
  if (device == nullptr && !setting_up.has_value()) return AwaitOtherDisconnect();
  // Counted (by the claim) until this call returns, after its Disconnected: a Disconnect made meanwhile waits
  // for that.
  struct Running {
    std::atomic<int>& count;
    ~Running() { count.fetch_sub(1, std::memory_order_acq_rel); }
  } running{disconnects_running_};
  // Ended as Disconnected is raised (a sink that connects again from it connects), or as this call returns.
  struct Ending {
    std::atomic<int>& count;
    bool on = true;
    ~Ending() { End(); }
    void End() {
      if (std::exchange(on, false)) count.fetch_sub(1, std::memory_order_acq_rel);
    }
  } ending{disconnects_ending_};
  if (device == nullptr) {
    LeaveBondUse(nullptr, *setting_up);
    core::Buffer id;
    (void)FormatBluetoothAddress(setting_up->address, id);
    core::Buffer text;
    (void)text.Format("Disconnected from server ID %s.", id.Data());
    (void)LogConnection(1, text.Data(), kLogTypeConnection);
    settings_.not_connected.store(1, std::memory_order_release);
    ending.End();
    (void)FireDisconnected(0, "OK");
    return 0;
  }
  struct Claim {
    BLEClientEngine& engine;
    const std::shared_ptr<bt::BluetoothLEDevice>& device;
    bool dropped = false;
    ~Claim() {
      if (!dropped) engine.ReleaseHeldDevice(device);
    }
  } claim{*this, device};
  // The connection's use of the bond ends here; the last use of a bond that a pairing of this process made
  // removes it (see Bonds).
  const std::optional<BondUse> bond_use = TakeBondUse(0);
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
  if (bond_use.has_value() && Bonds::Shared()->Leave(*bond_use)) {
    NoteRemoval(*bond_use);
    Unpair(device, id, *bond_use);
  }
  CloseLink(device, id);
  DropHeldDevice(device);
  claim.dropped = true;
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
  ending.End();
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

// Unpair removes the bond that a pairing of the library made, whose last use was this connection (Disconnect
// leaves a bond made outside the library alone), and ends the removal in Bonds once the platform has answered,
// also after this wait stopped. The outcome does not change Disconnect's result: a refusal is only logged, and a
// wait that stopped or a platform failure leaves no code or text behind.
void BLEClientEngine::Unpair(const std::shared_ptr<bt::BluetoothLEDevice>& device, const core::Buffer& id,
                             const BondUse& use) {
  // The removal ends here, unless this wait stopped before the platform answered: its answer ends it then.
  struct RemovalEnd {
    const BondUse& use;
    bool left_to_answer = false;
    ~RemovalEnd() {
      if (!left_to_answer) Bonds::Shared()->Removed(use);
    }
  } removal_end{use};
  try {
    const bt::AsyncOp<bt::DeviceUnpairingResult> removal = PairingOf(*device)->UnpairAsync();
    if (removal == nullptr) RaisePlatformError(kEPointer);
    const std::shared_ptr<bt::DeviceUnpairingResult> result = AwaitUnpairingResult(
        *this, removal,
        [bonds = Bonds::Shared(), use](std::shared_ptr<bt::DeviceUnpairingResult>) { bonds->Removed(use); });
    removal_end.left_to_answer = result == nullptr && LastErrorCode() != 0;
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

int BLEClientEngine::UseBond(const std::shared_ptr<bt::BluetoothPlatform>& platform, uint64_t address,
                             uint64_t* serial) {
  BondUse use{platform, address, 0};
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    use.serial = *serial = ++bond_uses_;
  }
  // Counted before it is the engine's: a Disconnect or Connect that ends it from then on leaves a counted use.
  const std::shared_ptr<bt::sim::SimAsyncOperation<bt::DeviceUnpairingResult>> removal = Bonds::Shared()->Use(use);
  std::optional<BondUse> replaced;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    replaced = std::exchange(bond_use_, use);
  }
  // The use of a Connect that this one overtakes (one still waiting for its device: a Connect that holds one
  // is disconnected first) ends here, after this one began, so that a bond both use stays; that Connect finds
  // it gone and gives up (608).
  if (replaced.has_value()) LeaveBondUse(nullptr, *replaced);
  if (removal == nullptr) return 0;
  (void)AwaitUnpairingResult(*this, removal);
  return LastErrorCode();
}

std::optional<BLEClientEngine::BondUse> BLEClientEngine::TakeBondUse(uint64_t serial) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (!bond_use_.has_value() || (serial != 0 && bond_use_->serial != serial)) return std::nullopt;
  return std::exchange(bond_use_, std::nullopt);
}

bool BLEClientEngine::HoldsBondUse(uint64_t serial) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return bond_use_.has_value() && bond_use_->serial == serial;
}

std::optional<BLEClientEngine::BondUse> BLEClientEngine::CurrentBondUse() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return bond_use_;
}

void BLEClientEngine::LeaveBondAtDestroy() noexcept {
  try {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(BoundedWaitMs());
    if (const std::optional<BondUse> use = TakeBondUse(0); use.has_value()) LeaveBondUse(HeldDevice(), *use);
    // A removal that a Disconnect (or the Connect of another device) began, whose wait Destroy ended, may still
    // be under way too.
    std::vector<bt::AsyncOp<bt::DeviceUnpairingResult>> begun;
    {
      std::lock_guard<std::mutex> lock(state_mutex_);
      begun.swap(removals_begun_);
    }
    struct Done {
      std::mutex mutex;
      std::condition_variable finished;
      int left = 0;
    };
    const auto done = std::make_shared<Done>();
    for (const bt::AsyncOp<bt::DeviceUnpairingResult>& removal : begun) {
      {
        std::lock_guard lock(done->mutex);
        ++done->left;
      }
      removal->SetCompleted([done](bt::AsyncOperation<bt::DeviceUnpairingResult>&, bt::AsyncStatus) {
        {
          std::lock_guard lock(done->mutex);
          --done->left;
        }
        done->finished.notify_all();
      });
    }
    std::unique_lock lock(done->mutex);
    (void)done->finished.wait_until(lock, deadline, [&] { return done->left == 0; });
  } catch (...) {
    // NOTE: a removal that cannot be waited for goes on without the wait.
  }
}

void BLEClientEngine::LeaveBond(const std::shared_ptr<bt::BluetoothLEDevice>& device, uint64_t serial) noexcept {
  // Only the use this call's Connect began, where serial names it: a sink's Disconnect may have ended it, and
  // its Connect begun another.
  std::optional<BondUse> use;
  try {
    use = TakeBondUse(serial);
  } catch (...) {
    // NOTE: a lock that cannot be taken leaves the use as it is.
  }
  if (use.has_value()) LeaveBondUse(device, *use);
}

void BLEClientEngine::LeaveBondUse(const std::shared_ptr<bt::BluetoothLEDevice>& device, const BondUse& use) noexcept {
  if (LeaveUse(device, use)) NoteRemoval(use);
}

void BLEClientEngine::NoteRemoval(const BondUse& use) noexcept {
  try {
    const std::shared_ptr<Bonds::Wait> removal = Bonds::Shared()->Removing(use);
    if (removal == nullptr) return;
    std::lock_guard<std::mutex> lock(state_mutex_);
    std::erase_if(removals_begun_,
                  [](const auto& begun) { return begun->Status() != bt::AsyncStatus::Started; });
    removals_begun_.push_back(removal);
  } catch (...) {
    // NOTE: a removal that cannot be recorded is not waited for.
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
  const uint64_t owner = TreeGeneration();
  const EventOfConnection event(this, owner);
  const std::shared_ptr<bt::BluetoothLEDevice> device = HeldDeviceFor(delivery);
  if (device == nullptr) return;
  const bt::BluetoothConnectionStatus status = device->ConnectionStatus();
  if (settings_.log_level.load(std::memory_order_relaxed) >= 3) {
    core::Buffer status_text;
    if (PlatformStringToText(bt::Provider()->EnumText(status), status_text) != core::kOk) (void)status_text.Clear();
    core::Buffer line;
    (void)line.Format("System updated device connection status to \"%s\".", status_text.Data());
    (void)FireLog(3, line.Data(), kLogTypeDebug);
    // A Disconnect or Connect made in that Log line ended the connection (also one that reconnected the same
    // device object): it tells its own end, and the status read before is of the connection that ended.
    if (TreeGeneration() != owner) return;
  }
  int32_t expected = status == bt::BluetoothConnectionStatus::Disconnected ? 0 : 1;
  const std::optional<BondUse> use = CurrentBondUse();
  {
    // The application's Disconnect raises its own Disconnected, and Connect its own Connected; a change seen
    // meanwhile is their doing.
    std::lock_guard lock(status_mutex_);
    const bool connecting = SettingUpLocked(use);
    if (connecting && expected == 0) dropped_while_connecting_ = true;
    if (disconnecting_ || connecting) return;
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
  const uint64_t owner = TreeGeneration();
  const EventOfConnection event(this, owner);
  const std::shared_ptr<bt::BluetoothLEDevice> device = HeldDeviceFor(delivery);
  // A device object of an earlier connection that is still alive does not speak for the server now.
  if (device == nullptr || (sender != nullptr && sender != device)) return;
  core::Buffer name;
  if (PlatformStringToText(device->Name(), name) != core::kOk) (void)name.Clear();
  if (settings_.log_level.load(std::memory_order_relaxed) >= 2) {
    core::Buffer line;
    (void)line.Format("Server's name has changed to %s.", name.Data());
    (void)FireLog(2, line.Data(), kLogTypeVerbose);
    // A Disconnect or Connect made in that Log line ended the connection the change was of.
    if (TreeGeneration() != owner) return;
  }
  (void)FireServerUpdate(name.Data(), "");
}

void BLEClientEngine::OnGattServicesChanged(const std::shared_ptr<bt::BluetoothLEDevice>& sender,
                                            const std::shared_ptr<bt::Inspectable>& args) {
  EventDeliveries::Delivery delivery;
  const uint64_t owner = TreeGeneration();
  const EventOfConnection event(this, owner);
  const std::shared_ptr<bt::BluetoothLEDevice> device = HeldDeviceFor(delivery);
  if (device == nullptr || (sender != nullptr && sender != device)) return;
  (void)LogConnection(2, "Server's services have changed.", kLogTypeVerbose);
  if (TreeGeneration() != owner) return;  // as for a name change
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
  std::shared_ptr<AwaitedPairing> round;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    round = awaited_pairing_;
    if (round == nullptr || round->pairing != pairing || server_id.Assign(round->server_id) != core::kOk) return;
  }
  const uint32_t kind = args->PairingKind();
  if (kind == bt::DevicePairingKinds::DisplayPin) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (awaited_pairing_ == round) round->word.shown = true;
  }
  core::Buffer pin;
  if (PlatformStringToText(args->Pin(), pin) != core::kOk) (void)pin.Clear();
  int32_t accept = 0;
  {
    // The request is an event of the connection its Connect set up (see EventOfConnection).
    const EventOfConnection event(this, round->generation);
    (void)FirePairingRequest(server_id.Data(), static_cast<int32_t>(kind), &pin, &accept);
  }
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
  if (awaited_pairing_ != round || Destroying()) return;
  round->word.answered = true;
  if (kind != bt::DevicePairingKinds::ProvidePin) {
    args->Accept();
  } else {
    args->AcceptWithPin(wide_pin);
  }
}

}  // namespace velmora::ble
