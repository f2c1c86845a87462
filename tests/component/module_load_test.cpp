#include <gtest/gtest.h>

// The test loads the library the way a host does.
#include <dlfcn.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

TEST(LibraryLoad, LoadingAndUnloadingTwiceLeavesNothingBehind) {
  for (int round = 0; round < 2; ++round) {
    void* library = dlopen(VELMORA_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    // A second load of a loaded library only counts; the set-up does not run again.
    void* again = dlopen(VELMORA_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_EQ(again, library);
    EXPECT_EQ(dlclose(again), 0);
    EXPECT_EQ(dlclose(library), 0) << dlerror();
    // Really unloaded, so the next round runs the load-time set-up again. A unique (STB_GNU_UNIQUE)
    // symbol, such as an inline variable, would pin the library in memory.
    EXPECT_EQ(dlopen(VELMORA_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the library stayed loaded";
  }
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "the unloaded library left memory behind";
#endif
}

}  // namespace
