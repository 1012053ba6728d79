// Commit's progress stage: the payload program's output turned into ticks of
// the installer's progress bar while the program runs.
#pragma once

#include "ModuleState.h"

namespace krt {

// Counts output the way a text-mode C runtime stream read with fgets into a
// 512-byte buffer splits it: one tick per line, a line longer than 511
// characters (its line end included) one tick per 511-character piece, and a CR
// LF pair read as one line end. Plain data: the piece read so far.
struct LineTickCounter {
    unsigned pieceLength = 0;  // characters of the piece not yet complete
    bool pendingCR = false;    // a CR whose meaning depends on the byte after it
};

// The ticks of the pieces that these bytes complete.
unsigned long CountLineTicks(LineTickCounter* counter, const char* bytes, std::size_t size);
// The tick of a last piece that the end of the output cuts off (0 or 1).
unsigned long FinishLineTicks(LineTickCounter* counter);

// Resets the progress bar, then reads the payload program's output from hOutput
// and sends its ticks through hProgressRecord until a check of hProcess finds
// the program ended. kSuccess then; kUserExit after a cancel (no message) or a
// failure (its message shown).
UINT RunPayloadProgress(MSIHANDLE hInstall, MSIHANDLE hProgressRecord, HANDLE hProcess, HANDLE hOutput);

}  // namespace krt
