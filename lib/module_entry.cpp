// The library's load and unload: the counted start-up runs when the library is loaded and its tear-down
// when it is unloaded, so a host never has to call StaticInit or StaticDestroy (and may, without harm). The
// load's share is the library's own: the exported StaticDestroy undoes only the host's StaticInit calls.
#include "component/socket_base.h"

namespace {

// NOTE: a static object rather than load/unload hooks. The start-up creates process-wide tables on first use
// inside this constructor, so they are registered for destruction before this object and destroyed after
// its destructor ran, at unload and at process exit alike; an unload hook would run after them at exit.
struct LibraryLifetime {
  LibraryLifetime() {
    try {
      velmora::component::SocketBase::StaticInit();
    } catch (...) {
      // Nothing to report at load: components find the socket layer missing and say so themselves.
    }
  }
  ~LibraryLifetime() {
    try {
      velmora::component::SocketBase::StaticDestroy();
    } catch (...) {
      // Nothing to report at unload.
    }
  }
  LibraryLifetime(const LibraryLifetime&) = delete;
  LibraryLifetime& operator=(const LibraryLifetime&) = delete;
};

LibraryLifetime g_library_lifetime;

}  // namespace
