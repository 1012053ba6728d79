#include "SystemSearchPath.h"

#include "Messaging.h"
#include "PathList.h"
#include "PathText.h"
#include "Resources.h"

#include <cerrno>

namespace krt {

namespace {

const char kPathValue[] = "Path";
const char kSuffixSizing[] = "\\\\runtime\\win32";  // the suffix's fixed characters, plus one spare
const char kAddSuffixFormat[] = "\\%s\\runtime\\win32";
const char kRemoveSuffixFormat[] = "%s\\runtime\\win32";

const char kMsgOpenKey[] =
    "Aborting installation - could not open system environment variable registry key.\n"
    "You may not have the required system permissions.";
const char kMsgGetPath[] =
    "Aborting installation - could not get system path from registry.\n"
    "You may not have the required system permissions.";
const char kMsgUpdatePath[] =
    "Aborting installation - could not update system path.\n"
    "You may not have the required system permissions.";

void BroadcastEnvironmentChange(DWORD_PTR* status) {
    SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>("Environment"),
                        SMTO_ABORTIFHUNG, 5000, status);
}

UINT OpenEnvironmentKey(MSIHANDLE hInstall, ScopedKey& hKey) {
    const LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, EnvironmentKey(), 0, KEY_ALL_ACCESS, hKey.out());
    if (status != ERROR_SUCCESS) return Abort(hInstall, kMsgOpenKey, "RegOpenKeyExA", status);
    return kSuccess;
}

// Size query: the byte count of the data, without asking for the value's type.
UINT QueryPathSize(MSIHANDLE hInstall, HKEY hKey, DWORD* pathLen) {
    *pathLen = 0;
    const LSTATUS status = RegQueryValueExA(hKey, kPathValue, nullptr, nullptr, nullptr, pathLen);
    if (status != ERROR_SUCCESS) return Abort(hInstall, kMsgGetPath, "RegQueryValueExA(size)", status);
    return kSuccess;
}

// Reads exactly the pathLen bytes that the size query reported (a value that
// has grown since fails), then terminates the text right after them, so that
// data stored without a terminating NUL is never read beyond.
UINT ReadPathData(MSIHANDLE hInstall, HKEY hKey, char* valueText, DWORD pathLen) {
    DWORD readLen = pathLen;
    const LSTATUS status =
        RegQueryValueExA(hKey, kPathValue, nullptr, nullptr, reinterpret_cast<LPBYTE>(valueText), &readLen);
    if (status != ERROR_SUCCESS) return Abort(hInstall, kMsgGetPath, "RegQueryValueExA(data)", status);
    valueText[readLen <= pathLen ? readLen : pathLen] = '\0';
    return kSuccess;
}

UINT WritePath(MSIHANDLE hInstall, HKEY hKey, const char* valueText) {
    const LSTATUS status = RegSetValueExA(hKey, kPathValue, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(valueText),
                                          static_cast<DWORD>(std::strlen(valueText) + 1));
    if (status != ERROR_SUCCESS) return Abort(hInstall, kMsgUpdatePath, "RegSetValueExA", status);
    return kSuccess;
}

// The folder suffix in its 19-byte buffer: the sizing literal's length plus the
// version folder name's plus one.
std::size_t FolderSuffixSize() {
    return std::strlen(kSuffixSizing) + std::strlen(g_versionFolder) + 1;
}

}  // namespace

UINT AddSystemPathEntry(MSIHANDLE hInstall, const char* installRoot) {
    HeapText folderSuffix(FolderSuffixSize(), &g_pathSlots.folderSuffix);
    if (!folderSuffix) return Abort(hInstall, kMsgOutOfMemory, "new", ERROR_NOT_ENOUGH_MEMORY);
    std::snprintf(folderSuffix.get(), FolderSuffixSize(), kAddSuffixFormat, g_versionFolder);
    g_pathSlots.folderSuffixLen = static_cast<DWORD>(std::strlen(folderSuffix.get()));

    const char* suffix = SuffixAfter(installRoot, folderSuffix.get());
    const std::size_t entrySize = std::strlen(installRoot) + std::strlen(suffix) + 1;
    HeapText folderEntry(entrySize, &g_pathSlots.commitFolderEntry);
    if (!folderEntry) return Abort(hInstall, kMsgOutOfMemory, "new", ERROR_NOT_ENOUGH_MEMORY);
    std::snprintf(folderEntry.get(), entrySize, "%s%s", installRoot, suffix);
    const std::size_t entryLen = entrySize - 1;

    ScopedKey hKey;
    if (OpenEnvironmentKey(hInstall, hKey) != kSuccess) return kUserExit;
    DWORD pathLen = 0;
    if (QueryPathSize(hInstall, hKey.get(), &pathLen) != kSuccess) return kUserExit;

    HeapText valueText(std::size_t(pathLen) + entryLen + 2);
    if (!valueText) return Abort(hInstall, kMsgOutOfMemory, "new", ERROR_NOT_ENOUGH_MEMORY);
    if (ReadPathData(hInstall, hKey.get(), valueText.get(), pathLen) != kSuccess) return kUserExit;

    // The buffer has room for the ';' and the entry behind the data read.
    if (PathListAdd(valueText.get(), folderEntry.get())) {
        if (WritePath(hInstall, hKey.get(), valueText.get()) != kSuccess) return kUserExit;
        LogInfo(hInstall, "added %s to the system Path", folderEntry.get());
    } else {
        LogInfo(hInstall, "system Path already holds %s", folderEntry.get());
    }
    hKey.close();

    BroadcastEnvironmentChange(nullptr);

    const std::size_t assignmentSize = std::strlen(valueText.get()) + 10;
    HeapText assignment(assignmentSize);
    if (!assignment) return Abort(hInstall, kMsgOutOfMemory, "new", ERROR_NOT_ENOUGH_MEMORY);
    std::snprintf(assignment.get(), assignmentSize, "PATH=%s", valueText.get());
    if (_putenv(assignment.get()) != 0)
        return Abort(hInstall, kMsgLocalVariable, "_putenv(PATH)", static_cast<unsigned long>(errno));
    return kSuccess;
}

UINT RemoveSystemPathEntry(MSIHANDLE hInstall, const char* installRoot) {
    ScopedKey hKey;
    if (OpenEnvironmentKey(hInstall, hKey) != kSuccess) return kUserExit;
    DWORD pathLen = 0;
    if (QueryPathSize(hInstall, hKey.get(), &pathLen) != kSuccess) return kUserExit;

    HeapText folderSuffix(FolderSuffixSize(), &g_pathSlots.folderSuffix);
    if (!folderSuffix) return Abort(hInstall, kMsgOutOfMemory, "new", ERROR_NOT_ENOUGH_MEMORY);
    std::snprintf(folderSuffix.get(), FolderSuffixSize(), kRemoveSuffixFormat, g_versionFolder);
    g_pathSlots.folderSuffixLen = static_cast<DWORD>(std::strlen(folderSuffix.get()));

    // Exactly one backslash between the root and the suffix, so that a root given
    // without its final backslash names the same folder as Commit added.
    const char* separator = SeparatorAfter(installRoot);
    const std::size_t entrySize = std::strlen(installRoot) + std::strlen(separator) + g_pathSlots.folderSuffixLen + 1;
    HeapText folderEntry(entrySize, &g_pathSlots.uninstallFolderEntry);
    if (!folderEntry) return Abort(hInstall, kMsgOutOfMemory, "new", ERROR_NOT_ENOUGH_MEMORY);
    std::snprintf(folderEntry.get(), entrySize, "%s%s%s", installRoot, separator, folderSuffix.get());
    const std::size_t entryLen = entrySize - 1;

    HeapText valueText(std::size_t(pathLen) + entryLen + 2);
    if (!valueText) return Abort(hInstall, kMsgOutOfMemory, "new", ERROR_NOT_ENOUGH_MEMORY);
    if (ReadPathData(hInstall, hKey.get(), valueText.get(), pathLen) != kSuccess) return kUserExit;

    const std::size_t removed = PathListRemove(valueText.get(), folderEntry.get());
    LogInfo(hInstall, "cut %lu entries %s from the system Path", static_cast<unsigned long>(removed),
            folderEntry.get());
    if (WritePath(hInstall, hKey.get(), valueText.get()) != kSuccess) return kUserExit;
    hKey.close();

    DWORD_PTR status = 0;
    BroadcastEnvironmentChange(&status);
    return kSuccess;
}

}  // namespace krt
