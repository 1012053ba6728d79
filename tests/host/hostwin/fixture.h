// Shared fixture of the stand-in's tests: a fresh platform state and a private
// drive root per test, and helpers to run the probe program.
#pragma once

#include <hostwin/control.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace hwtest {

namespace fs = std::filesystem;

class HostwinTest : public ::testing::Test {
protected:
    void SetUp() override {
        hostwin::reset();
        char pattern[] = "/tmp/hostwin-test-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        ASSERT_NE(made, nullptr);
        root_ = made;
        const char* path = std::getenv("PATH");
        savedPath_ = path ? path : "";
        hostwin::set_root(root_);
    }

    void TearDown() override {
        hostwin::reset();
        ::setenv("PATH", savedPath_.c_str(), 1);
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // Writes a file, creating its folders.
    static void write_file(const std::string& hostPath, const std::string& content) {
        fs::create_directories(fs::path(hostPath).parent_path());
        std::ofstream(hostPath, std::ios::binary) << content;
    }

    // Everything readable from a pipe's read end until its end.
    static std::string read_all(HANDLE readEnd) {
        std::string out;
        char buf[256];
        DWORD got = 0;
        while (ReadFile(readEnd, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
        return out;
    }

    // Starts the probe with the given steps, its stdout and stderr on a pipe.
    // Returns what it printed; *exitCode gets its exit code.
    static std::string run_probe(const std::string& steps, BOOL inheritHandles = TRUE, DWORD* exitCode = nullptr) {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE r = nullptr, w = nullptr;
        EXPECT_TRUE(CreatePipe(&r, &w, &sa, 0));
        std::string line = std::string("\"") + HW_PROBE + "\" " + steps;
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError = w;
        PROCESS_INFORMATION pi{};
        BOOL started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, inheritHandles, DETACHED_PROCESS,
                                      nullptr, nullptr, &si, &pi);
        EXPECT_TRUE(started) << line << " error " << GetLastError();
        CloseHandle(w);
        std::string out = started ? read_all(r) : std::string();
        CloseHandle(r);
        if (started) {
            EXPECT_EQ(WaitForSingleObject(pi.hProcess, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
            DWORD code = 0;
            GetExitCodeProcess(pi.hProcess, &code);
            if (exitCode) *exitCode = code;
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
        return out;
    }

    std::string root_;
    std::string savedPath_;
};

}  // namespace hwtest
