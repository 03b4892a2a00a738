// Firmware files on disk: record reads, exclusive opening, the list of the folder.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <string>
#include <vector>

#include "download/EhxFile.h"
#include "tests/app/Rig.h"

namespace download {
namespace {

using testing_rig::TempDir;

void Write(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Numbered(size_t n) {
  std::string text;
  for (size_t i = 0; i < n; ++i) text.push_back(static_cast<char>('A' + i % 26));
  return text;
}

TEST(EhxFile, ReadsRecordsUntilTheEnd) {
  TempDir dir;
  const std::string bytes = Numbered(100);
  Write(dir.Path() / "f.EHX", bytes);
  EhxFile file;
  ASSERT_TRUE(file.Open(dir.Path() / "f.EHX"));
  EXPECT_EQ(file.Length(), 100u);
  std::array<uint8_t, 44> buffer{};
  const size_t expected[] = {44, 44, 12, 0, 0};
  uint64_t position = 0;
  for (size_t got : expected) {
    EXPECT_EQ(file.Position(), position);
    ASSERT_EQ(file.Read(buffer), got);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got)),
              bytes.substr(position, got));
    position += got;
  }
  ASSERT_TRUE(file.Seek(50));
  EXPECT_EQ(file.Read(buffer), 44u);
  EXPECT_EQ(buffer[0], static_cast<uint8_t>(bytes[50]));
  EXPECT_TRUE(file.Seek(1000));  // beyond the end: nothing more to read
  EXPECT_EQ(file.Read(buffer), 0u);

  file.Close();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Read(buffer), 0u);
  EXPECT_EQ(file.Length(), 0u);
  EXPECT_EQ(file.Position(), 0u);
  EXPECT_FALSE(file.Seek(0));
  file.Close();  // nothing to close: nothing happens
}

TEST(EhxFile, HeldByOneOpenerAtATime) {
  TempDir dir;
  Write(dir.Path() / "f.EHX", Numbered(44));
  EhxFile first;
  EhxFile second;
  ASSERT_TRUE(first.Open(dir.Path() / "f.EHX"));
  EXPECT_FALSE(second.Open(dir.Path() / "f.EHX"));
  // Moving keeps the hold; the file is free once its last owner closes it.
  EhxFile moved(std::move(first));
  EXPECT_FALSE(first.IsOpen());
  EXPECT_TRUE(moved.IsOpen());
  EXPECT_FALSE(second.Open(dir.Path() / "f.EHX"));
  moved.Close();
  EXPECT_TRUE(second.Open(dir.Path() / "f.EHX"));
}

TEST(EhxFile, OnlyRegularFilesOpen) {
  TempDir dir;
  std::filesystem::create_directory(dir.Path() / "folder.EHX");
  ASSERT_EQ(::mkfifo((dir.Path() / "pipe.EHX").c_str(), 0600), 0);
  Write(dir.Path() / "good", "x");
  EhxFile file;
  EXPECT_FALSE(file.Open(dir.Path() / "folder.EHX"));
  EXPECT_FALSE(file.Open(dir.Path() / "pipe.EHX"));  // returns at once, without a writer
  EXPECT_FALSE(file.Open(dir.Path() / "missing.EHX"));
  EXPECT_FALSE(file.Open(std::filesystem::path(std::string("good\0x", 6))));
  EXPECT_FALSE(file.Open({}));
  EXPECT_TRUE(file.Open(dir.Path() / "good"));
  // A failed open closes what was open before.
  EXPECT_FALSE(file.Open(dir.Path() / "missing.EHX"));
  EXPECT_FALSE(file.IsOpen());
}

TEST(EhxFile, FirmwareExtension) {
  const struct {
    const char* name;
    bool firmware;
  } cases[] = {
      {"image.EHX", true},  {".EHX", true},  {"a.b.EHX", true},    {"image.ehx", false},
      {"image.Ehx", false}, {"EHX", false},  {"a.EHX.bak", false}, {"a.EHX ", false},
      {"a.", false},        {"aEHX", false}, {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(HasFirmwareExtension(c.name), c.firmware) << c.name;
}

TEST(EhxFile, PathIsTheFolderAndTheTypedName) {
  EXPECT_EQ(FirmwarePath("/opt/app", "a.EHX"), "/opt/app/a.EHX");
  EXPECT_EQ(FirmwarePath("/opt/app/", "a.EHX"), "/opt/app/a.EHX");
  EXPECT_EQ(FirmwarePath("/opt/app", "/etc/a"), "/opt/app//etc/a");
  EXPECT_EQ(FirmwarePath("", "a.EHX"), "a.EHX");
}

TEST(EhxFileList, NamesWithTheExtensionOnly) {
  TempDir dir;
  for (const char* name : {"b.EHX", "a.ehx", ".EHX", "x.y.EHX", "EHX", "c.EHX.old", "d.txt"})
    Write(dir.Path() / name, "");
  std::filesystem::create_directory(dir.Path() / "sub.EHX");
  auto names = ListFirmwareFiles(dir.Path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".EHX", "b.EHX", "x.y.EHX"}));
  EXPECT_TRUE(ListFirmwareFiles(dir.Path() / "missing").empty());
}

// The folder's own order decides which entries are examined; the test asks the system for
// that order and checks the list against the rule applied to it.
std::vector<std::string> FirstEntries(const std::filesystem::path& folder, size_t count) {
  std::vector<std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entries.size() == count) break;
    entries.push_back(entry.path().filename().native());
  }
  return entries;
}

TEST(EhxFileList, TwentyEntriesAreExaminedDirectoriesIncluded) {
  TempDir dir;
  // Thirty directories and ten files, made interleaved, so that in creation order, in its
  // reverse and in all but a tiny share of hashed orders some files lie beyond the
  // twentieth entry.
  for (int i = 0; i < 40; ++i) {
    const std::string name = (i % 4 == 3 ? "f" : "dir") + std::to_string(i) + ".EHX";
    if (name[0] == 'f') {
      Write(dir.Path() / name, "");
    } else {
      std::filesystem::create_directory(dir.Path() / name);
    }
  }
  const auto names = ListFirmwareFiles(dir.Path());
  std::vector<std::string> expected;
  for (const std::string& name : FirstEntries(dir.Path(), kMaxListedEntries))
    if (name[0] == 'f') expected.push_back(name);
  EXPECT_EQ(names, expected);    // in the folder's order, the first one first
  EXPECT_LT(names.size(), 10u);  // the directories used up part of the twenty
}

TEST(EhxFileList, FilesBeyondTheTwentiethEntryAreNotListed) {
  TempDir dir;
  for (int i = 0; i < 30; ++i) Write(dir.Path() / ("f" + std::to_string(i) + ".EHX"), "");
  const auto names = ListFirmwareFiles(dir.Path());
  EXPECT_EQ(names, FirstEntries(dir.Path(), kMaxListedEntries));
  EXPECT_EQ(names.size(), kMaxListedEntries);
}

}  // namespace
}  // namespace download
