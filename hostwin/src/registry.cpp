// The registry: keys with typed values held as raw bytes.
#include "state.h"

#include <cstring>
#include <utility>

namespace hostwin {

const char* const kEnvironmentKey =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

using namespace detail;

namespace {

const char* root_name(HKEY key) {
    if (key == HKEY_CLASSES_ROOT) return "HKEY_CLASSES_ROOT";
    if (key == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
    if (key == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
    if (key == HKEY_USERS) return "HKEY_USERS";
    return nullptr;
}

bool is_root_path(const std::string& path) { return path.find('\\') == std::string::npos; }

// Drops separators at either end and doubled ones inside.
std::string tidy(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '\\' && (out.empty() || out.back() == '\\')) continue;
        out += c;
    }
    while (!out.empty() && out.back() == '\\') out.pop_back();
    return out;
}

// The full path of an open key handle or root key; false for an unknown handle.
bool key_path(HKEY key, std::string* path) {
    if (const char* r = root_name(key)) {
        *path = r;
        return true;
    }
    auto it = state().openKeys.find(reinterpret_cast<std::uintptr_t>(key));
    if (it == state().openKeys.end()) return false;
    *path = it->second;
    return true;
}

std::string join(const std::string& base, LPCSTR sub) {
    std::string s = tidy(sub ? sub : "");
    return s.empty() ? base : base + "\\" + s;
}

bool key_exists(const std::string& path) {
    return is_root_path(path) || state().keys.count(lower(path)) != 0;
}

// Creates the key and every missing key above it; true when the key was new.
bool ensure_key(const std::string& path) {
    bool created = false;
    std::size_t pos = path.find('\\');
    while (pos != std::string::npos) {
        std::size_t next = path.find('\\', pos + 1);
        std::string prefix = path.substr(0, next);
        auto& keys = state().keys;
        std::string k = lower(prefix);
        if (keys.count(k) == 0) {
            keys[k].path = prefix;
            created = true;
        }
        pos = next;
    }
    return created;
}

RegKey* find_key(const std::string& path) {
    auto it = state().keys.find(lower(path));
    return it == state().keys.end() ? nullptr : &it->second;
}

HKEY open_key_handle(const std::string& path) {
    State& s = state();
    std::uintptr_t v = s.nextKey;
    s.nextKey += 4;
    s.openKeys[v] = path;
    return reinterpret_cast<HKEY>(v);
}

std::string value_label(const std::string& path, LPCSTR name) {
    return path + " : " + (name ? name : "");
}

// key_path under the lock, for the calls that log the path before locking.
bool locked_key_path(HKEY key, std::string* path) {
    Lock lock(mutex());
    return key_path(key, path);
}

const RegEntry* find_value(const std::string& path, const std::string& name) {
    RegKey* key = find_key(path);
    if (key == nullptr) return nullptr;
    auto it = key->values.find(lower(name));
    return it == key->values.end() ? nullptr : &it->second;
}

// Stores a value, creating its key; the letter case first written is kept.
void store_value(const std::string& path, const std::string& name, DWORD type, std::string data) {
    ensure_key(path);
    RegKey* key = find_key(path);
    if (key == nullptr) return;  // a root key holds no values here
    RegEntry& e = key->values[lower(name)];
    if (e.name.empty()) e.name = name;
    e.type = type;
    e.data = std::move(data);
}

// RegOpenKeyExA and RegCreateKeyExA: the subkey of an open key, opened, or
// created first when `create` is set.
LSTATUS open_subkey(const char* function, HKEY key, LPCSTR subKey, PHKEY result, bool create,
                    LPDWORD disposition) {
    Scope s(function);
    std::string base;
    const bool known = locked_key_path(key, &base);
    std::string path = known ? join(base, subKey) : std::string("unknown");
    if (s.enter(path)) {
        if (result) *result = nullptr;
        return static_cast<LSTATUS>(s.injected(ERROR_ACCESS_DENIED));
    }
    Lock lock(mutex());
    if (result == nullptr) {
        s.failed();
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    if (!known) {
        s.failed();
        return ERROR_INVALID_HANDLE;
    }
    if (create) {
        const bool created = ensure_key(path);
        if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    } else if (!key_exists(path)) {
        s.failed();
        return ERROR_FILE_NOT_FOUND;
    }
    RegKey* k = find_key(path);
    *result = open_key_handle(k ? k->path : path);
    return ERROR_SUCCESS;
}

}  // namespace

void reg_set(const std::string& keyPath, const std::string& name, DWORD type, const std::string& data) {
    Lock lock(mutex());
    store_value(tidy(keyPath), name, type, data);
}

void reg_set_text(const std::string& keyPath, const std::string& name, DWORD type, const std::string& text) {
    reg_set(keyPath, name, type, text + std::string(1, '\0'));
}

bool reg_get(const std::string& keyPath, const std::string& name, RegValue* value) {
    Lock lock(mutex());
    const RegEntry* found = find_value(tidy(keyPath), name);
    if (found == nullptr) return false;
    if (value != nullptr) {
        value->type = found->type;
        value->data = found->data;
    }
    return true;
}

bool reg_delete_value(const std::string& keyPath, const std::string& name) {
    Lock lock(mutex());
    RegKey* key = find_key(tidy(keyPath));
    return key != nullptr && key->values.erase(lower(name)) != 0;
}

bool reg_key_exists(const std::string& keyPath) {
    Lock lock(mutex());
    return key_exists(tidy(keyPath));
}

void reg_clear() {
    Lock lock(mutex());
    state().keys.clear();
}

int open_key_count() {
    Lock lock(mutex());
    return static_cast<int>(state().openKeys.size());
}

void reg_set_default_machine() {
    reg_clear();
    reg_set_text(kEnvironmentKey, "ComSpec", REG_EXPAND_SZ, "%SystemRoot%\\system32\\cmd.exe");
    reg_set_text(kEnvironmentKey, "OS", REG_SZ, "Windows_NT");
    reg_set_text(kEnvironmentKey, "Path", REG_EXPAND_SZ,
                 "%SystemRoot%\\system32;%SystemRoot%;%SystemRoot%\\System32\\Wbem");
    reg_set_text(kEnvironmentKey, "windir", REG_EXPAND_SZ, "%SystemRoot%");
}

}  // namespace hostwin

using namespace hostwin;
using namespace hostwin::detail;

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    (void)options;
    (void)access;
    return guarded<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY, [&]() -> LSTATUS {
        return open_subkey("RegOpenKeyExA", key, subKey, result, false, nullptr);
    });
}

LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR className, DWORD options,
                               REGSAM access, LPSECURITY_ATTRIBUTES attributes, PHKEY result, LPDWORD disposition) {
    (void)reserved;
    (void)className;
    (void)options;
    (void)access;
    (void)attributes;
    return guarded<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY, [&]() -> LSTATUS {
        return open_subkey("RegCreateKeyExA", key, subKey, result, true, disposition);
    });
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD dataLen) {
    (void)reserved;
    return guarded<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY, [&]() -> LSTATUS {
        Scope s("RegQueryValueExA");
        std::string path;
        const bool known = locked_key_path(key, &path);
        std::string detail = value_label(known ? path : "unknown", valueName);
        if (data == nullptr)
            detail += " : size query";
        else
            detail += " : data read " + (dataLen ? std::to_string(*dataLen) : std::string("(null)"));
        if (s.enter(detail)) return static_cast<LSTATUS>(s.injected(ERROR_ACCESS_DENIED));

        Lock lock(mutex());
        if (!known) {
            s.failed();
            return ERROR_INVALID_HANDLE;
        }
        if (data != nullptr && dataLen == nullptr) {
            s.failed();
            return ERROR_INVALID_PARAMETER;
        }
        const RegEntry* found = find_value(path, valueName ? valueName : "");
        if (found == nullptr) {
            s.failed();
            return ERROR_FILE_NOT_FOUND;
        }
        const RegEntry& e = *found;
        const DWORD size = static_cast<DWORD>(e.data.size());
        if (type) *type = e.type;
        if (data == nullptr) {
            if (dataLen) *dataLen = size;
            return ERROR_SUCCESS;
        }
        if (*dataLen < size) {
            *dataLen = size;
            s.failed();
            return ERROR_MORE_DATA;
        }
        // Exactly the stored bytes: no terminator is added.
        if (size > 0) std::memcpy(data, e.data.data(), size);
        *dataLen = size;
        return ERROR_SUCCESS;
    });
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD dataLen) {
    (void)reserved;
    return guarded<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY, [&]() -> LSTATUS {
        Scope s("RegSetValueExA");
        std::string path;
        const bool known = locked_key_path(key, &path);
        if (s.enter(value_label(known ? path : "unknown", valueName) + " : type " + std::to_string(type) + " : " +
                    std::to_string(dataLen) + " bytes"))
            return static_cast<LSTATUS>(s.injected(ERROR_ACCESS_DENIED));
        Lock lock(mutex());
        if (!known) {
            s.failed();
            return ERROR_INVALID_HANDLE;
        }
        if (data == nullptr && dataLen != 0) {
            s.failed();
            return ERROR_INVALID_PARAMETER;
        }
        if (is_root_path(path)) {
            s.failed();
            return ERROR_ACCESS_DENIED;
        }
        store_value(path, valueName ? valueName : "", type,
                    data ? std::string(reinterpret_cast<const char*>(data), dataLen) : std::string());
        return ERROR_SUCCESS;
    });
}

LSTATUS WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName) {
    return guarded<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY, [&]() -> LSTATUS {
        Scope s("RegDeleteValueA");
        std::string path;
        const bool known = locked_key_path(key, &path);
        if (s.enter(value_label(known ? path : "unknown", valueName)))
            return static_cast<LSTATUS>(s.injected(ERROR_ACCESS_DENIED));
        Lock lock(mutex());
        if (!known) {
            s.failed();
            return ERROR_INVALID_HANDLE;
        }
        RegKey* k = find_key(path);
        if (k == nullptr || k->values.erase(lower(valueName ? valueName : "")) == 0) {
            s.failed();
            return ERROR_FILE_NOT_FOUND;
        }
        return ERROR_SUCCESS;
    });
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
    return guarded<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY, [&]() -> LSTATUS {
        Scope s("RegCloseKey");
        std::string path;
        const bool known = locked_key_path(key, &path);
        if (s.enter(known ? path : "unknown")) return static_cast<LSTATUS>(s.injected(ERROR_ACCESS_DENIED));
        Lock lock(mutex());
        if (root_name(key) != nullptr) return ERROR_SUCCESS;
        if (state().openKeys.erase(reinterpret_cast<std::uintptr_t>(key)) == 0) {
            s.failed();
            return ERROR_INVALID_HANDLE;
        }
        return ERROR_SUCCESS;
    });
}

}  // extern "C"
