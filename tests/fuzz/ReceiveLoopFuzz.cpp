// The reader's byte stream through the receive loop into OnReaderLine, with the main window
// on the headless host (fake services, virtual clock), the Write Tag and Download Firmware
// dialogs open and their procedures running, and the user acting in between.
//
// Input: one byte of start settings, then operations until the input ends. An operation
// byte below 0x80 feeds the next (op & 0x3F) + 1 bytes of the input to the port, followed by
// one receive tick unless bit 0x40 is set (so a line can straddle any number of ticks);
// 0x80..0x9F lets (op & 0x1F) + 1 tenths of a second pass (long enough for the dialogs'
// answer waits to run out); 0xA0..0xBF and 0xC0..0xDF are user actions on the main window and
// on the two dialogs, made through the host's command interpreter so that only what a user
// could reach (visible, enabled) happens; 0xE0..0xFF are the scan keys and the answers of the
// next message boxes.
//
// After the input, the program must still work: a reset report is logged, and a tag line is
// shown or, hidden, typed exactly. Control characters are never typed.

#include <cstdint>
#include <deque>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/MainDialog.h"
#include "download/DownloadDialog.h"
#include "download/EhxMaker.h"
#include "framework/headless/HeadlessHost.h"
#include "framework/headless/HeadlessTerminal.h"
#include "tests/fakes/FakeSerialPorts.h"
#include "tests/fakes/FakeServices.h"
#include "resources/Resource.h"
#include "tests/app/Rig.h"
#include "tests/fuzz/FuzzSupport.h"
#include "writetag/WriteTagDialog.h"

namespace {

using fuzzing::Check;

using namespace res;

// Virtual time one input may let pass in all; a longer input gets no more, so every input
// runs in bounded time however it is built.
constexpr uint64_t kTimeBudgetMs = 20'000;
constexpr uint64_t kTickMs = CMainDialog::kReceivePeriodMs;

constexpr char kConfigIni[] =
    "NO_SPACE=0\r\nADD_CR=1\r\nADD_TAB=0\r\nPREFIX=1\r\nPREFIX:1B:41\r\nSUFFIX=1\r\nSUFFIX:09\r\n"
    "AUTOHIDE=0\r\n";
constexpr char kCodeList[] = "AB12\rCD34\rX\r";
constexpr char kFirmwareName[] = "FW.EHX";

void WriteFile(const std::filesystem::path& path, const void* data, size_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// The application folder, made once per process: a firmware file of six records with the
// split at record 3. Config.ini and TrCode.txt are written afresh for every input, since a
// run may change them.
const std::filesystem::path& AppDir() {
  static fuzzing::ScratchDir dir;
  static const bool made = [] {
    std::vector<uint8_t> image(6 * download::kContentBytes);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(0x31 + 7 * i);
    download::EhxMakeOptions options;
    options.keys = download::EhxMakeOptions::Keys::Random;
    options.seed = 3;
    options.splitRecord = 3;
    std::vector<uint8_t> file;
    std::string error;
    Check(download::MakeEhx(image, options, file, error), "firmware file made");
    WriteFile(dir.Path() / kFirmwareName, file.data(), file.size());
    return true;
  }();
  (void)made;
  return dir.Path();
}

// The input read from front to back, as the operations were written.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  uint8_t Byte() { return Empty() ? 0 : data_[at_++]; }
  std::string Take(size_t n) {
    n = std::min(n, size_ - at_);
    std::string bytes(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return bytes;
  }
  // A text of a length given by the next byte, at most max bytes.
  std::string Text(size_t max) { return Take(Byte() % (max + 1)); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// User actions on the main window, by control.
constexpr int kMainActions[] = {
    IDC_CONNECT,   IDC_GETVERSION, IDC_READ,       IDC_TRIGGER,   IDC_WRITE,       IDC_CLEAR,  IDC_HIDE,
    IDC_WRITE_TAG, IDC_FIRMWARE,   IDC_CLEAR_CODE, IDC_NO_SPACE,  IDC_USE_TRIGGER, IDC_PREFIX, IDC_SUFFIX,
    IDC_CR,        IDC_TAB,        IDC_ISO_HEX,    IDC_READ_ONCE, IDC_AUTO_HIDE,   IDC_HDX,
};

struct Session {
  fw::HeadlessHost host;
  // Commands as the terminal takes them; what it prints is not looked at here.
  std::ostringstream printed;
  fw::HeadlessTerminal terminal{host, printed};
  platform::FakeSerialPorts serial;
  platform::FakeHotKeys hotKeys;
  platform::RecordingKeyOutput keys;
  platform::RecordingSound sound;
  testing_rig::FakeSupply supply;
  std::unique_ptr<CMainDialog> dlg;
  uint64_t timeLeft = kTimeBudgetMs;
  // Answers of the next Yes/No boxes; without one the answer is No, which ends the retry
  // loops a box would otherwise repeat on every tick.
  std::deque<int> answers;

  Session() {
    host.SetMessageBoxHook([this](const fw::MessageBoxRecord& box) {
      if ((box.type & 0xF) != fw::MB_YESNO) return fw::IDOK;
      if (answers.empty()) return fw::IDNO;
      const int answer = answers.front();
      answers.pop_front();
      return answer;
    });
  }

  void Pass(uint64_t ms) {
    ms = std::min(ms, timeLeft);
    timeLeft -= ms;
    host.Advance(ms);
  }
  void Run(const std::string& command) { terminal.RunCommand(command); }
  void Click(int dialog, int control) { Run("click " + std::to_string(dialog) + ":" + std::to_string(control)); }
};

void StartWriteTag(Session& s, bool blocks) {
  if (blocks) {
    s.Click(IDD_WRITETAG, IDC_WT_BLOCKS5);
    s.Click(IDD_WRITETAG, IDC_WT_WRITE_BLOCKS);
  } else {
    s.Run("text 135:1063 AB12 34");
    s.Click(IDD_WRITETAG, IDC_WT_WRITE_CODE);
  }
}

void MainAction(Session& s, uint8_t arg, Input& in) {
  if (arg >= std::size(kMainActions)) {
    // The prefix or suffix field typed in.
    const std::string text = in.Text(24);
    s.Run(std::string(arg & 1 ? "text 102:1043 " : "text 102:1044 ") + text);
    return;
  }
  s.Click(IDD_MAIN, kMainActions[arg]);
}

void DialogAction(Session& s, uint8_t arg, Input& in) {
  switch (arg & 0x0F) {
    case 0:
      StartWriteTag(s, false);
      return;
    case 1:
      StartWriteTag(s, true);
      return;
    case 2:
      s.Click(IDD_WRITETAG, fw::IDCANCEL);
      return;
    case 3:
      s.Click(IDD_WRITETAG, IDC_WT_CLEAR_LIST);
      return;
    case 4:
      s.Click(IDD_WRITETAG, IDC_WT_CLEAR);
      return;
    case 5:
      s.Click(IDD_WRITETAG, IDC_WT_BLOCKS7);
      return;
    case 6: {
      const std::string text = in.Text(20);
      s.Run("text 135:1063 " + text);
      return;
    }
    case 7:
      s.Click(IDD_DOWNLOAD, IDC_DL_DOWNLOAD);
      return;
    case 8:
      s.Click(IDD_DOWNLOAD, fw::IDCANCEL);
      return;
    case 9:
      s.Run(std::string("text 133:1056 ") + kFirmwareName);
      return;
    case 10:
      s.Click(IDD_DOWNLOAD, IDC_DL_HELP);
      return;
    default:
      s.Click(IDD_WRITETAG, IDC_WT_HELP);
      return;
  }
}

void KeyAction(Session& s, uint8_t arg) {
  switch (arg & 7) {
    case 0:
      s.hotKeys.Press(platform::VK_F24, true);
      return;
    case 1:
      s.hotKeys.Press(platform::VK_F24, false);
      return;
    case 2:
      s.hotKeys.Press(platform::VK_F22, true);
      return;
    case 3:
      s.hotKeys.Press(platform::VK_F22, false);
      return;
    case 4:
      s.answers.push_back(fw::IDNO);
      return;
    default:
      s.answers.push_back(fw::IDYES);
      return;
  }
}

// Lets the receive loop read everything the port holds, a line per tick.
void Drain(Session& s) {
  for (size_t n = s.serial.Pending() + 2; n > 0 && s.serial.Pending() > 0; --n) s.host.Advance(kTickMs);
  s.host.Advance(kTickMs);
}

std::u16string LogText(Session& s) { return s.dlg->GetDlgItemText(IDC_LOG); }

bool EndsWith(const std::u16string& text, const std::u16string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const std::filesystem::path& dir = AppDir();
  WriteFile(dir / "Config.ini", kConfigIni, sizeof kConfigIni - 1);
  WriteFile(dir / "TrCode.txt", kCodeList, sizeof kCodeList - 1);
  // Shared by every dialog of the process; each input starts as a new process would.
  CDownloadDialog::s_bDownloadTimerStopped = false;
  CDownloadDialog::s_nDownloadWaitTicks = 0;

  Session s;
  s.dlg =
      std::make_unique<CMainDialog>(s.host, MainDialogServices{s.serial, s.hotKeys, s.keys, s.sound, s.supply, dir});
  s.dlg->Create(nullptr);
  s.dlg->ShowWindow(true);
  s.host.Advance(0);

  const uint8_t settings = in.Byte();
  if (settings & 0x01) s.Click(IDD_MAIN, IDC_NO_SPACE);
  if (settings & 0x02) s.Click(IDD_MAIN, IDC_USE_TRIGGER);
  s.Click(IDD_MAIN, IDC_WRITE_TAG);
  s.Click(IDD_MAIN, IDC_FIRMWARE);
  StartWriteTag(s, (settings & 0x04) != 0);
  s.Click(IDD_DOWNLOAD, IDC_DL_DOWNLOAD);
  if (settings & 0x08) s.dlg->EnterHiddenMode();

  while (!in.Empty()) {
    const uint8_t op = in.Byte();
    if (op < 0x80) {
      s.serial.Feed(in.Take((op & 0x3Fu) + 1));
      if (!(op & 0x40)) s.Pass(kTickMs);
    } else if (op < 0xA0) {
      s.Pass(((op & 0x1Fu) + 1) * 100);
    } else if (op < 0xC0) {
      MainAction(s, op & 0x1F, in);
    } else if (op < 0xE0) {
      DialogAction(s, op & 0x1F, in);
    } else {
      KeyAction(s, op & 0x1F);
    }
  }

  // Still a working terminal. A partial line is ended first; the window is shown and
  // connected, as the user would make it.
  s.hotKeys.Press(platform::VK_F24, false);
  if (s.dlg->m_hComm == 0) {
    // Hidden, the window comes back first (orange key and scan button) to reach "Connect".
    if (s.dlg->m_bHidden) s.hotKeys.Press(platform::VK_F22, true);
    s.Click(IDD_MAIN, IDC_CONNECT);
  }
  Check(s.dlg->IsWindow() && s.dlg->m_hComm != 0, "main window connected");
  s.serial.Feed("\r");
  Drain(s);
  s.serial.Feed("Xfuzz\r");
  Drain(s);
  Check(EndsWith(LogText(s), u"Reset Reader:\r\nXfuzz"), "reset report logged");

  const size_t typedBefore = s.keys.typed.size();
  s.serial.Feed("08999000012345678Z\r");
  Drain(s);
  if (s.dlg->m_bHidden) {
    Check(s.keys.typed.size() == typedBefore + 1 && s.keys.typed.back() == U"999000012345678",
          "code typed once, unchanged");
  } else {
    Check(EndsWith(LogText(s), u"Tag found! (999000012345678) \r\n"), "tag logged");
  }
  for (const std::u32string& typed : s.keys.typed)
    for (char32_t c : typed) Check(c >= 0x20 && c != 0x7F, "no control character typed");
  return 0;
}
