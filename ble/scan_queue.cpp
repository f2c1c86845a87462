#include "ble/scan_queue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <utility>

namespace velmora::ble {

ScanQueue::Caller ScanQueue::ThisCaller() {
  static std::atomic<Caller> last{0};
  thread_local const Caller caller = last.fetch_add(1, std::memory_order_relaxed) + 1;
  return caller;
}

// ---- StartScanning ---------------------------------------------------------------------------------------------

ScanQueue::StartStep ScanQueue::BeginStart(Caller me, bool can_wait, uint64_t reported_run) {
  std::lock_guard lock(mutex_);
  StartStep step;
  if (!Over()) {
    step.scan = scan_.id;
    // A run that the platform reports ended is not running, though its end is not queued before its event.
    const bool ended = scan_.ended || (reported_run != 0 && scan_.run == reported_run);
    if (!scan_.closed && !ended) {
      step.action = StartStep::kScanning;
      return step;
    }
    // The sink of the last scan's StopScan may start the next scan (again, when its start from there never
    // reached the platform): that StopScan is behind it. Any other event of this client in me's sink, those
    // inside the end before its StopScan too, is ahead of that StopScan; and a sink of StartScanning's own
    // Log lines is ahead of the start it waits for.
    const bool within_stop_scan =
        holder_ == me && stop_scan_in_sink_ && (end_in_sink_ == scan_.id || scan_.abandoned);
    if (!within_stop_scan) {
      step.action = !can_wait || holder_ == me || scan_.starter == me ? StartStep::kStillStopping
                                                                       : StartStep::kWaitForEnd;
      return step;
    }
  }
  scan_ = Scan{};
  scan_.id = ++last_id_;
  scan_.starter = me;
  queue_.push_back({Kind::kStartScan, nullptr, 0});
  step.action = StartStep::kStart;
  step.scan = scan_.id;
  Changed();
  return step;
}

ScanQueue::Begin ScanQueue::Begun(uint64_t scan, uint64_t run, std::string filter) {
  std::lock_guard lock(mutex_);
  if (scan_.id != scan || Over()) return Begin::kIgnored;
  Changed();
  if (scan_.run != run) {
    if (run <= last_run_) {
      // A platform that ignored the start kept its run: nothing was started, and nothing will be told.
      Abandon();
      return Begin::kIgnored;
    }
    scan_.run = run;
    last_run_ = run;
  }
  scan_.filter = std::move(filter);
  if (!scan_.closed) return Begin::kGoOn;
  NeverStarts();
  return Begin::kClosed;
}

bool ScanQueue::Settled(uint64_t scan) {
  std::lock_guard lock(mutex_);
  return scan_.id != scan || Over() || scan_.closed || scan_.ended || Advertised();
}

ScanQueue::Decision ScanQueue::Decide(uint64_t scan, bool started, Caller me, bool end_reported) {
  std::lock_guard lock(mutex_);
  if (scan_.id != scan || scan_.start != Start::kDeciding || scan_.starter != me) return Decision::kClosed;
  Changed();
  // Advertisements that came are the platform's word that the scan started, also when it has ended since.
  if (!scan_.closed && (Advertised() || (started && !scan_.ended))) {
    // Its StartScan is this call's to fire (the starter keeps it until then): a platform thread that takes
    // the turn meanwhile leaves it where it is.
    scan_.start = Start::kAnnounced;
    return Decision::kAnnounce;
  }
  scan_.starter = 0;
  if (scan_.closed || scan_.ended) {
    NeverStarts();
    return scan_.closed ? Decision::kClosed : Decision::kNotStarted;
  }
  scan_.start = Start::kUnannounced;
  if (!end_reported) return Decision::kNotStarted;
  scan_.left_to_events = true;
  return Decision::kLeftToEvents;
}

void ScanQueue::Finish(uint64_t scan, Caller me) {
  std::lock_guard lock(mutex_);
  if (scan_.id != scan || scan_.starter != me) return;
  scan_.starter = 0;
  Changed();
  // A StartScan decided but not fired (the call ended early) goes to whoever takes the turn next.
  if (scan_.start != Start::kDeciding) return;
  if (scan_.run == 0) {
    // The platform never had the start: the scan is over, and no event tells of it.
    Abandon();
  } else if (scan_.closed || scan_.ended) {
    NeverStarts();
  } else {
    scan_.start = Start::kUnannounced;
  }
}

// ---- The platform's advertisements and ends --------------------------------------------------------------------

ScanQueue::Event ScanQueue::Arrive(uint64_t run, int64_t received_ms, Advertisement advertisement, Caller me) {
  std::lock_guard lock(mutex_);
  const bool run_unknown = scan_.run == 0;
  Scan* scan = Of(run);
  if (scan == nullptr) return {};
  if (scan->closed || scan->ended || scan->start == Start::kNever) {
    // Not for the sink, but the platform received it before the end: the scan started, whatever stopped it
    // since, and its end does not say otherwise.
    scan->received = true;
    return {};
  }
  // The first sign that a scan StartScanning gave up on has started: its StartScan goes first. An advertisement
  // too old to deliver is a sign all the same.
  const bool announced = scan_.start == Start::kUnannounced;
  if (announced) scan_.start = Start::kAnnounced;
  const int64_t now_ms = clock_();
  if (Stale(received_ms, now_ms)) {
    ++drops_;
    // The StartScan it made due, or the count that is due now, and nobody delivers: this thread tells it.
    if (holder_ != 0 || (!announced && (!CountDue(now_ms) || !Running()))) return {};
    holder_ = me;
    return Take(Role::kEvent, true);
  }
  if (holder_ == 0 && queue_.empty() && !CountDue(now_ms)) {
    holder_ = me;
    Event event;
    event.kind = Event::kAdvertisement;
    event.advertisement = std::move(advertisement);
    return event;
  }
  DropStale(now_ms);
  queue_.push_back({Kind::kAdvertisement, std::move(advertisement), received_ms});
  // A wait looks for the steps of a scan (its run, its end, the turn given back), not for the advertisements
  // queued meanwhile: one that waits for the end of the scan before, while the scan its StopScan started
  // advertises, is not woken by each advertisement. The run of a start under way is such a step.
  if (run_unknown) Changed();
  if (holder_ != 0) return {};
  holder_ = me;
  return Take(Role::kEvent, true);
}

ScanQueue::Event ScanQueue::Ended(uint64_t run, StopArgs stop, bool aborted, Caller me, Role role) {
  std::lock_guard lock(mutex_);
  Scan* scan = Of(run);
  if (scan == nullptr) return {};
  if (!scan->ended) {
    scan->ended = true;
    scan->stop = std::move(stop);
    scan->aborted = aborted;
    // A scan given up on has no StartScan once it has ended; one still deciding is decided by StartScanning.
    if (scan->start == Start::kUnannounced) NeverStarts();
    queue_.push_back({Kind::kEnd, nullptr, 0});
    Changed();
  }
  if (holder_ != 0) return {};
  holder_ = me;
  return Take(role, true);
}

// ---- The turn --------------------------------------------------------------------------------------------------

ScanQueue::Event ScanQueue::TakeTurn(Caller me, Role role) {
  std::lock_guard lock(mutex_);
  if (holder_ == me) {
    // The sink of the last scan's StopScan started the next scan: its StartScan goes from within.
    Event event;
    if (!stop_scan_in_sink_ || queue_.empty() || queue_.front().kind != Kind::kStartScan ||
        scan_.start != Start::kAnnounced) {
      return event;
    }
    queue_.pop_front();
    scan_.starter = 0;
    event.kind = Event::kStartScan;
    event.filter = scan_.filter;
    event.within = true;
    return event;
  }
  if (holder_ != 0) return {};
  holder_ = me;
  return Take(role, true);
}

ScanQueue::Event ScanQueue::Drain(Caller me) {
  {
    std::lock_guard lock(mutex_);
    drain_posted_ = false;
  }
  return TakeTurn(me, Role::kEvent);
}

ScanQueue::Event ScanQueue::Next(Caller me, Role role) {
  std::lock_guard lock(mutex_);
  if (holder_ != me) return {};
  if (end_in_sink_ != 0) EndLeft();
  return Take(role, false);
}

bool ScanQueue::GiveUp(Caller me) {
  std::lock_guard lock(mutex_);
  if (holder_ != me) return false;
  // An end that left the sink by an exception has left it all the same.
  if (end_in_sink_ != 0) EndLeft();
  return Release(!queue_.empty()).post;
}

void ScanQueue::PostFailed() {
  std::lock_guard lock(mutex_);
  drain_posted_ = false;
}

void ScanQueue::StopScanEnters(Caller me) {
  std::lock_guard lock(mutex_);
  if (holder_ == me && end_in_sink_ != 0) stop_scan_in_sink_ = true;
}

bool ScanQueue::Holding(Caller me) {
  std::lock_guard lock(mutex_);
  return holder_ == me;
}

bool ScanQueue::Beneath(Caller me) {
  std::lock_guard lock(mutex_);
  return holder_ == me || (scan_.id != 0 && scan_.starter == me);
}

// ---- StopScanning ----------------------------------------------------------------------------------------------

ScanQueue::CloseStep ScanQueue::Close() {
  std::lock_guard lock(mutex_);
  CloseStep step;
  if (Over()) return step;
  step.scan = scan_.id;
  step.run = scan_.run;
  if (scan_.closed) return step;
  scan_.closed = true;
  EraseAdvertisements();
  if (scan_.start == Start::kUnannounced) NeverStarts();
  step.stop_platform = scan_.run != 0 && !scan_.ended;
  Changed();
  return step;
}

// ---- Waiting ---------------------------------------------------------------------------------------------------

ScanQueue::Progress ScanQueue::Look(uint64_t scan) {
  std::lock_guard lock(mutex_);
  Progress progress;
  progress.over = over_ >= scan;
  if (scan_.id == scan && !scan_.ended) {
    progress.run = scan_.run;
    progress.ends_with_report = scan_.left_to_events;
  }
  progress.version = version_;
  return progress;
}

uint64_t ScanQueue::RunningRun() {
  std::lock_guard lock(mutex_);
  return Over() || scan_.ended ? 0 : scan_.run;
}

ScanQueue::Progress ScanQueue::Receiving() {
  std::lock_guard lock(mutex_);
  Progress progress;
  progress.over = Over();
  if (!progress.over && !scan_.ended && (!scan_.closed || scan_.left_to_events)) progress.run = scan_.run;
  progress.version = version_;
  return progress;
}

bool ScanQueue::UnderWay() {
  std::lock_guard lock(mutex_);
  return !Over() && !scan_.closed && !scan_.ended;
}

bool ScanQueue::WaitForChange(uint64_t version, int64_t step_ms) {
  std::unique_lock lock(mutex_);
  ++waiters_;
  const bool changed = changed_.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(step_ms, 1)),
                                         [&] { return version_ != version || woken_; });
  --waiters_;
  return changed;
}

void ScanQueue::Wake() {
  std::lock_guard lock(mutex_);
  woken_ = true;
  if (waiters_ != 0) changed_.notify_all();
}

// ---- Internals -------------------------------------------------------------------------------------------------

ScanQueue::Scan* ScanQueue::Of(uint64_t run) {
  if (Over() || run == 0) return nullptr;
  if (scan_.run == run) return &scan_;
  // Only the start under way takes a new run: an advertisement may come before StartScanning learns the run.
  if (scan_.run != 0 || scan_.start != Start::kDeciding || run <= last_run_) return nullptr;
  scan_.run = run;
  last_run_ = run;
  return &scan_;
}

bool ScanQueue::Running() const {
  return scan_.start == Start::kAnnounced && !scan_.closed && !scan_.ended &&
         (queue_.empty() || queue_.front().kind != Kind::kStartScan);
}

bool ScanQueue::Advertised() const {
  return std::any_of(queue_.begin(), queue_.end(), [](const Entry& entry) { return entry.kind == Kind::kAdvertisement; });
}

void ScanQueue::Abandon() {
  queue_.clear();
  scan_.closed = true;
  scan_.start = Start::kNever;
  // Started from within the StopScan of the scan before it: that scan is not over before its StopScan has
  // returned, nor is this one, which a wait for that scan must not take for it.
  if (end_in_sink_ != 0) {
    scan_.abandoned = true;
    abandoned_in_end_ = scan_.id;
  } else {
    over_ = scan_.id;
  }
}

void ScanQueue::EndLeft() {
  // Also when the sink started the next scan again since: the start that never reached the platform is over
  // all the same, and a call that waits for it waits no longer than for this end.
  over_ = std::max({over_, end_in_sink_, abandoned_in_end_});
  abandoned_in_end_ = 0;
  end_in_sink_ = 0;
  stop_scan_in_sink_ = false;
  Changed();
}

void ScanQueue::NeverStarts() {
  scan_.start = Start::kNever;
  std::erase_if(queue_, [](const Entry& entry) { return entry.kind != Kind::kEnd; });
}

void ScanQueue::EraseAdvertisements() {
  std::erase_if(queue_, [](const Entry& entry) { return entry.kind == Kind::kAdvertisement; });
}

void ScanQueue::DropStale(int64_t now_ms) {
  // A StartScan still to be decided keeps its place at the front; the advertisements behind it are bounded.
  const size_t first = !queue_.empty() && queue_.front().kind == Kind::kStartScan ? 1 : 0;
  while (queue_.size() > first && queue_[first].kind == Kind::kAdvertisement &&
         Stale(queue_[first].received_ms, now_ms)) {
    queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(first));
    ++drops_;
  }
}

ScanQueue::Event ScanQueue::Take(Role role, bool fresh) {
  Event event;
  // The time is read only when something waits: a turn that finds the queue empty costs no clock.
  if (queue_.empty() && drops_ == 0) return Release(false, !fresh);
  const int64_t now_ms = clock_();
  DropStale(now_ms);
  if (role == Role::kEvent && Running() && CountDue(now_ms)) {
    event.kind = Event::kDropCount;
    event.drops = std::exchange(drops_, 0);
    drops_counted_ms_ = now_ms;
    return event;
  }
  if (queue_.empty()) return Release(false, !fresh);
  Entry& front = queue_.front();
  switch (front.kind) {
    case Kind::kStartScan:
      // Not yet decided, or decided by a StartScanning that fires it itself.
      if (scan_.start != Start::kAnnounced || (scan_.starter != 0 && scan_.starter != holder_)) {
        return Release(false, !fresh);
      }
      scan_.starter = 0;
      event.kind = Event::kStartScan;
      event.filter = scan_.filter;
      break;
    case Kind::kAdvertisement:
      if (role == Role::kCall) return Release(true, !fresh);
      event.kind = Event::kAdvertisement;
      event.advertisement = std::move(front.advertisement);
      break;
    case Kind::kEnd:
      event.kind = Event::kStopScan;
      event.stop = scan_.stop;
      event.aborted = scan_.aborted;
      // Left to the scan's events only once the platform had ended it: a stop since does not take the line back,
      // nor give it to a scan whose advertisement came after that stop.
      event.failed_start = scan_.left_to_events && scan_.start == Start::kNever && !scan_.received;
      event.drops = std::exchange(drops_, 0);
      drops_counted_ms_ = now_ms;
      end_in_sink_ = scan_.id;
      break;
  }
  queue_.pop_front();
  return event;
}

ScanQueue::Event ScanQueue::Release(bool post, bool changed) {
  holder_ = 0;
  if (changed) Changed();
  Event event;
  if (post && !drain_posted_) {
    drain_posted_ = true;
    event.post = true;
  }
  return event;
}

void ScanQueue::Changed() {
  ++version_;
  if (waiters_ != 0) changed_.notify_all();
}

}  // namespace velmora::ble
