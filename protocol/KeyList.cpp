#include "protocol/KeyList.h"

namespace protocol {
namespace {

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f';
}

// Reads the number at the start of a piece; false when the piece holds none.
bool ReadPiece(std::u16string_view piece, uint8_t& value) {
  size_t i = 0;
  while (i < piece.size() && IsBlank(piece[i])) ++i;
  if (i + 2 < piece.size() && piece[i] == u'0' && (piece[i + 1] == u'x' || piece[i + 1] == u'X') &&
      HexValue(piece[i + 2]) >= 0)
    i += 2;
  if (i >= piece.size() || HexValue(piece[i]) < 0) return false;
  // Only the low 8 bits count, so the digits are folded in modulo 256 and any length works.
  unsigned v = 0;
  for (; i < piece.size() && HexValue(piece[i]) >= 0; ++i)
    v = ((v << 4) | static_cast<unsigned>(HexValue(piece[i]))) & 0xFF;
  value = static_cast<uint8_t>(v);
  return true;
}

}  // namespace

std::vector<uint8_t> ParseKeyList(const fw::WString& text) {
  std::vector<uint8_t> keys;
  uint8_t last = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(u':', start);
    if (end == fw::WString::npos) end = text.size();
    const std::u16string_view piece(text.data() + start, end - start);
    if (!piece.empty()) {
      uint8_t value = last;
      ReadPiece(piece, value);
      keys.push_back(value);
      last = value;
    }
    if (end == text.size()) break;
    start = end + 1;
  }
  return keys;
}

}  // namespace protocol
