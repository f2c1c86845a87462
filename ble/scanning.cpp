#include "ble/scanning.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "ble/await.h"
#include "ble/ble_client_engine.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/time.h"

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
  const ScanSequence::Caller me = ScanSequence::ThisCaller();
  // A platform event thread cannot wait: the events it would wait for may be queued behind the one it runs.
  const bool can_wait = !OnPlatformEventThread();
  const uint64_t deadline = platform::DeadlineClockMs() + BoundedWaitMs();
  for (;;) {
    if (watcher_ != nullptr) NoteWatcherEnd();
    const ScanSequence::StartStep step = scans_.BeginStart(me, can_wait);
    switch (step.action) {
      case ScanSequence::StartStep::kScanning:
        return 0;
      case ScanSequence::StartStep::kStillStopping:
        return SetErrorText(kStillStopping, kStillStoppingText);
      case ScanSequence::StartStep::kWaitForStop: {
        // The platform ignores a start while its watcher stops: the stop ends first.
        const int rc = WaitForWatcherStop(step.run, deadline);
        if (rc != 0) return rc;
        continue;
      }
      case ScanSequence::StartStep::kWait:
        // For the last scan's advertisements still with the sink, or its StopScan on another thread.
        if (!WaitForScans(step.version, deadline)) return SetErrorText(kAwaitStopped, component::kTextTimeout);
        continue;
      case ScanSequence::StartStep::kReportStop:
        // The last scan's end is known, its report still on its way: its StopScan comes before this StartScan.
        ReportStop(step.run, step.stop, me);
        continue;
      case ScanSequence::StartStep::kStart:
        return StartNewScan(service_uuids, me);
    }
  }
}

int BLEClientEngine::StartNewScan(const char* service_uuids, ScanSequence::Caller me) {
  // Until the platform has taken the start the scan has no run; however this call ends, no scan is left
  // waiting for it.
  class StartTurn {
   public:
    StartTurn(ScanSequence& scans, ScanSequence::Caller me) : scans_(scans), me_(me) {}
    ~StartTurn() { scans_.Finish(run_, me_); }
    StartTurn(const StartTurn&) = delete;
    StartTurn& operator=(const StartTurn&) = delete;
    void Taken(uint64_t run) { run_ = run; }

   private:
    ScanSequence& scans_;
    const ScanSequence::Caller me_;
    uint64_t run_ = 0;
  };
  StartTurn turn(scans_, me);
  const std::shared_ptr<bt::BluetoothPlatform> platform = bt::Provider();
  if (const int rc = RequireRadio(*platform); rc != 0) return rc;
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
  watcher_->Start();
  const uint64_t run = watcher_->Run();
  turn.Taken(run);
  switch (scans_.Begun(run, filter_text.Data(), me)) {
    case ScanSequence::Begin::kIgnored:
      return 0;
    case ScanSequence::Begin::kClosed:
      // StopScanning (from a sink) came while the platform was being asked: its StopScan tells of the scan.
      watcher_->Stop();
      return 0;
    case ScanSequence::Begin::kGoOn:
      break;
  }
  WaitForWatcherStart(run);
  const ScanSequence::Decision decision =
      scans_.Decide(run, watcher_->Status() == WatcherStatus::Started, me);
  if (decision.action == ScanSequence::Decision::kNotStarted) {
    // The scan may still start later; its first advertisement then brings its StartScan. The result stays 0.
    (void)LogScanning(1, "Scanning failed to start.");
  }
  if (decision.action != ScanSequence::Decision::kAnnounce) {
    // Stopped meanwhile, or ended before it started: only its StopScan tells of it.
    if (decision.report_stop) ReportStop(run, decision.stop, me);
    return 0;
  }
  rc = Results().reply_text.Assign(filter_text);
  // The event gets its own copy: a Config query from the sink may rewrite the reply text meanwhile.
  Announce(run, filter_text.Data(), me);
  return rc == core::kOk ? 0 : ReportOutOfMemory(rc);
}

void BLEClientEngine::WaitForWatcherStart(uint64_t run) {
  const int64_t seconds = settings_.scan_started_timeout.load(std::memory_order_relaxed);
  for (int64_t polls = seconds * kStartPollsPerSecond; polls > 0; --polls) {
    if (watcher_->Status() == WatcherStatus::Started || watcher_->Run() != run) return;
    NoteWatcherEnd();
    if (scans_.Settled(run)) return;
    // The step only keeps the thread's messages moving; a stop it reports (an old deadline, an interrupt)
    // does not end the wait and its text does not describe this call.
    if (WaitStep(SelectWaitMillis(), NotificationWindow()) == 0) (void)LastErrorText().Clear();
    platform::SleepMs(kStartPollSleepMs);
  }
}

int BLEClientEngine::StopScanning() {
  if (watcher_ == nullptr) return 0;
  const ScanSequence::Caller me = ScanSequence::ThisCaller();
  NoteWatcherEnd();
  // From now on no advertisement of the latest scan reaches the sink, not even one the platform received
  // before, and a scan that is still starting is stopped as well.
  const ScanSequence::CloseStep step = scans_.Close();
  if (step.stop_platform) {
    (void)LogScanning(2, "Scanning is stopping.");
    watcher_->Stop();
  }
  // A platform may end the scan on the very thread that delivers its events, and a sink that waited here
  // would hold every other event of that thread meanwhile (whichever client's event it runs), or wait for
  // itself until the Timeout. From an event the stop is only requested: StopScan follows once the sink
  // returns.
  if (OnPlatformEventThread() || step.run == 0) return 0;
  const uint64_t deadline = platform::DeadlineClockMs() + BoundedWaitMs();
  const int rc = WaitForWatcherStop(step.run, deadline);
  if (rc != 0) return rc;
  // The advertisements of this scan that other threads are still delivering (never those of a scan that a
  // sink started again meanwhile, from StopScan).
  for (;;) {
    const uint64_t version = scans_.Version();
    if (!scans_.DeliveriesElsewhere(step.run, me)) return 0;
    if (!WaitForScans(version, deadline)) return SetErrorText(kAwaitStopped, component::kTextTimeout);
  }
}

int BLEClientEngine::WaitForWatcherStop(uint64_t run, uint64_t deadline) {
  // The platform leaves Stopping on its own. The wait is capped all the same, so that a platform that
  // never stops cannot hold the caller: Timeout, or a generous internal limit when Timeout is 0.
  while (watcher_->Run() == run && IsScanning()) {
    if (platform::DeadlineClockMs() >= deadline) return SetErrorText(kAwaitStopped, component::kTextTimeout);
    if (WaitStep(SelectWaitMillis(), NotificationWindow()) == 0) {
      // A wait step that stops (an old deadline, a quit request, a closed window) returns at once: pause
      // for a step instead of spinning, and drop its text, which does not describe this call.
      (void)LastErrorText().Clear();
      platform::SleepMs(static_cast<uint32_t>(std::max<int32_t>(SelectWaitMillis(), 1)));
    }
  }
  NoteWatcherEnd();
  // NOTE: a platform may drop a start that has not completed without a Stopped event: the run is over all
  // the same (a no-op when the platform reported it).
  if (watcher_->Run() == run) scans_.NoteEnded(run, nullptr);
  return 0;
}

void BLEClientEngine::NoteWatcherEnd() {
  const std::shared_ptr<bt::BluetoothLEAdvertisementWatcherStoppedEventArgs> ended = watcher_->LastStopped();
  if (ended != nullptr) scans_.NoteEnded(ended->Run(), ended);
}

bool BLEClientEngine::WaitForScans(uint64_t version, uint64_t deadline) {
  if (scans_.WaitForChange(version, [&] { return Destroying() || platform::DeadlineClockMs() >= deadline; })) {
    return true;
  }
  return Destroying();
}

void BLEClientEngine::OnWatcherStopped(const std::shared_ptr<bt::BluetoothLEAdvertisementWatcher>& watcher,
                                       const std::shared_ptr<bt::BluetoothLEAdvertisementWatcherStoppedEventArgs>& args) {
  if (watcher == nullptr || args == nullptr) return;
  const ScanSequence::Caller me = ScanSequence::ThisCaller();
  const uint64_t run = args->Run();
  // Reported here unless a StartScanning reported it already, or the thread that announces the scan owes it
  // (after the StartScan and what was held for it).
  if (scans_.Ended(run, args, me)) ReportStop(run, args, me);
}

void BLEClientEngine::ReportStop(uint64_t run, const ScanSequence::StopArgs& stop, ScanSequence::Caller me) {
  const std::shared_ptr<bt::BluetoothPlatform> platform = bt::Provider();
  core::Buffer text;
  // The platform's own explanation (a powered-off adapter) comes before the events that report the stop.
  if (stop != nullptr && settings_.log_level.load(std::memory_order_relaxed) >= 2) {
    const bt::HString detail = stop->Detail();
    if (!detail.empty() && PlatformStringToText(detail, text) == core::kOk) {
      (void)FireLog(2, text.Data(), kLogTypeScanning);
    }
  }
  const bt::BluetoothError error = stop != nullptr ? stop->Error() : bt::BluetoothError::Success;
  if (watcher_->Status() == WatcherStatus::Aborted) {
    core::Buffer reason;
    int rc = PlatformStringToText(platform->EnumText(error), reason);
    if (rc == core::kOk) rc = text.SetString(kAbortedPrefix);
    if (rc == core::kOk) rc = text.Append(reason);
    (void)FireError(kScanAborted, rc == core::kOk ? text.Data() : kAbortedPrefix);
  } else {
    (void)LogScanning(1, "Scanning stopped.");
  }
  LogDrops(true);
  if (error == bt::BluetoothError::Success || PlatformStringToText(platform->EnumText(error), text) != core::kOk) {
    (void)text.Clear();
  }
  scans_.StopScanFiring(run, me);
  (void)FireStopScan(error == bt::BluetoothError::Success ? 0 : kScanAborted, text.Data());
  scans_.StopReported(run, me);
}

void BLEClientEngine::Announce(uint64_t run, const char* filter, ScanSequence::Caller me) {
  (void)LogScanning(1, "Scanning started.");
  (void)FireStartScan(filter);
  // Advertisements reach the sink on platform threads only: what was held while the application's thread
  // announced goes to one, behind the events on their way there (newer advertisements of the scan hand out
  // the older ones meanwhile, so the order holds).
  if (scans_.Announced(run, me) && !OnPlatformEventThread()) {
    bridge_->Post(*bt::Provider(), [run](BLEClientEngine& engine) {
      engine.DeliverHeld(run, ScanSequence::ThisCaller());
    });
    return;
  }
  DeliverHeld(run, me);
}

void BLEClientEngine::DeliverHeld(uint64_t run, ScanSequence::Caller me) {
  // However this ends, the drain is given up, so that the scan's end is reported by the next who comes.
  const ScanSequence::Ending drain(scans_, &ScanSequence::EndDrain, run, me);
  for (;;) {
    const ScanSequence::Next next = scans_.NextHeld(run, me, static_cast<int64_t>(platform::MonotonicMs()));
    switch (next.action) {
      case ScanSequence::Next::kDeliver:
        DeliverOne(run, next.advertisement, me);
        break;
      case ScanSequence::Next::kReportStop:
        ReportStop(run, next.stop, me);
        return;
      case ScanSequence::Next::kDone:
        LogDrops(false);
        return;
    }
  }
}

void BLEClientEngine::LogDrops(bool force) {
  const uint64_t drops = scans_.TakeDrops(static_cast<int64_t>(platform::MonotonicMs()), force);
  if (drops == 0) return;
  char line[160];
  platform::Format(line, sizeof line,
                   "Dropped %llu advertisements that waited more than %d ms for the Advertisement event handler.",
                   static_cast<unsigned long long>(drops), static_cast<int>(ScanSequence::kMaxAdvertisementWaitMs));
  (void)LogScanning(2, line);
}

}  // namespace velmora::ble
