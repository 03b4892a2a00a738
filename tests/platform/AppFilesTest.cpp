// The files of the application folder: reads that cannot block or run away, saves that
// keep links, modes and foreign files intact.

#include "platform/linux/AppFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using platform::FileResult;
using testing_rig::TempDir;

void Write(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(AppFiles, SpecialFilesAreRefusedAtOnceAndBigOnesReadOnlyInPart) {
  TempDir dir;
  const fs::path fifo = dir.Path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", dir.Path() / "zero");
  fs::create_directory(dir.Path() / "folder");
  // Each of these used to block for good (FIFO) or read without end (/dev/zero).
  for (const char* name : {"fifo", "zero", "folder"}) {
    std::string bytes = "old";
    const FileResult r = platform::ReadAppFile(dir.Path() / name, 1024, bytes);
    EXPECT_FALSE(r.Ok()) << name;
    EXPECT_FALSE(r.Missing()) << name;
    EXPECT_EQ(r.reason, "not a regular file") << name;
    EXPECT_TRUE(bytes.empty()) << name;
    platform::UniqueFd fd;
    EXPECT_FALSE(platform::OpenAppFile(dir.Path() / name, platform::FileAccess::Append, fd).Ok()) << name;
  }
  std::string bytes;
  EXPECT_TRUE(platform::ReadAppFile(dir.Path() / "none", 10, bytes).Missing());

  // A sparse file of 4 GiB gives its first bytes only.
  const fs::path big = dir.Path() / "big";
  Write(big, "head");
  fs::resize_file(big, 4ull << 30);
  ASSERT_TRUE(platform::ReadAppFile(big, 100, bytes).Ok());
  EXPECT_EQ(bytes.size(), 100u);
  EXPECT_EQ(bytes.substr(0, 4), "head");
}

TEST(AppFiles, ReplaceKeepsLinksModesAndPlantedFiles) {
  TempDir dir;
  const fs::path elsewhere = dir.Path() / "elsewhere";
  fs::create_directory(elsewhere);
  Write(elsewhere / "real.ini", "old");
  ::chmod((elsewhere / "real.ini").c_str(), 0640);
  const fs::path link = dir.Path() / "Config.ini";
  fs::create_symlink(elsewhere / "real.ini", link);
  // A link planted under the name the program once used for its temporary file.
  Write(dir.Path() / "victim", "keep me");
  fs::create_symlink(dir.Path() / "victim", dir.Path() / "Config.ini.new");

  ASSERT_TRUE(platform::ReplaceAppFile(link, "new").Ok());
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(Read(elsewhere / "real.ini"), "new");
  struct stat st {};
  ASSERT_EQ(::stat((elsewhere / "real.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(Read(dir.Path() / "victim"), "keep me");
  // No temporary file is left behind, beside the link or beside its target.
  EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere), fs::directory_iterator()), 1);

  // A new file is made with the usual mode; a folder under the name is refused.
  ASSERT_TRUE(platform::ReplaceAppFile(dir.Path() / "fresh", "x").Ok());
  EXPECT_EQ(Read(dir.Path() / "fresh"), "x");
  fs::create_directory(dir.Path() / "TrCode.txt");
  EXPECT_EQ(platform::ReplaceAppFile(dir.Path() / "TrCode.txt", "x").reason, "not a regular file");
  // A folder that is gone is said, not silently skipped.
  const FileResult gone = platform::ReplaceAppFile(dir.Path() / "gone" / "Config.ini", "x");
  EXPECT_FALSE(gone.Ok());
  EXPECT_FALSE(gone.Missing());
  EXPECT_FALSE(gone.reason.empty());
}

TEST(AppFiles, FileInAFolderThatTakesNoNewFileIsRewrittenInPlace) {
  TempDir dir;
  const fs::path folder = dir.Path() / "locked";
  fs::create_directory(folder);
  const fs::path file = folder / "Config.ini";
  Write(file, "old contents");
  ::chmod(file.c_str(), 0666);
  ::chmod(folder.c_str(), 0555);
  // Root may write anywhere: the save runs as an ordinary user then.
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::geteuid() == 0 && ::setresuid(65534, 65534, 65534) != 0) ::_exit(3);
    ::_exit(platform::ReplaceAppFile(file, "new").Ok() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Read(file), "new");
}

}  // namespace
