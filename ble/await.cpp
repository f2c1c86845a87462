#include "ble/await.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <thread>

#include "ble/ble_client_engine.h"
#include "component/socket_base.h"
#include "platform/clock.h"
#include "platform/code_page.h"
#include "platform/message_queue.h"
#include "platform/sync.h"
#include "platform/win_codes.h"

namespace velmora::ble {

namespace {

constexpr int32_t kEPointer = static_cast<int32_t>(0x80004003u);

// ---- Wake-up of the waiting thread
//
// A completion runs on a platform thread while the waiter sleeps in its wait step, which wakes early only
// for a message posted to the waiting thread. Each thread that waits gets a message window of its own for
// that, so the wake works on the application's thread and on a platform thread alike, whichever thread owns
// the engine's notification window.

constexpr const char* kWakeWindowClass = "__velmorable_await_wake__";
constexpr uint32_t kWakeMessage = 0x8000 + 0x2A1;  // in the application message range

intptr_t WakeWindowProc(platform::WindowHandle, uint32_t, uintptr_t, intptr_t) { return 0; }

bool WakeClassRegistered() {
  // Registered once per process and kept: windows of dead threads are gone with their threads.
  static const bool registered = platform::RegisterWindowClass(kWakeWindowClass, &WakeWindowProc, 0);
  return registered;
}

struct WakeWindow {
  platform::WindowHandle handle = 0;
  bool tried = false;
  ~WakeWindow() {
    if (handle != 0) (void)platform::DestroyWindow(handle);
  }
};

thread_local WakeWindow t_wake_window;

// ThreadWakeWindow returns the calling thread's wake window, made on first use; 0 when none can be made
// (the waiter then wakes on its wait step's own tick).
platform::WindowHandle ThreadWakeWindow() {
  if (!t_wake_window.tried) {
    t_wake_window.tried = true;
    if (WakeClassRegistered()) t_wake_window.handle = platform::CreateMessageWindow(kWakeWindowClass);
  }
  return t_wake_window.handle;
}

// DrainWakeMessages removes the wake messages the wait steps left queued (they pass the wait step's
// window filter by when IgnoreOtherWindowEvents is on). A quit request stays pending.
void DrainWakeMessages(platform::WindowHandle wake_window) {
  if (wake_window == 0) return;
  platform::Message message;
  while (platform::PeekMessage(&message, wake_window, false) && message.message != platform::kWmQuit) {
    (void)platform::PeekMessage(&message, wake_window, true);
  }
}

// ---- Wait state

// WaitState is shared by one Await and the completion handler it attaches; it lives as long as either
// needs it, since the handler may run long after the waiter gave up. The handler stores a result only
// while the waiter still waits: its own abandoned flag says so, whatever other threads meanwhile did to
// the engine's last error code.
template <class T>
struct WaitState {
  std::mutex mutex;
  std::shared_ptr<T> result;      // guarded by mutex
  std::exception_ptr failure;     // guarded by mutex
  bool abandoned = false;         // guarded by mutex
  // late receives the result of an operation that completes after the waiter gave up (guarded by mutex).
  std::function<void(std::shared_ptr<T>)> late;
  std::atomic<bool> done{false};  // set last by the handler
  platform::WindowHandle wake_window = 0;
};

// Complete is the completion handler's body: fetch the result (or the failure fetching raised) for a
// waiter that still waits, mark the wait done and wake the waiter. Never raises into the platform thread.
template <class T>
void Complete(WaitState<T>& state, bt::AsyncOperation<T>& operation) {
  bool waiting;
  std::function<void(std::shared_ptr<T>)> late;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    waiting = !state.abandoned;
    if (!waiting) late = std::move(state.late);
    if (waiting) {
      try {
        state.result = operation.GetResults();
      } catch (...) {
        // A platform error is raised again on the waiter's thread; anything else (out of memory) takes the
        // same way rather than ending the process from a platform thread.
        state.failure = std::current_exception();
      }
    }
    state.done.store(true, std::memory_order_release);
  }
  if (waiting && state.wake_window != 0) {
    (void)platform::PostMessage(state.wake_window, kWakeMessage, 0, 0);
  }
  if (late) {
    std::shared_ptr<T> result;
    try {
      result = operation.GetResults();
    } catch (...) {
      // NOTE: a late failure has no result to act on.
    }
    try {
      late(std::move(result));
    } catch (...) {
      // NOTE: nothing may raise into the platform's completion thread.
    }
  }
}

// StopForDestroy ends a wait of an engine whose client is being destroyed ("Interrupted." in the last error
// text): the client's Destroy waits for the calls inside it, and a sink that destroys it must not wait for
// the platform's answer to a call of the application's thread. True when it did.
bool StopForDestroy(BLEClientEngine& engine) {
  if (!engine.Destroying()) return false;
  (void)engine.SetErrorText(0, component::kTextInterrupted);
  return true;
}

// PastDeadline tells whether deadline (0: none) has passed, with "Timeout." in the last error text then.
bool PastDeadline(BLEClientEngine& engine, uint64_t deadline) {
  if (deadline == 0 || platform::DeadlineClockMs() <= deadline) return false;
  (void)engine.SetErrorText(0, component::kTextTimeout);
  return true;
}

// WaitOnWindowThread is the wait on the thread that owns the engine's notification window: the socket
// layer's wait step runs (pumping the thread's messages) until done is set or the wait stops. The deadline
// is this wait's own, taken from Timeout as it begins: a Set of Timeout meanwhile (from a sink) clears the
// engine's running deadline, which the step reads, and bounds only the waits that begin after it. The
// running deadline is this wait's only while it waits: it ends with the deadline it found (none, or that of
// the wait whose step runs this one from a sink), so that no later step stops on it. True when it stopped.
bool WaitOnWindowThread(BLEClientEngine& engine, const std::atomic<bool>& done) {
  class RunningDeadline {
   public:
    explicit RunningDeadline(BLEClientEngine& engine) : engine_(engine), found_(engine.OperationDeadline()) {}
    ~RunningDeadline() { engine_.RestoreOperationDeadline(found_); }
    RunningDeadline(const RunningDeadline&) = delete;
    RunningDeadline& operator=(const RunningDeadline&) = delete;

   private:
    BLEClientEngine& engine_;
    const uint64_t found_;
  };
  const RunningDeadline running(engine);
  const uint64_t deadline = engine.SetAwaitDeadline();
  while (!done.load(std::memory_order_acquire)) {
    if (engine.WaitStep(engine.LibraryStepMs(), engine.NotificationWindow()) == 0) return true;
    if (done.load(std::memory_order_acquire)) break;
    if (StopForDestroy(engine) || PastDeadline(engine, deadline)) return true;
  }
  return false;
}

// WaitOnOtherThread is the wait of a platform thread (a handler that awaits): it has none of the window's
// messages to pump, so its step only sleeps up to SelectWaitMillis, woken early by the completion or by
// Destroy. Its deadline is its own: restarting the engine's deadlines here would move the deadline of an
// operation the application's thread may be waiting for, and an interrupt request stays for that thread.
// True when the deadline passed ("Timeout." in the last error text) or Destroy began.
bool WaitOnOtherThread(BLEClientEngine& engine, const std::atomic<bool>& done, platform::WindowHandle wake_window) {
  const uint32_t timeout = engine.TimeoutMs();
  const uint64_t deadline = timeout != 0 ? platform::DeadlineClockMs() + timeout : 0;
  const int32_t step = engine.SelectWaitMillis();
  const uint32_t wait_ms = step < 0 ? 0 : static_cast<uint32_t>(step);
  const AwaitWakeups::Registration woken_by_destroy(engine.Wakeups());
  while (!done.load(std::memory_order_acquire)) {
    if (wake_window != 0) {
      // A Destroy that began before the registration woke nothing here: the step does not sleep then.
      (void)platform::MsgWait(engine.Destroying() ? 0 : wait_ms);
      DrainWakeMessages(wake_window);
    } else {
      platform::SleepMs(wait_ms);
    }
    if (done.load(std::memory_order_acquire)) break;
    if (StopForDestroy(engine) || PastDeadline(engine, deadline)) return true;
  }
  return false;
}

}  // namespace

template <class T>
std::shared_ptr<T> AwaitOperation(BLEClientEngine& engine, const bt::AsyncOp<T>& operation) {
  return AwaitOperation(engine, operation, std::function<void(std::shared_ptr<T>)>());
}

template <class T>
std::shared_ptr<T> AwaitOperation(BLEClientEngine& engine, const bt::AsyncOp<T>& operation,
                                  std::function<void(std::shared_ptr<T>)> late) {
  if (operation == nullptr) RaisePlatformError(kEPointer);
  engine.SetLastErrorCode(0);
  auto state = std::make_shared<WaitState<T>>();
  state->wake_window = ThreadWakeWindow();
  // The handler holds the state, never the waiter's frame; an inline completion runs inside SetCompleted.
  operation->SetCompleted([state](bt::AsyncOperation<T>& op, bt::AsyncStatus) { Complete(*state, op); });
  // The deadline counts from the moment the wait begins, after the handler is attached.
  bool stopped;
  if (engine.OnWindowThread()) {
    stopped = WaitOnWindowThread(engine, state->done);
  } else {
    stopped = WaitOnOtherThread(engine, state->done, state->wake_window);
  }
  // The wake-up of this wait (or, when it came late, of the one before) leaves no message behind.
  DrainWakeMessages(state->wake_window);
  std::shared_ptr<T> result;
  std::exception_ptr failure;
  std::shared_ptr<T> raced;
  bool raced_completion = false;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (stopped) {
      // The waiter gives up: a completion that raced the stop is dropped too, so that a result never
      // comes with code 301; late gets it (here, or from the completion when that comes after).
      state->abandoned = true;
      raced_completion = state->done.load(std::memory_order_acquire);
      if (raced_completion) {
        raced = std::move(state->result);
      } else {
        state->late = std::move(late);
      }
      state->result.reset();
      state->failure = nullptr;
    } else {
      result = std::move(state->result);
      failure = std::move(state->failure);
    }
  }
  if (stopped) {
    if (raced_completion && late) late(std::move(raced));
    engine.SetLastErrorCode(kAwaitStopped);
    return nullptr;
  }
  if (failure) std::rethrow_exception(failure);
  return result;
}

template std::shared_ptr<bt::BluetoothAdapter> AwaitOperation(BLEClientEngine&,
                                                              const bt::AsyncOp<bt::BluetoothAdapter>&);
template std::shared_ptr<bt::BluetoothLEDevice> AwaitOperation(BLEClientEngine&,
                                                               const bt::AsyncOp<bt::BluetoothLEDevice>&);
template std::shared_ptr<bt::DevicePairingResult> AwaitOperation(BLEClientEngine&,
                                                                 const bt::AsyncOp<bt::DevicePairingResult>&);
template std::shared_ptr<bt::DeviceUnpairingResult> AwaitOperation(BLEClientEngine&,
                                                                   const bt::AsyncOp<bt::DeviceUnpairingResult>&);
template std::shared_ptr<bt::DeviceCloseResult> AwaitOperation(BLEClientEngine&,
                                                               const bt::AsyncOp<bt::DeviceCloseResult>&);
template std::shared_ptr<bt::GattCharacteristicsResult> AwaitOperation(
    BLEClientEngine&, const bt::AsyncOp<bt::GattCharacteristicsResult>&);
template std::shared_ptr<bt::GattDescriptorsResult> AwaitOperation(BLEClientEngine&,
                                                                   const bt::AsyncOp<bt::GattDescriptorsResult>&);
template std::shared_ptr<bt::GattDeviceServicesResult> AwaitOperation(
    BLEClientEngine&, const bt::AsyncOp<bt::GattDeviceServicesResult>&);
template std::shared_ptr<bt::GattReadClientCharacteristicConfigurationDescriptorResult> AwaitOperation(
    BLEClientEngine&, const bt::AsyncOp<bt::GattReadClientCharacteristicConfigurationDescriptorResult>&);
template std::shared_ptr<bt::GattReadResult> AwaitOperation(BLEClientEngine&, const bt::AsyncOp<bt::GattReadResult>&);
template std::shared_ptr<bt::GattWriteResult> AwaitOperation(BLEClientEngine&,
                                                             const bt::AsyncOp<bt::GattWriteResult>&);

std::shared_ptr<bt::BluetoothAdapter> AwaitAdapter(BLEClientEngine& engine,
                                                   const bt::AsyncOp<bt::BluetoothAdapter>& operation) {
  return AwaitOperation(engine, operation);
}

std::shared_ptr<bt::BluetoothLEDevice> AwaitLEDevice(BLEClientEngine& engine,
                                                     const bt::AsyncOp<bt::BluetoothLEDevice>& operation) {
  return AwaitOperation(engine, operation);
}

std::shared_ptr<bt::DevicePairingResult> AwaitPairingResult(BLEClientEngine& engine,
                                                            const bt::AsyncOp<bt::DevicePairingResult>& operation,
                                                            LateResult<bt::DevicePairingResult> late) {
  return AwaitOperation(engine, operation, std::move(late));
}

std::shared_ptr<bt::DeviceUnpairingResult> AwaitUnpairingResult(
    BLEClientEngine& engine, const bt::AsyncOp<bt::DeviceUnpairingResult>& operation,
    LateResult<bt::DeviceUnpairingResult> late) {
  return AwaitOperation(engine, operation, std::move(late));
}

std::shared_ptr<bt::DeviceCloseResult> AwaitCloseResult(BLEClientEngine& engine,
                                                        const bt::AsyncOp<bt::DeviceCloseResult>& operation) {
  return AwaitOperation(engine, operation);
}

std::shared_ptr<bt::GattCharacteristicsResult> AwaitCharacteristicsResult(
    BLEClientEngine& engine, const bt::AsyncOp<bt::GattCharacteristicsResult>& operation) {
  return AwaitOperation(engine, operation);
}

std::shared_ptr<bt::GattDescriptorsResult> AwaitDescriptorsResult(
    BLEClientEngine& engine, const bt::AsyncOp<bt::GattDescriptorsResult>& operation) {
  return AwaitOperation(engine, operation);
}

std::shared_ptr<bt::GattDeviceServicesResult> AwaitServicesResult(
    BLEClientEngine& engine, const bt::AsyncOp<bt::GattDeviceServicesResult>& operation) {
  return AwaitOperation(engine, operation);
}

std::shared_ptr<bt::GattReadClientCharacteristicConfigurationDescriptorResult> AwaitCccdReadResult(
    BLEClientEngine& engine,
    const bt::AsyncOp<bt::GattReadClientCharacteristicConfigurationDescriptorResult>& operation) {
  return AwaitOperation(engine, operation);
}

std::shared_ptr<bt::GattReadResult> AwaitReadResult(BLEClientEngine& engine,
                                                    const bt::AsyncOp<bt::GattReadResult>& operation) {
  return AwaitOperation(engine, operation);
}

std::shared_ptr<bt::GattWriteResult> AwaitWriteResult(BLEClientEngine& engine,
                                                      const bt::AsyncOp<bt::GattWriteResult>& operation,
                                                      LateResult<bt::GattWriteResult> late) {
  return AwaitOperation(engine, operation, std::move(late));
}

int BLEClientEngine::WaitStep(int32_t wait_ms, platform::WindowHandle window) {
  const AwaitWakeups::Registration woken_by_destroy(wakeups_);
  // A Destroy that began before the registration woke nothing here: the step does not sleep then.
  return SocketBase::WaitStep(Destroying() ? 0 : wait_ms, window);
}

void BLEClientEngine::WakeWaits() {
  wakeups_.WakeAll();
  // The wait for a scan's end that waits for another thread's step rather than the platform.
  scans_.Wake();
}

// ---- AwaitWakeups

AwaitWakeups::Registration::Registration(AwaitWakeups& wakeups) : wakeups_(wakeups), window_(ThreadWakeWindow()) {
  if (window_ == 0) return;
  std::lock_guard<std::mutex> lock(wakeups_.mutex_);
  next_ = wakeups_.first_;
  if (next_ != nullptr) next_->previous_ = this;
  wakeups_.first_ = this;
}

AwaitWakeups::Registration::~Registration() {
  if (window_ == 0) return;
  std::lock_guard<std::mutex> lock(wakeups_.mutex_);
  if (previous_ != nullptr) {
    previous_->next_ = next_;
  } else {
    wakeups_.first_ = next_;
  }
  if (next_ != nullptr) next_->previous_ = previous_;
}

void AwaitWakeups::WakeAll() {
  // Under the lock a listed thread is still inside its wait, so its window still exists.
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Registration* registration = first_; registration != nullptr; registration = registration->next_) {
    (void)platform::PostMessage(registration->window_, kWakeMessage, 0, 0);
  }
}

void DrainThreadWakes() { DrainWakeMessages(ThreadWakeWindow()); }

uint64_t BLEClientEngine::SetAwaitDeadline() {
  (void)StartDeadline();
  return StartOperationDeadline();
}

// ---- Platform conventions

void RaisePlatformError(int32_t hresult) { throw bt::PlatformError(hresult); }

bt::HString MakePlatformString(const char16_t* text) { return text != nullptr ? bt::HString(text) : bt::HString(); }

int TextToPlatformString(const char* text, bt::HString& out) {
  out.clear();
  if (text == nullptr || text[0] == '\0') return core::kOk;
  const int units = platform::MultiByteToWideChar(platform::kCodePageAnsi, text, -1, nullptr, 0);
  if (units <= 0) return core::kOutOfMemory;
  try {
    out.resize(static_cast<size_t>(units));
  } catch (const std::bad_alloc&) {
    return core::kOutOfMemory;
  }
  const int written = platform::MultiByteToWideChar(platform::kCodePageAnsi, text, -1, out.data(), units);
  // The count includes the terminating NUL, which the platform text does not hold.
  out.resize(written > 0 ? static_cast<size_t>(written - 1) : 0);
  return written > 0 ? core::kOk : core::kOutOfMemory;
}

int PlatformStringToText(const bt::HString& text, core::BufferCore& out) {
  if (text.empty()) return out.SetString("");
  const int units = static_cast<int>(text.size());
  const int bytes = platform::WideCharToMultiByte(platform::kCodePageAnsi, text.data(), units, nullptr, 0);
  if (bytes <= 0) return out.SetString("");
  const int rc = out.Resize(bytes);
  if (rc != core::kOk) return rc;
  const int written = platform::WideCharToMultiByte(platform::kCodePageAnsi, text.data(), units, out.Data(), bytes);
  return out.Resize(written > 0 ? written : 0);
}

// ---- GattObjectRef

GattObjectRef GattObjectRef::FromService(std::shared_ptr<bt::GattDeviceService> service) {
  if (service == nullptr) return GattObjectRef();
  const bt::Guid uuid = service->Uuid();
  return GattObjectRef(Object(std::move(service)), uuid);
}

GattObjectRef GattObjectRef::FromCharacteristic(std::shared_ptr<bt::GattCharacteristic> characteristic) {
  if (characteristic == nullptr) return GattObjectRef();
  const bt::Guid uuid = characteristic->Uuid();
  return GattObjectRef(Object(std::move(characteristic)), uuid);
}

GattObjectRef GattObjectRef::FromDescriptor(std::shared_ptr<bt::GattDescriptor> descriptor) {
  if (descriptor == nullptr) return GattObjectRef();
  const bt::Guid uuid = descriptor->Uuid();
  return GattObjectRef(Object(std::move(descriptor)), uuid);
}

std::shared_ptr<bt::GattDeviceService> GattObjectRef::Service() const {
  const auto* held = std::get_if<std::shared_ptr<bt::GattDeviceService>>(&object_);
  return held != nullptr ? *held : nullptr;
}

std::shared_ptr<bt::GattCharacteristic> GattObjectRef::Characteristic() const {
  const auto* held = std::get_if<std::shared_ptr<bt::GattCharacteristic>>(&object_);
  return held != nullptr ? *held : nullptr;
}

std::shared_ptr<bt::GattDescriptor> GattObjectRef::Descriptor() const {
  const auto* held = std::get_if<std::shared_ptr<bt::GattDescriptor>>(&object_);
  return held != nullptr ? *held : nullptr;
}

}  // namespace velmora::ble
