// Small checks shared by the client tests.
#pragma once

#include <gtest/gtest.h>

// EXPECT_FAILS_WITH checks that a call gives `code` and leaves `text` as the fixture's LastError().
#define EXPECT_FAILS_WITH(call, code, text) \
  do {                                      \
    EXPECT_EQ((call), (code));              \
    EXPECT_EQ(LastError(), (text));         \
  } while (0)
