// Fault table, call log, call hook, and HOSTWIN_FAIL.
#include "state.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace hostwin {

using namespace detail;

namespace {

// Every function whose calls can be made to fail.
const char* const kFunctions[] = {
    "MsiGetPropertyA", "MsiSetPropertyA", "MsiCreateRecord", "MsiRecordSetStringA", "MsiRecordSetInteger",
    "MsiProcessMessage", "MsiCloseHandle",
    "GetCurrentProcess", "CreatePipe", "SetStdHandle", "GetStdHandle", "DuplicateHandle", "CloseHandle",
    "ReadFile", "PeekNamedPipe", "WriteFile", "CreateProcessA", "GetExitCodeProcess", "WaitForSingleObject", "TerminateProcess",
    "Sleep",
    "LoadLibraryA", "GetProcAddress", "FreeLibrary", "GetModuleFileNameA",
    "RegOpenKeyExA", "RegCreateKeyExA", "RegQueryValueExA", "RegSetValueExA", "RegDeleteValueA", "RegCloseKey",
    "SendMessageTimeoutA",
    "GetFileAttributesA", "CreateDirectoryA", "CopyFileA", "SHFileOperationA",
    "_putenv", "_open_osfhandle", "_fdopen", "_close",
};

bool known_function(const std::string& name) {
    for (const char* f : kFunctions)
        if (name == f) return true;
    return false;
}

std::string trim(const std::string& text) {
    std::size_t b = 0, e = text.size();
    while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
    return text.substr(b, e - b);
}

// A whole decimal or 0x-hex number that fits 32 bits.
bool parse_number(const std::string& text, std::uint32_t* value) {
    std::string t = trim(text);
    if (t.empty()) return false;
    int base = 10;
    std::size_t start = 0;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        start = 2;
    }
    std::uint64_t v = 0;
    for (std::size_t i = start; i < t.size(); ++i) {
        char c = t[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c)))
            digit = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        else
            return false;
        v = v * base + digit;
        if (v > 0xFFFFFFFFull) return false;
    }
    *value = static_cast<std::uint32_t>(v);
    return true;
}

void add_fault(const std::string& function, int nth, std::uint32_t error) {
    if (nth < 0) return;
    Lock lock(mutex());
    Fault f;
    f.function = function;
    f.always = nth == 0;
    f.remaining = nth;
    f.error = error;
    state().faults.push_back(f);
}

}  // namespace

void fail(const std::string& function, int nth, std::uint32_t error) { add_fault(function, nth, error); }

bool fail_from_spec(const std::string& list) {
    struct Item {
        std::string function;
        int nth;
        std::uint32_t error;
    };
    std::vector<Item> items;
    if (trim(list).empty()) return true;
    std::size_t pos = 0;
    while (pos <= list.size()) {
        std::size_t comma = list.find(',', pos);
        std::string part = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? list.size() + 1 : comma + 1;

        Item item{"", 1, 0};
        std::size_t eq = part.find('=');
        if (eq != std::string::npos) {
            if (!parse_number(part.substr(eq + 1), &item.error)) return false;
            part = part.substr(0, eq);
        }
        std::size_t colon = part.find(':');
        if (colon != std::string::npos) {
            std::uint32_t n = 0;
            if (!parse_number(part.substr(colon + 1), &n) || n > 0x7FFFFFFF) return false;
            item.nth = static_cast<int>(n);
            part = part.substr(0, colon);
        }
        item.function = trim(part);
        if (!known_function(item.function)) return false;
        items.push_back(item);
    }
    for (const Item& item : items) add_fault(item.function, item.nth, item.error);
    return true;
}

void clear_faults() {
    Lock lock(mutex());
    state().faults.clear();
}

const std::vector<Call>& calls() {
    Lock lock(mutex());
    return state().calls;
}

void clear_calls() {
    Lock lock(mutex());
    state().calls.clear();
}

void set_call_hook(CallHook hook) {
    Lock lock(mutex());
    state().hook = std::move(hook);
}

}  // namespace hostwin

namespace {
// HOSTWIN_FAIL is read once, when the library is loaded.
__attribute__((constructor)) void read_fail_variable() {
    const char* list = std::getenv("HOSTWIN_FAIL");
    if (list == nullptr || *list == '\0') return;
    try {
        if (!hostwin::fail_from_spec(list))
            std::fprintf(stderr, "hostwin: HOSTWIN_FAIL=\"%s\" is not a valid fault list; ignored\n", list);
    } catch (...) {
    }
}
}  // namespace
