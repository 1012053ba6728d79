// Fixture for tests that run the custom actions in this process against the
// stand-in platform: a fresh platform state, a scratch drive root, one session,
// and the process variables the actions change saved and put back.
#pragma once

#include <hostwin/control.h>

#include "Actions.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace krt_test {

namespace fs = std::filesystem;

constexpr std::int32_t kErrorMessageType = 0x03000010;

class SavedVariable {
public:
    explicit SavedVariable(const char* name) : m_name(name) {
        const char* value = std::getenv(name);
        m_had = value != nullptr;
        if (m_had) m_value = value;
    }
    ~SavedVariable() {
        if (m_had)
            setenv(m_name, m_value.c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_had;
    std::string m_value;
};

class ActionTest : public ::testing::Test {
protected:
    void SetUp() override {
        hostwin::reset();
        std::string pattern = (fs::temp_directory_path() / "krt-actions-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        hostwin::set_root(m_root.string());
        hostwin::reg_set_default_machine();
        m_session = hostwin::create_session();
        unsetenv("TargetDir");
    }
    void TearDown() override {
        hostwin::reset();
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    MSIHANDLE session() const { return m_session; }
    const fs::path& root() const { return m_root; }

    void setTargetDir(const std::string& value) { hostwin::set_property(m_session, "TARGETDIR", value); }

    // Texts of the error messages shown so far, as the installer shows them.
    static std::vector<std::string> errors() { return texts(INSTALLMESSAGE_USER); }
    // Lines written to the installer's log so far.
    static std::vector<std::string> logLines() { return texts(INSTALLMESSAGE_INFO); }
    static std::vector<std::string> texts(std::uint32_t kind) {
        std::vector<std::string> texts;
        for (const hostwin::Message& message : hostwin::messages())
            if ((static_cast<std::uint32_t>(message.type) & 0xFF000000u) == kind) texts.push_back(hostwin::formatted_text(message));
        return texts;
    }
    // Progress records sent so far, as (field 1, field 2, field 3).
    static std::vector<std::vector<int>> progress() {
        std::vector<std::vector<int>> records;
        for (const hostwin::Message& message : hostwin::messages())
            if (message.type == INSTALLMESSAGE_PROGRESS)
                records.push_back({message.fields.at(1).integer, message.fields.at(2).integer,
                                   message.fields.at(3).integer});
        return records;
    }
    static int callCount(const std::string& function) {
        int count = 0;
        for (const hostwin::Call& call : hostwin::calls()) count += call.function == function;
        return count;
    }

    // The machine Path value, raw.
    static hostwin::RegValue machinePathValue() {
        hostwin::RegValue value;
        EXPECT_TRUE(hostwin::reg_get(hostwin::kEnvironmentKey, "Path", &value));
        return value;
    }
    // The machine Path value as text (up to its first NUL).
    static std::string machinePath() { return std::string(machinePathValue().data.c_str()); }
    static void setMachinePath(const std::string& text, DWORD type = REG_EXPAND_SZ) {
        hostwin::reg_set_text(hostwin::kEnvironmentKey, "Path", type, text);
    }

    static std::string env(const char* name) {
        const char* value = std::getenv(name);
        return value ? value : "<unset>";
    }

private:
    SavedVariable m_savedPath{"PATH"};
    SavedVariable m_savedTargetDir{"TargetDir"};
    fs::path m_root;
    MSIHANDLE m_session = 0;
};

}  // namespace krt_test
