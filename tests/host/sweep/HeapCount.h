// Counts the heap blocks that a custom action obtains with operator new and
// does not give back.
//
// The test binary replaces every form of the global operator new and delete.
// While a count is open, each block handed out is remembered, and forgotten
// again when it is deleted; the blocks still remembered when the count closes
// are the ones the action kept. Blocks that the stand-in platform obtains for
// itself inside one of its calls (its call log, message copies, handle tables)
// are not the action's and are not remembered: the platform reports the start
// and end of each of its calls through its call hook, and PlatformCallHook
// keeps the nesting depth.
#pragma once

#include <cstddef>
#include <string>

namespace sweep {

// Opens a count; blocks from before it are not remembered.
void BeginHeapCount();
// Closes the count and returns the number of blocks obtained since
// BeginHeapCount and not deleted. Returns the count too when more blocks were
// live at once than the table can hold (HeapCountOverflowed then says so).
std::size_t EndHeapCount();
bool HeapCountOverflowed();
// Allocations made by the action (not by the platform) during the last count.
std::size_t HeapAllocationsCounted();
// Makes the nth allocation of the next count fail (0: none): the nothrow forms
// return null, the others throw std::bad_alloc.
void FailAllocation(std::size_t nth);

// The stand-in platform's call hook for the duration of a counted run; also
// calls the extra hook, if one is set, outside the platform depth.
void PlatformCallHook(const std::string& function, bool before);
using ExtraHook = void (*)(const std::string& function, bool before);
void SetExtraHook(ExtraHook hook);

}  // namespace sweep
