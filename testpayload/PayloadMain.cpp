// _KRTInstaller.exe, the test payload program.
//
//   _KRTInstaller.exe -o -d "DIR"
//
// Lays the runtime down under DIR: creates DIR\v71\runtime\win32 (and every
// folder on the way), copies into it the files named in kPayloadFiles from the
// folder "files" beside this program, and prints one line per file laid down
// (v71\runtime\win32\NAME) on standard output, flushed at once so that a reader
// on a pipe sees each line as it happens.
//
// What else it does is steered by an optional order file _KRTInstaller.cfg
// beside the program, one order per line (blank lines and lines starting with
// '#' are skipped):
//
//   lines N      print N extra lines after the file lines
//   long N       print one extra line of N characters (line end not counted)
//   nul N        print one extra line holding N NUL bytes
//   pace MS      wait MS milliseconds before each line it prints but the first
//   silent       print nothing at all, warnings included
//   skip-files   lay nothing down (and so print no file lines)
//   die          after printing, write half a line and kill itself
//   linger MS    close standard output and standard error, then keep running
//                MS milliseconds before exiting
//   hang         close standard output and standard error, then never end
//   exit CODE    exit with CODE (decimal, 0x hex, or negative)
//   args         write the arguments as parsed, one per line, to the file
//                _KRTInstaller.args beside the program
//
// An unknown order, or one with a bad value, is ignored with a warning on
// standard error. A bad command line gives a message on standard error and
// exit code 2; a file that cannot be laid down gives a message and exit code 1.

#include "TestPlatform.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char* const kPayloadFiles[] = {
    "zqcommgr.dll",
    "zqcomutil.dll",
#if defined(KRT_PAYLOAD_RUNTIME_FILE)
    KRT_PAYLOAD_RUNTIME_FILE,
#endif
};

const char* const kLibraryFolder = "v71\\runtime\\win32";
const char* const kOrderFile = "_KRTInstaller.cfg";
const char* const kArgsFile = "_KRTInstaller.args";
const char* const kProgram = "_KRTInstaller";

struct Orders {
    long extraLines = 0;
    long longLine = -1;  // -1: none
    long nulLine = -1;   // -1: none
    long paceMs = 0;     // pause before each line but the first
    bool silent = false;
    bool skipFiles = false;
    bool die = false;
    bool hang = false;
    long lingerMs = -1;  // -1: exit at once
    int exitCode = 0;
    bool recordArgs = false;
    std::vector<std::string> warnings;
};

std::string trim(const std::string& text) {
    const char* space = " \t\r\n";
    std::size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return std::string();
    std::size_t last = text.find_last_not_of(space);
    return text.substr(first, last - first + 1);
}

// A whole-text integer in decimal, 0x hex or octal; false on anything else.
bool parse_number(const std::string& text, long* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0') return false;
    *value = v;
    return true;
}

// Exit codes are 32-bit: anything from INT_MIN to 0xFFFFFFFF, so that codes
// such as 0xC0000005 can be written the way Windows reports them.
bool parse_exit_code(const std::string& text, long long* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0') return false;
    if (v < INT_MIN || v > 0xFFFFFFFFLL) return false;
    *value = v;
    return true;
}

bool parse_count(const std::string& text, long* value) {
    return parse_number(text, value) && *value >= 0;
}

void apply_order(const std::string& line, Orders* orders) {
    std::size_t split = line.find_first_of(" \t");
    std::string word = line.substr(0, split);
    std::string arg = split == std::string::npos ? std::string() : trim(line.substr(split));
    bool ok = true;
    long n = 0;
    if (word == "lines") {
        ok = parse_count(arg, &n);
        if (ok) orders->extraLines = n;
    } else if (word == "long") {
        ok = parse_count(arg, &n);
        if (ok) orders->longLine = n;
    } else if (word == "nul") {
        ok = parse_count(arg, &n);
        if (ok) orders->nulLine = n;
    } else if (word == "pace") {
        ok = parse_count(arg, &n);
        if (ok) orders->paceMs = n;
    } else if (word == "linger") {
        ok = parse_count(arg, &n);
        if (ok) orders->lingerMs = n;
    } else if (word == "exit") {
        long long code = 0;
        ok = parse_exit_code(arg, &code);
        if (ok) orders->exitCode = (int)(std::uint32_t)code;
    } else if (word == "silent" && arg.empty()) {
        orders->silent = true;
    } else if (word == "skip-files" && arg.empty()) {
        orders->skipFiles = true;
    } else if (word == "die" && arg.empty()) {
        orders->die = true;
    } else if (word == "hang" && arg.empty()) {
        orders->hang = true;
    } else if (word == "args" && arg.empty()) {
        orders->recordArgs = true;
    } else {
        orders->warnings.push_back(std::string(kProgram) + ": ignoring unknown order '" + line + "'");
        return;
    }
    if (!ok) orders->warnings.push_back(std::string(kProgram) + ": ignoring order with a bad value '" + line + "'");
}

// A missing order file means no orders.
Orders read_orders(const std::string& path) {
    Orders orders;
    FILE* file = testpayload::open_file(path, "r");
    if (!file) return orders;
    char buffer[1024];
    while (std::fgets(buffer, sizeof buffer, file)) {
        std::string line = trim(buffer);
        if (line.empty() || line[0] == '#') continue;
        apply_order(line, &orders);
    }
    std::fclose(file);
    return orders;
}

void print_line(const std::string& text, long paceMs) {
    static bool first = true;
    if (!first && paceMs > 0) Sleep((DWORD)paceMs);
    first = false;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Paths are read character by character in the ANSI code page: the trail
// byte of a double-byte character may be 0x5C, the backslash byte.
bool is_separator(const char* c) { return *c == '\\' || *c == '/'; }

// The last character of a non-empty text.
const char* last_char(const std::string& text) { return CharPrevA(text.c_str(), text.c_str() + text.size()); }

// Creates every folder of a Windows path that does not exist yet. A drive's
// root is named with its separator (C:\), never as the bare drive (C:).
bool create_folders(const std::string& path) {
    for (const char* c = CharNextA(path.c_str()); *c != '\0'; c = CharNextA(c)) {
        if (!is_separator(c)) continue;
        const std::size_t i = static_cast<std::size_t>(c - path.c_str());
        std::string prefix = path.substr(0, i);
        if (prefix.size() == 2 && prefix[1] == ':') prefix += path[i];
        CreateDirectoryA(prefix.c_str(), nullptr);
    }
    CreateDirectoryA(path.c_str(), nullptr);
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void close_output() {
    std::fflush(stdout);
    std::fflush(stderr);
    std::fclose(stdout);
    std::fclose(stderr);
}

[[noreturn]] void kill_self() {
#if defined(_WIN32)
    TerminateProcess(GetCurrentProcess(), 1);
#else
    std::raise(SIGKILL);
#endif
    std::abort();
}

int usage(const char* reason) {
    std::fprintf(stderr, "%s: %s\nusage: %s -o -d \"DIR\"\n", kProgram, reason, kProgram);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool overwrite = false;
    std::string root;
    bool haveRoot = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-o") {
            overwrite = true;
        } else if (arg == "-d") {
            if (i + 1 >= argc) return usage("-d needs a folder");
            root = argv[++i];
            haveRoot = true;
        } else {
            return usage(("unknown argument '" + arg + "'").c_str());
        }
    }
    if (!overwrite) return usage("-o is required");
    if (!haveRoot || root.empty()) return usage("-d \"DIR\" is required");
    // Final separators go, but a drive's root keeps its own.
    while (root.size() > 1 && is_separator(last_char(root)) && root[root.size() - 2] != ':') root.pop_back();

    std::string self = testpayload::module_path(nullptr);
    std::size_t sep = testpayload::last_separator(self);
    if (self.empty() || sep == std::string::npos) {
        std::fprintf(stderr, "%s: cannot find its own folder\n", kProgram);
        return 1;
    }
    std::string selfDir = self.substr(0, sep + 1);
    const char slash = self[sep];
    Orders orders = read_orders(selfDir + kOrderFile);
    if (orders.recordArgs) {
        FILE* record = testpayload::open_file(selfDir + kArgsFile, "wb");
        if (record) {
            for (int i = 1; i < argc; ++i) std::fprintf(record, "%s\n", argv[i]);
            std::fclose(record);
        }
    }
    if (!orders.silent)
        for (const std::string& warning : orders.warnings) std::fprintf(stderr, "%s\n", warning.c_str());

    int result = orders.exitCode;
    if (!orders.skipFiles) {
        std::string target = root + (is_separator(last_char(root)) ? "" : "\\") + kLibraryFolder;
        if (!create_folders(target)) {
            std::fprintf(stderr, "%s: cannot create folder %s (error %lu)\n", kProgram, target.c_str(),
                         (unsigned long)GetLastError());
            return 1;
        }
        for (const char* name : kPayloadFiles) {
            std::string from = selfDir + "files" + slash + name;
            std::string to = target + "\\" + name;
            if (!CopyFileA(from.c_str(), to.c_str(), FALSE)) {
                std::fprintf(stderr, "%s: cannot copy %s to %s (error %lu)\n", kProgram, from.c_str(), to.c_str(),
                             (unsigned long)GetLastError());
                result = 1;
                continue;
            }
            if (!orders.silent) print_line(std::string(kLibraryFolder) + "\\" + name, orders.paceMs);
        }
    }

    if (!orders.silent) {
        for (long i = 1; i <= orders.extraLines; ++i)
            print_line("extra line " + std::to_string(i) + " of " + std::to_string(orders.extraLines), orders.paceMs);
        if (orders.longLine >= 0) print_line(std::string((std::size_t)orders.longLine, 'L'), orders.paceMs);
        if (orders.nulLine >= 0) print_line(std::string((std::size_t)orders.nulLine, '\0'), orders.paceMs);
    }

    if (orders.die) {
        if (!orders.silent) {
            std::fputs("cut off in the middle of a li", stdout);
            std::fflush(stdout);
        }
        kill_self();
    }
    if (orders.hang) {
        close_output();
        for (;;) Sleep(60000);
    }
    if (orders.lingerMs >= 0) {
        close_output();
        Sleep((DWORD)orders.lingerMs);
    }
    return result;
}
