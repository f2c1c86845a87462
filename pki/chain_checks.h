// Certificate-level checks of a chain: the validity window against the current UTC time.
#pragma once

namespace velmora::pki {

// CheckValidityWindow compares the current UTC time, written as "yyyyMMddHHmmss", as text with
// not_before and not_after (the same form): -1 before the window, 1 after it, 0 inside (both bounds
// count as inside). "Now" is the platform clock, or the instant a test has fixed.
int CheckValidityWindow(const char* not_before, const char* not_after);

}  // namespace velmora::pki
