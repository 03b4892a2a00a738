// The code output: keys typed for a code in hidden mode, and their settings in Config.ini.

#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/app/Rig.h"

namespace {

using namespace res;
using testing_rig::Rig;

struct Output : ::testing::Test {
  Rig r;
  void SetUp() override {
    r.Start();
    r.ClearLog();
  }
  std::string ReadConfig() {
    std::ifstream in(r.dir.Path() / "Config.ini", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void WriteConfig(const std::string& text) { std::ofstream(r.dir.Path() / "Config.ini", std::ios::binary) << text; }
};

TEST_F(Output, EmitCodeKeyOrder) {
  const struct {
    bool prefix, suffix, cr, tab;
    const char16_t* prefixText;
    const char16_t* suffixText;
    const char16_t* code;
    const char32_t* typed;
  } cases[] = {
      {false, false, false, false, u"41", u"42", u"123", U"123"},
      {true, false, false, false, u"41:42", u"", u"123", U"<41></41><42></42>123"},
      {false, false, true, false, u"", u"", u"9", U"9<0D></0D>"},
      {false, false, true, false, u"", u"2E", u"9", U"9<2E></2E><0D></0D>"},
      {false, false, true, true, u"", u"", u"9", U"9<0D></0D><09></09>"},
      // The suffix text counts when only "cr" or "Tab" is ticked.
      {false, false, false, true, u"", u"1B", u"9", U"9<1B></1B><09></09>"},
      {false, true, false, false, u"", u"0D::09", u"", U"<0D></0D><09></09>"},
      {true, false, false, false, u"zz:141", u"", u"A b", U"<41></41>A b"},
      // Control characters from the line are not typed.
      {false, false, false, false, u"", u"",
       u"1\x1B[2\x7F"
       u"3",
       U"1[23"},
  };
  for (const auto& c : cases) {
    r.keys = {};
    r.SetCheck(IDC_PREFIX, c.prefix);
    r.SetCheck(IDC_SUFFIX, c.suffix);
    r.SetCheck(IDC_CR, c.cr);
    r.SetCheck(IDC_TAB, c.tab);
    r.dlg->m_editPrefix.SetWindowText(c.prefixText);
    r.dlg->m_editSuffix.SetWindowText(c.suffixText);
    r.dlg->EmitCode(c.code);
    EXPECT_EQ(r.keys.stream, c.typed) << fw::ToUtf8(c.code);
    ASSERT_EQ(r.keys.typed.size(), 1u);  // the code goes in one call, even when empty
  }
}

TEST_F(Output, SavedFileHasTheExactLines) {
  r.SetCheck(IDC_NO_SPACE, true);
  r.SetCheck(IDC_TAB, true);
  r.SetCheck(IDC_SUFFIX, true);
  r.dlg->m_editPrefix.SetWindowText(u"41:42");
  r.dlg->m_editSuffix.SetWindowText(u"0D");
  r.dlg->SaveSettings();
  EXPECT_EQ(ReadConfig(),
            "NO_SPACE=1\r\nADD_CR=0\r\nADD_TAB=1\r\nPREFIX=0\r\nPREFIX:41:42\r\nSUFFIX=1\r\n"
            "SUFFIX:0D\r\nAUTOHIDE=0\r\n");
  EXPECT_FALSE(std::filesystem::exists(r.dir.Path() / "Config.ini.new"));
}

TEST_F(Output, RoundTripCutsLongTextsTo19) {
  const std::u16string prefix25 = u"41:42:43:44:45:46:47:48:";  // 24 + 1 below
  r.SetCheck(IDC_CR, true);
  r.SetCheck(IDC_PREFIX, true);
  r.SetCheck(IDC_AUTO_HIDE, false);
  r.dlg->m_editPrefix.SetWindowText(prefix25 + u"9");
  r.dlg->m_editSuffix.SetWindowText(u"1B");
  r.dlg->SaveSettings();
  r.SetCheck(IDC_CR, false);
  r.SetCheck(IDC_PREFIX, false);
  r.dlg->m_editPrefix.SetWindowText(u"");
  r.dlg->m_editSuffix.SetWindowText(u"");
  r.dlg->LoadSettings();
  EXPECT_TRUE(r.Checked(IDC_CR));
  EXPECT_TRUE(r.Checked(IDC_PREFIX));
  EXPECT_FALSE(r.Checked(IDC_NO_SPACE));
  EXPECT_EQ(r.Text(IDC_EDIT_PREFIX), "41:42:43:44:45:46:4");
  EXPECT_EQ(r.Text(IDC_EDIT_SUFFIX), "1B");
  // Loading texts is no change to write.
  EXPECT_FALSE(r.Control(IDC_WRITE).enabled);
  EXPECT_FALSE(r.dlg->m_bHidden);
}

TEST_F(Output, LoadTokenRules) {
  r.dlg->m_editPrefix.SetWindowText(u"keep");
  WriteConfig(
      "NO_SPACE=\r\nADD_TAB=0x\njunk PREFIX:41 42\tSUFFIX=7 ADD_CR=0 ADD_CR=1 "
      "SUFFIX:" +
      std::string(40, '1') + "\r\n");
  r.dlg->LoadSettings();
  EXPECT_TRUE(r.Checked(IDC_NO_SPACE));  // nothing after the key ticks it
  EXPECT_FALSE(r.Checked(IDC_TAB));
  EXPECT_TRUE(r.Checked(IDC_SUFFIX));
  EXPECT_TRUE(r.Checked(IDC_CR));            // the later one wins
  EXPECT_EQ(r.Text(IDC_EDIT_PREFIX), "41");  // a blank ends the token
  // A long word is read as tokens of 31 characters; the text takes at most 20 of the first.
  EXPECT_EQ(r.Text(IDC_EDIT_SUFFIX), std::string(20, '1'));
}

// Regression: a Config.ini of a gigabyte was read to its end, byte by byte, and held the
// start-up chain for some twelve seconds. The first MiB is read: a key that ends within it
// counts, one that ends beyond it does not.
TEST_F(Output, OnlyTheFirstMebibyteIsRead) {
  constexpr size_t kMiB = size_t{1} << 20;
  const std::string withinEnd = "ADD_CR=1";
  std::string text(kMiB, ' ');
  text.replace(kMiB - withinEnd.size(), withinEnd.size(), withinEnd);
  text += " ADD_TAB=1\r\n";
  WriteConfig(text);
  r.dlg->LoadSettings();
  EXPECT_TRUE(r.Checked(IDC_CR));
  EXPECT_FALSE(r.Checked(IDC_TAB));
}

TEST_F(Output, MissingFileClearsTheBoxesAndKeepsTheTexts) {
  for (int id : {IDC_NO_SPACE, IDC_CR, IDC_TAB, IDC_PREFIX, IDC_SUFFIX, IDC_AUTO_HIDE}) r.SetCheck(id, true);
  r.dlg->m_editPrefix.SetWindowText(u"41");
  r.dlg->LoadSettings();
  for (int id : {IDC_NO_SPACE, IDC_CR, IDC_TAB, IDC_PREFIX, IDC_SUFFIX, IDC_AUTO_HIDE})
    EXPECT_FALSE(r.Checked(id)) << id;
  EXPECT_EQ(r.Text(IDC_EDIT_PREFIX), "41");
  EXPECT_FALSE(r.dlg->m_bHidden);
}

TEST_F(Output, AutoHideHidesWithoutPowerOffOrQuestion) {
  WriteConfig("AUTOHIDE=1\r\n");
  r.supply.calls.clear();
  r.dlg->LoadSettings();
  EXPECT_TRUE(r.dlg->m_bHidden);
  EXPECT_TRUE(r.Checked(IDC_AUTO_HIDE));
  EXPECT_FALSE(r.dlg->IsWindowVisible());
  EXPECT_TRUE(r.supply.calls.empty());
  EXPECT_TRUE(r.host.MessageBoxes().empty());
  r.dlg->LoadSettings();  // already hidden: stays so
  EXPECT_TRUE(r.dlg->m_bHidden);
}

TEST_F(Output, PrefixWithABlankSavesWholeAndLoadsToTheBlank) {
  r.dlg->m_editPrefix.SetWindowText(u"41 ADD_CR=1");
  r.dlg->SaveSettings();
  EXPECT_NE(ReadConfig().find("PREFIX:41 ADD_CR=1\r\n"), std::string::npos);
  r.dlg->LoadSettings();
  EXPECT_EQ(r.Text(IDC_EDIT_PREFIX), "41");
  // The rest was a token of its own, and here it is a key, later than the file's own line.
  EXPECT_TRUE(r.Checked(IDC_CR));
}

TEST_F(Output, FailedSaveKeepsTheOldFileAndSaysWhy) {
  WriteConfig("NO_SPACE=1\r\n");
  {
    // A file size limit stands in for a full disk: the new file cannot be written whole.
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 50;
    ::setrlimit(RLIMIT_FSIZE, &small);
    r.dlg->SaveSettings();
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, SIG_DFL);
  }
  EXPECT_EQ(ReadConfig(), "NO_SPACE=1\r\n");
  EXPECT_EQ(r.Log(), "Config.ini not saved: File too large\r\n");
  // A planted link under the old temporary name is not followed.
  const auto victim = r.dir.Path() / "victim";
  std::ofstream(victim) << "keep";
  std::filesystem::create_symlink(victim, r.dir.Path() / "Config.ini.new");
  r.dlg->SaveSettings();
  EXPECT_EQ(ReadConfig().substr(0, 11), "NO_SPACE=0\r");
  EXPECT_FALSE(std::filesystem::is_symlink(r.dir.Path() / "Config.ini"));
  std::ifstream in(victim);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");
}

TEST_F(Output, SettingsFileThatIsNoFileIsToldAndCountsAsMissing) {
  // A FIFO under the name used to block the program in open() for good.
  ASSERT_EQ(::mkfifo((r.dir.Path() / "Config.ini").c_str(), 0600), 0);
  r.SetCheck(IDC_CR, true);
  r.dlg->LoadSettings();
  EXPECT_FALSE(r.Checked(IDC_CR));
  EXPECT_EQ(r.Log(), "Config.ini not read: not a regular file\r\n");
  r.ClearLog();
  r.dlg->SaveSettings();
  EXPECT_EQ(r.Log(), "Config.ini not saved: not a regular file\r\n");
}

TEST_F(Output, WideCharactersAreNarrowedWhenSaved) {
  r.dlg->m_editSuffix.SetWindowText(u"\u0141A");
  r.dlg->SaveSettings();
  EXPECT_NE(ReadConfig().find("SUFFIX:AA\r\n"), std::string::npos);
}

}  // namespace
