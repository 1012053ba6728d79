// Files, the shell's file operation and the window-message broadcast.
#include "state.h"

#include <fnmatch.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

using namespace hostwin;
using namespace hostwin::detail;

namespace {

DWORD errc_to_error(const std::error_code& ec) {
    if (ec == std::errc::no_such_file_or_directory) return ERROR_FILE_NOT_FOUND;
    if (ec == std::errc::file_exists) return ERROR_ALREADY_EXISTS;
    if (ec == std::errc::not_enough_memory) return ERROR_NOT_ENOUGH_MEMORY;
    return ERROR_ACCESS_DENIED;
}

bool has_wildcard(const std::string& name) { return name.find_first_of("*?") != std::string::npos; }

// Deletes one entry of the list. A folder goes with everything in it, unless
// FOF_FILESONLY is set: then folders are passed over, the way the shell treats
// that flag, and the call still succeeds.
int delete_one(const std::string& windowsPath, FILEOP_FLAGS flags) {
    const bool filesOnly = (flags & FOF_FILESONLY) != 0;
    std::string path = file_path(windowsPath.c_str());
    std::error_code ec;

    std::size_t slash = path.rfind('/');
    std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    if (has_wildcard(leaf)) {
        std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
        if (!fs::is_directory(folder, ec)) return static_cast<int>(ERROR_FILE_NOT_FOUND);
        std::vector<fs::path> matches;
        for (const auto& entry : fs::directory_iterator(folder, ec))
            if (::fnmatch(leaf.c_str(), entry.path().filename().c_str(), 0) == 0) matches.push_back(entry.path());
        if (ec) return static_cast<int>(errc_to_error(ec));
        for (const fs::path& m : matches) {
            bool folderEntry = fs::is_directory(fs::symlink_status(m, ec));
            if (folderEntry && filesOnly) continue;
            fs::remove_all(m, ec);
            if (ec) return static_cast<int>(errc_to_error(ec));
        }
        return 0;
    }

    fs::file_status st = fs::symlink_status(path, ec);
    if (!fs::exists(st)) return static_cast<int>(ERROR_FILE_NOT_FOUND);
    if (fs::is_directory(st) && filesOnly) return 0;
    fs::remove_all(path, ec);
    return ec ? static_cast<int>(errc_to_error(ec)) : 0;
}

}  // namespace

extern "C" {

DWORD WINAPI GetFileAttributesA(LPCSTR fileName) {
    return guarded<DWORD>(INVALID_FILE_ATTRIBUTES, [&]() -> DWORD {
        Scope s("GetFileAttributesA");
        if (s.enter(fileName ? fileName : "(null)")) {
            s.fail_bool(s.injected(ERROR_ACCESS_DENIED));
            return INVALID_FILE_ATTRIBUTES;
        }
        struct stat st;
        if (fileName == nullptr || ::stat(file_path(fileName).c_str(), &st) != 0) {
            s.fail_bool(ERROR_FILE_NOT_FOUND);
            return INVALID_FILE_ATTRIBUTES;
        }
        return S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    });
}

BOOL WINAPI CreateDirectoryA(LPCSTR pathName, LPSECURITY_ATTRIBUTES attributes) {
    (void)attributes;
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        Scope s("CreateDirectoryA");
        if (s.enter(pathName ? pathName : "(null)")) return s.fail_bool(s.injected(ERROR_ACCESS_DENIED));
        if (pathName == nullptr) return s.fail_bool(ERROR_INVALID_PARAMETER);
        if (::mkdir(file_path(pathName).c_str(), 0777) == 0) return TRUE;
        switch (errno) {
        case EEXIST: return s.fail_bool(ERROR_ALREADY_EXISTS);
        case ENOENT:
        case ENOTDIR: return s.fail_bool(ERROR_PATH_NOT_FOUND);
        default: return s.fail_bool(ERROR_ACCESS_DENIED);
        }
    });
}

BOOL WINAPI CopyFileA(LPCSTR existingFileName, LPCSTR newFileName, BOOL failIfExists) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        Scope s("CopyFileA");
        if (s.enter(std::string(existingFileName ? existingFileName : "(null)") + " -> " +
                    (newFileName ? newFileName : "(null)")))
            return s.fail_bool(s.injected(ERROR_ACCESS_DENIED));
        if (existingFileName == nullptr || newFileName == nullptr) return s.fail_bool(ERROR_INVALID_PARAMETER);
        std::string from = file_path(existingFileName), to = file_path(newFileName);
        std::error_code ec;
        if (!fs::is_regular_file(from, ec)) return s.fail_bool(ERROR_FILE_NOT_FOUND);
        if (fs::exists(to, ec)) {
            if (failIfExists) return s.fail_bool(ERROR_FILE_EXISTS);
            if (fs::is_directory(to, ec)) return s.fail_bool(ERROR_ACCESS_DENIED);
        }
        fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
        if (ec) return s.fail_bool(ec == std::errc::no_such_file_or_directory ? ERROR_PATH_NOT_FOUND : errc_to_error(ec));
        return TRUE;
    });
}

int WINAPI SHFileOperationA(LPSHFILEOPSTRUCTA fileOp) {
    return guarded<int>(static_cast<int>(ERROR_NOT_ENOUGH_MEMORY), [&]() -> int {
        Scope s("SHFileOperationA");
        std::vector<std::string> from;
        if (fileOp != nullptr && fileOp->pFrom != nullptr)
            for (const char* p = fileOp->pFrom; *p != '\0'; p += from.back().size() + 1) from.emplace_back(p);
        std::string detail;
        if (fileOp == nullptr) {
            detail = "(null)";
        } else {
            detail = "func=" + std::to_string(fileOp->wFunc) + " flags=" + hex(fileOp->fFlags) + " from=";
            for (std::size_t i = 0; i < from.size(); ++i) detail += (i ? ";" : "") + from[i];
        }
        if (s.enter(detail)) {
            s.failed();
            return static_cast<int>(s.injected(ERROR_ACCESS_DENIED));
        }
        if (fileOp == nullptr || fileOp->pFrom == nullptr) {
            s.failed();
            return static_cast<int>(ERROR_INVALID_PARAMETER);
        }
        fileOp->fAnyOperationsAborted = FALSE;
        if (fileOp->wFunc != FO_DELETE) {
            // Only deletion is part of this stand-in.
            s.failed();
            return static_cast<int>(ERROR_INVALID_PARAMETER);
        }
        if (from.empty()) {
            s.failed();
            return static_cast<int>(ERROR_FILE_NOT_FOUND);
        }
        for (const std::string& path : from) {
            int r = delete_one(path, fileOp->fFlags);
            if (r != 0) {
                s.failed();
                return r;
            }
        }
        return 0;
    });
}

LRESULT WINAPI SendMessageTimeoutA(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                                   UINT timeout, PDWORD_PTR result) {
    return guarded<LRESULT>(0, [&]() -> LRESULT {
        Scope s("SendMessageTimeoutA");
        std::string l;
        if (message == WM_SETTINGCHANGE)
            l = lParam != 0 ? reinterpret_cast<const char*>(lParam) : "(null)";
        else
            l = std::to_string(static_cast<long long>(lParam));
        std::string detail = "window=" + hex(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(window))) +
                             " message=" + hex(message) + " wParam=" + std::to_string(wParam) + " lParam=" + l +
                             " flags=" + hex(flags) + " timeout=" + std::to_string(timeout) +
                             " result=" + (result ? "given" : "none");
        if (s.enter(detail)) {
            s.fail_bool(s.injected(ERROR_ACCESS_DENIED));
            return 0;
        }
        if (result) *result = 0;
        return 1;
    });
}

}  // extern "C"
