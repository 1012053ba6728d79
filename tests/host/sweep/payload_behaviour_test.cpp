// Commit with a payload program that misbehaves: killed in the middle of its
// output, one enormous line, NUL bytes, and a program that never ends.
#include "PayloadTest.h"
#include "Processes.h"

namespace krt_test {
namespace {

class PayloadBehaviourTest : public PayloadTest {
protected:
    void TearDown() override {
        sweep::KillStartedPrograms();
        PayloadTest::TearDown();
    }
    void freshRun(const std::string& orders) {
        hostwin::clear_messages();
        hostwin::clear_calls();
        installPayload();
        std::error_code ignored;
        fs::remove_all(hostRoot() / "v71", ignored);
        payloadOrders(orders);
        setMachinePath("C:\\Tools");
    }
    static void expectProgressShape() {
        EXPECT_TRUE(oneResetThenIncrements()) << ::testing::PrintToString(progress());
    }
    static void expectNothingLeftOpen() {
        EXPECT_TRUE(hostwin::open_records().empty());
        EXPECT_EQ(hostwin::open_key_count(), 0);
        EXPECT_TRUE(hostwin::open_handles().empty()) << ::testing::PrintToString(hostwin::open_handles());
    }
};

TEST_F(PayloadBehaviourTest, OutputThatEndsBadlyStillCompletesCommit) {
    const struct {
        const char* orders;
        int minTicks;
    } cases[] = {
        // Killed by a signal after half a line.
        {"die\n", 1},
        // One 10 MB line, read in pieces of at most 511 characters, one tick
        // each; the program cannot end before most of it has been read (the
        // pipe holds far less than half of it).
        {"long 10000000\n", 10000000 / 511 / 2},
        {"nul 5000\nlines 2\n", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.orders);
        freshRun(c.orders);
        EXPECT_EQ(installAndCommit(), 0u) << ::testing::PrintToString(errors());
        EXPECT_TRUE(errors().empty());
        expectProgressShape();
        EXPECT_GE(ticksSent(), c.minTicks);
        EXPECT_TRUE(fs::exists(runtimeFolder() / "zqcomutil.dll"));
        EXPECT_EQ(machinePath(), "C:\\Tools;" + folderEntry());
        EXPECT_TRUE(comServerRegistered("zqcommgr.dll"));
        EXPECT_TRUE(comServerRegistered("zqcomutil.dll"));
        expectNothingLeftOpen();
    }
}

TEST_F(PayloadBehaviourTest, CancelStillWorksWhileTheProgramNeverEnds) {
    // The program prints its three file lines, closes its output and never
    // ends: once their ticks are sent, Commit sends records without ticks
    // while it waits; the cancel comes with the third of them.
    freshRun("hang\n");
    int ticks = 0, waits = 0, records = 0;
    hostwin::set_message_handler([&](const hostwin::Message& m) {
        if (m.type != INSTALLMESSAGE_PROGRESS || m.fields.at(1).integer != 2) return IDOK;
        ++records;
        ticks += m.fields.at(2).integer;
        return ticks == 3 && m.fields.at(2).integer == 0 && ++waits == 3 ? IDCANCEL : IDOK;
    });
    EXPECT_EQ(installAndCommit(), 1602u);
    hostwin::set_message_handler(nullptr);
    EXPECT_TRUE(errors().empty());
    expectProgressShape();
    EXPECT_EQ(waits, 3);
    EXPECT_EQ(increments(), records) << "nothing after the cancel";
    EXPECT_EQ(machinePath(), "C:\\Tools");
    EXPECT_EQ(callCount("RegOpenKeyExA"), 0);
    EXPECT_EQ(callCount("LoadLibraryA"), 0);
    expectNothingLeftOpen();

    // The program that never ends must not outlive the test.
    ASSERT_EQ(hostwin::process_starts().size(), 1u);
    const pid_t pid = static_cast<pid_t>(hostwin::process_starts()[0].pid);
    sweep::KillIfRunning(pid);
    EXPECT_FALSE(sweep::Running(pid));
}

}  // namespace
}  // namespace krt_test
