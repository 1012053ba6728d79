// Kernel handles over file descriptors: the handle table, pipes, standard
// handles, duplication, reads and writes, and the C runtime's descriptors.
//
// A HANDLE is a small multiple of 4 that indexes the table; it is never null,
// never INVALID_HANDLE_VALUE and never reused within a process. A pipe end owns
// one fd. An inheritable handle is an fd without FD_CLOEXEC.
#include "state.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace hostwin::detail {

HANDLE add_object(KObject object) {
    State& s = state();
    std::uintptr_t v = s.nextHandle;
    s.nextHandle += 4;
    s.objects.emplace(v, std::move(object));
    return reinterpret_cast<HANDLE>(v);
}

KObject* find_object(HANDLE handle) {
    auto it = state().objects.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == state().objects.end() ? nullptr : &it->second;
}

void drop_object(HANDLE handle) {
    auto it = state().objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == state().objects.end()) return;
    KObject& o = it->second;
    if (o.fd >= 0 && !o.console && !o.crtOwned) ::close(o.fd);
    state().objects.erase(it);
}

bool fd_inheritable(int fd) {
    int flags = ::fcntl(fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) == 0;
}

void install_default_std_handles(State& s) {
    static const char* const names[3] = {"console", "console", "console"};
    for (int i = 0; i < 3; ++i) {
        KObject o;
        o.kind = names[i];
        o.fd = i;
        o.console = true;
        std::uintptr_t v = s.nextHandle;
        s.nextHandle += 4;
        s.objects.emplace(v, o);
        s.stdHandles[i] = reinterpret_cast<HANDLE>(v);
    }
}

std::string handle_kind(HANDLE handle) {
    if (handle == nullptr) return "null";
    if (handle == INVALID_HANDLE_VALUE) return "current-process";
    Lock lock(mutex());
    KObject* o = find_object(handle);
    return o ? o->kind : "unknown";
}

std::vector<int> open_fds() {
    std::vector<int> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        long max = ::sysconf(_SC_OPEN_MAX);
        if (max < 0 || max > 65536) max = 65536;
        for (int fd = 0; fd < max; ++fd)
            if (::fcntl(fd, F_GETFD) >= 0) fds.push_back(fd);
        return fds;
    }
    int self = ::dirfd(dir);
    while (dirent* e = ::readdir(dir)) {
        char* end = nullptr;
        long fd = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || fd == self) continue;
        fds.push_back(static_cast<int>(fd));
    }
    ::closedir(dir);
    return fds;
}

namespace {

int std_index(DWORD which) {
    if (which == STD_INPUT_HANDLE) return 0;
    if (which == STD_OUTPUT_HANDLE) return 1;
    if (which == STD_ERROR_HANDLE) return 2;
    return -1;
}

const char* std_name(DWORD which) {
    switch (std_index(which)) {
    case 0: return "STD_INPUT_HANDLE";
    case 1: return "STD_OUTPUT_HANDLE";
    case 2: return "STD_ERROR_HANDLE";
    default: return "unknown";
    }
}

bool set_inheritable(int fd, bool inheritable) {
    int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0) return false;
    flags = inheritable ? (flags & ~FD_CLOEXEC) : (flags | FD_CLOEXEC);
    return ::fcntl(fd, F_SETFD, flags) == 0;
}

bool is_pipe(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

// Whether a crt-owned entry's fd is still the one it was handed over as.
bool crt_fd_alive(const KObject& o) {
    struct stat st;
    return ::fstat(o.fd, &st) == 0 && st.st_dev == o.dev && st.st_ino == o.ino;
}

DWORD errno_to_error(int e) {
    switch (e) {
    case EBADF: return ERROR_INVALID_HANDLE;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_ACCESS_DENIED;
    }
}

// Writes all of it with SIGPIPE held back, so that a pipe without a reader
// gives EPIPE to the caller instead of ending the process.
ssize_t write_all_nosigpipe(int fd, const char* data, std::size_t size, int* error) {
    sigset_t pipeSet, old, pending;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
    sigpending(&pending);
    bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;

    std::size_t done = 0;
    *error = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = errno;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (*error == EPIPE && !alreadyPending) {
        timespec zero{0, 0};
        sigtimedwait(&pipeSet, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return static_cast<ssize_t>(done);
}

}  // namespace

}  // namespace hostwin::detail

namespace hostwin {

using namespace detail;

std::vector<std::string> open_handles() {
    Lock lock(mutex());
    std::vector<std::string> out;
    auto& objects = state().objects;
    for (auto it = objects.begin(); it != objects.end();) {
        KObject& o = it->second;
        if (o.console) {
            ++it;
            continue;
        }
        if (o.crtOwned && !crt_fd_alive(o)) {
            // Its descriptor has been closed (fclose): the handle went with it.
            it = objects.erase(it);
            continue;
        }
        out.push_back(o.kind);
        ++it;
    }
    return out;
}

const std::vector<ProcessStart>& process_starts() {
    Lock lock(mutex());
    return state().starts;
}

}  // namespace hostwin

namespace hostwin::detail {

// The descriptor behind a handle that has one; -1 otherwise.
static int object_fd(HANDLE handle) {
    Lock lock(mutex());
    KObject* o = find_object(handle);
    return o == nullptr ? -1 : o->fd;
}

}  // namespace hostwin::detail

using namespace hostwin;
using namespace hostwin::detail;

extern "C" {

BOOL WINAPI CreatePipe(PHANDLE readPipe, PHANDLE writePipe, LPSECURITY_ATTRIBUTES attributes, DWORD size) {
    (void)size;
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        Scope s("CreatePipe");
        bool inherit = attributes != nullptr && attributes->bInheritHandle;
        if (s.enter(inherit ? "inherit" : "no-inherit")) return s.fail_bool(s.injected(ERROR_ACCESS_DENIED));
        if (readPipe == nullptr || writePipe == nullptr) return s.fail_bool(ERROR_INVALID_PARAMETER);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return s.fail_bool(errno_to_error(errno));
        if (inherit) {
            set_inheritable(fds[0], true);
            set_inheritable(fds[1], true);
        }
        Lock lock(mutex());
        KObject r, w;
        r.kind = "pipe-read";
        r.fd = fds[0];
        w.kind = "pipe-write";
        w.fd = fds[1];
        *readPipe = add_object(r);
        *writePipe = add_object(w);
        return TRUE;
    });
}

// Only the process's table of standard handles changes: as on Windows, the C
// runtime's descriptors 0-2 stay as they are.
BOOL WINAPI SetStdHandle(DWORD which, HANDLE handle) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        Scope s("SetStdHandle");
        if (s.enter(std::string(std_name(which)) + " " + handle_kind(handle)))
            return s.fail_bool(s.injected(ERROR_ACCESS_DENIED));
        int i = std_index(which);
        if (i < 0) return s.fail_bool(ERROR_INVALID_HANDLE);
        Lock lock(mutex());
        state().stdHandles[i] = handle;
        return TRUE;
    });
}

HANDLE WINAPI GetStdHandle(DWORD which) {
    return guarded<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        Scope s("GetStdHandle");
        int i = std_index(which);
        HANDLE h = nullptr;
        if (i >= 0) {
            Lock lock(mutex());
            h = state().stdHandles[i];
        }
        if (s.enter(std::string(std_name(which)) + " " + handle_kind(h))) {
            s.fail_bool(s.injected(ERROR_ACCESS_DENIED));
            return INVALID_HANDLE_VALUE;
        }
        if (i < 0) {
            s.fail_bool(ERROR_INVALID_HANDLE);
            return INVALID_HANDLE_VALUE;
        }
        return h;
    });
}

BOOL WINAPI DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, LPHANDLE target,
                            DWORD desiredAccess, BOOL inheritHandle, DWORD options) {
    (void)desiredAccess;
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        Scope s("DuplicateHandle");
        if (s.enter(handle_kind(source) + " inherit=" + (inheritHandle ? "1" : "0") +
                    " options=" + std::to_string(options)))
            return s.fail_bool(s.injected(ERROR_ACCESS_DENIED));
        // Only handles of this process, into this process.
        if (sourceProcess != INVALID_HANDLE_VALUE || targetProcess != INVALID_HANDLE_VALUE)
            return s.fail_bool(ERROR_INVALID_HANDLE);
        Lock lock(mutex());
        KObject* o = find_object(source);
        if (o == nullptr) return s.fail_bool(ERROR_INVALID_HANDLE);
        if (target == nullptr) {
            if (options & DUPLICATE_CLOSE_SOURCE) {
                drop_object(source);
                return TRUE;
            }
            return s.fail_bool(ERROR_INVALID_PARAMETER);
        }
        KObject copy;
        copy.kind = o->kind;
        copy.proc = o->proc;
        if (o->fd >= 0) {
            int fd = ::fcntl(o->fd, F_DUPFD_CLOEXEC, 3);
            if (fd < 0) {
                DWORD e = errno_to_error(errno);
                if (options & DUPLICATE_CLOSE_SOURCE) drop_object(source);
                return s.fail_bool(e);
            }
            if (inheritHandle) set_inheritable(fd, true);
            copy.fd = fd;
        }
        if (options & DUPLICATE_CLOSE_SOURCE) drop_object(source);
        *target = add_object(copy);
        return TRUE;
    });
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        Scope s("CloseHandle");
        if (s.enter(handle_kind(handle))) return s.fail_bool(s.injected(ERROR_ACCESS_DENIED));
        if (handle == INVALID_HANDLE_VALUE) return TRUE;  // the current-process pseudo handle
        Lock lock(mutex());
        KObject* o = find_object(handle);
        // A handle given to _open_osfhandle belongs to its descriptor now.
        if (o == nullptr || o->crtOwned) return s.fail_bool(ERROR_INVALID_HANDLE);
        drop_object(handle);
        return TRUE;
    });
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPVOID overlapped) {
    (void)overlapped;
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        Scope s("ReadFile");
        if (s.enter(handle_kind(file) + " " + std::to_string(toRead)))
            return s.fail_bool(s.injected(ERROR_ACCESS_DENIED));
        if (read) *read = 0;
        const int fd = object_fd(file);
        if (fd < 0) return s.fail_bool(ERROR_INVALID_HANDLE);
        if (buffer == nullptr && toRead > 0) return s.fail_bool(ERROR_INVALID_PARAMETER);
        ssize_t n;
        do {
            n = ::read(fd, buffer, toRead);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return s.fail_bool(errno_to_error(errno));
        // The end of a pipe is an error on Windows; the end of a file is not.
        if (n == 0 && toRead > 0 && is_pipe(fd)) return s.fail_bool(ERROR_BROKEN_PIPE);
        if (read) *read = static_cast<DWORD>(n);
        return TRUE;
    });
}

BOOL WINAPI PeekNamedPipe(HANDLE pipe, LPVOID buffer, DWORD bufferSize, LPDWORD bytesRead, LPDWORD totalAvail,
                          LPDWORD bytesLeftThisMessage) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        Scope s("PeekNamedPipe");
        if (s.enter(handle_kind(pipe))) return s.fail_bool(s.injected(ERROR_ACCESS_DENIED));
        if (buffer != nullptr && bufferSize > 0) return s.fail_bool(ERROR_INVALID_PARAMETER);
        const int fd = object_fd(pipe);
        if (fd < 0 || !is_pipe(fd)) return s.fail_bool(ERROR_INVALID_HANDLE);
        int waiting = 0;
        if (::ioctl(fd, FIONREAD, &waiting) != 0) return s.fail_bool(errno_to_error(errno));
        if (waiting == 0) {
            // An empty pipe without writers has ended, as ReadFile would report.
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) != 0) return s.fail_bool(ERROR_BROKEN_PIPE);
        }
        if (bytesRead) *bytesRead = 0;
        if (totalAvail) *totalAvail = static_cast<DWORD>(waiting);
        if (bytesLeftThisMessage) *bytesLeftThisMessage = 0;
        return TRUE;
    });
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPVOID overlapped) {
    (void)overlapped;
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        Scope s("WriteFile");
        if (s.enter(handle_kind(file) + " " + std::to_string(toWrite)))
            return s.fail_bool(s.injected(ERROR_ACCESS_DENIED));
        if (written) *written = 0;
        const int fd = object_fd(file);
        if (fd < 0) return s.fail_bool(ERROR_INVALID_HANDLE);
        if (buffer == nullptr && toWrite > 0) return s.fail_bool(ERROR_INVALID_PARAMETER);
        int error = 0;
        ssize_t n = write_all_nosigpipe(fd, static_cast<const char*>(buffer), toWrite, &error);
        if (written) *written = static_cast<DWORD>(n);
        if (error != 0) return s.fail_bool(errno_to_error(error));
        return TRUE;
    });
}

// The descriptor is the handle's own fd and takes ownership of it: closing the
// descriptor (fclose) closes the handle, and CloseHandle on it fails from now on.
int _open_osfhandle(std::intptr_t osHandle, int flags) {
    return guarded<int>(-1, [&]() -> int {
        Scope s("_open_osfhandle");
        HANDLE h = reinterpret_cast<HANDLE>(osHandle);
        if (s.enter(handle_kind(h) + " flags=" + hex(static_cast<std::uint32_t>(flags)))) {
            errno = EBADF;
            return -1;
        }
        Lock lock(mutex());
        KObject* o = find_object(h);
        struct stat st;
        if (o == nullptr || o->fd < 0 || o->crtOwned || o->console || ::fstat(o->fd, &st) != 0) {
            s.failed();
            errno = EBADF;
            return -1;
        }
        o->crtOwned = true;
        o->dev = st.st_dev;
        o->ino = st.st_ino;
        return o->fd;
    });
}

int _close(int fd) {
    return guarded<int>(-1, [&]() -> int {
        Scope s("_close");
        if (s.enter(std::to_string(fd))) {
            errno = EBADF;
            return -1;
        }
        Lock lock(mutex());
        // The handle owned by this descriptor goes with it.
        auto& objects = state().objects;
        for (auto it = objects.begin(); it != objects.end(); ++it) {
            if (it->second.crtOwned && it->second.fd == fd && crt_fd_alive(it->second)) {
                objects.erase(it);
                break;
            }
        }
        if (::close(fd) != 0) {
            s.failed();
            return -1;
        }
        return 0;
    });
}

FILE* _fdopen(int fd, const char* mode) {
    return guarded<FILE*>(nullptr, [&]() -> FILE* {
        Scope s("_fdopen");
        if (s.enter(std::to_string(fd) + " " + (mode ? mode : "(null)"))) {
            errno = EBADF;
            return nullptr;
        }
        if (mode == nullptr) {
            s.failed();
            errno = EINVAL;
            return nullptr;
        }
        // Text and binary mode read the same bytes here.
        std::string m;
        for (const char* p = mode; *p; ++p)
            if (*p != 't' && *p != 'b') m += *p;
        FILE* f = ::fdopen(fd, m.c_str());
        if (f == nullptr) s.failed();
        return f;
    });
}

}  // extern "C"
