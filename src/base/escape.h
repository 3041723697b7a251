// escape: names shown as text, with the bytes a terminal would act on, or
// any outside printable ASCII, written as \xHH; and the UTF-8 checks that
// go with it.
#ifndef VELCOT_ESCAPE_H
#define VELCOT_ESCAPE_H

#include <string>

// True for bytes that are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool IsValidUtf8(const char* text);

// A name whose characters a terminal shows as they are: no C1 control
// (U+0080 to U+009F), which a terminal may act on.
bool HasNoC1Controls(const char* utf8);

// The name with bytes outside printable ASCII shown as \xHH.
std::string EscapeFileName(const char* name);

// The name with the bytes a terminal would act on shown as \xHH: control
// bytes, and C1 controls. For a UTF-8 console those are the characters
// U+0080 to U+009F (C2 80 to C2 9F) and the bidirectional formatting and
// line-breaking characters, and a byte that is part of no valid character
// is escaped too; the bytes of other characters pass. For any other console
// every byte from 0x80 to 0x9F is escaped, which also cuts the UTF-8 form
// of each of those characters should the terminal read UTF-8 after all.
std::string EscapeForTerminal(const char* name, bool utf8);

#endif
