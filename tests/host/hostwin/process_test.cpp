// Child processes: command-line splitting, program search, pipes to and
// inheritance by real children, exit codes and waits.
#include "fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>

namespace hwtest {
namespace {

using Args = std::vector<std::string>;

TEST(SplitCommandLine, FollowsTheWindowsStartupRules) {
    struct Case {
        const char* line;
        Args args;
    };
    const Case cases[] = {
        {"", {}},
        {"   ", {}},
        {"prog", {"prog"}},
        {"  prog  a\tb  ", {"prog", "a", "b"}},
        {"_KRTInstaller.exe -o -d \"C:\\Apps\\My Kit\"", {"_KRTInstaller.exe", "-o", "-d", "C:\\Apps\\My Kit"}},
        // A trailing backslash before the closing quote escapes it.
        {"p -d \"C:\\Apps\\Kit\\\" -x", {"p", "-d", "C:\\Apps\\Kit\" -x"}},
        {"p a\\\\\"b c\"", {"p", "a\\b c"}},        // 2n backslashes + quote: n backslashes, quote toggles
        {"p a\\\\\\\"b", {"p", "a\\\"b"}},         // 2n+1: n backslashes and a literal quote
        {"p a\\\\b\\", {"p", "a\\\\b\\"}},         // backslashes elsewhere are literal
        {"p \"\" x", {"p", "", "x"}},
        {"p \"a\"\"b\"", {"p", "a\"b"}},            // "" inside quotes is a literal quote
        {"p ab\"c d\"e", {"p", "abc de"}},
        // The program name takes quotes as grouping only, backslashes as they are.
        {"\"C:\\Program Files\\x\\\" y", {"C:\\Program Files\\x\\", "y"}},
    };
    for (const Case& c : cases) EXPECT_EQ(hostwin::split_command_line(c.line), c.args) << c.line;
}

// In code page 932 a lead byte and its trail byte are one character: a trail
// byte 0x5C before a quote escapes nothing.
TEST(SplitCommandLine, ReadsDoubleByteCharactersWhole) {
    const std::string line = "p -d \"C:\\Data\x95\x5C\" \x83\x5C\\\"x";
    EXPECT_EQ(hostwin::split_command_line(line), (Args{"p", "-d", "C:\\Data\x95\" \x83\\x"}));
    hostwin::set_ansi_code_page(932);
    EXPECT_EQ(hostwin::split_command_line(line), (Args{"p", "-d", "C:\\Data\x95\x5C", "\x83\x5C\"x"}));
    hostwin::set_ansi_code_page(1252);
}

class ProcessTest : public HostwinTest {
protected:
    struct Child {
        PROCESS_INFORMATION pi{};
        bool started = false;
    };

    // Starts the probe with stdout and stderr on the given handle.
    static Child start(const std::string& steps, HANDLE out, BOOL inherit = TRUE, const char* program = HW_PROBE) {
        std::string line = std::string("\"") + program + "\" " + steps;
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError = out;
        Child c;
        c.started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, inherit, DETACHED_PROCESS, nullptr, nullptr,
                                   &si, &c.pi) != FALSE;
        return c;
    }

    static void finish(Child& c) {
        WaitForSingleObject(c.pi.hProcess, 10000);
        CloseHandle(c.pi.hProcess);
        CloseHandle(c.pi.hThread);
    }

    static HANDLE pipe(HANDLE* w, BOOL inherit) {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, inherit};
        HANDLE r = nullptr;
        EXPECT_TRUE(CreatePipe(&r, w, &sa, 0));
        return r;
    }

    // An fd of the handle for poll(); the descriptor owns the handle afterwards.
    static int fd_of(HANDLE h) { return _open_osfhandle(reinterpret_cast<std::intptr_t>(h), _O_RDONLY); }
};

TEST_F(ProcessTest, PipeEndsOnlyOnceEveryWriteEndIsClosed) {
    HANDLE w = nullptr;
    HANDLE r = pipe(&w, TRUE);

    // The child writes, then closes its stdout and stderr and stays alive: that
    // must leave it no other copy of the write end.
    Child c = start("out hello close 1 close 2 sleep 5000", w);
    ASSERT_TRUE(c.started) << GetLastError();

    // While this process still holds the write end, there is no end of stream.
    HANDLE rd = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), r, GetCurrentProcess(), &rd, 0, FALSE, DUPLICATE_SAME_ACCESS));
    int fd = fd_of(rd);
    char buf[16];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(r, buf, sizeof buf, &got, nullptr));
    EXPECT_EQ(std::string(buf, got), "hello\n");
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 100), 0);

    ASSERT_TRUE(CloseHandle(w));
    ASSERT_EQ(::poll(&p, 1, 5000), 1) << "the child still holds a copy of the write end";
    EXPECT_FALSE(ReadFile(r, buf, sizeof buf, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_EQ(got, 0u);

    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(c.pi.hProcess, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE)) << "the end came from closing, not from exiting";
    ASSERT_TRUE(TerminateProcess(c.pi.hProcess, 42));
    EXPECT_EQ(WaitForSingleObject(c.pi.hProcess, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    ASSERT_TRUE(GetExitCodeProcess(c.pi.hProcess, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_FALSE(TerminateProcess(c.pi.hProcess, 1));  // already ended
    ::close(fd);
    CloseHandle(r);
    finish(c);
    EXPECT_TRUE(hostwin::open_handles().empty());
}

TEST_F(ProcessTest, ChildReceivesInheritableHandlesOnly) {
    HANDLE inhW = nullptr, privW = nullptr, dupW = nullptr;
    HANDLE inhR = pipe(&inhW, TRUE);
    HANDLE privR = pipe(&privW, FALSE);
    // A non-inheritable handle made inheritable by duplication.
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), privW, GetCurrentProcess(), &dupW, 0, TRUE, DUPLICATE_SAME_ACCESS));
    int inhFd = fd_of(inhW), privFd = fd_of(privW), dupFd = fd_of(dupW);
    // The child reports through its exit code: without inheritance it has no
    // standard handles to write to.
    std::string steps = "mask " + std::to_string(inhFd) + "," + std::to_string(privFd) + "," + std::to_string(dupFd);

    DWORD code = 99;
    run_probe(steps, TRUE, &code);
    EXPECT_EQ(code, 0b101u) << "inheritable and duplicated-inheritable arrive, the private one does not";
    run_probe(steps, FALSE, &code);
    EXPECT_EQ(code, 0u) << "nothing arrives without inheritance";
    ::close(inhFd);
    ::close(privFd);
    ::close(dupFd);
    CloseHandle(inhR);
    CloseHandle(privR);
}

TEST_F(ProcessTest, StandardHandlesReachTheChildOnlyWhenInheritable) {
    // Inheritable handle, handles inherited: the child's output arrives.
    DWORD code = 0;
    EXPECT_EQ(run_probe("out to-stdout err to-stderr exit 3", TRUE, &code), "to-stdout\nto-stderr\n");
    EXPECT_EQ(code, 3u);

    // Handles not inherited: the child writes into /dev/null and the pipe just ends.
    EXPECT_EQ(run_probe("out lost", FALSE, &code), "");
    EXPECT_EQ(code, 0u);

    HANDLE w = nullptr;
    HANDLE r = pipe(&w, FALSE);
    Child c = start("out lost", w);
    ASSERT_TRUE(c.started);
    CloseHandle(w);
    EXPECT_EQ(read_all(r), "");
    CloseHandle(r);
    finish(c);
    ASSERT_FALSE(hostwin::process_starts().empty());
    EXPECT_EQ(hostwin::process_starts().back().stdOutputKind, "pipe-write");
    EXPECT_EQ(hostwin::process_starts().back().stdInputKind, "null");
}

TEST_F(ProcessTest, ExitCodeIsStillActiveUntilTheChildEnds) {
    Child c = start("sleep 200 exit 7", nullptr);
    ASSERT_TRUE(c.started);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(c.pi.hProcess, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (code == STILL_ACTIVE && std::chrono::steady_clock::now() < until) {
        Sleep(10);
        ASSERT_TRUE(GetExitCodeProcess(c.pi.hProcess, &code));
    }
    EXPECT_EQ(code, 7u);
    EXPECT_FALSE(GetExitCodeProcess(c.pi.hThread, &code));  // a thread handle is not a process
    finish(c);
}

TEST_F(ProcessTest, NextExitCodeCanBeOneThatLinuxCannotCarry) {
    hostwin::set_next_exit_code(STILL_ACTIVE);
    DWORD code = 0;
    run_probe("exit 3", TRUE, &code);
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    run_probe("exit 3", TRUE, &code);
    EXPECT_EQ(code, 3u) << "only the next start";
    hostwin::set_next_exit_code(9);
    hostwin::reset();
    run_probe("exit 4", TRUE, &code);
    EXPECT_EQ(code, 4u) << "reset drops it";
}

TEST_F(ProcessTest, WaitTimesOutOrSeesTheEnd) {
    Child c = start("sleep 5000", nullptr);
    ASSERT_TRUE(c.started);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(c.pi.hProcess, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(50));
    EXPECT_LT(waited, std::chrono::milliseconds(4000));
    EXPECT_EQ(WaitForSingleObject(c.pi.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    TerminateProcess(c.pi.hProcess, 1);
    EXPECT_EQ(WaitForSingleObject(c.pi.hThread, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(c.pi.hProcess, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    finish(c);

    HANDLE w = nullptr;
    HANDLE r = pipe(&w, FALSE);
    EXPECT_EQ(WaitForSingleObject(r, 0), WAIT_FAILED);
    CloseHandle(r);
    CloseHandle(w);
}

TEST_F(ProcessTest, BareNamesAreFoundThroughWindowsAndHostPathEntries) {
    std::string hostBin = root_ + "/hostbin";
    fs::create_directories(root_ + "/C/Tools");
    fs::create_directories(hostBin);
    fs::copy_file(HW_PROBE, root_ + "/C/Tools/winprobe.exe");
    fs::copy_file(HW_PROBE, hostBin + "/hostprobe");
    ::setenv("PATH", ("C:\\Nowhere;C:\\Tools;/nonexistent:" + hostBin + ":/usr/bin").c_str(), 1);

    struct Case {
        std::string line;
        std::string argv0;
    };
    for (const Case& c : {Case{"winprobe args", "winprobe"},          // .exe appended
                          Case{"winprobe.exe args", "winprobe.exe"},
                          Case{"\"hostprobe\" args", "hostprobe"}}) {
        HANDLE w = nullptr;
        HANDLE r = pipe(&w, TRUE);
        std::string line = c.line;
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = w;
        PROCESS_INFORMATION pi{};
        ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
            << c.line << " error " << GetLastError();
        CloseHandle(w);
        EXPECT_EQ(read_all(r), "[" + c.argv0 + "]\n[args]\n") << c.line;
        CloseHandle(r);
        WaitForSingleObject(pi.hProcess, 10000);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }

    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    char missing[] = "nosuchprogram -x";
    EXPECT_FALSE(CreateProcessA(nullptr, missing, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(hostwin::calls().back().failed);
}

TEST_F(ProcessTest, CurrentFolderEnvironmentAndPutenvReachTheChild) {
    fs::create_directories(root_ + "/D/Work");
    ::setenv("HW_FROM_PARENT", "old", 1);
    ASSERT_EQ(_putenv("HW_FROM_PARENT=D:\\Apps\\Rt"), 0);
    ASSERT_EQ(_putenv("HW_GONE=x"), 0);
    ASSERT_EQ(_putenv("HW_GONE="), 0);  // an empty value removes it
    EXPECT_EQ(std::getenv("HW_GONE"), nullptr);
    EXPECT_EQ(_putenv("NoEqualsSign"), -1);
    EXPECT_EQ(_putenv("=value"), -1);
    EXPECT_EQ(run_probe("env HW_FROM_PARENT env HW_GONE"), "HW_FROM_PARENT=D:\\Apps\\Rt\nHW_GONE unset\n");

    HANDLE w = nullptr;
    HANDLE r = pipe(&w, TRUE);
    std::string line = std::string("\"") + HW_PROBE + "\" cwd env ONLY";
    char block[] = "ONLY=this\0HOSTWIN_ROOT=/x\0";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = w;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, block, "D:\\Work", &si, &pi));
    CloseHandle(w);
    EXPECT_EQ(read_all(r), fs::canonical(root_ + "/D/Work").string() + "\nONLY=this\n");
    CloseHandle(r);
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    ::unsetenv("HW_FROM_PARENT");
}

}  // namespace
}  // namespace hwtest
