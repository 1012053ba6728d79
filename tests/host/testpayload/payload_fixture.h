// A scratch install world for one test: a fresh HOSTWIN_ROOT under /tmp and a
// copy of the build's payload folder inside it, removed again afterwards.
#pragma once

#include <hostwin/control.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

class ScratchRoot : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/krt-testpayload-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        scratch_ = pattern;
        root_ = scratch_ / "root";
        fs::create_directories(root_ / "C");
        hostwin::set_root(root_.string());
        hostwin::reset();
    }
    void TearDown() override {
        hostwin::reset();
        std::error_code ignored;
        fs::remove_all(scratch_, ignored);
    }

    // Copies the payload folder, as a package would install it, to C:\Pkg.
    fs::path install_payload() {
        fs::path to = root_ / "C" / "Pkg";
        fs::copy(KRT_PAYLOAD_DIR, to, fs::copy_options::recursive);
        return to;
    }

    static std::string read_file(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void write_file(const fs::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }

    fs::path scratch_;
    fs::path root_;
};
