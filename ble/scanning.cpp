#include "ble/scanning.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>

#include "ble/await.h"
#include "ble/ble_client_engine.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace velmora::ble {

namespace {

constexpr char kUpperHex[] = "0123456789ABCDEF";

char* PutHex(char* at, uint32_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    at[i] = kUpperHex[value & 0xF];
    value >>= 4;
  }
  return at + digits;
}

}  // namespace

int AppendUuidText(const Guid& guid, core::BufferCore& out) {
  // The same text as GuidToUuidText, built without a format pass: it is on the path of every advertisement.
  char text[36];
  char* at = PutHex(text, guid.data1, 8);
  *at++ = '-';
  at = PutHex(at, guid.data2, 4);
  *at++ = '-';
  at = PutHex(at, guid.data3, 4);
  *at++ = '-';
  at = PutHex(at, guid.data4[0], 2);
  at = PutHex(at, guid.data4[1], 2);
  *at++ = '-';
  for (int i = 2; i < 8; ++i) at = PutHex(at, guid.data4[i], 2);
  return out.Append(text, static_cast<int32_t>(sizeof text));
}

int UuidListToText(const UuidList& list, core::BufferCore& out) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (i > 0) {
      const int rc = out.AppendByte(',');
      if (rc != core::kOk) return rc;
    }
    const int rc = AppendUuidText(list[i], out);
    if (rc != core::kOk) return rc;
  }
  return core::kOk;
}

bool GuidListContains(const UuidList& list, const Guid& guid) {
  return std::find(list.begin(), list.end(), guid) != list.end();
}

size_t UniqueUuids::Hash::operator()(const Guid& guid) const {
  uint64_t tail;
  std::memcpy(&tail, guid.data4, sizeof tail);
  const uint64_t head = (uint64_t{guid.data1} << 32) | (uint32_t{guid.data2} << 16) | guid.data3;
  return std::hash<uint64_t>()(head * 0x9E3779B97F4A7C15ull ^ tail);
}

bool UniqueUuids::Add(const Guid& uuid) {
  if (index_.empty() && list_.size() < kLinearLimit) {
    if (GuidListContains(list_, uuid)) return false;
    list_.push_back(uuid);
    return true;
  }
  if (index_.empty()) index_.insert(list_.begin(), list_.end());
  if (!index_.insert(uuid).second) return false;
  list_.push_back(uuid);
  return true;
}

int ParseUuidList(const char* text, component::ComponentBase& engine, UuidList& list) {
  if (text == nullptr) return core::kOk;
  UniqueUuids unique(list);
  core::Buffer item;
  core::Buffer reason;
  const char* at = text;
  for (;;) {
    const char* comma = std::strchr(at, ',');
    const size_t length = comma != nullptr ? static_cast<size_t>(comma - at) : std::strlen(at);
    // Items are not trimmed: only a truly empty item is skipped, so " " reaches the parser and fails.
    if (length > static_cast<size_t>(INT32_MAX)) return engine.SetErrorText(kUuidSizeError, kUuidSizeErrorText);
    if (length > 0) {
      int rc = item.SetData(static_cast<int32_t>(length), at);
      if (rc != core::kOk) return engine.ReportOutOfMemory(rc);
      Guid uuid;
      rc = ParseUuid(uuid, item.Data(), &reason);
      if (rc != core::kOk) {
        if (reason.IsEmpty()) return engine.ReportOutOfMemory(rc);
        return engine.SetErrorText(rc, reason.Data());
      }
      (void)unique.Add(uuid);
    }
    if (comma == nullptr) return core::kOk;
    at = comma + 1;
  }
}

// ---- The engine's scanning --------------------------------------------------------------------------------

namespace {

constexpr const char kLogTypeScanning[] = "Scanning";
constexpr const char kAbortedPrefix[] = "Scanning was aborted for the following reason: ";
// Status polls while waiting for the watcher to start: ScanStartedTimeout seconds in steps of about 50 ms.
constexpr int64_t kStartPollsPerSecond = 20;
constexpr uint32_t kStartPollSleepMs = 50;

using WatcherStatus = bt::BluetoothLEAdvertisementWatcherStatus;

}  // namespace

int BLEClientEngine::LogScanning(int32_t level, const char* message) {
  if (settings_.log_level.load(std::memory_order_relaxed) < level) return 0;
  return FireLog(level, message, kLogTypeScanning);
}

bool BLEClientEngine::IsScanning() const {
  if (watcher_ == nullptr) return false;
  if (watcher_->Status() == WatcherStatus::Started) return true;
  return watcher_->Status() == WatcherStatus::Stopping;
}

int BLEClientEngine::RequireConnection() {
  if (device_ != nullptr && settings_.not_connected.load(std::memory_order_relaxed) == 0) return 0;
  return SetErrorText(kNotConnected, kNotConnectedText);
}

int BLEClientEngine::StartScanning(const char* service_uuids) {
  if (watcher_ != nullptr && watcher_->Status() == WatcherStatus::Stopping) {
    // The platform ignores a start while the watcher stops, so a start now would report a scan that never
    // runs. A thread that can wait lets the stop end first; an event thread cannot (the stop may be
    // delivered on it) and says so. The wait is for the stop only: a scan that a sink starts again meanwhile
    // (from StopScan) is a running scan like any other.
    if (OnPlatformEventThread()) return SetErrorText(kStillStopping, kStillStoppingText);
    const int rc = WaitForWatcherStop(watcher_->Run());
    if (rc != 0) return rc;
  }
  if (IsScanning()) return 0;
  if (watcher_ != nullptr) {
    // The events of the last scan come before those of this one: its advertisements that other threads are
    // still delivering, then its StopScan, here and now when its Stopped event is still on its way.
    if (!OnPlatformEventThread() &&
        !WaitForDeliveries(advertisement_deliveries_, platform::DeadlineClockMs() + BoundedWaitMs())) {
      return SetErrorText(kAwaitStopped, component::kTextTimeout);
    }
    ReportEndedRun();
    // A sink may have started the scan again from that StopScan.
    if (IsScanning()) return 0;
  }
  const std::shared_ptr<bt::BluetoothPlatform> platform = bt::Provider();
  (void)bridge_->RegisterLogged(platform);
  const std::shared_ptr<bt::BluetoothAdapter> adapter = AwaitAdapter(*this, platform->GetDefaultAdapterAsync());
  // A wait that stopped (301) is reported as a missing adapter as well.
  if (adapter == nullptr) return SetErrorText(kNoAdapter, kNoAdapterText);
  if (!adapter->IsLowEnergySupported()) return SetErrorText(kNoAdapter, kNoLowEnergyText);
  if (watcher_ == nullptr) {
    std::shared_ptr<bt::BluetoothLEAdvertisementWatcher> watcher = platform->CreateWatcher();
    (void)bridge_->RegisterWatcherStopped(watcher);
    (void)bridge_->RegisterAdvertisementReceived(watcher);
    // Kept only once both handlers are registered, so that a later start never reuses a deaf watcher.
    watcher_ = std::move(watcher);
  }
  UuidList filter_uuids;
  int rc = ParseUuidList(service_uuids, *this, filter_uuids);
  if (rc != 0) return rc;
  const std::shared_ptr<bt::BluetoothLEAdvertisementFilter> filter = platform->CreateFilter();
  if (!filter_uuids.empty()) {
    const std::shared_ptr<bt::BluetoothLEAdvertisement> pattern = platform->CreateAdvertisement();
    filter->SetAdvertisement(pattern);
    for (const Guid& uuid : filter_uuids) pattern->AppendServiceUuid(uuid);
  }
  // An empty filter replaces the filter of an earlier scan too.
  watcher_->SetAdvertisementFilter(filter);
  const int32_t active = settings_.active_scanning.load(std::memory_order_relaxed);
  watcher_->SetScanningMode(active != 0 ? bt::BluetoothLEScanningMode::Active : bt::BluetoothLEScanningMode::Passive);
  if (active == 0 && !platform->SupportsPassiveScanning()) {
    (void)LogScanning(2, "Passive scanning is not available; scanning actively.");
  }
  core::Buffer filter_text;
  rc = UuidListToText(filter_uuids, filter_text);
  if (rc != core::kOk) return ReportOutOfMemory(rc);
  (void)LogScanning(2, "Scanning is starting.");
  if (settings_.log_level.load(std::memory_order_relaxed) >= 3) {
    // The filter comes from the application and may be long: the line is cut at 255 characters.
    char line[256];
    platform::Format(line, sizeof line, "Scanning parameters:\r\n\tActive scanning: %d\r\n\tService UUIDs: %s.", active,
                     filter_text.Data());
    (void)LogScanning(3, line);
  }
  // The scan's events come in order: its advertisements (and the report of its end) wait until its
  // StartScan has returned, or until this call has found that the scan did not start.
  class StartReport {
   public:
    explicit StartReport(BLEClientEngine& engine) : engine_(engine) {
      std::lock_guard lock(engine_.scan_mutex_);
      engine_.starting_ = true;
    }
    ~StartReport() {
      {
        std::lock_guard lock(engine_.scan_mutex_);
        engine_.starting_ = false;
      }
      engine_.scan_changed_.notify_all();
    }
    StartReport(const StartReport&) = delete;
    StartReport& operator=(const StartReport&) = delete;

   private:
    BLEClientEngine& engine_;
  };
  const StartReport report(*this);
  watcher_->Start();
  const uint64_t run = watcher_->Run();
  WaitForWatcherStart(run);
  // Stopped meanwhile (by a sink on another thread, say): its StopScan tells of it, and no StartScan.
  if (RunClosed(run) || watcher_->Run() != run) return 0;
  if (watcher_->Status() != WatcherStatus::Started) {
    // The scan may still start later and deliver advertisements; the result stays 0.
    (void)LogScanning(1, "Scanning failed to start.");
    return 0;
  }
  (void)LogScanning(1, "Scanning started.");
  rc = Results().reply_text.Assign(filter_text);
  if (rc != core::kOk) return ReportOutOfMemory(rc);
  // The event gets its own copy: a Config query from the sink may rewrite the reply text meanwhile.
  return FireStartScan(filter_text.Data());
}

void BLEClientEngine::WaitForWatcherStart(uint64_t run) {
  const int64_t seconds = settings_.scan_started_timeout.load(std::memory_order_relaxed);
  for (int64_t polls = seconds * kStartPollsPerSecond; polls > 0; --polls) {
    if (watcher_->Status() == WatcherStatus::Started || watcher_->Run() != run || RunClosed(run)) return;
    const std::shared_ptr<bt::BluetoothLEAdvertisementWatcherStoppedEventArgs> ended = watcher_->LastStopped();
    if (ended != nullptr && ended->Run() == run) return;
    // The step only keeps the thread's messages moving; a stop it reports (an old deadline, an interrupt)
    // does not end the wait and its text does not describe this call.
    if (WaitStep(SelectWaitMillis(), NotificationWindow()) == 0) (void)LastErrorText().Clear();
    platform::SleepMs(kStartPollSleepMs);
  }
}

int BLEClientEngine::StopScanning() {
  if (watcher_ == nullptr) return 0;
  // From now on no advertisement of this scan reaches the sink, not even one the platform received before:
  // of the scan stopped here, or of one that has ended already (a start that is still to come keeps its
  // advertisements).
  const uint64_t run = watcher_->Run();
  const bool scanning = IsScanning();
  const std::shared_ptr<bt::BluetoothLEAdvertisementWatcherStoppedEventArgs> ended = watcher_->LastStopped();
  if (scanning || (ended != nullptr && ended->Run() == run)) CloseRun(run);
  if (scanning) {
    (void)LogScanning(2, "Scanning is stopping.");
    watcher_->Stop();
  }
  // A platform may end the scan on the very thread that delivers its events, and a sink that waited here
  // would hold every other event of that thread meanwhile (whichever client's event it runs), or wait for
  // itself until the Timeout. From an event the stop is only requested: StopScan follows once the sink
  // returns.
  if (OnPlatformEventThread()) return 0;
  const int rc = WaitForWatcherStop(run);
  if (rc != 0) return rc;
  // The advertisements admitted before the scan closed may still be with the sink on other threads. (A scan
  // that a sink started again meanwhile, from StopScan, runs on: its advertisements are not waited for.)
  if (watcher_->Run() == run &&
      !WaitForDeliveries(advertisement_deliveries_, platform::DeadlineClockMs() + BoundedWaitMs())) {
    return SetErrorText(kAwaitStopped, component::kTextTimeout);
  }
  return 0;
}

int BLEClientEngine::WaitForWatcherStop(uint64_t run) {
  // The platform leaves Stopping on its own. The wait is capped all the same, so that a platform that
  // never stops cannot hold the caller: Timeout, or a generous internal limit when Timeout is 0.
  const uint64_t deadline = platform::DeadlineClockMs() + BoundedWaitMs();
  while (watcher_->Run() == run && IsScanning()) {
    if (platform::DeadlineClockMs() >= deadline) return SetErrorText(kAwaitStopped, component::kTextTimeout);
    if (WaitStep(SelectWaitMillis(), NotificationWindow()) == 0) {
      // A wait step that stops (an old deadline, a quit request, a closed window) returns at once: pause
      // for a step instead of spinning, and drop its text, which does not describe this call.
      (void)LastErrorText().Clear();
      platform::SleepMs(static_cast<uint32_t>(std::max<int32_t>(SelectWaitMillis(), 1)));
    }
  }
  return 0;
}

bool BLEClientEngine::AdmitAdvertisement(uint64_t run, EventDeliveries::Delivery& delivery) {
  std::unique_lock lock(scan_mutex_);
  WaitWhileStarting(lock, [&] { return run <= closed_run_; });
  if (run <= closed_run_) return false;
  delivery.Admit(advertisement_deliveries_);
  return true;
}

void BLEClientEngine::WaitWhileStarting(std::unique_lock<std::mutex>& lock, const std::function<bool()>& done) {
  if (!starting_) return;  // as a rule: every advertisement passes here
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(BoundedWaitMs());
  while (starting_ && !done() && std::chrono::steady_clock::now() < give_up && !Destroying()) {
    // Woken at once by the end of the start; the steps only look for Destroy.
    (void)scan_changed_.wait_for(lock, std::chrono::milliseconds(5));
  }
}

void BLEClientEngine::CloseRun(uint64_t run) {
  {
    std::lock_guard lock(scan_mutex_);
    closed_run_ = std::max(closed_run_, run);
  }
  // An advertisement waiting for the run's StartScan is dropped at once.
  scan_changed_.notify_all();
}

bool BLEClientEngine::RunClosed(uint64_t run) {
  std::lock_guard lock(scan_mutex_);
  return run <= closed_run_;
}

bool BLEClientEngine::ClaimStopReport(uint64_t run) {
  {
    std::lock_guard lock(scan_mutex_);
    if (run <= reported_run_) return false;
    reported_run_ = run;
    closed_run_ = std::max(closed_run_, run);
  }
  scan_changed_.notify_all();
  return true;
}

void BLEClientEngine::ReportEndedRun() {
  const std::shared_ptr<bt::BluetoothLEAdvertisementWatcherStoppedEventArgs> args = watcher_->LastStopped();
  if (args != nullptr && ClaimStopReport(args->Run())) ReportStop(*watcher_, *args);
}

void BLEClientEngine::OnWatcherStopped(const std::shared_ptr<bt::BluetoothLEAdvertisementWatcher>& watcher,
                                       const std::shared_ptr<bt::BluetoothLEAdvertisementWatcherStoppedEventArgs>& args) {
  if (watcher == nullptr || args == nullptr) return;
  const uint64_t run = args->Run();
  {
    // The StopScan of a scan comes after its StartScan, which a StartScanning may be on its way to.
    std::unique_lock lock(scan_mutex_);
    WaitWhileStarting(lock, [&] { return run <= reported_run_; });
  }
  // A StartScanning that came first has reported this end already, before its own StartScan.
  if (ClaimStopReport(run)) ReportStop(*watcher, *args);
}

void BLEClientEngine::ReportStop(bt::BluetoothLEAdvertisementWatcher& watcher,
                                 bt::BluetoothLEAdvertisementWatcherStoppedEventArgs& args) {
  const std::shared_ptr<bt::BluetoothPlatform> platform = bt::Provider();
  core::Buffer text;
  // The platform's own explanation (a powered-off adapter) comes before the events that report the stop.
  if (settings_.log_level.load(std::memory_order_relaxed) >= 2) {
    const bt::HString detail = args.Detail();
    if (!detail.empty() && PlatformStringToText(detail, text) == core::kOk) {
      (void)FireLog(2, text.Data(), kLogTypeScanning);
    }
  }
  if (watcher.Status() == WatcherStatus::Aborted) {
    core::Buffer reason;
    int rc = PlatformStringToText(platform->EnumText(args.Error()), reason);
    if (rc == core::kOk) rc = text.SetString(kAbortedPrefix);
    if (rc == core::kOk) rc = text.Append(reason);
    (void)FireError(kScanAborted, rc == core::kOk ? text.Data() : kAbortedPrefix);
  } else {
    (void)LogScanning(1, "Scanning stopped.");
  }
  const bt::BluetoothError error = args.Error();
  if (error == bt::BluetoothError::Success) {
    (void)FireStopScan(0, "");
    return;
  }
  if (PlatformStringToText(platform->EnumText(error), text) != core::kOk) (void)text.Clear();
  (void)FireStopScan(kScanAborted, text.Data());
}

}  // namespace velmora::ble
