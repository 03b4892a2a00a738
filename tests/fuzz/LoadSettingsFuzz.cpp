// Config.ini with arbitrary contents, read by CMainDialog::LoadSettings. Whatever the file
// holds, the prefix and suffix fields take at most 20 characters, and what the settings then
// are survives "Write" (SaveSettings) and a new read unchanged, apart from the cut to the 19
// characters a text keeps in the file.

#include <cstdint>
#include <fstream>
#include <memory>

#include "app/MainDialog.h"
#include "framework/headless/HeadlessHost.h"
#include "tests/fakes/FakeSerialPorts.h"
#include "tests/fakes/FakeServices.h"
#include "resources/Resource.h"
#include "tests/app/Rig.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

using fuzzing::Check;

using namespace res;

constexpr size_t kLoadedText = 20;
constexpr size_t kSavedText = 19;

struct Settings {
  int boxes[6];
  std::u16string prefix, suffix;
};

Settings Read(CMainDialog& dlg) {
  Settings s{};
  const int ids[] = {IDC_NO_SPACE, IDC_CR, IDC_TAB, IDC_PREFIX, IDC_SUFFIX, IDC_AUTO_HIDE};
  for (size_t i = 0; i < std::size(ids); ++i) s.boxes[i] = dlg.IsDlgButtonChecked(ids[i]);
  s.prefix = dlg.GetDlgItemText(IDC_EDIT_PREFIX);
  s.suffix = dlg.GetDlgItemText(IDC_EDIT_SUFFIX);
  return s;
}

// A text as the file keeps it: its first 19 characters, up to a NUL, which ends the text
// written.
std::u16string AsSaved(const std::u16string& text) {
  std::u16string kept = text.substr(0, kSavedText);
  const size_t nul = kept.find(u'\0');
  return nul == std::u16string::npos ? kept : kept.substr(0, nul);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzzing::ScratchDir dir;
  std::ofstream(dir.Path() / "Config.ini", std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

  fw::HeadlessHost host;
  platform::FakeSerialPorts serial;
  platform::FakeHotKeys hotKeys;
  platform::RecordingKeyOutput keys;
  platform::RecordingSound sound;
  testing_rig::FakeSupply supply;
  CMainDialog dlg(host, MainDialogServices{serial, hotKeys, keys, sound, supply, dir.Path()});
  dlg.Create(nullptr);
  dlg.ShowWindow(true);

  dlg.LoadSettings();
  const Settings loaded = Read(dlg);
  Check(loaded.prefix.size() <= kLoadedText && loaded.suffix.size() <= kLoadedText, "texts bounded");

  dlg.SaveSettings();
  dlg.LoadSettings();
  const Settings again = Read(dlg);
  for (size_t i = 0; i < std::size(loaded.boxes); ++i) Check(again.boxes[i] == loaded.boxes[i], "boxes kept");
  Check(again.prefix == AsSaved(loaded.prefix), "prefix kept");
  Check(again.suffix == AsSaved(loaded.suffix), "suffix kept");
  return 0;
}
