// A test COM server: one source built into zqcommgr.dll and zqcomutil.dll, the
// file name given by KRT_COM_SERVER_FILE.
//
// DllRegisterServer records the library under
// HKEY_LOCAL_MACHINE\SOFTWARE\KRTKit\TestComServers as a REG_SZ value named
// after the file, holding the full path it was loaded by (NUL-terminated);
// DllUnregisterServer deletes that value. A file beside the library named after
// it plus ".cfg" (zqcomutil.dll.cfg) may hold the HRESULT both entries return
// instead of S_OK, e.g. "0x80004005" or "1"; with a negative one the entry fails
// at once and changes nothing. The file is read on every call, so a test can
// change it between two calls.

#include "TestPlatform.h"

#include <cstdint>
#include <cstdlib>
#include <string>

#if !defined(KRT_COM_SERVER_FILE)
#error "KRT_COM_SERVER_FILE must name the library file"
#endif

namespace {

const char* const kServerFile = KRT_COM_SERVER_FILE;
const char* const kRegistrationKey = "SOFTWARE\\KRTKit\\TestComServers";

HMODULE g_module = nullptr;

HRESULT from_win32(LONG error) {
    return error == 0 ? S_OK : (HRESULT)(0x80070000u | ((std::uint32_t)error & 0xFFFFu));
}

// The result ordered by the .cfg file beside the library, S_OK without one.
HRESULT ordered_result(const std::string& modulePath) {
    FILE* file = testpayload::open_file(modulePath + ".cfg", "r");
    if (!file) return S_OK;
    char buffer[64] = {0};
    HRESULT result = S_OK;
    if (std::fgets(buffer, sizeof buffer, file)) {
        char* end = nullptr;
        long long value = std::strtoll(buffer, &end, 0);
        if (end != buffer) result = (HRESULT)(std::uint32_t)value;
    }
    std::fclose(file);
    return result;
}

HRESULT set_registration(bool registering) {
    std::string path = testpayload::module_path(g_module);
    if (path.empty()) return E_FAIL;
    HRESULT ordered = ordered_result(path);
    if (FAILED(ordered)) return ordered;

    HKEY hKey = nullptr;
    LONG status;
    if (registering) {
        status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRegistrationKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_WRITE, nullptr, &hKey, nullptr);
        if (status != ERROR_SUCCESS) return from_win32(status);
        status = RegSetValueExA(hKey, kServerFile, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                                (DWORD)(path.size() + 1));
    } else {
        status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRegistrationKey, 0, KEY_WRITE, &hKey);
        if (status == ERROR_FILE_NOT_FOUND) return ordered;  // never registered: nothing to undo
        if (status != ERROR_SUCCESS) return from_win32(status);
        status = RegDeleteValueA(hKey, kServerFile);
        if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    }
    RegCloseKey(hKey);
    return status == ERROR_SUCCESS ? ordered : from_win32(status);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
    return TRUE;
}

STDAPI DllRegisterServer(void) {
    try {
        return set_registration(true);
    } catch (...) {
        return E_FAIL;
    }
}

STDAPI DllUnregisterServer(void) {
    try {
        return set_registration(false);
    } catch (...) {
        return E_FAIL;
    }
}
