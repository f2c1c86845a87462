// The shared library's load and unload: the socket layer's start-up runs when the library is loaded and
// its tear-down when it is unloaded. Both are counted, so a host that also calls them does not make
// them run twice.
#include "component/socket_base.h"

namespace {

// A static object rather than load/unload hooks: the process-wide tables that the start-up creates on
// first use finish construction inside this constructor, so they are destroyed after this destructor,
// both at unload and at process exit.
struct LibraryLifetime {
  LibraryLifetime() { velmora::component::SocketBase::StaticInit(); }
  ~LibraryLifetime() { velmora::component::SocketBase::StaticDestroy(); }
  LibraryLifetime(const LibraryLifetime&) = delete;
  LibraryLifetime& operator=(const LibraryLifetime&) = delete;
};

LibraryLifetime g_library_lifetime;

}  // namespace
