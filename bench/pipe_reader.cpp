// krt_pipe_reader COMMAND LINE: starts the command line with its standard
// output and standard error on an anonymous pipe, reads the pipe to its end
// with plain blocking reads and prints the seconds from the start to the
// program's end. The floor under which no progress stage can bring an
// installation: how fast the payload itself writes into a pipe on this system.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main() {
    // The command line after this program's own name, as given.
    const char* line = GetCommandLineA();
    const bool quoted = *line == '"';
    for (++line; *line != '\0' && (quoted ? *line != '"' : *line != ' '); ++line) {
    }
    if (quoted && *line == '"') ++line;
    while (*line == ' ') ++line;
    if (*line == '\0') {
        std::fprintf(stderr, "usage: krt_pipe_reader COMMAND LINE\n");
        return 2;
    }
    char command[32768];
    std::snprintf(command, sizeof command, "%s", line);

    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        std::fprintf(stderr, "CreatePipe failed with error %lu\n", GetLastError());
        return 1;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startInfo;
    std::memset(&startInfo, 0, sizeof startInfo);
    startInfo.cb = sizeof startInfo;
    startInfo.dwFlags = STARTF_USESTDHANDLES;
    startInfo.hStdOutput = writeEnd;
    startInfo.hStdError = writeEnd;
    PROCESS_INFORMATION procInfo;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr, nullptr, &startInfo,
                        &procInfo)) {
        std::fprintf(stderr, "CreateProcessA(%s) failed with error %lu\n", command, GetLastError());
        return 1;
    }
    CloseHandle(writeEnd);
    CloseHandle(procInfo.hThread);
    char buffer[8192];
    DWORD got = 0;
    unsigned long long bytes = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes += got;
    WaitForSingleObject(procInfo.hProcess, INFINITE);
    QueryPerformanceCounter(&end);
    std::printf("%.3f %llu\n", double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart), bytes);
    return 0;
}
