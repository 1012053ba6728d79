// Entry matching and cutting on the text of a search path.
#include "PathList.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string E = "C:\\Apps\\Kit\\v71\\runtime\\win32";

std::string removed(std::string list) {
    krt::PathListRemove(list.data(), E.c_str());
    return std::string(list.c_str());
}

TEST(PathListTest, RemoveCutsWholeEntriesWithOneSeparator) {
    const struct {
        std::string before, after;
    } cases[] = {
        {"A;" + E + ";B", "A;B"},
        {E + ";B", "B"},
        {"A;" + E, "A"},
        {E, ""},
        {"A;" + E + ";", "A;"},
        {"A;" + E + ";" + E, "A"},
        {"A;" + E + ";B;" + E, "A;B"},
        {E + ";" + E, ""},
        {"A;B", "A;B"},
        {"", ""},
        // Entries that only contain the folder entry belong to someone else.
        {"A;" + E + "\\sub;B", "A;" + E + "\\sub;B"},
        {"A;x" + E + ";B", "A;x" + E + ";B"},
        // Letter case counts.
        {"A;C:\\APPS\\Kit\\v71\\runtime\\win32;B", "A;C:\\APPS\\Kit\\v71\\runtime\\win32;B"},
        // Empty entries and references stay as they were.
        {"A;;" + E + ";;B", "A;;;B"},
        {";" + E, ""},
        {"%SystemRoot%\\system32;" + E + ";%PATH_EXT%", "%SystemRoot%\\system32;%PATH_EXT%"},
    };
    for (const auto& c : cases) EXPECT_EQ(removed(c.before), c.after) << c.before;
}

TEST(PathListTest, ContainsMatchesWholeEntriesOnly) {
    EXPECT_TRUE(krt::PathListContains(E.c_str(), E.c_str()));
    EXPECT_TRUE(krt::PathListContains(("A;" + E + ";B").c_str(), E.c_str()));
    EXPECT_TRUE(krt::PathListContains(("A;;" + E).c_str(), E.c_str()));
    EXPECT_FALSE(krt::PathListContains(("A;" + E + "\\sub").c_str(), E.c_str()));
    EXPECT_FALSE(krt::PathListContains(("x" + E).c_str(), E.c_str()));
    EXPECT_FALSE(krt::PathListContains("", E.c_str()));
    EXPECT_FALSE(krt::PathListContains("A;c:\\apps\\kit\\v71\\runtime\\win32", E.c_str()));
    EXPECT_TRUE(krt::PathListContains("A;;B", ""));
}

}  // namespace
