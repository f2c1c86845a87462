#include "component/socket_base.h"

#include <cstring>
#include <mutex>
#include <new>

#include "component/completion_port_pool.h"
#include "component/transcript.h"

#include "core/lifetime_hooks.h"
#include "core/numbers.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/modules.h"
#include "platform/os_version.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/win_codes.h"

namespace velmora::component {

namespace {

namespace plat = velmora::platform;

using InitSecurityInterfaceFn = platform::InitSecurityInterfaceAFn;

// The socket layer's process-wide state. Written by StaticInit and StaticDestroy only, under the mutex;
// components read it while no start-up or tear-down runs.
struct SocketLayer {
  std::mutex mutex;
  int init_count = 0;

  int winsock_status = plat::kWsaNotInitialised;
  uint16_t winsock_version = 0;
  bool winsock_started = false;

  plat::ModuleHandle ws2 = nullptr;  // kept for the life of the process
  plat::GetAddrInfoFn get_addr_info = nullptr;
  plat::FreeAddrInfoFn free_addr_info = nullptr;
  plat::GetNameInfoFn get_name_info = nullptr;
  plat::GetHostByAddrFn get_host_by_addr = nullptr;

  plat::ModuleHandle netapi = nullptr;  // kept for the life of the process
  DsGetDcNameFn ds_get_dc_name = nullptr;
  NetApiBufferFreeFn net_api_buffer_free = nullptr;

  plat::ModuleHandle qwave = nullptr;
  void* qos_create_handle = nullptr;
  QosCloseHandleFn qos_close_handle = nullptr;
  void* qos_add_socket_to_flow = nullptr;
  void* qos_remove_socket_from_flow = nullptr;
  void* qos_set_flow = nullptr;

  plat::ModuleHandle secur32 = nullptr;
  int os63_flag = 0;
  int tls13_flag = 0;
};

SocketLayer& Layer() {
  static SocketLayer layer;
  return layer;
}

template <typename Fn>
Fn Resolve(plat::ModuleHandle module, const char* name) {
  return reinterpret_cast<Fn>(plat::GetProc(module, name));
}

// DeliverCompletionNotification hands a notification of the completion-port waiter to the component's
// window procedure, as a window message would.
void DeliverCompletionNotification(void* target, plat::Socket socket, uint32_t message, uint32_t event) {
  (void)static_cast<SocketBase*>(target)->DefaultWindowProc(message, static_cast<uintptr_t>(socket),
                                                            static_cast<intptr_t>(event));
}

const char* TrueFalse(int value) { return value != 0 ? "True" : "False"; }

// ParseHexOrDecimal reads "0x"/"0X" hexadecimal, else decimal (no TRUE/yes forms).
int32_t ParseHexOrDecimal(const core::Buffer& value) {
  const char* text = value.Data();
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return core::ParseHexInt(text + 2);
  return core::ParseInt(text);
}

int32_t ParseTrafficType(const ConfigSettingParts& setting) {
  static constexpr const char* kNames[] = {"BestEffort", "Background", "ExcellentEffort",
                                           "AudioVideo", "Voice", "Control"};
  for (int32_t i = 0; i < static_cast<int32_t>(std::size(kNames)); ++i) {
    if (setting.Value().EqualsNoCase(kNames[i])) return i;
  }
  return ParseConfigInt(setting);
}

enum Key {
  kSelectWaitMillis,
  kAbsoluteTimeout,
  kTimeoutInMilliseconds,
  kWinsockStatus,
  kIgnoreExternalEvents,
  kIgnoreOtherWindowEvents,
  kWinsockVersion,
  kQosTrafficType,
  kQosDscpValue,
  kUseWindowsMessages,
  kUseIocp,
  kSslProvider,
  kSslCipherStrength,
  kUseDefaultCredentials,
  kReuseSslSession,
  kExtendedProtection,
  kSslSecurityFlags,
  kSslIncludeCertChain,
  kSslEnabledProtocols,
  kSslEnableRenegotiation,
  kUseIpv6,
  kUseIpv6Int,
  kUseGetAddrInfo,
  kKerberosSpn,
  kUseSystemSspi,
  kRecordToFile,
  kRecordToString,
  kUseInternalSecurityApi,
  kKeyCount,
};

constexpr const char* kKeyNames[kKeyCount] = {
    "SelectWaitMillis",     "AbsoluteTimeout",     "TimeoutInMilliseconds", "WinsockStatus",
    "IgnoreExternalEvents", "IgnoreOtherWindowEvents", "WinsockVersion",    "QOSTrafficType",
    "QOSDSCPValue",         "UseWindowsMessages",  "UseIOCP",               "SSLProvider",
    "SSLCipherStrength",    "UseDefaultCredentials", "ReuseSSLSession",     "ExtendedProtection",
    "SSLSecurityFlags",     "SSLIncludeCertChain", "SSLEnabledProtocols",   "SSLEnableRenegotiation",
    "UseIPv6",              "UseIPv6Int",          "UseGetAddrInfo",        "KerberosSPN",
    "UseSystemSSPI",        "RecordToFile",        "RecordToString",        "UseInternalSecurityAPI",
};

int FindKey(const core::Buffer& name) {
  for (int i = 0; i < kKeyCount; ++i) {
    if (plat::CompareAsciiNoCase(name.Data(), kKeyNames[i]) == 0) return i;
  }
  return -1;
}

// Both 0x1000 and 0x2000 (the newest protocol's client and server bits) ask for the internal security
// implementation, which the UseInternalSecurityAPI field records as bit value 2.
constexpr int32_t kNewestProtocolBits = 0x3000;
constexpr int32_t kInternalSecurityForProtocols = 2;

}  // namespace

// ---- Records -------------------------------------------------------------------------------------------

SocketBuffers::SocketBuffers() { (void)texts[7].SetString("NTLM"); }

SocketTlsState::SocketTlsState() {
  (void)texts[1].SetString("NTLM");
  const plat::OsVersion version = plat::GetOsVersion();
  nt61_or_later = (version.major > 6 || (version.major == 6 && version.minor > 0)) ? 1 : 0;
}

SocketTlsState::~SocketTlsState() {
  SecurityFunctionTable& table = SecurityFunctions();
  if (credentials.IsSet() && table.free_credentials_handle != nullptr) table.free_credentials_handle(&credentials);
  if (context.IsSet() && table.delete_security_context != nullptr) table.delete_security_context(&context);
  credentials = SecurityHandle{};
  context = SecurityHandle{};
}

// ---- Life cycle ----------------------------------------------------------------------------------------

SocketBase::SocketBase() = default;

SocketBase::~SocketBase() {
  const plat::WindowHandle window = NotificationWindow();
  if (window != 0) {
    // Messages that still arrive find no owner and get the default handling.
    (void)plat::SetWindowLongPtr(window, 0, 0);
    (void)plat::DestroyWindow(window);
    SetWindowSlot(0);
  }
  if (qos_flow_handle_ != 0) {
    if (Layer().qos_close_handle != nullptr) Layer().qos_close_handle(qos_flow_handle_);
    qos_flow_handle_ = 0;
  }
  FreeTlsCredentials(*this);
  if (transcript_file_ != plat::kInvalidFile) {
    (void)plat::CloseFile(transcript_file_);
    transcript_file_ = plat::kInvalidFile;
  }
  delete completion_waiter_;
  completion_waiter_ = nullptr;
  delete retired_waiter_;
  retired_waiter_ = nullptr;
}

int SocketBase::Init() {
  (void)ResetErrorAndCharset();
  select_wait_millis_.store(20, std::memory_order_relaxed);
  started_ = 1;
  use_ipv6_ = 0;
  use_get_addr_info_ = 1;
  use_ipv6_int_ = 0;
  use_internal_security_api_ = 0;
  remote_ipv6_ = plat::SockAddrIn6{};
  remote_ipv6_.family = plat::kAfInet6;
  numeric_address_[0] = '\0';
  timeout_ms_.store(0, std::memory_order_relaxed);
  operation_deadline_.store(0, std::memory_order_relaxed);
  base_timeout_ms_ = 0;
  base_deadline_ = 0;
  record_to_string_ = 0;
  absolute_timeout_ = 0;
  timeout_in_milliseconds_.store(0, std::memory_order_relaxed);

  const bool modern = GetOsMajorVersion() >= 6;
  receive_buffer_size_ = modern ? 1048576 : 65536;
  send_buffer_size_ = modern ? 262144 : 65536;
  std::memset(remote_ipv4_, 0, sizeof(remote_ipv4_));
  socket_ = plat::kInvalidSocket;

  (void)remote_host_.Clear();
  interrupt_request_.store(0, std::memory_order_relaxed);
  interrupted_ = 0;
  in_dispatch_ = 0;
  ignore_external_events_ = 0;
  ignore_other_window_events_ = 0;

  if (NotificationWindow() == 0) {
    // Without the library start-up the class does not exist: the component then has no window.
    const plat::WindowHandle window = plat::CreateMessageWindow(kSocketWindowClass);
    if (window != 0) {
      (void)plat::SetWindowLongPtr(window, 0, reinterpret_cast<intptr_t>(this));
      SetWindowSlot(window);
    }
  }

  qos_flow_handle_ = 0;
  qos_traffic_type_ = 0;
  qos_dscp_value_ = 0;
  qos_flow_id_ = 0;
  use_windows_messages_ = 1;
  completion_waiter_ = nullptr;
  read_error_ = 0;
  read_pending_ = 0;
  return SetTlsDefaults(*this);
}

// ---- Virtual operations ----------------------------------------------------------------------------------

int SocketBase::SetUseWindowsMessages(bool on) {
  if (socket_ != plat::kInvalidSocket) return SetErrorText(kUseWindowsMessagesLocked, kTextUseWindowsMessagesLocked);
  use_windows_messages_ = on ? 1 : 0;
  return 0;
}

int SocketBase::SelectEvents(plat::Socket socket, plat::WindowHandle window, uint32_t message,
                             uint32_t event_mask) {
  selected_socket_ = socket;
  selected_message_ = message;
  selected_mask_ = event_mask;
  if (use_windows_messages_) return plat::AsyncSelect(socket, window, message, event_mask);
  if (completion_waiter_ != nullptr) return completion_waiter_->RegisterSocket(socket, message, event_mask);
  if (event_mask != 0) (void)plat::SetNonBlocking(socket, true);
  return 0;
}

intptr_t SocketBase::DefaultWindowProc(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (ignore_external_events_ && !in_dispatch_) return 0;
  const plat::WindowHandle window = NotificationWindow();
  if (window == 0) return 0;
  return plat::DefWindowProc(window, message, wparam, lparam);
}

const char* SocketBase::GetLocalHost() {
  local_host_[0] = '\0';
  const bool known = remote_ipv4_[0] | remote_ipv4_[1] | remote_ipv4_[2] | remote_ipv4_[3];
  if (known) {
    if (use_ipv6_) {
      if (ReverseLookupHost(&remote_ipv6_, sizeof(remote_ipv6_), numeric_address_, sizeof(numeric_address_),
                            plat::kNiNumericHost) == 0) {
        plat::Format(local_host_, sizeof(local_host_), "%s", numeric_address_);
      }
    } else {
      plat::Format(local_host_, sizeof(local_host_), "%u.%u.%u.%u", remote_ipv4_[0], remote_ipv4_[1],
                   remote_ipv4_[2], remote_ipv4_[3]);
    }
    return local_host_;
  }
  if (plat::GetHostName(local_host_, sizeof(local_host_)) != 0) {
    local_host_[0] = '\0';
    // The socket error text carries its code too, so the failure is never reported as success.
    (void)SetSocketErrorText(plat::WsaGetLastError());
  }
  return local_host_;
}

int SocketBase::SetRemoteHost(const char* host) {
  ClearError();
  if (host == nullptr || host[0] == '\0') {
    (void)remote_host_.Clear();
    std::memset(remote_ipv4_, 0, sizeof(remote_ipv4_));
    numeric_address_[0] = '\0';
    remote_ipv6_ = plat::SockAddrIn6{};
    remote_ipv6_.family = plat::kAfInet6;
    return 0;
  }
  const int stored = remote_host_.SetString(host);
  if (stored != core::kOk) return stored;
  if (plat::WsaIsBlocking()) (void)plat::WsaCancelBlockingCall();
  if (use_ipv6_int_ == 2) use_ipv6_ = ResolveHostAddress(host, &remote_ipv6_, 0, 0) == 0 ? 1 : 0;
  if (use_ipv6_) return ResolveHostAddress(host, &remote_ipv6_, 0, 0);
  const uint32_t dotted = plat::InetAddr(host);
  if (dotted != plat::kInaddrNone) {
    std::memcpy(remote_ipv4_, &dotted, sizeof(remote_ipv4_));
    return 0;
  }
  // Names go through the reentrant resolver; every failure, including a socket layer that was never
  // started, is reported as its socket error number.
  uint8_t resolved[4];
  const int rc = ResolveHostName(host, resolved, 0, 0);
  if (rc == 0) std::memcpy(remote_ipv4_, resolved, sizeof(remote_ipv4_));
  return rc;
}

const char* SocketBase::GetRemoteHost() { return remote_host_.Data(); }

int SocketBase::WaitStep(int32_t wait_ms, plat::WindowHandle window) {
  if (interrupt_request_.load(std::memory_order_relaxed)) return Interrupt();
  // A negative wait would mean "no limit" to the system waits and hang past every deadline.
  const uint32_t wait = wait_ms < 0 ? 0 : static_cast<uint32_t>(wait_ms);
  if (use_windows_messages_) {
    plat::Message message;
    if (plat::PeekMessage(&message, ignore_other_window_events_ ? window : 0, true)) {
      if (message.message == plat::kWmQuit) {
        // The quit request belongs to the host's own loop: hand it back.
        plat::PostQuitMessage(static_cast<int>(static_cast<intptr_t>(message.wparam)));
        return 0;
      }
      in_dispatch_ = 1;
      (void)plat::TranslateMessage(message);
      (void)plat::DispatchMessage(message);
      in_dispatch_ = 0;
      if (message.message == plat::kWmClose || !plat::IsWindow(window)) return 0;
      if (RunFlag() == 0) {
        (void)SetErrorText(0, kTextInterrupted);
        return 0;
      }
    } else if (wait != 0) {
      (void)plat::MsgWait(wait);
    }
  } else if (completion_waiter_ != nullptr) {
    (void)WaitOnCompletionPort(static_cast<int32_t>(wait));
  } else {
    const uint64_t started = plat::DeadlineClockMs();
    const int selected = WaitOnSelect(static_cast<int32_t>(wait), selected_message_);
    // With nothing to wait on (no socket) or a failed poll the select returns at once; sleep the rest of
    // the step so that a waiting caller does not spin.
    if (wait != 0 && (socket_ == plat::kInvalidSocket || selected < 0)) {
      const uint64_t spent = plat::DeadlineClockMs() - started;
      if (spent < wait) plat::SleepMs(static_cast<uint32_t>(wait - spent));
    }
  }
  if (interrupt_request_.load(std::memory_order_relaxed)) return Interrupt();
  const uint64_t deadline = operation_deadline_.load(std::memory_order_relaxed);
  if (deadline != 0 && plat::DeadlineClockMs() > deadline) {
    (void)SetErrorText(0, kTextTimeout);
    return 0;
  }
  if (!use_windows_messages_) return 1;
  return plat::IsWindow(window) ? 1 : 0;
}

int SocketBase::DefaultHook15() { return 0; }

const void* SocketBase::DefaultHook16(int32_t, uint8_t*) { return nullptr; }

// ---- Select wait ---------------------------------------------------------------------------------------

void SocketBase::DeliverEvent(uint32_t message, uint32_t event, int error) {
  const uint32_t lparam = event | (static_cast<uint32_t>(error & 0xFFFF) << 16);
  (void)DefaultWindowProc(message, static_cast<uintptr_t>(socket_), static_cast<intptr_t>(lparam));
}

int SocketBase::WaitOnSelect(int32_t wait_ms, uint32_t message) {
  if (socket_ == plat::kInvalidSocket) return 0;
  if (read_pending_) {
    read_pending_ = 0;
    DeliverEvent(message, plat::kFdRead, 0);
  }
  // A connect in progress completes by becoming writable, so the write side is watched for it as well.
  const bool want_write = (selected_mask_ & (plat::kFdWrite | plat::kFdConnect)) != 0;
  plat::PollReady ready;
  int result = plat::kSocketError;
  for (int attempt = 0; attempt < 3; ++attempt) {
    result = plat::PollSocket(socket_, true, want_write, true, wait_ms < 0 ? 0 : wait_ms, &ready);
    if (result >= 0 || plat::WsaGetLastError() != plat::kWsaEintr) break;
  }
  if (result < 0) {
    const int error = plat::WsaGetLastError();
    if (error == plat::kWsaEintr) return 0;
    if (selected_mask_ & plat::kFdClose) DeliverEvent(message, plat::kFdClose, error);
    return -1;
  }
  if (result == 0) return 0;
  if (ready.except && (selected_mask_ & plat::kFdConnect)) {
    uint8_t peer[sizeof(plat::SockAddrIn6)];
    int peer_len = sizeof(peer);
    const bool connected = plat::GetPeerName(socket_, peer, &peer_len) == 0;
    selected_mask_ &= ~plat::kFdConnect;
    DeliverEvent(message, plat::kFdConnect, connected ? 0 : plat::kWsaEnotconn);
  }
  if (ready.write) {
    if (selected_mask_ & plat::kFdConnect) {
      int error = 0;
      if (plat::GetSocketError(socket_, &error) != 0) error = plat::WsaGetLastError();
      selected_mask_ &= ~plat::kFdConnect;
      DeliverEvent(message, plat::kFdConnect, error & 0xFFFF);
    }
    if (selected_mask_ & plat::kFdWrite) {
      selected_mask_ &= ~plat::kFdWrite;
      DeliverEvent(message, plat::kFdWrite, 0);
    }
  }
  if (ready.read) {
    if (selected_mask_ & plat::kFdAccept) {
      DeliverEvent(message, plat::kFdAccept, 0);
    } else {
      read_error_ = 0;
      DeliverEvent(message, plat::kFdRead, 0);
      if (read_error_ != 0 && read_error_ != plat::kWsaEwouldblock && read_error_ != plat::kWsaEintr &&
          (selected_mask_ & plat::kFdClose)) {
        DeliverEvent(message, plat::kFdClose, read_error_);
      }
    }
  }
  return 0;
}

// ---- Timeouts ------------------------------------------------------------------------------------------

int SocketBase::SetTimeoutSeconds(int32_t seconds, bool clear_deadline) {
  if (seconds > kMaxTimeoutSeconds) seconds = kMaxTimeoutSeconds;
  if (clear_deadline) operation_deadline_.store(0, std::memory_order_relaxed);
  const uint32_t value = static_cast<uint32_t>(seconds);
  timeout_ms_.store(TimeoutInMs() ? value : value * 1000u, std::memory_order_relaxed);
  return 0;
}

int SocketBase::SetBaseTimeoutSeconds(int32_t seconds, bool clear_deadline) {
  if (clear_deadline) base_deadline_ = 0;
  const uint32_t value = static_cast<uint32_t>(seconds);
  base_timeout_ms_ = TimeoutInMs() ? value : value * 1000u;
  (void)StartDeadline();
  return 0;
}

uint64_t SocketBase::StartOperationDeadline() {
  // 64-bit milliseconds: the sum cannot wrap, so a deadline is never taken for "already passed" or
  // "none" by accident.
  const uint32_t timeout = timeout_ms_.load(std::memory_order_relaxed);
  const uint64_t deadline = timeout != 0 ? plat::DeadlineClockMs() + timeout : 0;
  operation_deadline_.store(deadline, std::memory_order_relaxed);
  return deadline;
}

uint64_t SocketBase::StartDeadline() {
  base_deadline_ = base_timeout_ms_ != 0 ? plat::DeadlineClockMs() + base_timeout_ms_ : 0;
  return base_deadline_;
}

int SocketBase::UseCompletionPort(bool on) {
  if ((completion_waiter_ != nullptr) == on) return 0;
  if (on) {
    // A waiter that cannot be made or started leaves none; the wait step then uses the select wait.
    completion_waiter_ = new (std::nothrow) CompletionPortWaiter(&DeliverCompletionNotification, this);
    if (completion_waiter_ != nullptr && completion_waiter_->Start() != 0) {
      delete completion_waiter_;
      completion_waiter_ = nullptr;
    }
  } else if (port_wait_depth_ > 0) {
    // Switched off from inside a notification that the waiter is delivering: the waiter is still on the
    // stack, so it is destroyed when that wait returns.
    delete retired_waiter_;
    retired_waiter_ = completion_waiter_;
    completion_waiter_ = nullptr;
  } else {
    delete completion_waiter_;
    completion_waiter_ = nullptr;
  }
  use_windows_messages_ = on ? 0 : 1;
  return 0;
}

int SocketBase::WaitOnCompletionPort(int32_t wait_ms) {
  CompletionPortWaiter* waiter = completion_waiter_;
  if (waiter == nullptr) return 0;
  ++port_wait_depth_;
  int result = waiter->Wait(wait_ms);
  if (--port_wait_depth_ == 0 && retired_waiter_ != nullptr) {
    delete retired_waiter_;
    retired_waiter_ = nullptr;
  }
  return result;
}

int SocketBase::RecordTranscript(int direction, const void* data, int32_t length) {
  TranscriptTarget target;
  target.file = &transcript_file_;
  target.text = &transcript_text_;
  target.to_string = record_to_string_ != 0;
  target.log_file = log_file_set_ ? log_file_name_.Data() : nullptr;
  target.log_option = log_option_;
  target.id = reinterpret_cast<uintptr_t>(this);  // the component's identity in the debug log
  return component::RecordTranscript(target, direction, data, length);
}

int SocketBase::RecordTranscriptText(int direction, const char* text) {
  TranscriptTarget target;
  target.file = &transcript_file_;
  target.text = &transcript_text_;
  target.to_string = record_to_string_ != 0;
  target.log_file = log_file_set_ ? log_file_name_.Data() : nullptr;
  target.log_option = log_option_;
  target.id = reinterpret_cast<uintptr_t>(this);
  return component::RecordTranscriptText(target, direction, text);
}

int SocketBase::SetBufferSize(bool receive, uint32_t size) {
  ClearError();
  (receive ? receive_buffer_size_ : send_buffer_size_) = size;
  if (size != 0 && socket_ != plat::kInvalidSocket &&
      plat::SetSocketBufferSize(socket_, receive, static_cast<int>(size)) != 0) {
    return plat::WsaGetLastError();
  }
  return 0;
}

int SocketBase::SetReceiveBufferSize(uint32_t size) { return SetBufferSize(true, size); }

int SocketBase::SetSendBufferSize(uint32_t size) { return SetBufferSize(false, size); }

// ---- Name functions ------------------------------------------------------------------------------------

int SocketBase::ResolveHostAddress(const char* host, plat::SockAddrIn6* out, int flags, int socket_type) {
  if (host == nullptr || host[0] == '\0') {
    *out = plat::SockAddrIn6{};
    out->family = plat::kAfInet6;
    return 0;
  }
  if (Layer().get_addr_info == nullptr) return SetErrorText(kInitializationFailed, kTextInitializationFailed);
  core::Buffer name;
  uint32_t scope_id = 0;
  const char* percent = std::strchr(host, '%');
  if (percent != nullptr) {
    scope_id = static_cast<uint32_t>(core::ParseInt(percent + 1));
    if (name.SetData(static_cast<int32_t>(percent - host), host) != core::kOk) return core::kOutOfMemory;
  } else if (name.SetString(host) != core::kOk) {
    return core::kOutOfMemory;
  }
  plat::AddrInfo hints{};
  hints.flags = flags;
  hints.family = plat::kAfInet6;
  hints.socktype = socket_type;
  plat::AddrInfo* list = nullptr;
  const int rc = Layer().get_addr_info(name.Data(), nullptr, &hints, &list);
  if (rc != 0) return rc;
  if (list != nullptr && list->addr != nullptr && list->addrlen >= sizeof(plat::SockAddrIn6)) {
    std::memcpy(out, list->addr, sizeof(*out));
    if (scope_id != 0) out->scope_id = scope_id;
  }
  FreeAddrInfoIfLoaded(list);
  return rc;
}

int SocketBase::ResolveHostName(const char* host, uint8_t out[4], int flags, int socket_type) {
  if (host == nullptr || host[0] == '\0') {
    std::memset(out, 0, 4);
    return 0;
  }
  if (Layer().get_addr_info == nullptr) return SetErrorText(kInitializationFailed, kTextInitializationFailed);
  plat::AddrInfo hints{};
  hints.flags = flags;
  hints.family = plat::kAfInet;
  hints.socktype = socket_type;
  plat::AddrInfo* list = nullptr;
  const int rc = Layer().get_addr_info(host, nullptr, &hints, &list);
  if (rc != 0) return rc;
  if (list != nullptr && list->addr != nullptr && list->addrlen >= sizeof(plat::SockAddrIn)) {
    plat::SockAddrIn v4;
    std::memcpy(&v4, list->addr, sizeof(v4));
    std::memcpy(out, v4.addr, 4);
  }
  FreeAddrInfoIfLoaded(list);
  return rc;
}

int SocketBase::ReverseLookupHost(const void* addr, int addr_len, char* host, uint32_t host_cap, int flags) {
  if (Layer().get_name_info == nullptr) return SetErrorText(kInitializationFailed, kTextInitializationFailed);
  return Layer().get_name_info(addr, addr_len, host, host_cap, nullptr, 0, flags);
}

int SocketBase::LookupDomainController(const char* domain, const char* site, uint32_t flags, void** info) {
  if (Layer().ds_get_dc_name == nullptr) return SetErrorText(kInitializationFailed, kTextInitializationFailed);
  return Layer().ds_get_dc_name(nullptr, domain, nullptr, site, flags, info);
}

const char* SocketBase::GetLocalAddress() {
  dotted_quad_[0] = '\0';
  char name[101];
  if (plat::GetHostName(name, sizeof(name)) != 0) {
    (void)SetSocketErrorText(plat::WsaGetLastError());
    return dotted_quad_;
  }
  if (use_ipv6_) {
    plat::SockAddrIn6 address;
    int rc = ResolveHostAddress(name, &address, 0, 0);
    if (rc == 0) {
      rc = ReverseLookupHost(&address, sizeof(address), numeric_address_, sizeof(numeric_address_),
                             plat::kNiNumericHost);
    }
    if (rc == 0) return numeric_address_;
    if (rc > 0) (void)SetSocketErrorText(rc);
    return dotted_quad_;
  }
  uint8_t address[4];
  const int rc = ResolveHostName(name, address, 0, 0);
  if (rc != 0) {
    if (rc > 0) (void)SetSocketErrorText(rc);
    return dotted_quad_;
  }
  plat::Format(dotted_quad_, sizeof(dotted_quad_), "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
  return dotted_quad_;
}

int SocketBase::ReopenTranscriptFile() {
  (void)transcript_text_.Clear();
  if (transcript_file_ != plat::kInvalidFile) {
    (void)plat::CloseFile(transcript_file_);
    transcript_file_ = plat::kInvalidFile;
  }
  if (record_to_file_.IsEmpty()) return 0;
  transcript_file_ = plat::OpenFile(record_to_file_.Data(), plat::OpenMode::kWriteTruncate);
  return transcript_file_ == plat::kInvalidFile ? static_cast<int>(plat::GetLastError()) : 0;
}

// ---- Helpers -------------------------------------------------------------------------------------------

int SocketBase::Interrupt() {
  interrupt_request_.store(0, std::memory_order_relaxed);
  interrupted_ = 1;
  (void)SetErrorText(0, kTextInterrupted);
  return 0;
}

void SocketBase::ClearError() {
  SetLastErrorCode(0);
  (void)LastErrorText().Clear();
}

// ---- Configuration -------------------------------------------------------------------------------------

int SocketBase::Config(const ConfigSettingParts& setting, const char** reply) {
  const int key = FindKey(setting.Name());
  if (key < 0) return ComponentBase::Config(setting, reply);
  if (setting.Query()) return ConfigQuery(key, reply);
  return ConfigSet(key, setting);
}

int SocketBase::ConfigQuery(int key, const char** reply) {
  switch (key) {
    case kSelectWaitMillis: return ConfigValueToText(select_wait_millis_.load(std::memory_order_relaxed), reply);
    case kAbsoluteTimeout: return ConfigTextReply(TrueFalse(absolute_timeout_), reply);
    case kTimeoutInMilliseconds: return ConfigValueToText(TimeoutInMs() ? 1 : 0, reply);
    case kWinsockStatus: return ConfigValueToText(WinsockStatus(), reply);
    case kIgnoreExternalEvents: return ConfigTextReply(TrueFalse(ignore_external_events_), reply);
    case kIgnoreOtherWindowEvents: return ConfigTextReply(TrueFalse(ignore_other_window_events_), reply);
    case kWinsockVersion: {
      char text[16];
      plat::Format(text, sizeof(text), "%d.%d", WinsockVersion() & 0xFF, WinsockVersion() >> 8);
      return ConfigTextReply(text, reply);
    }
    case kQosTrafficType: return ConfigValueToText(qos_traffic_type_, reply);
    case kQosDscpValue: return ConfigValueToText(qos_dscp_value_, reply);
    case kUseWindowsMessages: return ConfigValueToText(use_windows_messages_, reply);
    case kUseIocp: return ConfigValueToText(completion_waiter_ != nullptr ? 1 : 0, reply);
    case kSslProvider: return ConfigTextReply(ssl_provider_.Data(), reply);
    case kSslCipherStrength: return ConfigValueToText(ssl_cipher_strength_, reply);
    case kUseDefaultCredentials: return ConfigTextReply(TrueFalse(use_default_credentials_), reply);
    case kReuseSslSession: return ConfigTextReply(TrueFalse(reuse_ssl_session_), reply);
    case kExtendedProtection: return ConfigTextReply(TrueFalse(extended_protection_), reply);
    case kSslSecurityFlags: return ConfigValueToText(ssl_security_flags_, reply);
    case kSslIncludeCertChain: return ConfigTextReply(TrueFalse(ssl_include_cert_chain_), reply);
    case kSslEnabledProtocols: return ConfigValueToText(ssl_enabled_protocols_, reply);
    case kSslEnableRenegotiation: return ConfigTextReply(TrueFalse(ssl_enable_renegotiation_), reply);
    case kUseIpv6: return ConfigTextReply(TrueFalse(use_ipv6_), reply);
    case kUseIpv6Int: return ConfigValueToText(use_ipv6_int_, reply);
    case kUseGetAddrInfo: return ConfigTextReply(TrueFalse(use_get_addr_info_), reply);
    case kKerberosSpn: return ConfigTextReply(kerberos_spn_.Data(), reply);
    case kUseSystemSspi: return ConfigTextReply(TrueFalse(use_system_sspi_), reply);
    case kRecordToFile: return ConfigTextReply(record_to_file_.Data(), reply);
    case kRecordToString: return ConfigTextReply(transcript_text_.Data(), reply);
    case kUseInternalSecurityApi: return ConfigTextReply(TrueFalse(use_internal_security_api_), reply);
    default: return -1;
  }
}

int SocketBase::ConfigSet(int key, const ConfigSettingParts& setting) {
  const core::Buffer& value = setting.Value();
  switch (key) {
    case kSelectWaitMillis: select_wait_millis_.store(ParseConfigInt(setting), std::memory_order_relaxed); return 0;
    case kAbsoluteTimeout: absolute_timeout_ = static_cast<uint8_t>(ParseConfigBool(setting)); return 0;
    case kTimeoutInMilliseconds: {
      // The Timeout keeps the number the host gave, read back in the unit it was given in.
      const uint32_t timeout = TimeoutMs();
      const int32_t given = static_cast<int32_t>(TimeoutInMs() ? timeout : timeout / 1000u);
      timeout_in_milliseconds_.store(ParseConfigBool(setting), std::memory_order_relaxed);
      return SetTimeoutSeconds(given, true);
    }
    case kWinsockStatus:
    case kWinsockVersion: return 0;
    case kIgnoreExternalEvents: ignore_external_events_ = static_cast<uint8_t>(ParseConfigBool(setting)); return 0;
    case kIgnoreOtherWindowEvents:
      ignore_other_window_events_ = static_cast<uint8_t>(ParseConfigBool(setting));
      return 0;
    case kQosTrafficType: qos_traffic_type_ = ParseTrafficType(setting); return 0;
    case kQosDscpValue: qos_dscp_value_ = ParseConfigInt(setting); return 0;
    case kUseWindowsMessages: return SetUseWindowsMessages(ParseConfigBool(setting) != 0);
    case kUseIocp: return UseCompletionPort(ParseConfigBool(setting) != 0);
    case kSslProvider: return ssl_provider_.Assign(value);
    case kSslCipherStrength: ssl_cipher_strength_ = ParseHexOrDecimal(value); return 0;
    case kUseDefaultCredentials: use_default_credentials_ = static_cast<uint8_t>(ParseConfigBool(setting)); return 0;
    case kReuseSslSession: reuse_ssl_session_ = static_cast<uint8_t>(ParseConfigBool(setting)); return 0;
    case kExtendedProtection: extended_protection_ = ParseConfigBool(setting); return 0;
    case kSslSecurityFlags: ssl_security_flags_ = ParseHexOrDecimal(value); return 0;
    case kSslIncludeCertChain: ssl_include_cert_chain_ = static_cast<uint8_t>(ParseConfigBool(setting)); return 0;
    case kSslEnabledProtocols:
      ssl_enabled_protocols_ = ParseHexOrDecimal(value);
      if ((ssl_enabled_protocols_ & kNewestProtocolBits) == kNewestProtocolBits) {
        use_internal_security_api_ |= kInternalSecurityForProtocols;
      } else {
        use_internal_security_api_ &= ~kInternalSecurityForProtocols;
      }
      return 0;
    case kSslEnableRenegotiation: ssl_enable_renegotiation_ = ParseConfigBool(setting); return 0;
    case kUseIpv6:
    case kUseIpv6Int:
      if (value.EqualsBytes("2", 1) || value.EqualsBytes("3", 1)) {
        use_ipv6_ = 0;
        use_ipv6_int_ = value.Data()[0] - '0';
      } else {
        use_ipv6_ = static_cast<uint8_t>(ParseConfigBool(setting));
        use_ipv6_int_ = use_ipv6_;
      }
      return 0;
    case kUseGetAddrInfo: use_get_addr_info_ = static_cast<uint8_t>(ParseConfigBool(setting)); return 0;
    case kKerberosSpn: return kerberos_spn_.Assign(value);
    case kUseSystemSspi: use_system_sspi_ = ParseConfigBool(setting); return 0;
    case kRecordToFile: {
      const int stored = record_to_file_.Assign(value);
      return stored != core::kOk ? stored : ReopenTranscriptFile();
    }
    case kRecordToString: record_to_string_ = value.EqualsNoCase("on") ? 1 : 0; return 0;
    case kUseInternalSecurityApi: use_internal_security_api_ = ParseConfigBool(setting); return 0;
    default: return -1;
  }
}

// ---- Process-wide start-up ------------------------------------------------------------------------------

intptr_t SocketBase::SocketWindowProc(plat::WindowHandle window, uint32_t message, uintptr_t wparam,
                                      intptr_t lparam) {
  auto* owner = reinterpret_cast<SocketBase*>(plat::GetWindowLongPtr(window, 0));
  if (owner != nullptr && owner->NotificationWindow() == window) {
    return owner->DefaultWindowProc(message, wparam, lparam);
  }
  return plat::DefWindowProc(window, message, wparam, lparam);
}

void SocketBase::StaticInit() {
  SocketLayer& layer = Layer();
  std::lock_guard<std::mutex> lock(layer.mutex);
  // A second start-up (the host's, besides the library load) only counts: repeating the set-up would
  // start the socket layer twice and load the modules again.
  if (layer.init_count++ > 0) return;
  (void)plat::RegisterWindowClass(kSocketWindowClass, &SocketBase::SocketWindowProc, kSocketWindowExtraBytes);
  if (layer.ws2 == nullptr) {
    layer.ws2 = plat::LoadModule("ws2_32.dll");
    if (layer.ws2 != nullptr) {
      layer.get_addr_info = Resolve<plat::GetAddrInfoFn>(layer.ws2, "getaddrinfo");
      layer.free_addr_info = Resolve<plat::FreeAddrInfoFn>(layer.ws2, "freeaddrinfo");
      layer.get_name_info = Resolve<plat::GetNameInfoFn>(layer.ws2, "getnameinfo");
      layer.get_host_by_addr = Resolve<plat::GetHostByAddrFn>(layer.ws2, "gethostbyaddr");
    }
  }
  layer.winsock_status = plat::WsaStartup(plat::kWinsockVersion22, &layer.winsock_version);
  layer.winsock_started = layer.winsock_status == 0;
  if (layer.netapi == nullptr) {
    layer.netapi = plat::LoadModule("netapi32.dll");
    if (layer.netapi != nullptr) {
      layer.ds_get_dc_name = Resolve<DsGetDcNameFn>(layer.netapi, "DsGetDcNameA");
      layer.net_api_buffer_free = Resolve<NetApiBufferFreeFn>(layer.netapi, "NetApiBufferFree");
    }
  }
  LoadOptionalSystemModules();
  core::RunStartHooks();
}

void SocketBase::AddLifetimeHooks(void (*on_init)(), void (*on_destroy)()) {
  core::AddLifetimeHooks(on_init, on_destroy);
}

void SocketBase::LoadOptionalSystemModules() {
  SocketLayer& layer = Layer();
  LoadCrypt32Functions();
  if (layer.qwave == nullptr) {
    layer.qwave = plat::LoadModule("qwave.dll");
    if (layer.qwave != nullptr) {
      layer.qos_create_handle = plat::GetProc(layer.qwave, "QOSCreateHandle");
      layer.qos_close_handle = Resolve<QosCloseHandleFn>(layer.qwave, "QOSCloseHandle");
      layer.qos_add_socket_to_flow = plat::GetProc(layer.qwave, "QOSAddSocketToFlow");
      layer.qos_remove_socket_from_flow = plat::GetProc(layer.qwave, "QOSRemoveSocketFromFlow");
      layer.qos_set_flow = plat::GetProc(layer.qwave, "QOSSetFlow");
    }
  }
  SecurityFunctionTable& table = SecurityFunctions();
  std::memset(&table, 0, sizeof(table));
  // The provider module is loaded once and kept until tear-down, so loads and frees stay paired.
  if (layer.secur32 == nullptr) layer.secur32 = plat::LoadModule("secur32.dll");
  if (layer.secur32 == nullptr) return;
  auto init_interface = Resolve<InitSecurityInterfaceFn>(layer.secur32, "InitSecurityInterfaceA");
  const platform::SecurityFunctionTableA* provided = init_interface != nullptr ? init_interface() : nullptr;
  if (provided == nullptr) return;
  std::memcpy(&table, provided, sizeof(table));
  plat::ModuleHandle ntdll = plat::LoadModule("ntdll.dll");
  if (ntdll == nullptr) return;
  auto get_version = Resolve<plat::FillOsVersionRecordFn>(ntdll, "RtlGetVersion");
  plat::OsVersionRecord record{};
  record.size = sizeof(record);
  if (get_version != nullptr && get_version(&record) == 0) {
    layer.os63_flag = (record.major > 6 || (record.major == 6 && record.minor >= 3)) ? 1 : 0;
    const uint32_t build_needed = record.product_type == plat::kProductTypeWorkstation ? 22000u : 20348u;
    layer.tls13_flag = (record.major >= 10 && record.build >= build_needed) ? 1 : 0;
  }
  (void)plat::FreeModule(ntdll);
}

void SocketBase::StaticDestroy() {
  SocketLayer& layer = Layer();
  std::lock_guard<std::mutex> lock(layer.mutex);
  // Only the tear-down that matches the first start-up runs; extra calls (a host's and the library
  // unload's) find nothing left to undo.
  if (layer.init_count == 0 || --layer.init_count > 0) return;
  // The libraries above tear down first, in the reverse order of their start-up.
  core::RunStopHooks();
  (void)plat::WsaCancelBlockingCall();
  if (layer.winsock_started) {
    (void)plat::WsaCleanup();
    layer.winsock_started = false;
  }
  layer.winsock_status = plat::kWsaNotInitialised;
  // NOTE: while windows of the class still exist the class stays registered (the system refuses), so
  // live components keep working; a later start-up's registration then fails harmlessly.
  (void)plat::UnregisterWindowClass(kSocketWindowClass);
  if (layer.secur32 != nullptr) {
    (void)plat::FreeModule(layer.secur32);
    layer.secur32 = nullptr;
    std::memset(&SecurityFunctions(), 0, sizeof(SecurityFunctionTable));
  }
  UnloadCrypt32Functions();
  if (layer.qwave != nullptr) {
    (void)plat::FreeModule(layer.qwave);
    layer.qwave = nullptr;
    layer.qos_create_handle = nullptr;
    layer.qos_close_handle = nullptr;
    layer.qos_add_socket_to_flow = nullptr;
    layer.qos_remove_socket_from_flow = nullptr;
    layer.qos_set_flow = nullptr;
  }
}

void SocketBase::FreeAddrInfoIfLoaded(plat::AddrInfo* list) {
  if (Layer().free_addr_info != nullptr) Layer().free_addr_info(list);
}

uint32_t SocketBase::GetOsMajorVersion() { return plat::GetOsVersion().major; }

int SocketBase::IsOsVersion6OrLater() {
  static const int answer = GetOsMajorVersion() >= 6 ? 1 : 0;
  return answer;
}

int SocketBase::WinsockStatus() { return Layer().winsock_status; }

uint16_t SocketBase::WinsockVersion() { return Layer().winsock_version; }

int SocketBase::Os63Flag() { return Layer().os63_flag; }

int SocketBase::Tls13Flag() { return Layer().tls13_flag; }

}  // namespace velmora::component
