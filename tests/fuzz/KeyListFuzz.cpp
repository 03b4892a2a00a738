// ParseKeyList on arbitrary UTF-16 text (the prefix and suffix fields, and Config.ini through
// them). Every piece between colons gives at most one key, and the keys found, written back
// as a key list, read as the same keys.

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/KeyList.h"
#include "tests/fuzz/FuzzSupport.h"

using fuzzing::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text;
  for (size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));

  const std::vector<uint8_t> keys = protocol::ParseKeyList(text);
  size_t pieces = 1;
  for (char16_t c : text) pieces += c == u':';
  Check(keys.size() <= pieces, "at most one key per piece");

  static const char16_t* hex = u"0123456789ABCDEF";
  std::u16string written;
  for (uint8_t k : keys) {
    if (!written.empty()) written += u':';
    written += hex[k >> 4];
    written += hex[k & 15];
  }
  Check(protocol::ParseKeyList(written) == keys, "keys written back read the same");
  return 0;
}
