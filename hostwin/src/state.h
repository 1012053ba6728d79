// Internal state of the stand-in platform, shared by its source files.
//
// One State exists per process. It is created on first use and never destroyed,
// so that calls made while the process exits (a library's DllMain, a static
// destructor) still find it. Every access goes through the one recursive mutex;
// calls that block (pipe reads, waits, sleeps, the message handler, DllMain)
// release it first.
#pragma once

#include <hostwin/control.h>

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace hostwin::detail {

using Lock = std::unique_lock<std::recursive_mutex>;
std::recursive_mutex& mutex();

// ---- Installer ----------------------------------------------------------------

struct Session {
    std::map<std::string, std::string> properties;
};

struct Record {
    std::vector<Field> fields;  // fields 0..n
};

// ---- Registry -------------------------------------------------------------------

struct RegEntry {
    std::string name;  // as first written
    DWORD type = REG_NONE;
    std::string data;
};

struct RegKey {
    std::string path;                       // as first written
    std::map<std::string, RegEntry> values;  // by lower-case name
};

using RegStore = std::map<std::string, RegKey>;  // by lower-case path

// ---- Kernel objects ---------------------------------------------------------------

struct Proc {
    pid_t pid = 0;
    int pidfd = -1;  // -1 when the kernel has no pidfd_open
    bool ended = false;
    DWORD exitCode = STILL_ACTIVE;
    bool terminated = false;  // TerminateProcess asked for terminateCode
    DWORD terminateCode = 0;
    bool exitCodeGiven = false;  // set_next_exit_code chose the code it reports
    DWORD givenExitCode = 0;
    ~Proc();
};

struct KObject {
    std::string kind;             // "pipe-read", "pipe-write", "process", "thread", "console"
    int fd = -1;                  // pipe ends and console handles
    std::shared_ptr<Proc> proc;   // processes and threads
    bool console = false;         // the default standard handles over fds 0-2: never listed, never closed
    bool crtOwned = false;        // handed to _open_osfhandle: the descriptor owns the fd now
    dev_t dev = 0;                // identity of the fd when it was handed over
    ino_t ino = 0;
};

// ---- Modules -------------------------------------------------------------------------

struct Module {
    void* dl = nullptr;
    int refs = 0;
    std::string path;      // the name it was loaded by (or the path found by searching)
    std::string hostPath;  // what dlopen was given
};

// ---- Faults and log ------------------------------------------------------------------

struct Fault {
    std::string function;
    int remaining = 1;  // calls until it fires
    bool always = false;
    std::uint32_t error = 0;
};

struct State {
    // Installer: sessions and records share one handle counter.
    MSIHANDLE nextMsiHandle = 1;
    std::map<MSIHANDLE, Session> sessions;
    std::map<MSIHANDLE, Record> records;
    std::vector<Message> messages;
    MessageHandler handler;
    int unknownCloses = 0;

    // Registry.
    RegStore keys;
    std::map<std::uintptr_t, std::string> openKeys;  // handle value -> key path as opened
    std::uintptr_t nextKey = 0x1000;

    // Kernel objects: handle value -> object.
    std::map<std::uintptr_t, KObject> objects;
    std::uintptr_t nextHandle = 4;
    HANDLE stdHandles[3] = {nullptr, nullptr, nullptr};
    std::vector<pid_t> orphans;  // children whose last handle closed before they were reaped
    std::vector<ProcessStart> starts;
    bool nextExitCodeSet = false;  // set_next_exit_code, for the next start
    DWORD nextExitCode = 0;

    // Modules: handle value -> module.
    std::map<std::uintptr_t, Module> modules;
    std::uintptr_t nextModule = 0x10000;

    // Faults, log, hook.
    std::vector<Fault> faults;
    std::vector<Call> calls;
    CallHook hook;
};

State& state();

// Creates the three console handles for fds 0-2 and makes them the standard handles.
void install_default_std_handles(State& s);
// Closes every kernel object (fds included), kills children still held by a handle.
void reset_kernel(State& s);
// Runs every module's DllMain(DLL_PROCESS_DETACH) and unloads it. Takes the
// lock itself and releases it around each DllMain.
void reset_modules();

// ---- One call of a stand-in function ----------------------------------------------------
//
// Constructed first thing in a call: runs the call hook (before), and on enter()
// logs the call and consults the fault table. Its destructor runs the hook (after).
class Scope {
public:
    explicit Scope(const char* function);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

    // Logs the call with its detail. Returns true when an injected fault applies.
    bool enter(const std::string& detail);
    // The injected error, or the given default when the fault named none.
    std::uint32_t injected(std::uint32_t usual) const { return error_ != 0 ? error_ : usual; }
    // Marks the logged call as failed.
    void failed();
    // Appends text to the logged detail (e.g. the reason of a failure).
    void note(const std::string& text);
    // Marks failed, sets the thread's last error, returns FALSE.
    BOOL fail_bool(DWORD error);

private:
    const char* function_;
    std::size_t index_ = static_cast<std::size_t>(-1);
    std::uint32_t error_ = 0;
};

// Runs body and turns any exception into the given failure value, so that no
// exception leaves an extern "C" function.
template <class R, class F>
R guarded(R onError, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return onError;
    }
}

template <class F>
void guarded_void(F&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

// ---- Shared helpers --------------------------------------------------------------------------

std::string lower(const std::string& text);
std::string hex(std::uint32_t value);
// A drive path mapped by host_path; any other text with its backslashes turned
// into slashes, so that relative Windows paths name the same host files.
std::string file_path(const char* windowsPath);
// True for "X:..." or any text holding a backslash.
bool is_windows_form(const std::string& path);
// The folders searched for a bare program or library name: the current folder,
// then each folder of the process PATH.
std::vector<std::string> search_folders();
// Finds a file by the Windows rules: a name with a folder part is taken as it
// is, a bare name is looked for in search_folders(); defaultExtension (".exe",
// ".dll") is tried after the plain name when the name has no extension.
bool find_file(const std::string& name, const char* defaultExtension, std::string* hostPath);
// A lead byte of the ANSI code page; the length of the character at pos (2 for
// a lead byte with its trail byte, else 1).
bool lead_byte(unsigned char byte);
std::size_t char_length(const std::string& text, std::size_t pos);
// The kernel handle table (callers hold the lock).
HANDLE add_object(KObject object);
KObject* find_object(HANDLE handle);  // null for an unknown handle
void drop_object(HANDLE handle);      // closes its fd (unless console or crt-owned) and forgets it
// Whether a child started with bInheritHandles TRUE would receive this fd.
bool fd_inheritable(int fd);
// Collects the exit status of a child without blocking; true once it has ended.
bool reap(Proc& proc);

// The kind of a kernel handle for logs ("pipe-write", "null", "current-process", "unknown").
std::string handle_kind(HANDLE handle);
// Lists the fds open in this process.
std::vector<int> open_fds();

}  // namespace hostwin::detail
