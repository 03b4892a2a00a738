#include "protocol/ResponseParser.h"

#include <algorithm>

namespace protocol {

VersionReport ParseVersionReport(std::string_view line) {
  VersionReport r;
  std::string* field = &r.firmware;
  size_t limit = kMaxFirmware;
  size_t index = 0;
  for (size_t i = 1; i < line.size(); ++i) {
    const char c = line[i];
    if (c == ' ') {
      // The command set is started again, not cleared: a shorter word overwrites the start
      // of a longer one and the field ends right after it.
      field = &r.commandSet;
      limit = kMaxCommandSet;
      index = 0;
      continue;
    }
    if (index >= limit) break;
    field->resize(index);
    field->push_back(c);
    ++index;
  }
  r.typeConfig = r.firmware.size() > 5 && r.firmware[5] == '1';
  return r;
}

ScanStatus ParseScanStatus(std::string_view line) {
  if (line.size() < 2) return ScanStatus::Ignored;
  if (line.size() >= 3 && line[1] == 'N' && line[2] == 'O') return ScanStatus::Ignored;
  switch (line[1]) {
    case '1':
      return ScanStatus::Started;
    case '0':
      return ScanStatus::NoTag;
    case 'S':
      return ScanStatus::SameTag;
    default:
      return ScanStatus::Ignored;
  }
}

TagLine ParseTagLine(std::string_view line, bool noSpace) {
  TagLine t;
  t.typeCode = std::string(line.substr(0, std::min<size_t>(2, line.size())));
  if (line.size() > 3) t.code = std::string(line.substr(2, line.size() - 3));
  if (noSpace) t.code.erase(std::remove(t.code.begin(), t.code.end(), ' '), t.code.end());
  return t;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

std::optional<uint8_t> HexField(std::string_view line, size_t pos) {
  if (pos + 2 > line.size()) return std::nullopt;
  return static_cast<uint8_t>(HexDigitValue(line[pos]) * 16 + HexDigitValue(line[pos + 1]));
}

}  // namespace protocol
