// Fault injection, the call log and the call hook.
#include "fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

namespace hwtest {
namespace {

class FaultsTest : public HostwinTest {};

TEST_F(FaultsTest, NthCallFailsOnceAndIsMarkedInTheLog) {
    hostwin::reg_set_default_machine();
    hostwin::fail("RegOpenKeyExA", 2);
    HKEY k[3] = {};
    LSTATUS r[3];
    for (int i = 0; i < 3; ++i)
        r[i] = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_READ, &k[i]);
    EXPECT_EQ(r[0], ERROR_SUCCESS);
    EXPECT_EQ(r[1], ERROR_ACCESS_DENIED);
    EXPECT_EQ(k[1], nullptr);
    EXPECT_EQ(r[2], ERROR_SUCCESS);
    const auto& log = hostwin::calls();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_FALSE(log[0].failed);
    EXPECT_TRUE(log[1].failed);
    EXPECT_EQ(log[1].detail, "HKEY_LOCAL_MACHINE\\SYSTEM");
    RegCloseKey(k[0]);
    RegCloseKey(k[2]);
}

TEST_F(FaultsTest, EveryCallFailsWithTheGivenError) {
    MSIHANDLE session = hostwin::create_session();
    hostwin::fail("MsiGetPropertyA", 0, 1234);
    char buf[8];
    for (int i = 0; i < 3; ++i) {
        DWORD len = sizeof buf;
        EXPECT_EQ(MsiGetPropertyA(session, "TARGETDIR", buf, &len), 1234u);
    }
    hostwin::clear_faults();
    DWORD len = sizeof buf;
    EXPECT_EQ(MsiGetPropertyA(session, "TARGETDIR", buf, &len), static_cast<UINT>(ERROR_SUCCESS));
}

// Each function's failure value and error when a fault names no error.
TEST_F(FaultsTest, InjectedFailuresGiveEachFunctionsUsualFailure) {
    MSIHANDLE session = hostwin::create_session();
    MSIHANDLE rec = MsiCreateRecord(1);
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    ASSERT_TRUE(CreatePipe(&r, &w, &sa, 0));
    hostwin::clear_calls();

    struct Case {
        const char* function;
        std::function<bool()> failsAsExpected;
    };
    auto lastError = [](DWORD e) { return GetLastError() == e; };
    const Case cases[] = {
        {"MsiGetPropertyA", [&] { DWORD l = 0; return MsiGetPropertyA(session, "X", nullptr, &l) == ERROR_INVALID_HANDLE; }},
        {"MsiCreateRecord", [&] { return MsiCreateRecord(1) == 0; }},
        {"MsiRecordSetStringA", [&] { return MsiRecordSetStringA(rec, 0, "x") == ERROR_INVALID_HANDLE; }},
        {"MsiRecordSetInteger", [&] { return MsiRecordSetInteger(rec, 1, 1) == ERROR_INVALID_HANDLE; }},
        {"MsiProcessMessage", [&] { return MsiProcessMessage(session, INSTALLMESSAGE_INFO, rec) == -1 && hostwin::messages().empty(); }},
        {"RegOpenKeyExA", [&] { HKEY k; return RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, 0, &k) == ERROR_ACCESS_DENIED; }},
        {"RegQueryValueExA", [&] { DWORD l = 0; return RegQueryValueExA(HKEY_LOCAL_MACHINE, "V", nullptr, nullptr, nullptr, &l) == ERROR_ACCESS_DENIED; }},
        {"CreatePipe", [&] { HANDLE a, b; return !CreatePipe(&a, &b, &sa, 0) && lastError(ERROR_ACCESS_DENIED); }},
        {"SetStdHandle", [&] { return !SetStdHandle(STD_OUTPUT_HANDLE, w) && lastError(ERROR_ACCESS_DENIED); }},
        {"CloseHandle", [&] { return !CloseHandle(w) && lastError(ERROR_ACCESS_DENIED); }},
        {"PeekNamedPipe", [&] { DWORD n; return !PeekNamedPipe(r, nullptr, 0, nullptr, &n, nullptr) && lastError(ERROR_ACCESS_DENIED); }},
        {"WaitForSingleObject", [&] { return WaitForSingleObject(r, 0) == WAIT_FAILED; }},
        {"GetExitCodeProcess", [&] { DWORD c; return !GetExitCodeProcess(GetCurrentProcess(), &c); }},
        {"LoadLibraryA", [&] { return LoadLibraryA(HW_MODULE) == nullptr && lastError(ERROR_MOD_NOT_FOUND); }},
        {"GetFileAttributesA", [&] { return GetFileAttributesA("/") == INVALID_FILE_ATTRIBUTES; }},
        {"SendMessageTimeoutA", [&] { return SendMessageTimeoutA(HWND_BROADCAST, 0, 0, 0, 0, 0, nullptr) == 0; }},
        {"SHFileOperationA", [&] { SHFILEOPSTRUCTA op{}; op.wFunc = FO_DELETE; op.pFrom = "x\0"; return SHFileOperationA(&op) == 5; }},
        {"_putenv", [&] { errno = 0; return _putenv("HW_FAULT=1") == -1 && errno == ENOMEM && !std::getenv("HW_FAULT"); }},
        {"_open_osfhandle", [&] { errno = 0; return _open_osfhandle(reinterpret_cast<std::intptr_t>(r), 0) == -1 && errno == EBADF; }},
        {"_fdopen", [&] { return _fdopen(0, "r") == nullptr; }},
        {"_close", [&] {
             int spare = ::dup(0);
             errno = 0;
             bool failed = _close(spare) == -1 && errno == EBADF && ::fcntl(spare, F_GETFD) >= 0;
             ::close(spare);
             return failed;
         }},
    };
    for (const Case& c : cases) {
        hostwin::fail(c.function);
        SetLastError(0);
        EXPECT_TRUE(c.failsAsExpected()) << c.function;
        ASSERT_FALSE(hostwin::calls().empty());
        EXPECT_EQ(hostwin::calls().back().function, c.function);
        EXPECT_TRUE(hostwin::calls().back().failed) << c.function;
    }
    // The pipe survived the failed CloseHandle.
    EXPECT_TRUE(CloseHandle(w));
    CloseHandle(r);
}

TEST_F(FaultsTest, FaultListIsParsedOrRejectedWhole) {
    struct Case {
        const char* text;
        bool ok;
    };
    for (Case c : {Case{"", true}, Case{"CreatePipe", true}, Case{"RegQueryValueExA:2=0x20, MsiCreateRecord:0", true},
                   Case{"NoSuchCall", false}, Case{"CreatePipe:x", false}, Case{"CreatePipe=", false},
                   Case{"CreatePipe,,LoadLibraryA", false}, Case{"CreatePipe,NoSuchCall", false}}) {
        hostwin::clear_faults();
        EXPECT_EQ(hostwin::fail_from_spec(c.text), c.ok) << c.text;
        if (!c.ok) {
            HANDLE a, b;
            EXPECT_TRUE(CreatePipe(&a, &b, nullptr, 0)) << "nothing added by " << c.text;
            CloseHandle(a);
            CloseHandle(b);
        }
    }

    hostwin::clear_faults();
    hostwin::reg_set_default_machine();
    ASSERT_TRUE(hostwin::fail_from_spec("RegQueryValueExA:2=0x20"));
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
                            KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    DWORD len = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Path", nullptr, nullptr, nullptr, &len), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, "Path", nullptr, nullptr, nullptr, &len), 0x20);
    RegCloseKey(key);
}

TEST_F(FaultsTest, EnvironmentVariableIsReadWhenTheLibraryLoads) {
    // A fresh process: the probe creates three records with MsiCreateRecord:2 failing.
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    ASSERT_TRUE(CreatePipe(&r, &w, &sa, 0));
    std::string line = std::string("\"") + HW_PROBE + "\" records 3";
    char block[] = "HOSTWIN_FAIL=MsiCreateRecord:2\0";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = w;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, block, nullptr, &si, &pi));
    CloseHandle(w);
    EXPECT_EQ(read_all(r), "1\n0\n2\n");
    CloseHandle(r);
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
}

TEST_F(FaultsTest, HookRunsAroundEachCallButNotAroundItsOwnCalls) {
    std::vector<std::string> seen;
    hostwin::set_call_hook([&](const std::string& function, bool before) {
        seen.push_back(function + (before ? "+" : "-"));
        if (function == "MsiCreateRecord" && before) MsiCloseHandle(0);  // not hooked again
    });
    MSIHANDLE rec = MsiCreateRecord(1);
    MsiCloseHandle(rec);
    EXPECT_EQ(seen, (std::vector<std::string>{"MsiCreateRecord+", "MsiCreateRecord-", "MsiCloseHandle+",
                                              "MsiCloseHandle-"}));
    ASSERT_EQ(hostwin::calls().size(), 3u);  // the hook's own call is still logged
    EXPECT_EQ(hostwin::calls()[0].detail, "unknown 0");
}

}  // namespace
}  // namespace hwtest
