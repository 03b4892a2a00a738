// TrCode.txt with arbitrary contents, read by CWriteTagDialog::LoadCodeList when the Write
// Tag dialog opens. The list holds at most 100 entries of 2 to 15 characters without blanks,
// and a code written afterwards (AppendCodeToFile) is offered first the next time the dialog
// opens, whatever the file ended with.

#include <cstdint>
#include <fstream>

#include "framework/headless/HeadlessHost.h"
#include "platform/fake/FakeSerialPorts.h"
#include "platform/fake/FakeServices.h"
#include "tests/app/Rig.h"
#include "tests/fuzz/FuzzSupport.h"
#include "writetag/WriteTagDialog.h"

namespace {

using fuzzing::Check;

bool IsSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

size_t CountWords(const uint8_t* data, size_t size) {
  size_t words = 0;
  bool inWord = false;
  for (size_t i = 0; i < size; ++i) {
    const bool space = IsSpace(data[i]);
    if (!space && !inWord) ++words;
    inWord = !space;
  }
  return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzzing::ScratchDir dir;
  std::ofstream(dir.Path() / "TrCode.txt", std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

  fw::HeadlessHost host;
  platform::FakeSerialPorts serial;
  platform::RecordingSound sound;
  {
    CWriteTagDialog dlg(host, serial, sound, 0, dir.Path());
    dlg.Create(nullptr);
    const int count = dlg.m_comboCode.GetCount();
    Check(count >= 0 && static_cast<size_t>(count) <= CWriteTagDialog::kMaxCodeListReads, "list bounded");
    for (int i = 0; i < count; ++i) {
      const std::u16string item = dlg.m_comboCode.GetLBText(i);
      Check(item.size() >= 2 && item.size() <= CWriteTagDialog::MAX_CODE_CHARS, "entry length");
      for (char16_t c : item) Check(c < 0x100 && !IsSpace(static_cast<uint8_t>(c)), "entry characters");
    }
    dlg.AppendCodeToFile(u"AB12");
  }
  // Short files are read whole, so the code just written must come back first.
  if (CountWords(data, size) + 2 < CWriteTagDialog::kMaxCodeListReads) {
    CWriteTagDialog dlg(host, serial, sound, 0, dir.Path());
    dlg.Create(nullptr);
    Check(dlg.m_comboCode.GetCount() > 0 && dlg.m_comboCode.GetLBText(0) == u"AB12", "code written read back");
  }
  return 0;
}
