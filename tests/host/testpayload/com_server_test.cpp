// The test COM servers loaded the way the custom actions load them: by a
// Windows path through LoadLibraryA, entries found with GetProcAddress.

#include "payload_fixture.h"

namespace {

const char* const kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\KRTKit\\TestComServers";
const char* const kServers[] = {"zqcommgr.dll", "zqcomutil.dll"};

typedef HRESULT (*Entry)();

class ComServerTest : public ScratchRoot {
protected:
    void TearDown() override {
        for (HMODULE m : loaded_) FreeLibrary(m);
        ScratchRoot::TearDown();
    }
    // Puts a server into C:\Kit\v71\runtime\win32 and returns its Windows path.
    std::string place(const std::string& name) {
        fs::path folder = root_ / "C/Kit/v71/runtime/win32";
        fs::create_directories(folder);
        fs::copy_file(fs::path(KRT_PAYLOAD_DIR) / "files" / name, folder / name);
        return "C:\\Kit\\v71\\runtime\\win32\\" + name;
    }
    void order(const std::string& name, const std::string& result) {
        write_file(root_ / "C/Kit/v71/runtime/win32" / (name + ".cfg"), result);
    }
    Entry entry(const std::string& path, const char* name) {
        HMODULE module = LoadLibraryA(path.c_str());
        if (!module) return nullptr;
        loaded_.push_back(module);
        return reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }
    static bool registered(const std::string& name, std::string* data = nullptr) {
        hostwin::RegValue value;
        if (!hostwin::reg_get(kKey, name, &value)) return false;
        EXPECT_EQ(value.type, (DWORD)REG_SZ);
        if (data) *data = value.data;
        return true;
    }

    std::vector<HMODULE> loaded_;
};

TEST_F(ComServerTest, RegisterRecordsItsFullPathAndUnregisterRemovesIt) {
    for (const char* name : kServers) {
        SCOPED_TRACE(name);
        std::string path = place(name);
        Entry reg = entry(path, "DllRegisterServer");
        Entry unreg = entry(path, "DllUnregisterServer");
        ASSERT_NE(reg, nullptr);
        ASSERT_NE(unreg, nullptr);

        EXPECT_EQ(reg(), S_OK);
        std::string data;
        ASSERT_TRUE(registered(name, &data));
        EXPECT_EQ(data, path + std::string(1, '\0'));

        EXPECT_EQ(unreg(), S_OK);
        EXPECT_FALSE(registered(name));
        EXPECT_EQ(unreg(), S_OK) << "unregistering twice";
    }
    EXPECT_EQ(hostwin::open_key_count(), 0);
}

TEST_F(ComServerTest, OrderFileSetsTheResultOfEachCall) {
    std::string util = place("zqcomutil.dll");
    std::string mgr = place("zqcommgr.dll");
    Entry reg = entry(util, "DllRegisterServer");
    Entry unreg = entry(util, "DllUnregisterServer");
    ASSERT_NE(reg, nullptr);

    order("zqcomutil.dll", "0x80004005\n");
    EXPECT_EQ(reg(), E_FAIL);
    EXPECT_FALSE(registered("zqcomutil.dll"));
    ASSERT_EQ(entry(mgr, "DllRegisterServer")(), S_OK) << "the other server has no order file";

    order("zqcomutil.dll", "1\n");
    EXPECT_EQ(reg(), S_FALSE);
    EXPECT_TRUE(registered("zqcomutil.dll"));

    // A failing unregistration leaves the registration in place.
    order("zqcomutil.dll", "0x8007000E");
    EXPECT_EQ(unreg(), (HRESULT)0x8007000E);
    EXPECT_TRUE(registered("zqcomutil.dll"));
    EXPECT_TRUE(registered("zqcommgr.dll"));
}

}  // namespace
