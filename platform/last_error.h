// The per-thread "last error" number of the system layer, and the maps from POSIX error numbers to the
// system and socket error numbers of win_codes.h.
#pragma once

#include <cstdint>

namespace velmora::platform {

// GetLastError returns the calling thread's last error number (0 at thread start).
uint32_t GetLastError();
// SetLastError stores the calling thread's last error number.
void SetLastError(uint32_t code);

// Win32FromErrno maps a POSIX errno value to the nearest system error number (87 for unknown values).
uint32_t Win32FromErrno(int err);
// WsaFromErrno maps a POSIX errno value from a socket call to a socket error number (10022 when unknown).
int WsaFromErrno(int err);
// WsaFromGai maps a getaddrinfo/getnameinfo result to a socket error number (0 for 0).
int WsaFromGai(int gai_result);

}  // namespace velmora::platform
