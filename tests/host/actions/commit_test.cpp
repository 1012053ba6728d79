// Commit: the payload program as a real child process, progress, cancel, then
// the search path and the COM servers.
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

    // One reset record first, then only increments: one per line read (3 file
    // lines and 5 extra), one for the end of the stream, and one per wait slice
    // while the program lingers.
    const std::vector<std::vector<int>> records = progress();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0], (std::vector<int>{0, 8800, 0}));
    EXPECT_EQ(increments(), int(records.size()) - 1);
    EXPECT_GE(increments(), 9);
    EXPECT_LE(increments(), 9 + 10);

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

TEST_F(CommitTest, OutputShapesDoNotChangeTheOutcome) {
    const struct {
        const char* orders;
        int minIncrements;
    } cases[] = {
        {"silent\n", 1},                    // nothing printed: still one turn
        {"long 1500\nlinger 200\n", 3 + 3},  // a 1500-character line takes three reads
        {"exit 3\n", 1},                    // a failing exit code is not acted on
        {"nul 40\nlines 2\nlinger 200\n", 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.orders);
        hostwin::clear_messages();
        installPayload();
        payloadOrders(c.orders);
        EXPECT_EQ(installAndCommit(), 0u) << ::testing::PrintToString(errors());
        EXPECT_GE(increments(), c.minIncrements);
        EXPECT_TRUE(comServerRegistered("zqcomutil.dll"));
    }
}

TEST_F(CommitTest, WaitsWithoutSpinningOnceTheOutputHasEnded) {
    installPayload();
    payloadOrders("linger 1500\n");
    ASSERT_EQ(installAndCommit(), 0u);
    // About one increment per 100 ms slice, not one per loop turn.
    EXPECT_GE(increments(), 5);
    EXPECT_LE(increments(), 4 + 25);
    EXPECT_GE(callCount("WaitForSingleObject"), 5);
}

TEST_F(CommitTest, CancelEndsCommitQuietlyBeforeTheLaterStages) {
    for (int cancelAt : {1, 3}) {
        SCOPED_TRACE(cancelAt);
        hostwin::clear_messages();
        hostwin::clear_calls();
        // The cancelled program may still be running: a root of its own each time.
        installPayload("C:\\Apps\\Kit" + std::to_string(cancelAt) + "\\");
        payloadOrders("lines 10\nlinger 300\n");
        setMachinePath("C:\\Tools");
        hostwin::cancel_at_increment(cancelAt);
        EXPECT_EQ(installAndCommit(), 1602u);
        EXPECT_TRUE(errors().empty());
        EXPECT_EQ(increments(), cancelAt);
        EXPECT_EQ(machinePath(), "C:\\Tools");
        EXPECT_EQ(callCount("RegOpenKeyExA"), 0);
        EXPECT_EQ(callCount("LoadLibraryA"), 0);
        EXPECT_TRUE(hostwin::open_records().empty());
        hostwin::cancel_at_increment(0);
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
        FailureRow{"_open_osfhandle", 1, "Aborting installation - could not create file stream."},
        FailureRow{"_fdopen", 1, "Aborting installation - could not create file stream."},
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
