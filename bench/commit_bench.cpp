// Commit's progress stage, measured on the host against the test payload:
//   (a) 200,000 short lines read through Commit, as a ratio to the same payload
//       read by a plain pipe reader;
//   (b) the CPU Commit uses while the payload has closed its output and goes on
//       running for 2 s (a busy loop would take a whole core);
//   (c) under the real engine, when Wine and the win64 build are there:
//       bench/real_engine.py, the installation time with a payload of 10,000
//       lines against one of none.
// Prints the figures. Run: build/host/bin/krt_commit_bench [--no-wine]
#include <hostwin/control.h>

#include "Actions.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Scratch {
    fs::path root;
    fs::path installRoot;
    MSIHANDLE session = 0;
};

Scratch Prepare(const std::string& orders) {
    hostwin::reset();
    Scratch s;
    std::string pattern = (fs::temp_directory_path() / "krt-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    s.root = pattern;
    hostwin::set_root(s.root.string());
    hostwin::reg_set_default_machine();
    s.installRoot = hostwin::host_path("C:\\Apps\\Kit");
    fs::create_directories(s.installRoot);
    fs::copy(KRT_PAYLOAD_DIR, s.installRoot, fs::copy_options::recursive);
    std::ofstream(s.installRoot / "_KRTInstaller.cfg") << orders;
    s.session = hostwin::create_session();
    hostwin::set_property(s.session, "TARGETDIR", "C:\\Apps\\Kit\\");
    return s;
}

double TimeCommit(const Scratch& s, double* cpu) {
    if (Install(s.session) != 0) std::abort();
    const double cpuBefore = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const UINT outcome = Commit(s.session);
    const double wall = Seconds(std::chrono::steady_clock::now() - start);
    if (cpu) *cpu = CpuSeconds() - cpuBefore;
    if (outcome != 0) {
        std::fprintf(stderr, "Commit failed\n");
        std::exit(1);
    }
    return wall;
}

double TimePlainReader(const Scratch& s) {
    const std::string command = "cd '" + s.installRoot.string() + "' && ./_KRTInstaller.exe -o -d 'C:\\Apps\\Kit' 2>&1";
    const auto start = std::chrono::steady_clock::now();
    FILE* pipe = popen(command.c_str(), "r");
    char line[512];
    long lines = 0;
    while (std::fgets(line, sizeof line, pipe)) ++lines;
    pclose(pipe);
    return Seconds(std::chrono::steady_clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
    const bool wine = !(argc > 1 && std::string(argv[1]) == "--no-wine");
    const char* savedPath = std::getenv("PATH");
    const std::string path = savedPath ? savedPath : "";

    Scratch lines = Prepare("lines 200000\n");
    const double plain = TimePlainReader(lines);
    double commitCpu = 0;
    const double commit = TimeCommit(lines, &commitCpu);
    int records = 0;
    long ticks = 0;
    for (const hostwin::Message& m : hostwin::messages())
        if (m.type == INSTALLMESSAGE_PROGRESS && m.fields.at(1).integer == 2) {
            ++records;
            ticks += m.fields.at(2).integer;
        }
    std::printf("(a) 200000 lines: Commit %.3f s (%.3f s of CPU, %ld ticks in %d records), plain pipe reader "
                "%.3f s, ratio %.2f (target: at most 1.5)\n",
                commit, commitCpu, ticks, records, plain, commit / plain);
    fs::remove_all(lines.root);
    setenv("PATH", path.c_str(), 1);

    Scratch idle = Prepare("linger 2000\n");
    double cpu = 0;
    const double wall = TimeCommit(idle, &cpu);
    std::printf("(b) payload silent for 2 s after closing its output: Commit used %.3f s of CPU in %.3f s, "
                "%.2f%% of a core (goal: under 2%%)\n",
                cpu, wall, 100.0 * cpu / wall);
    fs::remove_all(idle.root);
    hostwin::reset();
    setenv("PATH", path.c_str(), 1);
    std::fflush(stdout);

    if (wine) {
        const std::string command = "python3 '" KRT_SOURCE_DIR "/bench/real_engine.py'";
        if (std::system(command.c_str()) != 0) std::printf("(c) real engine: %s failed\n", command.c_str());
    }
    return 0;
}
