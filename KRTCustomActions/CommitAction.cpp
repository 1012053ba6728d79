// Commit: lays the runtime down under the install root by running the payload
// program, turns each line it prints into a tick of the progress bar, then puts
// the runtime library folder on the machine-wide search path and registers the
// runtime's COM servers.
#include "Actions.h"
#include "CommitProgress.h"
#include "ComServerRegistration.h"
#include "Messaging.h"
#include "PathText.h"
#include "Resources.h"
#include "SystemSearchPath.h"

#include <cerrno>

namespace krt {

namespace {

const char kCommandLineFormat[] = "_KRTInstaller.exe -o -d \"%s";
const char kCommandLineFixed[] = "_KRTInstaller.exe -o -d \"\"";

// The payload program's command line, into a buffer of size bytes (the fixed
// characters, the root, its doubled backslashes and the terminator): the root
// between double quotes, with extraBackslashes more backslashes before the
// closing one.
void ComposeCommandLine(char* out, std::size_t size, const char* root, std::size_t extraBackslashes) {
    const int written = std::snprintf(out, size, kCommandLineFormat, root);
    std::size_t end = written < 0 ? 0 : static_cast<std::size_t>(written);
    if (end >= size) end = size - 1;
    for (std::size_t i = 0; i < extraBackslashes && end + 2 < size; ++i) out[end++] = '\\';
    if (end + 1 < size) out[end++] = '"';
    out[end] = '\0';
}

unsigned long LastError() {
    return static_cast<unsigned long>(GetLastError());
}

// Puts the process's previous standard output handle back when Commit is done
// with the pipe, however it ends.
class StdOutputSwitch {
public:
    StdOutputSwitch() : m_previous(GetStdHandle(STD_OUTPUT_HANDLE)) {}
    ~StdOutputSwitch() { restore(); }
    StdOutputSwitch(const StdOutputSwitch&) = delete;
    StdOutputSwitch& operator=(const StdOutputSwitch&) = delete;

    BOOL set(HANDLE handle) {
        const BOOL ok = SetStdHandle(STD_OUTPUT_HANDLE, handle);
        m_switched = ok != FALSE;
        return ok;
    }
    void restore() {
        if (m_switched) SetStdHandle(STD_OUTPUT_HANDLE, m_previous);
        m_switched = false;
    }

private:
    HANDLE m_previous;
    bool m_switched = false;
};

}  // namespace

UINT RunCommit(MSIHANDLE hInstall) {
    // The install root comes from Install, earlier in this process.
    const char* targetDirValue = std::getenv("TargetDir");
    if (!targetDirValue || targetDirValue[0] == '\0') {
        LogInfo(hInstall, "TargetDir is not set in the process environment");
        ReportError(hInstall,
                    "Aborting installation - the install root is not set (the Install action did not run "
                    "before Commit).",
                    kErrorStyle);
        return kUserExit;
    }
    // Our own copy: the environment's strings may move once PATH is replaced.
    const std::size_t rootLen = std::strlen(targetDirValue);
    HeapText installRoot(rootLen + 1);
    if (!installRoot) return Abort(hInstall, kMsgOutOfMemory, "new", ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(installRoot.get(), targetDirValue, rootLen + 1);
    const char* previousPathValue = std::getenv("PATH");
    const char* previousPath = previousPathValue ? previousPathValue : "";

    // The payload program is started by its bare name: head PATH with the root.
    const std::size_t assignmentSize = rootLen + std::strlen(previousPath) + 7;
    HeapText pathAssignment(assignmentSize);
    if (!pathAssignment) return Abort(hInstall, kMsgOutOfMemory, "new", ERROR_NOT_ENOUGH_MEMORY);
    std::snprintf(pathAssignment.get(), assignmentSize, "PATH=%s;%s", installRoot.get(), previousPath);
    if (_putenv(pathAssignment.get()) != 0) {
        const unsigned long error = static_cast<unsigned long>(errno);
        pathAssignment.reset();
        return Abort(hInstall, kMsgLocalVariable, "_putenv(PATH)", error);
    }

    HANDLE hCurrentProcess = GetCurrentProcess();

    // An inheritable pipe; the payload program gets the write end as its
    // standard output and standard error.
    SECURITY_ATTRIBUTES securityAttrs;
    securityAttrs.nLength = sizeof(SECURITY_ATTRIBUTES);
    securityAttrs.lpSecurityDescriptor = nullptr;
    securityAttrs.bInheritHandle = TRUE;
    ScopedHandle hZipPipeRD;
    ScopedHandle hZipPipeWR;
    if (!CreatePipe(hZipPipeRD.out(), hZipPipeWR.out(), &securityAttrs, 0)) {
        const unsigned long error = LastError();
        pathAssignment.reset();
        return Abort(hInstall, "Aborting installation - could not create system pipe.", "CreatePipe", error);
    }

    StdOutputSwitch stdOutput;
    if (!stdOutput.set(hZipPipeWR.get())) {
        const unsigned long error = LastError();
        pathAssignment.reset();
        return Abort(hInstall, "Aborting installation - could not configure system pipe.", "SetStdHandle", error);
    }

    // Only a non-inheritable duplicate of the read end is kept, so the payload
    // program does not inherit the read end.
    ScopedHandle hZipPipeRDDup;
    if (!DuplicateHandle(hCurrentProcess, hZipPipeRD.get(), hCurrentProcess, hZipPipeRDDup.out(), 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        const unsigned long error = LastError();
        pathAssignment.reset();
        return Abort(hInstall, "Aborting installation - could not copy read handle.", "DuplicateHandle", error);
    }
    hZipPipeRD.close();

    STARTUPINFOA startInfo;
    std::memset(&startInfo, 0, sizeof startInfo);
    startInfo.cb = sizeof(STARTUPINFOA);
    startInfo.hStdOutput = hZipPipeWR.get();
    startInfo.hStdError = hZipPipeWR.get();
    startInfo.dwFlags |= STARTF_USESTDHANDLES;
    PROCESS_INFORMATION procInfo;
    std::memset(&procInfo, 0, sizeof procInfo);

    // Backslashes that end the root (a drive's root, C:\) stand before the
    // closing quote, where the program's command-line parser reads each pair as
    // one backslash and a lone one as an escaped quote: they are doubled so that
    // the root arrives intact.
    const std::size_t trailingBackslashes = TrailingBackslashes(installRoot.get());
    const std::size_t commandLineSize = rootLen + trailingBackslashes + std::strlen(kCommandLineFixed) + 1;
    HeapText commandLine(commandLineSize);
    if (!commandLine) return Abort(hInstall, kMsgOutOfMemory, "new", ERROR_NOT_ENOUGH_MEMORY);
    ComposeCommandLine(commandLine.get(), commandLineSize, installRoot.get(), trailingBackslashes);

    if (!CreateProcessA(nullptr, commandLine.get(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr, nullptr,
                        &startInfo, &procInfo)) {
        const unsigned long error = LastError();
        LogInfo(hInstall, "could not start: %s", commandLine.get());
        commandLine.reset();
        pathAssignment.reset();
        return Abort(hInstall, "Aborting installation - could not spawn unzip process.", "CreateProcessA", error);
    }
    LogInfo(hInstall, "started: %s", commandLine.get());
    ScopedHandle hProcess;
    *hProcess.out() = procInfo.hProcess;
    CloseHandle(procInfo.hThread);
    commandLine.reset();
    pathAssignment.reset();
    stdOutput.restore();

    // From here the payload program holds the only write end, so the pipe ends
    // once the program has closed its output.
    if (!hZipPipeWR.close()) {
        return Abort(hInstall, "Aborting installation - could not close pipe's write handle.", "CloseHandle",
                     LastError());
    }

    // The progress record lives until Commit returns.
    ScopedRecord hProgressRec(MsiCreateRecord(3));
    const UINT progress = RunPayloadProgress(hInstall, hProgressRec.get(), hProcess.get(), hZipPipeRDDup.get());
    if (progress != kSuccess) return progress;
    hProcess.close();
    hZipPipeRDDup.close();

    if (AddSystemPathEntry(hInstall, installRoot.get()) != kSuccess) return kUserExit;
    if (RegisterRuntimeComServers(hInstall, installRoot.get()) != kSuccess) return kUserExit;
    return kSuccess;
}

}  // namespace krt

extern "C" UINT WINAPI Commit(MSIHANDLE hInstall) {
    return krt::GuardAction("Commit", krt::RunCommit, hInstall);
}
