// The library's load and unload: the counted start-up runs when the library is loaded and its tear-down
// when it is unloaded, so a host never has to call StaticInit or StaticDestroy (and may, without harm).
#include "velmorable.h"

namespace {

// NOTE: a static object rather than load/unload hooks. The start-up creates process-wide tables on first use
// inside this constructor, so they are registered for destruction before this object and destroyed after
// its destructor ran, at unload and at process exit alike; an unload hook would run after them at exit.
struct LibraryLifetime {
  LibraryLifetime() { (void)VelmoraBLE_BLEClient_StaticInit(this); }
  ~LibraryLifetime() { (void)VelmoraBLE_BLEClient_StaticDestroy(); }
  LibraryLifetime(const LibraryLifetime&) = delete;
  LibraryLifetime& operator=(const LibraryLifetime&) = delete;
};

LibraryLifetime g_library_lifetime;

}  // namespace
