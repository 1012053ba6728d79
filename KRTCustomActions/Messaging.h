// Everything the actions say to the installer: error messages, progress
// records, diagnostics for the installer's log, and the install-root property.
#pragma once

#include "ModuleState.h"

namespace krt {

// Owner of one installer record handle; closes it when its scope ends.
class ScopedRecord {
public:
    explicit ScopedRecord(MSIHANDLE handle) : m_handle(handle) {}
    ~ScopedRecord() {
        if (m_handle != 0) MsiCloseHandle(m_handle);
    }
    ScopedRecord(const ScopedRecord&) = delete;
    ScopedRecord& operator=(const ScopedRecord&) = delete;

    MSIHANDLE get() const { return m_handle; }

private:
    MSIHANDLE m_handle;
};

// Shows text as an installer message box (INSTALLMESSAGE_USER plus style);
// returns the installer's answer.
int ReportError(MSIHANDLE hInstall, const char* text, UINT style);

// The same for a text of our own that holds what the user chose (a folder
// path): shown exactly as it is, never expanded as the installer's template.
int ReportErrorVerbatim(MSIHANDLE hInstall, const char* text, UINT style);

// Writes one line to the installer's log (an INSTALLMESSAGE_INFO record), as it
// is. Never shown to the user and never changes an action's outcome.
void LogInfo(MSIHANDLE hInstall, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// The usual way a step fails: logs the failed call with its platform status,
// shows the message as an error and gives the outcome that ends the action.
UINT Abort(MSIHANDLE hInstall, const char* message, const char* failedCall, unsigned long status);

// Progress record layouts: reset the bar to `total` ticks, moving forward; and
// move it on by `ticks`.
void SetProgressReset(MSIHANDLE hRecord, int total);
void SetProgressIncrement(MSIHANDLE hRecord, int ticks);

// Reads TARGETDIR into targetDir (kPropertyBufferSize bytes) and its length into
// *targetDirLen. A failed read, an empty value and a value that is not an
// absolute folder path (X:\... or \\server\share...) are reported to the user;
// the result is then kUserExit, otherwise kSuccess.
UINT ReadInstallRoot(MSIHANDLE hInstall, char* targetDir, DWORD* targetDirLen);

// Messages shared by several actions.
extern const char kMsgLocalVariable[];
extern const char kMsgOutOfMemory[];

}  // namespace krt
