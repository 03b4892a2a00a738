#include "app/Options.h"

#include <gtest/gtest.h>

namespace {

TEST(Options, Good) {
  Options o;
  EXPECT_EQ(ParseOptions({"--port", "/dev/ttyUSB1", "--headless", "--app-dir", "/tmp/x",
                          "--power", "gpio:gpiochip0:17", "--keys", "uinput", "--scan-device",
                          "/dev/input/event3"},
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
      {"--simulate", "--port", "/dev/ttyS0"},
  };
  for (const auto& args : cases) {
    Options o;
    EXPECT_NE(ParseOptions(args, o), std::nullopt) << args[0];
  }
}

}  // namespace
