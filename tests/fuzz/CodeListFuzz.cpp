// TrCode.txt with arbitrary contents, as ParseCodeList reads it and as the Write Tag dialog
// shows it when it opens. The list holds at most 100 entries of 2 to 15 characters without
// line ends (and without blanks where the file has no line end), a regular file is never a
// reason for a log line, and a code written afterwards (AppendCodeToFile) is offered first
// the next time the dialog opens, whatever the file ended with.

#include <cstdint>
#include <fstream>
#include <string_view>

#include "framework/headless/HeadlessHost.h"
#include "tests/fakes/FakeSerialPorts.h"
#include "tests/fakes/FakeServices.h"
#include "tests/app/Rig.h"
#include "tests/fuzz/FuzzSupport.h"
#include "writetag/CodeListFile.h"
#include "writetag/WriteTagDialog.h"

namespace {

using fuzzing::Check;

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// Lines that hold more than blanks, once the file has a line end after its last byte.
size_t CountLines(std::string_view bytes) {
  size_t lines = 0;
  bool filled = false;
  for (char c : bytes) {
    if (IsLineEnd(c)) {
      lines += filled ? 1 : 0;
      filled = false;
    } else if (!IsBlank(c)) {
      filled = true;
    }
  }
  return lines + (filled ? 1 : 0);
}

void CheckEntries(const std::vector<std::string>& entries, bool byLines) {
  Check(entries.size() <= writetag::kMaxCodeListReads, "list bounded");
  for (const std::string& entry : entries) {
    Check(entry.size() >= 2 && entry.size() <= writetag::MAX_CODE_CHARS, "entry length");
    for (char c : entry) Check(!IsLineEnd(c) && (byLines || !IsBlank(c)), "entry characters");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const bool byLines = bytes.find_first_of("\r\n") != std::string_view::npos;
  const std::vector<std::string> whole = writetag::ParseCodeList(bytes);
  CheckEntries(whole, byLines);
  CheckEntries(writetag::ParseCodeList(bytes, writetag::ReadCut::AtBound), byLines);

  static fuzzing::ScratchDir dir;
  std::ofstream(dir.Path() / "TrCode.txt", std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(size));

  fw::HeadlessHost host;
  platform::FakeSerialPorts serial;
  platform::RecordingSound sound;
  size_t logLines = 0;
  const CWriteTagDialog::LogSink log = [&logLines](const fw::WString&) { ++logLines; };
  {
    CWriteTagDialog dlg(host, serial, sound, 0, dir.Path(), log);
    dlg.Create(nullptr);
    const int count = dlg.m_comboCode.GetCount();
    Check(count >= 0 && static_cast<size_t>(count) == whole.size(), "list as parsed");
    for (int i = 0; i < count; ++i)
      Check(dlg.m_comboCode.GetLBText(i) == fw::Widen(whole[static_cast<size_t>(i)]), "entry as parsed");
    dlg.AppendCodeToFile(u"AB12");
  }
  Check(logLines == 0, "a regular file is no failure");
  // Short files are read whole, so the code just written must come back first.
  if (CountLines(bytes) + 2 < writetag::kMaxCodeListReads && size < writetag::kMaxCodeListBytes / 2) {
    CWriteTagDialog dlg(host, serial, sound, 0, dir.Path(), log);
    dlg.Create(nullptr);
    Check(dlg.m_comboCode.GetCount() > 0 && dlg.m_comboCode.GetLBText(0) == u"AB12", "code written read back");
  }
  return 0;
}
