// The system's ANSI code page and the character functions over it: which bytes
// lead a two-byte character, and how to step from one character to the next
// or back. The code page is read from HOSTWIN_ACP, so that child processes
// (the payload program, the installer driver) follow the same one.
//
// These calls cannot fail and are neither logged nor open to fault injection.
#include "state.h"

#include <cstdlib>

namespace hostwin {

UINT ansi_code_page() {
    const char* value = std::getenv("HOSTWIN_ACP");
    return (value != nullptr && std::atoi(value) == 932) ? 932u : 1252u;
}

void set_ansi_code_page(UINT codePage) {
    if (codePage == 932)
        ::setenv("HOSTWIN_ACP", "932", 1);
    else
        ::unsetenv("HOSTWIN_ACP");
}

namespace detail {

bool lead_byte(unsigned char byte) {
    if (ansi_code_page() != 932) return false;
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

std::size_t char_length(const std::string& text, std::size_t pos) {
    return (lead_byte(static_cast<unsigned char>(text[pos])) && pos + 1 < text.size() && text[pos + 1] != '\0') ? 2
                                                                                                               : 1;
}

}  // namespace detail
}  // namespace hostwin

using hostwin::detail::lead_byte;

extern "C" {

UINT WINAPI GetACP(void) { return hostwin::ansi_code_page(); }

BOOL WINAPI IsDBCSLeadByte(BYTE testChar) { return lead_byte(testChar) ? TRUE : FALSE; }

LPSTR WINAPI CharNextA(LPCSTR current) {
    if (*current == '\0') return const_cast<LPSTR>(current);
    if (lead_byte(static_cast<unsigned char>(*current)) && current[1] != '\0') return const_cast<LPSTR>(current + 2);
    return const_cast<LPSTR>(current + 1);
}

LPSTR WINAPI CharPrevA(LPCSTR start, LPCSTR current) {
    // Only a walk from the start tells a trail byte from a character.
    while (*start != '\0' && start < current) {
        LPCSTR next = CharNextA(start);
        if (next >= current) break;
        start = next;
    }
    return const_cast<LPSTR>(start);
}

}  // extern "C"
