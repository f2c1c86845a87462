// ScanQueue: one client's scan events, in one queue, entered into the sink one at a time.
//
// A scan begins when StartScanning decides to start it and is over once its StopScan has returned from the
// sink. Its events wait here in the order the sink gets them: its StartScan, its Advertisements (with the
// count of those dropped for their wait, at most once a second) and its end (Error for an aborted scan, the
// last count, StopScan). The next scan begins only once that end has left the queue (or, from the StopScan
// sink, while it is in the sink), so one scan's events never mix with the next's.
//
// One thread at a time holds the turn and delivers from the front. A thread that adds an event while
// another holds the turn leaves at once: no thread waits here for another. A platform event that takes the
// turn delivers until the queue is empty or its front waits for StartScanning to decide; a method's call
// (StartScanning, StopScanning) delivers only StartScan and the end, what it fires or is owed, and hands
// advertisements to a platform thread (Event::post, then Drain there).
//
// StartScanning, StopScanning and the platform's handlers ask it what to do, do it (fire the event, call the
// platform) without its lock, and tell it what they did. It calls nothing itself and never waits, except
// in WaitForChange; every decision is a plain function of the state, so that each interleaving of those
// callers can be stepped through one transition at a time. A decision to call the platform names the run it
// was made for (CloseStep::run, Progress::run), and the platform call stops that run or nothing: a run that a
// sink started meanwhile is not the one decided on.
//
// The events the library fires inside each scan step, and what a call of this client from their sinks gets
// on the sink's own thread. "Wait": on the application's thread the call waits as it would anywhere (nothing
// it waits for is beneath it: it stops the platform's run itself); on a platform thread it does not wait
// (StartScanning 614, StopScanning and Connect return 0).
//
//   step (thread)                 events fired inside it                       StartScanning    StopScanning,
//                                                                                               Connect's stop
//   StartScanning before the      Log "Passive scanning is not available...",  0; 614 once      return at once
//   platform has the start (its   "Scanning is starting.", "Scanning           stopped          (0): the start
//   caller's; me is the starter)  parameters..."                                                is closed
//   StartScanning after the       Log "Scanning failed to start."              0; wait once     wait
//   platform's answer (caller's)                                               stopped
//   StartScan (turn holder's)     Log "Scanning started.", StartScan           0; 614 once      return at once
//                                                                              stopped          (0)
//   Advertisement, drop count     Advertisement, Log "Dropped <n> ..."         0; 614 once      return at once
//   (a platform thread's)                                                      stopped          (0)
//   StopScanning before the       Log "Scanning is stopping."                  wait             wait
//   platform's stop (caller's)
//   end (turn holder's)           Log "Scanning failed to start." (an end      614              return at once
//                                 that tells it), the platform's Log line,                      (0)
//                                 Error 603 or Log "Scanning stopped.", Log
//                                 "Dropped <n> ..."
//                                 StopScan                                     start within     return at once
//                                                                                               (0)
//
// "Start within": the next scan begins inside that StopScan and its StartScan comes from within it, the turn
// staying there. The stopped scan is over only once its StopScan has returned, whatever became of that start
// (one that never reached the platform, 613 or 600, ends nothing else). "Return at once": the call never
// waits for the method beneath it on its own thread; the StopScan it asked for follows once the sink and that
// method have returned.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/bluetooth/bluetooth.h"

namespace velmora::ble {

class ScanQueue {
 public:
  using Advertisement = std::shared_ptr<platform::bluetooth::BluetoothLEAdvertisementReceivedEventArgs>;
  using StopArgs = std::shared_ptr<platform::bluetooth::BluetoothLEAdvertisementWatcherStoppedEventArgs>;
  // Caller names the thread that asks, so that a thread holding the turn is known again in its sink's calls.
  using Caller = uint64_t;
  // ThisCaller returns the calling thread's name (never 0).
  static Caller ThisCaller();
  // Role tells what the holder of the turn delivers: a method's call only StartScan and the end, a platform
  // event everything.
  enum class Role { kCall, kEvent };

  // kMaxAdvertisementWaitMs is how long an advertisement may wait for the sink after the platform received
  // it; one that waited longer is dropped and counted.
  static constexpr int64_t kMaxAdvertisementWaitMs = 1000;
  // kDropCountIntervalMs is the least time between two counts of dropped advertisements while a scan runs.
  static constexpr int64_t kDropCountIntervalMs = 1000;
  // Clock returns the time in milliseconds on the clock of the advertisements' time stamps.
  using Clock = int64_t (*)();

  // ScanQueue reads clock when it needs the time: for each advertisement, and for what waits in the queue.
  explicit ScanQueue(Clock clock) : clock_(clock) {}
  ScanQueue(const ScanQueue&) = delete;
  ScanQueue& operator=(const ScanQueue&) = delete;

  // Event is what the holder of the turn delivers next.
  struct Event {
    enum Kind { kNone, kStartScan, kAdvertisement, kDropCount, kStopScan };
    Kind kind = kNone;
    std::string filter;            // kStartScan: the text of its service UUIDs
    Advertisement advertisement;   // kAdvertisement
    StopArgs stop;                 // kStopScan: the platform's report (null: a plain stop)
    bool aborted = false;          // kStopScan: the platform aborted the scan, so an Error comes first
    bool failed_start = false;     // kStopScan: the scan never started (kLeftToEvents, nothing of it came)
    uint64_t drops = 0;            // kDropCount, kStopScan: advertisements dropped since the last count
    bool within = false;           // kStartScan fired inside the last scan's StopScan: the turn stays there
    bool post = false;             // kNone: what is left needs a platform thread (Drain)
  };

  // ---- StartScanning

  struct StartStep {
    enum Action {
      kStart,          // a new scan begins: StartNewScan, then Begun, Decide, and Finish however it ends
      kScanning,       // a scan runs or is starting already: return 0
      kStillStopping,  // the last scan is not over and this thread cannot wait for it: 614
      kWaitForEnd,     // wait until scan is over (its StopScan has returned), then ask again
    };
    Action action = kStart;
    uint64_t scan = 0;
  };
  // BeginStart tells StartScanning what to do; can_wait is false on a platform thread. A thread inside one
  // of this client's scan events cannot wait either, nor can one inside a Log line of its own StartScanning
  // (me starts the latest scan); only the last scan's StopScan sink (StopScanEnters) may start anew.
  // reported_run is a run whose end the platform has reported while its Stopped event has not come yet (0:
  // none): its scan runs no more, but it ends only with that event, behind the advertisements the platform
  // received before the end.
  StartStep BeginStart(Caller me, bool can_wait, uint64_t reported_run = 0);
  // Begun records the platform's run of scan and the text of its filter: kGoOn; kClosed when the scan was
  // closed meanwhile (the caller stops the platform's scan); kIgnored when the platform took no new run
  // (the scan is over, with no event).
  enum class Begin { kGoOn, kClosed, kIgnored };
  Begin Begun(uint64_t scan, uint64_t run, std::string filter);
  // Settled is true once StartScanning's wait for the platform can end: the scan was closed or has ended,
  // or an advertisement of it has come (so it has started).
  bool Settled(uint64_t scan);
  // Decide ends StartScanning's wait: started tells whether the platform says the scan runs; end_reported
  // that the platform has reported the end of its run while its Stopped event has not come yet. kAnnounce:
  // its StartScan is me's to fire (TakeTurn), no platform thread takes it; kNotStarted: none yet, the first
  // advertisement brings it, or the scan ended first and has only its end; kLeftToEvents: the platform
  // ended the scan before it was seen started, and the events it received before the end tell whether it
  // started: an advertisement among them brings its StartScan, and without one its end tells that it failed
  // to start (Event::failed_start); kClosed: stopped meanwhile, it has only its end.
  enum class Decision { kAnnounce, kNotStarted, kLeftToEvents, kClosed };
  Decision Decide(uint64_t scan, bool started, Caller me, bool end_reported = false);
  // Finish ends me's start of scan however it ends: a start that never reached the platform is over, with no
  // event; one that reached it and was not decided (an exception) may still start late.
  void Finish(uint64_t scan, Caller me);

  // ---- The platform's advertisements and ends

  // Arrive takes an advertisement of run that the platform received at received_ms (on the clock), on a
  // platform thread.
  // It returns the first event of me's turn when me takes it, else kNone.
  Event Arrive(uint64_t run, int64_t received_ms, Advertisement advertisement, Caller me);
  // Ended records that run ended (the platform's report, or what the platform shows; stop null: a plain
  // stop) and queues its end; it returns the first event of me's turn when me takes it.
  Event Ended(uint64_t run, StopArgs stop, bool aborted, Caller me, Role role);

  // ---- The turn

  // TakeTurn gives me the turn when nobody holds it and returns its first event. Inside the last scan's
  // StopScan, its holder gets only the next scan's StartScan (within).
  Event TakeTurn(Caller me, Role role);
  // Drain is TakeTurn for the platform thread that a post handed what was left to.
  Event Drain(Caller me);
  // Next tells that the event me delivered has returned from the sink and returns the next one; kNone when
  // the turn has ended.
  Event Next(Caller me, Role role);
  // GiveUp ends me's turn early (an exception, or Destroy): true when a platform thread must take the rest.
  [[nodiscard]] bool GiveUp(Caller me);
  // PostFailed tells that the post that Event::post asked for did not happen.
  void PostFailed();
  // StopScanEnters tells that the end me delivers has come to its StopScan: until it returns, me's sink may
  // start the next scan from within. The events before it (the platform's Log line, Error, "Scanning
  // stopped.", the last drop count) are inside the end but ahead of its StopScan.
  void StopScanEnters(Caller me);
  // Holding tells whether me holds the turn: its sink runs one of this client's scan events.
  bool Holding(Caller me);
  // Beneath tells whether a call of me runs inside one of this client's scan steps on me's own thread, which
  // goes on only once the call has returned: me holds the turn, or me is starting the latest scan (a Log sink
  // of StartScanning before the platform has the start).
  bool Beneath(Caller me);

  // ---- StopScanning

  struct CloseStep {
    uint64_t scan = 0;           // the scan closed (0: none to close)
    uint64_t run = 0;            // its run (0: the start is still on its way to the platform)
    bool stop_platform = false;  // the platform's scan must be stopped
  };
  // Close closes the latest scan unless it is over: no advertisement of it reaches the sink from now on.
  CloseStep Close();

  // ---- Waiting

  struct Progress {
    bool over = false;  // its StopScan has returned, or it never reached the platform
    uint64_t run = 0;   // its run while it has not ended (0: none, or not known yet)
    // The platform has ended that run and its end comes with the platform's Stopped event, behind the
    // advertisements that tell whether the scan started (Decision::kLeftToEvents): the platform's status
    // does not end it.
    bool ends_with_report = false;
    uint64_t version = 0;
  };
  // Look tells how far scan is.
  Progress Look(uint64_t scan);
  // RunningRun is the run of the latest scan that has not ended (0: none).
  uint64_t RunningRun();
  // Receiving tells how far the latest scan is while its advertisements may still reach the sink, or still
  // tell whether it started: run is its run while it has not ended and has not been closed, or was closed
  // with its end left to its events (0: none, or not known yet).
  Progress Receiving();
  // UnderWay tells whether the latest scan is starting or runs and has not been stopped: the platform scans
  // in the mode it was given as the scan began.
  bool UnderWay();
  // WaitForChange returns true once a transition after version happened, false when step_ms passed first.
  // A turn that a caller takes and gives back with nothing delivered is no transition: a waiter that looks
  // for its scan's end itself is not woken by its own look.
  bool WaitForChange(uint64_t version, int64_t step_ms);
  // Wake wakes every WaitForChange at once (Destroy), without a transition, and every later one too: a waiter
  // that looked at Destroy just before it began does not sleep out its step.
  void Wake();

 private:
  enum class Start { kDeciding, kUnannounced, kAnnounced, kNever };
  struct Scan {
    uint64_t id = 0;   // 0: no scan yet
    uint64_t run = 0;  // 0 until the platform took the start
    std::string filter;
    Start start = Start::kDeciding;
    Caller starter = 0;  // the StartScanning deciding (kDeciding), then firing the StartScan it announced
    bool closed = false;
    bool ended = false;
    // Abandoned (never reached the platform) while the end of the scan before it was in the sink: over once
    // that end has left the sink.
    bool abandoned = false;
    // StartScanning left whether it started to its events (Decision::kLeftToEvents).
    bool left_to_events = false;
    // An advertisement of it came that the sink does not get (it was closed or had ended): it started.
    bool received = false;
    StopArgs stop;
    bool aborted = false;
  };
  enum class Kind { kStartScan, kAdvertisement, kEnd };
  struct Entry {
    Kind kind;
    Advertisement advertisement;
    int64_t received_ms = 0;
  };

  bool Over() const { return scan_.id == 0 || over_ >= scan_.id; }
  // Of returns the scan of run, taking run for the start under way when it is newer than any; null when
  // run belongs to no scan in progress.
  Scan* Of(uint64_t run);
  bool Stale(int64_t received_ms, int64_t now_ms) const { return now_ms - received_ms > kMaxAdvertisementWaitMs; }
  bool CountDue(int64_t now_ms) const { return drops_ != 0 && now_ms - drops_counted_ms_ >= kDropCountIntervalMs; }
  // Running is true while the scan's StartScan has gone and its end has not come.
  bool Running() const;
  // Advertised is true while an advertisement of the scan waits in the queue.
  bool Advertised() const;
  // Abandon ends a scan that the platform never took: it is over, and no event tells of it.
  void Abandon();
  // NeverStarts leaves the scan without a StartScan: its own and its advertisements leave the queue.
  void NeverStarts();
  void EraseAdvertisements();
  // DropStale drops the advertisements at the front that waited too long by now_ms.
  void DropStale(int64_t now_ms);
  // Take hands the holder of the turn the front event, or ends the turn; fresh: the turn was taken just now,
  // so that ending it with nothing delivered changes nothing another thread waits for.
  Event Take(Role role, bool fresh);
  Event Release(bool post, bool changed = true);
  // EndLeft tells that the end in the sink has left it: its scan is over, and so is every start from within
  // it that never reached the platform (also one the sink has started again since).
  void EndLeft();
  // Changed counts a transition and wakes the waiters.
  void Changed();

  const Clock clock_;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t version_ = 0;
  bool woken_ = false;  // Wake was called
  int waiters_ = 0;  // threads in WaitForChange
  Scan scan_;         // the latest scan
  uint64_t last_id_ = 0;
  uint64_t last_run_ = 0;  // the newest run any scan of this client took
  uint64_t over_ = 0;      // the newest scan that is over
  std::deque<Entry> queue_;
  Caller holder_ = 0;          // the thread holding the turn (0: none)
  uint64_t end_in_sink_ = 0;   // the scan whose end the holder delivers
  bool stop_scan_in_sink_ = false;  // and that end's StopScan is in the sink (StopScanEnters)
  uint64_t abandoned_in_end_ = 0;   // the newest start from within that end that never reached the platform
  bool drain_posted_ = false;  // a platform thread is on its way to take the rest
  uint64_t drops_ = 0;
  int64_t drops_counted_ms_ = 0;
};

}  // namespace velmora::ble
