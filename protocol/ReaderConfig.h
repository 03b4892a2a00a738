#pragma once
// The reader's own settings as they travel on the line: bytes written as two upper-case
// hexadecimal digits, packed from and unpacked into check boxes.

#include <cstdint>
#include <string>
#include <string_view>

namespace protocol {

// Option byte.
inline constexpr uint8_t kOptUseTrigger = 0x80;
inline constexpr uint8_t kOptReadOnce = 0x40;
inline constexpr uint8_t kOptLedOn = 0x20;
inline constexpr uint8_t kOptLedAfterRead = 0x10;
// ISO byte.
inline constexpr uint8_t kIsoCountry = 0x80;
inline constexpr uint8_t kIsoHex = 0x01;
// Tag-type and supported-types bytes: PSK1 0x80 down to ASK 0x01.
inline constexpr uint8_t kTypeIsoFdxB = 0x08;
// HDX byte and HDX-supported byte.
inline constexpr uint8_t kHdx = 0x80;

// "c", option, ISO and tag-type bytes as "%.2X", then "xxxx".
std::string BuildConfigCommand(uint8_t option, uint8_t iso, uint8_t tagTypes);
// "r", tag-type and HDX bytes as "%.2X".
std::string BuildTagTypeCommand(uint8_t tagTypes, uint8_t hdx);

// The reader's echo of a settings command is good when it ends with "OK" and every
// character before that equals the command's character at the same position; a character
// beyond the end of the command counts as unequal.
bool IsGoodEcho(std::string_view reply, std::string_view command);

}  // namespace protocol
