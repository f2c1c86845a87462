// One client's queue of scan events, stepped through one transition at a time: StartScanning and
// StopScanning on the application thread (kApp) and platform threads (kT1, kT2, kT3) ask the queue what to
// do and tell it what they did, in the interleavings that the client under threads meets. No radio, no
// threads, no sleeps; time is a number.
#include <memory>

#include <gtest/gtest.h>

#include "ble/scan_queue.h"

namespace velmora::ble::testing {
namespace {

using Step = ScanQueue::StartStep;
using Kind = ScanQueue::Event::Kind;
using Role = ScanQueue::Role;
using Decision = ScanQueue::Decision;

constexpr ScanQueue::Caller kApp = 1;
constexpr ScanQueue::Caller kT1 = 2;
constexpr ScanQueue::Caller kT2 = 3;
constexpr ScanQueue::Caller kT3 = 4;
constexpr int64_t kNow = 100000;
constexpr int64_t kLimit = ScanQueue::kMaxAdvertisementWaitMs;

// The queue's clock: each test sets the time it needs.
int64_t g_now = kNow;
int64_t TestClock() { return g_now; }

// StandIn is an advertisement: the queue hands advertisements on without looking at them, so a distinct
// object per advertisement is all a test needs to follow one.
class StandIn final : public platform::bluetooth::BluetoothLEAdvertisementReceivedEventArgs {
 public:
  uint64_t BluetoothAddress() override { return 0; }
  int16_t RawSignalStrengthInDBm() override { return 0; }
  platform::bluetooth::BluetoothLEAdvertisementType AdvertisementType() override { return {}; }
  std::shared_ptr<platform::bluetooth::BluetoothLEAdvertisement> Advertisement() override { return nullptr; }
  int64_t Timestamp() override { return 0; }
  uint64_t Run() override { return 0; }
};

ScanQueue::Advertisement Ad() { return std::make_shared<StandIn>(); }

class ScanQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { g_now = kNow; }

  // Begin runs StartScanning on the application thread up to its wait for the platform, which took run.
  uint64_t Begin(uint64_t run, const char* filter = "") {
    const Step step = queue_.BeginStart(kApp, true);
    EXPECT_EQ(step.action, Step::kStart);
    EXPECT_EQ(queue_.Begun(step.scan, run, filter), ScanQueue::Begin::kGoOn);
    return step.scan;
  }
  // Announce runs a StartScanning on the application thread whose scan started: it delivers the StartScan.
  uint64_t Announce(uint64_t run) {
    const uint64_t scan = Begin(run);
    EXPECT_EQ(queue_.Decide(scan, true, kApp), Decision::kAnnounce);
    EXPECT_EQ(queue_.TakeTurn(kApp, Role::kCall).kind, Kind::kStartScan);
    EXPECT_EQ(queue_.Next(kApp, Role::kCall).kind, Kind::kNone);
    return scan;
  }

  ScanQueue queue_{&TestClock};
};

// The platform aborts a scan; its end is in the sink on kT1 when the application starts again: the next
// StartScan waits until that StopScan has returned, except from that StopScan's own sink.
TEST_F(ScanQueueTest, TheNextScanBeginsOnceTheLastStopScanHasReturned) {
  const uint64_t first = Announce(1);
  const ScanQueue::Event end = queue_.Ended(1, nullptr, true, kT1, Role::kEvent);
  ASSERT_EQ(end.kind, Kind::kStopScan);
  EXPECT_TRUE(end.aborted);
  EXPECT_EQ(queue_.BeginStart(kApp, true).action, Step::kWaitForEnd);
  EXPECT_EQ(queue_.BeginStart(kT2, false).action, Step::kStillStopping);
  EXPECT_FALSE(queue_.Look(first).over);
  // The events of the end before its StopScan (its Error) cannot start the next scan; its StopScan can.
  EXPECT_EQ(queue_.BeginStart(kT1, false).action, Step::kStillStopping);
  queue_.StopScanEnters(kT1);
  // The StopScan sink starts the next scan: its StartScan goes from within, and its advertisement after.
  const Step restart = queue_.BeginStart(kT1, false);
  ASSERT_EQ(restart.action, Step::kStart);
  ASSERT_EQ(queue_.Begun(restart.scan, 2, "180D"), ScanQueue::Begin::kGoOn);
  ASSERT_EQ(queue_.Decide(restart.scan, true, kT1), Decision::kAnnounce);
  EXPECT_EQ(queue_.Arrive(2, kNow, Ad(), kT2).kind, Kind::kNone);  // kT2 leaves at once
  const ScanQueue::Event start = queue_.TakeTurn(kT1, Role::kCall);
  ASSERT_EQ(start.kind, Kind::kStartScan);
  EXPECT_TRUE(start.within);
  EXPECT_EQ(start.filter, "180D");
  EXPECT_EQ(queue_.Next(kT1, Role::kEvent).kind, Kind::kAdvertisement);  // the StopScan has returned
  EXPECT_TRUE(queue_.Look(first).over);
  EXPECT_EQ(queue_.BeginStart(kApp, true).action, Step::kScanning);
}

// An advertisement in the sink on kT1 (waiting for a name lookup) while the platform aborts the scan on kT2:
// the end waits behind it, and the next scan behind the end.
TEST_F(ScanQueueTest, TheEndFollowsTheAdvertisementInTheSink) {
  const uint64_t scan = Announce(1);
  ASSERT_EQ(queue_.Arrive(1, kNow, Ad(), kT1).kind, Kind::kAdvertisement);
  EXPECT_EQ(queue_.Ended(1, nullptr, true, kT2, Role::kEvent).kind, Kind::kNone);
  EXPECT_EQ(queue_.Arrive(1, kNow, Ad(), kT3).kind, Kind::kNone);  // ended: dropped
  EXPECT_EQ(queue_.BeginStart(kT2, false).action, Step::kStillStopping);
  EXPECT_EQ(queue_.Next(kT1, Role::kEvent).kind, Kind::kStopScan);
  EXPECT_EQ(queue_.Next(kT1, Role::kEvent).kind, Kind::kNone);
  EXPECT_TRUE(queue_.Look(scan).over);
}

// A sink's StartScanning on kT1 is on its way to the platform when the application stops: StopScanning
// closes it and waits for it; the platform's start is stopped and the scan has only its end.
TEST_F(ScanQueueTest, StopScanningClosesAStartOnItsWay) {
  const Step step = queue_.BeginStart(kT1, false);
  ASSERT_EQ(step.action, Step::kStart);
  const ScanQueue::CloseStep close = queue_.Close();
  EXPECT_EQ(close.scan, step.scan);
  EXPECT_EQ(close.run, 0u);
  EXPECT_FALSE(close.stop_platform);  // the starter stops it once the platform has taken it
  EXPECT_EQ(queue_.BeginStart(kApp, true).action, Step::kWaitForEnd);
  EXPECT_EQ(queue_.Begun(step.scan, 1, ""), ScanQueue::Begin::kClosed);
  EXPECT_EQ(queue_.Look(step.scan).run, 1u);
  EXPECT_EQ(queue_.Arrive(1, kNow, Ad(), kT2).kind, Kind::kNone);
  queue_.Finish(step.scan, kT1);
  EXPECT_EQ(queue_.Ended(1, nullptr, false, kT2, Role::kEvent).kind, Kind::kStopScan);
  EXPECT_EQ(queue_.Next(kT2, Role::kEvent).kind, Kind::kNone);
  EXPECT_TRUE(queue_.Look(step.scan).over);
  EXPECT_EQ(queue_.BeginStart(kApp, true).action, Step::kStart);
}

// A start that never reaches the platform (no adapter) is over at once, with no event; a StopScanning that
// waited for it is done.
TEST_F(ScanQueueTest, AStartThatNeverReachedThePlatformIsOverWithoutEvents) {
  const Step step = queue_.BeginStart(kT1, false);
  EXPECT_EQ(queue_.Close().scan, step.scan);
  queue_.Finish(step.scan, kT1);
  EXPECT_TRUE(queue_.Look(step.scan).over);
  EXPECT_EQ(queue_.TakeTurn(kApp, Role::kCall).kind, Kind::kNone);
  EXPECT_EQ(queue_.Close().scan, 0u);
  EXPECT_EQ(queue_.BeginStart(kApp, true).action, Step::kStart);
}

// Advertisements that come while StartScanning waits for the platform wait in the queue, behind the
// StartScan; the application's thread delivers the StartScan and hands them to a platform thread, and one
// that comes meanwhile takes the turn and delivers the oldest first.
TEST_F(ScanQueueTest, WhatComesBeforeStartScanFollowsItOnAPlatformThread) {
  const uint64_t scan = Begin(1);
  const ScanQueue::Advertisement first = Ad();
  const ScanQueue::Advertisement second = Ad();
  EXPECT_FALSE(queue_.Settled(scan));
  EXPECT_EQ(queue_.Arrive(1, kNow, first, kT1).kind, Kind::kNone);
  EXPECT_TRUE(queue_.Settled(scan));
  // Held advertisements say the scan started, even when the platform's status has not caught up.
  ASSERT_EQ(queue_.Decide(scan, false, kApp), Decision::kAnnounce);
  ASSERT_EQ(queue_.TakeTurn(kApp, Role::kCall).kind, Kind::kStartScan);
  EXPECT_EQ(queue_.Arrive(1, kNow, second, kT1).kind, Kind::kNone);  // the StartScan is in the sink
  const ScanQueue::Event handed = queue_.Next(kApp, Role::kCall);
  EXPECT_EQ(handed.kind, Kind::kNone);
  EXPECT_TRUE(handed.post);
  const ScanQueue::Event oldest = queue_.Arrive(1, kNow, Ad(), kT2);
  ASSERT_EQ(oldest.kind, Kind::kAdvertisement);
  EXPECT_EQ(oldest.advertisement, first);
  EXPECT_EQ(queue_.Drain(kT1).kind, Kind::kNone);  // the posted drain finds kT2 at it
  EXPECT_EQ(queue_.Next(kT2, Role::kEvent).advertisement, second);
  EXPECT_EQ(queue_.Next(kT2, Role::kEvent).kind, Kind::kAdvertisement);
  EXPECT_EQ(queue_.Next(kT2, Role::kEvent).kind, Kind::kNone);
}

// A scan that starts after StartScanning gave up is announced by the thread of its first advertisement,
// before it; one that ends before that has only its end.
TEST_F(ScanQueueTest, ALateStartIsAnnouncedBeforeItsFirstAdvertisement) {
  uint64_t scan = Begin(1, "180D");
  ASSERT_EQ(queue_.Decide(scan, false, kApp), Decision::kNotStarted);
  EXPECT_EQ(queue_.TakeTurn(kApp, Role::kCall).kind, Kind::kNone);
  EXPECT_EQ(queue_.BeginStart(kApp, true).action, Step::kScanning);
  const ScanQueue::Advertisement first = Ad();
  const ScanQueue::Event start = queue_.Arrive(1, kNow, first, kT1);
  ASSERT_EQ(start.kind, Kind::kStartScan);
  EXPECT_EQ(start.filter, "180D");
  EXPECT_EQ(queue_.Next(kT1, Role::kEvent).advertisement, first);
  EXPECT_EQ(queue_.Next(kT1, Role::kEvent).kind, Kind::kNone);
  ASSERT_EQ(queue_.Close().run, 1u);
  EXPECT_EQ(queue_.Ended(1, nullptr, false, kT1, Role::kEvent).kind, Kind::kStopScan);
  EXPECT_EQ(queue_.Next(kT1, Role::kEvent).kind, Kind::kNone);

  scan = Begin(2);
  ASSERT_EQ(queue_.Decide(scan, false, kApp), Decision::kNotStarted);
  EXPECT_EQ(queue_.Ended(2, nullptr, false, kT2, Role::kEvent).kind, Kind::kStopScan);
  EXPECT_EQ(queue_.Next(kT2, Role::kEvent).kind, Kind::kNone);
  EXPECT_TRUE(queue_.Look(scan).over);
}

// An advertisement comes on kT1 between StartScanning's decision to announce and its turn: the StartScan is
// the call's to fire, so kT1 leaves it (a sink on the only event thread may call what needs that thread), and
// the advertisement follows it on a platform thread.
TEST_F(ScanQueueTest, AnAnnouncedStartScanIsFiredByItsStartScanning) {
  const uint64_t scan = Begin(1);
  ASSERT_EQ(queue_.Decide(scan, true, kApp), Decision::kAnnounce);
  EXPECT_EQ(queue_.Arrive(1, kNow, Ad(), kT1).kind, Kind::kNone);
  EXPECT_EQ(queue_.Drain(kT2).kind, Kind::kNone);
  ASSERT_EQ(queue_.TakeTurn(kApp, Role::kCall).kind, Kind::kStartScan);
  queue_.Finish(scan, kApp);
  const ScanQueue::Event handed = queue_.Next(kApp, Role::kCall);
  EXPECT_EQ(handed.kind, Kind::kNone);
  EXPECT_TRUE(handed.post);
  EXPECT_EQ(queue_.Drain(kT1).kind, Kind::kAdvertisement);
  EXPECT_EQ(queue_.Next(kT1, Role::kEvent).kind, Kind::kNone);
}

// The platform ends the scan while StartScanning still waits for it: the end waits for the decision, which
// gives the scan no StartScan, and StartScanning delivers the end itself.
TEST_F(ScanQueueTest, AScanThatEndsBeforeItsStartScanHasOnlyItsEnd) {
  const uint64_t scan = Begin(1);
  EXPECT_EQ(queue_.Ended(1, nullptr, false, kT1, Role::kEvent).kind, Kind::kNone);
  EXPECT_TRUE(queue_.Settled(scan));
  EXPECT_EQ(queue_.Decide(scan, false, kApp), Decision::kNotStarted);
  EXPECT_EQ(queue_.TakeTurn(kApp, Role::kCall).kind, Kind::kStopScan);
  EXPECT_EQ(queue_.Next(kApp, Role::kCall).kind, Kind::kNone);
  EXPECT_TRUE(queue_.Look(scan).over);
}

// The platform's report of a scan's end is still on its way when StopScanning sees the platform stopped:
// the application's thread delivers the end itself, once, and the late report finds nothing to do.
TEST_F(ScanQueueTest, TheEndIsDeliveredOnceByWhoeverKnowsFirst) {
  const uint64_t scan = Announce(1);
  const ScanQueue::CloseStep close = queue_.Close();
  EXPECT_TRUE(close.stop_platform);
  EXPECT_EQ(queue_.Look(scan).run, 1u);
  EXPECT_EQ(queue_.Ended(1, nullptr, false, kApp, Role::kCall).kind, Kind::kStopScan);
  EXPECT_EQ(queue_.Ended(1, nullptr, false, kT1, Role::kEvent).kind, Kind::kNone);
  EXPECT_EQ(queue_.Next(kApp, Role::kCall).kind, Kind::kNone);
  EXPECT_TRUE(queue_.Look(scan).over);
  EXPECT_EQ(queue_.Ended(1, nullptr, false, kT1, Role::kEvent).kind, Kind::kNone);
}

// A sink inside the client's own StartScan (on the application's thread) stops the scan: the stop is only
// requested, since its StopScan comes after that StartScan, and a StartScanning there cannot wait for it.
TEST_F(ScanQueueTest, InsideItsOwnScanEventAThreadCannotWaitForTheEnd) {
  const uint64_t scan = Begin(1);
  ASSERT_EQ(queue_.Decide(scan, true, kApp), Decision::kAnnounce);
  ASSERT_EQ(queue_.TakeTurn(kApp, Role::kCall).kind, Kind::kStartScan);
  EXPECT_TRUE(queue_.Holding(kApp));
  EXPECT_FALSE(queue_.Holding(kT1));
  EXPECT_TRUE(queue_.Close().stop_platform);
  EXPECT_EQ(queue_.BeginStart(kApp, true).action, Step::kStillStopping);
  EXPECT_EQ(queue_.Ended(1, nullptr, false, kT1, Role::kEvent).kind, Kind::kNone);
  EXPECT_EQ(queue_.Next(kApp, Role::kCall).kind, Kind::kStopScan);
  EXPECT_EQ(queue_.Next(kApp, Role::kCall).kind, Kind::kNone);
  EXPECT_EQ(queue_.BeginStart(kApp, true).action, Step::kStart);
}

// A turn that ends early (a sink raised) leaves nothing stuck: the end that was in the sink counts as
// returned, and what is left goes to a platform thread.
TEST_F(ScanQueueTest, ATurnGivenUpHandsTheRestOn) {
  const uint64_t scan = Announce(1);
  ASSERT_EQ(queue_.Arrive(1, kNow, Ad(), kT1).kind, Kind::kAdvertisement);
  EXPECT_EQ(queue_.Arrive(1, kNow, Ad(), kT2).kind, Kind::kNone);
  EXPECT_TRUE(queue_.GiveUp(kT1));
  EXPECT_FALSE(queue_.GiveUp(kT1));
  EXPECT_EQ(queue_.Drain(kT3).kind, Kind::kAdvertisement);
  EXPECT_EQ(queue_.Ended(1, nullptr, false, kT1, Role::kEvent).kind, Kind::kNone);
  EXPECT_EQ(queue_.Next(kT3, Role::kEvent).kind, Kind::kStopScan);
  EXPECT_FALSE(queue_.GiveUp(kT3));  // nothing left to hand on
  EXPECT_TRUE(queue_.Look(scan).over);
}

// What waits for the sink is bounded by its age: an advertisement older than the bound is dropped and
// counted, when it comes and while it waits. The count goes out at most once a second while the scan runs,
// and the rest with the end.
// Destroy's wake may land between a waiter's look at Destroy and its wait: the wait must not sleep its step.
TEST_F(ScanQueueTest, AWakeBeforeTheWaitStillEndsIt) {
  const uint64_t version = queue_.Look(0).version;
  queue_.Wake();
  EXPECT_TRUE(queue_.WaitForChange(version, 3000));
}

TEST_F(ScanQueueTest, AdvertisementsThatWaitedTooLongAreDroppedAndCounted) {
  const uint64_t scan = Begin(1);
  EXPECT_EQ(queue_.Arrive(1, kNow, Ad(), kT1).kind, Kind::kNone);
  const ScanQueue::Advertisement fresh = Ad();
  const int64_t later = kNow + kLimit + 1;
  g_now = later;
  EXPECT_EQ(queue_.Arrive(1, later, fresh, kT1).kind, Kind::kNone);
  ASSERT_EQ(queue_.Decide(scan, true, kApp), Decision::kAnnounce);
  ASSERT_EQ(queue_.TakeTurn(kApp, Role::kCall).kind, Kind::kStartScan);
  EXPECT_TRUE(queue_.Next(kApp, Role::kCall).post);
  // The first count is due at once: it goes before the advertisement that waited.
  const ScanQueue::Event count = queue_.Drain(kT1);
  ASSERT_EQ(count.kind, Kind::kDropCount);
  EXPECT_EQ(count.drops, 1u);
  EXPECT_EQ(queue_.Next(kT1, Role::kEvent).advertisement, fresh);
  EXPECT_EQ(queue_.Next(kT1, Role::kEvent).kind, Kind::kNone);
  // Not older than the bound: delivered. Older: dropped, and counted a second later at the earliest.
  EXPECT_EQ(queue_.Arrive(1, later - kLimit, Ad(), kT1).kind, Kind::kAdvertisement);
  EXPECT_EQ(queue_.Next(kT1, Role::kEvent).kind, Kind::kNone);
  g_now = later + 10;
  EXPECT_EQ(queue_.Arrive(1, kNow, Ad(), kT1).kind, Kind::kNone);
  g_now = later + 999;
  EXPECT_EQ(queue_.Arrive(1, kNow, Ad(), kT1).kind, Kind::kNone);
  g_now = later + 1000;
  const ScanQueue::Event second = queue_.Arrive(1, kNow, Ad(), kT1);
  ASSERT_EQ(second.kind, Kind::kDropCount);
  EXPECT_EQ(second.drops, 3u);
  EXPECT_EQ(queue_.Next(kT1, Role::kEvent).kind, Kind::kNone);
  // What is left goes with the end, however soon it comes.
  g_now = later + 1010;
  EXPECT_EQ(queue_.Arrive(1, kNow, Ad(), kT1).kind, Kind::kNone);
  ASSERT_EQ(queue_.Close().scan, scan);
  const ScanQueue::Event end = queue_.Ended(1, nullptr, false, kT2, Role::kEvent);
  ASSERT_EQ(end.kind, Kind::kStopScan);
  EXPECT_EQ(end.drops, 1u);
}

// An advertisement of a scan this client did not start, or of one that is over, reaches nobody.
TEST_F(ScanQueueTest, AdvertisementsOfOtherRunsAreDropped) {
  EXPECT_EQ(queue_.Arrive(1, kNow, Ad(), kT1).kind, Kind::kNone);
  EXPECT_EQ(queue_.Ended(1, nullptr, false, kT1, Role::kEvent).kind, Kind::kNone);
  Announce(3);
  EXPECT_EQ(queue_.Arrive(2, kNow, Ad(), kT1).kind, Kind::kNone);
  EXPECT_EQ(queue_.Arrive(4, kNow, Ad(), kT1).kind, Kind::kNone);
  EXPECT_EQ(queue_.Arrive(3, kNow, Ad(), kT1).kind, Kind::kAdvertisement);
}

}  // namespace
}  // namespace velmora::ble::testing
