// The code list file "TrCode.txt": what the list shows for the file's bytes, and reads,
// appends and clears that neither block nor go astray, and say why when they fail.

#include "writetag/CodeListFile.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace writetag {
namespace {

namespace fs = std::filesystem;
using Entries = std::vector<std::string>;
using testing_rig::TempDir;

void Write(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Codes "C0", "C1", ... each ended by a carriage return.
std::string Codes(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += "C" + std::to_string(i) + "\r";
  return text;
}

TEST(CodeListParse, LinesWhereTheFileHasLineEndsElseWords) {
  const struct {
    std::string bytes;
    Entries shown;
  } cases[] = {
      {"AB CD\rX\r12 34\r", {"12 34", "AB CD"}},    // newest first, one character hidden
      {"AB12\r\nCD34\r\n", {"CD34", "AB12"}},       // CR LF: the empty lines between go
      {"AB12\n \t\n\nCD34", {"CD34", "AB12"}},      // blank lines too; no end at the last
      {"AB CD  EF\tGH", {"GH", "EF", "CD", "AB"}},  // no line end anywhere: words
      {std::string(20, 'M') + "\rAB\r", {"AB", std::string(15, 'M')}},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseCodeList(c.bytes), c.shown) << c.bytes;
}

// A hundred reads at most: lines of one character count, empty ones do not.
TEST(CodeListParse, AHundredReadsAtMost) {
  std::string ones;
  std::string empties;
  for (int i = 0; i < 30; ++i) ones += "Y\r";
  for (int i = 0; i < 300; ++i) empties += "\r\n \r";
  Entries shown = ParseCodeList(ones + Codes(100));
  ASSERT_EQ(shown.size(), 70u);
  EXPECT_EQ(shown.front(), "C69");
  shown = ParseCodeList(empties + Codes(100));
  ASSERT_EQ(shown.size(), 100u);
  EXPECT_EQ(shown.front(), "C99");
}

TEST(CodeListParse, AnEntryCutByTheReadBoundIsLeftOut) {
  EXPECT_EQ(ParseCodeList("AB12\rCD3", ReadCut::AtBound), (Entries{"AB12"}));
  EXPECT_EQ(ParseCodeList("AB12\rCD34\r", ReadCut::AtBound), (Entries{"CD34", "AB12"}));
  EXPECT_EQ(ParseCodeList("AB12 CD3", ReadCut::AtBound), (Entries{"AB12"}));
  // Fifteen characters show all an entry ever shows.
  EXPECT_EQ(ParseCodeList("AB12\r" + std::string(15, 'M'), ReadCut::AtBound), (Entries{std::string(15, 'M'), "AB12"}));
  EXPECT_EQ(ParseCodeList("AB12\r" + std::string(14, 'M'), ReadCut::AtBound), (Entries{"AB12"}));
  EXPECT_EQ(ParseCodeList("AB12\rCD3", ReadCut::Whole), (Entries{"CD3", "AB12"}));
}

struct CodeList : ::testing::Test {
  TempDir dir;
  fs::path path = dir.Path() / "TrCode.txt";
  CodeListFile file{path};

  Entries Load() {
    Entries entries;
    const platform::FileResult r = file.Load(entries);
    EXPECT_TRUE(r.Ok()) << r.reason;
    return entries;
  }
};

// An appended code comes back at the top as it was, blanks and all, also after a line
// that ends in a blank; a missing file is made, and is no failure when read.
TEST_F(CodeList, AppendedCodeComesBackFirst) {
  Entries entries{"stale"};
  EXPECT_TRUE(file.Load(entries).Missing());
  EXPECT_TRUE(entries.empty());
  ASSERT_TRUE(file.Append("AB CD").Ok());
  EXPECT_EQ(Read(path), "AB CD\r");
  Write(path, "AB12 ");
  ASSERT_TRUE(file.Append("12 34").Ok());
  EXPECT_EQ(Read(path), "AB12 \r12 34\r");
  EXPECT_EQ(Load(), (Entries{"12 34", "AB12 "}));
}

// Regression: a FIFO under the file's name froze the dialog when it opened, a link to
// /dev/zero read without end, and both took appends and clears silently.
TEST_F(CodeList, AnythingButARegularFileIsRefusedAndLeftAlone) {
  const struct {
    const char* what;
    void (*make)(const fs::path&);
  } cases[] = {
      {"fifo", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
      {"link to /dev/zero", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }},
      {"folder", [](const fs::path& p) { fs::create_directory(p); }},
  };
  for (const auto& c : cases) {
    fs::remove(path);
    c.make(path);
    Entries entries{"stale"};
    platform::FileResult r = file.Load(entries);
    EXPECT_FALSE(r.Ok() || r.Missing()) << c.what;
    EXPECT_EQ(r.reason, "not a regular file") << c.what;
    EXPECT_TRUE(entries.empty()) << c.what;

    r = file.Append("AB12");
    EXPECT_FALSE(r.Ok() || r.Missing()) << c.what;
    EXPECT_EQ(r.reason, "not a regular file") << c.what;

    r = file.Clear();
    EXPECT_FALSE(r.Ok() || r.Missing()) << c.what;
    EXPECT_EQ(r.reason, "not a regular file") << c.what;
  }
  // The last case: the folder is still there, empty.
  EXPECT_TRUE(fs::is_directory(path));
  EXPECT_TRUE(fs::is_empty(path));
  fs::remove(path);
  fs::create_symlink("/dev/zero", path);
  ASSERT_FALSE(file.Clear().Ok());
  EXPECT_EQ(fs::read_symlink(path), "/dev/zero");
}

// Only the first MiB is read: a sparse file of 4 GiB opens at once with the codes at its
// start, and a code beyond the first MiB is not seen.
TEST_F(CodeList, OnlyTheStartOfAHugeFileIsRead) {
  Write(path, "AB12\rCD34\r");
  fs::resize_file(path, 4ull << 30);
  // The hole reads as zero bytes: one more line, cut to 15 characters.
  EXPECT_EQ(Load(), (Entries{std::string(15, '\0'), "CD34", "AB12"}));
  Write(path, std::string(10 << 20, '7') + "\r");
  EXPECT_EQ(Load(), Entries{std::string(15, '7')});

  Write(path, std::string(kMaxCodeListBytes, '\r') + "ZZ99\r");
  EXPECT_EQ(Load(), Entries{});
  // A file that ends exactly at the bound is read whole.
  Write(path, std::string(kMaxCodeListBytes - 5, '\r') + "ZZ99\r");
  EXPECT_EQ(Load(), Entries{"ZZ99"});
}

// A symbolic link stays a link: appends go to its target and a clear empties the target.
TEST_F(CodeList, LinkedFileIsWrittenThroughTheLink) {
  fs::create_directory(dir.Path() / "shared");
  const fs::path target = dir.Path() / "shared" / "codes.txt";
  Write(target, "AB12\r");
  fs::create_symlink(fs::path("shared") / "codes.txt", path);

  ASSERT_TRUE(file.Append("CD34").Ok());
  EXPECT_EQ(Read(target), "AB12\rCD34\r");
  ASSERT_TRUE(file.Clear().Ok());
  EXPECT_TRUE(fs::is_symlink(path));
  EXPECT_EQ(fs::read_symlink(path), fs::path("shared") / "codes.txt");
  EXPECT_EQ(Read(target), "");
  EXPECT_EQ(fs::file_size(target), 0u);
}

// Saves that fail say why, and a folder that is gone is a failure, not a missing file.
TEST_F(CodeList, FailedSavesAreFailures) {
  fs::create_directory(dir.Path() / "app");
  const CodeListFile inGone(dir.Path() / "app" / "TrCode.txt");
  fs::remove_all(dir.Path() / "app");
  for (const platform::FileResult& r : {inGone.Append("AB12"), inGone.Clear()}) {
    EXPECT_FALSE(r.Ok() || r.Missing());
    EXPECT_EQ(r.reason, "No such file or directory");
  }

  // A disk that takes no more bytes: the file size limit refuses the write the same way.
  Write(path, "AB12\r");
  struct sigaction ignore {};
  struct sigaction old {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, &old);
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  const rlimit saved = limit;
  limit.rlim_cur = 5;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  const platform::FileResult full = file.Append("CD34");
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::sigaction(SIGXFSZ, &old, nullptr);
  EXPECT_FALSE(full.Ok() || full.Missing());
  EXPECT_EQ(full.reason, "File too large");
  EXPECT_EQ(Read(path), "AB12\r");
}

}  // namespace
}  // namespace writetag
