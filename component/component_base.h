// ComponentBase: the root of every component object. It keeps the result state the exported functions
// report (last error code and text, event error code and text), the reply text of configuration
// queries, the code page, the log settings and the component tag, and it answers the base keys of the
// configuration chain. Also the four process-wide settings that any component's Config sets.
#pragma once

#include <atomic>
#include <cstdint>

#include "component/config_setting_parts.h"
#include "core/buffer.h"

namespace velmora::component {

// Process-wide settings (0 at load, set through any component's Config; any thread may read them).
// ZeroMemory lives with the byte strings that obey it: core::ZeroMemoryFlag().
// UseInternalCryptoAPI is 2 when set true, 0 when set false.
int UseInternalCryptoAPI();
int UseFIPSCompliantAPI();
int Allow3DESInFIPS();

// kCodePageShiftJis is the system code page under which the charset mode starts as 1.
constexpr uint32_t kCodePageShiftJis = 932;

// ResultState is what a caller's calls leave behind: the last error code and text, and the reply text of
// the last configuration query.
struct ResultState {
  int32_t last_error_code = 0;
  core::Buffer last_error_text;
  core::Buffer reply_text;
};

// ComponentBase is used by one thread at a time. Derived classes keep the eight virtual operations in
// this order at the head of their table, override Config for their own keys and hand every other name
// to their base's Config.
class ComponentBase {
 public:
  ComponentBase();
  ComponentBase(const ComponentBase&) = delete;
  ComponentBase& operator=(const ComponentBase&) = delete;

  // SetComponentTag stores text (null as "") as the component tag; 0, or 200 when memory runs out.
  virtual int SetComponentTag(const char* text);
  virtual void OnIdle();
  // SetLogLevel stores the log level and returns 0.
  virtual int SetLogLevel(int32_t level);
  // GetCodePage returns the code page for text conversions (0: the system's default code page).
  virtual uint32_t GetCodePage();
  virtual int DefaultHook4();
  virtual int DefaultHook5();
  // Config handles one parsed setting: a set stores the value and returns 0 (or the store's code); a
  // query points *reply at a NUL-terminated text owned by this component, valid until its next query,
  // and returns 0. An unknown name points *reply at "" and returns -1 with the last error text
  // "Unknown config setting.". reply may be null for a set.
  virtual int Config(const ConfigSettingParts& setting, const char** reply);
  virtual int DefaultHook7();
  virtual ~ComponentBase();
  // Results returns the result state of the calling thread's calls: the component's own one here; a
  // component whose calls arrive on several threads at once gives each its own.
  virtual ResultState& Results() const;

  // ResetErrorAndCharset starts an operation afresh: last error code 0 and text empty, run flag 1,
  // charset mode 1 under the Shift_JIS system code page, else 0. Returns 1.
  int ResetErrorAndCharset();

  // ReportResult sets the last error text for a failed call and returns code: 301 and 200 always
  // replace it ("Interrupted.", "Out of memory."); any other nonzero code only fills an empty text with
  // its socket error text. 0 changes nothing.
  int ReportResult(int code);
  // ReportOutOfMemory sets "Out of memory." for 200 and returns code; any other code is passed through.
  int ReportOutOfMemory(int code);
  // SetSocketErrorText sets the last error code to code and its text to "[code] " followed by the
  // socket error's description; 0 when the code has one, 1 when it gets "(no description available)".
  int SetSocketErrorText(int code);
  // SocketErrorText sets the last error code to code and its text to prefix, the decimal code and
  // suffix (a null prefix or suffix is skipped); 0 or 200.
  int SocketErrorText(const char* prefix, int code, const char* suffix);
  // FormatLastErrorText sets the last error text to text + " (error 0x<system last error>)."; the last
  // error code is kept. 0 or 200.
  int FormatLastErrorText(const char* text);
  // SetErrorText sets the last error text to text (null as "") and returns code.
  int SetErrorText(int code, const char* text);
  // SetAltErrorText is SetErrorText for a derived class that keeps its own error text buffer.
  static int SetAltErrorText(core::BufferCore& error_text, int code, const char* text);

  // Query replies: each stores its text in the reply text and points *reply (when not null) at it.
  // ConfigValueToText writes "%d" and ConfigUnsignedToText "%u" (both return 0); ConfigTextReply
  // copies text (null as "") and returns 0 or 200.
  int ConfigValueToText(int32_t value, const char** reply);
  int ConfigUnsignedToText(uint32_t value, const char** reply);
  int ConfigTextReply(const char* text, const char** reply);

  int32_t LastErrorCode() const { return Results().last_error_code; }
  void SetLastErrorCode(int32_t code) { Results().last_error_code = code; }
  core::Buffer& LastErrorText() { return Results().last_error_text; }
  const core::Buffer& LastErrorText() const { return Results().last_error_text; }
  int32_t EventErrorCode() const { return event_error_code_; }
  void SetEventErrorCode(int32_t code) { event_error_code_ = code; }
  core::Buffer& EventErrorText() { return event_error_text_; }
  const core::Buffer& ReplyText() const { return Results().reply_text; }
  uint32_t CodePage() const { return code_page_; }
  void SetCodePage(uint32_t code_page) { code_page_ = code_page; }
  const core::Buffer20& LogFileName() const { return log_file_name_; }
  int32_t LogFileSet() const { return log_file_set_; }
  uint32_t LogOption() const { return log_option_; }
  int32_t LogLevel() const { return log_level_; }
  const core::Buffer20& ComponentTag() const { return component_tag_; }
  int8_t CharsetMode() const { return charset_mode_; }
  void SetCharsetMode(int8_t mode) { charset_mode_ = mode; }
  int32_t RunFlag() const { return run_flag_; }
  uint64_t WindowSlot() const { return window_slot_; }
  void SetWindowSlot(uint64_t slot) { window_slot_ = slot; }

 protected:
  int32_t event_error_code_ = 0;
  core::Buffer event_error_text_;
  // The code page is read by every call that converts text, also by a BLE client's sinks on platform
  // threads while the application's thread may set it.
  std::atomic<uint32_t> code_page_{0};
  core::Buffer20 log_file_name_;
  int32_t log_file_set_ = 0;
  uint32_t log_option_ = 0;
  // Two texts for derived classes; no base operation uses them.
  core::Buffer further_text_a_;
  core::Buffer further_text_b_;
  int32_t log_level_ = 1;
  core::Buffer20 component_tag_;
  int8_t charset_mode_ = 0;
  int32_t run_flag_ = 1;
  // The notification window handle of a socket-capable component; 0 in a plain component.
  uint64_t window_slot_ = 0;

 private:
  mutable ResultState own_results_;
};

}  // namespace velmora::component
