// The runtime library folder's entry in the machine Path value.
#include "ActionTest.h"
#include "SystemSearchPath.h"

namespace krt_test {
namespace {

const std::string E = "C:\\Apps\\Kit\\v71\\runtime\\win32";
const char* const kAddRoot = "C:\\Apps\\Kit";       // as Commit has it: no final backslash
const char* const kRemoveRoot = "C:\\Apps\\Kit\\";  // as Uninstall reads TARGETDIR

const std::string kMsgOpen =
    "Aborting installation - could not open system environment variable registry key.\n"
    "You may not have the required system permissions.";
const std::string kMsgGet =
    "Aborting installation - could not get system path from registry.\n"
    "You may not have the required system permissions.";
const std::string kMsgUpdate =
    "Aborting installation - could not update system path.\n"
    "You may not have the required system permissions.";
const std::string kMsgLocal = "Aborting installation - could not create local environment variable.";

class SearchPathTest : public ActionTest {
protected:
    static std::vector<std::string> broadcasts() {
        std::vector<std::string> details;
        for (const hostwin::Call& call : hostwin::calls())
            if (call.function == "SendMessageTimeoutA") details.push_back(call.detail);
        return details;
    }
    static void expectKeyClosed() {
        EXPECT_EQ(hostwin::open_key_count(), 0);
        EXPECT_EQ(callCount("RegOpenKeyExA"), callCount("RegCloseKey"));
    }
};

TEST_F(SearchPathTest, AddAppendsTheEntryUnlessAnEqualEntryIsThere) {
    const struct {
        std::string before, after;
    } cases[] = {
        {"A;B", "A;B;" + E},
        {"", ";" + E},
        {"A;", "A;;" + E},
        {"%SystemRoot%\\system32", "%SystemRoot%\\system32;" + E},
        {"A;" + E + ";B", "A;" + E + ";B"},
        {"A;" + E + "\\sub", "A;" + E + "\\sub;" + E},
        {"A;x" + E, "A;x" + E + ";" + E},
        {"C:\\APPS\\KIT\\v71\\runtime\\win32", "C:\\APPS\\KIT\\v71\\runtime\\win32;" + E},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        hostwin::clear_calls();
        setMachinePath(c.before, REG_SZ);
        setenv("PATH", "/only/the/old/path", 1);
        EXPECT_EQ(krt::AddSystemPathEntry(session(), kAddRoot), 0u);
        const hostwin::RegValue value = machinePathValue();
        EXPECT_EQ(value.data, c.after + '\0');
        // Written back as REG_EXPAND_SZ only when something was added.
        EXPECT_EQ(value.type, c.after == c.before ? DWORD(REG_SZ) : DWORD(REG_EXPAND_SZ));
        EXPECT_EQ(callCount("RegSetValueExA"), c.after == c.before ? 0 : 1);
        // The process PATH is the registry text itself, references unexpanded.
        EXPECT_EQ(env("PATH"), c.after);
        EXPECT_EQ(broadcasts().size(), 1u);
        expectKeyClosed();
    }
    EXPECT_TRUE(errors().empty());
}

TEST_F(SearchPathTest, BroadcastIsTheEnvironmentSettingChange) {
    ASSERT_EQ(krt::AddSystemPathEntry(session(), kAddRoot), 0u);
    ASSERT_EQ(broadcasts().size(), 1u);
    const std::string detail = broadcasts()[0];
    EXPECT_NE(detail.find("Environment"), std::string::npos) << detail;
    EXPECT_NE(detail.find("5000"), std::string::npos) << detail;
}

TEST_F(SearchPathTest, RemoveCutsEqualEntriesAndAlwaysWritesBack) {
    const struct {
        std::string before, after;
    } cases[] = {
        {"A;" + E + ";B", "A;B"},
        {E, ""},
        {"A;" + E + ";" + E, "A"},
        {"A;B", "A;B"},
        {"A;" + E + "\\sub;B", "A;" + E + "\\sub;B"},
        {"A;x" + E + ";B", "A;x" + E + ";B"},
        {"%SystemRoot%;" + E, "%SystemRoot%"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        hostwin::clear_calls();
        setMachinePath(c.before, REG_SZ);
        setenv("PATH", "/unchanged", 1);
        EXPECT_EQ(krt::RemoveSystemPathEntry(session(), kRemoveRoot), 0u);
        const hostwin::RegValue value = machinePathValue();
        EXPECT_EQ(value.data, c.after + '\0');
        EXPECT_EQ(value.type, DWORD(REG_EXPAND_SZ));
        EXPECT_EQ(env("PATH"), "/unchanged");
        EXPECT_EQ(broadcasts().size(), 1u);
        expectKeyClosed();
    }
    EXPECT_TRUE(errors().empty());
}

TEST_F(SearchPathTest, RootWithAndWithoutFinalBackslashNameTheSameEntry) {
    for (const char* root : {"C:\\Apps\\Kit\\", "C:\\Apps\\Kit"}) {
        setMachinePath("A;" + E);
        EXPECT_EQ(krt::RemoveSystemPathEntry(session(), root), 0u);
        EXPECT_EQ(machinePath(), "A") << root;
    }
}

TEST_F(SearchPathTest, DataWithoutTerminatorIsReadNoFurther) {
    hostwin::reg_set(hostwin::kEnvironmentKey, "Path", REG_EXPAND_SZ, "A;B");
    EXPECT_EQ(krt::AddSystemPathEntry(session(), kAddRoot), 0u);
    EXPECT_EQ(machinePathValue().data, "A;B;" + E + '\0');

    hostwin::reg_set(hostwin::kEnvironmentKey, "Path", REG_EXPAND_SZ, "A;" + E);
    EXPECT_EQ(krt::RemoveSystemPathEntry(session(), kRemoveRoot), 0u);
    EXPECT_EQ(machinePathValue().data, std::string("A") + '\0');
}

struct FailureCase {
    const char* function;
    int nth;
    std::string message;
    bool written;  // the value has its new text
};

TEST_F(SearchPathTest, EveryFailureShowsItsMessageClosesTheKeyAndKeepsTheValue) {
    const FailureCase addCases[] = {
        {"RegOpenKeyExA", 1, kMsgOpen, false},
        {"RegQueryValueExA", 1, kMsgGet, false},
        {"RegQueryValueExA", 2, kMsgGet, false},
        {"RegSetValueExA", 1, kMsgUpdate, false},
        {"_putenv", 1, kMsgLocal, true},
    };
    for (const FailureCase& c : addCases) {
        SCOPED_TRACE(std::string("ADD ") + c.function + ":" + std::to_string(c.nth));
        hostwin::clear_messages();
        hostwin::clear_calls();
        setMachinePath("A;B");
        setenv("PATH", "/old", 1);
        hostwin::fail(c.function, c.nth);
        EXPECT_EQ(krt::AddSystemPathEntry(session(), kAddRoot), 1602u);
        EXPECT_EQ(errors(), std::vector<std::string>{c.message});
        EXPECT_EQ(machinePath(), c.written ? "A;B;" + E : "A;B");
        EXPECT_EQ(env("PATH"), "/old");
        EXPECT_EQ(hostwin::open_key_count(), 0);
        hostwin::clear_faults();
    }
    const FailureCase removeCases[] = {
        {"RegOpenKeyExA", 1, kMsgOpen, false},
        {"RegQueryValueExA", 1, kMsgGet, false},
        {"RegQueryValueExA", 2, kMsgGet, false},
        {"RegSetValueExA", 1, kMsgUpdate, false},
    };
    for (const FailureCase& c : removeCases) {
        SCOPED_TRACE(std::string("REMOVE ") + c.function + ":" + std::to_string(c.nth));
        hostwin::clear_messages();
        setMachinePath("A;" + E);
        hostwin::fail(c.function, c.nth);
        EXPECT_EQ(krt::RemoveSystemPathEntry(session(), kRemoveRoot), 1602u);
        EXPECT_EQ(errors(), std::vector<std::string>{c.message});
        EXPECT_EQ(machinePath(), "A;" + E);
        EXPECT_EQ(hostwin::open_key_count(), 0);
        hostwin::clear_faults();
    }
}

TEST_F(SearchPathTest, MissingPathValueFailsAtTheSizeQuery) {
    hostwin::reg_delete_value(hostwin::kEnvironmentKey, "Path");
    EXPECT_EQ(krt::AddSystemPathEntry(session(), kAddRoot), 1602u);
    EXPECT_EQ(krt::RemoveSystemPathEntry(session(), kRemoveRoot), 1602u);
    EXPECT_EQ(errors(), (std::vector<std::string>{kMsgGet, kMsgGet}));
    hostwin::RegValue gone;
    EXPECT_FALSE(hostwin::reg_get(hostwin::kEnvironmentKey, "Path", &gone));
    EXPECT_EQ(hostwin::open_key_count(), 0);
}

TEST_F(SearchPathTest, ValueGrowingBetweenSizeQueryAndReadFailsTheRead) {
    int queries = 0;
    hostwin::set_call_hook([&](const std::string& function, bool before) {
        if (function == "RegQueryValueExA" && !before && ++queries == 1) setMachinePath("A;B;C:\\Somebody\\Else");
    });
    setMachinePath("A;B");
    EXPECT_EQ(krt::AddSystemPathEntry(session(), kAddRoot), 1602u);
    hostwin::set_call_hook(nullptr);
    EXPECT_EQ(errors(), std::vector<std::string>{kMsgGet});
    EXPECT_EQ(machinePath(), "A;B;C:\\Somebody\\Else");
}

}  // namespace
}  // namespace krt_test
