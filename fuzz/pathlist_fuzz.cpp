// Fuzz target for the search-path text functions. Input: an optional folder
// entry and a newline, then the search path text.
#include "PathList.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Entries(const std::string& list) {
    std::vector<std::string> entries;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = list.find(';', begin);
        entries.push_back(list.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
        if (end == std::string::npos) return entries;
        begin = end + 1;
    }
}

bool HasEntry(const std::string& list, const std::string& entry) {
    for (const std::string& e : Entries(list))
        if (e == entry) return true;
    return false;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

std::string Add(const std::string& list, const std::string& entry) {
    std::vector<char> buffer(list.size() + entry.size() + 2);
    std::memcpy(buffer.data(), list.c_str(), list.size() + 1);
    const bool appended = krt::PathListAdd(buffer.data(), entry.c_str());
    Check(appended == !HasEntry(list, entry));
    return buffer.data();
}

std::string Remove(const std::string& list, const std::string& entry) {
    std::vector<char> buffer(list.c_str(), list.c_str() + list.size() + 1);
    krt::PathListRemove(buffer.data(), entry.c_str());
    return buffer.data();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    input = input.substr(0, input.find('\0'));  // the functions work on NUL-terminated text
    std::string entry = "C:\\Apps\\Kit\\v71\\runtime\\win32";
    const std::size_t newline = input.find('\n');
    if (newline != std::string::npos && newline > 0 && input.find(';') > newline) {
        entry = input.substr(0, newline);
        input = input.substr(newline + 1);
    }
    const std::string& value = input;

    const std::string added = Add(value, entry);
    Check(HasEntry(added, entry));
    Check(Add(added, entry) == added);

    const std::string removed = Remove(value, entry);
    Check(!HasEntry(removed, entry));
    if (!HasEntry(value, entry)) {
        Check(removed == value);
        Check(Remove(added, entry) == value);
    }
    // Every other entry survives, in order.
    std::vector<std::string> kept;
    for (const std::string& e : Entries(value))
        if (e != entry) kept.push_back(e);
    if (kept.empty()) {
        Check(removed.empty());
    } else {
        Check(Entries(removed) == kept);
    }
    return 0;
}
