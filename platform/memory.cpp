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

#if defined(__linux__)

void* AllocPages(std::size_t size) {
  if (ShouldFail()) return nullptr;
  static const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  if (size > SIZE_MAX / 2) return nullptr;
  const std::size_t run = (size == 0 ? 1 : size + page - 1) / page * page;
  // Mapped with a large page of slack, so that the run can start on a large-page boundary; the slack
  // on either side goes back at once.
  const std::size_t mapped = run + kLargePageBytes;
  void* memory = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(memory);
  const std::uintptr_t aligned = (start + kLargePageBytes - 1) & ~(std::uintptr_t{kLargePageBytes} - 1);
  const std::size_t head = aligned - start;
  const std::size_t tail = mapped - head - run;
  if (head != 0) munmap(memory, head);
  if (tail != 0) munmap(reinterpret_cast<void*>(aligned + run), tail);
#if defined(MADV_HUGEPAGE)
  // A hint: where the system does not take it, the run is made of ordinary pages.
  (void)madvise(reinterpret_cast<void*>(aligned), run, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(aligned);
}

void FreePages(void* block, std::size_t size) {
  if (block == nullptr) return;
  if (g_observer_set.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(g_observer_mutex);
    if (g_observer) g_observer(block, size);
  }
  munmap(block, size == 0 ? 1 : size);
}

#else

void* AllocPages(std::size_t size) { return Alloc(size); }

void FreePages(void* block, std::size_t size) { Free(block, size); }

#endif

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
