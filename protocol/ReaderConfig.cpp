#include "protocol/ReaderConfig.h"

#include <cstdio>

namespace protocol {

std::string BuildConfigCommand(uint8_t option, uint8_t iso, uint8_t tagTypes) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "c%.2X%.2X%.2X", option, iso, tagTypes);
  return std::string(buf) + "xx" + "xx";
}

std::string BuildTagTypeCommand(uint8_t tagTypes, uint8_t hdx) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "r%.2X%.2X", tagTypes, hdx);
  return buf;
}

bool IsGoodEcho(std::string_view reply, std::string_view command) {
  const size_t n = reply.size();
  if (n < 2 || reply[n - 2] != 'O' || reply[n - 1] != 'K') return false;
  for (size_t i = 0; i + 2 < n; ++i)
    if (i >= command.size() || reply[i] != command[i]) return false;
  return true;
}

}  // namespace protocol
