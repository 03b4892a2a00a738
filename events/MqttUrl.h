#pragma once
// The broker to publish to: mqtt://[user[:password]@]host[:port]/topic-prefix, or mqtts://
// for TLS with the system's certificate authorities.

#include <optional>
#include <string>

namespace events {

struct MqttUrl {
  bool tls = false;
  std::string user, password;  // empty: none
  std::string host;
  int port = 0;
  std::string prefix;  // the topics are prefix/event

  // Null with the reason in error for anything else. User and password may hold
  // %-escapes (%40 for '@').
  static std::optional<MqttUrl> Parse(const std::string& text, std::string& error);
};

}  // namespace events
