// A small custom-action library for the driver's tests. Each action's behaviour
// is steered by installer properties of the session:
//   Install    reads TARGETDIR first (a failed read: error message, 1602), logs it
//              as an info message, then sends MessageText, if set, as a message of
//              type MessageType (default: error box, 0x03000010).
//   Commit     sends one progress reset of Total ticks (default: Ticks) and Ticks
//              increments of one; a cancel answer returns 1602.
//   Rollback   nothing.
//   Uninstall  appends "x" to HKLM\SOFTWARE\FakeKit "Runs" and creates C:\ and C:\FakeKit.
// Every action that gets to its end returns the property <Action>Result (default 0).
#include <hostwin/hostwin.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool property(MSIHANDLE session, const char* name, std::string* value, UINT* result = nullptr) {
    char buffer[1024];
    DWORD length = sizeof buffer;
    UINT r = MsiGetPropertyA(session, name, buffer, &length);
    if (result) *result = r;
    if (r != 0) return false;
    *value = buffer;
    return true;
}

int int_property(MSIHANDLE session, const char* name, int fallback) {
    std::string text;
    if (!property(session, name, &text) || text.empty()) return fallback;
    return static_cast<int>(std::strtol(text.c_str(), nullptr, 0));
}

int send_text(MSIHANDLE session, unsigned int type, const std::string& text) {
    MSIHANDLE record = MsiCreateRecord(2);
    MsiRecordSetStringA(record, 0, text.c_str());
    int answer = MsiProcessMessage(session, static_cast<INSTALLMESSAGE>(type), record);
    MsiCloseHandle(record);
    return answer;
}

int send_progress(MSIHANDLE session, int what, int ticks) {
    MSIHANDLE record = MsiCreateRecord(3);
    MsiRecordSetInteger(record, 1, what);
    MsiRecordSetInteger(record, 2, ticks);
    MsiRecordSetInteger(record, 3, 0);
    int answer = MsiProcessMessage(session, INSTALLMESSAGE_PROGRESS, record);
    MsiCloseHandle(record);
    return answer;
}

}  // namespace

extern "C" UINT Install(MSIHANDLE session) {
    std::string target, text;
    UINT read = 0;
    if (!property(session, "TARGETDIR", &target, &read)) {
        send_text(session, 0x03000010, "cannot read TARGETDIR (" + std::to_string(read) + ")");
        return 1602;
    }
    send_text(session, INSTALLMESSAGE_INFO, "Install: TARGETDIR=" + target);
    if (property(session, "MessageText", &text) && !text.empty())
        send_text(session, static_cast<unsigned int>(int_property(session, "MessageType", 0x03000010)), text);
    return static_cast<UINT>(int_property(session, "InstallResult", 0));
}

extern "C" UINT Commit(MSIHANDLE session) {
    int ticks = int_property(session, "Ticks", 0);
    send_progress(session, 0, int_property(session, "Total", ticks));
    for (int i = 0; i < ticks; ++i)
        if (send_progress(session, 2, 1) == IDCANCEL) return 1602;
    return static_cast<UINT>(int_property(session, "CommitResult", 0));
}

extern "C" UINT Rollback(MSIHANDLE) { return 0; }

extern "C" UINT Uninstall(MSIHANDLE session) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\FakeKit", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != 0)
        return 1602;
    char runs[64] = "";
    DWORD type = 0, size = sizeof runs - 2;
    if (RegQueryValueExA(key, "Runs", nullptr, &type, reinterpret_cast<LPBYTE>(runs), &size) != 0) runs[0] = 0;
    std::strcat(runs, "x");
    RegSetValueExA(key, "Runs", 0, REG_SZ, reinterpret_cast<const BYTE*>(runs), static_cast<DWORD>(std::strlen(runs) + 1));
    RegCloseKey(key);
    CreateDirectoryA("C:\\", nullptr);
    CreateDirectoryA("C:\\FakeKit", nullptr);
    return static_cast<UINT>(int_property(session, "UninstallResult", 0));
}
