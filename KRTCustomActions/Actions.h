// The exported custom actions, and the bodies they run.
#pragma once

#include "ModuleState.h"

extern "C" {
UINT WINAPI Commit(MSIHANDLE hInstall);
UINT WINAPI Install(MSIHANDLE hInstall);
UINT WINAPI Rollback(MSIHANDLE hInstall);
UINT WINAPI Uninstall(MSIHANDLE hInstall);
}

namespace krt {

UINT RunInstall(MSIHANDLE hInstall);
UINT RunCommit(MSIHANDLE hInstall);
UINT RunUninstall(MSIHANDLE hInstall);

// Runs an action body so that nothing escapes the export: an exception becomes
// an error message and kUserExit, and any other outcome than the two codes is
// reported as kUserExit.
UINT GuardAction(const char* name, UINT (*body)(MSIHANDLE), MSIHANDLE hInstall);

}  // namespace krt
