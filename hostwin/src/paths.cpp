// Drive paths, the search for programs and libraries, and command-line splitting.
#include "state.h"

#include <sys/stat.h>

#include <cstdlib>

namespace hostwin {

std::string root() {
    const char* r = std::getenv("HOSTWIN_ROOT");
    return (r != nullptr && *r != '\0') ? r : "./sim";
}

void set_root(const std::string& hostDir) { ::setenv("HOSTWIN_ROOT", hostDir.c_str(), 1); }

namespace {
bool is_drive_path(const std::string& path) {
    if (path.size() < 2 || path[1] != ':') return false;
    char c = path[0];
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Backslash characters become slashes; a trail byte 0x5C of a double-byte
// character stays what it is.
void to_slashes(std::string& path) {
    for (std::size_t i = 0; i < path.size(); i += detail::char_length(path, i))
        if (path[i] == '\\') path[i] = '/';
}

// Every drive's current folder: a drive path with no separator after its
// colon (C:, C:file) is relative to it, as for the installer's host process,
// which runs in the system folder.
const char kDriveCurrentFolder[] = "\\Windows\\System32";
}  // namespace

std::string host_path(const std::string& windowsPath) {
    if (!is_drive_path(windowsPath)) return windowsPath;
    std::string rest = windowsPath.substr(2);
    if (rest.empty() || (rest[0] != '\\' && rest[0] != '/'))
        rest = std::string(kDriveCurrentFolder) + (rest.empty() ? "" : "\\") + rest;
    to_slashes(rest);
    std::size_t skip = 0;
    while (skip < rest.size() && rest[skip] == '/') ++skip;
    rest.erase(0, skip);

    std::string out = root();
    if (out.empty() || out.back() != '/') out += '/';
    char drive = windowsPath[0];
    if (drive >= 'a' && drive <= 'z') drive = static_cast<char>(drive - 'a' + 'A');
    out += drive;
    if (!rest.empty()) {
        out += '/';
        out += rest;
    }
    return out;
}

// The start-up rules of a Windows program:
// - the program name (first token) ends at the first space or tab outside
//   double quotes; quotes only group, backslashes are plain characters;
// - every later argument ends at a space or tab outside quotes; a run of
//   backslashes followed by a quote gives half as many backslashes, and the
//   quote toggles quoting when the run was even, or is a literal quote when it
//   was odd; backslashes not followed by a quote are plain characters; two
//   quotes inside a quoted part give one literal quote;
// - a lead byte of the ANSI code page and its trail byte are one character,
//   taken as they are (a trail byte 0x5C is no backslash).
std::vector<std::string> split_command_line(const std::string& commandLine) {
    std::vector<std::string> args;
    const std::size_t n = commandLine.size();
    std::size_t i = 0;
    auto blank = [&](std::size_t k) { return commandLine[k] == ' ' || commandLine[k] == '\t'; };

    while (i < n && blank(i)) ++i;
    if (i >= n) return args;

    // Program name.
    {
        std::string arg;
        bool quoted = false;
        while (i < n && (quoted || !blank(i))) {
            if (detail::char_length(commandLine, i) == 2) {
                arg.append(commandLine, i, 2);
                i += 2;
            } else if (commandLine[i] == '"')
                quoted = !quoted;
            else
                arg += commandLine[i];
            ++i;
        }
        args.push_back(arg);
    }

    for (;;) {
        while (i < n && blank(i)) ++i;
        if (i >= n) break;
        std::string arg;
        bool quoted = false;
        while (i < n) {
            if (!quoted && blank(i)) break;
            if (detail::char_length(commandLine, i) == 2) {
                arg.append(commandLine, i, 2);
                i += 2;
                continue;
            }
            std::size_t slashes = 0;
            while (i < n && commandLine[i] == '\\') {
                ++slashes;
                ++i;
            }
            if (i < n && commandLine[i] == '"') {
                arg.append(slashes / 2, '\\');
                if (slashes % 2 == 1) {
                    arg += '"';
                    ++i;
                } else if (quoted && i + 1 < n && commandLine[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
                continue;
            }
            arg.append(slashes, '\\');
            if (slashes == 0 && i < n && (quoted || !blank(i))) {
                arg += commandLine[i];
                ++i;
            }
        }
        args.push_back(arg);
    }
    return args;
}

namespace detail {

bool is_windows_form(const std::string& path) {
    return is_drive_path(path) || path.find('\\') != std::string::npos;
}

std::string file_path(const char* windowsPath) {
    if (windowsPath == nullptr) return std::string();
    std::string p = windowsPath;
    if (is_drive_path(p)) return host_path(p);
    to_slashes(p);
    return p;
}

std::vector<std::string> search_folders() {
    std::vector<std::string> folders{"."};
    const char* path = std::getenv("PATH");
    if (path == nullptr) return folders;
    std::string all = path;
    std::size_t pos = 0;
    while (pos <= all.size()) {
        std::size_t semi = all.find(';', pos);
        std::string entry = all.substr(pos, semi == std::string::npos ? std::string::npos : semi - pos);
        pos = semi == std::string::npos ? all.size() + 1 : semi + 1;
        if (entry.empty()) continue;
        if (is_windows_form(entry)) {
            folders.push_back(file_path(entry.c_str()));
            continue;
        }
        // A host list: folders separated by ':'.
        std::size_t p = 0;
        while (p <= entry.size()) {
            std::size_t colon = entry.find(':', p);
            std::string folder = entry.substr(p, colon == std::string::npos ? std::string::npos : colon - p);
            p = colon == std::string::npos ? entry.size() + 1 : colon + 1;
            if (!folder.empty()) folders.push_back(folder);
        }
    }
    return folders;
}

namespace {
bool is_regular_file(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool has_extension(const std::string& name) {
    std::size_t slash = name.find_last_of("/\\");
    std::size_t dot = name.rfind('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

bool try_candidate(const std::string& path, bool withExtension, const char* extension, std::string* found) {
    if (is_regular_file(path)) {
        *found = path;
        return true;
    }
    if (withExtension && is_regular_file(path + extension)) {
        *found = path + extension;
        return true;
    }
    return false;
}
}  // namespace

bool find_file(const std::string& name, const char* defaultExtension, std::string* hostPath) {
    if (name.empty()) return false;
    bool addExtension = defaultExtension != nullptr && !has_extension(name);
    if (name.find_first_of("/\\") != std::string::npos || is_drive_path(name))
        return try_candidate(file_path(name.c_str()), addExtension, defaultExtension, hostPath);
    for (const std::string& folder : search_folders())
        if (try_candidate(folder + "/" + name, addExtension, defaultExtension, hostPath)) return true;
    return false;
}

}  // namespace detail
}  // namespace hostwin
