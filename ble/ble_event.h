// BLEEvent: the one object through which platform callbacks reach a BLE engine. The engine holds it, the
// platform registrations hold it too (as a shared reference that outlives the engine), and it points back
// at the engine without owning it. Destroying a client detaches the bridge first and waits for the
// callbacks already inside, so a callback never reaches a freed engine.
#pragma once

#include <atomic>
#include <cstdint>

namespace velmora::ble {

class BLEClientEngine;

class BLEEvent {
 public:
  explicit BLEEvent(BLEClientEngine* engine) : engine_(engine) {}
  BLEEvent(const BLEEvent&) = delete;
  BLEEvent& operator=(const BLEEvent&) = delete;

  // Enter admits one callback: it returns the engine, or null once the bridge is detached (nothing may
  // then reach the engine). Every successful Enter is paired with one Leave. Any thread.
  BLEClientEngine* Enter() {
    const uint32_t before = state_.fetch_add(1, std::memory_order_acquire);
    if ((before & kDetached) != 0) {
      Leave();
      return nullptr;
    }
    return engine_;
  }
  // Leave ends a callback admitted by Enter. Any thread.
  void Leave() {
    const uint32_t after = state_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if ((after & kDetached) != 0) state_.notify_all();
  }

  // Detach refuses every later Enter. Callbacks already inside go on; WaitForCallbacks waits for them.
  void Detach() { state_.fetch_or(kDetached, std::memory_order_acq_rel); }
  bool Detached() const { return (state_.load(std::memory_order_acquire) & kDetached) != 0; }
  // WaitForCallbacks returns once no more than `remaining` admitted callbacks are still inside (the
  // caller's own callbacks, when it runs inside some). Call it after Detach, from any thread.
  void WaitForCallbacks(uint32_t remaining);
  // Inside is the number of admitted callbacks that have not left yet.
  uint32_t Inside() const { return state_.load(std::memory_order_acquire) & ~kDetached; }

 private:
  static constexpr uint32_t kDetached = 1u << 31;

  std::atomic<uint32_t> state_{0};  // the admitted callbacks, and kDetached
  BLEClientEngine* const engine_;
};

}  // namespace velmora::ble
