// The payload programs that a test's Commit started: whether they still run,
// and ending those that do, so that no program outlives its test.
#pragma once

#include <hostwin/control.h>

#include <signal.h>
#include <sys/types.h>
#include <time.h>

#include <fstream>
#include <iterator>
#include <string>

namespace sweep {

// The state letter of /proc/PID/stat ('Z' for an ended child not yet
// collected), or 0 when there is no such process.
inline char ProcessState(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) return 0;
    return text[close + 2];
}

inline bool Running(pid_t pid) {
    const char state = ProcessState(pid);
    return state != 0 && state != 'Z' && state != 'X';
}

// Waits until pid has ended, up to about timeoutMs; true when it has.
inline bool AwaitEnd(pid_t pid, int timeoutMs) {
    for (int i = 0; i < timeoutMs && Running(pid); ++i) {
        timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
    return !Running(pid);
}

inline void KillIfRunning(pid_t pid) {
    if (pid > 0 && Running(pid)) {
        kill(pid, SIGKILL);
        AwaitEnd(pid, 5000);
    }
}

// Ends every program started through the stand-in that is still running.
inline void KillStartedPrograms() {
    for (const hostwin::ProcessStart& start : hostwin::process_starts())
        KillIfRunning(static_cast<pid_t>(start.pid));
}

}  // namespace sweep
