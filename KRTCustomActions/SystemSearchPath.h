// The runtime library folder's entry in the machine-wide search path (the
// system Path value under the machine environment key).
#pragma once

#include "ModuleState.h"

namespace krt {

// Adds installRoot\v71\runtime\win32 to the system Path value unless an entry
// equal to it is there already, broadcasts the change and replaces the process
// PATH with the value's text. installRoot has no final backslash (TargetDir).
UINT AddSystemPathEntry(MSIHANDLE hInstall, const char* installRoot);

// Cuts every entry equal to installRoot\v71\runtime\win32 out of the system Path
// value, writes it back and broadcasts the change. installRoot is TARGETDIR as
// read, with or without its final backslash.
UINT RemoveSystemPathEntry(MSIHANDLE hInstall, const char* installRoot);

}  // namespace krt
