// The one platform include point of the test payload program and the test COM
// servers: the toolchain's Windows headers on Windows, the stand-in platform on
// the host. Also a few small helpers both use, so that their sources carry no
// platform branches of their own beyond what is unavoidable.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <hostwin/control.h>
#include <hostwin/hostwin.h>
#endif

#include <cstdio>
#include <cstring>
#include <string>

namespace testpayload {

// Opens a file named by a Windows path (on the host: mapped into the stand-in's
// root the way the platform calls map it; host paths are used as they are).
inline FILE* open_file(const std::string& path, const char* mode) {
#if defined(_WIN32)
    return std::fopen(path.c_str(), mode);
#else
    return std::fopen(hostwin::host_path(path).c_str(), mode);
#endif
}

// The full path of a module as the platform reports it; empty on failure.
inline std::string module_path(HMODULE module) {
    char buffer[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(module, buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer) return std::string();
    return std::string(buffer, n);
}

// Position of the last path separator of either kind, or npos.
inline std::size_t last_separator(const std::string& path) {
    return path.find_last_of("\\/");
}

}  // namespace testpayload
