#include "protocol/KeyList.h"

#include <optional>

namespace protocol {
namespace {

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f'; }

std::optional<uint8_t> ReadPiece(std::u16string_view piece) {
  while (!piece.empty() && IsBlank(piece.front())) piece.remove_prefix(1);
  while (!piece.empty() && IsBlank(piece.back())) piece.remove_suffix(1);
  if (piece.size() > 2 && piece[0] == u'0' && (piece[1] == u'x' || piece[1] == u'X')) piece.remove_prefix(2);
  if (piece.empty()) return std::nullopt;
  // Only the low 8 bits count, so the digits are folded in modulo 256 and any length works.
  unsigned v = 0;
  for (char16_t c : piece) {
    const int d = HexValue(c);
    if (d < 0) return std::nullopt;
    v = ((v << 4) | static_cast<unsigned>(d)) & 0xFF;
  }
  return static_cast<uint8_t>(v);
}

}  // namespace

std::vector<uint8_t> ParseKeyList(const fw::WString& text) {
  std::vector<uint8_t> keys;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(u':', start);
    if (end == fw::WString::npos) end = text.size();
    if (auto key = ReadPiece(std::u16string_view(text).substr(start, end - start))) keys.push_back(*key);
    if (end == text.size()) break;
    start = end + 1;
  }
  return keys;
}

}  // namespace protocol
