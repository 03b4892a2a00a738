#include "events/MqttUrl.h"

namespace events {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int hi = HexDigit(text[i + 1]);
    const int lo = HexDigit(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

}  // namespace

std::optional<MqttUrl> MqttUrl::Parse(const std::string& text, std::string& error) {
  MqttUrl url;
  std::string rest;
  if (text.rfind("mqtt://", 0) == 0) {
    rest = text.substr(7);
  } else if (text.rfind("mqtts://", 0) == 0) {
    url.tls = true;
    rest = text.substr(8);
  } else {
    const size_t colon = text.find("://");
    error = colon == std::string::npos ? "not a URL: give mqtt://host/prefix"
                                       : "unknown scheme '" + text.substr(0, colon) + "': mqtt:// or mqtts://";
    return std::nullopt;
  }
  const size_t slash = rest.find('/');
  if (slash == std::string::npos || slash + 1 == rest.size()) {
    error = "no topic prefix: give mqtt://host/prefix";
    return std::nullopt;
  }
  url.prefix = rest.substr(slash + 1);
  std::string authority = rest.substr(0, slash);
  while (!url.prefix.empty() && url.prefix.back() == '/') url.prefix.pop_back();
  if (url.prefix.empty() || url.prefix.find_first_of("+#") != std::string::npos ||
      url.prefix.find('\0') != std::string::npos) {
    error = "the topic prefix must be a topic without + or #";
    return std::nullopt;
  }
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    const std::string credentials = authority.substr(0, at);
    authority = authority.substr(at + 1);
    const size_t colon = credentials.find(':');
    const auto user = Unescape(credentials.substr(0, colon));
    const auto password =
        colon == std::string::npos ? std::optional<std::string>("") : Unescape(credentials.substr(colon + 1));
    if (!user || !password || user->empty()) {
      error = "bad user or password";
      return std::nullopt;
    }
    url.user = *user;
    url.password = *password;
  }
  std::string portText;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) {
      error = "bad host";
      return std::nullopt;
    }
    url.host = authority.substr(1, close - 1);
    const std::string after = authority.substr(close + 1);
    if (!after.empty() && after[0] != ':') {
      error = "bad host";
      return std::nullopt;
    }
    if (!after.empty()) portText = after.substr(1);
    if (after == ":") portText = ":";
  } else {
    const size_t colon = authority.find(':');
    url.host = authority.substr(0, colon);
    if (colon != std::string::npos) portText = authority.substr(colon + 1);
    if (colon != std::string::npos && portText.empty()) portText = ":";
  }
  if (url.host.empty()) {
    error = "no host";
    return std::nullopt;
  }
  url.port = url.tls ? 8883 : 1883;
  if (!portText.empty()) {
    int port = 0;
    for (char c : portText) {
      if (c < '0' || c > '9' || port > 65535) {
        port = -1;
        break;
      }
      port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) {
      error = "bad port '" + portText + "'";
      return std::nullopt;
    }
    url.port = port;
  }
  return url;
}

}  // namespace events
