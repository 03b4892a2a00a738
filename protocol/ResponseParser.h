#pragma once
// The reader's answer lines, taken apart without any I/O. A line is the text before the
// carriage return; positions count from 0.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace protocol {

// The version report: 'V', the firmware version, a blank, the command set.
struct VersionReport {
  std::string firmware;    // at most kMaxFirmware characters
  std::string commandSet;  // at most kMaxCommandSet characters
  // The reader's configuration replies carry the tag-type fields: the sixth character of
  // the firmware version is '1'.
  bool typeConfig = false;
};
inline constexpr size_t kMaxFirmware = 10;
inline constexpr size_t kMaxCommandSet = 6;

// Walks the characters after the 'V'. A blank switches to the command set and starts it
// again from its beginning, so the command set shown is the last non-empty blank-separated
// word; a field that would grow past its limit ends the walk.
VersionReport ParseVersionReport(std::string_view line);

enum class ScanStatus { Started, NoTag, SameTag, Ignored };
// 'S' lines: S1 scanning started, S0 no tag, SS same tag; SNO and anything else ignored.
ScanStatus ParseScanStatus(std::string_view line);

// A tag line: type code (characters 0 and 1), and the code from position 2 up to, not
// including, the last character. With noSpace every blank is removed from the code.
struct TagLine {
  std::string typeCode;
  std::string code;
};
TagLine ParseTagLine(std::string_view line, bool noSpace);

// The value of a hexadecimal digit; any other character counts as 0.
int HexDigitValue(char c);
// Two hexadecimal digits at pos; nothing when the line does not hold both.
std::optional<uint8_t> HexField(std::string_view line, size_t pos);

}  // namespace protocol
