// Uninstall: deletes the runtime's version folder under the install root and
// takes the runtime library folder off the machine-wide search path.
#include "Actions.h"
#include "Messaging.h"
#include "PathText.h"
#include "Resources.h"
#include "SystemSearchPath.h"

namespace krt {

namespace {

// Silent, no confirmations, no error dialogs: a plain recursive delete.
constexpr FILEOP_FLAGS kDeleteFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_NOCONFIRMMKDIR;

const char kMsgDeleteFailed[] = "Could not delete the KRT files";

// True when nothing exists at path (as opposed to a path that cannot be
// examined, which may well exist).
bool IsAbsent(const char* path) {
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return false;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

UINT RunUninstall(MSIHANDLE hInstall) {
    char targetDir[kPropertyBufferSize];
    DWORD targetDirLen = kPropertyBufferSize;
    if (ReadInstallRoot(hInstall, targetDir, &targetDirLen) != kSuccess) return kUserExit;

    // The version folder, joined to the root with exactly one backslash, as a
    // list of one path: the text is followed by a second NUL.
    const char* separator = SeparatorAfter(targetDir);
    const std::size_t folderSize = targetDirLen + std::strlen(separator) + std::strlen(g_versionFolder) + 2;
    HeapText versionFolder(folderSize);
    if (!versionFolder) return Abort(hInstall, kMsgOutOfMemory, "new", ERROR_NOT_ENOUGH_MEMORY);
    std::snprintf(versionFolder.get(), folderSize, "%s%s%s", targetDir, separator, g_versionFolder);
    versionFolder.get()[folderSize - 1] = '\0';

    // A folder that is already gone (a second removal, or files deleted by hand)
    // leaves only the search path to clean.
    if (IsAbsent(versionFolder.get())) {
        LogInfo(hInstall, "%s does not exist; nothing to delete", versionFolder.get());
    } else {
        SHFILEOPSTRUCTA fileOpStruct;
        std::memset(&fileOpStruct, 0, sizeof fileOpStruct);
        fileOpStruct.wFunc = FO_DELETE;
        fileOpStruct.pFrom = versionFolder.get();
        fileOpStruct.pTo = nullptr;
        fileOpStruct.fFlags = kDeleteFlags;
        const int result = SHFileOperationA(&fileOpStruct);
        // The delete counts only when the folder is really gone.
        if (result != 0) return Abort(hInstall, kMsgDeleteFailed, "SHFileOperationA", static_cast<unsigned long>(result));
        if (!IsAbsent(versionFolder.get()))
            return Abort(hInstall, kMsgDeleteFailed, "SHFileOperationA (folder still present)", 0);
        LogInfo(hInstall, "deleted %s", versionFolder.get());
    }

    return RemoveSystemPathEntry(hInstall, targetDir);
}

}  // namespace krt

extern "C" UINT WINAPI Uninstall(MSIHANDLE hInstall) {
    return krt::GuardAction("Uninstall", krt::RunUninstall, hInstall);
}
