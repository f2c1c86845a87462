// The error texts a component records after a failed call: fixed texts for interruption and memory
// exhaustion, and "[code] description" for socket error numbers.
#include <cstdint>

#include "component/component_base.h"
#include "platform/last_error.h"

namespace velmora::component {

namespace {

constexpr int kInterrupted = 301;

struct SocketErrorName {
  int code;
  const char* text;
};

// Descriptions of the socket error numbers, searched in order.
constexpr SocketErrorName kSocketErrorNames[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Access denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Net dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc Quota Exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "WINSOCK DLL Version out of range"},
    {10093, "Winsock not loaded yet (WSANOTINITIALISED)"},
    {11001, "Host not found"},
    {11002, "Non-authoritative 'Host not found' (try again or check DNS setup)"},
    {11003, "Non-recoverable errors: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record (check DNS setup)"},
};
static_assert(sizeof kSocketErrorNames / sizeof kSocketErrorNames[0] == 50);

const char* FindSocketErrorName(int code) {
  for (const SocketErrorName& entry : kSocketErrorNames) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

}  // namespace

int ComponentBase::ReportResult(int code) {
  if (code == 0) return 0;
  if (code == kInterrupted) {
    (void)LastErrorText().SetString("Interrupted.");
  } else if (code == core::kOutOfMemory) {
    (void)LastErrorText().SetString("Out of memory.");
  } else if (LastErrorText().IsEmpty()) {
    (void)SetSocketErrorText(code);
  }
  return code;
}

int ComponentBase::ReportOutOfMemory(int code) {
  if (code == core::kOutOfMemory) (void)LastErrorText().SetString("Out of memory.");
  return code;
}

int ComponentBase::SetSocketErrorText(int code) {
  // The longest text, "[-2147483648] " and the longest description, fits the inline storage of the
  // last error text, so neither store can fail.
  (void)SocketErrorText("[", code, "] ");
  const char* name = FindSocketErrorName(code);
  (void)LastErrorText().AppendCString(name != nullptr ? name : "(no description available)");
  return name != nullptr ? 0 : 1;
}

int ComponentBase::SocketErrorText(const char* prefix, int code, const char* suffix) {
  // The code goes with its text: a caller that reports the text must not report success with it.
  SetLastErrorCode(code);
  core::Buffer& text = LastErrorText();
  int rc = text.SetString(prefix);
  if (rc == core::kOk) rc = text.AppendFormat("%d", code);
  if (rc == core::kOk) rc = text.AppendCString(suffix);
  return rc;
}

int ComponentBase::FormatLastErrorText(const char* text) {
  const uint32_t system_error = platform::GetLastError();
  core::Buffer& error_text = LastErrorText();
  int rc = error_text.SetString(text);
  if (rc == core::kOk) rc = error_text.AppendFormat(" (error 0x%x).", system_error);
  return rc;
}

int ComponentBase::SetErrorText(int code, const char* text) { return SetAltErrorText(LastErrorText(), code, text); }

int ComponentBase::SetAltErrorText(core::BufferCore& error_text, int code, const char* text) {
  (void)error_text.SetString(text);
  return code;
}

}  // namespace velmora::component
