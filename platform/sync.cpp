#include "platform/sync.h"

#include <chrono>
#include <new>
#include <system_error>
#include <utility>

namespace velmora::platform {

void ManualResetEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
  }
  changed_.notify_all();
}

void ManualResetEvent::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = false;
}

bool ManualResetEvent::IsSet() {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

bool ManualResetEvent::Wait(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (timeout_ms == kInfinite) {
    changed_.wait(lock, [this] { return set_; });
    return true;
  }
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return set_; });
}

Thread::~Thread() { Join(); }

bool Thread::Start(std::function<void()> body) {
  if (thread_.joinable()) return false;
  std::shared_ptr<ManualResetEvent> finished;
  try {
    finished = std::shared_ptr<ManualResetEvent>(new ManualResetEvent);
  } catch (const std::bad_alloc&) {
    return false;
  }
  try {
    // The thread keeps its own reference to the latch, so it may signal it after this object is gone.
    thread_ = std::thread([finished, body = std::move(body)] {
      body();
      finished->Set();
    });
  } catch (const std::system_error&) {
    return false;
  }
  finished_ = std::move(finished);
  return true;
}

bool Thread::JoinFor(uint32_t timeout_ms) {
  if (!thread_.joinable()) return true;
  if (!finished_->Wait(timeout_ms)) return false;
  thread_.join();
  finished_.reset();
  return true;
}

void Thread::Join() {
  if (!thread_.joinable()) return;
  thread_.join();
  finished_.reset();
}

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

uint32_t ProcessorCount() {
  const unsigned count = std::thread::hardware_concurrency();
  return count == 0 ? 1u : count;
}

}  // namespace velmora::platform
