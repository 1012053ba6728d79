// A library for the loading tests. Its DllMain appends "attach:<instance>;" or
// "detach:<instance>;" to the variable HW_DLLMAIN_LOG, and refuses to attach
// while HW_DLLMAIN_REFUSE is set. Built a second time without DllMain.
#include <hostwin/hostwin.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#ifndef NO_DLLMAIN
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH && reason != DLL_PROCESS_DETACH) return TRUE;
    const char* old = std::getenv("HW_DLLMAIN_LOG");
    char entry[64];
    std::snprintf(entry, sizeof entry, "%s:%p;", reason == DLL_PROCESS_ATTACH ? "attach" : "detach",
                  static_cast<void*>(instance));
    std::string log = std::string(old ? old : "") + entry;
    ::setenv("HW_DLLMAIN_LOG", log.c_str(), 1);
    return reason == DLL_PROCESS_ATTACH && std::getenv("HW_DLLMAIN_REFUSE") ? FALSE : TRUE;
}
#endif

// Uses the stand-in, so that the library depends on it.
extern "C" HRESULT DllRegisterServer(void) { return SetLastError(0), S_OK; }
