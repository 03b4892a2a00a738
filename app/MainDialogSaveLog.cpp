// "Save log...": the log's text as the window shows it, written to a file of the user's
// choice.

#include "app/MainDialog.h"
#include "platform/linux/AppFiles.h"

#include <filesystem>
#include <string>

namespace {

constexpr const char16_t* kSaveLogCaption = u"Save log";
constexpr const char16_t* kSuggestedLogFile = u"pelmor.log";

// The log's "\r\n" line ends become the line breaks the window shows ("\n"); a text that does
// not end with a line break gets one, so that its last line is a whole line of the file.
// An empty log makes an empty file.
std::string LogFileText(const fw::WString& log) {
  std::u16string shown;
  shown.reserve(log.size() + 1);
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i] == u'\r' && i + 1 < log.size() && log[i + 1] == u'\n') continue;
    shown += log[i];
  }
  if (!shown.empty() && shown.back() != u'\n') shown += u'\n';
  return fw::ToUtf8(shown);
}

}  // namespace

void CMainDialog::OnSaveLog() {
  auto* w = Window();
  if (!w) return;
  const fw::WString chosen = w->AskSaveFileName(kSaveLogCaption, kSuggestedLogFile);
  if (chosen.empty()) return;
  // The file is replaced as a whole, never left half written.
  const platform::FileResult result =
      platform::ReplaceAppFile(std::filesystem::path(fw::ToUtf8(chosen)), LogFileText(m_editLog.GetWindowText()));
  if (result.Ok()) return;
  MessageBox(u"The log could not be saved to " + chosen + u":\r\n" + fw::FromUtf8(result.reason), kSaveLogCaption,
             fw::MB_OK | fw::MB_ICONERROR);
}
