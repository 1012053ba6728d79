// COM server registration with the real test servers, loaded by full path.
#include "ComServerRegistration.h"
#include "PayloadTest.h"

namespace krt_test {
namespace {

const std::string kMsg = "Aborting installation - Could not register COM servers.";

class ComServerTest : public PayloadTest {
protected:
    void SetUp() override {
        PayloadTest::SetUp();
        installPayload();
        fs::create_directories(runtimeFolder());
        for (const char* file : {"zqcommgr.dll", "zqcomutil.dll", "libkvlkrtrt71.so"})
            fs::copy_file(hostRoot() / "files" / file, runtimeFolder() / file);
    }
    void serverResult(const char* file, const char* result) {
        std::ofstream(runtimeFolder() / (std::string(file) + ".cfg")) << result << "\n";
    }
    std::string libraryPath(const char* file) const { return folderEntry() + "\\" + file; }
    int loads() const { return callCount("LoadLibraryA"); }
};

TEST_F(ComServerTest, RegistersBothServersInOrder) {
    EXPECT_EQ(krt::RegisterRuntimeComServers(session(), "C:\\Apps\\Kit"), 0u);
    EXPECT_TRUE(errors().empty());
    hostwin::RegValue value;
    ASSERT_TRUE(hostwin::reg_get(kComServersKey, "zqcommgr.dll", &value));
    EXPECT_EQ(value.data, libraryPath("zqcommgr.dll") + '\0');
    EXPECT_TRUE(comServerRegistered("zqcomutil.dll"));
    std::vector<std::string> loaded;
    for (const hostwin::Call& call : hostwin::calls())
        if (call.function == "LoadLibraryA") loaded.push_back(call.detail);
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_NE(loaded[0].find("zqcommgr.dll"), std::string::npos);
    EXPECT_NE(loaded[1].find("zqcomutil.dll"), std::string::npos);
}

TEST_F(ComServerTest, MissingFirstServerStopsBeforeTheSecond) {
    fs::remove(runtimeFolder() / "zqcommgr.dll");
    EXPECT_EQ(krt::RegisterRuntimeComServers(session(), "C:\\Apps\\Kit"), 1602u);
    EXPECT_EQ(errors(), std::vector<std::string>{kMsg});
    EXPECT_EQ(loads(), 1);
    EXPECT_FALSE(comServerRegistered("zqcomutil.dll"));
}

TEST_F(ComServerTest, SecondFailingLeavesTheFirstRegistered) {
    serverResult("zqcomutil.dll", "0x80004005");
    EXPECT_EQ(krt::RegisterRuntimeComServers(session(), "C:\\Apps\\Kit"), 1602u);
    EXPECT_EQ(errors(), std::vector<std::string>{kMsg});
    EXPECT_TRUE(comServerRegistered("zqcommgr.dll"));
    EXPECT_FALSE(comServerRegistered("zqcomutil.dll"));
}

TEST_F(ComServerTest, ResultsOfTheEntry) {
    const struct {
        const char* result;
        bool ok;
    } cases[] = {{"0", true}, {"1", true}, {"0x7FFFFFFF", true}, {"0x80004005", false}, {"-1", false}};
    for (const auto& c : cases) {
        serverResult("zqcommgr.dll", c.result);
        EXPECT_EQ(krt::RegisterComServer(libraryPath("zqcommgr.dll").c_str(), true), c.ok) << c.result;
    }
}

TEST_F(ComServerTest, EntryMissingOrUnloadFailingGivesFalse) {
    // A library without the entry is loaded, then unloaded again.
    hostwin::clear_calls();
    EXPECT_FALSE(krt::RegisterComServer(libraryPath("libkvlkrtrt71.so").c_str(), true));
    EXPECT_EQ(callCount("FreeLibrary"), 1);

    // The entry ran, the library did not unload: false, and the registration stays.
    hostwin::fail("FreeLibrary");
    EXPECT_FALSE(krt::RegisterComServer(libraryPath("zqcommgr.dll").c_str(), true));
    EXPECT_TRUE(comServerRegistered("zqcommgr.dll"));
    hostwin::clear_faults();
}

TEST_F(ComServerTest, DirectionFalseUnregisters) {
    ASSERT_TRUE(krt::RegisterComServer(libraryPath("zqcommgr.dll").c_str(), true));
    ASSERT_TRUE(comServerRegistered("zqcommgr.dll"));
    EXPECT_TRUE(krt::RegisterComServer(libraryPath("zqcommgr.dll").c_str(), false));
    EXPECT_FALSE(comServerRegistered("zqcommgr.dll"));
    EXPECT_FALSE(krt::RegisterComServer(libraryPath("missing.dll").c_str(), false));
}

}  // namespace
}  // namespace krt_test
