// Install roots of every awkward shape, through the installer driver as a
// separate process: Install and Commit in one run, Uninstall in a second. A
// root is either refused with a message, or the runtime goes into its version
// folder and its library folder onto the Path, and Uninstall takes both away
// again. Nothing else in the scratch tree or on the Path may change.
#include "ActionTest.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const int kUserExitStatus = 1602 & 0xFF;  // as an exit status
const std::string kNotAbsolute = "error: Aborting installation - the TARGETDIR property is not an absolute folder path";
const std::string kNotFound = "error: Invalid Windows installer database - TARGETDIR property not found.";
const std::string kNoSpawn = "error: Aborting installation - could not spawn unzip process.";
// A share that no host has: the stand-in maps only drive paths, so its path
// would name a folder at the top of the host's own file system.
const std::string kUncServer = "krtsweepsrv";

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Every folder and file under dir, with a file's size and a hash of its bytes.
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
    std::map<std::string, std::string> entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
        const std::string relative = fs::relative(entry.path(), dir).string();
        if (entry.is_directory()) {
            entries[relative] = "folder";
        } else {
            const std::string bytes = Slurp(entry.path());
            entries[relative] = std::to_string(bytes.size()) + ":" + std::to_string(std::hash<std::string>()(bytes));
        }
    }
    return entries;
}

// The entries that differ between two snapshots.
std::vector<std::string> Changed(const std::map<std::string, std::string>& before,
                                 const std::map<std::string, std::string>& after) {
    std::vector<std::string> changed;
    for (const auto& entry : before) {
        auto it = after.find(entry.first);
        if (it == after.end() || it->second != entry.second) changed.push_back(entry.first);
    }
    for (const auto& entry : after)
        if (!before.count(entry.first)) changed.push_back(entry.first);
    return changed;
}

// folder\name, with one backslash between them also when folder is a drive's
// root (C:\).
std::string Join(const std::string& folder, const std::string& name) {
    return folder + (folder.back() == '\\' ? "" : "\\") + name;
}

bool Within(const std::string& path, const std::string& folder) {
    return path == folder || path.compare(0, folder.size() + 1, folder + "/") == 0;
}

struct Outcome {
    int status = -1;  // exit status; -1 when the driver did not exit normally
    std::string err;
};

// One phase's expectation: the exit status and, when it refuses, the start of
// its error line.
struct Expect {
    int status;
    std::string error;
};
const Expect kInstalls{0, ""};
Expect Refused(const std::string& error) { return Expect{kUserExitStatus, error}; }

struct Row {
    const char* name;
    std::string targetDir;
    Expect installCommit;
    Expect uninstall;
    // The install root the runtime goes under when accepted ("" when refused):
    // TARGETDIR without its final backslashes (a drive's root keeps one).
    std::string installRoot;
    // TARGETDIR for Uninstall, when it differs from the one installed with.
    std::string uninstallTargetDir = "";
};

class BadRootTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "krt-sweep-roots-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_uncExisted = fs::exists("/" + kUncServer);
    }
    void TearDown() override {
        hostwin::reset();
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
        if (!m_uncExisted) fs::remove_all("/" + kUncServer, ignored);
    }

    // What the actions may touch lies under tree: the drive the stand-in maps
    // drive paths into, and the folder the driver runs in.
    fs::path tree() const { return m_dir / "tree"; }
    fs::path drive() const { return tree() / "drive"; }
    fs::path cwd() const { return tree() / "cwd"; }
    fs::path registryFile() const { return m_dir / "registry.json"; }
    std::string hostPath(const std::string& windowsPath) const {
        hostwin::set_root(drive().string());
        return hostwin::host_path(windowsPath);
    }

    // A scratch drive with the payload where the package would have put it for
    // this TARGETDIR (also for roots that must be refused, so that a root taken
    // wrongly shows up as files laid down), and the default machine registry.
    void prepare(const Row& row) {
        std::error_code ignored;
        fs::remove_all(drive(), ignored);
        fs::remove_all(cwd(), ignored);
        fs::create_directories(drive());
        fs::create_directories(cwd());
        std::string root = row.targetDir;
        while (!root.empty() && root.back() == '\\' && root != root.substr(0, 2) + "\\") root.pop_back();
        fs::path payloadAt;
        if (root.size() >= 2 && root[1] == ':')
            payloadAt = hostPath(root);
        else if (!root.empty() && root[0] != '\\')
            payloadAt = cwd() / root;  // a relative root, seen from the driver's folder
        if (!payloadAt.empty()) {
            fs::create_directories(payloadAt);
            fs::copy(KRT_PAYLOAD_DIR, payloadAt, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        }
        hostwin::reg_clear();
        hostwin::reg_set_default_machine();
        std::ofstream(registryFile(), std::ios::binary) << hostwin::registry_to_json();
    }

    std::string snapshotPath() {
        std::string error;
        EXPECT_TRUE(hostwin::registry_from_json(Slurp(registryFile()), &error)) << error;
        hostwin::RegValue value;
        if (!hostwin::reg_get(hostwin::kEnvironmentKey, "Path", &value)) return "<none>";
        return value.data;
    }

    Outcome runDriver(const std::string& targetDir, const std::vector<std::string>& actions) {
        std::vector<std::string> args = {KRT_MSIHOST,          "--library", KRT_ACTIONS_LIBRARY,
                                         "--root",             drive().string(),
                                         "--registry",         registryFile().string(),
                                         "--property",         "TARGETDIR=" + targetDir};
        args.insert(args.end(), actions.begin(), actions.end());
        const fs::path errPath = m_dir / "stderr.txt";
        const pid_t pid = fork();
        if (pid == 0) {
            std::vector<char*> argv;
            for (std::string& arg : args) argv.push_back(&arg[0]);
            argv.push_back(nullptr);
            const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int out = open("/dev/null", O_WRONLY);
            if (err < 0 || out < 0 || dup2(err, 2) < 0 || dup2(out, 1) < 0 || chdir(cwd().c_str()) != 0) _exit(126);
            unsetenv("HOSTWIN_ROOT");
            unsetenv("HOSTWIN_FAIL");
            execv(args[0].c_str(), argv.data());
            _exit(127);
        }
        Outcome outcome;
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
        outcome.err = Slurp(errPath);
        return outcome;
    }

    static void expectOutcome(const Outcome& outcome, const Expect& expect) {
        EXPECT_EQ(outcome.status, expect.status) << outcome.err;
        if (expect.error.empty())
            EXPECT_EQ(outcome.err.find("error: "), std::string::npos) << outcome.err;
        else
            EXPECT_NE(outcome.err.find(expect.error), std::string::npos) << outcome.err;
    }

    // Every change under the scratch tree lies in the version folder (and there
    // is none when the root was refused).
    void expectOnlyVersionFolderChanged(const std::map<std::string, std::string>& before,
                                        const std::map<std::string, std::string>& after, const Row& row) {
        const std::string versionFolder =
            row.installRoot.empty() ? std::string()
                                    : fs::relative(hostPath(Join(row.installRoot, "v71")), tree()).string();
        for (const std::string& path : Changed(before, after))
            EXPECT_TRUE(!versionFolder.empty() && Within(path, versionFolder)) << "changed: " << path;
    }

    // Install and Commit, then Uninstall, for one row; checks the outcomes and
    // that nothing but the version folder and the Path entry changed.
    void checkRow(const Row& row) {
        SCOPED_TRACE(row.name);
        prepare(row);
        const std::map<std::string, std::string> initial = Snapshot(tree());
        const std::string pathBefore = snapshotPath();
        const std::string entry = Join(row.installRoot, "v71\\runtime\\win32");

        const Outcome installed = runDriver(row.targetDir, {"Install", "Commit"});
        expectOutcome(installed, row.installCommit);
        expectOnlyVersionFolderChanged(initial, Snapshot(tree()), row);
        if (row.installCommit.status == 0) {
            EXPECT_TRUE(fs::exists(hostPath(entry) + "/zqcommgr.dll"));
            EXPECT_EQ(snapshotPath(), pathBefore.substr(0, pathBefore.size() - 1) + ";" + entry + '\0');
        } else {
            EXPECT_EQ(snapshotPath(), pathBefore);
        }

        // Uninstall takes away what Commit laid down, and only that.
        const std::string uninstallTargetDir = row.uninstallTargetDir.empty() ? row.targetDir : row.uninstallTargetDir;
        const Outcome uninstalled = runDriver(uninstallTargetDir, {"Uninstall"});
        expectOutcome(uninstalled, row.uninstall);
        const std::vector<std::string> left = Changed(initial, Snapshot(tree()));
        EXPECT_TRUE(left.empty()) << ::testing::PrintToString(left);
        EXPECT_EQ(snapshotPath(), pathBefore);
    }

    krt_test::SavedVariable m_savedRoot{"HOSTWIN_ROOT"};
    fs::path m_dir;
    bool m_uncExisted = false;
};

TEST_F(BadRootTest, EveryRootIsRefusedOrInstalledInItsVersionFolderOnly) {
    // 521 characters with the final backslash: the longest value the actions read.
    std::string longest = "C:\\";
    for (int i = 0; i < 5; ++i) longest += std::string(99, 'a') + "\\";
    longest += std::string(17, 'b') + "\\";
    ASSERT_EQ(longest.size(), 521u);
    const std::string tooLong = longest.substr(0, 520) + "b\\";
    const std::string unc = "\\\\" + kUncServer + "\\share\\Kit\\";

    const Row rows[] = {
        {"backslash", "\\", Refused(kNotAbsolute), Refused(kNotAbsolute), ""},
        {"drive root", "C:\\", kInstalls, kInstalls, "C:\\"},
        {"bare drive", "C:", Refused(kNotAbsolute), Refused(kNotAbsolute), ""},
        {"relative", "Kit\\", Refused(kNotAbsolute), Refused(kNotAbsolute), ""},
        // The payload program cannot be found on a share the stand-in cannot
        // reach; Uninstall finds nothing to delete and no entry to cut.
        {"UNC", unc, Refused(kNoSpawn), kInstalls, ""},
        {"spaces", "C:\\Program Files\\K R T\\", kInstalls, kInstalls, "C:\\Program Files\\K R T"},
        {"8-bit", "C:\\Apps\\K\xE9t\\", kInstalls, kInstalls, "C:\\Apps\\K\xE9t"},
        {"521 characters", longest, kInstalls, kInstalls, longest.substr(0, 520)},
        {"522 characters", tooLong, Refused(kNotFound), Refused(kNotFound), ""},
    };
    for (const Row& row : rows) checkRow(row);
    EXPECT_FALSE(!m_uncExisted && fs::exists("/" + kUncServer)) << "a file was written outside the scratch drive";
}

// A root typed with a second final backslash names the same folder as with one,
// so the Path entry must be the same text too: a later removal with the root
// spelled the usual way has to find it.
TEST_F(BadRootTest, DoubledFinalBackslashNamesTheSameRoot) {
    const std::string doubled = "C:\\Apps\\Kit\\\\";
    checkRow({"doubled, removed with the same root", doubled, kInstalls, kInstalls, "C:\\Apps\\Kit"});
    checkRow({"doubled, removed with one backslash", doubled, kInstalls, kInstalls, "C:\\Apps\\Kit",
              "C:\\Apps\\Kit\\"});
}

}  // namespace
