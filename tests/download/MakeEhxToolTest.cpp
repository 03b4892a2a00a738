// pelmor-ehx as a program: its usage, its refusals and the files it makes.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "download/EhxMaker.h"
#include "download/EhxRecord.h"
#include "tests/app/Rig.h"

extern char** environ;

#ifdef PELMOR_EHX_TOOL

namespace {

using testing_rig::TempDir;

struct Outcome {
  int status = -1;  // exit status, -1 when it did not exit normally
  std::string out;
  std::string err;
};

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs the tool with its output streams in files of dir.
Outcome RunTool(const TempDir& dir, std::vector<std::string> args) {
  const std::string outPath = (dir.Path() / "stdout").native();
  const std::string errPath = (dir.Path() / "stderr").native();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  args.insert(args.begin(), PELMOR_EHX_TOOL);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  Outcome outcome;
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, PELMOR_EHX_TOOL, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return outcome;
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wstatus)) outcome.status = WEXITSTATUS(wstatus);
  outcome.out = ReadAll(outPath);
  outcome.err = ReadAll(errPath);
  return outcome;
}

void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TEST(MakeEhxTool, Usage) {
  TempDir dir;
  const Outcome help = RunTool(dir, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: pelmor-ehx", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("--split N"), std::string::npos);
}

TEST(MakeEhxTool, BadCommandLines) {
  TempDir dir;
  WriteFile(dir.Path() / "image.bin", std::vector<uint8_t>(40, 1));
  const std::string image = (dir.Path() / "image.bin").native();
  const std::string out = (dir.Path() / "out.EHX").native();
  const std::vector<std::vector<std::string>> cases = {
      {image, out},                                // neither --split nor --no-split
      {"--split", "0", "--no-split", image, out},  // both
      {"--split", "x", image, out},
      {"--split"},
      {"--key", "G0", "--split", "0", image, out},
      {"--key", "123", "--split", "0", image, out},
      {"--key", "12", "--seed", "3", "--split", "0", image, out},
      {"--seed", "-1", "--split", "0", image, out},
      {"--frobnicate", "--split", "0", image, out},
      {"--split", "0", image},
  };
  for (const auto& args : cases) {
    const Outcome o = RunTool(dir, args);
    EXPECT_EQ(o.status, 2) << args.front();
    EXPECT_NE(o.err.find("pelmor-ehx: "), std::string::npos) << o.err;
  }
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(MakeEhxTool, MakesTheFileTheEncoderMakes) {
  TempDir dir;
  std::vector<uint8_t> image(150);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 5 + 1);
  WriteFile(dir.Path() / "image.bin", image);
  const std::string out = (dir.Path() / "out.EHX").native();

  const Outcome fixed = RunTool(dir, {"--key", "5b", "--split", "3", (dir.Path() / "image.bin").native(), out});
  ASSERT_EQ(fixed.status, 0) << fixed.err;
  EXPECT_EQ(fixed.out, "8 records, 352 bytes\n");
  download::EhxMakeOptions options;
  options.key = {5, 11};
  options.splitRecord = 3;
  std::vector<uint8_t> expected;
  std::string error;
  ASSERT_TRUE(download::MakeEhx(image, options, expected, error));
  const std::string made = ReadAll(out);
  EXPECT_EQ(made, std::string(expected.begin(), expected.end()));
  EXPECT_EQ(made.substr(40, 4), "5B\r\n");

  const Outcome random = RunTool(dir, {"--seed", "99", "--split", "0", (dir.Path() / "image.bin").native(), out});
  ASSERT_EQ(random.status, 0) << random.err;
  options.keys = download::EhxMakeOptions::Keys::Random;
  options.seed = 99;
  options.splitRecord = 0;
  ASSERT_TRUE(download::MakeEhx(image, options, expected, error));
  EXPECT_EQ(ReadAll(out), std::string(expected.begin(), expected.end()));
}

TEST(MakeEhxTool, RefusesImagesItCannotSplitAsAsked) {
  TempDir dir;
  std::vector<uint8_t> image(60, 0x33);
  image[21] = 0x10;  // record 1 reads as a split record
  image[22] = 0x00;
  WriteFile(dir.Path() / "image.bin", image);
  const std::string in = (dir.Path() / "image.bin").native();
  const std::string out = (dir.Path() / "out.EHX").native();
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--split", "2", in, out},
                                               {"--no-split", in, out},
                                               {"--split", "3", in, out},
                                               {"--split", "0", (dir.Path() / "missing.bin").native(), out}}) {
    const Outcome o = RunTool(dir, args);
    EXPECT_EQ(o.status, 1) << args.front() << " " << args[1];
    EXPECT_FALSE(o.err.empty());
    EXPECT_FALSE(std::filesystem::exists(out));
  }
  EXPECT_EQ(RunTool(dir, {"--split", "1", in, out}).status, 0);
}

}  // namespace

#endif  // PELMOR_EHX_TOOL
