#include "app/Options.h"

#include <gtest/gtest.h>

namespace {

TEST(Options, Good) {
  Options o;
  EXPECT_EQ(ParseOptions({"--port", "/dev/ttyUSB1", "--headless", "--app-dir", "/tmp/x", "--power", "gpio:gpiochip0:17",
                          "--keys", "uinput", "--scan-device", "/dev/input/event3"},
                         o),
            std::nullopt);
  EXPECT_EQ(o.port, "/dev/ttyUSB1");
  EXPECT_TRUE(o.headless);
  EXPECT_FALSE(o.simulate);
  EXPECT_EQ(o.appDir, "/tmp/x");
  EXPECT_EQ(o.power, "gpio:gpiochip0:17");
  EXPECT_EQ(o.keys, "uinput");
  EXPECT_EQ(o.scanDevice, "/dev/input/event3");

  Options s;
  EXPECT_EQ(ParseOptions({"--simulate", "--power", "sim"}, s), std::nullopt);
  EXPECT_TRUE(s.simulate);
  EXPECT_FALSE(s.listPorts);

  Options l;
  EXPECT_EQ(ParseOptions({"--list-ports"}, l), std::nullopt);
  EXPECT_TRUE(l.listPorts);
  EXPECT_TRUE(l.port.empty());
}

TEST(Options, KeyOutputAndScanDevice) {
  Options o;
  EXPECT_EQ(ParseOptions({"--keymap", "de:nodeadkeys", "--key-delay", "1000", "--scan-device", "auto", "--scan-key",
                          "BTN_TRIGGER"},
                         o),
            std::nullopt);
  EXPECT_EQ(o.keymap, "de:nodeadkeys");
  EXPECT_EQ(o.keyDelayMs, 1000);
  EXPECT_EQ(o.scanDevice, "auto");
  EXPECT_EQ(o.scanKey, "BTN_TRIGGER");
  Options d;
  EXPECT_EQ(ParseOptions({"--keymap", "us,de", "--key-delay", "0"}, d), std::nullopt);
  EXPECT_EQ(d.keyDelayMs, 0);
  EXPECT_EQ(ParseOptions({"--key-delay", "030", "--scan-device", "/dev/input/event3", "--scan-key", "194"}, d),
            std::nullopt);
  EXPECT_EQ(d.keyDelayMs, 30);
}

TEST(Options, DefaultKeyOutputFollowsTheSession) {
  struct Row {
    bool headless;
    const char* session;
    const char* wayland;
    const char* display;
    const char* mode;
  };
  // Wayland sessions set DISPLAY too, for their X11 programs (Xwayland).
  const Row rows[] = {
      {false, "wayland", "wayland-0", ":0", "uinput"},
      {false, "wayland", nullptr, ":0", "uinput"},
      {false, "x11", nullptr, ":0", "xtest"},
      {false, "x11", "wayland-1", ":0", "xtest"},  // a nested compositor's variable
      {false, nullptr, "wayland-0", ":1", "uinput"},
      {false, "tty", "", ":1", "xtest"},
      {false, nullptr, nullptr, ":1", "xtest"},
      {false, nullptr, nullptr, nullptr, "none"},
      {true, "wayland", "wayland-0", ":0", "none"},
  };
  for (const Row& row : rows) {
    const KeyOutputChoice choice = DefaultKeyOutput(row.headless, row.session, row.wayland, row.display);
    EXPECT_EQ(choice.mode, row.mode) << "row #" << (&row - rows);
    EXPECT_FALSE(choice.why.empty());
  }
  EXPECT_NE(DefaultKeyOutput(false, "wayland", nullptr, ":0").why.find("XDG_SESSION_TYPE=wayland"), std::string::npos);
}

TEST(Options, Bad) {
  const std::vector<std::vector<std::string>> cases = {
      {"--port"},
      {"--port", ""},
      {"--bogus"},
      {"--power", "gpio:chip"},
      {"--power", "gpio:chip:x"},
      {"--power", "mains"},
      {"--power", "sim"},  // needs the emulator
      {"--keys", "morse"},
      {"--keymap", ""},
      {"--keymap", ":nodeadkeys"},
      {"--keymap", "de:"},
      {"--keymap", "fr;rm -rf"},
      {"--keymap", "de:nodead:keys"},
      {"--key-delay", "1001"},
      {"--key-delay", "-1"},
      {"--key-delay", "30ms"},
      {"--key-delay", "99999999999"},
      {"--key-delay"},
      {"--scan-key", "KEY_F24"},  // without --scan-device
      {"--scan-device", "auto", "--scan-key", "key f24"},
      {"--simulate", "--port", "/dev/ttyS0"},
  };
  for (const auto& args : cases) {
    Options o;
    EXPECT_NE(ParseOptions(args, o), std::nullopt) << args[0];
  }
}

}  // namespace
