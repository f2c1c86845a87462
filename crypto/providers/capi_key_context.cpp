#include "crypto/providers/capi_key_context.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>

#include "component/tls_services.h"
#include "core/base64.h"
#include "platform/crypto/crypto_types.h"
#include "platform/last_error.h"
#include "platform/modules.h"

namespace velmora::crypto {

namespace plat = velmora::platform;

namespace {

constexpr int kNoPrivateKey = 290;
constexpr int kUnreadableKey = 280;
constexpr uint32_t kBadKeyset = 0x80090016u;
constexpr uint32_t kKeysetExists = 0x8009000Fu;
constexpr uint32_t kNewKeyset = 0x8;
constexpr uint32_t kMachineKeyset = 0x20;

using CryptImportKeyFn = plat::BOOL (*)(plat::HCRYPTPROV, const uint8_t*, plat::DWORD, uintptr_t, plat::DWORD,
                                        uintptr_t*);
using CryptDestroyKeyFn = plat::BOOL (*)(uintptr_t);

// The container functions. "Advapi32.dll" is loaded while a context holds a provider handle acquired here
// (and for the length of a call), so nothing stays loaded once every context is released.
struct ContainerFunctions {
  plat::CryptAcquireContextAFn acquire = nullptr;
  plat::CryptReleaseContextFn release = nullptr;
  CryptImportKeyFn import_key = nullptr;
  CryptDestroyKeyFn destroy_key = nullptr;
  bool held = false;  // a use of the module was taken
};

struct ContainerModule {
  std::mutex mutex;
  plat::ModuleHandle module = nullptr;
  int users = 0;
  ContainerFunctions functions;
};

// Never destroyed: a context released during process exit may still look here.
ContainerModule& TheModule() {
  static ContainerModule* module = new ContainerModule;
  return *module;
}

// HoldFunctions takes one more use of the module and gives its functions (all null, and no use taken,
// while it is missing).
ContainerFunctions HoldFunctions() {
  ContainerModule& held = TheModule();
  std::lock_guard<std::mutex> lock(held.mutex);
  if (held.users == 0) {
    held.module = plat::LoadModule("Advapi32.dll");
    if (held.module == nullptr) return {};
    held.functions.acquire =
        reinterpret_cast<plat::CryptAcquireContextAFn>(plat::GetProc(held.module, "CryptAcquireContextA"));
    held.functions.release =
        reinterpret_cast<plat::CryptReleaseContextFn>(plat::GetProc(held.module, "CryptReleaseContext"));
    held.functions.import_key = reinterpret_cast<CryptImportKeyFn>(plat::GetProc(held.module, "CryptImportKey"));
    held.functions.destroy_key = reinterpret_cast<CryptDestroyKeyFn>(plat::GetProc(held.module, "CryptDestroyKey"));
    held.functions.held = true;
  }
  ++held.users;
  return held.functions;
}

// DropFunctions gives one use back; the last one frees the module.
void DropFunctions() {
  ContainerModule& held = TheModule();
  std::lock_guard<std::mutex> lock(held.mutex);
  if (held.users == 0 || --held.users > 0) return;
  (void)plat::FreeModule(held.module);
  held.module = nullptr;
  held.functions = {};
}

// FunctionsUse takes a use of the module for one call; the call keeps it (kept) when the context it
// filled holds a provider handle.
struct FunctionsUse {
  ContainerFunctions functions = HoldFunctions();
  bool kept = !functions.held;
  FunctionsUse() = default;
  FunctionsUse(const FunctionsUse&) = delete;
  FunctionsUse& operator=(const FunctionsUse&) = delete;
  ~FunctionsUse() {
    if (!kept) DropFunctions();
  }
};

// TryAcquire sets the provider from text and acquires the container with flags once (creating a missing
// one when create is set): 0 with the handle in the context, else the platform's status.
uint32_t TryAcquire(const ContainerFunctions& functions, component::CryptoApiKeyContext& context,
                    const char* provider_text, const char* container, uint32_t flags, bool create) {
  if (SetProvider(context, provider_text) != 0 || functions.acquire == nullptr) return kContainerNotAcquired;
  // The provider name as text with its terminator; none when empty.
  core::Buffer name;
  const char* provider_name = nullptr;
  if (!context.provider_name.IsEmpty()) {
    if (name.Assign(context.provider_name) != 0 || name.AppendByte(0) != 0) return kContainerNotAcquired;
    provider_name = name.Data();
  }
  const auto type = static_cast<plat::DWORD>(context.provider_type);
  plat::HCRYPTPROV handle = 0;
  if (functions.acquire(&handle, container, provider_name, type, flags) != 0 ||
      (create && plat::GetLastError() == kBadKeyset &&
       functions.acquire(&handle, container, provider_name, type, flags | kNewKeyset) != 0)) {
    context.provider_handle = handle;
    return 0;
  }
  const uint32_t status = plat::GetLastError();
  return status != 0 ? status : kContainerNotAcquired;
}

// Significant is the number without its leading zero bytes.
struct Significant {
  const uint8_t* bytes;
  int32_t length;
};
Significant SignificantOf(const core::BufferCore& number) {
  const uint8_t* at = number.Bytes();
  int32_t length = number.Length();
  while (length > 0 && *at == 0) {
    ++at;
    --length;
  }
  return {at, length};
}

// AppendLittleEndian appends the number reversed and zero-filled to width bytes: 0, 280 when it does not
// fit, or a Buffer code.
int AppendLittleEndian(core::BufferCore& out, const core::BufferCore& number, int32_t width) {
  const Significant value = SignificantOf(number);
  if (value.length > width) return kUnreadableKey;
  for (int32_t i = value.length - 1; i >= 0; --i) {
    if (const int status = out.AppendByte(value.bytes[i]); status != 0) return status;
  }
  return out.AppendRepeatedByte(width - value.length, 0);
}

int AppendLe32(core::BufferCore& out, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return out.Append(bytes, 4);
}

}  // namespace

int SetProvider(component::CryptoApiKeyContext& context, const char* text) {
  Release(context);
  context.provider_type = 1;
  context.provider_name.Clear();
  if (text == nullptr || text[0] == '\0') return 0;
  const char* colon = std::strchr(text, ':');
  if (colon != nullptr) {
    context.provider_type = static_cast<int32_t>(std::strtol(colon + 1, nullptr, 10));
    return context.provider_name.SetData(static_cast<int32_t>(colon - text), text);
  }
  if (std::strstr(text, "AES") != nullptr) {
    context.provider_type = 24;
  } else if (std::strstr(text, "DSS") != nullptr) {
    context.provider_type = 3;
  }
  return context.provider_name.SetString(text);
}

int Acquire(component::CryptoApiKeyContext& context, const char* provider_text, const char* container, uint32_t flags,
            bool create) {
  FunctionsUse use;
  for (;;) {
    if (TryAcquire(use.functions, context, provider_text, container, flags, create) == 0) {
      use.kept = true;
      return 0;
    }
    if ((flags & kMachineKeyset) != 0) return kContainerNotAcquired;
    flags |= kMachineKeyset;
  }
}

int CreateContainer(component::CryptoApiKeyContext& context, const char* provider_text, const char* container,
                    uint32_t flags, bool* exists) {
  FunctionsUse use;
  const uint32_t status = TryAcquire(use.functions, context, provider_text, container, flags | kNewKeyset, false);
  *exists = status == kKeysetExists;
  if (status != 0) return kContainerNotAcquired;
  use.kept = true;
  return 0;
}

void Release(component::CryptoApiKeyContext& context) {
  if (context.key_handle == 0 && context.provider_handle == 0) return;
  const ContainerFunctions functions = HoldFunctions();
  const bool held = functions.held;
  if (context.key_handle != 0 && functions.destroy_key != nullptr) {
    (void)functions.destroy_key(static_cast<uintptr_t>(context.key_handle));
  }
  context.key_handle = 0;
  if (context.provider_handle != 0 && functions.release != nullptr) {
    (void)functions.release(static_cast<plat::HCRYPTPROV>(context.provider_handle), 0);
  }
  // The use Acquire left with the provider handle, then this call's.
  if (context.provider_handle != 0) DropFunctions();
  context.provider_handle = 0;
  if (held) DropFunctions();
}

int RsaToCryptoApiPrivateBlob(const RsaKeyParams& params, core::BufferCore& out) {
  RsaKeyParams key;
  if (const int status = key.CopyFrom(params); status != 0) return status;
  if (key.D.IsEmpty() || key.P.IsEmpty() || key.Q.IsEmpty()) return kNoPrivateKey;
  if (const int status = key.CompleteCrt(); status != 0) return status;
  const Significant modulus = SignificantOf(key.Modulus);
  const Significant exponent = SignificantOf(key.Exponent);
  if (modulus.length == 0 || exponent.length == 0) return kNoPrivateKey;
  if (exponent.length > 4) return kUnreadableKey;
  uint32_t public_exponent = 0;
  for (int32_t i = 0; i < exponent.length; ++i) public_exponent = public_exponent << 8 | exponent.bytes[i];
  const auto bits = static_cast<uint32_t>(modulus.length) * 8;
  const int32_t full = modulus.length, half = (modulus.length + 1) / 2;
  static const uint8_t kHeader[8] = {0x07, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00};
  int status = out.Append(kHeader, 8);
  if (status == 0) status = out.Append("RSA2", 4);
  if (status == 0) status = AppendLe32(out, bits);
  if (status == 0) status = AppendLe32(out, public_exponent);
  if (status == 0) status = AppendLittleEndian(out, key.Modulus, full);
  for (const core::BufferCore* part : {&key.P, &key.Q, &key.DP, &key.DQ, &key.InverseQ}) {
    if (status == 0) status = AppendLittleEndian(out, *part, half);
  }
  if (status == 0) status = AppendLittleEndian(out, key.D, full);
  return status;
}

int DsaToCryptoApiPrivateBlob(const DsaKeyParams& params, core::BufferCore& out) {
  const Significant p = SignificantOf(params.P), q = SignificantOf(params.Q), x = SignificantOf(params.X);
  if (x.length == 0) return kNoPrivateKey;
  if (p.length == 0 || q.length == 0) return kUnreadableKey;
  static const uint8_t kHeader[8] = {0x07, 0x03, 0x00, 0x00, 0x00, 0x22, 0x00, 0x00};
  int status = out.Append(kHeader, 8);
  if (status == 0) status = out.Append("DSS4", 4);
  for (const int32_t length : {p.length, q.length, 0, x.length}) {
    if (status == 0) status = AppendLe32(out, static_cast<uint32_t>(length) * 8);
  }
  if (status == 0) status = AppendLe32(out, 0xFFFFFFFFu);
  if (status == 0) status = out.AppendRepeatedByte(20, 0);
  if (status == 0) status = AppendLittleEndian(out, params.P, p.length);
  if (status == 0) status = AppendLittleEndian(out, params.Q, q.length);
  if (status == 0) status = AppendLittleEndian(out, params.G, p.length);
  if (status == 0) status = AppendLittleEndian(out, params.Y, p.length);
  if (status == 0) status = AppendLittleEndian(out, params.X, x.length);
  return status;
}

int PemBodyToBinary(core::BufferCore& out, const char* label, const void* data, int32_t length) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (int32_t i = 0; i < length; ++i) {
    if (bytes[i] > 127) return out.SetData(length, data);
  }
  if (const int status = out.SetData(length, data); status != 0) return status;
  const int32_t found = label != nullptr && label[0] != '\0' ? out.Find(label, 0) : -1;
  if (found >= 0) {
    int32_t end = found;
    while (end < out.Length()) {
      const char c = out.Data()[end];
      ++end;
      if (c == '\n' || (c == '\r' && (end >= out.Length() || out.Data()[end] != '\n'))) break;
    }
    if (const int status = out.Delete(0, end); status != 0) return status;
    const int32_t dashes = out.Find("---", 0);
    if (dashes >= 0) {
      if (const int status = out.Resize(dashes); status != 0) return status;
    }
  }
  return core::Base64Decode(out, 0, 0, 1);
}

int FreeCertificateContext(const platform::CERT_CONTEXT*& context) {
  if (context != nullptr && component::Crypt32Entry(2) != nullptr) (void)component::CertFreeCertificateContext(context);
  context = nullptr;
  return 0;
}

}  // namespace velmora::crypto
