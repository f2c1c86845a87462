// Connecting to a server by its Bluetooth address, pairing with it, and the server id text.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace velmora::ble {

// kConnectionFailed is the code of a Connect that found no device or whose pairing failed.
constexpr int kConnectionFailed = 604;

// The pairing kinds Connect accepts: ConfirmOnly, DisplayPin, ProvidePin and ConfirmPinMatch. Every kind the
// PairingRequest event can answer is requested, DisplayPin included: a device that pairs only by a PIN shown
// to the user could not pair otherwise.
constexpr uint32_t kRequestedPairingKinds = 15;

// IsServerIdText is true when text is exactly 12 hex digits (either case): the form of a Bluetooth address
// that Connect accepts. Null is false.
bool IsServerIdText(const char* text);

// ParseBluetoothAddress ORs the address written in text (six hex pairs, most significant byte first) into
// *address, which the caller sets to 0. A pair that is not two hex digits counts as 0xFF. Reading stops at
// the end of text: a short text never reads past its terminating NUL, its missing pairs counting as 0xFF.
// Returns 0.
int ParseBluetoothAddress(const char* text, uint64_t* address);

// EventDeliveries counts the events that platform threads are delivering, of a connection or of a scan: each
// such delivery found what it reports (a characteristic in the GATT tree, the held device, a scan still open)
// under a lock, and is admitted while it still holds that lock. Once Disconnect has emptied the tree and
// dropped the device under those locks (or StopScanning has closed the scan), no delivery of the old
// connection (scan) can be admitted any more, so waiting for the admitted ones is enough to make sure that
// none reaches the sink after Disconnect (StopScanning) has returned.
class EventDeliveries {
 public:
  // Delivery is one delivery on the calling thread; it counts from Admit until it is destroyed. Deliveries
  // of a thread end in the reverse order of their admission (they live on its stack).
  class Delivery {
   public:
    Delivery() = default;
    ~Delivery();
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;

    // Admit counts this delivery in deliveries (once). The caller holds the lock under which the delivery
    // found what it reports.
    void Admit(EventDeliveries& deliveries);

   private:
    friend class EventDeliveries;
    EventDeliveries* deliveries_ = nullptr;
    Delivery* outer_ = nullptr;  // the thread's delivery admitted before this one
  };

  // WaitForOthers returns true once no admitted delivery runs on another thread, or false once give_up() is
  // true first (asked every few milliseconds). The calling thread cannot wait for its own deliveries (a sink
  // that disconnects): they do not count meanwhile, so that two sinks that disconnect at once do not wait
  // for each other.
  [[nodiscard]] bool WaitForOthers(const std::function<bool()>& give_up);

 private:
  void Leave();

  std::mutex mutex_;
  std::condition_variable left_;
  uint32_t inside_ = 0;  // guarded by mutex_
};

}  // namespace velmora::ble
