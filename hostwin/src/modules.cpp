// Library loading over dlopen, with the library's DllMain called on its first
// load and its last unload. GetProcAddress finds only what the library itself
// defines, as a Windows export table would, not symbols of its dependencies.
#include "state.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <climits>
#include <cstring>

namespace hostwin::detail {

namespace {

using DllMainFn = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);

// The symbol, when the library itself defines it.
void* own_symbol(void* dl, const char* name) {
    void* sym = ::dlsym(dl, name);
    if (sym == nullptr) return nullptr;
    link_map* map = nullptr;
    Dl_info info;
    if (::dlinfo(dl, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return sym;
    if (::dladdr(sym, &info) == 0 || info.dli_fname == nullptr || map->l_name == nullptr) return sym;
    return std::strcmp(info.dli_fname, map->l_name) == 0 ? sym : nullptr;
}

BOOL call_dll_main(void* dl, HMODULE module, DWORD reason) {
    auto entry = reinterpret_cast<DllMainFn>(own_symbol(dl, "DllMain"));
    if (entry == nullptr) return TRUE;
    return entry(reinterpret_cast<HINSTANCE>(module), reason, nullptr);
}

Module* find_module(HMODULE module) {
    auto it = state().modules.find(reinterpret_cast<std::uintptr_t>(module));
    return it == state().modules.end() ? nullptr : &it->second;
}

std::string module_label(HMODULE module) {
    if (module == nullptr) return "(null)";
    Lock lock(mutex());
    Module* m = find_module(module);
    return m ? m->path : "unknown";
}

}  // namespace

void reset_modules() {
    for (;;) {
        void* dl;
        HMODULE module;
        int refs;
        {
            Lock lock(mutex());
            auto& modules = state().modules;
            if (modules.empty()) return;
            auto it = modules.begin();
            dl = it->second.dl;
            refs = it->second.refs;
            module = reinterpret_cast<HMODULE>(it->first);
            modules.erase(it);
        }
        try {
            call_dll_main(dl, module, DLL_PROCESS_DETACH);
        } catch (...) {
        }
        for (int i = 0; i < refs; ++i) ::dlclose(dl);
    }
}

}  // namespace hostwin::detail

using namespace hostwin;
using namespace hostwin::detail;

extern "C" {

HMODULE WINAPI LoadLibraryA(LPCSTR fileName) {
    return guarded<HMODULE>(nullptr, [&]() -> HMODULE {
        Scope s("LoadLibraryA");
        if (s.enter(fileName ? fileName : "(null)")) {
            s.fail_bool(s.injected(ERROR_MOD_NOT_FOUND));
            return nullptr;
        }
        if (fileName == nullptr || *fileName == '\0') {
            s.fail_bool(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        std::string hostPath;
        if (!find_file(fileName, ".dll", &hostPath)) {
            s.fail_bool(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        // Loaded unlocked: the library's constructors may call into the stand-in.
        void* dl = ::dlopen(hostPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (dl == nullptr) {
            const char* why = ::dlerror();
            s.note(std::string(" (") + (why ? why : "dlopen failed") + ")");
            s.fail_bool(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        HMODULE module;
        {
            Lock lock(mutex());
            State& st = state();
            for (auto& entry : st.modules) {
                if (entry.second.dl == dl) {
                    ++entry.second.refs;
                    return reinterpret_cast<HMODULE>(entry.first);
                }
            }
            std::uintptr_t v = st.nextModule;
            st.nextModule += 0x1000;
            Module m;
            m.dl = dl;
            m.refs = 1;
            bool hasFolder = std::strpbrk(fileName, "/\\") != nullptr;
            m.path = hasFolder ? std::string(fileName) : hostPath;
            m.hostPath = hostPath;
            st.modules[v] = m;
            module = reinterpret_cast<HMODULE>(v);
        }
        if (!call_dll_main(dl, module, DLL_PROCESS_ATTACH)) {
            // As on Windows: the library is told it is detached again and unloaded.
            call_dll_main(dl, module, DLL_PROCESS_DETACH);
            {
                Lock lock(mutex());
                state().modules.erase(reinterpret_cast<std::uintptr_t>(module));
            }
            ::dlclose(dl);
            s.fail_bool(ERROR_DLL_INIT_FAILED);
            return nullptr;
        }
        return module;
    });
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
    return guarded<FARPROC>(nullptr, [&]() -> FARPROC {
        Scope s("GetProcAddress");
        const bool byOrdinal = reinterpret_cast<std::uintptr_t>(procName) < 0x10000;
        std::string label = byOrdinal ? "#" + std::to_string(reinterpret_cast<std::uintptr_t>(procName)) : procName;
        if (s.enter(label)) {
            s.fail_bool(s.injected(ERROR_PROC_NOT_FOUND));
            return nullptr;
        }
        Lock lock(mutex());
        Module* m = find_module(module);
        if (m == nullptr) {
            s.fail_bool(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        // Exports by ordinal are a matter of the Windows build only.
        void* sym = byOrdinal ? nullptr : own_symbol(m->dl, procName);
        if (sym == nullptr) {
            s.fail_bool(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        return reinterpret_cast<FARPROC>(sym);
    });
}

BOOL WINAPI FreeLibrary(HMODULE module) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        Scope s("FreeLibrary");
        if (s.enter(module_label(module))) return s.fail_bool(s.injected(ERROR_ACCESS_DENIED));
        void* dl;
        bool last;
        {
            Lock lock(mutex());
            Module* m = find_module(module);
            if (m == nullptr) return s.fail_bool(ERROR_INVALID_HANDLE);
            dl = m->dl;
            last = --m->refs == 0;
            if (last) state().modules.erase(reinterpret_cast<std::uintptr_t>(module));
        }
        if (last) call_dll_main(dl, module, DLL_PROCESS_DETACH);
        ::dlclose(dl);
        return TRUE;
    });
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    return guarded<DWORD>(0, [&]() -> DWORD {
        Scope s("GetModuleFileNameA");
        if (s.enter(module_label(module))) {
            s.fail_bool(s.injected(ERROR_ACCESS_DENIED));
            return 0;
        }
        std::string path;
        if (module == nullptr) {
            char buf[PATH_MAX];
            ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
            if (n <= 0) {
                s.fail_bool(ERROR_ACCESS_DENIED);
                return 0;
            }
            path.assign(buf, static_cast<std::size_t>(n));
        } else {
            Lock lock(mutex());
            Module* m = find_module(module);
            if (m == nullptr) {
                s.fail_bool(ERROR_MOD_NOT_FOUND);
                return 0;
            }
            path = m->path;
        }
        if (fileName == nullptr || size == 0) {
            s.fail_bool(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        if (path.size() < size) {
            std::memcpy(fileName, path.data(), path.size());
            fileName[path.size()] = '\0';
            return static_cast<DWORD>(path.size());
        }
        // Too small: truncated and terminated, the size returned.
        std::memcpy(fileName, path.data(), size - 1);
        fileName[size - 1] = '\0';
        s.fail_bool(ERROR_INSUFFICIENT_BUFFER);
        return size;
    });
}

}  // extern "C"
