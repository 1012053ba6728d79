// Real child processes: CreateProcessA over posix_spawn, exit codes, waits.
//
// Exit codes: a child that exits gives its exit status; one ended by
// TerminateProcess gives the code TerminateProcess was given; one ended by any
// other signal gives 128 + the signal number, as a shell reports it.
#include "state.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <set>

extern char** environ;

namespace hostwin::detail {

Proc::~Proc() {
    if (pidfd >= 0) ::close(pidfd);
    // Collected later, so that it does not stay a zombie.
    if (!ended) {
        Lock lock(mutex());
        state().orphans.push_back(pid);
    }
}

namespace {

DWORD exit_code_of(const Proc& p, int status) {
    if (p.exitCodeGiven && !p.terminated) return p.givenExitCode;
    if (WIFEXITED(status)) return static_cast<DWORD>(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) {
        if (p.terminated && WTERMSIG(status) == SIGKILL) return p.terminateCode;
        return 128u + static_cast<DWORD>(WTERMSIG(status));
    }
    return 0;
}

void reap_orphans(State& s) {
    auto& o = s.orphans;
    o.erase(std::remove_if(o.begin(), o.end(),
                           [](pid_t pid) {
                               int status;
                               pid_t r = ::waitpid(pid, &status, WNOHANG);
                               return r == pid || (r < 0 && errno == ECHILD);
                           }),
            o.end());
}

std::int64_t now_ms() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(std::int64_t ms) {
    if (ms <= 0) return;
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int pidfd_open(pid_t pid) {
#ifdef SYS_pidfd_open
    long fd = ::syscall(SYS_pidfd_open, pid, 0);
    return fd < 0 ? -1 : static_cast<int>(fd);
#else
    (void)pid;
    return -1;
#endif
}

DWORD spawn_error(int e) {
    switch (e) {
    case ENOENT:
    case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_ACCESS_DENIED;
    }
}

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Owners of the posix_spawn objects.
struct SpawnActions {
    posix_spawn_file_actions_t fa;
    SpawnActions() { posix_spawn_file_actions_init(&fa); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&fa); }
};
struct SpawnAttr {
    posix_spawnattr_t attr;
    SpawnAttr() { posix_spawnattr_init(&attr); }
    ~SpawnAttr() { posix_spawnattr_destroy(&attr); }
};

}  // namespace

bool reap(Proc& p) {
    if (p.ended) return true;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(p.pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == p.pid) {
        p.ended = true;
        p.exitCode = exit_code_of(p, status);
    } else if (r < 0 && errno == ECHILD) {
        // Collected by someone else: its status is lost.
        p.ended = true;
        p.exitCode = 0;
    }
    if (p.ended && p.pidfd >= 0) {
        ::close(p.pidfd);
        p.pidfd = -1;
    }
    return p.ended;
}

void reset_kernel(State& s) {
    // Children still held by a handle were forgotten by their starter: end them.
    std::set<Proc*> held;
    for (auto& entry : s.objects)
        if (entry.second.proc && !entry.second.proc->ended) held.insert(entry.second.proc.get());
    for (Proc* p : held) {
        if (reap(*p)) continue;
        ::kill(p->pid, SIGKILL);
        int status;
        while (::waitpid(p->pid, &status, 0) < 0 && errno == EINTR) {
        }
        p->ended = true;
        p->exitCode = exit_code_of(*p, status);
    }
    std::vector<HANDLE> all;
    for (auto& entry : s.objects) all.push_back(reinterpret_cast<HANDLE>(entry.first));
    for (HANDLE h : all) drop_object(h);
    reap_orphans(s);
    install_default_std_handles(s);
    s.nextExitCodeSet = false;
}

}  // namespace hostwin::detail

namespace hostwin {

void set_next_exit_code(DWORD code) {
    detail::Lock lock(detail::mutex());
    detail::state().nextExitCodeSet = true;
    detail::state().nextExitCode = code;
}

}  // namespace hostwin

using namespace hostwin;
using namespace hostwin::detail;

extern "C" {

HANDLE WINAPI GetCurrentProcess(void) {
    return guarded<HANDLE>(nullptr, [&]() -> HANDLE {
        Scope s("GetCurrentProcess");
        if (s.enter("")) return nullptr;
        return INVALID_HANDLE_VALUE;
    });
}

BOOL WINAPI CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                           LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                           LPVOID environment, LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                           LPPROCESS_INFORMATION processInformation) {
    (void)processAttributes;
    (void)threadAttributes;
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        Scope s("CreateProcessA");
        std::string line = commandLine ? commandLine : (applicationName ? applicationName : "");
        if (s.enter(line)) return s.fail_bool(s.injected(ERROR_ACCESS_DENIED));
        if (startupInfo == nullptr || processInformation == nullptr ||
            (commandLine == nullptr && applicationName == nullptr))
            return s.fail_bool(ERROR_INVALID_PARAMETER);

        // The program and its arguments.
        std::vector<std::string> args = split_command_line(line);
        if (args.empty()) return s.fail_bool(ERROR_FILE_NOT_FOUND);
        std::string program;
        if (applicationName != nullptr) {
            // Taken as given: no search and no default extension.
            program = file_path(applicationName);
            struct stat st;
            if (::stat(program.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return s.fail_bool(ERROR_FILE_NOT_FOUND);
        } else if (!find_file(args[0], ".exe", &program)) {
            return s.fail_bool(ERROR_FILE_NOT_FOUND);
        }
        if (program[0] != '/') {
            char cwd[PATH_MAX];
            if (::getcwd(cwd, sizeof cwd) == nullptr) return s.fail_bool(ERROR_PATH_NOT_FOUND);
            program = std::string(cwd) + "/" + program;
        }

        std::string folder;
        if (currentDirectory != nullptr) {
            folder = file_path(currentDirectory);
            if (!is_directory(folder)) return s.fail_bool(ERROR_DIRECTORY);
        }

        // An environment block: "NAME=VALUE\0...\0\0".
        std::vector<std::string> envStrings;
        if (environment != nullptr) {
            const char* p = static_cast<const char*>(environment);
            while (*p != '\0') {
                envStrings.emplace_back(p);
                p += envStrings.back().size() + 1;
            }
        }

        Lock lock(mutex());
        State& st = state();
        reap_orphans(st);

        // What the child's fds 0-2 come from. A handle reaches the child only when
        // it is inheritable and handles are inherited, as on Windows; any other
        // standard handle, and a null one, becomes /dev/null.
        const bool useStd = (startupInfo->dwFlags & STARTF_USESTDHANDLES) != 0;
        HANDLE given[3] = {startupInfo->hStdInput, startupInfo->hStdOutput, startupInfo->hStdError};
        int source[3] = {-1, -1, -1};
        if (useStd) {
            for (int i = 0; i < 3; ++i) {
                KObject* o = find_object(given[i]);
                if (o != nullptr && o->fd >= 0 && inheritHandles && fd_inheritable(o->fd)) source[i] = o->fd;
            }
        }

        std::vector<int> fds = open_fds();
        std::set<int> openSet(fds.begin(), fds.end());
        SpawnActions actions;
        posix_spawn_file_actions_t* fa = &actions.fa;
        if (!folder.empty()) posix_spawn_file_actions_addchdir_np(fa, folder.c_str());
        if (useStd) {
            // Through free temporary fds, so that no source is overwritten before it is used.
            int temp[3] = {-1, -1, -1};
            int candidate = 3;
            for (int i = 0; i < 3; ++i) {
                if (source[i] < 0) continue;
                while (openSet.count(candidate)) ++candidate;
                temp[i] = candidate++;
                posix_spawn_file_actions_adddup2(fa, source[i], temp[i]);
            }
            for (int i = 0; i < 3; ++i) {
                if (source[i] >= 0) {
                    posix_spawn_file_actions_adddup2(fa, temp[i], i);
                    posix_spawn_file_actions_addclose(fa, temp[i]);
                } else {
                    posix_spawn_file_actions_addopen(fa, i, "/dev/null", i == 0 ? O_RDONLY : O_WRONLY, 0);
                }
            }
            // The child's standard handle is the inherited handle itself: it must
            // hold no second copy of it under the parent's fd.
            std::set<int> done;
            for (int i = 0; i < 3; ++i)
                if (source[i] > 2 && done.insert(source[i]).second) posix_spawn_file_actions_addclose(fa, source[i]);
        }
        if (!inheritHandles) {
            for (int fd : fds)
                if (fd > 2 && fd_inheritable(fd)) posix_spawn_file_actions_addclose(fa, fd);
        }

        SpawnAttr attr;
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attr.attr, &none);
        posix_spawnattr_setsigdefault(&attr.attr, &all);
        posix_spawnattr_setflags(&attr.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& e : envStrings) envp.push_back(&e[0]);
        envp.push_back(nullptr);

        pid_t pid = 0;
        int r = ::posix_spawn(&pid, program.c_str(), fa, &attr.attr, argv.data(),
                              environment != nullptr ? envp.data() : environ);
        if (r != 0) return s.fail_bool(spawn_error(r));

        auto proc = std::make_shared<Proc>();
        proc->pid = pid;
        proc->pidfd = pidfd_open(pid);
        proc->exitCodeGiven = st.nextExitCodeSet;
        proc->givenExitCode = st.nextExitCode;
        st.nextExitCodeSet = false;
        KObject ph, th;
        ph.kind = "process";
        ph.proc = proc;
        th.kind = "thread";
        th.proc = proc;
        processInformation->hProcess = add_object(ph);
        processInformation->hThread = add_object(th);
        processInformation->dwProcessId = static_cast<DWORD>(pid);
        processInformation->dwThreadId = static_cast<DWORD>(pid);

        ProcessStart start;
        start.application = applicationName ? applicationName : "";
        start.commandLine = commandLine ? commandLine : "";
        start.program = program;
        start.argv = args;
        start.inheritHandles = inheritHandles;
        start.creationFlags = creationFlags;
        start.environmentGiven = environment != nullptr;
        start.currentDirectory = currentDirectory ? currentDirectory : "";
        start.startupFlags = startupInfo->dwFlags;
        start.stdInput = given[0];
        start.stdOutput = given[1];
        start.stdError = given[2];
        start.stdInputKind = handle_kind(given[0]);
        start.stdOutputKind = handle_kind(given[1]);
        start.stdErrorKind = handle_kind(given[2]);
        start.pid = static_cast<DWORD>(pid);
        st.starts.push_back(start);
        return TRUE;
    });
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        Scope s("GetExitCodeProcess");
        if (s.enter(handle_kind(process))) return s.fail_bool(s.injected(ERROR_ACCESS_DENIED));
        if (exitCode == nullptr) return s.fail_bool(ERROR_INVALID_PARAMETER);
        if (process == INVALID_HANDLE_VALUE) {
            *exitCode = STILL_ACTIVE;
            return TRUE;
        }
        Lock lock(mutex());
        KObject* o = find_object(process);
        if (o == nullptr || o->kind != "process") return s.fail_bool(ERROR_INVALID_HANDLE);
        *exitCode = reap(*o->proc) ? o->proc->exitCode : STILL_ACTIVE;
        return TRUE;
    });
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return guarded<DWORD>(WAIT_FAILED, [&]() -> DWORD {
        Scope s("WaitForSingleObject");
        if (s.enter(handle_kind(handle) + " " + std::to_string(milliseconds))) {
            s.fail_bool(s.injected(ERROR_ACCESS_DENIED));
            return WAIT_FAILED;
        }
        std::shared_ptr<Proc> proc;
        int pidfd = -1;
        {
            Lock lock(mutex());
            KObject* o = find_object(handle);
            if (o == nullptr || !o->proc) {
                s.fail_bool(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
            proc = o->proc;
            if (reap(*proc)) return WAIT_OBJECT_0;
            if (proc->pidfd >= 0) pidfd = ::fcntl(proc->pidfd, F_DUPFD_CLOEXEC, 0);
        }
        const bool forever = milliseconds == INFINITE;
        const std::int64_t deadline = now_ms() + milliseconds;
        for (;;) {
            std::int64_t left = forever ? -1 : deadline - now_ms();
            if (!forever && left < 0) left = 0;
            if (pidfd >= 0) {
                pollfd p{pidfd, POLLIN, 0};
                int timeout = forever ? -1 : static_cast<int>(std::min<std::int64_t>(left, INT_MAX));
                int r = ::poll(&p, 1, timeout);
                if (r < 0 && errno == EINTR) continue;
                if (r < 0) {
                    ::close(pidfd);
                    pidfd = -1;  // fall back to polling the status
                    continue;
                }
                Lock lock(mutex());
                if (r > 0 || reap(*proc)) {
                    // Readable: the child has ended and can be collected at once.
                    for (int i = 0; i < 100 && !reap(*proc); ++i) sleep_ms(1);
                    ::close(pidfd);
                    return WAIT_OBJECT_0;
                }
                ::close(pidfd);
                return WAIT_TIMEOUT;
            }
            {
                Lock lock(mutex());
                if (reap(*proc)) return WAIT_OBJECT_0;
            }
            if (!forever && left == 0) return WAIT_TIMEOUT;
            sleep_ms(forever ? 10 : std::min<std::int64_t>(std::max<std::int64_t>(left, 1), 10));
        }
    });
}

BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        Scope s("TerminateProcess");
        if (s.enter(handle_kind(process) + " " + std::to_string(exitCode)))
            return s.fail_bool(s.injected(ERROR_ACCESS_DENIED));
        Lock lock(mutex());
        KObject* o = find_object(process);
        if (o == nullptr || o->kind != "process") return s.fail_bool(ERROR_INVALID_HANDLE);
        Proc& p = *o->proc;
        if (reap(p)) return s.fail_bool(ERROR_ACCESS_DENIED);
        p.terminated = true;
        p.terminateCode = exitCode;
        if (::kill(p.pid, SIGKILL) != 0) return s.fail_bool(ERROR_ACCESS_DENIED);
        return TRUE;
    });
}

void WINAPI Sleep(DWORD milliseconds) {
    guarded_void([&] {
        Scope s("Sleep");
        if (s.enter(std::to_string(milliseconds))) return;
        sleep_ms(milliseconds);
    });
}

}  // extern "C"
