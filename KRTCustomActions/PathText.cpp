#include "PathText.h"

namespace krt {

namespace {

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The end of the path component that starts at text: its first backslash
// character or its terminator.
const char* ComponentEnd(const char* text) {
    while (*text != '\0' && *text != '\\') text = CharNextA(text);
    return text;
}

}  // namespace

std::size_t TrailingBackslashes(const char* text) {
    std::size_t count = 0;
    const char* end = text + std::strlen(text);
    while (end > text) {
        const char* last = CharPrevA(text, end);
        if (*last != '\\') break;
        ++count;
        end = last;
    }
    return count;
}

bool IsDriveRoot(const char* text) {
    return IsDriveLetter(text[0]) && text[1] == ':' && text[2] == '\\' && text[3] == '\0';
}

bool IsAbsoluteFolder(const char* path) {
    if (IsDriveLetter(path[0]) && path[1] == ':') return path[2] == '\\';
    if (path[0] != '\\' || path[1] != '\\') return false;
    const char* server = path + 2;
    const char* serverEnd = ComponentEnd(server);
    const std::size_t serverLen = static_cast<std::size_t>(serverEnd - server);
    if (serverLen == 0 || *serverEnd != '\\') return false;
    // \\?\ and \\.\ name devices and raw paths, not a server.
    if (serverLen == 1 && (server[0] == '?' || server[0] == '.')) return false;
    const char* share = serverEnd + 1;
    return ComponentEnd(share) > share;
}

}  // namespace krt
