// Outcome codes, fixed sizes and the module-level state shared by the actions.
#pragma once

#include "Platform.h"

namespace krt {

// The only values an action returns.
constexpr UINT kSuccess = ERROR_SUCCESS;
constexpr UINT kUserExit = ERROR_INSTALL_USEREXIT;

// Style of every error message: error icon, OK button.
constexpr UINT kErrorStyle = MB_ICONERROR | MB_OK;

constexpr DWORD kPropertyBufferSize = 522;  // an installer property value, terminator included
constexpr std::size_t kMessageBufferSize = 1024;

// Formatted messages (the missing-property message) are built here. Each use
// overwrites it.
extern char g_messageBuffer[kMessageBufferSize];

// Path strings built by Commit and Uninstall. Each is given a fresh heap buffer
// while a stage runs and is back to null when the stage ends (see HeapText).
struct PathSlots {
    char* folderSuffix;
    DWORD folderSuffixLen;
    char* commitFolderEntry;
    char* uninstallFolderEntry;
    char* comFolderSuffix;
    DWORD comFolderSuffixLen;
    char* libraryPath;
};
extern PathSlots g_pathSlots;

// The two COM server libraries, in registration order, then the machine
// environment key.
extern const char* const g_names[3];
constexpr int kComServerCount = 2;
inline const char* EnvironmentKey() { return g_names[2]; }

// The runtime's version folder under the install root.
extern const char g_versionFolder[];

}  // namespace krt
