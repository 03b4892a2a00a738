#pragma once
// The command line of pelmor.

#include <optional>
#include <string>
#include <vector>

struct Options {
  std::string port;         // --port DEVICE
  bool listPorts = false;   // --list-ports
  bool simulate = false;    // --simulate
  bool headless = false;    // --headless
  std::string appDir;       // --app-dir DIR
  std::string power;        // --power MODE: sim, gpio:CHIP:LINE, always-on
  std::string keys;         // --keys MODE: xtest, uinput, none
  std::string scanDevice;   // --scan-device DEV
  bool help = false;
  bool version = false;
};

// Parses the arguments after the program name. Returns an error text for the user, or
// nothing when the command line is good.
std::optional<std::string> ParseOptions(const std::vector<std::string>& args, Options& options);

// The text of --help.
std::string UsageText();
