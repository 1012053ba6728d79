// Installer sessions, properties, records and messages.
#include "state.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace hostwin {

using namespace detail;

namespace {

Record* find_record(MSIHANDLE h) {
    auto it = state().records.find(h);
    return it == state().records.end() ? nullptr : &it->second;
}

// The field a setter writes, or null with the setter's error in *status.
Field* field_to_set(Scope& s, MSIHANDLE hRecord, UINT field, UINT* status) {
    Record* r = find_record(hRecord);
    if (r == nullptr || field >= r->fields.size()) {
        *status = r == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER;
        s.failed();
        return nullptr;
    }
    return &r->fields[field];
}

// Copies value into buffer by the installer's rules: a null buffer asks for
// the size only; a buffer too small for the value and its terminator gets what
// fits, terminated, and ERROR_MORE_DATA. *length ends as the value's length.
UINT copy_out(const std::string& value, LPSTR buffer, LPDWORD length) {
    if (length == nullptr) return buffer == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    const DWORD need = static_cast<DWORD>(value.size());
    if (buffer == nullptr) {
        *length = need;
        return ERROR_SUCCESS;
    }
    const DWORD capacity = *length;
    *length = need;
    if (capacity > need) {
        std::memcpy(buffer, value.data(), need);
        buffer[need] = '\0';
        return ERROR_SUCCESS;
    }
    if (capacity > 0) {
        std::memcpy(buffer, value.data(), capacity - 1);
        buffer[capacity - 1] = '\0';
    }
    return ERROR_MORE_DATA;
}

bool is_increment(const Message& m) {
    if ((static_cast<std::uint32_t>(m.type) & 0xFF000000u) != INSTALLMESSAGE_PROGRESS) return false;
    if (m.fields.size() < 2) return false;
    const Field& f = m.fields[1];
    if (f.kind == Field::Integer) return f.integer == 2;
    return f.kind == Field::String && f.text == "2";
}

}  // namespace

MSIHANDLE create_session() {
    Lock lock(mutex());
    State& s = state();
    MSIHANDLE h = s.nextMsiHandle++;
    s.sessions[h];
    return h;
}

void set_property(MSIHANDLE session, const std::string& name, const std::string& value) {
    Lock lock(mutex());
    auto it = state().sessions.find(session);
    if (it == state().sessions.end()) return;
    if (value.empty())
        it->second.properties.erase(name);
    else
        it->second.properties[name] = value;
}

void close_session(MSIHANDLE session) {
    Lock lock(mutex());
    state().sessions.erase(session);
}

const std::vector<Message>& messages() {
    Lock lock(mutex());
    return state().messages;
}

void clear_messages() {
    Lock lock(mutex());
    state().messages.clear();
}

void set_message_handler(MessageHandler handler) {
    Lock lock(mutex());
    state().handler = std::move(handler);
}

void cancel_at_increment(int n) {
    if (n <= 0) {
        set_message_handler(nullptr);
        return;
    }
    auto seen = std::make_shared<int>(0);
    set_message_handler([n, seen](const Message& m) {
        if (is_increment(m) && ++*seen == n) return IDCANCEL;
        return IDOK;
    });
}

std::vector<MSIHANDLE> open_records() {
    Lock lock(mutex());
    std::vector<MSIHANDLE> out;
    for (const auto& entry : state().records) out.push_back(entry.first);
    return out;
}

int unknown_handle_closes() {
    Lock lock(mutex());
    return state().unknownCloses;
}

}  // namespace hostwin

using namespace hostwin;
using namespace hostwin::detail;

extern "C" {

UINT WINAPI MsiGetPropertyA(MSIHANDLE hInstall, LPCSTR name, LPSTR value, LPDWORD valueLen) {
    return guarded<UINT>(ERROR_FUNCTION_FAILED, [&]() -> UINT {
        Scope s("MsiGetPropertyA");
        if (s.enter(name ? name : "(null)")) return s.injected(ERROR_INVALID_HANDLE);
        Lock lock(mutex());
        auto it = state().sessions.find(hInstall);
        if (it == state().sessions.end()) {
            s.failed();
            return ERROR_INVALID_HANDLE;
        }
        if (name == nullptr) {
            s.failed();
            return ERROR_INVALID_PARAMETER;
        }
        auto prop = it->second.properties.find(name);
        static const std::string empty;
        UINT r = copy_out(prop == it->second.properties.end() ? empty : prop->second, value, valueLen);
        if (r != ERROR_SUCCESS) s.failed();
        return r;
    });
}

UINT WINAPI MsiSetPropertyA(MSIHANDLE hInstall, LPCSTR name, LPCSTR value) {
    return guarded<UINT>(ERROR_FUNCTION_FAILED, [&]() -> UINT {
        Scope s("MsiSetPropertyA");
        if (s.enter(std::string(name ? name : "(null)") + "=" + (value ? value : "")))
            return s.injected(ERROR_INVALID_HANDLE);
        Lock lock(mutex());
        auto it = state().sessions.find(hInstall);
        if (it == state().sessions.end()) {
            s.failed();
            return ERROR_INVALID_HANDLE;
        }
        if (name == nullptr || *name == '\0') {
            s.failed();
            return ERROR_INVALID_PARAMETER;
        }
        if (value == nullptr || *value == '\0')
            it->second.properties.erase(name);
        else
            it->second.properties[name] = value;
        return ERROR_SUCCESS;
    });
}

MSIHANDLE WINAPI MsiCreateRecord(UINT fieldCount) {
    return guarded<MSIHANDLE>(0, [&]() -> MSIHANDLE {
        Scope s("MsiCreateRecord");
        if (s.enter(std::to_string(fieldCount))) return 0;
        if (fieldCount > 65535) {
            s.failed();
            return 0;
        }
        Lock lock(mutex());
        State& st = state();
        MSIHANDLE h = st.nextMsiHandle++;
        st.records[h].fields.resize(static_cast<std::size_t>(fieldCount) + 1);
        return h;
    });
}

UINT WINAPI MsiRecordSetStringA(MSIHANDLE hRecord, UINT field, LPCSTR value) {
    return guarded<UINT>(ERROR_FUNCTION_FAILED, [&]() -> UINT {
        Scope s("MsiRecordSetStringA");
        if (s.enter(std::to_string(hRecord) + " " + std::to_string(field) + " " + (value ? value : "(null)")))
            return s.injected(ERROR_INVALID_HANDLE);
        Lock lock(mutex());
        UINT status = ERROR_SUCCESS;
        Field* f = field_to_set(s, hRecord, field, &status);
        if (f == nullptr) return status;
        // As in the installer, an empty text makes the field null.
        *f = (value == nullptr || *value == '\0') ? Field{} : Field{Field::String, 0, value};
        return ERROR_SUCCESS;
    });
}

UINT WINAPI MsiRecordSetInteger(MSIHANDLE hRecord, UINT field, int value) {
    return guarded<UINT>(ERROR_FUNCTION_FAILED, [&]() -> UINT {
        Scope s("MsiRecordSetInteger");
        if (s.enter(std::to_string(hRecord) + " " + std::to_string(field) + " " + std::to_string(value)))
            return s.injected(ERROR_INVALID_HANDLE);
        Lock lock(mutex());
        UINT status = ERROR_SUCCESS;
        Field* f = field_to_set(s, hRecord, field, &status);
        if (f == nullptr) return status;
        // MSI_NULL_INTEGER is the installer's null.
        *f = value == MSI_NULL_INTEGER ? Field{} : Field{Field::Integer, value, ""};
        return ERROR_SUCCESS;
    });
}

int WINAPI MsiRecordGetInteger(MSIHANDLE hRecord, UINT field) {
    return guarded<int>(MSI_NULL_INTEGER, [&]() -> int {
        Lock lock(mutex());
        Record* r = find_record(hRecord);
        if (r == nullptr || field >= r->fields.size()) return MSI_NULL_INTEGER;
        const Field& f = r->fields[field];
        if (f.kind == Field::Integer) return f.integer;
        if (f.kind == Field::String) {
            char* end = nullptr;
            long v = std::strtol(f.text.c_str(), &end, 10);
            if (end != f.text.c_str() && *end == '\0' && v >= -2147483647L && v <= 2147483647L)
                return static_cast<int>(v);
        }
        return MSI_NULL_INTEGER;
    });
}

UINT WINAPI MsiRecordGetStringA(MSIHANDLE hRecord, UINT field, LPSTR value, LPDWORD valueLen) {
    return guarded<UINT>(ERROR_FUNCTION_FAILED, [&]() -> UINT {
        Lock lock(mutex());
        Record* r = find_record(hRecord);
        if (r == nullptr) return ERROR_INVALID_HANDLE;
        if (field >= r->fields.size()) return ERROR_INVALID_PARAMETER;
        const Field& f = r->fields[field];
        std::string text = f.kind == Field::String    ? f.text
                           : f.kind == Field::Integer ? std::to_string(f.integer)
                                                      : std::string();
        return copy_out(text, value, valueLen);
    });
}

BOOL WINAPI MsiRecordIsNull(MSIHANDLE hRecord, UINT field) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        Lock lock(mutex());
        Record* r = find_record(hRecord);
        if (r == nullptr) return FALSE;
        if (field >= r->fields.size()) return TRUE;
        return r->fields[field].kind == Field::Null ? TRUE : FALSE;
    });
}

UINT WINAPI MsiRecordGetFieldCount(MSIHANDLE hRecord) {
    return guarded<UINT>(static_cast<UINT>(-1), [&]() -> UINT {
        Lock lock(mutex());
        Record* r = find_record(hRecord);
        if (r == nullptr) return static_cast<UINT>(-1);
        return static_cast<UINT>(r->fields.size() - 1);
    });
}

int WINAPI MsiProcessMessage(MSIHANDLE hInstall, INSTALLMESSAGE type, MSIHANDLE hRecord) {
    return guarded<int>(-1, [&]() -> int {
        Scope s("MsiProcessMessage");
        char detail[48];
        std::snprintf(detail, sizeof detail, "0x%08X %u", static_cast<unsigned>(type), static_cast<unsigned>(hRecord));
        if (s.enter(detail)) return -1;
        Message m;
        MessageHandler handler;
        {
            Lock lock(mutex());
            State& st = state();
            Record* r = find_record(hRecord);
            if (st.sessions.count(hInstall) == 0 || r == nullptr) {
                s.failed();
                return -1;
            }
            m.session = hInstall;
            m.type = static_cast<std::int32_t>(type);
            m.fields = r->fields;
            handler = st.handler;
        }
        // The handler runs unlocked: it may call back into the stand-in.
        m.answer = handler ? handler(m) : IDOK;
        Lock lock(mutex());
        state().messages.push_back(m);
        return m.answer;
    });
}

UINT WINAPI MsiCloseHandle(MSIHANDLE handle) {
    return guarded<UINT>(ERROR_FUNCTION_FAILED, [&]() -> UINT {
        Scope s("MsiCloseHandle");
        std::string what;
        {
            Lock lock(mutex());
            what = state().records.count(handle)    ? "record "
                   : state().sessions.count(handle) ? "session "
                                                    : "unknown ";
        }
        if (s.enter(what + std::to_string(handle))) return s.injected(ERROR_INVALID_HANDLE);
        Lock lock(mutex());
        State& st = state();
        if (st.records.erase(handle) != 0) return ERROR_SUCCESS;
        // Closing an installation handle ends it: later calls with it fail.
        if (st.sessions.erase(handle) != 0) return ERROR_SUCCESS;
        ++st.unknownCloses;
        s.failed();
        return ERROR_INVALID_HANDLE;
    });
}

}  // extern "C"
