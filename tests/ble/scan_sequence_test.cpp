// The order of one client's scans, stepped through one transition at a time: the application thread (kApp)
// and platform threads (kT1, kT2) ask the sequence what to do and tell it what they did, in the
// interleavings that the client under threads has met. No radio, no threads, no sleeps; time is a number.
#include <memory>

#include <gtest/gtest.h>

#include "ble/scan_sequence.h"

namespace velmora::ble::testing {
namespace {

using Step = ScanSequence::StartStep;
using Arrival = ScanSequence::Arrival;
using Decision = ScanSequence::Decision;
using Next = ScanSequence::Next;

constexpr ScanSequence::Caller kApp = 1;
constexpr ScanSequence::Caller kT1 = 2;
constexpr ScanSequence::Caller kT2 = 3;
constexpr int64_t kNow = 100000;

// Ad is a stand-in advertisement: the sequence hands advertisements on without looking at them, so a
// distinct object per advertisement is all a test needs to follow one.
class StandIn final : public platform::bluetooth::BluetoothLEAdvertisementReceivedEventArgs {
 public:
  uint64_t BluetoothAddress() override { return 0; }
  int16_t RawSignalStrengthInDBm() override { return 0; }
  platform::bluetooth::BluetoothLEAdvertisementType AdvertisementType() override { return {}; }
  std::shared_ptr<platform::bluetooth::BluetoothLEAdvertisement> Advertisement() override { return nullptr; }
  int64_t Timestamp() override { return 0; }
  uint64_t Run() override { return 0; }
};

ScanSequence::Advertisement Ad() { return std::make_shared<StandIn>(); }

class ScanSequenceTest : public ::testing::Test {
 protected:
  // Begin runs StartScanning on the application thread up to its wait for the platform.
  void Begin(uint64_t run, const char* filter = "") {
    ASSERT_EQ(seq_.BeginStart(kApp, true).action, Step::kStart);
    ASSERT_EQ(seq_.Begun(run, filter, kApp), ScanSequence::Begin::kGoOn);
  }
  // Announce runs a StartScanning that finds its scan started, with no advertisement held.
  void Announce(uint64_t run) {
    Begin(run);
    ASSERT_EQ(seq_.Decide(run, true, kApp).action, Decision::kAnnounce);
    ASSERT_FALSE(seq_.Announced(run, kApp));
    ASSERT_EQ(seq_.NextHeld(run, kApp, kNow).action, Next::kDone);
  }
  // Report runs the report of run's end by caller, from its StopScan on.
  void Report(uint64_t run, ScanSequence::Caller caller) {
    seq_.StopScanFiring(run, caller);
    seq_.StopReported(run, caller);
  }

  ScanSequence seq_;
};

// The platform aborts a scan; its Error is still in the sink on kT1 when the application starts again:
// the new StartScan waits until the old StopScan has returned, not merely until the end was claimed.
TEST_F(ScanSequenceTest, TheNextStartScanWaitsForTheLastStopScanToReturn) {
  Announce(1);
  ASSERT_TRUE(seq_.Ended(1, nullptr, kT1));  // kT1 reports: Error, then StopScan
  EXPECT_EQ(seq_.BeginStart(kApp, true).action, Step::kWait);
  EXPECT_EQ(seq_.BeginStart(kT2, false).action, Step::kStillStopping);
  seq_.StopScanFiring(1, kT1);
  EXPECT_EQ(seq_.BeginStart(kApp, true).action, Step::kWait);
  // The sink of that StopScan may start the next scan itself.
  EXPECT_EQ(seq_.BeginStart(kT1, false).action, Step::kStart);
  seq_.Finish(0, kT1);
  seq_.StopReported(1, kT1);
  EXPECT_EQ(seq_.BeginStart(kApp, true).action, Step::kStart);
}

// A report of the end still on its way: StartScanning reports it itself, once, after the scan's
// advertisements that other threads deliver; the platform's report then reports nothing.
TEST_F(ScanSequenceTest, StartScanningReportsAnEndStillOnItsWayOnce) {
  Announce(1);
  ASSERT_EQ(seq_.Arrive(1, kNow, kNow, Ad(), kT1).action, Arrival::kDeliver);
  seq_.NoteEnded(1, nullptr);
  EXPECT_EQ(seq_.BeginStart(kApp, true).action, Step::kWait);
  seq_.Delivered(1, kT1);
  const Step step = seq_.BeginStart(kApp, true);
  ASSERT_EQ(step.action, Step::kReportStop);
  EXPECT_EQ(step.run, 1u);
  EXPECT_FALSE(seq_.Ended(1, nullptr, kT2));
  Report(1, kApp);
  EXPECT_EQ(seq_.BeginStart(kApp, true).action, Step::kStart);
}

// StartScanning gives up on a scan the platform has not started yet: StopScanning still stops it, and
// nothing of it reaches the sink afterwards.
TEST_F(ScanSequenceTest, AScanStillStartingIsStoppedAndClosed) {
  Begin(1);
  EXPECT_FALSE(seq_.Settled(1));
  EXPECT_EQ(seq_.Decide(1, false, kApp).action, Decision::kNotStarted);
  EXPECT_EQ(seq_.BeginStart(kApp, true).action, Step::kScanning);  // a second start starts nothing
  const ScanSequence::CloseStep close = seq_.Close();
  EXPECT_EQ(close.run, 1u);
  EXPECT_TRUE(close.stop_platform);
  EXPECT_EQ(seq_.Arrive(1, kNow, kNow, Ad(), kT1).action, Arrival::kDrop);
  EXPECT_EQ(seq_.BeginStart(kT1, false).action, Step::kStillStopping);
  EXPECT_TRUE(seq_.Ended(1, nullptr, kT1));  // its StopScan, without a StartScan
  Report(1, kT1);
  EXPECT_EQ(seq_.BeginStart(kApp, true).action, Step::kStart);
}

// A scan that starts after StartScanning gave up is announced by the thread of its first advertisement;
// what comes meanwhile on other threads is held and follows, oldest first, and so does the end.
TEST_F(ScanSequenceTest, ALateStartIsAnnouncedBeforeItsFirstAdvertisement) {
  Begin(1, "180D");
  ASSERT_EQ(seq_.Decide(1, false, kApp).action, Decision::kNotStarted);
  const ScanSequence::Advertisement first = Ad();
  const ScanSequence::Advertisement second = Ad();
  const Arrival arrival = seq_.Arrive(1, kNow, kNow, first, kT1);
  ASSERT_EQ(arrival.action, Arrival::kAnnounce);
  EXPECT_EQ(arrival.filter, "180D");
  EXPECT_EQ(seq_.Arrive(1, kNow, kNow, second, kT2).action, Arrival::kHeld);
  EXPECT_FALSE(seq_.Ended(1, nullptr, kT2));  // owed to the announcer
  EXPECT_TRUE(seq_.DeliveriesElsewhere(1, kApp));  // the StartScan in kT1's sink
  EXPECT_TRUE(seq_.Announced(1, kT1));
  Next next = seq_.NextHeld(1, kT1, kNow);
  ASSERT_EQ(next.action, Next::kDeliver);
  EXPECT_EQ(next.advertisement, first);
  seq_.Delivered(1, kT1);
  next = seq_.NextHeld(1, kT1, kNow);
  ASSERT_EQ(next.action, Next::kDeliver);
  EXPECT_EQ(next.advertisement, second);
  seq_.Delivered(1, kT1);
  EXPECT_EQ(seq_.NextHeld(1, kT1, kNow).action, Next::kReportStop);
}

// StopScanning closes scan 1 while an advertisement of it is in the sink on kT1; the StopScan sink on kT2
// starts scan 2. StopScanning waits for scan 1's delivery and never for scan 2's.
TEST_F(ScanSequenceTest, StopScanningWaitsForItsOwnScanOnly) {
  Announce(1);
  ASSERT_EQ(seq_.Arrive(1, kNow, kNow, Ad(), kT1).action, Arrival::kDeliver);
  ASSERT_EQ(seq_.Close().run, 1u);
  ASSERT_TRUE(seq_.Ended(1, nullptr, kT2));
  seq_.StopScanFiring(1, kT2);
  ASSERT_EQ(seq_.BeginStart(kT2, false).action, Step::kStart);
  ASSERT_EQ(seq_.Begun(2, "", kT2), ScanSequence::Begin::kGoOn);
  ASSERT_EQ(seq_.Decide(2, true, kT2).action, Decision::kAnnounce);
  EXPECT_FALSE(seq_.Announced(2, kT2));
  seq_.StopReported(1, kT2);
  ASSERT_EQ(seq_.Arrive(2, kNow, kNow, Ad(), kT2).action, Arrival::kDeliver);
  EXPECT_TRUE(seq_.DeliveriesElsewhere(1, kApp));
  seq_.Delivered(1, kT1);
  EXPECT_FALSE(seq_.DeliveriesElsewhere(1, kApp));
  EXPECT_TRUE(seq_.DeliveriesElsewhere(2, kApp));
}

// Advertisements that come while StartScanning waits for the platform wait for nobody: they are held, then
// follow the StartScan on platform threads; the platform's report of the end comes after them.
TEST_F(ScanSequenceTest, WhatComesBeforeStartScanIsHeldNotWaitedFor) {
  Begin(1);
  const ScanSequence::Advertisement early = Ad();
  EXPECT_EQ(seq_.Arrive(1, kNow, kNow, early, kT1).action, Arrival::kHeld);
  EXPECT_TRUE(seq_.Settled(1));
  // Held advertisements say the scan started, even when the platform's status has not caught up.
  ASSERT_EQ(seq_.Decide(1, false, kApp).action, Decision::kAnnounce);
  EXPECT_EQ(seq_.Arrive(1, kNow, kNow, Ad(), kT1).action, Arrival::kHeld);  // StartScan still in the sink
  EXPECT_TRUE(seq_.Announced(1, kApp));
  // A newcomer during the drain delivers the oldest held one, so the drain ends however many come.
  const Arrival arrival = seq_.Arrive(1, kNow, kNow, Ad(), kT2);
  ASSERT_EQ(arrival.action, Arrival::kDeliver);
  EXPECT_EQ(arrival.advertisement, early);
  EXPECT_FALSE(seq_.Ended(1, nullptr, kT1));
  // The rest goes to the platform thread that the application's thread handed the drain to.
  ASSERT_EQ(seq_.NextHeld(1, kT1, kNow).action, Next::kDeliver);
  seq_.Delivered(1, kT1);
  ASSERT_EQ(seq_.NextHeld(1, kT1, kNow).action, Next::kDeliver);
  seq_.Delivered(1, kT1);
  EXPECT_EQ(seq_.NextHeld(1, kT1, kNow).action, Next::kReportStop);
  seq_.Delivered(1, kT2);
}

// The end reported while StartScanning still waits, or a stop from a sink before the platform took the
// start: StartScanning says no StartScan and reports the end itself when it owes it.
TEST_F(ScanSequenceTest, AScanThatEndsOrIsStoppedBeforeItsStartScanHasNone) {
  Begin(1);
  EXPECT_FALSE(seq_.Ended(1, nullptr, kT1));
  EXPECT_TRUE(seq_.Settled(1));
  Decision decision = seq_.Decide(1, false, kApp);
  EXPECT_EQ(decision.action, Decision::kNotStarted);
  EXPECT_TRUE(decision.report_stop);
  Report(1, kApp);

  ASSERT_EQ(seq_.BeginStart(kApp, true).action, Step::kStart);
  EXPECT_EQ(seq_.Close().run, 0u);  // on its way: stopped once the platform has taken it
  EXPECT_EQ(seq_.Begun(2, "", kApp), ScanSequence::Begin::kClosed);
  EXPECT_EQ(seq_.Arrive(2, kNow, kNow, Ad(), kT1).action, Arrival::kDrop);
  EXPECT_TRUE(seq_.Ended(2, nullptr, kT1));
}

// What waits for the sink is bounded by its age: an advertisement older than the bound is dropped and
// counted, when it comes and while it is held.
TEST_F(ScanSequenceTest, AdvertisementsThatWaitedTooLongAreDroppedAndCounted) {
  constexpr int64_t kLimit = ScanSequence::kMaxAdvertisementWaitMs;
  Begin(1);
  EXPECT_EQ(seq_.Arrive(1, kNow, kNow, Ad(), kT1).action, Arrival::kHeld);
  const ScanSequence::Advertisement fresh = Ad();
  EXPECT_EQ(seq_.Arrive(1, kNow + kLimit + 1, kNow + kLimit + 1, fresh, kT1).action, Arrival::kHeld);
  ASSERT_EQ(seq_.Decide(1, true, kApp).action, Decision::kAnnounce);
  EXPECT_TRUE(seq_.Announced(1, kApp));
  const Next next = seq_.NextHeld(1, kApp, kNow + kLimit + 1);
  ASSERT_EQ(next.action, Next::kDeliver);
  EXPECT_EQ(next.advertisement, fresh);
  seq_.Delivered(1, kApp);
  EXPECT_EQ(seq_.NextHeld(1, kApp, kNow + kLimit + 1).action, Next::kDone);
  EXPECT_EQ(seq_.Arrive(1, kNow, kNow + kLimit, Ad(), kT1).action, Arrival::kDeliver);
  seq_.Delivered(1, kT1);
  EXPECT_EQ(seq_.Arrive(1, kNow, kNow + kLimit + 1, Ad(), kT1).action, Arrival::kDrop);
  EXPECT_EQ(seq_.TakeDrops(kNow, true), 2u);
  EXPECT_EQ(seq_.TakeDrops(kNow, true), 0u);
  EXPECT_EQ(seq_.Arrive(1, kNow, kNow + kLimit + 1, Ad(), kT1).action, Arrival::kDrop);
  EXPECT_EQ(seq_.TakeDrops(kNow + 10, false), 0u);  // at most one count a second
  EXPECT_EQ(seq_.TakeDrops(kNow + 1000, false), 1u);
}

// An advertisement of a scan this client did not start, or of one long finished, reaches nobody.
TEST_F(ScanSequenceTest, AdvertisementsOfOtherRunsAreDropped) {
  EXPECT_EQ(seq_.Arrive(1, kNow, kNow, Ad(), kT1).action, Arrival::kDrop);
  EXPECT_FALSE(seq_.Ended(1, nullptr, kT1));
  Announce(3);
  EXPECT_EQ(seq_.Arrive(2, kNow, kNow, Ad(), kT1).action, Arrival::kDrop);
  EXPECT_EQ(seq_.Arrive(4, kNow, kNow, Ad(), kT1).action, Arrival::kDrop);
}

}  // namespace
}  // namespace velmora::ble::testing
