// Install: TARGETDIR becomes the process variable TargetDir, without its final
// backslash.
#include "ActionTest.h"

#include <cstdio>
#include <ostream>

namespace krt_test {
namespace {

using InstallTest = ActionTest;

const std::string kNotFound = "Invalid Windows installer database - TARGETDIR property not found.";

std::string NotAbsolute(const std::string& targetDir) {
    return "Aborting installation - the TARGETDIR property is not an absolute folder path: \"" + targetDir + "\".";
}

// TargetDir as a child process started now sees it.
std::string childTargetDir() {
    FILE* child = popen("printf '%s' \"${TargetDir-<unset>}\"", "r");
    std::string out;
    char buffer[1024];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, child)) > 0;) out.append(buffer, n);
    pclose(child);
    return out;
}

struct TargetDirCase {
    const char* name;
    std::string targetDir;
    UINT outcome;
    std::string published;  // "<unset>" when the variable is not set
    std::string error;      // "" when no message is shown
};

void PrintTo(const TargetDirCase& c, std::ostream* out) {
    *out << c.name;
}

class InstallTargetDirTest : public ActionTest, public ::testing::WithParamInterface<TargetDirCase> {};

TEST_P(InstallTargetDirTest, PublishesTheInstallRoot) {
    const TargetDirCase& c = GetParam();
    setTargetDir(c.targetDir);
    EXPECT_EQ(Install(session()), c.outcome);
    EXPECT_EQ(env("TargetDir"), c.published);
    EXPECT_EQ(childTargetDir(), c.published);
    if (c.error.empty())
        EXPECT_TRUE(errors().empty());
    else
        EXPECT_EQ(errors(), std::vector<std::string>{c.error});
}

const std::string k521 = "C:\\" + std::string(517, 'k') + "\\";
const std::string k522 = "C:\\" + std::string(518, 'k') + "\\";

INSTANTIATE_TEST_SUITE_P(
    Table, InstallTargetDirTest,
    ::testing::Values(
        TargetDirCase{"usual", "D:\\Apps\\Rt\\", 0, "D:\\Apps\\Rt", ""},
        // Only a final backslash is dropped: the root keeps its last letter.
        TargetDirCase{"no_final_backslash", "D:\\Apps\\Rt", 0, "D:\\Apps\\Rt", ""},
        // A drive's root keeps its backslash: C: alone is the drive's current folder.
        TargetDirCase{"drive_root", "C:\\", 0, "C:\\", ""},
        TargetDirCase{"drive_root_doubled", "C:\\\\", 0, "C:\\", ""},
        TargetDirCase{"doubled_final_backslash", "C:\\Apps\\Kit\\\\", 0, "C:\\Apps\\Kit", ""},
        TargetDirCase{"unc", "\\\\srv\\share\\Kit\\", 0, "\\\\srv\\share\\Kit", ""},
        TargetDirCase{"spaces", "C:\\Program Files\\K R T\\", 0, "C:\\Program Files\\K R T", ""},
        TargetDirCase{"longest", k521, 0, k521.substr(0, 520), ""},
        TargetDirCase{"too_long", k522, 1602, "<unset>", kNotFound},
        TargetDirCase{"empty", "", 1602, "<unset>", kNotFound},
        TargetDirCase{"unc_share_without_folder", "\\\\srv\\share", 0, "\\\\srv\\share", ""},
        TargetDirCase{"one_character", "\\", 1602, "<unset>", NotAbsolute("\\")},
        TargetDirCase{"relative", "Kit\\", 1602, "<unset>", NotAbsolute("Kit\\")},
        // Shown as typed: the brackets are no reference to a property.
        TargetDirCase{"relative_with_brackets", "Kit [x86]\\", 1602, "<unset>", NotAbsolute("Kit [x86]\\")},
        TargetDirCase{"drive_relative", "C:", 1602, "<unset>", NotAbsolute("C:")},
        TargetDirCase{"drive_relative_folder", "C:Kit\\", 1602, "<unset>", NotAbsolute("C:Kit\\")},
        TargetDirCase{"drive_with_slash", "C:/Kit/", 1602, "<unset>", NotAbsolute("C:/Kit/")},
        TargetDirCase{"server_only", "\\\\srv", 1602, "<unset>", NotAbsolute("\\\\srv")},
        TargetDirCase{"server_without_share", "\\\\srv\\", 1602, "<unset>", NotAbsolute("\\\\srv\\")},
        TargetDirCase{"no_server", "\\\\\\share\\", 1602, "<unset>", NotAbsolute("\\\\\\share\\")},
        TargetDirCase{"long_path_form", "\\\\?\\C:\\Kit\\", 1602, "<unset>", NotAbsolute("\\\\?\\C:\\Kit\\")},
        TargetDirCase{"device_form", "\\\\.\\C:\\Kit\\", 1602, "<unset>", NotAbsolute("\\\\.\\C:\\Kit\\")}),
    [](const ::testing::TestParamInfo<TargetDirCase>& info) { return std::string(info.param.name); });

TEST_F(InstallTest, SecondRunReplacesTheValueAndARefusedRunKeepsIt) {
    setTargetDir("D:\\First\\");
    ASSERT_EQ(Install(session()), 0u);
    setTargetDir("D:\\Second\\");
    ASSERT_EQ(Install(session()), 0u);
    EXPECT_EQ(env("TargetDir"), "D:\\Second");
    setTargetDir(k522);
    EXPECT_EQ(Install(session()), 1602u);
    EXPECT_EQ(env("TargetDir"), "D:\\Second");
}

// The installer expands [...] and {...} in a record's template field: the
// log line names a root with brackets and braces exactly as it is.
TEST_F(InstallTest, LogLinesShowTheRootAsItIs) {
    setTargetDir("C:\\Kit [x86] {[ProductName]}\\");
    hostwin::set_property(session(), "x86", "EXPANDED");
    ASSERT_EQ(Install(session()), 0u);
    EXPECT_EQ(logLines(), std::vector<std::string>{
                              "KRTCustomActions: install root published as TargetDir=C:\\Kit [x86] {[ProductName]}"});
}

TEST_F(InstallTest, FailedEnvironmentUpdateIsReported) {
    setTargetDir("D:\\Apps\\Rt\\");
    hostwin::fail("_putenv");
    EXPECT_EQ(Install(session()), 1602u);
    EXPECT_EQ(errors(), std::vector<std::string>{
                            "Aborting installation - could not create local environment variable"});
    EXPECT_EQ(env("TargetDir"), "<unset>");
}

TEST_F(InstallTest, UnknownInstallationHandleIsAMissingProperty) {
    EXPECT_EQ(Install(session() + 1000), 1602u);
    EXPECT_EQ(env("TargetDir"), "<unset>");
}

TEST_F(InstallTest, TouchesNothingButTheVariable) {
    setMachinePath("C:\\A");
    setTargetDir("D:\\Apps\\Rt\\");
    ASSERT_EQ(Install(session()), 0u);
    EXPECT_EQ(machinePath(), "C:\\A");
    EXPECT_TRUE(fs::is_empty(root()));
    for (const hostwin::Call& call : hostwin::calls())
        EXPECT_TRUE(call.function.rfind("Msi", 0) == 0 || call.function == "_putenv") << call.function;
}

}  // namespace
}  // namespace krt_test
