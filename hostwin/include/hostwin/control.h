// Test-side controls of the stand-in Windows platform.
//
// One instance of the platform's state exists per process (libhostwin is a shared
// library), so the test, the driver, the custom-action library and any COM server
// library loaded by LoadLibraryA all see the same sessions, registry and logs.
#pragma once

#include <hostwin/hostwin.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hostwin {

// ---- Whole state -------------------------------------------------------------

// Forgets every session, record, registry key, fault, hook and log entry, and
// closes every module and kernel handle the stand-in holds. The process
// environment and HOSTWIN_ROOT are left as they are.
// Details: modules get DllMain(DLL_PROCESS_DETACH) before they are unloaded; a
// child process still held by an open handle is killed and collected; an fd
// handed to _open_osfhandle stays open (its descriptor or FILE owns it); the
// standard handles return to the console handles of fds 0-2; installer handles
// count from 1 again.
void reset();

// ---- Paths --------------------------------------------------------------------

// Host folder that drive paths map into: $HOSTWIN_ROOT, or ./sim when unset.
std::string root();
// Sets HOSTWIN_ROOT in the process environment (children inherit it).
void set_root(const std::string& hostDir);
// X:\a\b -> <root>/X/a/b; X: and X:a -> <root>/X/Windows/System32[/a]; any
// other text is returned unchanged.
std::string host_path(const std::string& windowsPath);

// ---- The ANSI code page ---------------------------------------------------------

// 1252 (single-byte, the default) or 932 (lead bytes 0x81-0x9F and 0xE0-0xFC,
// each followed by one trail byte, which may be 0x5C, the backslash byte).
// Kept in HOSTWIN_ACP, so that child processes use the same one; reset() leaves
// it as it is. Paths and command lines are read character by character in it.
UINT ansi_code_page();
void set_ansi_code_page(UINT codePage);

// ---- Installer sessions --------------------------------------------------------

// A new installation handle, with no properties defined.
MSIHANDLE create_session();
void set_property(MSIHANDLE session, const std::string& name, const std::string& value);
void close_session(MSIHANDLE session);

struct Field {
    enum Kind { Null, Integer, String } kind = Null;
    int integer = 0;
    std::string text;
    bool operator==(const Field& other) const {
        return kind == other.kind && integer == other.integer && text == other.text;
    }
};

// One MsiProcessMessage call that reached a known session with a valid record.
struct Message {
    MSIHANDLE session = 0;
    std::int32_t type = 0;      // the message type exactly as passed
    std::vector<Field> fields;  // field 0 first, a copy taken when it was sent
    int answer = 0;             // what the stand-in answered
};

const std::vector<Message>& messages();
// The text the installer shows or logs for a message: field 0 is a template in
// which [n] stands for field n, [NAME] for the session's property NAME (empty
// when it is not defined) and [\c] for the character c; a {...} group that
// holds a reference disappears when a property it names is not defined, and
// is otherwise shown without its braces.
std::string formatted_text(const Message& message);
void clear_messages();

// Decides the answer to each message. Without a handler every message is
// answered IDOK.
using MessageHandler = std::function<int(const Message&)>;
void set_message_handler(MessageHandler handler);
// Convenience: answer IDCANCEL to the Nth progress increment (a progress record
// whose field 1 is 2), counting from 1; IDOK to everything else. 0 switches it off.
void cancel_at_increment(int n);

// Record handles created and not yet closed, in creation order.
std::vector<MSIHANDLE> open_records();
// Calls of MsiCloseHandle with a handle the stand-in does not know (0 included).
int unknown_handle_closes();

// ---- Registry ------------------------------------------------------------------

// Key paths are written in full from the root, e.g.
// "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment".
// Lookups ignore letter case; the case first written is kept.
struct RegValue {
    DWORD type = REG_NONE;
    std::string data;  // raw bytes exactly as stored, a terminating NUL only if stored
};

void reg_set(const std::string& keyPath, const std::string& name, DWORD type, const std::string& data);
// A REG_SZ/REG_EXPAND_SZ text stored with its terminating NUL.
void reg_set_text(const std::string& keyPath, const std::string& name, DWORD type, const std::string& text);
bool reg_get(const std::string& keyPath, const std::string& name, RegValue* value);
bool reg_delete_value(const std::string& keyPath, const std::string& name);
bool reg_key_exists(const std::string& keyPath);
void reg_clear();
// Registry as JSON: {"KEY PATH": {"VALUE NAME": {"type": N, "data": "TEXT"}}}; a
// text value stored without a terminating NUL carries "terminated": false; data of
// other types is written as text too, bytes outside ASCII escaped as \u00XX.
std::string registry_to_json();
// Replaces the registry with the JSON's content. On a syntax error returns false,
// leaves the registry unchanged and puts the reason in *error.
bool registry_from_json(const std::string& json, std::string* error);
// Registry keys opened or created and not yet closed.
int open_key_count();

// The machine environment key's path and a starting registry holding a
// plausible machine Path of type REG_EXPAND_SZ.
extern const char* const kEnvironmentKey;
void reg_set_default_machine();

// ---- Kernel handles ----------------------------------------------------------------

// Kernel handles (pipe ends, processes, threads) open in this process, as short
// descriptions such as "pipe-read", "pipe-write", "process", "thread".
// The default standard handles (fds 0-2, kind "console") are not listed. A handle
// given to _open_osfhandle is listed while its descriptor is still open.
std::vector<std::string> open_handles();

// One successful CreateProcessA, as the stand-in saw it.
struct ProcessStart {
    std::string application;       // lpApplicationName, "" when null
    std::string commandLine;       // lpCommandLine as passed, "" when null
    std::string program;           // host path of the program started
    std::vector<std::string> argv; // split_command_line of the command line
    BOOL inheritHandles = FALSE;
    DWORD creationFlags = 0;
    bool environmentGiven = false; // a non-null environment block was passed
    std::string currentDirectory;  // as passed, "" when null
    DWORD startupFlags = 0;        // STARTUPINFOA.dwFlags
    HANDLE stdInput = nullptr, stdOutput = nullptr, stdError = nullptr;  // as passed
    std::string stdInputKind, stdOutputKind, stdErrorKind;              // e.g. "null", "pipe-write"
    DWORD pid = 0;
};
const std::vector<ProcessStart>& process_starts();

// The next process that CreateProcessA starts reports `code` from
// GetExitCodeProcess once it has ended, whatever status it ends with (unless
// TerminateProcess ends it): Linux
// keeps only the low 8 bits of a status, so a code such as STILL_ACTIVE (259)
// cannot come from the program itself. reset() drops a code not yet used.
void set_next_exit_code(DWORD code);

// ---- Fault injection and the call log ---------------------------------------------

// Makes the nth call (counting from 1, from now) of the named stand-in function
// fail with the given error: the registry and installer calls return it, the
// kernel calls return their failure value and leave it for GetLastError,
// _putenv/_open_osfhandle/_close return -1, _fdopen null, SHFileOperationA returns it.
// error 0 takes the function's usual failure code. nth 0 fails every call.
void fail(const std::string& function, int nth = 1, std::uint32_t error = 0);
// Parses "Func[:N][=ERR][,Func[:N][=ERR]...]" (N and ERR decimal or 0x hex);
// returns false, adding nothing, on a syntax error or a name that is not a
// stand-in function. The environment variable HOSTWIN_FAIL is read this way when
// the library loads; reset() and clear_faults() drop those faults too.
bool fail_from_spec(const std::string& spec);
void clear_faults();

// Every stand-in call is logged except GetLastError, SetLastError and the record
// getters (MsiRecordGetInteger, MsiRecordGetStringA, MsiRecordIsNull,
// MsiRecordGetFieldCount). The detail of the calls the kit makes:
//   MsiGetPropertyA      "<name>"                    MsiSetPropertyA  "<name>=<value>"
//   MsiCreateRecord      "<field count>"             MsiCloseHandle   "record <h>", "session <h>", "unknown <h>"
//   MsiRecordSetStringA  "<h> <field> <text>"        MsiRecordSetInteger "<h> <field> <value>"
//   MsiProcessMessage    "<type as 0x%08X> <record handle>"
//   RegOpenKeyExA, RegCreateKeyExA, RegCloseKey   "<full key path>"
//   RegQueryValueExA     "<full key path> : <value name> : size query"
//                        "<full key path> : <value name> : data read <buffer length>"
//   RegSetValueExA       "<full key path> : <value name> : type <t> : <n> bytes"
//   RegDeleteValueA      "<full key path> : <value name>"
//   SendMessageTimeoutA  "window=0xffff message=0x1a wParam=0 lParam=Environment flags=0x2 timeout=5000 result=none|given"
//   CreatePipe "inherit" | "no-inherit"              SetStdHandle, GetStdHandle "STD_OUTPUT_HANDLE <kind>"
//   DuplicateHandle "<kind> inherit=<0|1> options=<n>"  CloseHandle "<kind>" ("unknown" when not a handle)
//   CreateProcessA "<command line>" (the application name when the command line is null)
//   GetExitCodeProcess, TerminateProcess "<kind>"    WaitForSingleObject "<kind> <ms>"
//   ReadFile, WriteFile "<kind> <byte count>"       PeekNamedPipe "<kind>"
//   LoadLibraryA "<name as passed>"  GetProcAddress "<name>"  FreeLibrary, GetModuleFileNameA "<module path>"
//   SHFileOperationA "func=<n> flags=0x<f> from=<path>[;<path>...]"
//   GetFileAttributesA, CreateDirectoryA "<path>"    CopyFileA "<from> -> <to>"
//   _putenv "<name>"   _open_osfhandle "<kind> flags=0x<f>"   _fdopen "<fd> <mode>"   _close "<fd>"
struct Call {
    std::string function;
    std::string detail;  // the arguments that matter, e.g. a key path or a handle's kind
    bool failed = false; // true when the call failed, injected or not
};
const std::vector<Call>& calls();
void clear_calls();

// Called at the start of every stand-in call (before == true) and after it
// (before == false), with the function's name; lets a test change the world
// between two calls, e.g. make a registry value grow after a size query.
using CallHook = std::function<void(const std::string& function, bool before)>;
void set_call_hook(CallHook hook);

// ---- Windows command lines -------------------------------------------------------

// Splits a command line the way a Windows program's start-up does.
std::vector<std::string> split_command_line(const std::string& commandLine);

}  // namespace hostwin
