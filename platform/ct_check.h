// DeclarePublic tells the constant-time check (the signing code run under valgrind memcheck with its
// secrets marked undefined) that bytes computed from secrets are public from here on, such as a public
// key derived from its private key. Outside valgrind, and in builds without its header, it does nothing.
#pragma once

#include <cstddef>

#if defined(VELMORABLE_HAVE_VALGRIND)
#include <valgrind/memcheck.h>
#endif

namespace velmora::platform {

inline void DeclarePublic([[maybe_unused]] const void* block, [[maybe_unused]] std::size_t size) {
#if defined(VELMORABLE_HAVE_VALGRIND)
  VALGRIND_MAKE_MEM_DEFINED(block, size);
#endif
}

}  // namespace velmora::platform
