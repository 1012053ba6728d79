// The text of a ';'-separated search path, edited entry by entry. An entry is
// matched whole and byte for byte (letter case counts); text that merely
// contains the entry, such as a subfolder of it, is another entry.
#pragma once

#include <cstddef>

namespace krt {

// True when some entry of list equals entry.
bool PathListContains(const char* list, const char* entry);

// Appends one ';' and entry to list, whatever list ends with, unless an entry
// equal to it is there already. list must have room for strlen(entry) + 2 more
// bytes. Returns true when it appended.
bool PathListAdd(char* list, const char* entry);

// Cuts, in place, every entry of list that equals entry, together with one
// separator next to it (the one after it, or before it for the last entry).
// Every other entry, empty ones included, stays byte for byte. Returns the
// number of entries cut.
std::size_t PathListRemove(char* list, const char* entry);

}  // namespace krt
