#include "app/Options.h"

namespace {

bool ValidPower(const std::string& mode) {
  if (mode == "sim" || mode == "always-on" || mode == "slot") return true;
  // gpio:CHIP:LINE with a chip name and a line number.
  if (mode.rfind("gpio:", 0) != 0) return false;
  const std::string rest = mode.substr(5);
  const size_t colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= rest.size()) return false;
  for (size_t i = colon + 1; i < rest.size(); ++i)
    if (rest[i] < '0' || rest[i] > '9') return false;
  return true;
}

}  // namespace

std::optional<std::string> ParseOptions(const std::vector<std::string>& args, Options& options) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) -> std::optional<std::string> {
      if (i + 1 >= args.size()) return a + " needs a value";
      out = args[++i];
      if (out.empty()) return a + " needs a value";
      return std::nullopt;
    };
    std::optional<std::string> error;
    if (a == "--port") {
      error = value(options.port);
    } else if (a == "--list-ports") {
      options.listPorts = true;
    } else if (a == "--simulate") {
      options.simulate = true;
    } else if (a == "--headless") {
      options.headless = true;
    } else if (a == "--app-dir") {
      error = value(options.appDir);
    } else if (a == "--power") {
      error = value(options.power);
      if (!error && !ValidPower(options.power))
        error = "--power takes sim, always-on, slot or gpio:CHIP:LINE, not '" + options.power + "'";
    } else if (a == "--keys") {
      error = value(options.keys);
      if (!error && options.keys != "xtest" && options.keys != "uinput" && options.keys != "none")
        error = "--keys takes xtest, uinput or none, not '" + options.keys + "'";
    } else if (a == "--scan-device") {
      error = value(options.scanDevice);
    } else if (a == "--help" || a == "-h") {
      options.help = true;
    } else if (a == "--version") {
      options.version = true;
    } else {
      error = "unknown option '" + a + "' (see --help)";
    }
    if (error) return error;
  }
  if (options.simulate && !options.port.empty())
    return std::string("--simulate and --port exclude each other");
  if (options.power == "sim" && !options.simulate)
    return std::string("--power sim needs --simulate");
  return std::nullopt;
}

std::string UsageText() {
  return "Usage: pelmor [OPTIONS]\n"
         "Terminal for a low-frequency RFID reader module on a serial line.\n"
         "\n"
         "  --port DEVICE      serial device of the reader (default: $PELMOR_PORT, else\n"
         "                     the first USB serial device, else /dev/ttyUSB0)\n"
         "  --list-ports       list the serial devices present and end\n"
         "  --simulate         use the built-in reader emulator instead of a reader\n"
         "  --headless         no windows: the log on standard output, commands on\n"
         "                     standard input (click 102:1011, check 102:1059 1,\n"
         "                     text 102:1043 41:42, key F24 down, answer no, quit)\n"
         "  --app-dir DIR      folder of Config.ini, TrCode.txt, Sound/ and firmware\n"
         "                     files (default: the program's folder in its build tree,\n"
         "                     $XDG_DATA_HOME/pelmor or ~/.local/share/pelmor when installed)\n"
         "  --power MODE       reader supply: sim, always-on or gpio:CHIP:LINE\n"
         "                     (default: sim with --simulate, otherwise always-on)\n"
         "  --keys MODE        key output: xtest, uinput or none\n"
         "  --scan-device DEV  input device of a scan button (/dev/input/eventN)\n"
         "  --help             this text\n"
         "  --version          the program's version\n";
}
