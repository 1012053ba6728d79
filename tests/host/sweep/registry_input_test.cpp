// The machine Path value in awkward shapes: large, unterminated, REG_SZ, bytes
// that are not text, and a value that changes between the size query and the
// data read. Every value is stored exactly sized, so that a read past its data
// lands outside the action's buffer and the sanitizers see it.
#include "ActionTest.h"
#include "SystemSearchPath.h"

namespace krt_test {
namespace {

const std::string E = "C:\\Apps\\Kit\\v71\\runtime\\win32";
const char* const kAddRoot = "C:\\Apps\\Kit";
const char* const kRemoveRoot = "C:\\Apps\\Kit\\";
const std::string kMsgGet =
    "Aborting installation - could not get system path from registry.\n"
    "You may not have the required system permissions.";

// ';'-separated folders filling exactly size bytes.
std::string LargePath(std::size_t size) {
    std::string text;
    for (int i = 0; text.size() < size; ++i) text += "C:\\Tools\\folder" + std::to_string(i) + ";";
    text.resize(size, 'x');
    return text;
}

// Every byte value but NUL, once.
std::string AllNonNulBytes() {
    std::string bytes;
    for (int b = 1; b <= 0xFF; ++b) bytes += static_cast<char>(b);
    return bytes;
}

class RegistryInputTest : public ActionTest {
protected:
    static void store(const std::string& data, DWORD type) {
        hostwin::reg_set(hostwin::kEnvironmentKey, "Path", type, data);
    }
    static void expectWritten(const std::string& text) {
        const hostwin::RegValue value = machinePathValue();
        EXPECT_EQ(value.data.size(), text.size() + 1);
        EXPECT_TRUE(value.data == text + '\0') << "the text written differs from the text expected";
        EXPECT_EQ(value.type, DWORD(REG_EXPAND_SZ));
        EXPECT_EQ(hostwin::open_key_count(), 0);
    }
};

TEST_F(RegistryInputTest, AddAndRemoveKeepEveryByteOfTheValue) {
    const struct {
        const char* name;
        std::string text;  // the value's text, stored with no terminating NUL unless terminated
        DWORD type;
        bool terminated;
    } cases[] = {
        {"64 KiB", LargePath(64 * 1024), REG_EXPAND_SZ, false},
        {"no terminating NUL", "C:\\A;C:\\B", REG_EXPAND_SZ, false},
        {"REG_SZ", "%SystemRoot%;C:\\B", REG_SZ, true},
        {"bytes 0x01-0xFF", AllNonNulBytes(), REG_EXPAND_SZ, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string nul = c.terminated ? std::string(1, '\0') : std::string();

        store(c.text + nul, c.type);
        EXPECT_EQ(krt::AddSystemPathEntry(session(), kAddRoot), 0u) << ::testing::PrintToString(errors());
        expectWritten(c.text + ";" + E);
        EXPECT_TRUE(env("PATH") == c.text + ";" + E);

        store(c.text + ";" + E + nul, c.type);
        EXPECT_EQ(krt::RemoveSystemPathEntry(session(), kRemoveRoot), 0u) << ::testing::PrintToString(errors());
        expectWritten(c.text);

        store(E + ";" + c.text + nul, c.type);
        EXPECT_EQ(krt::RemoveSystemPathEntry(session(), kRemoveRoot), 0u) << ::testing::PrintToString(errors());
        expectWritten(c.text);
    }
    EXPECT_TRUE(errors().empty());
}

// Replaces the value right after the first size query, as another writer might.
std::string g_replacement;
bool g_replaced = false;
void ReplaceAfterSizeQuery(const std::string& function, bool before) {
    if (function != "RegQueryValueExA" || before || g_replaced) return;
    g_replaced = true;
    hostwin::reg_set(hostwin::kEnvironmentKey, "Path", REG_EXPAND_SZ, g_replacement);
}

TEST_F(RegistryInputTest, ValueThatChangesBetweenSizeQueryAndRead) {
    using Operation = UINT (*)(MSIHANDLE);
    const Operation add = [](MSIHANDLE h) { return krt::AddSystemPathEntry(h, kAddRoot); };
    const Operation remove = [](MSIHANDLE h) { return krt::RemoveSystemPathEntry(h, kRemoveRoot); };
    const std::string initial = "C:\\A;C:\\B;" + E + ";C:\\D";
    const struct {
        const char* name;
        Operation operation;
        std::string replacement;
        bool succeeds;
        std::string after;
    } cases[] = {
        {"Add, value grew", add, initial + ";C:\\grown", false, initial + ";C:\\grown"},
        {"Remove, value grew", remove, initial + ";C:\\grown", false, initial + ";C:\\grown"},
        // A value that shrank is read whole, and nothing behind its data.
        {"Add, value shrank", add, "C:\\X", true, "C:\\X;" + E},
        {"Remove, value shrank", remove, "C:\\X;" + E, true, "C:\\X"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hostwin::clear_messages();
        hostwin::clear_calls();
        store(initial, REG_EXPAND_SZ);
        g_replacement = c.replacement;
        g_replaced = false;
        hostwin::set_call_hook(&ReplaceAfterSizeQuery);
        const UINT outcome = c.operation(session());
        hostwin::set_call_hook(nullptr);
        EXPECT_TRUE(g_replaced);
        if (c.succeeds) {
            EXPECT_EQ(outcome, 0u) << ::testing::PrintToString(errors());
            EXPECT_TRUE(errors().empty());
            expectWritten(c.after);
        } else {
            EXPECT_EQ(outcome, 1602u);
            EXPECT_EQ(errors(), std::vector<std::string>{kMsgGet});
            EXPECT_EQ(machinePathValue().data, c.after);  // the other writer's value, untouched
            EXPECT_EQ(callCount("RegSetValueExA"), 0);
        }
        EXPECT_EQ(hostwin::open_key_count(), 0);
    }
}

}  // namespace
}  // namespace krt_test
