#include "platform/modules.h"

#include <cstring>
#include <iterator>
#include <mutex>

#include "platform/last_error.h"
#include "platform/module_procs.h"
#include "platform/os_version.h"
#include "platform/sockets.h"
#include "platform/text.h"
#include "platform/win_codes.h"

namespace velmora::platform {

struct ModuleRecord {
  const char* name;
  bool present;
  ProcList (*procs)();
  int loads;
  bool forced_missing;
};

#if !VELMORABLE_PLATFORM_CRYPTO
ProcList BcryptProcs() { return {}; }
ProcList AdvapiProcs() { return {}; }
ProcList Crypt32Procs() { return {}; }
ProcList Secur32Procs() { return {}; }
ProcList NcryptProcs() { return {}; }
#endif

namespace {

constexpr ProcEntry kWs2Procs[] = {
    {"getaddrinfo", []() -> void* { return reinterpret_cast<void*>(&GetAddrInfo); }},
    {"freeaddrinfo", []() -> void* { return reinterpret_cast<void*>(&FreeAddrInfo); }},
    {"getnameinfo", []() -> void* { return reinterpret_cast<void*>(&GetNameInfo); }},
    {"gethostbyaddr", []() -> void* { return reinterpret_cast<void*>(&GetHostByAddr); }},
};

constexpr ProcEntry kNtdllProcs[] = {
    {"RtlGetVersion", []() -> void* { return reinterpret_cast<void*>(&FillOsVersionRecord); }},
};

#if VELMORABLE_PLATFORM_CRYPTO
constexpr bool kCryptoModulesPresent = true;
#else
// Built without the crypto modules: they stay listed, absent.
constexpr bool kCryptoModulesPresent = false;
#endif

ProcList Ws2Procs() { return {kWs2Procs, static_cast<int>(std::size(kWs2Procs))}; }
ProcList NtdllProcs() { return {kNtdllProcs, static_cast<int>(std::size(kNtdllProcs))}; }
ProcList NoProcs() { return {}; }

std::mutex g_modules_mutex;

// Functions a test made missing: (module, function name) pairs, looked up by GetProc.
struct MissingProc {
  const ModuleRecord* module;
  const char* name;  // the table's own name string
};
MissingProc g_missing_procs[16];
int g_missing_proc_count = 0;

// The modules this system knows. Absent ones stay listed so that the test hook and the counts treat every
// name alike.
ModuleRecord g_modules[] = {
    {"ws2_32", true, &Ws2Procs, 0, false},
    {"ntdll", true, &NtdllProcs, 0, false},
    {"qwave", true, &NoProcs, 0, false},
    {"bcrypt", kCryptoModulesPresent, &BcryptProcs, 0, false},
    {"advapi32", kCryptoModulesPresent, &AdvapiProcs, 0, false},
    {"ncrypt", kCryptoModulesPresent, &NcryptProcs, 0, false},
    {"secur32", kCryptoModulesPresent, &Secur32Procs, 0, false},
    {"crypt32", kCryptoModulesPresent, &Crypt32Procs, 0, false},
    {"netapi32", false, &NoProcs, 0, false},
};

// FindModule matches a module name without regard to case, with or without a ".dll" suffix.
ModuleRecord* FindModule(const char* name) {
  if (name == nullptr) return nullptr;
  size_t len = std::strlen(name);
  if (len > 4 && CompareAsciiNoCase(name + len - 4, ".dll") == 0) len -= 4;
  for (ModuleRecord& record : g_modules) {
    const size_t record_len = std::strlen(record.name);
    if (record_len != len) continue;
    bool same = true;
    for (size_t i = 0; i < len && same; ++i) {
      same = AsciiLower(static_cast<unsigned char>(name[i])) == static_cast<unsigned char>(record.name[i]);
    }
    if (same) return &record;
  }
  return nullptr;
}

bool IsProcMissing(const ModuleRecord* module, const char* name) {
  std::lock_guard<std::mutex> lock(g_modules_mutex);
  for (int i = 0; i < g_missing_proc_count; ++i) {
    if (g_missing_procs[i].module == module && g_missing_procs[i].name == name) return true;
  }
  return false;
}

}  // namespace

ModuleHandle LoadModule(const char* name) {
  std::lock_guard<std::mutex> lock(g_modules_mutex);
  ModuleRecord* record = FindModule(name);
  if (record == nullptr || !record->present || record->forced_missing) {
    SetLastError(kErrorModNotFound);
    return nullptr;
  }
  record->loads++;
  return record;
}

void* GetProc(ModuleHandle module, const char* name) {
  if (module != nullptr && name != nullptr) {
    const ProcList list = module->procs();
    for (int i = 0; i < list.count; ++i) {
      if (std::strcmp(list.procs[i].name, name) == 0 && !IsProcMissing(module, list.procs[i].name)) {
        return list.procs[i].address();
      }
    }
  }
  SetLastError(kErrorProcNotFound);
  return nullptr;
}

bool FreeModule(ModuleHandle module) {
  std::lock_guard<std::mutex> lock(g_modules_mutex);
  if (module == nullptr || module->loads == 0) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  module->loads--;
  return true;
}

namespace test {

void SetModuleMissing(const char* name, bool missing) {
  std::lock_guard<std::mutex> lock(g_modules_mutex);
  if (ModuleRecord* record = FindModule(name)) record->forced_missing = missing;
}

void SetProcMissing(const char* module, const char* name, bool missing) {
  std::lock_guard<std::mutex> lock(g_modules_mutex);
  const ModuleRecord* record = FindModule(module);
  if (record == nullptr || name == nullptr) return;
  const char* table_name = nullptr;
  const ProcList list = record->procs();
  for (int i = 0; i < list.count && table_name == nullptr; ++i) {
    if (std::strcmp(list.procs[i].name, name) == 0) table_name = list.procs[i].name;
  }
  if (table_name == nullptr) return;
  for (int i = 0; i < g_missing_proc_count; ++i) {
    if (g_missing_procs[i].module == record && g_missing_procs[i].name == table_name) {
      if (!missing) g_missing_procs[i] = g_missing_procs[--g_missing_proc_count];
      return;
    }
  }
  if (missing && g_missing_proc_count < static_cast<int>(std::size(g_missing_procs))) {
    g_missing_procs[g_missing_proc_count++] = {record, table_name};
  }
}

int ModuleLoadCount(const char* name) {
  std::lock_guard<std::mutex> lock(g_modules_mutex);
  const ModuleRecord* record = FindModule(name);
  return record != nullptr ? record->loads : 0;
}

}  // namespace test

}  // namespace velmora::platform
