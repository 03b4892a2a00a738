#pragma once
// Key lists: virtual-key codes written in hexadecimal and separated by ':' ("1B:41").

#include <cstdint>
#include <vector>

#include "framework/Text.h"

namespace protocol {

// Each piece between colons is read as a hexadecimal number (leading blanks and a "0x"
// are allowed, reading stops at the first character that is not a digit) and its low 8
// bits become one key. Empty pieces add nothing. A piece that does not start with a
// hexadecimal digit repeats the key of the piece before it (0 for the first piece).
std::vector<uint8_t> ParseKeyList(const fw::WString& text);

}  // namespace protocol
