// Optional system modules: the libraries the components load at run time and look functions up in. Each is
// either present, with the functions this system provides for it, or absent, exactly as a library that is
// missing from a machine. Present now: "ws2_32" (name resolution), "ntdll" (version record) and "qwave"
// (no functions yet), and, in builds with the platform crypto modules, "bcrypt", "advapi32", "ncrypt",
// "crypt32" and "secur32" (platform/crypto/). Absent on this system: "netapi32".
#pragma once

#include <cstdint>

namespace velmora::platform {

struct ModuleRecord;
// ModuleHandle names a loaded module; null is "not loaded".
using ModuleHandle = ModuleRecord*;

// LoadModule loads a module by name ("ws2_32.dll" or "ws2_32", any case) and counts the load. Returns its
// handle, or null with last error 126 when the module is absent (or made absent by the test hook). Any thread.
ModuleHandle LoadModule(const char* name);
// GetProc returns the module's function of that name (cast it to its documented type), or null with last
// error 127.
void* GetProc(ModuleHandle module, const char* name);
// FreeModule undoes one LoadModule. Returns false with last error 6 for a null handle or a module that is
// not loaded.
bool FreeModule(ModuleHandle module);

namespace test {
// SetModuleMissing makes LoadModule of the named module fail (missing true) or work again. Process-wide.
void SetModuleMissing(const char* name, bool missing);
// SetProcMissing makes GetProc of one function of a module give null with last error 127 (missing true)
// or find it again. Process-wide; at most 16 functions are missing at a time.
void SetProcMissing(const char* module, const char* name, bool missing);
// ModuleLoadCount is the number of loads of the named module not yet freed.
int ModuleLoadCount(const char* name);
}  // namespace test

}  // namespace velmora::platform
