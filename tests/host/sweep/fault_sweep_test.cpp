// Fault sweep: Install, Commit and Uninstall are each run once successfully,
// then once more for every stand-in call of that run, with exactly that call
// (the function and its occurrence) failing. Each run is checked against the
// rules every failure path must keep, and the whole matrix is printed: one row
// per call, with its outcome and the first line of the message shown. In the
// rule column, "stop" marks a call whose failure must end the action with 1602
// and exactly one error message, "quiet" one whose failure the action does not
// examine and must not change the outcome. A row that breaks a rule is
// followed by BROKEN lines and fails the test.
//
// Print the matrix:
//   build/host/bin/krt_sweep_tests --gtest_filter='Sweep.*'
// or through CTest:
//   ctest --test-dir build/host -R sweep.matrix -V
#include "HeapCount.h"
#include "PayloadTest.h"
#include "Processes.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>

namespace krt_test {
namespace {

// An install root too long for a string's inline buffer: every text composed
// from it is a heap allocation of its own, which the sweep makes fail in turn.
const std::string kRoot = "C:\\Program Files\\KRT Kit";
const std::string kTargetDir = kRoot + "\\";
const std::string kEntry = kRoot + "\\v71\\runtime\\win32";
const std::string kMsgInternalError = "Aborting installation - unexpected internal error.";

// ---- Waiting for the payload program ---------------------------------------

// Commit reads the payload program's output and checks whether it has ended in
// turn; how many turns it takes depends on how far the program has got. So
// that every run of the sweep makes the same calls, the program is let run to
// its end before Commit goes on from CreateProcessA: Commit then reads all of
// its output at once, sends one record, sees the program ended at the first
// check, and moves on.
std::size_t g_startsBefore = 0;
void AwaitPayloadEnd(const std::string& function, bool before) {
    if (function != "CreateProcessA") return;
    if (before) {
        g_startsBefore = hostwin::process_starts().size();
        return;
    }
    if (hostwin::process_starts().size() == g_startsBefore) return;  // it did not start
    sweep::AwaitEnd(static_cast<pid_t>(hostwin::process_starts().back().pid), 20000);
}

// ---- One run ------------------------------------------------------------------

struct Fault {
    std::string function;
    int occurrence = 0;          // 0: no fault (the successful run)
    std::size_t allocation = 0;  // the action's nth heap allocation fails instead (0: none)
};

struct RunRecord {
    UINT outcome = 0;
    std::size_t heapBlocksKept = 0;
    bool heapTableOverflowed = false;
    std::vector<hostwin::Call> calls;
    std::vector<hostwin::Message> messages;
    std::vector<MSIHANDLE> openRecords;
    int openKeys = 0;
    std::vector<std::string> openHandles;
    std::string machinePath;
    std::string targetDir;  // the process variable after the run
    bool stdOutputKept = true;
    int stillRunning = 0;  // payload programs running when the action returned
    std::size_t allocations = 0;  // heap allocations the action made
};

std::vector<std::size_t> ErrorIndexes(const std::vector<hostwin::Message>& messages) {
    std::vector<std::size_t> indexes;
    for (std::size_t i = 0; i < messages.size(); ++i)
        if ((messages[i].type & 0xFF000000) == INSTALLMESSAGE_USER) indexes.push_back(i);
    return indexes;
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// A failure that the action does not examine: the action must go on as if the
// call had worked. Everything else must end the action with 1602 and one
// message. The baseline holds no call of an error message, so every record
// call in it belongs to a log line or the progress record.
bool Unexamined(const hostwin::Call& call, int occurrence) {
    const std::string& f = call.function;
    if (f == "MsiCreateRecord" || f == "MsiRecordSetStringA" || f == "MsiRecordSetInteger" ||
        f == "MsiProcessMessage" || f == "MsiCloseHandle")
        return true;  // log lines, the progress record and its sends
    if (f == "RegCloseKey" || f == "SendMessageTimeoutA" || f == "GetStdHandle" || f == "WaitForSingleObject" ||
        f == "Sleep")
        return true;
    // A failed read of the payload's output is taken as its end, a failed look
    // at the pipe as an empty pipe: Commit goes on waiting for the program.
    if (f == "ReadFile" || f == "PeekNamedPipe") return true;
    if (f == "SetStdHandle") return occurrence > 1;          // putting standard output back
    if (f == "CloseHandle") return call.detail != "pipe-write";  // only the write end's close is examined
    // Uninstall looks for the version folder before deleting it; a look that
    // fails is no reason to skip the delete.
    if (f == "GetFileAttributesA") return occurrence == 1;
    return false;
}

class Sweep : public PayloadTest {
protected:
    struct Scenario {
        std::string action;
        UINT (*entry)(MSIHANDLE);
        std::function<void()> prepare;
        std::string pathBefore;
        std::string pathAfter;
        std::string targetDirAfter;  // the process variable after a successful run
    };

    void SetUp() override {
        PayloadTest::SetUp();
        const char* path = std::getenv("PATH");
        m_processPath = path ? path : "";
    }
    void TearDown() override {
        hostwin::set_call_hook(nullptr);
        sweep::SetExtraHook(nullptr);
        sweep::KillStartedPrograms();
        PayloadTest::TearDown();
    }

    // A fresh platform and the same session handle, so that the fixture's
    // helpers keep working.
    void freshWorld() {
        hostwin::reset();
        ASSERT_EQ(hostwin::create_session(), session());
        hostwin::reg_set_default_machine();
        setenv("PATH", m_processPath.c_str(), 1);
        unsetenv("TargetDir");
    }

    RunRecord runOnce(const Scenario& scenario, const Fault& fault) {
        freshWorld();
        scenario.prepare();
        const HANDLE stdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        hostwin::clear_calls();
        hostwin::clear_messages();
        if (fault.occurrence > 0) hostwin::fail(fault.function, fault.occurrence);
        hostwin::set_call_hook(&sweep::PlatformCallHook);

        RunRecord run;
        sweep::BeginHeapCount();
        sweep::FailAllocation(fault.allocation);
        run.outcome = scenario.entry(session());
        run.allocations = sweep::HeapAllocationsCounted();
        run.heapBlocksKept = sweep::EndHeapCount();
        run.heapTableOverflowed = sweep::HeapCountOverflowed();

        hostwin::set_call_hook(nullptr);
        hostwin::clear_faults();
        run.calls = hostwin::calls();
        run.messages = hostwin::messages();
        run.openRecords = hostwin::open_records();
        run.openKeys = hostwin::open_key_count();
        run.openHandles = hostwin::open_handles();
        run.machinePath = machinePath();
        run.targetDir = env("TargetDir");
        run.stdOutputKept = GetStdHandle(STD_OUTPUT_HANDLE) == stdOutput;
        for (const hostwin::ProcessStart& start : hostwin::process_starts())
            run.stillRunning += sweep::Running(static_cast<pid_t>(start.pid));
        sweep::KillStartedPrograms();
        return run;
    }

    // The rules every run keeps, fault or not; returns what it broke.
    static std::vector<std::string> brokenRules(const Scenario& scenario, const RunRecord& run, const Fault& fault) {
        std::vector<std::string> broken;
        if (run.outcome != 0 && run.outcome != 1602) broken.push_back("outcome " + std::to_string(run.outcome));
        const std::vector<std::size_t> errors = ErrorIndexes(run.messages);
        if (errors.size() > 1) broken.push_back(std::to_string(errors.size()) + " error messages");
        for (std::size_t index : errors) {
            const hostwin::Message& message = run.messages[index];
            if (message.type != kErrorMessageType) broken.push_back("message type " + std::to_string(message.type));
            if (hostwin::formatted_text(message).empty()) broken.push_back("empty error text");
        }
        if (!errors.empty())
            for (std::size_t i = errors.front() + 1; i < run.messages.size(); ++i)
                if (run.messages[i].type == INSTALLMESSAGE_PROGRESS) broken.push_back("progress after the error");
        if (run.heapTableOverflowed) broken.push_back("heap table overflowed");
        if (run.heapBlocksKept != 0) broken.push_back(std::to_string(run.heapBlocksKept) + " heap blocks kept");
        // A close that is made to fail leaves its one handle open: nothing
        // sound can be done about that, and retrying is not it.
        const std::size_t recordsMayStay = fault.function == "MsiCloseHandle" ? 1 : 0;
        const int keysMayStay = fault.function == "RegCloseKey" ? 1 : 0;
        const std::size_t handlesMayStay = fault.function == "CloseHandle" ? 1 : 0;
        if (run.openRecords.size() > recordsMayStay)
            broken.push_back(std::to_string(run.openRecords.size()) + " records open");
        if (run.openKeys > keysMayStay) broken.push_back(std::to_string(run.openKeys) + " registry keys open");
        if (run.openHandles.size() > handlesMayStay)
            broken.push_back("handles open: " + ::testing::PrintToString(run.openHandles));
        if (run.machinePath != scenario.pathBefore && run.machinePath != scenario.pathAfter)
            broken.push_back("machine Path half-written: " + run.machinePath);
        if (run.targetDir != "<unset>" && run.targetDir != scenario.targetDirAfter)
            broken.push_back("TargetDir " + run.targetDir);
        // Standard output is put back unless the call that reads or restores it
        // is the one that fails.
        const bool stdOutputMayChange =
            fault.function == "GetStdHandle" || (fault.function == "SetStdHandle" && fault.occurrence > 1);
        if (!run.stdOutputKept && !stdOutputMayChange) broken.push_back("standard output handle not put back");
        if (run.stillRunning != 0) broken.push_back("the payload program still runs");
        return broken;
    }

    void runMatrix(const Scenario& scenario) {
        const RunRecord baseline = runOnce(scenario, Fault{});
        ASSERT_EQ(baseline.outcome, 0u) << ::testing::PrintToString(ErrorIndexes(baseline.messages));
        ASSERT_TRUE(ErrorIndexes(baseline.messages).empty());
        ASSERT_EQ(baseline.machinePath, scenario.pathAfter);
        const std::vector<std::string> baselineBroken = brokenRules(scenario, baseline, Fault{});
        EXPECT_TRUE(baselineBroken.empty()) << ::testing::PrintToString(baselineBroken);

        std::printf("\n%s: %zu stand-in calls in the successful run\n", scenario.action.c_str(),
                    baseline.calls.size());
        std::printf("%-10s %-20s %4s  %-36s %-7s %-5s %s\n", "action", "call", "#", "detail", "outcome", "rule",
                    "message");
        std::map<std::string, int> seen;
        int cells = 0, bad = 0;
        for (const hostwin::Call& call : baseline.calls) {
            const Fault fault{call.function, ++seen[call.function]};
            const RunRecord run = runOnce(scenario, fault);
            std::vector<std::string> broken = brokenRules(scenario, run, fault);

            int occurrence = 0;
            bool fired = false;
            for (const hostwin::Call& made : run.calls)
                if (made.function == fault.function && ++occurrence == fault.occurrence) fired = made.failed;
            if (!fired) broken.push_back("the fault was not reached");

            const std::vector<std::size_t> errors = ErrorIndexes(run.messages);
            const bool quiet = Unexamined(call, fault.occurrence);
            if (quiet && (run.outcome != 0 || !errors.empty()))
                broken.push_back("an unexamined failure changed the outcome");
            if (!quiet && (run.outcome != 1602 || errors.size() != 1))
                broken.push_back("a failed step must end with 1602 and one message");

            const std::string message =
                errors.empty() ? "-" : "\"" + FirstLine(hostwin::formatted_text(run.messages[errors.front()])) + "\"";
            std::string detail = call.detail.substr(0, 36);
            for (char& c : detail)
                if (c == '\n') c = ' ';
            std::printf("%-10s %-20s %4d  %-36s %-7u %-5s %s\n", scenario.action.c_str(), fault.function.c_str(),
                        fault.occurrence, detail.c_str(), run.outcome, quiet ? "quiet" : "stop", message.c_str());
            for (const std::string& rule : broken) std::printf("    BROKEN: %s\n", rule.c_str());
            ++cells;
            if (!broken.empty()) {
                ++bad;
                ADD_FAILURE() << scenario.action << " with " << fault.function << " #" << fault.occurrence
                              << " failing: " << ::testing::PrintToString(broken);
            }
        }
        // Then each heap allocation made while the action runs failing in turn:
        // the action ends with one message, or goes on where the allocation was
        // not its own to check (a COM server's, or one the stand-in makes around
        // a call), never with a crash, a leak or an exception escaping.
        for (std::size_t n = 1; n <= baseline.allocations; ++n) {
            const Fault fault{"new", 0, n};
            const RunRecord run = runOnce(scenario, fault);
            std::vector<std::string> broken = brokenRules(scenario, run, fault);
            const std::vector<std::size_t> errors = ErrorIndexes(run.messages);
            const std::string text = errors.empty() ? "" : hostwin::formatted_text(run.messages[errors.front()]);
            const bool stopped = run.outcome == 1602 && errors.size() == 1;
            const bool carriedOn = run.outcome == 0 && errors.empty();
            if (!stopped && !carriedOn) broken.push_back("out of memory must end with 1602 and one message");
            // Every allocation of the action's own is checked where it is made:
            // none may end the action by an exception caught at the export.
            if (text == kMsgInternalError) broken.push_back("out of memory escaped as an exception");
            const std::string message = errors.empty() ? "-" : "\"" + FirstLine(text) + "\"";
            std::printf("%-10s %-20s %4zu  %-36s %-7u %-5s %s\n", scenario.action.c_str(), "new (allocation)", n,
                        "", run.outcome, "oom", message.c_str());
            for (const std::string& rule : broken) std::printf("    BROKEN: %s\n", rule.c_str());
            ++cells;
            if (!broken.empty()) {
                ++bad;
                ADD_FAILURE() << scenario.action << " with allocation #" << n
                              << " failing: " << ::testing::PrintToString(broken);
            }
        }
        std::printf("%s: %d cells, %d with a broken rule\n", scenario.action.c_str(), cells, bad);
        std::fflush(stdout);
    }

private:
    std::string m_processPath;
};

// The count the sweep relies on sees the blocks kept, and does not charge the
// platform's own blocks to the action.
TEST(HeapCount, SeesKeptBlocksButNotThePlatformsOwn) {
    sweep::BeginHeapCount();
    char* kept = new char[16];
    int* keptToo = new (std::nothrow) int(7);
    delete new std::string(100, 'x');
    sweep::PlatformCallHook("RegQueryValueExA", true);
    std::string* platforms = new std::string(100, 'y');
    sweep::PlatformCallHook("RegQueryValueExA", false);
    const std::size_t count = sweep::EndHeapCount();
    delete[] kept;
    delete keptToo;
    delete platforms;
    EXPECT_EQ(count, 2u);
    EXPECT_FALSE(sweep::HeapCountOverflowed());
}

TEST_F(Sweep, Install) {
    Scenario scenario{"Install", Install, [this] { setTargetDir(kTargetDir); }, "", "", kRoot};
    freshWorld();
    scenario.pathBefore = scenario.pathAfter = machinePath();
    runMatrix(scenario);
}

TEST_F(Sweep, Commit) {
    const std::string before = "%SystemRoot%\\system32;C:\\Tools";
    Scenario scenario{"Commit", Commit,
                      [this, before] {
                          installPayload(kTargetDir);
                          std::error_code ignored;
                          fs::remove_all(hostRoot() / "v71", ignored);
                          setMachinePath(before);
                          setenv("TargetDir", kRoot.c_str(), 1);
                      },
                      before, before + ";" + kEntry, kRoot};
    sweep::SetExtraHook(&AwaitPayloadEnd);
    runMatrix(scenario);
}

TEST_F(Sweep, Uninstall) {
    Scenario scenario{"Uninstall", Uninstall,
                      [this] {
                          installPayload(kTargetDir);
                          fs::create_directories(runtimeFolder());
                          std::ofstream(runtimeFolder() / "zqcommgr.dll") << "x";
                          setMachinePath("C:\\Before;" + kEntry + ";C:\\After");
                      },
                      "C:\\Before;" + kEntry + ";C:\\After", "C:\\Before;C:\\After", "<unset>"};
    runMatrix(scenario);
}

}  // namespace
}  // namespace krt_test
