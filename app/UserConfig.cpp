#include "app/UserConfig.h"

#include <system_error>

namespace app {
namespace {

constexpr size_t kMaxConfigBytes = 64 * 1024;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Calls visit(line) for each line of the text, without its '\n'.
template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    visit(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

bool HasKey(std::string_view line, std::string_view key) {
  const size_t eq = line.find('=');
  return eq != std::string_view::npos && Trim(line.substr(0, eq)) == key;
}

}  // namespace

std::filesystem::path UserConfigFile(const char* xdgConfigHome, const char* home) {
  std::filesystem::path folder;
  if (xdgConfigHome && std::filesystem::path(xdgConfigHome).is_absolute()) {
    folder = xdgConfigHome;
  } else if (home && std::filesystem::path(home).is_absolute()) {
    folder = std::filesystem::path(home) / ".config";
  } else {
    return {};
  }
  return folder / "pelmor" / "pelmor.conf";
}

std::optional<std::string> ConfigValue(std::string_view text, std::string_view key) {
  std::optional<std::string> value;
  ForEachLine(text, [&](std::string_view line) {
    if (HasKey(line, key)) value = std::string(Trim(line.substr(line.find('=') + 1)));
  });
  return value;
}

std::string WithConfigValue(std::string_view text, std::string_view key, std::string_view value) {
  std::string out;
  bool written = false;
  ForEachLine(text, [&](std::string_view line) {
    if (HasKey(line, key)) {
      if (written) return;
      written = true;
      out.append(key).append("=").append(value).append("\n");
      return;
    }
    out.append(line).append("\n");
  });
  if (!written) out.append(key).append("=").append(value).append("\n");
  return out;
}

std::string RememberedPort(const std::filesystem::path& file) {
  if (file.empty()) return {};
  std::string text;
  if (!platform::ReadAppFile(file, kMaxConfigBytes, text).Ok()) return {};
  return ConfigValue(text, kPortKey).value_or(std::string());
}

platform::FileResult RememberPort(const std::filesystem::path& file, const std::string& device) {
  if (file.empty()) return platform::FileResult::Failure("no configuration folder");
  if (device.empty() || device.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    return platform::FileResult::Failure("not a port name");
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  if (ec) return platform::FileResult::Failure(ec.message());
  std::string text;
  const platform::FileResult read = platform::ReadAppFile(file, kMaxConfigBytes, text);
  if (!read.Ok() && !read.Missing()) return read;
  return platform::ReplaceAppFile(file, WithConfigValue(text, kPortKey, device));
}

}  // namespace app
