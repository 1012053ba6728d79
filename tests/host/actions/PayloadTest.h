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
    // Commit's progress so far: one reset record, then only increments (2, N, 0).
    static bool oneResetThenIncrements() {
        const std::vector<std::vector<int>> records = progress();
        if (records.empty() || records[0] != std::vector<int>{0, 8800, 0}) return false;
        for (std::size_t i = 1; i < records.size(); ++i)
            if (records[i][0] != 2 || records[i][1] < 0 || records[i][2] != 0) return false;
        return true;
    }
    // The ticks of each increment record, in order.
    static std::vector<int> incrementTicks() {
        std::vector<int> ticks;
        for (const std::vector<int>& record : progress())
            if (record[0] == 2) ticks.push_back(record[1]);
        return ticks;
    }
    static int increments() { return int(incrementTicks().size()); }
    static int ticksSent() {
        int sum = 0;
        for (int n : incrementTicks()) sum += n;
        return sum;
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
