// Commit: the payload program as a real child process, progress, cancel, then
// the search path and the COM servers.
#include "CommitProgress.h"
#include "PayloadTest.h"

#include <cctype>
#include <ostream>

namespace krt_test {
namespace {

using CommitTest = PayloadTest;

TEST_F(CommitTest, LaysTheRuntimeDownAndRegistersIt) {
    installPayload();
    payloadOrders("lines 5\nlinger 300\n");
    setMachinePath("%SystemRoot%\\system32;C:\\Tools");
    const HANDLE stdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    ASSERT_EQ(installAndCommit(), 0u) << ::testing::PrintToString(errors());

    EXPECT_TRUE(errors().empty());
    for (const char* file : {"zqcommgr.dll", "zqcomutil.dll", "libkvlkrtrt71.so"})
        EXPECT_TRUE(fs::exists(runtimeFolder() / file)) << file;
    EXPECT_EQ(machinePath(), "%SystemRoot%\\system32;C:\\Tools;" + folderEntry());
    EXPECT_EQ(env("PATH"), machinePath());
    EXPECT_TRUE(comServerRegistered("zqcommgr.dll"));
    EXPECT_TRUE(comServerRegistered("zqcomutil.dll"));

    // One reset record first, then only increments, whose ticks add up to the
    // lines printed (3 file lines and 5 extra).
    EXPECT_TRUE(oneResetThenIncrements()) << ::testing::PrintToString(progress());
    EXPECT_EQ(ticksSent(), 8);

    EXPECT_TRUE(hostwin::open_records().empty());
    EXPECT_TRUE(hostwin::open_handles().empty()) << ::testing::PrintToString(hostwin::open_handles());
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), stdOutput);
}

TEST_F(CommitTest, StartsThePayloadByBareNameWithTheRootInQuotes) {
    installPayload("C:\\Program Files\\K R T\\");
    ASSERT_EQ(installAndCommit(), 0u) << ::testing::PrintToString(errors());
    bool started = false;
    for (const hostwin::Call& call : hostwin::calls())
        if (call.function == "CreateProcessA")
            started = call.detail.find("_KRTInstaller.exe -o -d \"C:\\Program Files\\K R T\"") != std::string::npos;
    EXPECT_TRUE(started);
    EXPECT_TRUE(fs::exists(runtimeFolder() / "zqcommgr.dll"));
    EXPECT_EQ(machinePath().substr(machinePath().rfind(';') + 1), "C:\\Program Files\\K R T\\v71\\runtime\\win32");
}

TEST_F(CommitTest, RootEndingInABackslashReachesThePayloadIntact) {
    // Install never leaves a final backslash, but TargetDir is the process's
    // to set: the closing quote must not be escaped by it.
    installPayload();
    setenv("TargetDir", "C:\\Apps\\Kit\\", 1);
    ASSERT_EQ(Commit(session()), 0u) << ::testing::PrintToString(errors());
    ASSERT_EQ(hostwin::process_starts().size(), 1u);
    EXPECT_EQ(hostwin::process_starts()[0].argv,
              (std::vector<std::string>{"_KRTInstaller.exe", "-o", "-d", "C:\\Apps\\Kit\\"}));
    EXPECT_TRUE(fs::exists(runtimeFolder() / "zqcommgr.dll"));
}

TEST_F(CommitTest, WaitsWithoutSpinningOnceTheOutputHasEnded) {
    installPayload();
    payloadOrders("linger 1500\n");
    ASSERT_EQ(installAndCommit(), 0u);
    // About one record per 100 ms slice, not one per loop turn.
    EXPECT_GE(increments(), 5);
    EXPECT_LE(increments(), 4 + 25);
    EXPECT_GE(callCount("WaitForSingleObject"), 5);
    EXPECT_EQ(ticksSent(), 3);
}

// Commit against payload programs of different paces and shapes, each run to
// its end and then again with a cancel at the row's record. The rows that
// would end quickly linger after their output, so that every line is read.
TEST_F(CommitTest, ProgressKeepsPaceWithThePayload) {
    enum Records { kAny, kOnePerLine, kFarFewer };  // records that carry ticks
    const struct Row {
        const char* orders;
        int ticks;     // the pieces it prints, its 3 file lines included
        Records records;
        int cancelAt;  // the increment record answered with a cancel
        DWORD exitCode = 0;  // reported by the stand-in instead of the program's own (0: its own)
    } rows[] = {
        {"lines 2000\nlinger 300\n", 2003, kFarFewer, 2},
        {"lines 4\npace 40\n", 7, kOnePerLine, 3},
        {"long 1500\nlinger 200\n", 3 + 3, kAny, 2},  // 1500 characters and the line end: three pieces
        {"nul 40\nlines 2\nlinger 200\n", 6, kAny, 2},
        {"silent\n", 0, kAny, 1},
        {"lines 5\nlinger 600\n", 8, kAny, 5},
        {"exit 3\nlinger 100\n", 3, kAny, 1},  // a failing exit code is not acted on
        // The program ends with STILL_ACTIVE once its output has ended.
        {"exit 259\nlinger 200\n", 3, kAny, 2, STILL_ACTIVE},
    };
    // A Commit that spins is stopped here rather than hanging the test.
    const int kSpinLimit = 5000;
    int run = 0;
    for (const Row& row : rows) {
        for (const int cancelAt : {0, row.cancelAt}) {
            SCOPED_TRACE(std::string(row.orders) + (cancelAt ? " cancelled" : ""));
            hostwin::clear_messages();
            hostwin::clear_calls();
            // A cancelled program may still be running: a root of its own each time.
            installPayload("C:\\Apps\\Kit" + std::to_string(++run) + "\\");
            payloadOrders(row.orders);
            setMachinePath("C:\\Tools");
            int seen = 0;
            hostwin::set_message_handler([&](const hostwin::Message& m) {
                const bool increment = m.type == INSTALLMESSAGE_PROGRESS && m.fields.at(1).integer == 2;
                if (increment && (++seen == cancelAt || seen > kSpinLimit)) return IDCANCEL;
                return IDOK;
            });
            ASSERT_EQ(Install(session()), 0u);
            if (row.exitCode != 0) hostwin::set_next_exit_code(row.exitCode);
            const UINT outcome = Commit(session());
            hostwin::set_message_handler(nullptr);

            EXPECT_TRUE(errors().empty()) << ::testing::PrintToString(errors());
            EXPECT_TRUE(oneResetThenIncrements()) << ::testing::PrintToString(progress());
            EXPECT_TRUE(hostwin::open_records().empty());
            if (cancelAt != 0) {
                // Stops at once: no record after the cancelled one, no later stage.
                EXPECT_EQ(outcome, 1602u);
                EXPECT_EQ(increments(), cancelAt);
                EXPECT_EQ(machinePath(), "C:\\Tools");
                EXPECT_EQ(callCount("RegOpenKeyExA"), 0);
                EXPECT_EQ(callCount("LoadLibraryA"), 0);
                continue;
            }
            EXPECT_EQ(outcome, 0u);
            EXPECT_LE(increments(), kSpinLimit);
            EXPECT_GE(increments(), 1);
            EXPECT_EQ(ticksSent(), row.ticks);
            EXPECT_TRUE(comServerRegistered("zqcomutil.dll"));
            std::vector<int> carrying;
            for (int n : incrementTicks())
                if (n > 0) carrying.push_back(n);
            if (row.records == kOnePerLine) {
                EXPECT_EQ(carrying, std::vector<int>(row.ticks, 1));
            } else if (row.records == kFarFewer) {
                EXPECT_LE(int(carrying.size()), row.ticks / 4);
            }
        }
    }
}

TEST(LineTickCounter, SplitsOutputTheWayALineReadWould) {
    const std::string p510(510, 'x'), p511(511, 'x');
    const struct {
        std::vector<std::string> reads;
        unsigned long ticks;   // counted from the reads
        unsigned long atEnd;   // counted when the output ends
    } cases[] = {
        {{"a\nb\n"}, 2, 0},
        {{"a\r\nb\r\n"}, 2, 0},  // CR LF is one line end
        {{p510 + "\r\n"}, 1, 0},  // 511 characters with the line end: one read
        {{p511 + "\n"}, 2, 0},     // the line end is read on its own
        {{p511 + "\r\n"}, 2, 0},
        {{std::string(3 * 511, 'x') + "\n"}, 4, 0},
        {{"abc"}, 0, 1},  // a last line cut off by the end
        {{"a\r", "\nb\r", "x\n"}, 2, 0},  // CR LF across two reads; a lone CR is a character
        {{p510 + "\r", "x"}, 1, 1},       // ... and can complete a piece
        {{"a\r"}, 0, 1},
        {{std::string("\0\0\n\x1a\n", 5)}, 2, 0},  // NUL and Ctrl-Z are characters like any other
        {{""}, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.reads));
        krt::LineTickCounter counter;
        unsigned long ticks = 0;
        for (const std::string& read : c.reads) ticks += krt::CountLineTicks(&counter, read.data(), read.size());
        EXPECT_EQ(ticks, c.ticks);
        EXPECT_EQ(krt::FinishLineTicks(&counter), c.atEnd);
        EXPECT_EQ(krt::FinishLineTicks(&counter), 0u);
    }
}

TEST_F(CommitTest, MissingInstallRootIsRefused) {
    unsetenv("TargetDir");
    EXPECT_EQ(Commit(session()), 1602u);
    EXPECT_EQ(errors(), std::vector<std::string>{"Aborting installation - the install root is not set (the Install "
                                                 "action did not run before Commit)."});
    EXPECT_EQ(callCount("CreatePipe"), 0);
}

TEST_F(CommitTest, MissingProcessPathIsTakenAsEmpty) {
    installPayload();
    ASSERT_EQ(Install(session()), 0u);
    unsetenv("PATH");
    EXPECT_EQ(Commit(session()), 0u) << ::testing::PrintToString(errors());
}

struct FailureRow {
    const char* function;
    int nth;
    const char* message;
};

void PrintTo(const FailureRow& row, std::ostream* out) {
    *out << row.function << ":" << row.nth;
}

class CommitFailureTest : public PayloadTest, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(CommitFailureTest, ShowsItsMessageAndReleasesWhatItHeld) {
    const FailureRow& row = GetParam();
    installPayload();
    ASSERT_EQ(Install(session()), 0u);
    hostwin::clear_calls();
    hostwin::fail(row.function, row.nth);
    EXPECT_EQ(Commit(session()), 1602u);
    hostwin::clear_faults();
    EXPECT_EQ(errors(), std::vector<std::string>{row.message});
    EXPECT_TRUE(hostwin::open_records().empty());
    // A write end whose close failed is, by definition, still open.
    const std::vector<std::string> stillOpen =
        std::string(row.function) == "CloseHandle" ? std::vector<std::string>{"pipe-write"}
                                                   : std::vector<std::string>{};
    EXPECT_EQ(hostwin::open_handles(), stillOpen);
    // Nothing follows the error message.
    const std::vector<hostwin::Message>& messages = hostwin::messages();
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].type == kErrorMessageType) {
            EXPECT_EQ(i + 1, messages.size());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CommitFailureTest,
    ::testing::Values(
        FailureRow{"_putenv", 1, "Aborting installation - could not create local environment variable."},
        FailureRow{"CreatePipe", 1, "Aborting installation - could not create system pipe."},
        FailureRow{"SetStdHandle", 1, "Aborting installation - could not configure system pipe."},
        FailureRow{"DuplicateHandle", 1, "Aborting installation - could not copy read handle."},
        FailureRow{"CreateProcessA", 1, "Aborting installation - could not spawn unzip process."},
        FailureRow{"CloseHandle", 3, "Aborting installation - could not close pipe's write handle."},
        FailureRow{"GetExitCodeProcess", 1, "Aborting installation - could not get exit code of spawned process."},
        FailureRow{"RegOpenKeyExA", 1,
                   "Aborting installation - could not open system environment variable registry key.\n"
                   "You may not have the required system permissions."},
        FailureRow{"LoadLibraryA", 1, "Aborting installation - Could not register COM servers."},
        FailureRow{"LoadLibraryA", 2, "Aborting installation - Could not register COM servers."}),
    [](const ::testing::TestParamInfo<FailureRow>& info) {
        std::string name = std::string(info.param.function) + "_" + std::to_string(info.param.nth);
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

}  // namespace
}  // namespace krt_test
