// Locks, events and threads for the library's own use: a re-entrant critical section, a manual-reset event
// and a thread that can be joined with a time limit.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace velmora::platform {

// CriticalSection is a re-entrant lock: the thread that holds it may enter it again, and must leave it as
// often as it entered. Any thread.
class CriticalSection {
 public:
  CriticalSection() = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() { mutex_.lock(); }
  // TryEnter returns true when the lock was taken.
  bool TryEnter() { return mutex_.try_lock(); }
  void Leave() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

// CriticalSectionLock holds a CriticalSection for its own lifetime.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection& section) : section_(section) { section_.Enter(); }
  ~CriticalSectionLock() { section_.Leave(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CriticalSection& section_;
};

// ManualResetEvent stays signalled from Set until Reset; every waiter is released while it is signalled.
class ManualResetEvent {
 public:
  explicit ManualResetEvent(bool initially_set = false) : set_(initially_set) {}
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet();
  // Wait returns true when the event is (or becomes) signalled within timeout_ms milliseconds, false when
  // the time ran out. kInfinite waits without limit.
  bool Wait(uint32_t timeout_ms);

  static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_;
};

// Thread runs one function on a new thread. JoinFor waits a limited time for it to end; a thread that did
// not end is still joined by the destructor (blocking), so memory the function touches is never freed under
// a running thread.
class Thread {
 public:
  Thread() = default;
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Start returns false (and runs nothing) when a thread was already started and not yet joined, or when
  // the system could not create one.
  bool Start(std::function<void()> body);
  // JoinFor returns true when the thread has ended within timeout_ms (it is then joined), false otherwise.
  // True as well when no thread runs.
  bool JoinFor(uint32_t timeout_ms);
  // Join waits for the thread without limit.
  void Join();
  bool Running() const { return thread_.joinable(); }

 private:
  std::thread thread_;
  std::shared_ptr<ManualResetEvent> finished_;
};

// SleepMs suspends the calling thread for ms milliseconds.
void SleepMs(uint32_t ms);

// ProcessorCount returns the number of processors the system reports, at least 1.
uint32_t ProcessorCount();

}  // namespace velmora::platform
