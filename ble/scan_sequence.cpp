#include "ble/scan_sequence.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <utility>

namespace velmora::ble {

namespace {

// How often WaitForChange asks whether to give up.
constexpr auto kWaitStep = std::chrono::milliseconds(5);
// How often TakeDrops hands out a count.
constexpr int64_t kDropCountIntervalMs = 1000;

}  // namespace

ScanSequence::Caller ScanSequence::ThisCaller() {
  static std::atomic<Caller> last{0};
  thread_local const Caller caller = last.fetch_add(1, std::memory_order_relaxed) + 1;
  return caller;
}

// ---- StartScanning ---------------------------------------------------------------------------------------------

ScanSequence::StartStep ScanSequence::BeginStart(Caller me, bool can_wait) {
  std::lock_guard lock(mutex_);
  StartStep step;
  step.version = version_;
  const auto refuse = [&] {
    step.action = can_wait ? StartStep::kWait : StartStep::kStillStopping;
    return step;
  };
  // Another StartScanning is on its way to the platform with a scan of its own.
  if (start_pending_) {
    step.action = StartStep::kScanning;
    return step;
  }
  if (Scan* last = Latest(); last != nullptr) {
    step.run = last->run;
    if (!last->ended) {
      if (!last->closed) {
        step.action = StartStep::kScanning;
        return step;
      }
      step.action = can_wait ? StartStep::kWaitForStop : StartStep::kStillStopping;
      return step;
    }
    // The sink that restarts the scan from the last scan's StopScan has that StopScan behind it.
    const bool firing_here = last->report == Report::kFiring && last->reporter == me;
    if (last->report != Report::kReported && !firing_here) {
      // The report belongs to the thread that announces or drains the scan, or to the one reporting it now;
      // a thread cannot wait for itself.
      const bool reporting = last->report != Report::kNone;
      if (OwedToAnnouncer(*last) || reporting) {
        const Caller owner = reporting ? last->reporter : last->draining ? last->drainer : last->announcer;
        if (owner == me) {
          step.action = StartStep::kStillStopping;
          return step;
        }
        return refuse();
      }
      // On a thread that can wait, the advertisements of the scan still with the sink come first.
      if (can_wait && ElsewhereIn(*last, me)) return refuse();
      last->report = Report::kReporting;
      last->reporter = me;
      step.action = StartStep::kReportStop;
      step.stop = last->stop;
      Changed();
      return step;
    }
    if (can_wait && ElsewhereIn(*last, me)) return refuse();
  }
  start_pending_ = true;
  starter_ = me;
  close_pending_start_ = false;
  step.action = StartStep::kStart;
  Changed();
  return step;
}

ScanSequence::Begin ScanSequence::Begun(uint64_t run, std::string filter, Caller me) {
  std::lock_guard lock(mutex_);
  Scan* scan = Adopt(run);
  const bool closed = close_pending_start_;
  start_pending_ = false;
  close_pending_start_ = false;
  Changed();
  // A platform that ignored the Start leaves its run as it was: nothing new was started.
  if (scan == nullptr || scan->start != Start::kPending || scan->announcer != 0) return Begin::kIgnored;
  scan->filter = std::move(filter);
  scan->announcer = me;
  if (closed) {
    scan->closed = true;
    scan->start = Start::kNever;
    scan->held.clear();
    return Begin::kClosed;
  }
  return Begin::kGoOn;
}

bool ScanSequence::Settled(uint64_t run) {
  std::lock_guard lock(mutex_);
  const Scan* scan = Find(run);
  return scan == nullptr || scan->closed || scan->ended || !scan->held.empty();
}

ScanSequence::Decision ScanSequence::Decide(uint64_t run, bool started, Caller me) {
  std::lock_guard lock(mutex_);
  Decision decision;
  Scan* scan = Find(run);
  if (scan == nullptr || scan->start != Start::kPending || scan->announcer != me) return decision;
  Changed();
  // Advertisements that came are the platform's word that the scan started, also when it has ended since.
  if (!scan->closed && (!scan->held.empty() || (started && !scan->ended))) {
    scan->start = Start::kAnnouncing;
    scan->in_flight.push_back(me);
    decision.action = Decision::kAnnounce;
    return decision;
  }
  decision.action = scan->closed ? Decision::kClosed : Decision::kNotStarted;
  if (scan->closed || scan->ended) {
    scan->start = Start::kNever;
    decision.report_stop = ClaimReport(*scan, me);
    decision.stop = scan->stop;
    return decision;
  }
  scan->start = Start::kUnannounced;
  scan->announcer = 0;
  return decision;
}

void ScanSequence::Finish(uint64_t run, Caller me) {
  std::lock_guard lock(mutex_);
  if (start_pending_ && starter_ == me) {
    start_pending_ = false;
    close_pending_start_ = false;
    Changed();
  }
  Scan* scan = Find(run);
  if (scan == nullptr) return;
  if (scan->start == Start::kPending && scan->announcer == me) {
    scan->start = scan->closed || scan->ended ? Start::kNever : Start::kUnannounced;
    scan->announcer = 0;
    Changed();
  }
}

// ---- After a StartScan -----------------------------------------------------------------------------------------

bool ScanSequence::Announced(uint64_t run, Caller me) {
  std::lock_guard lock(mutex_);
  Scan* scan = Find(run);
  if (scan == nullptr || scan->start != Start::kAnnouncing || scan->announcer != me) return false;
  scan->start = Start::kAnnounced;
  scan->announcer = 0;
  Leave(*scan, me);
  scan->draining = !scan->held.empty();
  scan->drainer = 0;
  Changed();
  return scan->draining;
}

ScanSequence::Next ScanSequence::NextHeld(uint64_t run, Caller me, int64_t now_ms) {
  std::lock_guard lock(mutex_);
  Next next;
  Scan* scan = Find(run);
  if (scan == nullptr) return next;
  if (scan->draining && (scan->drainer == me || scan->drainer == 0)) {
    scan->drainer = me;
    if (TakeHeld(*scan, me, now_ms, &next.advertisement)) {
      next.action = Next::kDeliver;
      Changed();
      return next;
    }
    scan->draining = false;
    scan->drainer = 0;
    Changed();
  }
  if (OwedToAnnouncer(*scan)) return next;
  if (ClaimReport(*scan, me)) {
    next.action = Next::kReportStop;
    next.stop = scan->stop;
  }
  return next;
}

void ScanSequence::EndDrain(uint64_t run, Caller me) {
  std::lock_guard lock(mutex_);
  Scan* scan = Find(run);
  if (scan == nullptr || !scan->draining || scan->drainer != me) return;
  scan->draining = false;
  scan->drainer = 0;
  Changed();
}

// ---- The platform's advertisements and ends --------------------------------------------------------------------

ScanSequence::Arrival ScanSequence::Arrive(uint64_t run, int64_t received_ms, int64_t now_ms,
                                          Advertisement advertisement, Caller me) {
  std::lock_guard lock(mutex_);
  Arrival arrival;
  Scan* scan = Adopt(run);
  if (scan == nullptr || scan->closed || scan->ended) return arrival;
  switch (scan->start) {
    case Start::kNever:
      return arrival;
    case Start::kPending:
    case Start::kAnnouncing:
      Hold(*scan, std::move(advertisement), received_ms, now_ms);
      arrival.action = Arrival::kHeld;
      Changed();
      return arrival;
    case Start::kUnannounced:
      // The first sign that a scan StartScanning gave up on has started: this thread announces it.
      Hold(*scan, std::move(advertisement), received_ms, now_ms);
      scan->start = Start::kAnnouncing;
      scan->announcer = me;
      scan->in_flight.push_back(me);
      arrival.action = Arrival::kAnnounce;
      arrival.filter = scan->filter;
      Changed();
      return arrival;
    case Start::kAnnounced:
      break;
  }
  if (scan->draining) {
    // Behind the held ones: this thread delivers the oldest, so that the drain ends however many come.
    Hold(*scan, std::move(advertisement), received_ms, now_ms);
    if (TakeHeld(*scan, me, now_ms, &arrival.advertisement)) arrival.action = Arrival::kDeliver;
    Changed();
    return arrival;
  }
  if (Stale(received_ms, now_ms)) {
    ++drops_;
    return arrival;
  }
  scan->in_flight.push_back(me);
  arrival.action = Arrival::kDeliver;
  arrival.advertisement = std::move(advertisement);
  return arrival;
}

void ScanSequence::Delivered(uint64_t run, Caller me) {
  std::lock_guard lock(mutex_);
  Scan* scan = Find(run);
  if (scan == nullptr) return;
  Leave(*scan, me);
  Changed();
  Prune();
}

bool ScanSequence::Ended(uint64_t run, StopArgs stop, Caller me) {
  std::lock_guard lock(mutex_);
  Scan* scan = Adopt(run);
  if (scan == nullptr) return false;
  MarkEnded(*scan, std::move(stop));
  Changed();
  return !OwedToAnnouncer(*scan) && ClaimReport(*scan, me);
}

void ScanSequence::NoteEnded(uint64_t run, StopArgs stop) {
  std::lock_guard lock(mutex_);
  Scan* scan = Find(run);
  if (scan == nullptr || scan->ended) return;
  MarkEnded(*scan, std::move(stop));
  Changed();
}

void ScanSequence::StopScanFiring(uint64_t run, Caller me) {
  std::lock_guard lock(mutex_);
  Scan* scan = Find(run);
  if (scan == nullptr || scan->report != Report::kReporting || scan->reporter != me) return;
  scan->report = Report::kFiring;
  Changed();
}

void ScanSequence::StopReported(uint64_t run, Caller me) {
  std::lock_guard lock(mutex_);
  Scan* scan = Find(run);
  if (scan == nullptr || scan->report == Report::kReported || scan->reporter != me) return;
  scan->report = Report::kReported;
  scan->reporter = 0;
  Changed();
  Prune();
}

// ---- StopScanning ----------------------------------------------------------------------------------------------

ScanSequence::CloseStep ScanSequence::Close() {
  std::lock_guard lock(mutex_);
  CloseStep step;
  if (start_pending_) {
    // The scan on its way to the platform is stopped as soon as the platform has taken it.
    close_pending_start_ = true;
    Changed();
    return step;
  }
  Scan* scan = Latest();
  if (scan == nullptr) return step;
  step.run = scan->run;
  if (scan->closed) return step;
  scan->closed = true;
  // Nothing held is delivered now, so nothing is left to drain: the end is reported by whoever gets to it.
  scan->held.clear();
  scan->draining = false;
  scan->drainer = 0;
  step.stop_platform = !scan->ended;
  Changed();
  return step;
}

bool ScanSequence::DeliveriesElsewhere(uint64_t run, Caller me) {
  std::lock_guard lock(mutex_);
  const Scan* scan = Find(run);
  return scan != nullptr && ElsewhereIn(*scan, me);
}

// ---- Waiting and counting --------------------------------------------------------------------------------------

uint64_t ScanSequence::Version() {
  std::lock_guard lock(mutex_);
  return version_;
}

bool ScanSequence::WaitForChange(uint64_t version, const std::function<bool()>& give_up) {
  std::unique_lock lock(mutex_);
  while (version_ == version) {
    lock.unlock();
    if (give_up()) return false;
    lock.lock();
    ++waiters_;
    (void)changed_.wait_for(lock, kWaitStep, [&] { return version_ != version; });
    --waiters_;
  }
  return true;
}

uint64_t ScanSequence::TakeDrops(int64_t now_ms, bool force) {
  std::lock_guard lock(mutex_);
  if (drops_ == 0 || (!force && now_ms - drops_counted_ms_ < kDropCountIntervalMs)) return 0;
  const uint64_t drops = drops_;
  drops_ = 0;
  drops_counted_ms_ = now_ms;
  return drops;
}

// ---- Internals -------------------------------------------------------------------------------------------------

ScanSequence::Scan* ScanSequence::Find(uint64_t run) {
  for (Scan& scan : scans_) {
    if (scan.run == run) return &scan;
  }
  return nullptr;
}

ScanSequence::Scan* ScanSequence::Adopt(uint64_t run) {
  if (Scan* scan = Find(run); scan != nullptr) return scan;
  // Only the start under way begins a new run; anything else is a run this client has nothing to do with
  // (or one it has finished with).
  const Scan* last = Latest();
  if (!start_pending_ || run == 0 || (last != nullptr && run <= last->run)) return nullptr;
  scans_.emplace_back();
  scans_.back().run = run;
  return &scans_.back();
}

void ScanSequence::MarkEnded(Scan& scan, StopArgs stop) {
  if (scan.ended) return;
  scan.ended = true;
  scan.stop = std::move(stop);
}

bool ScanSequence::OwedToAnnouncer(const Scan& scan) {
  return scan.start == Start::kPending || scan.start == Start::kAnnouncing || scan.draining;
}

bool ScanSequence::ClaimReport(Scan& scan, Caller me) {
  if (!scan.ended || scan.report != Report::kNone) return false;
  scan.report = Report::kReporting;
  scan.reporter = me;
  return true;
}

void ScanSequence::Hold(Scan& scan, Advertisement advertisement, int64_t received_ms, int64_t now_ms) {
  while (!scan.held.empty() && Stale(scan.held.front().received_ms, now_ms)) {
    scan.held.pop_front();
    ++drops_;
  }
  scan.held.push_back({std::move(advertisement), received_ms});
}

bool ScanSequence::TakeHeld(Scan& scan, Caller me, int64_t now_ms, Advertisement* out) {
  if (scan.closed) scan.held.clear();
  while (!scan.held.empty()) {
    Held held = std::move(scan.held.front());
    scan.held.pop_front();
    if (Stale(held.received_ms, now_ms)) {
      ++drops_;
      continue;
    }
    scan.in_flight.push_back(me);
    *out = std::move(held.advertisement);
    return true;
  }
  return false;
}

bool ScanSequence::ElsewhereIn(const Scan& scan, Caller me) {
  return std::any_of(scan.in_flight.begin(), scan.in_flight.end(), [me](Caller caller) { return caller != me; });
}

void ScanSequence::Leave(Scan& scan, Caller me) {
  const auto found = std::find(scan.in_flight.begin(), scan.in_flight.end(), me);
  if (found != scan.in_flight.end()) scan.in_flight.erase(found);
}

void ScanSequence::Changed() {
  ++version_;
  if (waiters_ != 0) changed_.notify_all();
}

void ScanSequence::Prune() {
  while (scans_.size() > 1) {
    const Scan& oldest = scans_.front();
    if (oldest.report != Report::kReported || !oldest.in_flight.empty()) return;
    scans_.pop_front();
  }
}

}  // namespace velmora::ble
