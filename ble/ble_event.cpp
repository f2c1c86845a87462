#include "ble/ble_event.h"

namespace velmora::ble {

void BLEEvent::WaitForCallbacks(uint32_t remaining) {
  for (;;) {
    const uint32_t state = state_.load(std::memory_order_acquire);
    if ((state & ~kDetached) <= remaining) return;
    // Leave notifies after every departure while detached, so this wakes for each one.
    state_.wait(state, std::memory_order_acquire);
  }
}

}  // namespace velmora::ble
