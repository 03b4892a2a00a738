#pragma once
// "Config.ini": the settings of the code output, eight lines of "KEY=0|1" and "KEY:text"
// ended by "\r\n". Pure bytes in, fields out, and back; the main window maps the fields to
// its controls and the file is read and saved through platform/linux/AppFiles.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace app {

struct OutputSettings {
  // Characters of a prefix or suffix written to the file, and taken from it.
  static constexpr size_t kMaxSavedText = 19;
  static constexpr size_t kMaxLoadedText = 20;
  // Config.ini as the program writes it holds about 120 bytes, and one edited by hand a few
  // more. Only this much of the file is read, so that a file that is no settings file (a
  // log or an image saved under the name) cannot hold up the start.
  static constexpr size_t kMaxFileBytes = size_t{1} << 20;

  // Each field is what the file said last; empty where it said nothing, so the control
  // keeps its state.
  std::optional<bool> noSpace, addCr, addTab, prefix, suffix, autoHide;
  std::optional<std::string> prefixText, suffixText;
  // Some "AUTOHIDE=" in the file asked to hide, even if a later one took it back: the window
  // hides as it reads it.
  bool hideRequested = false;

  // Reads the file's tokens: runs without white space of at most 31 characters (a longer
  // run is read as several tokens, so nothing overruns). A token that starts with a key
  // sets that field; a flag is off only when its value starts with '0'. Anything else is
  // ignored.
  static OutputSettings Parse(std::string_view bytes);

  // The file's eight lines; a field without a value is written as off or empty. Texts are
  // cut to kMaxSavedText characters and end at a NUL.
  std::string Serialize() const;
};

}  // namespace app
