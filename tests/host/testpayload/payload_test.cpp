// The payload program as a child process: what it lays down, what it prints,
// and how its order file changes both.

#include "payload_fixture.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char* const kWin32 = "v71\\runtime\\win32\\";
const std::vector<std::string> kLaidDown = {
    "zqcommgr.dll",
    "zqcomutil.dll",
#if defined(KRT_RUNTIME_FILE)
    KRT_RUNTIME_FILE,
#endif
};

struct Outcome {
    std::string out, err;
    pid_t pid = -1;
    bool closed = false;      // both streams ended (within 10 s of silence)
    Clock::time_point eofAt;  // when they had
    Clock::time_point endAt;  // when the child had ended
    int status = 0;           // waitpid status, once it has ended
    bool ended = false;
};

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Starts the program with separate pipes for its two streams, reads both to
// their end, then waits for it unless told not to.
Outcome run_payload(const fs::path& program, const std::vector<std::string>& args, bool wait = true) {
    int out[2], err[2];
    Outcome run;
    if (pipe(out) != 0 || pipe(err) != 0) return run;
    run.pid = fork();
    if (run.pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]), close(out[1]), close(err[0]), close(err[1]);
        std::vector<char*> argv;
        std::string name = "_KRTInstaller.exe";
        argv.push_back(&name[0]);
        std::vector<std::string> copy = args;
        for (std::string& a : copy) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]), close(err[1]);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open = 2;
    while (open > 0 && poll(fds, 2, 10000) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, (std::size_t)n);
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    run.closed = open == 0;
    run.eofAt = Clock::now();
    run.ended = waitpid(run.pid, &run.status, wait ? 0 : WNOHANG) == run.pid;
    run.endAt = Clock::now();
    return run;
}

class PayloadTest : public ScratchRoot {
protected:
    void SetUp() override {
        ScratchRoot::SetUp();
        pkg_ = install_payload();
    }
    void TearDown() override {
        if (hung_ > 0) kill(hung_, SIGKILL), waitpid(hung_, nullptr, 0);
        ScratchRoot::TearDown();
    }
    void order(const std::string& text) { write_file(pkg_ / "_KRTInstaller.cfg", text); }
    Outcome run(const std::vector<std::string>& args = {"-o", "-d", "C:\\Apps\\Kit"}, bool wait = true) {
        Outcome r = run_payload(pkg_ / "_KRTInstaller.exe", args, wait);
        if (!r.ended) hung_ = r.pid;
        return r;
    }
    fs::path win32(const std::string& root = "Apps/Kit") { return root_ / "C" / root / "v71/runtime/win32"; }
    static int exit_code(const Outcome& r) { return WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1; }

    fs::path pkg_;
    pid_t hung_ = -1;
};

std::vector<std::string> file_lines() {
    std::vector<std::string> lines;
    for (const std::string& name : kLaidDown) lines.push_back(kWin32 + name);
    return lines;
}

TEST_F(PayloadTest, LaysDownEachFileAndPrintsOneLineForIt) {
    Outcome r = run({"-o", "-d", "C:\\Program Files\\My Kit"});
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(exit_code(r), 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(split_lines(r.out), file_lines());
    EXPECT_EQ(r.out.back(), '\n');
    for (const std::string& name : kLaidDown) {
        SCOPED_TRACE(name);
        fs::path laid = win32("Program Files/My Kit") / name;
        ASSERT_TRUE(fs::exists(laid));
        EXPECT_EQ(read_file(laid), read_file(pkg_ / "files" / name));
    }
}

TEST_F(PayloadTest, OrdersShapeTheOutputAndExitCode) {
    struct Case {
        const char* orders;
        std::size_t lines;     // lines on standard output
        std::string lastLine;  // empty: not checked
        int exitCode;
        std::size_t warnings;  // lines on standard error
        bool filesLaid;
    };
    const std::size_t files = kLaidDown.size();
    const Case cases[] = {
        {"lines 5\n", files + 5, "", 0, 0, true},
        {"long 1500\n", files + 1, std::string(1500, 'L'), 0, 0, true},
        {"nul 3\n", files + 1, std::string(3, '\0'), 0, 0, true},
        {"exit 7\n", files, "", 7, 0, true},
        {"silent\nlines 4\nbogus\n", 0, "", 0, 0, true},
        {"skip-files\nlines 2\n", 2, "", 0, 0, false},
        {"# comment\n\nbogus order\nlines x\r\nlines 1\r\n", files + 1, "", 0, 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.orders);
        fs::remove_all(root_ / "C" / "Apps");
        order(c.orders);
        Outcome r = run();
        ASSERT_TRUE(r.ended);
        EXPECT_EQ(exit_code(r), c.exitCode);
        std::vector<std::string> lines = split_lines(r.out);
        EXPECT_EQ(lines.size(), c.lines);
        if (!c.lastLine.empty() && !lines.empty()) {
            EXPECT_EQ(lines.back(), c.lastLine);
        }
        EXPECT_EQ(split_lines(r.err).size(), c.warnings) << r.err;
        EXPECT_EQ(fs::exists(win32() / "zqcommgr.dll"), c.filesLaid);
    }
}

TEST_F(PayloadTest, DieKillsItInTheMiddleOfALine) {
    order("die\n");
    Outcome r = run();
    ASSERT_TRUE(r.ended);
    ASSERT_TRUE(WIFSIGNALED(r.status));
    EXPECT_EQ(WTERMSIG(r.status), SIGKILL);
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), kLaidDown.size() + 1);
    EXPECT_NE(r.out.back(), '\n');
    EXPECT_TRUE(fs::exists(win32() / "zqcomutil.dll"));
}

// linger and hang close both streams before the program ends: a reader sees the
// end of the stream while the program still runs.
TEST_F(PayloadTest, LingerAndHangCloseOutputBeforeTheEnd) {
    order("linger 1500\nexit 3\n");
    Outcome r = run();
    EXPECT_EQ(split_lines(r.out), file_lines());
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(exit_code(r), 3);
    EXPECT_GE(r.endAt - r.eofAt, std::chrono::milliseconds(1000)) << "the streams ended only with the program";

    order("hang\n");
    Outcome h = run({"-o", "-d", "C:\\Apps\\Kit"}, false);
    EXPECT_TRUE(h.closed);
    EXPECT_EQ(split_lines(h.out), file_lines());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(waitpid(h.pid, nullptr, WNOHANG), 0) << "hang ended by itself";
}

TEST_F(PayloadTest, BadCommandLineExitsTwoAndLaysNothingDown) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-o"},
        {"-d", "C:\\Apps\\Kit"},
        {"-o", "-d"},
        {"-o", "-d", ""},
        {"-o", "-d", "C:\\Apps\\Kit", "extra"},
        {"-x", "-o", "-d", "C:\\Apps\\Kit"},
    };
    for (const std::vector<std::string>& args : cases) {
        std::ostringstream trace;
        for (const std::string& a : args) trace << '[' << a << ']';
        SCOPED_TRACE(trace.str());
        Outcome r = run(args);
        ASSERT_TRUE(r.ended);
        EXPECT_EQ(exit_code(r), 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
        EXPECT_FALSE(fs::exists(root_ / "C" / "Apps"));
    }
}

TEST_F(PayloadTest, MissingPayloadFileIsReportedAndTheRestLaidDown) {
    fs::remove(pkg_ / "files" / "zqcommgr.dll");
    Outcome r = run();
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_NE(r.err.find("zqcommgr.dll"), std::string::npos);
    std::vector<std::string> expected = file_lines();
    expected.erase(expected.begin());
    EXPECT_EQ(split_lines(r.out), expected);
    EXPECT_TRUE(fs::exists(win32() / "zqcomutil.dll"));
}

}  // namespace
