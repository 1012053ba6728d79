// Uninstall: the version folder deleted, the search path entry taken off.
#include "PayloadTest.h"

namespace krt_test {
namespace {

const std::string kNotFound = "Invalid Windows installer database - TARGETDIR property not found.";
const std::string kDeleteFailed = "Could not delete the KRT files";

class UninstallTest : public PayloadTest {
protected:
    // A runtime laid down under root as Commit leaves it, and its entry on the Path.
    void laidDown(const std::string& targetDir) {
        installPayload(targetDir);
        fs::create_directories(runtimeFolder());
        std::ofstream(runtimeFolder() / "zqcommgr.dll") << "x";
        setMachinePath("C:\\Before;" + folderEntry() + ";C:\\After");
    }
    // Shell deletes made so far.
    static int deletes() { return callCount("SHFileOperationA"); }
};

TEST_F(UninstallTest, DeletesTheVersionFolderAndCutsItsEntryForEitherRootForm) {
    for (const std::string root : {"C:\\Apps\\Kit\\", "C:\\Apps\\Kit"}) {
        SCOPED_TRACE(root);
        laidDown("C:\\Apps\\Kit\\");
        fs::create_directories(hostRoot().parent_path() / "Kitv71");  // somebody else's folder
        setTargetDir(root);
        EXPECT_EQ(Uninstall(session()), 0u) << ::testing::PrintToString(errors());
        EXPECT_FALSE(fs::exists(hostRoot() / "v71"));
        EXPECT_TRUE(fs::exists(hostRoot() / "_KRTInstaller.exe"));
        EXPECT_TRUE(fs::exists(hostRoot().parent_path() / "Kitv71"));
        EXPECT_EQ(machinePath(), "C:\\Before;C:\\After");
    }
    EXPECT_TRUE(errors().empty());
}

TEST_F(UninstallTest, RefusesARootItCannotUse) {
    const struct {
        std::string targetDir, message;
    } cases[] = {
        {"", kNotFound},
        {"C:\\" + std::string(519, 'k'), kNotFound},
        {"Kit\\", "Aborting installation - the TARGETDIR property is not an absolute folder path: \"Kit\\\"."},
    };
    laidDown("C:\\Apps\\Kit\\");
    fs::create_directories(root() / "v71");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.targetDir);
        hostwin::clear_messages();
        setTargetDir(c.targetDir);
        EXPECT_EQ(Uninstall(session()), 1602u);
        EXPECT_EQ(errors(), std::vector<std::string>{c.message});
    }
    EXPECT_EQ(deletes(), 0);
    EXPECT_TRUE(fs::exists(runtimeFolder()));
    EXPECT_TRUE(fs::exists(root() / "v71"));
    EXPECT_EQ(machinePath(), "C:\\Before;" + folderEntry() + ";C:\\After");
}

TEST_F(UninstallTest, FailedDeleteLeavesThePathAlone) {
    laidDown("C:\\Apps\\Kit\\");
    hostwin::fail("SHFileOperationA");
    EXPECT_EQ(Uninstall(session()), 1602u);
    EXPECT_EQ(errors(), std::vector<std::string>{kDeleteFailed});
    EXPECT_EQ(callCount("RegOpenKeyExA"), 0);
    EXPECT_EQ(machinePath(), "C:\\Before;" + folderEntry() + ";C:\\After");
}

TEST_F(UninstallTest, DeleteThatLeavesTheFolderIsAFailure) {
    laidDown("C:\\Apps\\Kit\\");
    const fs::path folder = hostRoot() / "v71";
    hostwin::set_call_hook([&](const std::string& function, bool before) {
        if (function == "SHFileOperationA" && !before) fs::create_directories(folder);
    });
    EXPECT_EQ(Uninstall(session()), 1602u);
    hostwin::set_call_hook(nullptr);
    EXPECT_EQ(errors(), std::vector<std::string>{kDeleteFailed});
    EXPECT_EQ(machinePath(), "C:\\Before;" + folderEntry() + ";C:\\After");
}

TEST_F(UninstallTest, AbsentFolderStillCleansThePath) {
    laidDown("C:\\Apps\\Kit\\");
    fs::remove_all(hostRoot() / "v71");
    EXPECT_EQ(Uninstall(session()), 0u);
    EXPECT_EQ(deletes(), 0);
    EXPECT_EQ(machinePath(), "C:\\Before;C:\\After");
    // And a second removal changes nothing and succeeds.
    EXPECT_EQ(Uninstall(session()), 0u);
    EXPECT_EQ(machinePath(), "C:\\Before;C:\\After");
    EXPECT_TRUE(errors().empty());
}

TEST_F(UninstallTest, FailedPathRemovalAfterTheDeleteKeepsTheFolderDeleted) {
    laidDown("C:\\Apps\\Kit\\");
    hostwin::fail("RegSetValueExA");
    EXPECT_EQ(Uninstall(session()), 1602u);
    EXPECT_EQ(errors(), std::vector<std::string>{"Aborting installation - could not update system path.\n"
                                                 "You may not have the required system permissions."});
    EXPECT_FALSE(fs::exists(hostRoot() / "v71"));
    EXPECT_EQ(machinePath(), "C:\\Before;" + folderEntry() + ";C:\\After");
}

// The whole cycle leaves the machine Path byte for byte as it was, and nothing
// of the runtime on disk but the COM registrations.
TEST_F(UninstallTest, InstallCommitUninstallRoundTrip) {
    const std::string E = "C:\\Apps\\Kit\\v71\\runtime\\win32";
    const std::string starts[] = {
        "%SystemRoot%\\system32;%SystemRoot%",
        "",
        "A;;B;",
        "A;" + E + "\\sub;x" + E + ";B",
        "C:\\APPS\\KIT\\v71\\runtime\\win32",
    };
    for (const std::string& start : starts) {
        SCOPED_TRACE(start);
        hostwin::reg_delete_value(kComServersKey, "zqcommgr.dll");
        installPayload();
        setMachinePath(start);
        ASSERT_EQ(installAndCommit(), 0u) << ::testing::PrintToString(errors());
        ASSERT_EQ(Uninstall(session()), 0u) << ::testing::PrintToString(errors());
        EXPECT_EQ(machinePathValue().data, start + '\0');
        EXPECT_FALSE(fs::exists(hostRoot() / "v71"));
        EXPECT_TRUE(comServerRegistered("zqcommgr.dll"));
    }
    EXPECT_TRUE(errors().empty());
}

}  // namespace
}  // namespace krt_test
