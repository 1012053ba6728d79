// The stand-in Windows platform for the host tier.
//
// Declares, with Windows' names, exactly the types, constants and calls that the
// launcher, the custom actions, the test payload and the test COM servers use,
// so that the same sources compile on Linux. The behaviour behind each call is
// what the kit expects of the real one; hostwin/control.h adds the test-only
// controls (sessions, registry contents, fault injection, call and message logs).
//
// Paths: a Windows drive path X:\a\b names the host path <root>/X/a/b, where
// <root> is the environment variable HOSTWIN_ROOT (default: ./sim), so that child
// processes map paths the same way. A drive path without a separator after its
// colon (C:, C:file) is relative to the drive's current folder, which is
// X:\Windows\System32 on every drive. Any other path is used as a host path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#define WINAPI
#define APIENTRY
#define CALLBACK
#define STDAPI extern "C" HRESULT

typedef std::uint8_t BYTE;
typedef std::uint16_t WORD;
typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
typedef std::uint32_t ULONG;
typedef unsigned int UINT;
typedef int BOOL;
typedef char CHAR;
typedef std::int32_t HRESULT;
typedef LONG LSTATUS;
typedef DWORD REGSAM;
typedef WORD FILEOP_FLAGS;
typedef std::uintptr_t ULONG_PTR;
typedef std::uintptr_t DWORD_PTR;
typedef std::uintptr_t WPARAM;
typedef std::intptr_t LPARAM;
typedef std::intptr_t LRESULT;
typedef DWORD_PTR* PDWORD_PTR;

typedef char* LPSTR;
typedef const char* LPCSTR;
typedef BYTE* LPBYTE;
typedef const BYTE* LPCBYTE;
typedef DWORD* LPDWORD;
typedef void* LPVOID;
typedef const void* LPCVOID;

typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef std::intptr_t(WINAPI* FARPROC)();

typedef std::uint32_t MSIHANDLE;

#define TRUE 1
#define FALSE 0
#ifndef MAX_PATH
#define MAX_PATH 260
#endif

// Error codes.
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_FILE_EXISTS 80L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_DIRECTORY 267L
#define ERROR_DLL_INIT_FAILED 1114L
#define ERROR_INSTALL_USEREXIT 1602L
#define ERROR_INSTALL_FAILURE 1603L
#define ERROR_FUNCTION_FAILED 1627L

// COM results.
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_FAIL ((HRESULT)0x80004005L)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

// Library entry function.
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

// Message boxes and their answers.
#define MB_OK 0x00000000L
#define MB_ICONERROR 0x00000010L
#define IDOK 1
#define IDCANCEL 2

// Windows Installer.
typedef enum tagINSTALLMESSAGE {
    INSTALLMESSAGE_FATALEXIT = 0x00000000L,
    INSTALLMESSAGE_ERROR = 0x01000000L,
    INSTALLMESSAGE_WARNING = 0x02000000L,
    INSTALLMESSAGE_USER = 0x03000000L,
    INSTALLMESSAGE_INFO = 0x04000000L,
    INSTALLMESSAGE_FILESINUSE = 0x05000000L,
    INSTALLMESSAGE_RESOLVESOURCE = 0x06000000L,
    INSTALLMESSAGE_OUTOFDISKSPACE = 0x07000000L,
    INSTALLMESSAGE_ACTIONSTART = 0x08000000L,
    INSTALLMESSAGE_ACTIONDATA = 0x09000000L,
    INSTALLMESSAGE_PROGRESS = 0x0A000000L,
    INSTALLMESSAGE_COMMONDATA = 0x0B000000L,
} INSTALLMESSAGE;
#define MSI_NULL_INTEGER ((int)0x80000000)

// Registry.
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

// Handles, pipes and processes.
#define INVALID_HANDLE_VALUE ((HANDLE)(std::intptr_t)-1)
#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)
#define DUPLICATE_CLOSE_SOURCE 0x00000001
#define DUPLICATE_SAME_ACCESS 0x00000002
#define STARTF_USESTDHANDLES 0x00000100
#define DETACHED_PROCESS 0x00000008
#define CREATE_NO_WINDOW 0x08000000
#define STILL_ACTIVE 259
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_TIMEOUT 258L
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *PPROCESS_INFORMATION, *LPPROCESS_INFORMATION;

// Window messages.
#define HWND_BROADCAST ((HWND)0xffff)
#define WM_SETTINGCHANGE 0x001A
#define SMTO_NORMAL 0x0000
#define SMTO_BLOCK 0x0001
#define SMTO_ABORTIFHUNG 0x0002

// Files and the shell's file operation.
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080

#define FO_MOVE 0x0001
#define FO_COPY 0x0002
#define FO_DELETE 0x0003
#define FO_RENAME 0x0004
#define FOF_MULTIDESTFILES 0x0001
#define FOF_CONFIRMMOUSE 0x0002
#define FOF_SILENT 0x0004
#define FOF_RENAMEONCOLLISION 0x0008
#define FOF_NOCONFIRMATION 0x0010
#define FOF_WANTMAPPINGHANDLE 0x0020
#define FOF_ALLOWUNDO 0x0040
#define FOF_FILESONLY 0x0080
#define FOF_SIMPLEPROGRESS 0x0100
#define FOF_NOCONFIRMMKDIR 0x0200
#define FOF_NOERRORUI 0x0400
#define FOF_NOCOPYSECURITYATTRIBS 0x0800
#define FOF_NORECURSION 0x1000
#define FOF_NO_CONNECTED_ELEMENTS 0x2000
#define FOF_WANTNUKEWARNING 0x4000
#define FOF_NORECURSEREPARSE 0x8000

typedef struct _SHFILEOPSTRUCTA {
    HWND hwnd;
    UINT wFunc;
    LPCSTR pFrom;
    LPCSTR pTo;
    FILEOP_FLAGS fFlags;
    BOOL fAnyOperationsAborted;
    LPVOID hNameMappings;
    LPCSTR lpszProgressTitle;
} SHFILEOPSTRUCTA, *LPSHFILEOPSTRUCTA;

// C runtime: descriptor flags of _open_osfhandle.
#define _O_RDONLY 0x0000
#define _O_WRONLY 0x0001
#define _O_APPEND 0x0008
#define _O_TEXT 0x4000
#define _O_BINARY 0x8000

extern "C" {

// Errors.
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);

// Windows Installer: sessions, properties, records, messages.
UINT WINAPI MsiGetPropertyA(MSIHANDLE hInstall, LPCSTR name, LPSTR value, LPDWORD valueLen);
UINT WINAPI MsiSetPropertyA(MSIHANDLE hInstall, LPCSTR name, LPCSTR value);
MSIHANDLE WINAPI MsiCreateRecord(UINT fieldCount);
UINT WINAPI MsiRecordSetStringA(MSIHANDLE hRecord, UINT field, LPCSTR value);
UINT WINAPI MsiRecordSetInteger(MSIHANDLE hRecord, UINT field, int value);
int WINAPI MsiRecordGetInteger(MSIHANDLE hRecord, UINT field);
UINT WINAPI MsiRecordGetStringA(MSIHANDLE hRecord, UINT field, LPSTR value, LPDWORD valueLen);
BOOL WINAPI MsiRecordIsNull(MSIHANDLE hRecord, UINT field);
UINT WINAPI MsiRecordGetFieldCount(MSIHANDLE hRecord);
int WINAPI MsiProcessMessage(MSIHANDLE hInstall, INSTALLMESSAGE type, MSIHANDLE hRecord);
UINT WINAPI MsiCloseHandle(MSIHANDLE handle);

// Handles, pipes, processes.
HANDLE WINAPI GetCurrentProcess(void);
BOOL WINAPI CreatePipe(PHANDLE readPipe, PHANDLE writePipe, LPSECURITY_ATTRIBUTES attributes, DWORD size);
BOOL WINAPI SetStdHandle(DWORD which, HANDLE handle);
HANDLE WINAPI GetStdHandle(DWORD which);
BOOL WINAPI DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, LPHANDLE target,
                            DWORD desiredAccess, BOOL inheritHandle, DWORD options);
BOOL WINAPI CloseHandle(HANDLE handle);
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPVOID overlapped);
// Says how many bytes a pipe holds (*totalAvail) without reading them; fails with
// ERROR_BROKEN_PIPE once the pipe is empty and every write end is closed. The
// bytes themselves are not copied here: buffer must be null or bufferSize 0.
BOOL WINAPI PeekNamedPipe(HANDLE pipe, LPVOID buffer, DWORD bufferSize, LPDWORD bytesRead, LPDWORD totalAvail,
                          LPDWORD bytesLeftThisMessage);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPVOID overlapped);
BOOL WINAPI CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                           LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                           LPVOID environment, LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                           LPPROCESS_INFORMATION processInformation);
BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode);
void WINAPI Sleep(DWORD milliseconds);

// Library loading. LoadLibraryA calls the library's DllMain, if it exports one,
// with DLL_PROCESS_ATTACH on its first load; FreeLibrary with DLL_PROCESS_DETACH
// on its last unload.
HMODULE WINAPI LoadLibraryA(LPCSTR fileName);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
BOOL WINAPI FreeLibrary(HMODULE module);
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);

// Registry (HKEY_LOCAL_MACHINE only).
LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR className, DWORD options,
                               REGSAM access, LPSECURITY_ATTRIBUTES attributes, PHKEY result, LPDWORD disposition);
LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD dataLen);
LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD dataLen);
LSTATUS WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName);
LSTATUS WINAPI RegCloseKey(HKEY key);

// Window-message broadcast: recorded, answered at once.
LRESULT WINAPI SendMessageTimeoutA(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                                   UINT timeout, PDWORD_PTR result);

// Files and the shell.
DWORD WINAPI GetFileAttributesA(LPCSTR fileName);
BOOL WINAPI CreateDirectoryA(LPCSTR pathName, LPSECURITY_ATTRIBUTES attributes);
BOOL WINAPI CopyFileA(LPCSTR existingFileName, LPCSTR newFileName, BOOL failIfExists);
int WINAPI SHFileOperationA(LPSHFILEOPSTRUCTA fileOp);

// The system's ANSI code page and its characters: a character is one byte, or
// a lead byte and a trail byte in a double-byte code page (control.h selects
// one). CharNextA stops at the terminator; CharPrevA never goes before start.
UINT WINAPI GetACP(void);
BOOL WINAPI IsDBCSLeadByte(BYTE testChar);
LPSTR WINAPI CharNextA(LPCSTR current);
LPSTR WINAPI CharPrevA(LPCSTR start, LPCSTR current);

// C runtime functions under their Windows names.
int _putenv(const char* assignment);
int _open_osfhandle(std::intptr_t osHandle, int flags);
FILE* _fdopen(int fd, const char* mode);
// Closes a descriptor from _open_osfhandle, and the handle it owns.
int _close(int fd);

}  // extern "C"
