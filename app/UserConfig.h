#pragma once
// The program's own settings beside Config.ini: pelmor.conf in the user's configuration
// folder, a small text file of "key=value" lines. It holds what belongs to the desktop user
// rather than to the reader's options, such as the port that last worked.
//
// Lines that are not "key=value", and keys the program does not know, are kept as they are
// when a value is written, so that another version's settings survive.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/AppFiles.h"

namespace app {

// The file: $XDG_CONFIG_HOME/pelmor/pelmor.conf when that is an absolute path, else
// $HOME/.config/pelmor/pelmor.conf; empty when neither gives an absolute folder.
std::filesystem::path UserConfigFile(const char* xdgConfigHome, const char* home);

// The value of `key` in the text of the file: the last line "key=value" with that key, its
// value without the line end; spaces around key and value are not part of them.
std::optional<std::string> ConfigValue(std::string_view text, std::string_view key);

// The text with `key` set to `value`: the first line of that key replaced, later ones
// dropped, or a line added at the end. Every line ends with '\n'.
std::string WithConfigValue(std::string_view text, std::string_view key, std::string_view value);

// The key of the port that last worked.
inline constexpr std::string_view kPortKey = "port";

// The port remembered in the file; empty when there is none or the file cannot be read.
std::string RememberedPort(const std::filesystem::path& file);

// Writes the port into the file, making its folder when missing. A value with a line end
// or a NUL cannot be kept and is refused.
platform::FileResult RememberPort(const std::filesystem::path& file, const std::string& device);

}  // namespace app
