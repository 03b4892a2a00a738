// pelmor.conf: where it lives, its key=value lines, and the port kept in it.

#include "app/UserConfig.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "tests/support/TempDir.h"

namespace {

std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(UserConfig, FileFromTheEnvironment) {
  struct Case {
    const char* xdg;
    const char* home;
    std::string file;
  } cases[] = {
      {"/x/conf", "/home/u", "/x/conf/pelmor/pelmor.conf"},
      {nullptr, "/home/u", "/home/u/.config/pelmor/pelmor.conf"},
      {"", "/home/u", "/home/u/.config/pelmor/pelmor.conf"},
      {"relative", "/home/u", "/home/u/.config/pelmor/pelmor.conf"},  // not absolute: ignored
      {nullptr, "relative", ""},
      {nullptr, nullptr, ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(app::UserConfigFile(c.xdg, c.home).string(), c.file) << (c.xdg ? c.xdg : "(null)");
}

TEST(UserConfig, ValuesAreReadAndWrittenLineByLine) {
  EXPECT_EQ(app::ConfigValue("port=/dev/ttyUSB1\n", "port"), "/dev/ttyUSB1");
  EXPECT_EQ(app::ConfigValue(" port = /dev/a \r\nport=/dev/b", "port"), "/dev/b");  // the last one
  EXPECT_EQ(app::ConfigValue("# port=/dev/a\nports=/dev/b\n", "port"), std::nullopt);
  EXPECT_EQ(app::ConfigValue("port=\n", "port"), "");

  // Other lines are kept in their place; a second line of the key goes.
  EXPECT_EQ(app::WithConfigValue("# mine\nkeymap=de\nport=/dev/a\nport=/dev/b\nx", "port", "/dev/c"),
            "# mine\nkeymap=de\nport=/dev/c\nx\n");
  EXPECT_EQ(app::WithConfigValue("keymap=de", "port", "/dev/c"), "keymap=de\nport=/dev/c\n");
  EXPECT_EQ(app::WithConfigValue("", "port", "/dev/c"), "port=/dev/c\n");
}

TEST(UserConfig, ThePortIsRememberedInItsOwnFolder) {
  testing_rig::TempDir dir;
  const std::filesystem::path file = dir.Path() / "config" / "pelmor" / "pelmor.conf";
  EXPECT_EQ(app::RememberedPort(file), "");  // nothing yet

  ASSERT_TRUE(app::RememberPort(file, "/dev/serial/by-id/usb-reader").Ok());
  EXPECT_EQ(app::RememberedPort(file), "/dev/serial/by-id/usb-reader");
  // Written again: the file keeps one port line and whatever else it held.
  std::ofstream(file, std::ios::app) << "key-delay=30\n";
  ASSERT_TRUE(app::RememberPort(file, "/dev/ttyACM0").Ok());
  EXPECT_EQ(Slurp(file), "port=/dev/ttyACM0\nkey-delay=30\n");

  // A name that would break the file is refused and the file stays.
  EXPECT_FALSE(app::RememberPort(file, "/dev/x\nport=/evil").Ok());
  EXPECT_FALSE(app::RememberPort(file, "").Ok());
  EXPECT_EQ(app::RememberedPort(file), "/dev/ttyACM0");
  // No folder for it: said, not thrown.
  EXPECT_FALSE(app::RememberPort({}, "/dev/ttyACM0").Ok());
  // A folder put where the file belongs is not read as a port.
  std::filesystem::create_directories(dir.Path() / "d" / "pelmor.conf");
  EXPECT_EQ(app::RememberedPort(dir.Path() / "d" / "pelmor.conf"), "");
}

}  // namespace
