// The process-wide state, the per-call scope (hook, log, faults), reset() and
// the thread's last error.
#include "state.h"

#include <cctype>
#include <cstdio>

namespace hostwin::detail {

std::recursive_mutex& mutex() {
    static std::recursive_mutex* m = new std::recursive_mutex;
    return *m;
}

State& state() {
    static State* s = [] {
        State* created = new State;
        install_default_std_handles(*created);
        return created;
    }();
    return *s;
}

namespace {
// Set while the call hook runs, so that stand-in calls made by the hook itself
// do not call it again.
thread_local bool inHook = false;

void run_hook(const char* function, bool before) {
    if (inHook) return;
    CallHook hook;
    {
        Lock lock(mutex());
        hook = state().hook;
    }
    if (!hook) return;
    inHook = true;
    try {
        hook(function, before);
    } catch (...) {
        inHook = false;
        throw;
    }
    inHook = false;
}
}  // namespace

Scope::Scope(const char* function) : function_(function) { run_hook(function_, true); }

Scope::~Scope() {
    try {
        run_hook(function_, false);
    } catch (...) {
        // A throwing hook must not take the process down from a destructor.
    }
}

bool Scope::enter(const std::string& detail) {
    Lock lock(mutex());
    State& s = state();
    index_ = s.calls.size();
    s.calls.push_back(Call{function_, detail, false});
    bool hit = false;
    for (auto it = s.faults.begin(); it != s.faults.end();) {
        if (it->function != function_) {
            ++it;
            continue;
        }
        bool fires = it->always || --it->remaining == 0;
        if (fires && !hit) {
            hit = true;
            error_ = it->error;
        }
        if (fires && !it->always)
            it = s.faults.erase(it);
        else
            ++it;
    }
    if (hit) s.calls[index_].failed = true;
    return hit;
}

void Scope::failed() {
    Lock lock(mutex());
    State& s = state();
    if (index_ < s.calls.size()) s.calls[index_].failed = true;
}

void Scope::note(const std::string& text) {
    Lock lock(mutex());
    State& s = state();
    if (index_ < s.calls.size()) s.calls[index_].detail += text;
}

BOOL Scope::fail_bool(DWORD error) {
    failed();
    SetLastError(error);
    return FALSE;
}

std::string lower(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string hex(std::uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(value));
    return buf;
}

}  // namespace hostwin::detail

namespace {
thread_local DWORD lastError = 0;
}

extern "C" {

DWORD WINAPI GetLastError(void) { return lastError; }
void WINAPI SetLastError(DWORD error) { lastError = error; }

}  // extern "C"

namespace hostwin {

using namespace detail;

void reset() {
    // Modules first: a library's DllMain may still use the rest of the state.
    reset_modules();
    Lock lock(mutex());
    State& s = state();
    reset_kernel(s);
    s.nextMsiHandle = 1;
    s.sessions.clear();
    s.records.clear();
    s.messages.clear();
    s.handler = nullptr;
    s.unknownCloses = 0;
    s.keys.clear();
    s.openKeys.clear();
    s.starts.clear();
    s.faults.clear();
    s.calls.clear();
    s.hook = nullptr;
}

}  // namespace hostwin
