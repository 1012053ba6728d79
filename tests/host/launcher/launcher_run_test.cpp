// Runs the real dorvak program against the stand-in runtime library and checks
// what a user of the program sees: exit status, the exact bytes on standard
// output and standard error, and the calls the runtime received (its trace).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

namespace {

using Env = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;

const Lines kFullRun = {"kvlInitializeApplication", "kvlkrtInitialize",
                        "kvlInitializeComponentInstance", "kvlMain",
                        "kvlWaitForFiguresToDie", "kvlTerminateInstance",
                        "kvlTerminateApplication"};
const Lines kRunWithoutWait = {"kvlInitializeApplication", "kvlkrtInitialize",
                               "kvlInitializeComponentInstance", "kvlMain",
                               "kvlTerminateInstance", "kvlTerminateApplication"};

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

Lines splitLines(const std::string &text)
{
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

struct Result {
    int status = -1000; // exit status, or -1000 when the program did not exit normally
    std::string out;
    std::string err;
    Lines trace;

    // The runtime functions called, in order.
    Lines calls() const
    {
        Lines names;
        for (const std::string &line : trace)
            if (line.rfind("kvl", 0) == 0)
                names.push_back(line.substr(0, line.find(' ')));
        return names;
    }

    // The first trace line of a call.
    std::string callLine(const std::string &function) const
    {
        for (const std::string &line : trace)
            if (line == function || line.rfind(function + " ", 0) == 0)
                return line;
        return std::string();
    }

    // The one-entry lines ("arg=...") in order.
    Lines entries(const std::string &key) const
    {
        Lines values;
        for (const std::string &line : trace)
            if (line.rfind(key + "=", 0) == 0)
                values.push_back(line.substr(key.size() + 1));
        return values;
    }
};

// How the program's standard streams are connected.
enum class Streams { Separate, Merged, Full };

// One run of dorvak in a fresh folder, with the stand-in runtime steered by
// the given variables. Any KVLKRT_ variable of the test's own environment is
// left out.
class DorvakRun {
public:
    DorvakRun()
    {
        char name[] = "/tmp/dorvak-run-XXXXXX";
        if (mkdtemp(name) != nullptr)
            dir_ = name;
    }
    ~DorvakRun()
    {
        if (!dir_.empty()) {
            for (const char *file : {"/out", "/err", "/trace", "/script"})
                unlink((dir_ + file).c_str());
            rmdir(dir_.c_str());
        }
    }

    std::string path(const char *file) const { return dir_ + "/" + file; }

    void script(const std::string &text)
    {
        writeFile(path("script"), text);
        env_["KVLKRT_SCRIPT"] = path("script");
    }

    Result operator()(Env env, const Lines &args = {}, Streams streams = Streams::Separate,
                      const std::string &argv0 = DORVAK_EXE)
    {
        Result result;
        if (dir_.empty()) {
            ADD_FAILURE() << "no temporary folder";
            return result;
        }
        env.insert(env_.begin(), env_.end());
        env["KVLKRT_TRACE"] = path("trace");

        std::vector<std::string> envText;
        for (char **e = environ; *e != nullptr; ++e)
            if (strncmp(*e, "KVLKRT_", 7) != 0)
                envText.push_back(*e);
        for (const auto &item : env)
            envText.push_back(item.first + "=" + item.second);
        std::vector<char *> envp;
        for (std::string &text : envText)
            envp.push_back(&text[0]);
        envp.push_back(nullptr);

        std::vector<std::string> argText{argv0};
        argText.insert(argText.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &text : argText)
            argv.push_back(&text[0]);
        argv.push_back(nullptr);

        std::string outPath = streams == Streams::Full ? "/dev/full" : path("out");
        std::string errPath = streams == Streams::Full ? "/dev/full" : path("err");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (streams == Streams::Merged)
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        else
            posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

        pid_t pid = 0;
        int rc = posix_spawn(&pid, DORVAK_EXE, &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            ADD_FAILURE() << "cannot start " << DORVAK_EXE << ": " << strerror(rc);
            return result;
        }
        int wstatus = 0;
        while (waitpid(pid, &wstatus, 0) < 0) {
        }
        if (WIFEXITED(wstatus))
            result.status = WEXITSTATUS(wstatus);
        if (streams != Streams::Full) {
            result.out = readFile(path("out"));
            result.err = readFile(path("err"));
        }
        result.trace = splitLines(readFile(path("trace")));
        return result;
    }

private:
    std::string dir_;
    Env env_;
};

// Exit statuses as the host reports them: the low byte of main's result.
constexpr int kMinusOne = 255;

// ---------------------------------------------------------------------------
// The run sequence: which runtime calls are made, and the exit status.

struct SequenceCase {
    const char *name;
    Env env;
    int status;
    Lines calls;
};

void PrintTo(const SequenceCase &c, std::ostream *os) { *os << c.name; }

class Sequence : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(Sequence, CallsAndExitStatus)
{
    const SequenceCase &c = GetParam();
    DorvakRun run;
    run.script(""); // a silent component: the launcher itself says nothing
    Result r = run(c.env);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.calls(), c.calls);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Launcher, Sequence,
    ::testing::Values(
        SequenceCase{"Success", {}, 0, kFullRun},
        SequenceCase{"TrueByte2", {{"KVLKRT_TRUE", "2"}}, 0, kFullRun},
        SequenceCase{"TrueByte255", {{"KVLKRT_TRUE", "255"}}, 0, kFullRun},
        SequenceCase{"Result3", {{"KVLKRT_RESULT", "3"}}, 3, kRunWithoutWait},
        SequenceCase{"ResultMinus2", {{"KVLKRT_RESULT", "-2"}}, 254, kRunWithoutWait},
        // 256 leaves a host exit status of 0, but it is not a result of 0.
        SequenceCase{"Result256", {{"KVLKRT_RESULT", "256"}}, 0, kRunWithoutWait},
        // Failing application initialisation is reported as a failure.
        SequenceCase{"ApplicationInitFails", {{"KVLKRT_FAIL", "kvlInitializeApplication"}},
                     kMinusOne, {"kvlInitializeApplication"}},
        SequenceCase{"RuntimeInitFails", {{"KVLKRT_FAIL", "kvlkrtInitialize"}}, kMinusOne,
                     {"kvlInitializeApplication", "kvlkrtInitialize"}},
        SequenceCase{"InstanceCreationFails", {{"KVLKRT_FAIL", "kvlInitializeComponentInstance"}},
                     kMinusOne,
                     {"kvlInitializeApplication", "kvlkrtInitialize", "kvlInitializeComponentInstance"}},
        SequenceCase{"FailListWithBlanks", {{"KVLKRT_FAIL", " kvlInitializeComponentInstance , kvlkrtInitialize"}},
                     kMinusOne, {"kvlInitializeApplication", "kvlkrtInitialize"}},
        // A true byte of 0 is false: every initialisation fails.
        SequenceCase{"TrueByte0", {{"KVLKRT_TRUE", "0"}}, kMinusOne, {"kvlInitializeApplication"}},
        // Numbers are decimal: a leading 0 does not make them octal.
        SequenceCase{"Result010IsTen", {{"KVLKRT_RESULT", "010"}}, 10, kRunWithoutWait},
        SequenceCase{"ResultWithPlusSign", {{"KVLKRT_RESULT", "+4"}}, 4, kRunWithoutWait}),
    [](const ::testing::TestParamInfo<SequenceCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The output handlers: exact bytes on each stream and the counts they return.

struct HandlerCase {
    const char *name;
    std::string script;
    std::string out;
    std::string err;
    Lines results;
};

void PrintTo(const HandlerCase &c, std::ostream *os) { *os << c.name; }

class Handlers : public ::testing::TestWithParam<HandlerCase> {};

TEST_P(Handlers, WriteExactBytesAndCountThem)
{
    const HandlerCase &c = GetParam();
    DorvakRun run;
    run.script(c.script);
    Result r = run({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    Lines results;
    for (const std::string &line : r.trace)
        if (line.rfind("print_result=", 0) == 0 || line.rfind("error_result=", 0) == 0)
            results.push_back(line);
    EXPECT_EQ(results, c.results);
}

INSTANTIATE_TEST_SUITE_P(
    Launcher, Handlers,
    ::testing::Values(
        HandlerCase{"ErrorThreeBytesGetsLineFeed", "error abc\n", "", "abc\n", {"error_result=4"}},
        HandlerCase{"ErrorEndingInLineFeed", "error abc\\n\n", "", "abc\n", {"error_result=4"}},
        HandlerCase{"ErrorEmpty", "error \n", "", "", {"error_result=0"}},
        HandlerCase{"ErrorOnlyLineFeed", "error \\n\n", "", "\n", {"error_result=1"}},
        HandlerCase{"ErrorEndingInCarriageReturn", "error ab\\r\n", "", "ab\r\n", {"error_result=4"}},
        HandlerCase{"ErrorLineFeedInsideOnly", "error a\\nb\n", "", "a\nb\n", {"error_result=4"}},
        HandlerCase{"ErrorCutAtNul", "error ab\\0cd\n", "", "ab\n", {"error_result=3"}},
        HandlerCase{"PrintThreeBytes", "print abc\n", "abc", "", {"print_result=3"}},
        HandlerCase{"PrintAddsNothing", "print ab\\r\n", "ab\r", "", {"print_result=3"}},
        HandlerCase{"PrintEmpty", "print\n", "", "", {"print_result=0"}},
        HandlerCase{"PrintEscapesAndHighBytes", "print a\\tb\\\\c \xC3\xA9\\n\n", "a\tb\\c \xC3\xA9\n", "",
                    {"print_result=9"}},
        // Script lines may end in CRLF; comments, blank and unknown lines are skipped.
        HandlerCase{"ScriptFormat", "# comment\r\n\r\nprint x\r\nwarn y\r\nerror z\r\nprintx\n", "x", "z\n",
                    {"print_result=1", "error_result=2"}},
        HandlerCase{"SeveralInOrder", "print 1\nerror 2\nprint 3\\n\nerror 4\\n\n", "13\n", "2\n4\n",
                    {"print_result=1", "error_result=2", "print_result=2", "error_result=2"}}),
    [](const ::testing::TestParamInfo<HandlerCase> &info) { return std::string(info.param.name); });

// Both streams into one file: every write reaches it at once, in order. A
// buffered standard output would show up after the error texts.
TEST(Launcher, StreamsAreUnbufferedAndInterleaved)
{
    DorvakRun run;
    run.script("print a\nerror b\nprint c\\n\nerror d\n");
    Result r = run({}, {}, Streams::Merged);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ab\nc\nd\n");
}

// A write that fails is counted as written nothing; the run still completes.
TEST(Launcher, HandlersReportFailedWrites)
{
    DorvakRun run;
    run.script("print abc\nerror abc\n");
    Result r = run({}, {}, Streams::Full);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.entries("print_result"), Lines{"0"});
    EXPECT_EQ(r.entries("error_result"), Lines{"0"});
    EXPECT_EQ(r.calls(), kFullRun);
}

// ---------------------------------------------------------------------------
// What the runtime receives.

TEST(Launcher, ComponentGetsArgumentsExactlyAsGiven)
{
    const Lines args = {"--help", "a b", "", "tab\there", "-", "\xC3\xBCn\xC3\xAF", "$TOOLBOXKAVRICDIR"};
    const std::string argv0 = "not/the/real/path/dorvak";
    DorvakRun run;
    Result r = run({}, args, Streams::Separate, argv0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.callLine("kvlMain"),
              "kvlMain instance_ok=1 argc=8 argv_null=0 name=dorvak mode=0 script=0 result=0");
    EXPECT_EQ(r.entries("arg"), (Lines{argv0, "--help", "a b", "", "tab\\there", "-",
                                       "\xC3\xBCn\xC3\xAF", "$TOOLBOXKAVRICDIR"}));
    // The demonstration component prints one line per argument it received.
    std::string expected;
    expected += argv0 + "\n";
    for (const std::string &arg : args)
        expected += arg + "\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");
}

TEST(Launcher, RuntimeGetsTheComponentRecord)
{
    DorvakRun run;
    run.script("");
    // Set, to show that nobody on the way expands the variable reference.
    Result r = run({{"TOOLBOXKAVRICDIR", "/expanded"}});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.callLine("kvlInitializeApplication"),
              "kvlInitializeApplication option_count=0 options_null=0 option_first= result=1");
    EXPECT_EQ(r.entries("option"), Lines{});
    EXPECT_EQ(r.callLine("kvlInitializeComponentInstance"),
              "kvlInitializeComponentInstance instance_null=0 public_len=320 public_hex=1"
              " session_len=256 session_hex=1 name=dorvak name_null=0 root= root_null=0"
              " path_count=34 classpath_count=0 classpath_first= runtime_option_count=0"
              " runtime_option_first= c12=1 c13=0 c14=0 c15=0 error_handler_null=0"
              " print_handler_null=0 result=1");
    const Lines path = {
        "dorvak/", "work/", "toolbox/vasquin/kinnick/",
        "$TOOLBOXKAVRICDIR/torvane/", "$TOOLBOXKAVRICDIR/belk/", "$TOOLBOXKAVRICDIR/quessa/",
        "$TOOLBOXKAVRICDIR/hobran/", "$TOOLBOXKAVRICDIR/pirrel/", "$TOOLBOXKAVRICDIR/wadmire/",
        "$TOOLBOXKAVRICDIR/goskel/", "$TOOLBOXKAVRICDIR/lunnet/", "$TOOLBOXKAVRICDIR/ardish/",
        "$TOOLBOXKAVRICDIR/kestrow/", "$TOOLBOXKAVRICDIR/bilvane/", "$TOOLBOXKAVRICDIR/tollmer/",
        "$TOOLBOXKAVRICDIR/nuvasc/", "$TOOLBOXKAVRICDIR/oskarn/", "$TOOLBOXKAVRICDIR/ferrant/",
        "$TOOLBOXKAVRICDIR/wellick/", "$TOOLBOXKAVRICDIR/zennor/", "$TOOLBOXKAVRICDIR/harbek/",
        "$TOOLBOXKAVRICDIR/drovel/", "$TOOLBOXKAVRICDIR/maskel/", "$TOOLBOXKAVRICDIR/pentrow/",
        "$TOOLBOXKAVRICDIR/soldray/", "$TOOLBOXKAVRICDIR/cormish/", "$TOOLBOXKAVRICDIR/trelling/",
        "$TOOLBOXKAVRICDIR/yambel/", "$TOOLBOXKAVRICDIR/quorvik/", "$TOOLBOXKAVRICDIR/lasdon/",
        "$TOOLBOXKAVRICDIR/brenick/", "toolbox/ostrel/", "toolbox/vasquin/", "toolbox/parrow/"};
    EXPECT_EQ(r.entries("path"), path);
    EXPECT_EQ(r.entries("classpath"), Lines{});
    EXPECT_EQ(r.entries("runtime_option"), Lines{});
    // The handle issued at creation is the one run and terminated.
    EXPECT_EQ(r.callLine("kvlTerminateInstance"), "kvlTerminateInstance instance_null=0 instance_ok=1");
    EXPECT_EQ(r.callLine("kvlWaitForFiguresToDie"), "kvlWaitForFiguresToDie mode=0 wait_ms=0");
}

// The launcher stays in the figure wait for as long as the runtime blocks.
TEST(Launcher, WaitsForFigures)
{
    DorvakRun run;
    run.script("");
    auto start = std::chrono::steady_clock::now();
    Result r = run({{"KVLKRT_FIGURES_MS", "150"}});
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.callLine("kvlWaitForFiguresToDie"), "kvlWaitForFiguresToDie mode=0 wait_ms=150");
    EXPECT_GE(elapsed, std::chrono::milliseconds(150));
}

// A script that cannot be read (no such file, or a folder) is said on
// standard error, not passed over.
TEST(Launcher, UnreadableScriptIsReported)
{
    for (const char *name : {"no-such-script", "."}) {
        DorvakRun run;
        const std::string script = run.path(name);
        SCOPED_TRACE(script);
        Result r = run({{"KVLKRT_SCRIPT", script}});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "kvlkrtrt71 stand-in: cannot open KVLKRT_SCRIPT file " + script + "\n");
        EXPECT_EQ(r.entries("script_error"), Lines{"cannot-open file=" + script});
    }
}

// Lines that are neither a text nor a comment are noted by their number,
// counted from 1; empty lines and lines of blanks are skipped silently.
TEST(Launcher, SkippedScriptLinesAreNotedByNumber)
{
    DorvakRun run;
    run.script("print a\n \t \r\nwarn x\n\n# note\nprintx\n\t\nerror b\n");
    Result r = run({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "a");
    EXPECT_EQ(r.err, "b\n");
    EXPECT_EQ(r.entries("script_skipped"), (Lines{"3", "6"}));
}

// ---------------------------------------------------------------------------
// Numeric controls of the stand-in that cannot be read: reported once on
// standard error, and the default used in their place.

struct ControlCase {
    const char *name;
    const char *variable;
    const char *value;
    std::string range;  // as the report states it
    const char *fallback;
    std::string callLine; // the trace line that shows the value used
};

void PrintTo(const ControlCase &c, std::ostream *os) { *os << c.name; }

class UnreadableControl : public ::testing::TestWithParam<ControlCase> {};

TEST_P(UnreadableControl, IsReportedAndTheDefaultUsed)
{
    const ControlCase &c = GetParam();
    DorvakRun run;
    run.script("");
    Result r = run({{c.variable, c.value}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.calls(), kFullRun);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string("kvlkrtrt71 stand-in: ") + c.variable + "=" + c.value +
                         " is not a decimal number from " + c.range + "; " + c.fallback +
                         " is used\n");
    const std::string function = c.callLine.substr(0, c.callLine.find(' '));
    EXPECT_EQ(r.callLine(function), c.callLine);
}

const char kResultRange[] = "-2147483648 to 2147483647";
const char kTrueRange[] = "0 to 255";
const char kWaitRange[] = "0 to 2147483647";
const char kMainLine[] = "kvlMain instance_ok=1 argc=1 argv_null=0 name=dorvak mode=0 script=1 result=0";
const char kRuntimeLine[] = "kvlkrtInitialize result=1";
const char kWaitLine[] = "kvlWaitForFiguresToDie mode=0 wait_ms=0";

INSTANTIATE_TEST_SUITE_P(
    Launcher, UnreadableControl,
    ::testing::Values(
        ControlCase{"ResultLetters", "KVLKRT_RESULT", "abc", kResultRange, "0", kMainLine},
        ControlCase{"ResultTrailingLetter", "KVLKRT_RESULT", "3x", kResultRange, "0", kMainLine},
        ControlCase{"ResultHexadecimal", "KVLKRT_RESULT", "0x10", kResultRange, "0", kMainLine},
        ControlCase{"ResultLeadingBlank", "KVLKRT_RESULT", " 3", kResultRange, "0", kMainLine},
        ControlCase{"ResultSignOnly", "KVLKRT_RESULT", "-", kResultRange, "0", kMainLine},
        ControlCase{"ResultAboveInt", "KVLKRT_RESULT", "2147483648", kResultRange, "0", kMainLine},
        ControlCase{"ResultFarAboveInt", "KVLKRT_RESULT", "99999999999999999999", kResultRange, "0", kMainLine},
        ControlCase{"TrueAbove255", "KVLKRT_TRUE", "256", kTrueRange, "1", kRuntimeLine},
        ControlCase{"TrueNegative", "KVLKRT_TRUE", "-1", kTrueRange, "1", kRuntimeLine},
        ControlCase{"TrueLetters", "KVLKRT_TRUE", "yes", kTrueRange, "1", kRuntimeLine},
        ControlCase{"WaitNegative", "KVLKRT_FIGURES_MS", "-5", kWaitRange, "0", kWaitLine},
        ControlCase{"WaitWithUnit", "KVLKRT_FIGURES_MS", "150ms", kWaitRange, "0", kWaitLine}),
    [](const ::testing::TestParamInfo<ControlCase> &info) { return std::string(info.param.name); });

} // namespace
