// Where the program keeps its files: installed or in its build tree, the XDG data folder, and
// the first start that gives the user's folder its sounds.

#include "app/DataFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/app/Rig.h"

namespace {

namespace fs = std::filesystem;

void Write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

std::string Read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(DataFolder, InstalledOrBuildTree) {
  testing_rig::TempDir dir;
  const fs::path prefix = dir.Path() / "usr";
  fs::create_directories(prefix / "bin");
  fs::create_directories(prefix / "share/pelmor/Sound");
  const app::InstallLayout layout;
  EXPECT_EQ(app::InstalledShareFolder(prefix / "bin", layout), prefix / "share/pelmor");

  // A build tree: the programs in build/release, nothing shared beside it.
  fs::create_directories(dir.Path() / "build/release");
  EXPECT_EQ(app::InstalledShareFolder(dir.Path() / "build/release", layout), std::nullopt);
  // A build tree next to an installation into build/: the folder name tells them apart.
  fs::create_directories(dir.Path() / "build/share/pelmor/Sound");
  EXPECT_EQ(app::InstalledShareFolder(dir.Path() / "build/release", layout), std::nullopt);
  // A bin folder without the shared files (the sounds missing) is no installation of ours.
  fs::create_directories(dir.Path() / "opt/bin");
  fs::create_directories(dir.Path() / "opt/share/pelmor");
  EXPECT_EQ(app::InstalledShareFolder(dir.Path() / "opt/bin", layout), std::nullopt);

  // Another layout, as a distribution's games folder would make it.
  fs::create_directories(dir.Path() / "games/lib/pelmor/Sound");
  fs::create_directories(dir.Path() / "games/games");
  const app::InstallLayout games{"games", "../lib/pelmor"};
  EXPECT_EQ(app::InstalledShareFolder(dir.Path() / "games/games", games), dir.Path() / "games/lib/pelmor");
}

TEST(DataFolder, UserDataFolderFromTheEnvironment) {
  struct Case {
    const char* xdg;
    const char* home;
    std::optional<fs::path> expected;
  };
  const Case cases[] = {
      {"/x/data", "/home/ann", fs::path("/x/data/pelmor")},
      {"relative/data", "/home/ann", fs::path("/home/ann/.local/share/pelmor")},  // ignored
      {"", "/home/ann", fs::path("/home/ann/.local/share/pelmor")},
      {nullptr, "/home/ann", fs::path("/home/ann/.local/share/pelmor")},
      {"/x/data", nullptr, fs::path("/x/data/pelmor")},
      {nullptr, nullptr, std::nullopt},
      {nullptr, "", std::nullopt},
      {nullptr, "ann", std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(app::UserDataFolder(c.xdg, c.home), c.expected)
        << (c.xdg ? c.xdg : "(null)") << " " << (c.home ? c.home : "(null)");
}

TEST(DataFolder, ChooseAppFolders) {
  const fs::path exe = "/src/build/release";
  const fs::path share = "/usr/share/pelmor";
  const fs::path user = "/home/ann/.local/share/pelmor";

  // The build tree keeps using its own folder and the pictures the build copied there.
  auto f = app::ChooseAppFolders("", exe, std::nullopt, user);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->appDir, exe);
  EXPECT_EQ(f->pictureDir, exe / "resources");
  EXPECT_EQ(f->seedFrom, std::nullopt);

  // Installed: the user's folder, filled from the shared one.
  f = app::ChooseAppFolders("", "/usr/bin", share, user);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->appDir, user);
  EXPECT_EQ(f->pictureDir, share);
  EXPECT_EQ(f->seedFrom, share);

  // --app-dir wins in both cases and is used as it is; the pictures stay where they are.
  f = app::ChooseAppFolders("/srv/reader", "/usr/bin", share, user);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->appDir, "/srv/reader");
  EXPECT_EQ(f->pictureDir, share);
  EXPECT_EQ(f->seedFrom, std::nullopt);
  f = app::ChooseAppFolders("/srv/reader", exe, std::nullopt, user);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->appDir, "/srv/reader");
  EXPECT_EQ(f->pictureDir, exe / "resources");

  // Installed without a home: only --app-dir helps.
  EXPECT_FALSE(app::ChooseAppFolders("", "/usr/bin", share, std::nullopt));
  EXPECT_TRUE(app::ChooseAppFolders("/srv/reader", "/usr/bin", share, std::nullopt));
  EXPECT_TRUE(app::ChooseAppFolders("", exe, std::nullopt, std::nullopt));
}

class FirstStart : public ::testing::Test {
 protected:
  FirstStart() {
    Write(share_ / "Sound/TagFound.wav", "RIFF tag found");
    Write(share_ / "Sound/NoTagFound.wav", "RIFF no tag");
    fs::create_directories(share_ / "Sound/not-a-sound-folder");
  }
  app::AppFolders Installed() const { return {user_, share_, share_}; }

  testing_rig::TempDir dir_;
  const fs::path share_ = dir_.Path() / "usr/share/pelmor";
  const fs::path user_ = dir_.Path() / "home/.local/share/pelmor";
};

TEST_F(FirstStart, MakesTheFolderAndCopiesTheSounds) {
  EXPECT_TRUE(app::PrepareDataFolder(Installed()).empty());
  EXPECT_TRUE(fs::is_directory(user_));
  EXPECT_EQ(Read(user_ / "Sound/TagFound.wav"), "RIFF tag found");
  EXPECT_EQ(Read(user_ / "Sound/NoTagFound.wav"), "RIFF no tag");
  // Only files are copied.
  EXPECT_FALSE(fs::exists(user_ / "Sound/not-a-sound-folder"));
  // The folder is the user's to write: the settings go there.
  Write(user_ / "Config.ini", "[x]");
  EXPECT_EQ(Read(user_ / "Config.ini"), "[x]");
}

TEST_F(FirstStart, KeepsTheUsersOwnSoundsAndAddsMissingOnes) {
  Write(user_ / "Sound/TagFound.wav", "my own beep");
  fs::create_symlink(dir_.Path() / "gone.wav", user_ / "Sound/NoTagFound.wav");
  Write(share_ / "Sound/StartScanning.wav", "RIFF start");
  EXPECT_TRUE(app::PrepareDataFolder(Installed()).empty());
  EXPECT_EQ(Read(user_ / "Sound/TagFound.wav"), "my own beep");
  // A link the user made stays a link, even when it leads nowhere.
  EXPECT_TRUE(fs::is_symlink(user_ / "Sound/NoTagFound.wav"));
  EXPECT_FALSE(fs::exists(dir_.Path() / "gone.wav"));
  EXPECT_EQ(Read(user_ / "Sound/StartScanning.wav"), "RIFF start");
  // A second start changes nothing.
  EXPECT_TRUE(app::PrepareDataFolder(Installed()).empty());
  EXPECT_EQ(Read(user_ / "Sound/TagFound.wav"), "my own beep");
}

TEST_F(FirstStart, ProblemsAreToldAndNothingElseHappens) {
  // A file where the folder should be.
  Write(dir_.Path() / "blocked", "");
  auto problems = app::PrepareDataFolder({dir_.Path() / "blocked/pelmor", share_, share_});
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("cannot make the folder " + (dir_.Path() / "blocked/pelmor").string()), std::string::npos)
      << problems[0];

  // The shared sounds are missing: the folder is made, the gap is told.
  problems = app::PrepareDataFolder({user_, share_, dir_.Path() / "nowhere"});
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("cannot read the folder " + (dir_.Path() / "nowhere/Sound").string()), std::string::npos)
      << problems[0];
  EXPECT_TRUE(fs::is_directory(user_ / "Sound"));

  // Without a shared folder to fill it from (the build tree, --app-dir), the folder itself is
  // still made, parents and all, so that settings can be saved into it; it gets no sounds.
  const fs::path other = dir_.Path() / "given/deeper";
  EXPECT_TRUE(app::PrepareDataFolder({other, share_, std::nullopt}).empty());
  EXPECT_TRUE(fs::is_directory(other));
  EXPECT_FALSE(fs::exists(other / "Sound"));
}

}  // namespace
