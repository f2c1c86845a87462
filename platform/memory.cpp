#include "platform/memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace velmora::platform {

namespace {

std::atomic<int> g_fail_countdown{-1};
std::atomic<bool> g_fail_sticky{false};
std::atomic<bool> g_observer_set{false};
std::mutex g_observer_mutex;
std::function<void(const void*, std::size_t)> g_observer;

// ShouldFail consumes one step of the failure countdown.
bool ShouldFail() {
  int left = g_fail_countdown.load(std::memory_order_relaxed);
  while (left >= 0) {
    if (left == 0) {
      if (!g_fail_sticky.load(std::memory_order_relaxed)) g_fail_countdown.store(-1);
      return true;
    }
    if (g_fail_countdown.compare_exchange_weak(left, left - 1)) return false;
  }
  return false;
}

}  // namespace

void* Alloc(std::size_t size) {
  if (ShouldFail()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* Realloc(void* block, std::size_t size) {
  if (ShouldFail()) return nullptr;
  return std::realloc(block, size == 0 ? 1 : size);
}

void Free(void* block, std::size_t size) {
  if (block == nullptr) return;
  if (g_observer_set.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(g_observer_mutex);
    if (g_observer) g_observer(block, size);
  }
  std::free(block);
}

void SecureZero(void* block, std::size_t size) {
  if (block != nullptr && size != 0) explicit_bzero(block, size);
}

namespace test {

void FailAllocAfter(int successes, bool sticky) {
  g_fail_sticky.store(sticky);
  g_fail_countdown.store(successes < 0 ? -1 : successes);
}

void SetFreeObserver(std::function<void(const void*, std::size_t)> observer) {
  std::lock_guard<std::mutex> lock(g_observer_mutex);
  g_observer = std::move(observer);
  g_observer_set.store(static_cast<bool>(g_observer), std::memory_order_release);
}

}  // namespace test

}  // namespace velmora::platform
