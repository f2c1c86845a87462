// Window messages for the library's own notification windows: a message queue per thread, a table of
// window classes and message-only windows, posting from any thread, peeking and dispatching on the owning
// thread, and a wait that wakes when a message arrives. Sockets registered with SelectSocketNotifications
// turn their readiness into messages for a window, polled while the owning thread peeks or waits.
//
// Rules of this implementation:
// - A window belongs to the thread that created it; only that thread's PeekMessage returns its messages.
// - Window handles are never reused, so IsWindow cannot be fooled by a handle of a destroyed window.
// - DispatchMessage calls the class procedure with no lock held, so procedures may post, create, destroy
//   or dispatch again.
// - WM_QUIT is a flag of the queue, not a posted message: PeekMessage returns it, whatever window filter is
//   given, once no posted message that matches the filter is left.
// - DestroyWindow may be called from any thread; messages still queued for the window are dropped.
// - When a thread ends, its windows are destroyed and its queue is closed.
#pragma once

#include <cstdint>

namespace velmora::platform {

// WindowHandle names a window; 0 is "no window".
using WindowHandle = uint64_t;
// WindowProc handles one message of a window and returns the message's result.
using WindowProc = intptr_t (*)(WindowHandle window, uint32_t message, uintptr_t wparam, intptr_t lparam);

struct Message {
  WindowHandle window = 0;  // 0 for WM_QUIT
  uint32_t message = 0;
  uintptr_t wparam = 0;  // the exit code for WM_QUIT
  intptr_t lparam = 0;
  uint64_t serial = 0;  // the queue's count of posts when it was posted
};

constexpr uint32_t kErrorClassHasWindows = 1412;
constexpr uint32_t kErrorInvalidIndex = 1413;
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;
constexpr uint32_t kInfiniteWait = 0xFFFFFFFFu;

// RegisterWindowClass registers a class whose windows carry window_extra_bytes zeroed bytes (0..1024) and
// whose messages go to proc. Class names compare without regard to ASCII case. Returns true, or false with
// last error 1410 when the name is taken, 87 for a null name or proc or a bad size, 8 when out of memory.
bool RegisterWindowClass(const char* class_name, WindowProc proc, int window_extra_bytes);
// UnregisterWindowClass removes a class. Returns true, or false with last error 1411 when there is no such
// class and 1412 while windows of the class still exist (the class then stays registered).
bool UnregisterWindowClass(const char* class_name);

// CreateMessageWindow creates a message-only window of the class, owned by the calling thread. Returns its
// handle, or 0 with last error 1411 (no such class) or 8 (out of memory).
WindowHandle CreateMessageWindow(const char* class_name);
// DestroyWindow destroys a window of any thread. Returns true, or false with last error 1400 when the handle
// names no live window.
bool DestroyWindow(WindowHandle window);
// IsWindow is true while the handle names a live window (of any thread).
bool IsWindow(WindowHandle window);
// IsWindowOfThisThread is true while the handle names a live window that the calling thread created. A
// thread that was given the id of an ended one (thread ids are reused) owns none of its windows.
bool IsWindowOfThisThread(WindowHandle window);
// SetWindowLongPtr stores a pointer-sized value at a byte offset of the window's extra bytes and returns the
// previous value; GetWindowLongPtr reads it. Both return 0 with last error 1400 (bad window) or 1413 (offset
// outside the extra bytes); a successful call sets last error 0, so that a stored 0 can be told apart.
intptr_t SetWindowLongPtr(WindowHandle window, int offset, intptr_t value);
intptr_t GetWindowLongPtr(WindowHandle window, int offset);

// PostMessage queues a message for the window's owning thread and wakes that thread's MsgWait. Any thread.
// Returns true, or false with last error 1400 (no such window, or its thread has ended) or 8.
bool PostMessage(WindowHandle window, uint32_t message, uintptr_t wparam, intptr_t lparam);
// PostQuitMessage sets the calling thread's quit flag with the exit code; the next PeekMessage that finds
// no matching posted message returns WM_QUIT.
void PostQuitMessage(int exit_code);
// PeekMessage takes (when remove is set) or looks at the first posted message of the calling thread for
// filter (0: any of the thread's windows), else WM_QUIT when the quit flag is set. Returns false when there
// is none. It first polls the thread's registered sockets without waiting.
bool PeekMessage(Message* out, WindowHandle filter, bool remove);
// TranslateMessage does nothing here (there is no keyboard input); returns false.
bool TranslateMessage(const Message& message);
// DispatchMessage calls the window's class procedure on the calling thread and returns its result; 0 for
// WM_QUIT or a window that no longer exists.
intptr_t DispatchMessage(const Message& message);
// DefWindowProc is the default handling of a message: nothing, result 0.
intptr_t DefWindowProc(WindowHandle window, uint32_t message, uintptr_t wparam, intptr_t lparam);

// MsgWait returns kWaitObject0 at once when a message (or the quit flag) was posted to the calling thread
// since its last PeekMessage, otherwise sleeps until one is posted (kWaitObject0) or timeout_ms passes
// (kWaitTimeout); kInfiniteWait waits without limit. While it sleeps it also watches the thread's
// registered sockets and posts their notifications. kWaitFailed when no queue could be set up.
uint32_t MsgWait(uint32_t timeout_ms);

// SelectSocketNotifications makes the calling socket layer report events of socket (an open descriptor) to
// window as message (wparam = socket, lparam = event | error << 16), for the FD_* bits of event_mask; a
// zero mask cancels. It replaces any earlier registration of the socket. Each event is reported once and
// then again only after it is re-enabled: FD_READ and FD_ACCEPT by the next receive or accept, FD_WRITE by
// a send that would block (RearmSocketNotification); FD_CONNECT and FD_CLOSE once. Returns 0, or -1 with
// last error 10038 (bad socket), 10022 (no such window) or 10055 (out of memory).
int SelectSocketNotifications(int64_t socket, WindowHandle window, uint32_t message, uint32_t event_mask);
// RearmSocketNotification re-enables the given FD_* events of a registered socket (others are ignored).
void RearmSocketNotification(int64_t socket, uint32_t events);
// ForgetSocket drops the registration of a socket that is being closed.
void ForgetSocket(int64_t socket);

}  // namespace velmora::platform
