#pragma once
// The tag types the reader reports, by the two-character type code at the start of a tag
// line.

#include <string_view>

#include "text/Text.h"

namespace protocol {

struct TagType {
  const char* code;
  const char16_t* name;
};

// The table, searched from top to bottom; the first equal code wins.
inline constexpr TagType kTagTypes[] = {
    {"80", u"PSK1"},
    {"40", u"PSK2"},
    {"20", u"Keswin Unique"},
    {"13", u"Keswin FLEX 3 blocks"},
    {"15", u"Keswin FLEX 5 blocks"},
    {"17", u"Keswin FLEX 7 blocks"},
    {"08", u"ISO FDX-b"},
    {"04", u"Fecava"},
    {"02", u"Avid Encrypted"},
    {"01", u"ASK 64 bits"},
    {"A0", u"HDX"},
    {"A7", u"HDX-ISO"},
    {"0F", u"ISO Industrial"},
    {"00", u"Keswin ATEX71"},
};

inline constexpr const char16_t* kUnknownType = u"Unknown";

// The name of a type code, compared exactly and case-sensitively; "Unknown" for any other.
fw::WString TagTypeName(std::string_view typeCode);

}  // namespace protocol
