// Fixture for Commit and Uninstall: the test payload folder installed under an
// install root of the scratch drive, as a package would have put it there.
#pragma once

#include "ActionTest.h"

#include <fstream>

namespace krt_test {

const char* const kComServersKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\KRTKit\\TestComServers";

class PayloadTest : public ActionTest {
protected:
    // Copies the payload folder into the install root (a Windows path ending in
    // a backslash) and sets TARGETDIR to it.
    void installPayload(const std::string& targetDir = "C:\\Apps\\Kit\\") {
        m_targetDir = targetDir;
        setTargetDir(targetDir);
        fs::create_directories(hostRoot());
        fs::copy(KRT_PAYLOAD_DIR, hostRoot(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    }
    // Orders for the payload program, one per line.
    void payloadOrders(const std::string& orders) { std::ofstream(hostRoot() / "_KRTInstaller.cfg") << orders; }

    fs::path hostRoot() const { return hostwin::host_path(m_targetDir); }
    fs::path runtimeFolder() const { return hostRoot() / "v71" / "runtime" / "win32"; }
    std::string folderEntry() const { return m_targetDir + "v71\\runtime\\win32"; }

    static bool comServerRegistered(const std::string& file) {
        hostwin::RegValue value;
        return hostwin::reg_get(kComServersKey, file, &value);
    }
    static int increments() {
        int count = 0;
        for (const std::vector<int>& record : progress()) count += record == std::vector<int>{2, 1, 0};
        return count;
    }

    // Install then Commit, as the installer runs them in one process.
    UINT installAndCommit() {
        const UINT installed = Install(session());
        if (installed != 0) return installed;
        return Commit(session());
    }

private:
    std::string m_targetDir;
};

}  // namespace krt_test
