// The start-up and tear-down hooks of the libraries built on the socket layer: a library below the
// component layer (the random source) registers here, and the socket layer's StaticInit and StaticDestroy
// run the hooks at the end of the set-up and the start of the matching tear-down.
#pragma once

namespace velmora::core {

// AddLifetimeHooks registers a pair: on_init runs at the end of each start-up (at once when the start-up
// has already run), on_destroy at the start of the matching tear-down. Either may be null. The same pair
// registered again is ignored; at most eight pairs. Any thread, but not while a start-up or tear-down
// runs on another.
void AddLifetimeHooks(void (*on_init)(), void (*on_destroy)());
// RunStartHooks runs every on_init in the order of registration and marks the layer started;
// RunStopHooks runs every on_destroy in the reverse order and marks it stopped. Called by the socket
// layer under its own lock.
void RunStartHooks();
void RunStopHooks();

}  // namespace velmora::core
