// The function lists of the modules the module table hands out. A list is constant data reached through a
// function, so that the table itself needs no start-up code: the library's own load-time set-up may look a
// function up before any dynamic initialisation has run.
#pragma once

namespace velmora::platform {

struct ProcEntry {
  const char* name;
  void* (*address)();
};

struct ProcList {
  const ProcEntry* procs;
  int count;
};

// The crypto modules, defined beside their entry points in platform/crypto/ (empty lists in builds without
// them).
ProcList BcryptProcs();
ProcList AdvapiProcs();
ProcList Crypt32Procs();
ProcList Secur32Procs();
ProcList NcryptProcs();

}  // namespace velmora::platform
