// Registration of the runtime's COM server libraries through their own
// self-registration entries.
#pragma once

#include "ModuleState.h"

namespace krt {

// Why RegisterComServer gave false: the call that failed and its status, for the
// installer's log.
struct ComServerFailure {
    const char* call = nullptr;
    long status = 0;
};

// Loads the library at libraryPath, calls DllRegisterServer (register true) or
// DllUnregisterServer (false) and unloads it. True when it loaded, the entry
// returned a success result (S_FALSE included) and it unloaded again.
bool RegisterComServer(const char* libraryPath, bool registerServer, ComServerFailure* failure = nullptr);

// Registers zqcommgr.dll, then zqcomutil.dll, from installRoot\v71\runtime\win32;
// stops at the first that fails. installRoot has no final backslash (TargetDir).
UINT RegisterRuntimeComServers(MSIHANDLE hInstall, const char* installRoot);

}  // namespace krt
