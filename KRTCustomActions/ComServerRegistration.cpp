#include "ComServerRegistration.h"

#include "Messaging.h"
#include "PathText.h"
#include "Resources.h"

namespace krt {

namespace {

typedef HRESULT(WINAPI* SelfRegistrationEntry)();

const char kSuffixFormat[] = "\\%s\\runtime\\win32";
constexpr std::size_t kSuffixSize = 19;  // \v71\runtime\win32 and its terminator
constexpr std::size_t kFileNameRoom = 100;

void Note(ComServerFailure* failure, const char* call, long status) {
    if (failure) {
        failure->call = call;
        failure->status = status;
    }
}

}  // namespace

bool RegisterComServer(const char* libraryPath, bool registerServer, ComServerFailure* failure) {
    HMODULE module = LoadLibraryA(libraryPath);
    if (!module) {
        Note(failure, "LoadLibraryA", static_cast<long>(GetLastError()));
        return false;
    }
    const char* entryName = registerServer ? "DllRegisterServer" : "DllUnregisterServer";
    FARPROC entry = GetProcAddress(module, entryName);
    if (!entry) {
        Note(failure, "GetProcAddress", static_cast<long>(GetLastError()));
        FreeLibrary(module);
        return false;
    }
    SelfRegistrationEntry selfRegistration;
    static_assert(sizeof selfRegistration == sizeof entry, "entry points are plain function pointers");
    std::memcpy(&selfRegistration, &entry, sizeof entry);
    const HRESULT result = selfRegistration();
    if (!FreeLibrary(module)) {
        Note(failure, "FreeLibrary", static_cast<long>(GetLastError()));
        return false;
    }
    if (result < 0) {
        Note(failure, entryName, static_cast<long>(result));
        return false;
    }
    return true;
}

UINT RegisterRuntimeComServers(MSIHANDLE hInstall, const char* installRoot) {
    HeapText folderSuffix(kSuffixSize, &g_pathSlots.comFolderSuffix);
    if (!folderSuffix) return Abort(hInstall, kMsgOutOfMemory, "new", ERROR_NOT_ENOUGH_MEMORY);
    std::snprintf(folderSuffix.get(), kSuffixSize, kSuffixFormat, g_versionFolder);
    g_pathSlots.comFolderSuffixLen = static_cast<DWORD>(std::strlen(folderSuffix.get()));

    const std::size_t pathSize = std::strlen(installRoot) + g_pathSlots.comFolderSuffixLen + kFileNameRoom;
    HeapText libraryPath(pathSize, &g_pathSlots.libraryPath);
    if (!libraryPath) return Abort(hInstall, kMsgOutOfMemory, "new", ERROR_NOT_ENOUGH_MEMORY);

    const char* suffix = SuffixAfter(installRoot, folderSuffix.get());
    for (int i = 0; i < kComServerCount; ++i) {
        std::snprintf(libraryPath.get(), pathSize, "%s%s\\%s", installRoot, suffix, g_names[i]);
        ComServerFailure failure;
        if (!RegisterComServer(libraryPath.get(), true, &failure)) {
            LogInfo(hInstall, "registering %s: %s failed with status 0x%08lX", libraryPath.get(), failure.call,
                    static_cast<unsigned long>(failure.status));
            libraryPath.reset();
            folderSuffix.reset();
            ReportError(hInstall, "Aborting installation - Could not register COM servers.", kErrorStyle);
            return kUserExit;
        }
        LogInfo(hInstall, "registered %s", libraryPath.get());
    }
    return kSuccess;
}

}  // namespace krt
