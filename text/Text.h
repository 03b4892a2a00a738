#pragma once
// Text of the user interface is UTF-16, as the dialogs, the log and the message boxes
// show it. Everything on the serial line and in the program's files is 8-bit text:
// wide characters are narrowed to their low 8 bits there and 8-bit text is widened
// byte by byte on the way back.

#include <string>
#include <string_view>

namespace fw {

using WString = std::u16string;

// Each byte becomes one UTF-16 code unit of the same value.
WString Widen(std::string_view bytes);

// Each UTF-16 code unit keeps its low 8 bits.
std::string Narrow(std::u16string_view text);

// For terminals and Qt: UTF-16 to UTF-8 and back. Unpaired surrogates become U+FFFD.
std::string ToUtf8(std::u16string_view text);
WString FromUtf8(std::string_view text);

// printf-style formatting of an 8-bit format with int and 8-bit string arguments,
// widened for display. Used for the system's own "%d" message texts.
WString FormatInt(std::string_view format, int value);

}  // namespace fw
