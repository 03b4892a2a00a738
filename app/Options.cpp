#include "app/Options.h"

#include "events/MqttUrl.h"

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

// LAYOUT[:VARIANT] as the system's keyboard settings write them: letters, digits, '_' and
// '-', a comma between the layouts of a list ("us,de").
bool ValidKeymap(const std::string& text) {
  const size_t colon = text.find(':');
  const std::string layout = text.substr(0, colon);
  const std::string variant = colon == std::string::npos ? "" : text.substr(colon + 1);
  auto allowed = [](const std::string& part) {
    for (char c : part) {
      const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                      c == '-' || c == ',';
      if (!ok) return false;
    }
    return true;
  };
  if (layout.empty() || (colon != std::string::npos && variant.empty())) return false;
  return allowed(layout) && allowed(variant);
}

// A whole number within [low, high], nothing else.
std::optional<int> BoundedNumber(const std::string& text, int low, int high) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

// A key's name as the kernel's input headers spell it (KEY_F24, BTN_TRIGGER), or its number.
bool ValidKeyName(const std::string& name) {
  for (char c : name) {
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

constexpr int kMaxKeyDelayMs = 1000;

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
    } else if (a == "--keymap") {
      error = value(options.keymap);
      if (!error && !ValidKeymap(options.keymap))
        error = "--keymap takes LAYOUT[:VARIANT] such as fr or de:nodeadkeys, not '" + options.keymap + "'";
    } else if (a == "--key-delay") {
      std::string text;
      error = value(text);
      const std::optional<int> ms = error ? std::nullopt : BoundedNumber(text, 0, kMaxKeyDelayMs);
      if (!error && !ms) error = "--key-delay takes milliseconds from 0 to 1000, not '" + text + "'";
      if (ms) options.keyDelayMs = *ms;
    } else if (a == "--scan-device") {
      error = value(options.scanDevice);
    } else if (a == "--scan-key") {
      error = value(options.scanKey);
      if (!error && !ValidKeyName(options.scanKey))
        error = "--scan-key takes a key name such as KEY_F24 or BTN_TRIGGER, or a key number, not '" + options.scanKey +
                "'";
    } else if (a == "--events") {
      error = value(options.events);
    } else if (a == "--history") {
      error = value(options.history);
    } else if (a == "--mqtt") {
      error = value(options.mqtt);
      std::string why;
      if (!error && !events::MqttUrl::Parse(options.mqtt, why)) error = "--mqtt " + options.mqtt + ": " + why;
    } else if (a == "--help" || a == "-h") {
      options.help = true;
    } else if (a == "--version") {
      options.version = true;
    } else {
      error = "unknown option '" + a + "' (see --help)";
    }
    if (error) return error;
  }
  if (options.simulate && !options.port.empty()) return std::string("--simulate and --port exclude each other");
  if (options.power == "sim" && !options.simulate) return std::string("--power sim needs --simulate");
  if (!options.scanKey.empty() && options.scanDevice.empty())
    return std::string("--scan-key needs --scan-device (the X server's scan key is always F24)");
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
         "  --keys MODE        key output: xtest, uinput or none (default: xtest on an\n"
         "                     X11 session, uinput on a Wayland session, none headless)\n"
         "  --keymap L[:V]     keyboard layout uinput types for, such as fr or\n"
         "                     de:nodeadkeys (default: $XKB_DEFAULT_LAYOUT, else\n"
         "                     /etc/default/keyboard, else us)\n"
         "  --key-delay MS     wait between key events, 0 to 1000 (default 0)\n"
         "  --scan-device DEV  input device of a scan button (/dev/input/eventN), or\n"
         "                     auto: the first one with the scan key\n"
         "  --scan-key NAME    the scan button's key on that device (default KEY_F24)\n"
         "  --events FILE      append every event as a JSON line to FILE (- for standard\n"
         "                     output)\n"
         "  --history FILE     the scan history, a CSV file (default: reads.csv in the\n"
         "                     data folder; none: no history)\n"
         "  --mqtt URL         publish the events to an MQTT broker:\n"
         "                     mqtt[s]://[user[:password]@]host[:port]/topic-prefix\n"
         "                     (password also from $PELMOR_MQTT_PASSWORD)\n"
         "  --help             this text\n"
         "  --version          the program's version\n";
}

KeyOutputChoice DefaultKeyOutput(bool headless, const char* sessionType, const char* waylandDisplay,
                                 const char* display) {
  auto set = [](const char* v) { return v != nullptr && *v != '\0'; };
  if (headless) return {"none", "the headless terminal"};
  const std::string session = set(sessionType) ? sessionType : "";
  if (session == "wayland") return {"uinput", "a Wayland session (XDG_SESSION_TYPE=wayland)"};
  if (session == "x11" && set(display)) return {"xtest", "an X11 session (XDG_SESSION_TYPE=x11)"};
  if (set(waylandDisplay)) return {"uinput", "a Wayland session (WAYLAND_DISPLAY=" + std::string(waylandDisplay) + ")"};
  if (set(display)) return {"xtest", "an X display (DISPLAY=" + std::string(display) + ")"};
  return {"none", "no X11 or Wayland session"};
}
