#include "platform/message_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/time.h"
#include "platform/last_error.h"
#include "platform/sync.h"
#include "platform/win_codes.h"

namespace velmora::platform {
namespace {

constexpr uint32_t kTestMessage = kWmUser + 7;

struct Seen {
  WindowHandle window;
  uint32_t message;
  uintptr_t wparam;
  intptr_t lparam;
  intptr_t extra_word;
};

// Everything the recording procedure saw; only the thread that owns the windows touches it.
thread_local std::vector<Seen> t_seen;

intptr_t RecordingProc(WindowHandle window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  t_seen.push_back({window, message, wparam, lparam, GetWindowLongPtr(window, 0)});
  return 42;
}

// The class is registered once per test and removed afterwards, so tests do not depend on each other.
class MessageQueueTest : public ::testing::Test {
 protected:
  static constexpr const char* kClass = "velmora_test_window_class";
  void SetUp() override {
    t_seen.clear();
    ASSERT_TRUE(RegisterWindowClass(kClass, &RecordingProc, 16));
  }
  void TearDown() override {
    for (WindowHandle w : made_) DestroyWindow(w);
    Message drained;
    while (PeekMessage(&drained, 0, true)) {
    }
    EXPECT_TRUE(UnregisterWindowClass(kClass));
  }
  WindowHandle Make() {
    WindowHandle w = CreateMessageWindow(kClass);
    EXPECT_NE(w, 0u);
    made_.push_back(w);
    return w;
  }
  std::vector<WindowHandle> made_;
};

TEST_F(MessageQueueTest, PostFromOtherThreadReachesOnlyTheOwnerProcWithExtraWord) {
  const WindowHandle w = Make();
  EXPECT_EQ(SetWindowLongPtr(w, 0, 0x1234), 0);
  std::thread poster([w] {
    EXPECT_TRUE(PostMessage(w, kTestMessage, 5, -6));
    Message m;
    EXPECT_FALSE(PeekMessage(&m, 0, true));  // the posting thread does not see the owner's queue
  });
  poster.join();
  Message m;
  ASSERT_TRUE(PeekMessage(&m, 0, true));
  EXPECT_EQ(m.window, w);
  EXPECT_EQ(DispatchMessage(m), 42);
  ASSERT_EQ(t_seen.size(), 1u);
  EXPECT_EQ(t_seen[0].message, kTestMessage);
  EXPECT_EQ(t_seen[0].wparam, 5u);
  EXPECT_EQ(t_seen[0].lparam, -6);
  EXPECT_EQ(t_seen[0].extra_word, 0x1234);
  EXPECT_FALSE(PeekMessage(&m, 0, true));
}

TEST_F(MessageQueueTest, FilterTakesOnlyTheGivenWindowInPostingOrder) {
  const WindowHandle a = Make();
  const WindowHandle b = Make();
  ASSERT_TRUE(PostMessage(a, kTestMessage, 1, 0));
  ASSERT_TRUE(PostMessage(b, kTestMessage, 2, 0));
  ASSERT_TRUE(PostMessage(b, kTestMessage, 3, 0));
  Message m;
  ASSERT_TRUE(PeekMessage(&m, b, true));
  EXPECT_EQ(m.wparam, 2u);
  ASSERT_TRUE(PeekMessage(&m, b, false));  // a look leaves it queued
  ASSERT_TRUE(PeekMessage(&m, b, true));
  EXPECT_EQ(m.wparam, 3u);
  EXPECT_FALSE(PeekMessage(&m, b, true));
  ASSERT_TRUE(PeekMessage(&m, 0, true));
  EXPECT_EQ(m.window, a);
}

TEST_F(MessageQueueTest, QuitComesAfterPostedMessagesWithOrWithoutFilter) {
  const WindowHandle w = Make();
  ASSERT_TRUE(PostMessage(w, kTestMessage, 1, 0));
  PostQuitMessage(17);
  Message m;
  ASSERT_TRUE(PeekMessage(&m, w, true));
  EXPECT_EQ(m.message, kTestMessage);
  ASSERT_TRUE(PeekMessage(&m, w, true));  // the filter does not hide the quit request
  EXPECT_EQ(m.message, kWmQuit);
  EXPECT_EQ(m.window, 0u);
  EXPECT_EQ(m.wparam, 17u);
  EXPECT_FALSE(PeekMessage(&m, 0, true));  // taken once
  PostQuitMessage(3);
  ASSERT_TRUE(PeekMessage(&m, 0, false));
  ASSERT_TRUE(PeekMessage(&m, 0, true));  // a look does not take it
  EXPECT_EQ(m.message, kWmQuit);
  EXPECT_EQ(DispatchMessage(m), 0);
}

TEST_F(MessageQueueTest, DestroyedWindowIsGoneItsMessagesDroppedAndItsHandleNeverReused) {
  const WindowHandle w = CreateMessageWindow(kClass);
  ASSERT_TRUE(IsWindow(w));
  ASSERT_TRUE(PostMessage(w, kTestMessage, 1, 0));
  ASSERT_TRUE(DestroyWindow(w));
  EXPECT_FALSE(IsWindow(w));
  Message m;
  EXPECT_FALSE(PeekMessage(&m, 0, true));
  EXPECT_FALSE(PostMessage(w, kTestMessage, 1, 0));
  EXPECT_EQ(GetLastError(), kErrorInvalidWindowHandle);
  EXPECT_FALSE(DestroyWindow(w));
  EXPECT_EQ(DispatchMessage(Message{w, kTestMessage, 0, 0}), 0);
  EXPECT_TRUE(t_seen.empty());
  for (int i = 0; i < 50; ++i) EXPECT_NE(Make(), w);
}

TEST_F(MessageQueueTest, ClassRulesAndExtraWordBounds) {
  EXPECT_FALSE(RegisterWindowClass("VELMORA_TEST_WINDOW_CLASS", &RecordingProc, 8));
  EXPECT_EQ(GetLastError(), kErrorClassAlreadyExists);
  EXPECT_EQ(CreateMessageWindow("no such class"), 0u);
  EXPECT_EQ(GetLastError(), kErrorClassDoesNotExist);
  const WindowHandle w = Make();
  EXPECT_EQ(GetWindowLongPtr(w, 8), 0);  // extra bytes start zeroed
  EXPECT_EQ(SetWindowLongPtr(w, 9, 1), 0);  // would end past the 16 extra bytes
  EXPECT_EQ(GetLastError(), kErrorInvalidIndex);
  EXPECT_EQ(GetWindowLongPtr(w, -1), 0);
  EXPECT_EQ(GetLastError(), kErrorInvalidIndex);
  // A class with live windows stays registered.
  EXPECT_FALSE(UnregisterWindowClass(kClass));
  EXPECT_EQ(GetLastError(), kErrorClassHasWindows);
}

intptr_t ReentrantProc(WindowHandle window, uint32_t message, uintptr_t, intptr_t) {
  // Procedures run outside every lock: they may post, destroy and look up windows.
  if (message == kTestMessage) {
    EXPECT_TRUE(PostMessage(window, kTestMessage + 1, 0, 0));
    const WindowHandle extra = CreateMessageWindow("velmora_test_reentrant");
    EXPECT_TRUE(DestroyWindow(extra));
    Message inner;
    if (PeekMessage(&inner, window, true)) DispatchMessage(inner);
    EXPECT_TRUE(DestroyWindow(window));
  }
  t_seen.push_back({window, message, 0, 0, 0});
  return 0;
}

TEST(MessageQueueDispatch, ProcedureMayReenterTheQueue) {
  ASSERT_TRUE(RegisterWindowClass("velmora_test_reentrant", &ReentrantProc, 8));
  t_seen.clear();
  const WindowHandle w = CreateMessageWindow("velmora_test_reentrant");
  ASSERT_TRUE(PostMessage(w, kTestMessage, 0, 0));
  Message m;
  ASSERT_TRUE(PeekMessage(&m, 0, true));
  DispatchMessage(m);
  ASSERT_EQ(t_seen.size(), 2u);
  EXPECT_EQ(t_seen[0].message, kTestMessage + 1u);
  EXPECT_FALSE(IsWindow(w));
  EXPECT_TRUE(UnregisterWindowClass("velmora_test_reentrant"));
}

TEST_F(MessageQueueTest, OtherThreadsMayDestroyAndTheirEndDestroysTheirWindows) {
  const WindowHandle w = Make();
  ASSERT_TRUE(PostMessage(w, kTestMessage, 0, 0));
  std::thread([w] { EXPECT_TRUE(DestroyWindow(w)); }).join();
  EXPECT_FALSE(IsWindow(w));
  Message m;
  EXPECT_FALSE(PeekMessage(&m, 0, true));
  WindowHandle ended = 0;
  std::thread([&ended] { ended = CreateMessageWindow(kClass); }).join();
  ASSERT_NE(ended, 0u);
  EXPECT_FALSE(IsWindow(ended));
  EXPECT_FALSE(PostMessage(ended, kTestMessage, 0, 0));
}

// Timing margins are generous: the machine may be loaded and the code instrumented.
TEST_F(MessageQueueTest, WaitSleepsUnlessInputCameSinceTheLastPeek) {
  const WindowHandle w = Make();
  uint64_t start = MonotonicMs();
  EXPECT_EQ(MsgWait(50), kWaitTimeout);
  EXPECT_GE(MonotonicMs() - start, 45u);
  EXPECT_EQ(MsgWait(0), kWaitTimeout);
  ASSERT_TRUE(PostMessage(w, kTestMessage, 0, 0));
  start = MonotonicMs();
  EXPECT_EQ(MsgWait(5000), kWaitObject0);
  EXPECT_LT(MonotonicMs() - start, 2000u);
  // Once peeked at (even without taking it) the message is no longer new: the wait sleeps.
  Message m;
  ASSERT_TRUE(PeekMessage(&m, 0, false));
  EXPECT_EQ(MsgWait(30), kWaitTimeout);
  PostQuitMessage(0);
  EXPECT_EQ(MsgWait(5000), kWaitObject0);
}

// A look at one window's messages passes over another window's new one: the next wait still ends for it (a
// wake that a waiting thread's step would otherwise sleep through), and only that one wait.
TEST_F(MessageQueueTest, AWaitAfterALookAtAnotherWindowStillEndsForANewMessage) {
  const WindowHandle looked_at = Make();
  const WindowHandle other = Make();
  ASSERT_TRUE(PostMessage(other, kTestMessage, 1, 0));
  Message m;
  EXPECT_FALSE(PeekMessage(&m, looked_at, true));
  const uint64_t start = MonotonicMs();
  EXPECT_EQ(MsgWait(5000), kWaitObject0);
  EXPECT_LT(MonotonicMs() - start, 2000u);
  EXPECT_FALSE(PeekMessage(&m, looked_at, true));
  EXPECT_EQ(MsgWait(30), kWaitTimeout);
}

TEST_F(MessageQueueTest, WaitWakesWhenAnotherThreadPosts) {
  const WindowHandle w = Make();
  Message m;
  PeekMessage(&m, 0, true);
  ManualResetEvent waiting;
  std::thread poster([&] {
    waiting.Wait(ManualResetEvent::kInfinite);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PostMessage(w, kTestMessage, 9, 0);
  });
  const uint64_t start = MonotonicMs();
  waiting.Set();
  EXPECT_EQ(MsgWait(20000), kWaitObject0);
  EXPECT_LT(MonotonicMs() - start, 10000u);
  poster.join();
  ASSERT_TRUE(PeekMessage(&m, 0, true));
  EXPECT_EQ(m.wparam, 9u);
}

TEST_F(MessageQueueTest, ManyPostersLoseNothing) {
  const WindowHandle w = Make();
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([w] {
      for (int i = 0; i < kEach; ++i) PostMessage(w, kTestMessage, static_cast<uintptr_t>(i), 0);
    });
  }
  const uint64_t give_up = MonotonicMs() + 20000;
  while (t_seen.size() < kThreads * kEach && MonotonicMs() < give_up) {
    Message m;
    if (PeekMessage(&m, 0, true)) {
      DispatchMessage(m);
    } else {
      MsgWait(100);
    }
  }
  for (auto& p : posters) p.join();
  EXPECT_EQ(t_seen.size(), static_cast<size_t>(kThreads * kEach));
}

}  // namespace
}  // namespace velmora::platform
