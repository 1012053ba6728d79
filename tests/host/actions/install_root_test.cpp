// Install roots whose end is easy to misread, through Install, Commit and
// Uninstall: roots ending in a double-byte character whose trail byte is 0x5C
// (the backslash byte) in code page 932, and a drive's root. Each row says what
// Install publishes, what the payload program is told, which entry goes onto
// the Path (and which COM servers are loaded from it) and which folder
// Uninstall deletes.
#include "PayloadTest.h"

#include <ostream>
#include <sstream>

namespace krt_test {
namespace {

struct RootCase {
    const char* name;
    UINT codePage;
    std::string targetDir;
    std::string published;      // TargetDir, and the payload's -d argument
    std::string entry;          // the Path entry, the folder of the COM servers
    std::string versionFolder;  // what Uninstall deletes
};

void PrintTo(const RootCase& c, std::ostream* out) { *out << c.name; }

class InstallRootTest : public PayloadTest, public ::testing::WithParamInterface<RootCase> {
protected:
    void TearDown() override {
        hostwin::set_ansi_code_page(1252);
        PayloadTest::TearDown();
    }

    // The payload program's arguments as it parsed them.
    std::vector<std::string> payloadArguments() const {
        std::ifstream in(hostRoot() / "_KRTInstaller.args", std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    static std::vector<std::string> details(const std::string& function) {
        std::vector<std::string> out;
        for (const hostwin::Call& call : hostwin::calls())
            if (call.function == function) out.push_back(call.detail);
        return out;
    }
};

TEST_P(InstallRootTest, RootIsReadByCharacters) {
    const RootCase& c = GetParam();
    hostwin::set_ansi_code_page(c.codePage);
    installPayload(c.targetDir);
    payloadOrders("args\n");
    setMachinePath("C:\\Tools");

    ASSERT_EQ(installAndCommit(), 0u) << ::testing::PrintToString(errors());
    EXPECT_EQ(env("TargetDir"), c.published);
    EXPECT_EQ(payloadArguments(), (std::vector<std::string>{"-o", "-d", c.published}));
    EXPECT_EQ(machinePath(), "C:\\Tools;" + c.entry);
    EXPECT_EQ(details("LoadLibraryA"),
              (std::vector<std::string>{c.entry + "\\zqcommgr.dll", c.entry + "\\zqcomutil.dll"}));
    EXPECT_TRUE(fs::exists(runtimeFolder() / "zqcomutil.dll"));

    ASSERT_EQ(Uninstall(session()), 0u) << ::testing::PrintToString(errors());
    EXPECT_EQ(details("SHFileOperationA").at(0).substr(details("SHFileOperationA").at(0).find("from=")),
              "from=" + c.versionFolder);
    EXPECT_FALSE(fs::exists(hostRoot() / "v71"));
    EXPECT_TRUE(fs::exists(hostRoot() / "_KRTInstaller.exe"));
    EXPECT_EQ(machinePath(), "C:\\Tools");
}

// In code page 932, \x95\x5C is the character 表 and \x83\x5C is ソ.
INSTANTIATE_TEST_SUITE_P(
    Table, InstallRootTest,
    ::testing::Values(
        RootCase{"ending_in_hyo", 932, "C:\\Data\x95\x5C\\", "C:\\Data\x95\x5C",
                 "C:\\Data\x95\x5C\\v71\\runtime\\win32", "C:\\Data\x95\x5C\\v71"},
        RootCase{"ending_in_so", 932, "C:\\Kit\x83\x5C\\", "C:\\Kit\x83\x5C", "C:\\Kit\x83\x5C\\v71\\runtime\\win32",
                 "C:\\Kit\x83\x5C\\v71"},
        RootCase{"ending_in_hyo_doubled_backslash", 932, "C:\\Data\x95\x5C\\\\", "C:\\Data\x95\x5C",
                 "C:\\Data\x95\x5C\\v71\\runtime\\win32", "C:\\Data\x95\x5C\\v71"},
        RootCase{"hyo_in_the_middle", 932, "C:\\\x95\x5CKit\\", "C:\\\x95\x5CKit",
                 "C:\\\x95\x5CKit\\v71\\runtime\\win32", "C:\\\x95\x5CKit\\v71"},
        RootCase{"ascii", 932, "C:\\Apps\\Kit\\", "C:\\Apps\\Kit", "C:\\Apps\\Kit\\v71\\runtime\\win32",
                 "C:\\Apps\\Kit\\v71"},
        // In a single-byte code page the same bytes are two characters, the
        // second a backslash.
        RootCase{"single_byte_backslash_pair", 1252, "C:\\Data\x95\x5C\\", "C:\\Data\x95",
                 "C:\\Data\x95\\v71\\runtime\\win32", "C:\\Data\x95\\v71"},
        // A drive's root keeps its backslash: C: alone names the drive's
        // current folder.
        RootCase{"drive_root", 1252, "C:\\", "C:\\", "C:\\v71\\runtime\\win32", "C:\\v71"},
        RootCase{"drive_root_932", 932, "D:\\", "D:\\", "D:\\v71\\runtime\\win32", "D:\\v71"}),
    [](const ::testing::TestParamInfo<RootCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace krt_test
