// Helpers shared by the simulated-radio tests: waiting for operations and events without sleeping.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/sim_radio.h"

namespace velmora::platform::bluetooth::sim::testing {

constexpr auto kGenerousWait = std::chrono::seconds(10);

// Completion records how an operation's completion handler ran. It is shared with the handler, so a
// handler that runs after a failed test still has somewhere to write.
template <class T>
struct Completion {
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;
  std::shared_ptr<T> result;
  int32_t failure = 0;
  std::thread::id thread;
  bool on_completion_thread = false;

  bool Wait() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kGenerousWait, [this] { return done; });
  }
  bool Done() {
    std::lock_guard lock(mutex);
    return done;
  }
};

// Attach gives the operation a handler that fetches the result (or its failure) into a Completion.
template <class T>
std::shared_ptr<Completion<T>> Attach(const AsyncOp<T>& operation, SimRadio* radio = nullptr) {
  auto completion = std::make_shared<Completion<T>>();
  operation->SetCompleted([completion, radio](AsyncOperation<T>& op, AsyncStatus) {
    std::shared_ptr<T> result;
    int32_t failure = 0;
    try {
      result = op.GetResults();
    } catch (const PlatformError& error) {
      failure = error.HResult();
    }
    std::lock_guard lock(completion->mutex);
    completion->result = std::move(result);
    completion->failure = failure;
    completion->thread = std::this_thread::get_id();
    completion->on_completion_thread = radio != nullptr && radio->OnCompletionThread();
    completion->done = true;
    completion->changed.notify_all();
  });
  return completion;
}

// Await waits for the operation and returns its result; a failure or a time-out fails the test.
template <class T>
std::shared_ptr<T> Await(const AsyncOp<T>& operation) {
  auto completion = Attach(operation);
  EXPECT_TRUE(completion->Wait()) << "operation did not finish";
  EXPECT_EQ(completion->failure, 0);
  return completion->result;
}

// Recorder collects values from event handlers on simulator threads.
template <class V>
struct Recorder {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<V> values;

  void Add(V value) {
    std::lock_guard lock(mutex);
    values.push_back(std::move(value));
    changed.notify_all();
  }
  bool WaitFor(size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kGenerousWait, [&] { return values.size() >= count; });
  }
  std::vector<V> Snapshot() {
    std::lock_guard lock(mutex);
    return values;
  }
};

// Latch holds a simulator thread inside a handler until the test opens it.
struct Latch {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool open = false;

  void EnterAndWait() {
    std::unique_lock lock(mutex);
    entered = true;
    changed.notify_all();
    changed.wait_for(lock, kGenerousWait, [this] { return open; });
  }
  bool WaitEntered() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kGenerousWait, [this] { return entered; });
  }
  void Open() {
    std::lock_guard lock(mutex);
    open = true;
    changed.notify_all();
  }
};

inline Guid Short(uint32_t id) { return BluetoothBaseUuid(id); }

}  // namespace velmora::platform::bluetooth::sim::testing
