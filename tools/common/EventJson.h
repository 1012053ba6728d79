// The one JSON string form of the installer event logs. The host installer
// driver and the Windows probe both write their events with it, so that a host
// run and a real-engine run can be compared line by line.
#pragma once

#include <string>

namespace krt_events {

// Appends text as a JSON string: the usual short escapes, every other byte
// below 0x20 or from 0x80 up as \u00xx (a byte of the ANSI code page stands for
// itself, so the log stays ASCII whatever the code page is).
inline void AppendJsonString(std::string& out, const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c >= 0x80) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

}  // namespace krt_events
