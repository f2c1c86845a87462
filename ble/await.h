// Waiting for platform operations, and the small conventions every platform call of the engine follows.
//
// The engine has no asynchronous surface: each operation runs on the caller's thread and waits for each
// platform operation in place with one of the Await functions below. While it waits it runs the socket
// layer's wait step (so the caller's thread keeps pumping its messages) until the operation completes, the
// Timeout deadline passes or the wait is interrupted. A completion wakes the waiting thread at once, and so
// does Destroy (see AwaitWakeups).
//
// Every Await function, for its platform operation:
// - returns the operation's result (null when the operation finished with null) with last error code 0;
// - returns null with last error code 301 when the wait stopped first; the wait step left the text
//   ("Timeout." or "Interrupted."); a completion arriving later changes nothing the caller sees;
// - raises, on the caller's thread, the PlatformError that fetching the result raised on the platform's.
// An operation that has already finished returns without a single wait step. Any thread: on the thread
// that owns the engine's window the wait runs the wait step under the engine's operation deadline; any
// other thread (a platform thread whose handler awaits) has no messages to pump and sleeps in steps of
// SelectWaitMillis under a deadline of its own, leaving the engine's deadlines and interrupt request to the
// application's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <variant>

#include "core/buffer.h"
#include "platform/bluetooth/bluetooth.h"
#include "platform/message_queue.h"

namespace velmora::ble {

class BLEClientEngine;

namespace bt = platform::bluetooth;

// kAwaitStopped is the last error code of an Await whose wait stopped before the operation completed.
constexpr int kAwaitStopped = 301;
// kPlatformErrorCode is the result code of a method that a platform error ended; its text is
// "Platform error 0x%08X." with the failure number (PlatformError::what()).
constexpr int kPlatformErrorCode = 610;

// AwaitOperation is the one wait behind the eleven Await functions.
template <class T>
std::shared_ptr<T> AwaitOperation(BLEClientEngine& engine, const bt::AsyncOp<T>& operation);

// LateResult receives the result (null when it finished with null or failed) of an operation that finished
// only after its wait stopped: on the platform's completion thread, or on the waiter's as its wait stops when
// the completion raced the stop. It must not reach the engine, which may be gone by then.
template <class T>
using LateResult = std::function<void(std::shared_ptr<T>)>;
template <class T>
std::shared_ptr<T> AwaitOperation(BLEClientEngine& engine, const bt::AsyncOp<T>& operation, LateResult<T> late);

std::shared_ptr<bt::BluetoothAdapter> AwaitAdapter(BLEClientEngine& engine,
                                                   const bt::AsyncOp<bt::BluetoothAdapter>& operation);
std::shared_ptr<bt::BluetoothLEDevice> AwaitLEDevice(BLEClientEngine& engine,
                                                     const bt::AsyncOp<bt::BluetoothLEDevice>& operation);
std::shared_ptr<bt::DevicePairingResult> AwaitPairingResult(BLEClientEngine& engine,
                                                            const bt::AsyncOp<bt::DevicePairingResult>& operation,
                                                            LateResult<bt::DevicePairingResult> late = {});
std::shared_ptr<bt::DeviceUnpairingResult> AwaitUnpairingResult(
    BLEClientEngine& engine, const bt::AsyncOp<bt::DeviceUnpairingResult>& operation,
    LateResult<bt::DeviceUnpairingResult> late = {});
std::shared_ptr<bt::DeviceCloseResult> AwaitCloseResult(BLEClientEngine& engine,
                                                        const bt::AsyncOp<bt::DeviceCloseResult>& operation);
std::shared_ptr<bt::GattCharacteristicsResult> AwaitCharacteristicsResult(
    BLEClientEngine& engine, const bt::AsyncOp<bt::GattCharacteristicsResult>& operation);
std::shared_ptr<bt::GattDescriptorsResult> AwaitDescriptorsResult(
    BLEClientEngine& engine, const bt::AsyncOp<bt::GattDescriptorsResult>& operation);
std::shared_ptr<bt::GattDeviceServicesResult> AwaitServicesResult(
    BLEClientEngine& engine, const bt::AsyncOp<bt::GattDeviceServicesResult>& operation);
std::shared_ptr<bt::GattReadClientCharacteristicConfigurationDescriptorResult> AwaitCccdReadResult(
    BLEClientEngine& engine,
    const bt::AsyncOp<bt::GattReadClientCharacteristicConfigurationDescriptorResult>& operation);
std::shared_ptr<bt::GattReadResult> AwaitReadResult(BLEClientEngine& engine,
                                                    const bt::AsyncOp<bt::GattReadResult>& operation);
std::shared_ptr<bt::GattWriteResult> AwaitWriteResult(BLEClientEngine& engine,
                                                      const bt::AsyncOp<bt::GattWriteResult>& operation,
                                                      LateResult<bt::GattWriteResult> late = {});

// AwaitWakeups lists the threads that wait for one engine (the platform, or other threads), so that Destroy
// can wake them all at once: a wait step is woken early only by a message to its thread, and a wait left to
// notice Destroy at the end of its step could sleep up to SelectWaitMillis first. Any thread.
class AwaitWakeups {
 public:
  // Registration lists the calling thread's wake window (the one a completion wakes it by) for as long as it
  // lives; nothing when the thread has none.
  class Registration {
   public:
    explicit Registration(AwaitWakeups& wakeups);
    ~Registration();
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

   private:
    friend class AwaitWakeups;
    AwaitWakeups& wakeups_;
    platform::WindowHandle window_;
    Registration* next_ = nullptr;
    Registration* previous_ = nullptr;
  };

  // WakeAll wakes every listed thread. A wait that registers after it must look at Destroying() before it
  // sleeps.
  void WakeAll();

 private:
  std::mutex mutex_;
  Registration* first_ = nullptr;  // guarded by mutex_
};

// DrainThreadWakes removes the wake messages that the calling thread's waits left queued (one that came after
// its wait had ended), so that no later wait step of the thread wakes for them.
void DrainThreadWakes();

// RaisePlatformError raises PlatformError carrying hresult. Never returns.
[[noreturn]] void RaisePlatformError(int32_t hresult);
// CheckPlatformResult raises PlatformError for a negative (failure) hresult and returns otherwise.
inline void CheckPlatformResult(int32_t hresult) {
  if (hresult < 0) RaisePlatformError(hresult);
}

// MakePlatformString returns a platform text holding text (NUL-terminated UTF-16); null gives the null
// (empty) text.
bt::HString MakePlatformString(const char16_t* text);
// TextToPlatformString sets out to the platform text of text (code page 0: UTF-8); null gives the empty
// text. 0, or 200 when memory runs out.
[[nodiscard]] int TextToPlatformString(const char* text, bt::HString& out);
// PlatformStringToText sets out to text converted to narrow text in code page 0 (UTF-8); an empty text
// gives "". 0, or 200 when out cannot grow.
[[nodiscard]] int PlatformStringToText(const bt::HString& text, core::BufferCore& out);

// GattObjectRef pairs a platform GATT object (a service, characteristic or descriptor) with its UUID, read
// once when the pair is made. The empty pair holds no object and the all-zero UUID. Copies share the object.
class GattObjectRef {
 public:
  GattObjectRef() = default;

  // The From functions read the object's Uuid (which may raise PlatformError); null gives the empty pair.
  static GattObjectRef FromService(std::shared_ptr<bt::GattDeviceService> service);
  static GattObjectRef FromCharacteristic(std::shared_ptr<bt::GattCharacteristic> characteristic);
  static GattObjectRef FromDescriptor(std::shared_ptr<bt::GattDescriptor> descriptor);

  bool Empty() const { return std::holds_alternative<std::monostate>(object_); }
  const bt::Guid& Uuid() const { return uuid_; }
  // Each returns the object when the pair holds one of that kind, else null.
  std::shared_ptr<bt::GattDeviceService> Service() const;
  std::shared_ptr<bt::GattCharacteristic> Characteristic() const;
  std::shared_ptr<bt::GattDescriptor> Descriptor() const;

 private:
  using Object = std::variant<std::monostate, std::shared_ptr<bt::GattDeviceService>,
                              std::shared_ptr<bt::GattCharacteristic>, std::shared_ptr<bt::GattDescriptor>>;
  GattObjectRef(Object object, const bt::Guid& uuid) : object_(std::move(object)), uuid_(uuid) {}

  Object object_;
  bt::Guid uuid_;
};

}  // namespace velmora::ble
