// Install: publishes the install root, TARGETDIR without its final backslash
// (a drive's root keeps it), as the process variable TargetDir, where Commit
// finds it later in the same installer host process.
#include "Actions.h"
#include "Messaging.h"
#include "PathText.h"

#include <cerrno>

namespace krt {

UINT RunInstall(MSIHANDLE hInstall) {
    char targetDir[kPropertyBufferSize];
    DWORD targetDirLen = kPropertyBufferSize;
    if (ReadInstallRoot(hInstall, targetDir, &targetDirLen) != kSuccess) return kUserExit;

    // Only a final backslash goes: a root typed without one keeps its last
    // letter, and a drive's root keeps its backslash (C: alone would name the
    // drive's current folder).
    if (EndsInBackslash(targetDir) && !IsDriveRoot(targetDir)) targetDir[targetDirLen - 1] = '\0';

    // At most 521 characters were read, so the assignment fits.
    char envCmd[547];
    std::snprintf(envCmd, sizeof envCmd, "TargetDir=%s", targetDir);
    if (_putenv(envCmd) != 0)
        return Abort(hInstall, "Aborting installation - could not create local environment variable", "_putenv",
                     static_cast<unsigned long>(errno));
    LogInfo(hInstall, "install root published as TargetDir=%s", targetDir);
    return kSuccess;
}

}  // namespace krt

extern "C" UINT WINAPI Install(MSIHANDLE hInstall) {
    return krt::GuardAction("Install", krt::RunInstall, hInstall);
}
