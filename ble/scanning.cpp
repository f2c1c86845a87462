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
using Role = ScanQueue::Role;

bool Active(WatcherStatus status) { return status == WatcherStatus::Started || status == WatcherStatus::Stopping; }

// Aborted tells whether the platform aborted run (an Error then comes before its StopScan).
bool Aborted(bt::BluetoothLEAdvertisementWatcher& watcher, uint64_t run) {
  return watcher.Run() == run && watcher.Status() == WatcherStatus::Aborted;
}

// StoppedReport is the platform's report that run ended; null while it has sent none.
ScanQueue::StopArgs StoppedReport(bt::BluetoothLEAdvertisementWatcher& watcher, uint64_t run) {
  ScanQueue::StopArgs stopped = watcher.LastStopped();
  return stopped != nullptr && stopped->Run() == run ? stopped : nullptr;
}

}  // namespace

int64_t BLEClientEngine::ScanClockMs() { return static_cast<int64_t>(platform::MonotonicMs()); }

int BLEClientEngine::LogScanning(int32_t level, const char* message) {
  if (settings_.log_level.load(std::memory_order_relaxed) < level) return 0;
  return FireLog(level, message, kLogTypeScanning);
}

std::shared_ptr<bt::BluetoothLEAdvertisementWatcher> BLEClientEngine::Watcher() const {
  std::lock_guard lock(watcher_mutex_);
  return watcher_;
}

bool BLEClientEngine::IsScanning() const {
  const std::shared_ptr<bt::BluetoothLEAdvertisementWatcher> watcher = Watcher();
  return watcher != nullptr && Active(watcher->Status());
}

bool BLEClientEngine::ScanModeFixed() { return IsScanning() || scans_.UnderWay(); }

int BLEClientEngine::StartScanning(const char* service_uuids) {
  const ScanQueue::Caller me = ScanQueue::ThisCaller();
  // A platform event thread cannot wait: the events it would wait for may be queued behind the one it runs.
  const bool can_wait = !OnPlatformEventThread();
  const uint64_t deadline = platform::DeadlineClockMs() + BoundedWaitMs();
  // A scan that the platform has ended runs no more, also while its report is still on its way. The events the
  // platform received before the end come ahead of that report: a thread that may wait lets them reach the
  // sink first, as the end of the scan follows its advertisements; the report ends the scan only once that
  // wait has run out. A thread that cannot wait cannot start before that end either (614): there the report
  // only tells it so, and the scan ends with its Stopped event, behind those events.
  uint64_t reported_run = 0;
  if (can_wait && !scans_.Beneath(me)) {
    // No longer than an advertisement may wait for the sink: one that waited longer is dropped all the same.
    AwaitStoppedEvent(std::min<uint64_t>(deadline, platform::DeadlineClockMs() + ScanQueue::kMaxAdvertisementWaitMs));
    NoteScanEnd(me);
  } else {
    reported_run = ReportedRun();
  }
  for (;;) {
    const ScanQueue::StartStep step = scans_.BeginStart(me, can_wait, reported_run);
    switch (step.action) {
      case ScanQueue::StartStep::kScanning:
        return 0;
      case ScanQueue::StartStep::kStillStopping:
        return SetErrorText(kStillStopping, kStillStoppingText);
      case ScanQueue::StartStep::kWaitForEnd: {
        const int rc = AwaitScanOver(step.scan, deadline);
        if (rc != 0 || Destroying()) return rc;
        continue;
      }
      case ScanQueue::StartStep::kStart:
        return StartNewScan(step.scan, service_uuids, me);
    }
  }
}

int BLEClientEngine::StartNewScan(uint64_t scan, const char* service_uuids, ScanQueue::Caller me) {
  // However this call ends, the scan does not stay undecided: a start that never reached the platform is over.
  class StartTurn {
   public:
    StartTurn(ScanQueue& scans, uint64_t scan, ScanQueue::Caller me) : scans_(scans), scan_(scan), me_(me) {}
    ~StartTurn() { scans_.Finish(scan_, me_); }
    StartTurn(const StartTurn&) = delete;
    StartTurn& operator=(const StartTurn&) = delete;

   private:
    ScanQueue& scans_;
    const uint64_t scan_;
    const ScanQueue::Caller me_;
  };
  const StartTurn turn(scans_, scan, me);
  const std::shared_ptr<bt::BluetoothPlatform> platform = bt::Provider();
  if (const int rc = RequireRadio(*platform); rc != 0) return rc;
  (void)bridge_->RegisterLogged(platform);
  const std::shared_ptr<bt::BluetoothAdapter> adapter = AwaitAdapter(*this, platform->GetDefaultAdapterAsync());
  // Once Destroy has begun, nothing is started.
  if (Destroying()) return 0;
  // A wait that stopped (301) is reported as a missing adapter as well.
  if (adapter == nullptr) return SetErrorText(kNoAdapter, kNoAdapterText);
  if (!adapter->IsLowEnergySupported()) return SetErrorText(kNoAdapter, kNoLowEnergyText);
  std::shared_ptr<bt::BluetoothLEAdvertisementWatcher> watcher = Watcher();
  if (watcher == nullptr) {
    watcher = platform->CreateWatcher();
    (void)bridge_->RegisterWatcherStopped(watcher);
    (void)bridge_->RegisterAdvertisementReceived(watcher);
    // Kept only once both handlers are registered, so that a later start never reuses a deaf watcher.
    std::lock_guard lock(watcher_mutex_);
    watcher_ = watcher;
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
  watcher->SetAdvertisementFilter(filter);
  const int32_t active = settings_.active_scanning.load(std::memory_order_relaxed);
  watcher->SetScanningMode(active != 0 ? bt::BluetoothLEScanningMode::Active : bt::BluetoothLEScanningMode::Passive);
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
  watcher->Start();
  const uint64_t run = watcher->Run();
  switch (scans_.Begun(scan, run, filter_text.Data())) {
    case ScanQueue::Begin::kIgnored:
      return 0;
    case ScanQueue::Begin::kClosed:
      // Stopped (from a sink, or by the application's StopScanning) while the platform was being asked: this
      // run, not one that a sink has started since.
      watcher->StopRun(run);
      return 0;
    case ScanQueue::Begin::kGoOn:
      break;
  }
  WaitForWatcherStart(*watcher, scan, run);
  if (Destroying()) {
    // Destroy closes a scan still starting as StopScanning does.
    const ScanQueue::CloseStep close = scans_.Close();
    if (close.stop_platform) watcher->StopRun(close.run);
    return 0;
  }
  const bool started = watcher->Run() == run && watcher->Status() == WatcherStatus::Started;
  const bool end_reported = !started && StoppedReport(*watcher, run) != nullptr;
  const ScanQueue::Decision decision = scans_.Decide(scan, started, me, end_reported);
  if (decision == ScanQueue::Decision::kNotStarted) {
    // The scan may still start later; its first advertisement then brings its StartScan. The result stays 0.
    (void)LogScanning(1, "Scanning failed to start.");
  }
  if (decision == ScanQueue::Decision::kAnnounce) rc = Results().reply_text.Assign(filter_text);
  // Its StartScan, or its end when it ended or was stopped first: this call fires it.
  DeliverScanEvents(scans_.TakeTurn(me, Role::kCall), me, Role::kCall);
  return rc == core::kOk ? 0 : ReportOutOfMemory(rc);
}

void BLEClientEngine::WaitForWatcherStart(bt::BluetoothLEAdvertisementWatcher& watcher, uint64_t scan, uint64_t run) {
  const int64_t seconds = settings_.scan_started_timeout.load(std::memory_order_relaxed);
  for (int64_t polls = seconds * kStartPollsPerSecond; polls > 0; --polls) {
    // Ended before it was seen started: the advertisements the platform received before the end come ahead of
    // its Stopped event and tell whether it started (Decide). They may wait behind another sink on the
    // platform's thread, ageing while this call waits, so the wait ends here.
    if (watcher.Status() == WatcherStatus::Started || watcher.Run() != run ||
        StoppedReport(watcher, run) != nullptr) {
      return;
    }
    if (scans_.Settled(scan) || Destroying()) return;
    // The step only keeps the thread's messages moving; a stop it reports (an old deadline, an interrupt)
    // does not end the wait and its text does not describe this call. A stop of the scan wakes it (as
    // Destroy does), listed before the look below so that one that comes meanwhile wakes it too.
    {
      const AwaitWakeups::Registration woken_by_stop(scan_end_wakeups_);
      if (scans_.Settled(scan)) return;
      // At most 50 ms, so that the polls keep to ScanStartedTimeout whatever SelectWaitMillis is.
      if (WaitStep(std::min(LibraryStepMs(), kWakelessStepMs), NotificationWindow()) == 0) {
        (void)LastErrorText().Clear();
      }
    }
    DrainThreadWakes();
    if (scans_.Settled(scan) || Destroying()) return;
    platform::SleepMs(kStartPollSleepMs);
  }
}

int BLEClientEngine::StopScanning() {
  const ScanQueue::Caller me = ScanQueue::ThisCaller();
  // From now on no advertisement of the latest scan reaches the sink, not even one the platform received
  // before; a scan still starting is stopped as well (by its starter, when the platform has not taken it).
  const ScanQueue::CloseStep step = scans_.Close();
  if (step.scan == 0) return 0;
  // A StartScanning still waiting for this scan to start ends its wait.
  scan_end_wakeups_.WakeAll();
  if (step.stop_platform) {
    (void)LogScanning(2, "Scanning is stopping.");
    // The run closed above: the platform may have ended it meanwhile (from that Log line's sink, say) and a
    // StopScan sink started the next, which this stop must leave running.
    Watcher()->StopRun(step.run);
  }
  // A platform may end the scan on the very thread that delivers its events, and a sink that waited here
  // would hold every other event of that thread meanwhile (whichever client's event it runs), or wait for
  // itself until the Timeout; so would a sink inside one of this client's scan events, whose StopScan comes
  // after it, and a Log sink of the StartScanning that is starting this scan on this thread, whose start
  // goes on only once the sink has returned. From there the stop is only requested: StopScan follows once
  // the sink has returned.
  if (OnPlatformEventThread() || scans_.Beneath(me)) return 0;
  return AwaitScanOver(step.scan, platform::DeadlineClockMs() + BoundedWaitMs());
}

int BLEClientEngine::AwaitScanOver(uint64_t scan, uint64_t deadline) {
  const ScanQueue::Caller me = ScanQueue::ThisCaller();
  bool stop_asked = false;
  // How long a run's end may wait for its Stopped event (below): as long as its advertisements may wait.
  const uint64_t events_until = platform::DeadlineClockMs() + ScanQueue::kMaxAdvertisementWaitMs;
  for (;;) {
    // Destroy ends the wait: nothing reaches the sink any more, and the sink that destroys may be what
    // this wait waits for.
    if (Destroying()) return 0;
    const ScanQueue::Progress progress = scans_.Look(scan);
    if (progress.over) return 0;
    const std::shared_ptr<bt::BluetoothLEAdvertisementWatcher> watcher = Watcher();
    // A run that the platform ended before it was seen started ends with its Stopped event: the advertisements
    // it received come ahead of that event (also behind another client's sink on the platform's thread) and
    // tell whether it started, which its end says. The status would end it before they come; it does so only
    // once they would be too old to deliver, as StartScanning's wait for such an end does.
    if (progress.run != 0 && watcher != nullptr &&
        (!progress.ends_with_report || platform::DeadlineClockMs() >= events_until)) {
      // The scan was closed and has not ended: it ends once the platform has stopped it. A Stop of this
      // thread's own comes first, so that the status tells of the stop (a second Stop changes nothing); it
      // stops that run only, never one begun since.
      if (!stop_asked) watcher->StopRun(progress.run);
      stop_asked = true;
      ScanQueue::StopArgs stop;
      if (PlatformEnded(*watcher, progress.run, &stop)) {
        TellRunEnded(*watcher, progress.run, stop, me);
        continue;
      }
    }
    // Its end, once queued, is this call's to deliver when no other thread does.
    DeliverScanEvents(scans_.TakeTurn(me, Role::kCall), me, Role::kCall);
    if (scans_.Look(scan).over) return 0;
    if (platform::DeadlineClockMs() >= deadline) return SetErrorText(kAwaitStopped, component::kTextTimeout);
    if (progress.run != 0) {
      // Until the platform ends the run: its report wakes the step (registered before the last look, so that
      // one that comes meanwhile wakes it too), or the step's own tick polls the platform's status.
      {
        const AwaitWakeups::Registration woken_by_end(scan_end_wakeups_);
        const ScanQueue::Progress now = scans_.Look(scan);
        if (now.run == progress.run) PauseForPlatform(now.version);
      }
      // A wake that came after the step had ended leaves no message behind for the next step.
      DrainThreadWakes();
    } else {
      // Another thread's step (the start on its way to the platform, a delivery): one wait step, or until
      // the queue changes. This call's own look above changed nothing, so it does not end the wait.
      (void)scans_.WaitForChange(progress.version, SelectWaitMillis());
    }
  }
}

bool BLEClientEngine::PlatformEnded(bt::BluetoothLEAdvertisementWatcher& watcher, uint64_t run,
                                    ScanQueue::StopArgs* stop) {
  // The status is read before the report: the platform sets the two together, so a run seen ended has its
  // report by then, also when it ended between the two reads (an abort while this wait looks).
  // NOTE: a platform may drop a start that has not completed without a Stopped event: the run is over all
  // the same once the status has left Started and Stopping.
  const bool ended = watcher.Run() != run || !Active(watcher.Status());
  *stop = StoppedReport(watcher, run);
  return *stop != nullptr || ended;
}

void BLEClientEngine::PauseForPlatform(uint64_t version) {
  // The platform leaves Stopping on its own; the step keeps the thread's messages moving meanwhile, and the
  // platform's report of the end or Destroy wakes it. A step that does not wait (0 ms), or stops before its
  // time (a quit request, a closed window, an interrupt), is made up to a whole step (at least a
  // millisecond) by a wait for the scan queue, which that report and Destroy end as well: the wait never
  // spins, and never sleeps past what it waits for. The step's text does not describe this call.
  // The platform's status changes on its own thread, and the report that wakes the step comes on the thread
  // that delivers its events, which another sink may hold: the step looks at the status every
  // kWakelessStepMs at least.
  const int32_t step = std::min(LibraryStepMs(), kWakelessStepMs);
  const uint64_t began = platform::MonotonicMs();
  const int rc = WaitStep(step, NotificationWindow());
  if (rc == 0) (void)LastErrorText().Clear();
  if (rc != 0 && step > 0) return;
  const int64_t spent = static_cast<int64_t>(platform::MonotonicMs() - began);
  const int64_t rest = std::max<int64_t>(step, 1) - spent;
  if (rest > 0) (void)scans_.WaitForChange(version, rest);
}

uint64_t BLEClientEngine::ReportedRun() {
  const uint64_t run = scans_.RunningRun();
  const std::shared_ptr<bt::BluetoothLEAdvertisementWatcher> watcher = Watcher();
  return run != 0 && watcher != nullptr && StoppedReport(*watcher, run) != nullptr ? run : 0;
}

void BLEClientEngine::NoteScanEnd(ScanQueue::Caller me) {
  const uint64_t run = scans_.RunningRun();
  const std::shared_ptr<bt::BluetoothLEAdvertisementWatcher> watcher = Watcher();
  if (run == 0 || watcher == nullptr) return;
  if (const ScanQueue::StopArgs stopped = StoppedReport(*watcher, run)) TellRunEnded(*watcher, run, stopped, me);
}

void BLEClientEngine::AwaitStoppedEvent(uint64_t deadline) {
  for (;;) {
    if (Destroying() || platform::DeadlineClockMs() >= deadline) return;
    const ScanQueue::Progress latest = scans_.Receiving();
    const std::shared_ptr<bt::BluetoothLEAdvertisementWatcher> watcher = Watcher();
    if (latest.run == 0 || watcher == nullptr || StoppedReport(*watcher, latest.run) == nullptr) return;
    {
      // The event wakes the step (registered before the last look, so that one that comes meanwhile wakes it
      // too), and so does Destroy.
      const AwaitWakeups::Registration woken_by_end(scan_end_wakeups_);
      if (scans_.Receiving().run == latest.run) PauseForPlatform(latest.version);
    }
    // A wake that came after the step had ended leaves no message behind for the next step.
    DrainThreadWakes();
  }
}

void BLEClientEngine::TellRunEnded(bt::BluetoothLEAdvertisementWatcher& watcher, uint64_t run,
                                   const ScanQueue::StopArgs& stop, ScanQueue::Caller me) {
  DeliverScanEvents(EndedRun(run, stop, Aborted(watcher, run), me, Role::kCall), me, Role::kCall);
}

ScanQueue::Event BLEClientEngine::EndedRun(uint64_t run, const ScanQueue::StopArgs& stop, bool aborted,
                                           ScanQueue::Caller me, Role role) {
  ScanQueue::Event first = scans_.Ended(run, stop, aborted, me, role);
  // Before the end is delivered, which may take the sink long: a wait for the platform's end goes on to wait
  // for the delivery.
  scan_end_wakeups_.WakeAll();
  return first;
}

void BLEClientEngine::OnWatcherStopped(const std::shared_ptr<bt::BluetoothLEAdvertisementWatcher>& watcher,
                                       const std::shared_ptr<bt::BluetoothLEAdvertisementWatcherStoppedEventArgs>& args) {
  if (watcher == nullptr || args == nullptr) return;
  const ScanQueue::Caller me = ScanQueue::ThisCaller();
  const uint64_t run = args->Run();
  DeliverScanEvents(EndedRun(run, args, Aborted(*watcher, run), me, Role::kEvent), me, Role::kEvent);
}

void BLEClientEngine::DeliverScanEvents(ScanQueue::Event event, ScanQueue::Caller me, ScanQueue::Role role) {
  if (event.kind == ScanQueue::Event::kNone) {
    if (event.post) PostScanDrain();
    return;
  }
  if (event.within) {
    // The StopScan this runs in holds the turn and goes on once it returns.
    FireScanEvent(event);
    return;
  }
  // However the deliveries end (a sink that raises, Destroy), the turn is given up and what is left is
  // handed to a platform thread.
  class Turn {
   public:
    Turn(BLEClientEngine& engine, ScanQueue::Caller me) : engine_(engine), me_(me) {}
    ~Turn() {
      if (held_ && engine_.scans_.GiveUp(me_) && !engine_.Destroying()) engine_.PostScanDrain();
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    void Done() { held_ = false; }

   private:
    BLEClientEngine& engine_;
    const ScanQueue::Caller me_;
    bool held_ = true;
  };
  Turn turn(*this, me);
  // Once Destroy has begun nothing reaches the sink: the rest stays where it is.
  while (event.kind != ScanQueue::Event::kNone && !Destroying()) {
    FireScanEvent(event);
    event = scans_.Next(me, role);
  }
  if (event.kind != ScanQueue::Event::kNone) return;
  turn.Done();
  if (event.post) PostScanDrain();
}

void BLEClientEngine::DrainScanEvents() {
  const ScanQueue::Caller me = ScanQueue::ThisCaller();
  DeliverScanEvents(scans_.Drain(me), me, Role::kEvent);
}

void BLEClientEngine::PostScanDrain() {
  try {
    bridge_->Post(*bt::Provider(), [](BLEClientEngine& engine) { engine.DrainScanEvents(); });
  } catch (...) {
    // NOTE: a platform that cannot take the task leaves the rest to the next advertisement or end.
    scans_.PostFailed();
  }
}

void BLEClientEngine::FireScanEvent(const ScanQueue::Event& event) {
  switch (event.kind) {
    case ScanQueue::Event::kStartScan:
      (void)LogScanning(1, "Scanning started.");
      (void)FireStartScan(event.filter.c_str());
      return;
    case ScanQueue::Event::kAdvertisement:
      DeliverOne(event.advertisement);
      return;
    case ScanQueue::Event::kDropCount:
      LogDrops(event.drops);
      return;
    case ScanQueue::Event::kStopScan:
      ReportStop(event);
      return;
    case ScanQueue::Event::kNone:
      return;
  }
}

void BLEClientEngine::ReportStop(const ScanQueue::Event& end) {
  const std::shared_ptr<bt::BluetoothPlatform> platform = bt::Provider();
  // StartScanning left this to the scan's events, which brought nothing before the end.
  if (end.failed_start) (void)LogScanning(1, "Scanning failed to start.");
  core::Buffer text;
  // The platform's own explanation (a powered-off adapter) comes before the events that report the stop.
  if (end.stop != nullptr && settings_.log_level.load(std::memory_order_relaxed) >= 2) {
    const bt::HString detail = end.stop->Detail();
    if (!detail.empty() && PlatformStringToText(detail, text) == core::kOk) {
      (void)FireLog(2, text.Data(), kLogTypeScanning);
    }
  }
  const bt::BluetoothError error = end.stop != nullptr ? end.stop->Error() : bt::BluetoothError::Success;
  if (end.aborted) {
    core::Buffer reason;
    int rc = PlatformStringToText(platform->EnumText(error), reason);
    if (rc == core::kOk) rc = text.SetString(kAbortedPrefix);
    if (rc == core::kOk) rc = text.Append(reason);
    (void)FireError(kScanAborted, rc == core::kOk ? text.Data() : kAbortedPrefix);
  } else {
    (void)LogScanning(1, "Scanning stopped.");
  }
  LogDrops(end.drops);
  // Only now is the end's StopScan in the sink: from there, and not from the events before it, the next scan
  // may start.
  scans_.StopScanEnters(ScanQueue::ThisCaller());
  if (error == bt::BluetoothError::Success || PlatformStringToText(platform->EnumText(error), text) != core::kOk) {
    (void)text.Clear();
  }
  (void)FireStopScan(error == bt::BluetoothError::Success ? 0 : kScanAborted, text.Data());
}

void BLEClientEngine::LogDrops(uint64_t drops) {
  if (drops == 0) return;
  char line[160];
  platform::Format(line, sizeof line,
                   "Dropped %llu advertisements that waited more than %d ms for the Advertisement event handler.",
                   static_cast<unsigned long long>(drops), static_cast<int>(ScanQueue::kMaxAdvertisementWaitMs));
  (void)LogScanning(2, line);
}

}  // namespace velmora::ble
