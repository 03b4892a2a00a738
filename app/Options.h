#pragma once
// The command line of pelmor.

#include <optional>
#include <string>
#include <vector>

struct Options {
  std::string port;        // --port DEVICE
  bool listPorts = false;  // --list-ports
  bool simulate = false;   // --simulate
  bool headless = false;   // --headless
  std::string appDir;      // --app-dir DIR
  std::string power;       // --power MODE: sim, gpio:CHIP:LINE, always-on
  std::string keys;        // --keys MODE: xtest, uinput, none
  std::string keymap;      // --keymap LAYOUT[:VARIANT]: the layout uinput types for
  int keyDelayMs = 0;      // --key-delay MS: 0 to 1000 between key events
  std::string scanDevice;  // --scan-device DEV, or "auto"
  std::string scanKey;     // --scan-key NAME: the scan button's key on --scan-device
  std::string events;      // --events FILE, "-" for standard output
  std::string history;     // --history FILE, or "none"; empty: reads.csv in the data folder
  std::string mqtt;        // --mqtt URL
  bool help = false;
  bool version = false;
};

// Parses the arguments after the program name. Returns an error text for the user, or
// nothing when the command line is good.
std::optional<std::string> ParseOptions(const std::vector<std::string>& args, Options& options);

// The text of --help.
std::string UsageText();

// The key output to use without --keys, and why, for the message when it is not available.
struct KeyOutputChoice {
  std::string mode;  // xtest, uinput or none
  std::string why;
};
// XTest reaches only X11 programs, so a Wayland session types through uinput: the session's
// type (XDG_SESSION_TYPE) decides, else whether WAYLAND_DISPLAY or DISPLAY is set (null: not
// set). The headless terminal, and windows without either display, type nothing.
KeyOutputChoice DefaultKeyOutput(bool headless, const char* sessionType, const char* waylandDisplay,
                                 const char* display);
