// Path text read character by character in the system's ANSI code page. In a
// double-byte code page the trail byte of a character may be 0x5C, the
// backslash byte, so the end of a path is found by stepping back over whole
// characters, never by looking at its last byte.
#pragma once

#include "Platform.h"

namespace krt {

// The number of backslash characters that end text.
std::size_t TrailingBackslashes(const char* text);

// True when the last character of text is a backslash.
inline bool EndsInBackslash(const char* text) { return TrailingBackslashes(text) > 0; }

// The separator that joins root to a name: none when root already ends in a
// backslash (a drive's root, C:\, or a TARGETDIR as the installer gives it).
inline const char* SeparatorAfter(const char* root) { return EndsInBackslash(root) ? "" : "\\"; }

// suffix, which starts with a backslash, as it is joined to root: without its
// backslash when root already ends in one (a drive's root, C:\).
inline const char* SuffixAfter(const char* root, const char* suffix) {
    return EndsInBackslash(root) ? suffix + 1 : suffix;
}

// True for a drive's root, X:\ and nothing after it.
bool IsDriveRoot(const char* text);

// True for X:\... and for \\server\share...: a drive path with its backslash,
// or a share on a named server. Refused are drive-relative and relative paths,
// X:/..., a server without a share, and the \\?\ and \\.\ device forms.
bool IsAbsoluteFolder(const char* path);

}  // namespace krt
