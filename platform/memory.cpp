#include "platform/memory.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

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

void* AllocAligned(std::size_t alignment, std::size_t size) {
  if (ShouldFail()) return nullptr;
  return std::aligned_alloc(alignment, size == 0 ? alignment : size);
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

void Prefault(void* block, std::size_t size) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (start + page - 1) & ~(page - 1);
  const std::uintptr_t end = (start + size) & ~(page - 1);
  // Older kernels refuse the advice; the pages are then faulted in as they are first written.
  if (block != nullptr && end > first) (void)madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
  (void)block;
  (void)size;
#endif
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
