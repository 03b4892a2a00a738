// "Save log..." in the log's context menu writes the log as the window shows it.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tests/app/Rig.h"

namespace {

using testing_rig::Rig;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(MainDialogSaveLog, WritesTheShownTextWithALineBreakAtTheEnd) {
  const struct {
    const char16_t* log;
    const char* file;
  } cases[] = {
      {u"Version 2.04\r\nscanning now...\r\n", "Version 2.04\nscanning now...\n"},
      // The last line gets its line break.
      {u"Tag found! (AB) \r\nCode: AB", "Tag found! (AB) \nCode: AB\n"},
      // Characters beyond ASCII in UTF-8; a lone carriage return stays what it is.
      {u"Gr\u00FC\u00DFe\r",
       "Gr\xC3\xBC\xC3\x9F"
       "e\r\n"},
      {u"", ""},
  };
  Rig r;
  r.Start();
  fw::HeadlessWindow& window = *r.Window();
  ASSERT_EQ(r.Control(res::IDC_LOG).menu.size(), 1u);
  EXPECT_EQ(r.Control(res::IDC_LOG).menu[0].first, u"Save log...");

  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(fw::ToUtf8(c.log));
    const std::filesystem::path file = r.dir.Path() / ("log" + std::to_string(n++) + ".txt");
    // A file already there is replaced.
    std::ofstream(file) << "older and longer contents than any log here\n";
    r.ClearLog();
    r.dlg->AppendLog(c.log);
    r.host.QueueFileName(fw::FromUtf8(file.string()));
    ASSERT_TRUE(window.ChooseMenuItem(res::IDC_LOG, u"Save log..."));
    EXPECT_EQ(ReadFile(file), c.file);
    // Saving shows nothing and leaves the log as it was.
    EXPECT_EQ(r.Log(), fw::ToUtf8(c.log));
  }
  EXPECT_TRUE(r.host.MessageBoxes().empty());
}

TEST(MainDialogSaveLog, CancelWritesNothingAndAFailureIsShownInABox) {
  Rig r;
  r.Start();
  r.ClearLog();
  r.dlg->AppendLog(u"scanning now...\r\n");
  r.host.ClearMessageBoxes();

  // No file chosen: nothing happens.
  ASSERT_TRUE(r.Window()->ChooseMenuItem(res::IDC_LOG, u"Save log..."));
  EXPECT_EQ(r.host.fileChoosers.size(), 1u);
  EXPECT_TRUE(r.host.MessageBoxes().empty());

  // A folder that is not there: one error box naming the file and the reason.
  const std::filesystem::path file = r.dir.Path() / "gone" / "pelmor.log";
  r.host.QueueFileName(fw::FromUtf8(file.string()));
  ASSERT_TRUE(r.Window()->ChooseMenuItem(res::IDC_LOG, u"Save log..."));
  ASSERT_EQ(r.host.MessageBoxes().size(), 1u);
  const fw::MessageBoxRecord& box = r.host.MessageBoxes()[0];
  EXPECT_EQ(box.caption, u"Save log");
  EXPECT_EQ(box.type & 0xF0u, fw::MB_ICONERROR);
  EXPECT_NE(fw::ToUtf8(box.text).find(file.string()), std::string::npos) << fw::ToUtf8(box.text);
  EXPECT_NE(fw::ToUtf8(box.text).find("No such file or directory"), std::string::npos) << fw::ToUtf8(box.text);
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(r.Log(), "scanning now...\r\n");
}

}  // namespace
