#include "core/lifetime_hooks.h"

#include <mutex>

namespace velmora::core {

namespace {

struct Hooks {
  struct Pair {
    void (*on_init)();
    void (*on_destroy)();
  };
  std::mutex mutex;
  Pair pairs[8] = {};
  int count = 0;
  bool started = false;
};

Hooks& Registry() {
  static Hooks hooks;
  return hooks;
}

}  // namespace

void AddLifetimeHooks(void (*on_init)(), void (*on_destroy)()) {
  Hooks& hooks = Registry();
  bool run_now = false;
  {
    std::lock_guard<std::mutex> lock(hooks.mutex);
    for (int i = 0; i < hooks.count; ++i) {
      if (hooks.pairs[i].on_init == on_init && hooks.pairs[i].on_destroy == on_destroy) return;
    }
    if (hooks.count == static_cast<int>(sizeof(hooks.pairs) / sizeof(hooks.pairs[0]))) return;
    hooks.pairs[hooks.count++] = {on_init, on_destroy};
    run_now = hooks.started && on_init != nullptr;
  }
  if (run_now) on_init();
}

void RunStartHooks() {
  Hooks& hooks = Registry();
  std::unique_lock<std::mutex> lock(hooks.mutex);
  hooks.started = true;
  const int count = hooks.count;
  lock.unlock();
  // A hook may register another pair; it runs at once, so only the pairs present now run here.
  for (int i = 0; i < count; ++i) {
    if (hooks.pairs[i].on_init != nullptr) hooks.pairs[i].on_init();
  }
}

void RunStopHooks() {
  Hooks& hooks = Registry();
  std::unique_lock<std::mutex> lock(hooks.mutex);
  hooks.started = false;
  const int count = hooks.count;
  lock.unlock();
  for (int i = count - 1; i >= 0; --i) {
    if (hooks.pairs[i].on_destroy != nullptr) hooks.pairs[i].on_destroy();
  }
}

}  // namespace velmora::core
