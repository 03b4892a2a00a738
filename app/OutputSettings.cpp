#include "app/OutputSettings.h"

namespace app {

namespace {

constexpr size_t kMaxToken = 31;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

}  // namespace

OutputSettings OutputSettings::Parse(std::string_view bytes) {
  OutputSettings s;
  const struct {
    std::string_view key;
    std::optional<bool> OutputSettings::*flag;
    std::optional<std::string> OutputSettings::*text;
  } keys[] = {{"NO_SPACE=", &OutputSettings::noSpace, nullptr},  {"ADD_CR=", &OutputSettings::addCr, nullptr},
              {"ADD_TAB=", &OutputSettings::addTab, nullptr},    {"PREFIX=", &OutputSettings::prefix, nullptr},
              {"PREFIX:", nullptr, &OutputSettings::prefixText}, {"SUFFIX=", &OutputSettings::suffix, nullptr},
              {"SUFFIX:", nullptr, &OutputSettings::suffixText}, {"AUTOHIDE=", &OutputSettings::autoHide, nullptr}};

  auto apply = [&](std::string_view token) {
    for (const auto& k : keys) {
      if (token.substr(0, k.key.size()) != k.key) continue;
      const std::string_view value = token.substr(k.key.size());
      if (k.text) {
        s.*k.text = std::string(value.substr(0, kMaxLoadedText));
      } else {
        const bool on = value.empty() || value[0] != '0';
        s.*k.flag = on;
        if (k.flag == &OutputSettings::autoHide && on) s.hideRequested = true;
      }
      return;
    }
  };

  size_t start = 0;
  for (size_t i = 0; i <= bytes.size(); ++i) {
    const bool end = i == bytes.size() || IsSpace(bytes[i]);
    if (!end && i - start < kMaxToken) continue;
    if (i > start) apply(bytes.substr(start, i - start));
    start = end ? i + 1 : i;
  }
  return s;
}

std::string OutputSettings::Serialize() const {
  std::string out;
  auto flag = [&](const char* key, const std::optional<bool>& on) {
    out += key;
    out += on.value_or(false) ? "1\r\n" : "0\r\n";
  };
  auto text = [&](const char* key, const std::optional<std::string>& value) {
    // A NUL ends the text: what follows it was never part of the prefix or suffix typed.
    const std::string& whole = value ? *value : std::string();
    const std::string_view kept = std::string_view(whole).substr(0, kMaxSavedText);
    out += key;
    out += kept.substr(0, kept.find('\0'));
    out += "\r\n";
  };
  flag("NO_SPACE=", noSpace);
  flag("ADD_CR=", addCr);
  flag("ADD_TAB=", addTab);
  flag("PREFIX=", prefix);
  text("PREFIX:", prefixText);
  flag("SUFFIX=", suffix);
  text("SUFFIX:", suffixText);
  flag("AUTOHIDE=", autoHide);
  return out;
}

}  // namespace app
