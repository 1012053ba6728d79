// End-to-end tests of krt-msihost, run as a child process against a small fake
// custom-action library (fake_actions.cpp).
#include <hostwin/control.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = -1;  // exit status, -1 when the driver did not exit normally
    std::string err;
};

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<char*> argv_of(std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(MSIHOST_DRIVER));
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    return argv;
}

void exec_driver(const fs::path& dir, std::vector<std::string> args) {
    std::vector<char*> argv = argv_of(args);
    if (chdir(dir.c_str()) != 0) _exit(126);
    unsetenv("HOSTWIN_ROOT");
    unsetenv("HOSTWIN_FAIL");
    execv(MSIHOST_DRIVER, argv.data());
    _exit(127);
}

class MsiHost : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override {
        char pattern[] = "/tmp/msihost-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs the driver in the test's folder with the fake library, standard error
    // to a file.
    Outcome run(std::vector<std::string> args, bool withLibrary = true) {
        if (withLibrary) args.insert(args.begin(), {"--library", MSIHOST_FAKE});
        fs::path errPath = dir / "stderr.txt";
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, 2) < 0) _exit(126);
            exec_driver(dir, args);
        }
        Outcome result;
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
        result.err = slurp(errPath);
        return result;
    }

    std::vector<std::string> events() { return lines_of(slurp(dir / "events.jsonl")); }
};

const std::string kReset = R"({"event":"message","type":167772160,"fields":[null,0,)";
const std::string kIncrement = R"({"event":"message","type":167772160,"fields":[null,2,1,0]})";

TEST_F(MsiHost, FullRunWritesEveryMessageAndResultAsJsonLines) {
    Outcome r = run({"--events", "events.jsonl", "--property", "TARGETDIR=C:\\Apps\\Kit\\", "--property", "Ticks=2",
                 "--property", "Total=8", "Install", "Commit", "Rollback"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(events(), (std::vector<std::string>{
                            R"({"event":"message","type":67108864,"fields":["Install: TARGETDIR=C:\\Apps\\Kit\\",null,null]})",
                            R"({"event":"result","action":"Install","code":0})",
                            kReset + "8,0]}",
                            kIncrement,
                            kIncrement,
                            R"({"event":"result","action":"Commit","code":0})",
                            R"({"event":"result","action":"Rollback","code":0})",
                        }));
    // Not a terminal: one summary line for the action that showed progress, nothing else.
    EXPECT_EQ(r.err, "progress: 2 of 8 ticks\n");
}

TEST_F(MsiHost, MessageTextsAreEscapedInEventsAndShownAsTheyAreOnStderr) {
    std::string text = "Aborting \"it\" - C:\\x\nsecond\tline \xe9\x01";
    Outcome r = run({"--events", "events.jsonl", "--property", "MessageText=" + text, "Install"});
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(events().size(), 3u);
    EXPECT_EQ(events()[1],
              R"({"event":"message","type":50331664,"fields":["Aborting \"it\" - C:\\x\nsecond\tline \u00e9\u0001",null,null]})");
    EXPECT_EQ(r.err, "error: " + text + "\n");
}

TEST_F(MsiHost, MessageKindsOnStderr) {
    struct Case {
        unsigned type;
        bool verbose;
        std::string err;
    } cases[] = {
        {0x03000010, false, "error: boom\n"},  // user message box with error icon
        {0x01000000, false, "error: boom\n"},  // error
        {0x02000030, false, "error: boom\n"},  // warning, with style bits
        {0x00000000, false, "error: boom\n"},  // fatal exit
        {0x04000000, false, ""},               // info, quiet
        {0x04000000, true, "log: Install: TARGETDIR=\nlog: boom\n"},
        {0x08000000, true, "log: Install: TARGETDIR=\n"},  // action start: not shown
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        std::vector<std::string> args = {"--property", "MessageText=boom", "--property",
                                         "MessageType=" + std::to_string(c.type), "Install"};
        if (c.verbose) args.insert(args.begin(), "--verbose");
        Outcome r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(MsiHost, StopsAtTheFirstActionThatDoesNotReturnZero) {
    struct Case {
        std::string property;
        std::string stopper;
        unsigned code;
    } cases[] = {
        {"InstallResult=1602", "Install", 1602},
        {"CommitResult=7", "Commit", 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.property);
        Outcome r = run({"--events", "events.jsonl", "--property", c.property, "Install", "Commit", "Uninstall"});
        EXPECT_EQ(r.status, static_cast<int>(c.code & 0xFF));
        std::vector<std::string> lines = events();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), R"({"event":"result","action":")" + c.stopper + R"(","code":)" +
                                    std::to_string(c.code) + "}");
        EXPECT_NE(r.err.find("krt-msihost: " + c.stopper + " returned " + std::to_string(c.code)), std::string::npos);
        EXPECT_FALSE(fs::exists(dir / "sim" / "C" / "FakeKit")) << "Uninstall ran after a failed action";
    }
}

TEST_F(MsiHost, CancelAtAnswersCancelToTheNthIncrementOfTheRun) {
    struct Case {
        std::string cancelAt;
        std::vector<unsigned> codes;  // result of each action run
        int increments;               // increments sent in all
    } cases[] = {
        {"1", {1602}, 1},
        {"3", {1602}, 3},
        {"4", {0, 1602}, 4},  // counted across actions: the second Commit's first
        {"7", {0, 0}, 6},     // three each: never reached
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cancelAt);
        Outcome r = run({"--events", "events.jsonl", "--property", "Ticks=3", "--cancel-at", c.cancelAt, "Commit",
                     "Commit"});
        std::vector<unsigned> codes;
        int increments = 0;
        for (const std::string& line : events()) {
            if (line == kIncrement) ++increments;
            std::size_t at = line.find("\"code\":");
            if (at != std::string::npos) codes.push_back(static_cast<unsigned>(std::stoul(line.substr(at + 7))));
        }
        EXPECT_EQ(codes, c.codes);
        EXPECT_EQ(increments, c.increments);
        EXPECT_EQ(r.status, static_cast<int>(c.codes.back() & 0xFF));
    }
}

TEST_F(MsiHost, RegistryFileIsCreatedFromTheDefaultMachineAndCarriedAcrossRuns) {
    for (const char* expected : {"x", "xx"}) {
        Outcome r = run({"--registry", "reg.json", "Uninstall"});
        ASSERT_EQ(r.status, 0) << r.err;
        std::string error;
        hostwin::reset();
        ASSERT_TRUE(hostwin::registry_from_json(slurp(dir / "reg.json"), &error)) << error;
        hostwin::RegValue runs, path;
        ASSERT_TRUE(hostwin::reg_get("HKEY_LOCAL_MACHINE\\SOFTWARE\\FakeKit", "Runs", &runs));
        EXPECT_EQ(runs.data, std::string(expected) + '\0');
        EXPECT_TRUE(hostwin::reg_get(hostwin::kEnvironmentKey, "Path", &path));
        EXPECT_EQ(path.type, static_cast<DWORD>(REG_EXPAND_SZ));
    }
    hostwin::reset();
}

TEST_F(MsiHost, MalformedRegistryFileStopsBeforeAnyActionAndIsLeftAlone) {
    const std::string malformed = "{\"HKEY_LOCAL_MACHINE\\\\SOFTWARE\": {";
    std::ofstream(dir / "reg.json", std::ios::binary) << malformed;
    Outcome r = run({"--registry", "reg.json", "--events", "events.jsonl", "Uninstall"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("malformed registry file reg.json"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(dir / "reg.json"), malformed);
    EXPECT_TRUE(events().empty());
    EXPECT_FALSE(fs::exists(dir / "sim" / "C" / "FakeKit"));
}

TEST_F(MsiHost, RootMapsDrivePathsAndDefaultsToSimInTheWorkingFolder) {
    ASSERT_EQ(run({"Uninstall"}).status, 0);
    EXPECT_TRUE(fs::is_directory(dir / "sim" / "C" / "FakeKit"));
    ASSERT_EQ(run({"--root", "other/drives", "Uninstall"}).status, 0);
    EXPECT_TRUE(fs::is_directory(dir / "other" / "drives" / "C" / "FakeKit"));
}

TEST_F(MsiHost, FaultsApplyFromTheFirstAction) {
    Outcome r = run({"--fail", "MsiGetPropertyA=1627", "Install"});
    EXPECT_EQ(r.status, 1602 & 0xFF);
    EXPECT_NE(r.err.find("error: cannot read TARGETDIR (1627)\n"), std::string::npos) << r.err;
}

TEST_F(MsiHost, SetupErrorsExitWithTwoBeforeAnyActionRuns) {
    struct Case {
        std::vector<std::string> args;
        std::string says;
        bool usage;
    } cases[] = {
        {{"Install", "Bogus"}, "unknown action 'Bogus'", false},
        {{"install"}, "unknown action 'install'", false},
        {{"--frobnicate", "Install"}, "unknown option '--frobnicate'", true},
        {{}, "no action named", true},
        {{"Install", "--events"}, "option --events needs a value", true},
        {{"--cancel-at", "0", "Commit"}, "--cancel-at takes a positive count", true},
        {{"--cancel-at", "x", "Commit"}, "--cancel-at takes a positive count", true},
        {{"--property", "=v", "Install"}, "--property takes NAME=VALUE", true},
        {{"--fail", "MsiGetPropertyA:abc", "Uninstall"}, "bad --fail value", true},
        {{"--library", "missing.so", "Uninstall"}, "cannot load the library", false},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.says);
        Outcome r = run(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("krt-msihost: " + c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("usage:") != std::string::npos, c.usage) << r.err;
        EXPECT_FALSE(fs::exists(dir / "sim" / "C" / "FakeKit"));
    }
}

// On a terminal the bar is redrawn in place, once per shown percentage, and its
// line is finished when the action ends; no summary line.
TEST_F(MsiHost, ProgressBarOnATerminalRedrawsOnlyWhenThePercentageChanges) {
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) exec_driver(dir, {"--library", MSIHOST_FAKE, "--property", "Ticks=1000", "Commit"});
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    std::size_t draws = 0;
    for (std::size_t at = 0; (at = out.find("\rCommit [", at)) != std::string::npos; ++at) ++draws;
    EXPECT_EQ(draws, 101u);  // 0% to 100%
    EXPECT_NE(out.find("\rCommit [" + std::string(40, '#') + "] 100%\r\n"), std::string::npos);
    EXPECT_EQ(out.find("progress:"), std::string::npos);
}

}  // namespace
