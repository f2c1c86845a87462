// SocketBase: the base of every component that waits for events. It owns a message-only notification
// window, the timeout and deadline of the running operation, the wait step that every blocking operation
// calls in a loop, the host-name routines of the socket layer, and the socket, transport-security and QoS
// settings with their configuration keys. SocketBase::StaticInit (library start-up) registers the window
// class, loads the optional system modules and starts the socket layer; StaticDestroy undoes it.
//
// A component is used by one thread at a time. Its window belongs to the thread that ran Init, so the wait
// step must run on that thread for window messages to arrive. RequestInterrupt may come from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "component/component_base.h"
#include "component/tls_services.h"
#include "core/buffer.h"
#include "platform/message_queue.h"
#include "platform/sockets.h"

namespace velmora::component {

// kSocketWindowClass is the class of the components' notification windows.
constexpr const char* kSocketWindowClass = "__velmorable_socket_wnd__";
// Window extra bytes of that class; the first pointer-sized word holds the owning component.
constexpr int kSocketWindowExtraBytes = 12;
constexpr int kUseWindowsMessagesLocked = 287;
constexpr int32_t kMaxTimeoutSeconds = 2147483;
constexpr int32_t kInitializationFailed = -1;

constexpr const char* kTextTimeout = "Timeout.";
constexpr const char* kTextInterrupted = "Interrupted.";
constexpr const char* kTextInitializationFailed =
    "Initialization failed. Call StaticInit before attempting this operation.";
constexpr const char* kTextUseWindowsMessagesLocked =
    "UseWindowsMessages cannot be changed at this time. A connection is in progress.";

// The optional completion-port waiter that replaces window messages while UseIOCP is on.
class CompletionPortWaiter;

// Domain controller lookup entry of the "netapi32" module and its buffer release.
using DsGetDcNameFn = int32_t (*)(const char* computer, const char* domain, const void* guid, const char* site,
                                  uint32_t flags, void** info);
using NetApiBufferFreeFn = int32_t (*)(void* buffer);
// Flow-handle release of the "qwave" module.
using QosCloseHandleFn = int32_t (*)(uint64_t handle);

// SocketBuffers: eight short texts (the eighth preset to the authentication scheme "NTLM"), two texts and
// three integers of the socket components' authentication exchange.
struct SocketBuffers {
  SocketBuffers();
  core::Buffer20 texts[8];
  core::Buffer text_a;
  core::Buffer text_b;
  int32_t value_a = 0;
  int32_t value_b = 0;
  int32_t value_c = 1;
};

// SocketTlsState: authentication and security state of the socket components. Destroying it releases its
// credential and context handles through the loaded security functions.
struct SocketTlsState {
  SocketTlsState();
  ~SocketTlsState();
  SocketTlsState(const SocketTlsState&) = delete;
  SocketTlsState& operator=(const SocketTlsState&) = delete;

  core::Buffer20 texts[5];  // the second is the authentication scheme, "NTLM"
  core::Buffer text_a;
  core::Buffer text_b;
  SecurityHandle credentials;
  SecurityHandle context;
  int32_t value_a = 0;
  int32_t value_b = 0;
  SocketBuffers buffers;
  int32_t value_c = 1;
  uint8_t nt61_or_later = 0;  // the system is version 6.1 or later
  // What the last connection negotiated, as SslConnectionInfoText names it.
  core::Buffer protocol_name;
  core::Buffer cipher_name;
  int32_t cipher_strength = 0;
  core::Buffer key_exchange_name;
  int32_t key_exchange_strength = 0;
};

// TlsSessionCache: the settings the held credential handle was acquired with, so that an acquisition with
// the same settings may keep it. One per component.
struct TlsSessionCache {
  core::Buffer provider;
  int32_t direction = 0;  // 1 inbound (server), 2 outbound (client)
  const platform::CERT_CONTEXT* certificate = nullptr;
  uint32_t protocols = 0;
  int32_t strength = 0;
  core::Buffer algorithms;
  uint8_t use_default = 0;
  SecurityHandle handle;
};

// SocketCounters: two texts and four counters of the socket components.
struct SocketCounters {
  core::Buffer text_a;
  core::Buffer text_b;
  uint32_t counts[4] = {0, 0, 0, 0};
};

class SocketBase : public ComponentBase {
 public:
  SocketBase();
  ~SocketBase() override;

  // Init is the start-up that the derived class runs once after construction: resets the settings to
  // their defaults, creates the notification window when there is none (silently none when the window
  // class is not registered) and sets the transport-security defaults. Returns 1.
  int Init();

  int Config(const ConfigSettingParts& setting, const char** reply) override;

  // SetUseWindowsMessages stores the flag and returns 0; 287 with its text while a socket is open.
  virtual int SetUseWindowsMessages(bool on);
  // SelectEvents remembers (socket, message, mask); with window messages it asks for socket notifications
  // to window (0, or -1 with the socket error in the system last error); without, a nonzero mask only puts
  // the socket into non-blocking mode (0).
  virtual int SelectEvents(platform::Socket socket, platform::WindowHandle window, uint32_t message,
                           uint32_t event_mask);
  // DefaultWindowProc handles a message of the notification window: 0 for messages that did not come from
  // the component's own dispatch while IgnoreExternalEvents is on, else the default handling. Socket
  // components override it for their notifications (lparam = event | error << 16).
  virtual intptr_t DefaultWindowProc(uint32_t message, uintptr_t wparam, intptr_t lparam);
  // GetLocalHost returns the local host text (owned by the component, valid until the next call): the
  // numeric IPv6 text or dotted quad of the known address, else the host name. On failure the text is
  // empty and the last error code and text describe the socket error.
  virtual const char* GetLocalHost();
  // SetRemoteHost resolves host into the remote address and returns 0, the socket error number, -1 when
  // the name functions are not loaded, or 200.
  virtual int SetRemoteHost(const char* host);
  virtual const char* GetRemoteHost();
  // WaitStep runs one step of a blocking wait of at most wait_ms milliseconds (negative counts as 0) for
  // window: 1 to go on waiting, 0 to stop ("Timeout." or "Interrupted." in the last error text for those
  // reasons; a quit request, WM_CLOSE or a destroyed window stop it too). The caller's thread.
  virtual int WaitStep(int32_t wait_ms, platform::WindowHandle window);
  virtual int DefaultHook15();
  // DefaultHook16 returns the certificate context for the credentials of a connection in direction, and
  // sets *reuse when the previous one may be kept; the base has none.
  virtual const void* DefaultHook16(int32_t direction, uint8_t* reuse);

  // WaitOnSelect turns the readiness of the component's socket into notifications delivered to
  // DefaultWindowProc (message, socket, event | error << 16). 0, or -1 after a failed poll.
  int WaitOnSelect(int32_t wait_ms, uint32_t message);

  // SetTimeoutSeconds stores Timeout (seconds capped at 2147483; taken as milliseconds while
  // TimeoutInMilliseconds is on) and clears the running deadline when asked. Returns 0.
  int SetTimeoutSeconds(int32_t seconds, bool clear_deadline);
  // SetBaseTimeoutSeconds does the same for the base timeout, without the cap, then starts the base
  // deadline. Returns 0.
  int SetBaseTimeoutSeconds(int32_t seconds, bool clear_deadline);
  // StartOperationDeadline starts the running operation's deadline Timeout milliseconds from now (none
  // when Timeout is 0) and returns it.
  uint64_t StartOperationDeadline();
  // StartDeadline restarts the base deadline from the base timeout (none when it is 0).
  uint64_t StartDeadline();
  // UseCompletionPort switches between window messages and the completion-port waiter. Returns 0.
  int UseCompletionPort(bool on);
  // CompletionWaiter is the waiter while UseIOCP is on, else null; owned by the component.
  CompletionPortWaiter* CompletionWaiter() const { return completion_waiter_; }
  // WaitOnCompletionPort is the wait step's branch with UseIOCP: waits up to wait_ms for the waiter's
  // notifications and delivers them to DefaultWindowProc (message, socket, event). 0 without a waiter.
  int WaitOnCompletionPort(int32_t wait_ms);
  // RecordTranscript writes a block of socket data moving in direction (1 sent, 0 received) to the
  // RecordToFile transcript and the RecordToString text, and dumps it to the LogDebugFile log when bit 0
  // of LogDebugOption is set. 0, or 7 when the transcript file failed (it is closed; the text goes on).
  int RecordTranscript(int direction, const void* data, int32_t length);
  // RecordTranscriptText is RecordTranscript for a NUL-terminated text.
  int RecordTranscriptText(int direction, const char* text);
  // Buffer-size setters: store the size and apply it to an open socket; 0 or the socket error number.
  int SetReceiveBufferSize(uint32_t size);
  int SetSendBufferSize(uint32_t size);

  // Name functions through the run-time loaded entries; -1 with kTextInitializationFailed when an entry is
  // not loaded, else the entry's result (0 or a socket error number).
  // ResolveHostAddress: IPv6 address of host ("addr%scope" accepted); an empty host gives the zero address.
  int ResolveHostAddress(const char* host, platform::SockAddrIn6* out, int flags, int socket_type);
  // ResolveHostName: the IPv4 twin; out receives the 4 address bytes.
  int ResolveHostName(const char* host, uint8_t out[4], int flags, int socket_type);
  // ReverseLookupHost: the name (or, with kNiNumericHost, the numeric text) of a socket address.
  int ReverseLookupHost(const void* addr, int addr_len, char* host, uint32_t host_cap, int flags);
  // LookupDomainController: the domain controller record of domain (free it with the module's release).
  int LookupDomainController(const char* domain, const char* site, uint32_t flags, void** info);
  // GetLocalAddress returns the address of this machine's host name: dotted quad, or numeric IPv6 text with
  // UseIPv6; "" on failure (error code and text set). Owned by the component until the next call.
  const char* GetLocalAddress();
  // ReopenTranscriptFile clears the transcript text, closes the transcript file and opens the file named
  // by RecordToFile again for writing (nothing to open when the name is empty). 0 or the system error.
  int ReopenTranscriptFile();

  // RequestInterrupt makes the next wait step stop with "Interrupted."; any thread.
  void RequestInterrupt() { interrupt_request_.store(1, std::memory_order_relaxed); }
  bool WasInterrupted() const { return interrupted_ != 0; }

  platform::WindowHandle NotificationWindow() const { return WindowSlot(); }
  platform::Socket SocketHandle() const { return socket_; }
  uint32_t TimeoutMs() const { return timeout_ms_.load(std::memory_order_relaxed); }
  // TimeoutInMs: Timeout counts milliseconds (TimeoutInMilliseconds) rather than seconds.
  bool TimeoutInMs() const { return timeout_in_milliseconds_.load(std::memory_order_relaxed) != 0; }
  uint64_t OperationDeadline() const { return operation_deadline_.load(std::memory_order_relaxed); }
  uint32_t BaseTimeoutMs() const { return base_timeout_ms_; }
  uint64_t BaseDeadline() const { return base_deadline_; }
  int32_t SelectWaitMillis() const { return select_wait_millis_.load(std::memory_order_relaxed); }
  bool UsesWindowsMessages() const { return use_windows_messages_ != 0; }
  uint32_t ReceiveBufferSize() const { return receive_buffer_size_; }
  uint32_t SendBufferSize() const { return send_buffer_size_; }
  const uint8_t* RemoteIpv4() const { return remote_ipv4_; }
  const platform::SockAddrIn6& RemoteIpv6() const { return remote_ipv6_; }

  // Transport-security fields read and written by the security services.
  core::Buffer20& SslProvider() { return ssl_provider_; }
  core::Buffer20& CertificateStoreName() { return cert_store_name_; }
  int32_t& SslEnabledProtocols() { return ssl_enabled_protocols_; }
  int32_t& SslCipherStrength() { return ssl_cipher_strength_; }
  int32_t& SslEnableRenegotiation() { return ssl_enable_renegotiation_; }
  int32_t& SslSecurityFlags() { return ssl_security_flags_; }
  uint8_t& UseDefaultCredentials() { return use_default_credentials_; }
  uint8_t& SslIncludeCertChain() { return ssl_include_cert_chain_; }
  uint8_t& ReuseSslSession() { return reuse_ssl_session_; }
  int32_t* TlsIntegers() { return tls_integers_; }
  int32_t& TlsStateValue() { return tls_state_value_; }
  SecurityHandle& Credentials() { return credentials_; }
  core::Buffer& AcceptedAlgorithms() { return accepted_algorithms_; }
  core::Buffer& PemLabel() { return pem_label_; }
  SocketTlsState& TlsState() { return tls_state_; }
  TlsSessionCache& TlsSessionCacheEntry() { return tls_session_cache_; }

  // Library start-up and tear-down, counted: only the first StaticInit sets up and only the StaticDestroy
  // that matches it tears down, so a host's calls and the library's own load and unload can be mixed. An
  // unmatched StaticDestroy does nothing. Must not overlap component use.
  static void StaticInit();
  static void StaticDestroy();
  // AddLifetimeHooks lets a library that builds on this one join the start-up and tear-down: on_init runs
  // at the end of the set-up of StaticInit (at once when that set-up has already run), on_destroy at the
  // start of the matching tear-down. Either may be null. The same pair registered again is ignored; at most
  // eight pairs. Any thread, but not while StaticInit or StaticDestroy runs on another.
  static void AddLifetimeHooks(void (*on_init)(), void (*on_destroy)());
  // LoadOptionalSystemModules loads the certificate functions, the QoS module and the security provider's
  // function table (zeroed first, left zero when missing). Part of StaticInit.
  static void LoadOptionalSystemModules();
  // FreeAddrInfoIfLoaded frees a result list through the loaded entry; nothing when it is not loaded.
  static void FreeAddrInfoIfLoaded(platform::AddrInfo* list);
  // GetOsMajorVersion reads the system's major version afresh; IsOsVersion6OrLater keeps its first answer.
  static uint32_t GetOsMajorVersion();
  static int IsOsVersion6OrLater();
  // The process-wide start-up results: WinsockStatus (0 when the socket layer started), WinsockVersion.
  static int WinsockStatus();
  static uint16_t WinsockVersion();
  // OS 6.3 and TLS 1.3 flags, read from the version record when the security provider was loaded.
  static int Os63Flag();
  static int Tls13Flag();
  // SocketWindowProc is the class procedure of the notification windows: it hands a message to the owning
  // component's DefaultWindowProc when the window is still the component's, else to the default handling.
  static intptr_t SocketWindowProc(platform::WindowHandle window, uint32_t message, uintptr_t wparam,
                                   intptr_t lparam);

 protected:
  // Interrupt ends a wait step for an interrupt request.
  int Interrupt();
  // DeliverEvent calls DefaultWindowProc with a socket notification.
  void DeliverEvent(uint32_t message, uint32_t event, int error);
  // ClearError empties the last error code and text.
  void ClearError();

  // Timeout, its unit, the wait step and the running operation's deadline: a component that delivers
  // events on other threads may have these set on one thread while a wait on another reads them.
  std::atomic<uint32_t> timeout_ms_{0};
  std::atomic<uint64_t> operation_deadline_{0};  // on platform::DeadlineClockMs; 0: none
  uint32_t base_timeout_ms_ = 0;
  uint64_t base_deadline_ = 0;
  char local_host_[101] = {};
  std::atomic<int32_t> select_wait_millis_{20};
  int32_t started_ = 1;
  uint8_t use_windows_messages_ = 1;
  CompletionPortWaiter* completion_waiter_ = nullptr;
  CompletionPortWaiter* retired_waiter_ = nullptr;  // switched off during its own delivery
  int32_t port_wait_depth_ = 0;
  core::Buffer spare_texts_[4];
  platform::Socket socket_ = platform::kInvalidSocket;
  uint32_t receive_buffer_size_ = 0;
  uint32_t send_buffer_size_ = 0;
  std::atomic<int32_t> timeout_in_milliseconds_{0};
  uint8_t remote_ipv4_[4] = {0, 0, 0, 0};
  platform::SockAddrIn6 remote_ipv6_{};
  char numeric_address_[60] = {};
  core::Buffer remote_host_;
  int32_t use_ipv6_int_ = 0;
  uint8_t use_ipv6_ = 0;
  uint8_t use_get_addr_info_ = 1;
  uint8_t record_to_string_ = 0;
  uint8_t absolute_timeout_ = 0;
  std::atomic<uint8_t> interrupt_request_{0};
  uint8_t interrupted_ = 0;
  int32_t use_internal_security_api_ = 0;
  uint8_t in_dispatch_ = 0;
  uint8_t ignore_external_events_ = 0;
  uint8_t ignore_other_window_events_ = 0;
  uint8_t use_default_credentials_ = 0;
  uint8_t reuse_ssl_session_ = 0;
  uint8_t ssl_include_cert_chain_ = 0;
  uint8_t read_pending_ = 0;
  core::Buffer20 kerberos_spn_;
  core::Buffer transcript_text_;
  SocketTlsState tls_state_;
  int32_t use_system_sspi_ = 0;
  int32_t extended_protection_ = 0;
  core::Buffer20 record_to_file_;
  int transcript_file_ = -1;
  int32_t read_error_ = 0;  // left by a read handler during a select wait
  char dotted_quad_[16] = {};
  platform::Socket selected_socket_ = platform::kInvalidSocket;
  uint32_t selected_message_ = 0;
  uint32_t selected_mask_ = 0;
  uint64_t qos_flow_handle_ = 0;
  int32_t qos_traffic_type_ = 0;
  int32_t qos_dscp_value_ = 0;
  uint32_t qos_flow_id_ = 0;
  core::Buffer20 ssl_provider_;
  core::Buffer20 cert_store_name_;
  core::Buffer20 further_text_c_;
  core::Buffer20 further_text_d_;
  int32_t tls_integers_[3] = {0, 0, 0};
  int32_t ssl_enabled_protocols_ = 4032;
  int32_t ssl_cipher_strength_ = 40;
  int32_t ssl_enable_renegotiation_ = 1;
  SocketCounters counters_;
  int32_t ssl_security_flags_ = 0;
  core::Buffer pem_label_;
  core::Buffer accepted_algorithms_;
  SecurityHandle credentials_;
  TlsSessionCache tls_session_cache_;
  int32_t tls_state_value_ = 0;

 private:
  int ConfigQuery(int key, const char** reply);
  int ConfigSet(int key, const ConfigSettingParts& setting);
  int SetBufferSize(bool receive, uint32_t size);
};

}  // namespace velmora::component
