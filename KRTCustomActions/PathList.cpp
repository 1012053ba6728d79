#include "PathList.h"

#include <cstring>

namespace krt {

namespace {

bool EntryEquals(const char* begin, std::size_t length, const char* entry, std::size_t entryLength) {
    return length == entryLength && std::memcmp(begin, entry, length) == 0;
}

}  // namespace

bool PathListContains(const char* list, const char* entry) {
    const std::size_t entryLength = std::strlen(entry);
    for (const char* begin = list;;) {
        const char* end = std::strchr(begin, ';');
        const std::size_t length = end ? static_cast<std::size_t>(end - begin) : std::strlen(begin);
        if (EntryEquals(begin, length, entry, entryLength)) return true;
        if (!end) return false;
        begin = end + 1;
    }
}

bool PathListAdd(char* list, const char* entry) {
    if (PathListContains(list, entry)) return false;
    const std::size_t length = std::strlen(list);
    list[length] = ';';
    std::memcpy(list + length + 1, entry, std::strlen(entry) + 1);
    return true;
}

std::size_t PathListRemove(char* list, const char* entry) {
    // Split into entries, drop the matching ones and join the rest again: that
    // takes one separator with each entry cut and leaves the others as they were.
    const std::size_t entryLength = std::strlen(entry);
    std::size_t removed = 0;
    char* out = list;
    bool first = true;
    for (const char* begin = list;;) {
        const char* end = std::strchr(begin, ';');
        const std::size_t length = end ? static_cast<std::size_t>(end - begin) : std::strlen(begin);
        if (EntryEquals(begin, length, entry, entryLength)) {
            ++removed;
        } else {
            if (!first) *out++ = ';';
            std::memmove(out, begin, length);  // out never runs ahead of begin
            out += length;
            first = false;
        }
        if (!end) break;
        begin = end + 1;
    }
    *out = '\0';
    return removed;
}

}  // namespace krt
