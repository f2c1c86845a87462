#include "component/component_base.h"

#include <atomic>

#include "core/numbers.h"
#include "platform/system_info.h"
#include "platform/text.h"

namespace velmora::component {

namespace {

std::atomic<int> g_use_internal_crypto_api{0};
std::atomic<int> g_use_fips_compliant_api{0};
std::atomic<int> g_allow_3des_in_fips{0};

constexpr int kInternalCryptoApiOn = 2;

enum class BaseKey {
  kCodePage,
  kLogLevel,
  kCharsetMode,
  kLogDebugFile,
  kLogDebugOption,
  kLastError,
  kZeroMemory,
  kUseInternalCryptoAPI,
  kUseFIPSCompliantAPI,
  kAllow3DESInFIPS,
  kUnknown,
};

struct BaseKeyName {
  const char* name;
  BaseKey key;
};

constexpr BaseKeyName kBaseKeys[] = {
    {"CodePage", BaseKey::kCodePage},
    {"LogLevel", BaseKey::kLogLevel},
    {"CharsetMode", BaseKey::kCharsetMode},
    {"LogDebugFile", BaseKey::kLogDebugFile},
    {"LogDebugOption", BaseKey::kLogDebugOption},
    {"LastError", BaseKey::kLastError},
    {"ZeroMemory", BaseKey::kZeroMemory},
    {"UseInternalCryptoAPI", BaseKey::kUseInternalCryptoAPI},
    {"UseFIPSCompliantAPI", BaseKey::kUseFIPSCompliantAPI},
    {"Allow3DESInFIPS", BaseKey::kAllow3DESInFIPS},
};

BaseKey FindBaseKey(const core::Buffer& name) {
  for (const BaseKeyName& entry : kBaseKeys) {
    if (name.EqualsNoCase(entry.name)) return entry.key;
  }
  return BaseKey::kUnknown;
}

const char* TrueFalse(int value) { return value != 0 ? "True" : "False"; }

// ParseLogOption reads "0x"/"0X" hexadecimal or plain decimal; unlike ParseConfigInt it has no
// "TRUE"/"yes" forms.
uint32_t ParseLogOption(const core::Buffer& value) {
  const char* text = value.Data();
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return static_cast<uint32_t>(core::ParseHexInt(text + 2));
  return static_cast<uint32_t>(core::ParseLong(text));
}

}  // namespace

int UseInternalCryptoAPI() { return g_use_internal_crypto_api.load(std::memory_order_relaxed); }
int UseFIPSCompliantAPI() { return g_use_fips_compliant_api.load(std::memory_order_relaxed); }
int Allow3DESInFIPS() { return g_allow_3des_in_fips.load(std::memory_order_relaxed); }

ComponentBase::ComponentBase() = default;
ComponentBase::~ComponentBase() = default;

int ComponentBase::SetComponentTag(const char* text) { return component_tag_.SetString(text); }

void ComponentBase::OnIdle() {}

int ComponentBase::SetLogLevel(int32_t level) {
  log_level_ = level;
  return core::kOk;
}

uint32_t ComponentBase::GetCodePage() { return code_page_; }

int ComponentBase::DefaultHook4() { return 0; }
int ComponentBase::DefaultHook5() { return 0; }
int ComponentBase::DefaultHook7() { return 0; }

ResultState& ComponentBase::Results() const { return own_results_; }

int ComponentBase::ResetErrorAndCharset() {
  ResultState& results = Results();
  results.last_error_code = 0;
  results.last_error_text.Clear();
  run_flag_ = 1;
  charset_mode_ = platform::GetAnsiCodePage() == kCodePageShiftJis ? 1 : 0;
  return 1;
}

int ComponentBase::ConfigValueToText(int32_t value, const char** reply) {
  // A decimal number always fits the inline storage, so the store cannot fail.
  core::Buffer& out = Results().reply_text;
  (void)out.Format("%d", value);
  if (reply != nullptr) *reply = out.Data();
  return core::kOk;
}

int ComponentBase::ConfigUnsignedToText(uint32_t value, const char** reply) {
  core::Buffer& out = Results().reply_text;
  (void)out.Format("%u", value);
  if (reply != nullptr) *reply = out.Data();
  return core::kOk;
}

int ComponentBase::ConfigTextReply(const char* text, const char** reply) {
  core::Buffer& out = Results().reply_text;
  const int rc = out.SetString(text);
  if (reply != nullptr) *reply = out.Data();
  return rc;
}

int ComponentBase::Config(const ConfigSettingParts& setting, const char** reply) {
  const bool query = setting.Query() != 0;
  switch (FindBaseKey(setting.Name())) {
    case BaseKey::kCodePage:
      if (query) return ConfigValueToText(static_cast<int32_t>(GetCodePage()), reply);
      // Any number is taken; a code page the system cannot convert with fails at the conversion.
      code_page_ = static_cast<uint32_t>(ParseConfigInt(setting));
      return core::kOk;
    case BaseKey::kLogLevel:
      if (query) return ConfigValueToText(log_level_, reply);
      (void)SetLogLevel(ParseConfigInt(setting));
      return core::kOk;
    case BaseKey::kCharsetMode:
      if (query) return ConfigValueToText(charset_mode_, reply);
      charset_mode_ = static_cast<int8_t>(ParseConfigInt(setting) & 0xFF);
      return core::kOk;
    case BaseKey::kLogDebugFile: {
      if (query) return ConfigTextReply(log_file_name_.Data(), reply);
      int rc = log_file_name_.Assign(setting.Value());
      log_file_set_ = log_file_name_.IsEmpty() ? 0 : 1;
      return rc;
    }
    case BaseKey::kLogDebugOption:
      if (query) return ConfigUnsignedToText(log_option_, reply);
      log_option_ = ParseLogOption(setting.Value());
      return core::kOk;
    case BaseKey::kLastError:
      if (query) return ConfigTextReply(LastErrorText().Data(), reply);
      return core::kOk;
    case BaseKey::kZeroMemory:
      if (query) return ConfigTextReply(TrueFalse(core::ZeroMemoryFlag()), reply);
      core::SetZeroMemoryFlag(ParseConfigBool(setting));
      return core::kOk;
    case BaseKey::kUseInternalCryptoAPI:
      if (query) return ConfigTextReply(TrueFalse(UseInternalCryptoAPI() == kInternalCryptoApiOn), reply);
      g_use_internal_crypto_api.store(ParseConfigBool(setting) ? kInternalCryptoApiOn : 0, std::memory_order_relaxed);
      return core::kOk;
    case BaseKey::kUseFIPSCompliantAPI:
      if (query) return ConfigTextReply(TrueFalse(UseFIPSCompliantAPI()), reply);
      g_use_fips_compliant_api.store(ParseConfigBool(setting), std::memory_order_relaxed);
      return core::kOk;
    case BaseKey::kAllow3DESInFIPS:
      if (query) return ConfigTextReply(TrueFalse(Allow3DESInFIPS()), reply);
      g_allow_3des_in_fips.store(ParseConfigBool(setting), std::memory_order_relaxed);
      return core::kOk;
    case BaseKey::kUnknown:
      break;
  }
  if (reply != nullptr) *reply = core::kEmptyText;
  (void)LastErrorText().SetString("Unknown config setting.");
  return -1;
}

}  // namespace velmora::component
