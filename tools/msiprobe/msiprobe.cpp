// krt-msiprobe: installs or removes a Windows Installer package through the
// installer API with the internal UI switched off, and records every message
// that the installer hands to the external UI as one JSON object per line.
//
//   krt-msiprobe --events FILE [--cancel-at N] install PACKAGE [PROP=VALUE...]
//   krt-msiprobe --events FILE [--cancel-at N] remove PACKAGE [PROP=VALUE...]
//
// Lines written to FILE:
//   {"event":"message","type":N,"fields":[...]}   one per message, field 0 first
//   {"event":"result","action":"install","code":N} once, at the end
//
// --cancel-at N answers IDCANCEL to the Nth progress increment (a progress
// record whose field 1 is 2) that a custom action of the package sends; the
// installer's own increments, which it sends while it copies files, are not
// counted. Every other message gets the answer a silent user would give.
// The exit status is the installer API's return code.

#ifndef _WIN32_MSI
#define _WIN32_MSI 450
#endif
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "EventJson.h"

namespace {

struct ProbeState {
    FILE *events = nullptr;
    long cancelAt = 0;                  // 0: never cancel
    long increments = 0;                // custom-action increments seen so far
    std::set<std::string> customActions; // names in the package's CustomAction table
    bool inCustomAction = false;        // the last action started is one of them
};

std::string recordString(MSIHANDLE rec, UINT field) {
    char small[256];
    DWORD len = sizeof small;
    UINT r = MsiRecordGetStringA(rec, field, small, &len);
    if (r == ERROR_SUCCESS)
        return std::string(small, len);
    if (r != ERROR_MORE_DATA)
        return std::string();
    std::vector<char> big(len + 1);
    DWORD bigLen = static_cast<DWORD>(big.size());
    if (MsiRecordGetStringA(rec, field, big.data(), &bigLen) != ERROR_SUCCESS)
        return std::string();
    return std::string(big.data(), bigLen);
}

// One record field as JSON: null when unset, a number when the field holds
// an integer, a string otherwise. A string field that merely looks like a
// number ("007", "+1") keeps its string form.
void appendField(std::string &out, MSIHANDLE rec, UINT field) {
    if (MsiRecordIsNull(rec, field)) {
        out += "null";
        return;
    }
    std::string text = recordString(rec, field);
    int value = MsiRecordGetInteger(rec, field);
    if (value != static_cast<int>(MSI_NULL_INTEGER)) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%d", value);
        if (text == digits) {
            out += digits;
            return;
        }
    }
    krt_events::AppendJsonString(out, text);
}

bool isIncrement(UINT type, MSIHANDLE rec) {
    return (type & 0xFF000000u) == INSTALLMESSAGE_PROGRESS && rec != 0 &&
           !MsiRecordIsNull(rec, 1) && MsiRecordGetInteger(rec, 1) == 2;
}

// The answer of a user who accepts whatever the installer says.
int defaultAnswer(UINT type) {
    switch (type & 0xFF000000u) {
    case INSTALLMESSAGE_PROGRESS:
    case INSTALLMESSAGE_ACTIONSTART:
    case INSTALLMESSAGE_ACTIONDATA:
        return IDOK;
    case INSTALLMESSAGE_USER:
    case INSTALLMESSAGE_WARNING:
    case INSTALLMESSAGE_ERROR:
        // A box with an OK button (alone or with Cancel) is acknowledged;
        // any other set of buttons is left to the installer's default.
        return (type & 0x0F) <= MB_OKCANCEL ? IDOK : 0;
    default:
        return 0;
    }
}

int WINAPI handler(LPVOID context, UINT type, MSIHANDLE rec) {
    ProbeState *state = static_cast<ProbeState *>(context);
    std::string line = "{\"event\":\"message\",\"type\":";
    line += std::to_string(type);
    line += ",\"fields\":[";
    if (rec != 0) {
        UINT count = MsiRecordGetFieldCount(rec);
        if (count != static_cast<UINT>(-1)) {
            for (UINT i = 0; i <= count; ++i) {
                if (i) line += ',';
                appendField(line, rec, i);
            }
        }
    }
    line += "]}\n";
    std::fputs(line.c_str(), state->events);
    std::fflush(state->events);

    if ((type & 0xFF000000u) == INSTALLMESSAGE_ACTIONSTART && rec != 0)
        state->inCustomAction = state->customActions.count(recordString(rec, 1)) != 0;

    if (state->inCustomAction && isIncrement(type, rec)) {
        ++state->increments;
        if (state->cancelAt > 0 && state->increments == state->cancelAt)
            return IDCANCEL;
    }
    return defaultAnswer(type);
}

// The names of the package's custom actions. The installer announces every
// action with an action-start message naming it, so these names tell which
// progress records come from a custom action.
std::set<std::string> readCustomActions(const char *package) {
    std::set<std::string> names;
    MSIHANDLE db = 0;
    if (MsiOpenDatabaseA(package, MSIDBOPEN_READONLY, &db) != ERROR_SUCCESS)
        return names;
    MSIHANDLE view = 0;
    if (MsiDatabaseOpenViewA(db, "SELECT `Action` FROM `CustomAction`", &view) == ERROR_SUCCESS) {
        if (MsiViewExecute(view, 0) == ERROR_SUCCESS) {
            MSIHANDLE row = 0;
            while (MsiViewFetch(view, &row) == ERROR_SUCCESS) {
                names.insert(recordString(row, 1));
                MsiCloseHandle(row);
            }
        }
        MsiViewClose(view);
        MsiCloseHandle(view);
    }
    MsiCloseHandle(db);
    return names;
}

// PROP=VALUE with the value quoted when it holds a space or a quote.
std::string commandLineProperty(const char *assignment) {
    const char *eq = std::strchr(assignment, '=');
    if (!eq)
        return assignment;
    std::string value(eq + 1);
    if (value.find_first_of(" \t\"") == std::string::npos)
        return assignment;
    std::string out(assignment, eq + 1);
    out += '"';
    for (char c : value) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

int usage() {
    std::fputs("usage: krt-msiprobe --events FILE [--cancel-at N] install PACKAGE [PROP=VALUE...]\n"
               "       krt-msiprobe --events FILE [--cancel-at N] remove PACKAGE [PROP=VALUE...]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    const char *eventsPath = nullptr;
    ProbeState state;
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        if (std::strcmp(argv[i], "--events") == 0 && i + 1 < argc) {
            eventsPath = argv[++i];
        } else if (std::strcmp(argv[i], "--cancel-at") == 0 && i + 1 < argc) {
            char *end = nullptr;
            state.cancelAt = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || state.cancelAt <= 0)
                return usage();
        } else {
            return usage();
        }
    }
    if (!eventsPath || argc - i < 2)
        return usage();
    const std::string action = argv[i];
    const char *package = argv[i + 1];
    if (action != "install" && action != "remove")
        return usage();

    std::string commandLine;
    if (action == "remove")
        commandLine = "REMOVE=ALL";
    for (int k = i + 2; k < argc; ++k) {
        if (!commandLine.empty()) commandLine += ' ';
        commandLine += commandLineProperty(argv[k]);
    }

    if (state.cancelAt > 0)
        state.customActions = readCustomActions(package);

    state.events = std::fopen(eventsPath, "wb");
    if (!state.events) {
        std::fprintf(stderr, "krt-msiprobe: cannot open %s\n", eventsPath);
        return 2;
    }

    const DWORD allMessages =
        INSTALLLOGMODE_FATALEXIT | INSTALLLOGMODE_ERROR | INSTALLLOGMODE_WARNING | INSTALLLOGMODE_USER |
        INSTALLLOGMODE_INFO | INSTALLLOGMODE_RESOLVESOURCE | INSTALLLOGMODE_OUTOFDISKSPACE |
        INSTALLLOGMODE_ACTIONSTART | INSTALLLOGMODE_ACTIONDATA | INSTALLLOGMODE_COMMONDATA |
        INSTALLLOGMODE_PROGRESS | INSTALLLOGMODE_INITIALIZE | INSTALLLOGMODE_TERMINATE |
        INSTALLLOGMODE_SHOWDIALOG | INSTALLLOGMODE_FILESINUSE | INSTALLLOGMODE_RMFILESINUSE |
        INSTALLLOGMODE_INSTALLSTART | INSTALLLOGMODE_INSTALLEND;

    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    UINT set = MsiSetExternalUIRecord(handler, allMessages, &state, nullptr);
    if (set != ERROR_SUCCESS) {
        std::fprintf(stderr, "krt-msiprobe: MsiSetExternalUIRecord failed with %u\n", set);
        std::fclose(state.events);
        return static_cast<int>(set);
    }

    UINT code = MsiInstallProductA(package, commandLine.c_str());

    std::fprintf(state.events, "{\"event\":\"result\",\"action\":\"%s\",\"code\":%u}\n", action.c_str(), code);
    std::fclose(state.events);
    return static_cast<int>(code);
}
