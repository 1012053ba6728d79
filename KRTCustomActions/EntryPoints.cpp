// The library's entry function, the export guard and Rollback.
#include "Actions.h"
#include "Messaging.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}

namespace krt {

UINT GuardAction(const char* name, UINT (*body)(MSIHANDLE), MSIHANDLE hInstall) {
    try {
        const UINT outcome = body(hInstall);
        return outcome == kSuccess ? kSuccess : kUserExit;
    } catch (...) {
        LogInfo(hInstall, "%s ended by an unexpected internal error", name);
        ReportError(hInstall, "Aborting installation - unexpected internal error.", kErrorStyle);
        return kUserExit;
    }
}

}  // namespace krt

// Rollback undoes nothing: what Commit did stays on the machine.
extern "C" UINT WINAPI Rollback(MSIHANDLE) {
    return krt::kSuccess;
}
