// ScanSequence: the order of one client's scans. Every scan (one run of the platform's watcher) passes
// through its states here, under one lock: starting (StartScanning waits for the platform), started and
// announced (its StartScan has returned from the sink), closed (StopScanning: no more of its advertisements),
// ended (the platform reported or showed the end) and reported (its StopScan has returned). Alongside, each
// scan keeps the advertisements that came before its StartScan and the deliveries of it that are in the sink.
//
// StartScanning, StopScanning and the platform's advertisement and Stopped handlers ask it what to do, do it
// (fire the event, call the platform) without its lock, and tell it what they did. It calls nothing itself
// and never waits, except in WaitForChange; every decision is a plain function of the state, so that each
// interleaving of those callers can be stepped through one transition at a time.
//
// The rules it keeps, for one client:
// - A scan's StartScan comes only after the StopScan of the scan before has returned from the sink (or while
//   that StopScan is in the sink on the same thread: a sink that restarts the scan from StopScan).
// - An Advertisement comes only after its scan's StartScan has returned, never once the scan is closed or
//   ended, and never once it has waited longer than kMaxAdvertisementWaitMs since the platform received it.
//   Advertisements that come before their scan's StartScan are held here, not on the thread that brought them,
//   and delivered after it, oldest first. A scan that starts after StartScanning gave up waiting for it is
//   announced by the thread that brings its first advertisement.
// - A scan's StopScan (with the Error of an abort) comes after its StartScan has returned and its held
//   advertisements have been handed out; it is reported once, by whoever gets to it first.
// - No thread waits for another thread's StartScan: what would have to wait is held, or left to the thread
//   that announces.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/bluetooth/bluetooth.h"

namespace velmora::ble {

class ScanSequence {
 public:
  using Advertisement = std::shared_ptr<platform::bluetooth::BluetoothLEAdvertisementReceivedEventArgs>;
  using StopArgs = std::shared_ptr<platform::bluetooth::BluetoothLEAdvertisementWatcherStoppedEventArgs>;
  // Caller names the thread that asks: deliveries of the calling thread never count as "elsewhere".
  using Caller = uint64_t;
  // ThisCaller returns the calling thread's name (never 0).
  static Caller ThisCaller();

  // kMaxAdvertisementWaitMs is how long an advertisement may wait for the sink after the platform received
  // it; one that waited longer is dropped and counted (TakeDrops).
  static constexpr int64_t kMaxAdvertisementWaitMs = 1000;

  // ---- StartScanning

  struct StartStep {
    enum Action {
      kStart,          // start the platform's scan; Begun and Finish follow
      kScanning,       // a scan runs or is starting already: return 0
      kStillStopping,  // the last scan stops and this thread cannot wait: 614
      kWaitForStop,    // wait until the platform has ended run, then ask again
      kWait,           // wait for another thread (WaitForChange from version), then ask again
      kReportStop,     // report the end of run (stop, see ReportStop), tell StopReported, then ask again
    };
    Action action = kStart;
    uint64_t run = 0;
    StopArgs stop;  // kReportStop: the platform's report (null: a plain stop)
    uint64_t version = 0;
  };
  // BeginStart tells StartScanning what must happen before it may start a scan. can_wait is false on a
  // platform event thread.
  StartStep BeginStart(Caller me, bool can_wait);
  // Begun records the scan that the platform's Start took as run, with the filter text its StartScan
  // carries: kGoOn, or kClosed when StopScanning closed the start meanwhile (the caller stops the
  // platform's scan), or kIgnored when the platform took no new run.
  enum class Begin { kGoOn, kClosed, kIgnored };
  Begin Begun(uint64_t run, std::string filter, Caller me);
  // Settled is true once StartScanning's wait for the platform can end: the scan was closed or has ended,
  // or advertisements of it have come (so it has started).
  bool Settled(uint64_t run);

  struct Decision {
    enum Action {
      kAnnounce,    // fire StartScan, then Announced and the held advertisements (NextHeld)
      kNotStarted,  // "Scanning failed to start."; it may start later
      kClosed,      // stopped meanwhile: nothing to say
    };
    Action action = kClosed;
    bool report_stop = false;  // then report the end (stop), which is this caller's to report
    StopArgs stop;
  };
  // Decide ends StartScanning's wait for run: started tells whether the platform reports it started.
  Decision Decide(uint64_t run, bool started, Caller me);
  // Finish ends StartScanning's turn, however it ends: a start that never reached the platform (run 0) gives
  // its turn back, and a scan still waiting for Decide (an exception left it) may still start late.
  void Finish(uint64_t run, Caller me);

  // ---- After a StartScan (on time, or late by an advertisement's thread)

  // Announced records that run's StartScan has returned to me: true when advertisements held for it wait to
  // be handed out (NextHeld, by whichever thread asks first).
  [[nodiscard]] bool Announced(uint64_t run, Caller me);
  struct Next {
    enum Action { kDeliver, kReportStop, kDone };
    Action action = kDone;
    Advertisement advertisement;  // kDeliver: deliver it, then Delivered
    StopArgs stop;                // kReportStop
  };
  // NextHeld hands me the advertisements held for run, oldest first (me drains them until they are out,
  // unless another thread does), then the report of the end when it is owed by then, then kDone.
  Next NextHeld(uint64_t run, Caller me, int64_t now_ms);
  // EndDrain gives up the drain of run (an exception left it); harmless after kDone.
  void EndDrain(uint64_t run, Caller me);

  // Ending calls end(run, me) of the sequence when it goes out of scope, however the code before ends: the
  // end of a delivery (Delivered) or of a drain (EndDrain).
  class Ending {
   public:
    Ending(ScanSequence& scans, void (ScanSequence::*end)(uint64_t, Caller), uint64_t run, Caller me)
        : scans_(scans), end_(end), run_(run), me_(me) {}
    ~Ending() { (scans_.*end_)(run_, me_); }
    Ending(const Ending&) = delete;
    Ending& operator=(const Ending&) = delete;

   private:
    ScanSequence& scans_;
    void (ScanSequence::*const end_)(uint64_t, Caller);
    const uint64_t run_;
    const Caller me_;
  };

  // ---- The platform's advertisements and ends

  struct Arrival {
    enum Action {
      kDrop,      // nothing to do
      kHeld,      // kept until the scan's StartScan has returned
      kDeliver,   // deliver advertisement (the oldest waiting, not always the one that came), then Delivered
      kAnnounce,  // the scan started late: fire StartScan with filter, then Announced and NextHeld
    };
    Action action = kDrop;
    Advertisement advertisement;
    std::string filter;
  };
  // Arrive tells what to do with an advertisement of run that the platform received at received_ms.
  Arrival Arrive(uint64_t run, int64_t received_ms, int64_t now_ms, Advertisement advertisement, Caller me);
  // Delivered ends a delivery of run that Arrive or NextHeld handed to me.
  void Delivered(uint64_t run, Caller me);

  // Ended records the platform's report that run ended (the Stopped handler): true when me reports it now;
  // false when it was reported already or is owed to the thread that announces the scan.
  [[nodiscard]] bool Ended(uint64_t run, StopArgs stop, Caller me);
  // NoteEnded records that run has ended, as the platform shows it (a report still on its way, or none).
  void NoteEnded(uint64_t run, StopArgs stop);
  // StopScanFiring tells that me, reporting run's end, now fires its StopScan; StopReported that it returned.
  void StopScanFiring(uint64_t run, Caller me);
  void StopReported(uint64_t run, Caller me);

  // ---- StopScanning

  struct CloseStep {
    uint64_t run = 0;            // the scan closed (0: none, or a start still on its way to the platform)
    bool stop_platform = false;  // the platform's scan must be stopped
  };
  // Close closes the latest scan: none of its advertisements reaches the sink from now on.
  CloseStep Close();
  // DeliveriesElsewhere is true while events of run (its advertisements, a late StartScan) are in the sink on
  // a thread other than me.
  bool DeliveriesElsewhere(uint64_t run, Caller me);

  // ---- Waiting and counting

  // Version counts the transitions so far.
  uint64_t Version();
  // WaitForChange returns true once a transition after version happened, false once give_up() is true first
  // (asked every few milliseconds).
  bool WaitForChange(uint64_t version, const std::function<bool()>& give_up);
  // TakeDrops returns the number of advertisements dropped for their wait since the last count it returned
  // and starts a new count, at most once a second unless forced; 0 otherwise.
  uint64_t TakeDrops(int64_t now_ms, bool force);

 private:
  enum class Start { kPending, kUnannounced, kAnnouncing, kAnnounced, kNever };
  enum class Report { kNone, kReporting, kFiring, kReported };
  struct Held {
    Advertisement advertisement;
    int64_t received_ms;
  };
  struct Scan {
    uint64_t run = 0;
    std::string filter;
    Start start = Start::kPending;
    Caller announcer = 0;  // the thread deciding (kPending) or announcing (kAnnouncing)
    bool closed = false;
    bool ended = false;
    StopArgs stop;
    Report report = Report::kNone;
    Caller reporter = 0;
    std::deque<Held> held;
    bool draining = false;  // the held advertisements are being handed out, after the StartScan
    Caller drainer = 0;     // by this thread (0: by the first to ask)
    std::vector<Caller> in_flight;  // one entry per event of the scan in the sink
  };

  Scan* Find(uint64_t run);
  Scan* Latest() { return scans_.empty() ? nullptr : &scans_.back(); }
  // Adopt returns the scan of run, made for the start under way when it is newer than any known; null when
  // run belongs to no scan of this client.
  Scan* Adopt(uint64_t run);
  // MarkEnded records the platform's end of scan once (stop null: a plain stop).
  static void MarkEnded(Scan& scan, StopArgs stop);
  // OwedToAnnouncer is true while scan's end is to be reported by the thread deciding on, announcing or
  // draining the scan, after its StartScan and what was held for it.
  static bool OwedToAnnouncer(const Scan& scan);
  // ClaimReport claims the report of scan's end for me when it has ended and nobody reports it yet.
  bool ClaimReport(Scan& scan, Caller me);
  bool Stale(int64_t received_ms, int64_t now_ms) const { return now_ms - received_ms > kMaxAdvertisementWaitMs; }
  // Hold keeps one advertisement for scan, dropping those at the front that waited too long.
  void Hold(Scan& scan, Advertisement advertisement, int64_t received_ms, int64_t now_ms);
  // TakeHeld takes the oldest held advertisement that did not wait too long into me's hands; false when none.
  bool TakeHeld(Scan& scan, Caller me, int64_t now_ms, Advertisement* out);
  static bool ElsewhereIn(const Scan& scan, Caller me);
  static void Leave(Scan& scan, Caller me);
  // Changed counts a transition and wakes the waiters; Prune drops the finished scans before the latest.
  void Changed();
  void Prune();

  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t version_ = 0;
  int waiters_ = 0;  // threads in WaitForChange
  std::deque<Scan> scans_;  // oldest first
  // A StartScanning between kStart and Begun: the scan it starts has no run number yet.
  bool start_pending_ = false;
  Caller starter_ = 0;
  bool close_pending_start_ = false;
  uint64_t drops_ = 0;
  int64_t drops_counted_ms_ = 0;
};

}  // namespace velmora::ble
