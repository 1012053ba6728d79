#include "Messaging.h"

#include "PathText.h"

#include <cerrno>
#include <cstdarg>

namespace krt {

const char kMsgLocalVariable[] = "Aborting installation - could not create local environment variable.";
const char kMsgOutOfMemory[] = "Aborting installation - not enough memory.";

namespace {

const char kTargetDirProperty[] = "TARGETDIR";
const char kMsgPropertyNotFound[] = "Invalid Windows installer database - %s property not found.";
const char kMsgNotAbsolute[] =
    "Aborting installation - the TARGETDIR property is not an absolute folder path: \"%s\".";

// The template of the records whose text is ours to lay out: field 1 shown as
// it is, so that brackets and braces in a path the user chose are not taken
// for references to fields or properties.
const char kVerbatimTemplate[] = "[1]";

// Sends a record of fieldCount fields whose text is shown as it is: field 1
// under the template [1].
int SendVerbatim(MSIHANDLE hInstall, INSTALLMESSAGE type, UINT fieldCount, const char* text) {
    ScopedRecord record(MsiCreateRecord(fieldCount));
    MsiRecordSetStringA(record.get(), 0, kVerbatimTemplate);
    MsiRecordSetStringA(record.get(), 1, text);
    return MsiProcessMessage(hInstall, type, record.get());
}

}  // namespace

int ReportError(MSIHANDLE hInstall, const char* text, UINT style) {
    ScopedRecord pMSIHandle(MsiCreateRecord(2));
    MsiRecordSetStringA(pMSIHandle.get(), 0, text);
    return MsiProcessMessage(hInstall, INSTALLMESSAGE(INSTALLMESSAGE_USER + style), pMSIHandle.get());
}

int ReportErrorVerbatim(MSIHANDLE hInstall, const char* text, UINT style) {
    return SendVerbatim(hInstall, INSTALLMESSAGE(INSTALLMESSAGE_USER + style), 2, text);
}

void LogInfo(MSIHANDLE hInstall, const char* format, ...) {
    char line[kMessageBufferSize];
    const int prefix = std::snprintf(line, sizeof line, "KRTCustomActions: ");
    va_list args;
    va_start(args, format);
    std::vsnprintf(line + prefix, sizeof line - prefix, format, args);
    va_end(args);

    SendVerbatim(hInstall, INSTALLMESSAGE_INFO, 1, line);
}

UINT Abort(MSIHANDLE hInstall, const char* message, const char* failedCall, unsigned long status) {
    LogInfo(hInstall, "%s failed with status %lu", failedCall, status);
    ReportError(hInstall, message, kErrorStyle);
    return kUserExit;
}

void SetProgressReset(MSIHANDLE hRecord, int total) {
    MsiRecordSetInteger(hRecord, 1, 0);
    MsiRecordSetInteger(hRecord, 2, total);
    MsiRecordSetInteger(hRecord, 3, 0);
}

void SetProgressIncrement(MSIHANDLE hRecord, int ticks) {
    MsiRecordSetInteger(hRecord, 1, 2);
    MsiRecordSetInteger(hRecord, 2, ticks);
    MsiRecordSetInteger(hRecord, 3, 0);
}

UINT ReadInstallRoot(MSIHANDLE hInstall, char* targetDir, DWORD* targetDirLen) {
    *targetDirLen = kPropertyBufferSize;
    const UINT status = MsiGetPropertyA(hInstall, kTargetDirProperty, targetDir, targetDirLen);
    // An undefined TARGETDIR reads as an empty value; there is no install root to
    // work on then, and an empty root would make every path relative.
    if (status != ERROR_SUCCESS || targetDir[0] == '\0') {
        LogInfo(hInstall, "MsiGetPropertyA(%s) gave status %u, length %lu", kTargetDirProperty, status,
                static_cast<unsigned long>(status == ERROR_SUCCESS ? 0 : *targetDirLen));
        std::snprintf(g_messageBuffer, sizeof g_messageBuffer, kMsgPropertyNotFound, kTargetDirProperty);
        ReportError(hInstall, g_messageBuffer, kErrorStyle);
        return kUserExit;
    }
    // A relative root would put the runtime, and an entry of the machine-wide
    // search path, wherever the installer's current folder happens to be.
    if (!IsAbsoluteFolder(targetDir)) {
        LogInfo(hInstall, "TARGETDIR \"%s\" is not an absolute folder path", targetDir);
        std::snprintf(g_messageBuffer, sizeof g_messageBuffer, kMsgNotAbsolute, targetDir);
        ReportErrorVerbatim(hInstall, g_messageBuffer, kErrorStyle);
        return kUserExit;
    }
    // One final backslash stands for all: C:\Apps\Kit\\ names the same folder as
    // C:\Apps\Kit\, and the search path entry must be spelt the same way for
    // either, or a removal would never find what an installation added.
    for (std::size_t extra = TrailingBackslashes(targetDir); extra > 1; --extra) targetDir[--*targetDirLen] = '\0';
    return kSuccess;
}

}  // namespace krt
