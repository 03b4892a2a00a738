#pragma once
// Key lists: virtual-key codes written in hexadecimal and separated by ':' ("1B:41").

#include <cstdint>
#include <vector>

#include "text/Text.h"

namespace protocol {

// Each piece between colons is read as a hexadecimal number (blanks around it and a "0x"
// before it are allowed) and its low 8 bits become one key. Empty pieces add nothing, and
// so does a piece that is not a hexadecimal number: a typing error sends no key rather
// than a wrong one.
std::vector<uint8_t> ParseKeyList(const fw::WString& text);

}  // namespace protocol
