// Paths, files, the shell's delete, the broadcast, and library loading.
#include "fixture.h"

#include <unistd.h>

namespace hwtest {
namespace {

class FilesTest : public HostwinTest {};

TEST_F(FilesTest, DrivePathsMapUnderTheRoot) {
    EXPECT_EQ(hostwin::root(), root_);
    EXPECT_EQ(hostwin::host_path("C:\\Apps\\Kit\\v71"), root_ + "/C/Apps/Kit/v71");
    EXPECT_EQ(hostwin::host_path("d:/x\\y"), root_ + "/D/x/y");
    EXPECT_EQ(hostwin::host_path("C:\\"), root_ + "/C");
    // A drive without a separator after its colon is its current folder.
    EXPECT_EQ(hostwin::host_path("C:"), root_ + "/C/Windows/System32");
    EXPECT_EQ(hostwin::host_path("C:v71"), root_ + "/C/Windows/System32/v71");
    // Only backslash characters separate: in code page 932 \x95\x5C is one.
    hostwin::set_ansi_code_page(932);
    EXPECT_EQ(hostwin::host_path("C:\\Data\x95\x5C\\v71"), root_ + "/C/Data\x95\x5C/v71");
    EXPECT_EQ(hostwin::host_path("C:\\Data\x95"), root_ + "/C/Data\x95");
    hostwin::set_ansi_code_page(1252);
    EXPECT_EQ(hostwin::host_path("C:\\Data\x95\x5C\\v71"), root_ + "/C/Data\x95//v71");
    EXPECT_EQ(hostwin::host_path("v71\\runtime"), "v71\\runtime");
    EXPECT_EQ(hostwin::host_path("/usr/bin"), "/usr/bin");
    ::unsetenv("HOSTWIN_ROOT");
    EXPECT_EQ(hostwin::host_path("C:\\a"), "./sim/C/a");
}

TEST_F(FilesTest, ShellDeleteRemovesFoldersRecursivelyUnlessFilesOnly) {
    auto tree = [&](const std::string& top) {
        write_file(top + "/runtime/win32/zqcommgr.dll", "x");
        write_file(top + "/readme.txt", "y");
    };
    auto remove = [](const char* list, FILEOP_FLAGS flags) {
        SHFILEOPSTRUCTA op{};
        op.wFunc = FO_DELETE;
        op.pFrom = list;
        op.fFlags = flags;
        return SHFileOperationA(&op);
    };
    const FILEOP_FLAGS quiet = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;

    tree(root_ + "/C/Kit/v71");
    write_file(root_ + "/C/Kit/keep.txt", "z");
    EXPECT_EQ(remove("C:\\Kit\\v71\0", quiet), 0);
    EXPECT_FALSE(fs::exists(root_ + "/C/Kit/v71"));
    EXPECT_TRUE(fs::exists(root_ + "/C/Kit/keep.txt"));

    EXPECT_EQ(remove("C:\\Kit\\v71\0", quiet), 2) << "missing";

    // FOF_FILESONLY passes over a folder and still reports success.
    tree(root_ + "/C/Kit/v71");
    EXPECT_EQ(remove("C:\\Kit\\v71\0", 0xFFBF), 0);
    EXPECT_TRUE(fs::exists(root_ + "/C/Kit/v71/runtime/win32/zqcommgr.dll"));
    EXPECT_EQ(remove("C:\\Kit\\keep.txt\0", 0xFFBF), 0) << "a file is still deleted";
    EXPECT_FALSE(fs::exists(root_ + "/C/Kit/keep.txt"));

    // A list of two entries.
    write_file(root_ + "/C/a.txt", "1");
    EXPECT_EQ(remove("C:\\a.txt\0C:\\Kit\0", quiet), 0);
    EXPECT_FALSE(fs::exists(root_ + "/C/a.txt"));
    EXPECT_FALSE(fs::exists(root_ + "/C/Kit"));

    SHFILEOPSTRUCTA copy{};
    copy.wFunc = FO_COPY;
    copy.pFrom = "C:\\x\0";
    EXPECT_NE(SHFileOperationA(&copy), 0);
    EXPECT_EQ(hostwin::calls()[2].detail, "func=3 flags=0xffbf from=C:\\Kit\\v71");
}

TEST_F(FilesTest, AttributesFoldersAndCopies) {
    EXPECT_EQ(GetFileAttributesA("C:\\Kit"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(CreateDirectoryA("C:\\", nullptr) || GetLastError() == ERROR_PATH_NOT_FOUND);
    fs::create_directories(root_ + "/C");
    ASSERT_TRUE(CreateDirectoryA("C:\\Kit", nullptr));
    EXPECT_FALSE(CreateDirectoryA("C:\\Kit", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(GetFileAttributesA("C:\\Kit"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));

    ASSERT_TRUE(CopyFileA(HW_PROBE, "C:\\Kit\\probe.exe", TRUE));
    EXPECT_EQ(GetFileAttributesA("C:\\Kit\\probe.exe"), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(::access((root_ + "/C/Kit/probe.exe").c_str(), X_OK), 0) << "a copied program stays runnable";
    EXPECT_FALSE(CopyFileA(HW_PROBE, "C:\\Kit\\probe.exe", TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_TRUE(CopyFileA(HW_PROBE, "C:\\Kit\\probe.exe", FALSE));
}

TEST_F(FilesTest, BroadcastIsLoggedAndAnswered) {
    DWORD_PTR status = 99;
    EXPECT_EQ(SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>("Environment"),
                                  SMTO_ABORTIFHUNG, 5000, &status),
              1);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>("Environment"),
                                  SMTO_ABORTIFHUNG, 5000, nullptr),
              1);
    ASSERT_EQ(hostwin::calls().size(), 2u);
    EXPECT_EQ(hostwin::calls()[0].detail,
              "window=0xffff message=0x1a wParam=0 lParam=Environment flags=0x2 timeout=5000 result=given");
    EXPECT_EQ(hostwin::calls()[1].detail,
              "window=0xffff message=0x1a wParam=0 lParam=Environment flags=0x2 timeout=5000 result=none");
}

class ModulesTest : public HostwinTest {
protected:
    void SetUp() override {
        HostwinTest::SetUp();
        ::unsetenv("HW_DLLMAIN_LOG");
        ::unsetenv("HW_DLLMAIN_REFUSE");
        write_file(root_ + "/C/Kit/zqcommgr.dll", "");
        fs::copy_file(HW_MODULE, root_ + "/C/Kit/zqcommgr.dll", fs::copy_options::overwrite_existing);
    }
    void TearDown() override {
        HostwinTest::TearDown();
        ::unsetenv("HW_DLLMAIN_LOG");
        ::unsetenv("HW_DLLMAIN_REFUSE");
    }
    static std::string dllmain_log() {
        const char* v = std::getenv("HW_DLLMAIN_LOG");
        return v ? v : "";
    }
    static std::string entry(const char* what, HMODULE m) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%s:%p;", what, static_cast<void*>(m));
        return buf;
    }
};

TEST_F(ModulesTest, DllMainRunsOnFirstLoadAndLastUnload) {
    HMODULE a = LoadLibraryA("C:\\Kit\\zqcommgr.dll");
    ASSERT_NE(a, nullptr) << hostwin::calls().back().detail;
    HMODULE b = LoadLibraryA("C:\\Kit\\zqcommgr.dll");
    EXPECT_EQ(a, b);
    EXPECT_EQ(dllmain_log(), entry("attach", a));

    ASSERT_TRUE(FreeLibrary(b));
    EXPECT_EQ(dllmain_log(), entry("attach", a));
    char name[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameA(a, name, sizeof name), 19u);
    EXPECT_STREQ(name, "C:\\Kit\\zqcommgr.dll");
    ASSERT_TRUE(FreeLibrary(a));
    EXPECT_EQ(dllmain_log(), entry("attach", a) + entry("detach", a));
    EXPECT_FALSE(FreeLibrary(a));

    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(fs::path(self), fs::canonical("/proc/self/exe"));
}

TEST_F(ModulesTest, ProcAddressFindsOnlyTheLibrarysOwnExports) {
    HMODULE m = LoadLibraryA("C:\\Kit\\zqcommgr.dll");
    ASSERT_NE(m, nullptr);
    auto reg = reinterpret_cast<HRESULT (*)()>(reinterpret_cast<void*>(GetProcAddress(m, "DllRegisterServer")));
    ASSERT_NE(reg, nullptr);
    EXPECT_EQ(reg(), S_OK);
    // Defined by a library it depends on, not by itself.
    EXPECT_EQ(GetProcAddress(m, "MsiCloseHandle"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetProcAddress(m, "DllUnregisterServer"), nullptr);
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_EQ(GetProcAddress(m, "DllRegisterServer"), nullptr);
}

TEST_F(ModulesTest, FailedLoads) {
    EXPECT_EQ(LoadLibraryA("C:\\Kit\\zqcomutil.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    write_file(root_ + "/C/Kit/junk.dll", "not a library");
    EXPECT_EQ(LoadLibraryA("C:\\Kit\\junk.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    // A DllMain that refuses to attach fails the load; it is told to detach.
    ::setenv("HW_DLLMAIN_REFUSE", "1", 1);
    EXPECT_EQ(LoadLibraryA("C:\\Kit\\zqcommgr.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
    EXPECT_NE(dllmain_log().find("attach:"), std::string::npos);
    EXPECT_NE(dllmain_log().find("detach:"), std::string::npos);

    // Without a DllMain a library loads all the same.
    HMODULE plain = LoadLibraryA(HW_MODULE_PLAIN);
    ASSERT_NE(plain, nullptr);
    EXPECT_NE(GetProcAddress(plain, "DllRegisterServer"), nullptr);
    EXPECT_TRUE(FreeLibrary(plain));
}

TEST_F(ModulesTest, ResetUnloadsWhatIsStillLoaded) {
    HMODULE m = LoadLibraryA("C:\\Kit\\zqcommgr.dll");
    ASSERT_NE(m, nullptr);
    hostwin::reset();
    EXPECT_EQ(dllmain_log(), entry("attach", m) + entry("detach", m));
}

}  // namespace
}  // namespace hwtest
