#pragma once
// A main window on the headless host with fake services and a virtual clock.

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/MainDialog.h"
#include "device/PinAccess.h"
#include "framework/headless/HeadlessHost.h"
#include "tests/fakes/RecordingHost.h"
#include "tests/fakes/FakeSerialPorts.h"
#include "tests/fakes/FakeServices.h"
#include "resources/Resource.h"
#include "resources/Templates.h"
#include "tests/support/TempDir.h"

namespace testing_rig {

// The reader's supply pin: records every level set; switching on or off can be made to fail
// (the level is then refused, as a pin that cannot be driven).
class FakeSupply : public device::IPinAccess {
 public:
  bool failOn = false;
  bool failOff = false;
  std::vector<bool> calls;
  bool level = false;
  bool held = false;
  int AllocatePin(int, bool reserve) override {
    if (reserve == held) return reserve ? device::kPinInUse : device::kPinInvalid;
    held = reserve;
    return device::kPinOk;
  }
  int SetPinLevel(int, bool on) override {
    calls.push_back(on);
    if (on ? failOn : failOff) return device::kPinFailed;
    level = on;
    return device::kPinOk;
  }
  int GetPinLevel(int) override { return level ? 1 : 0; }
};

struct Rig {
  fw::RecordingHost host;
  platform::FakeSerialPorts serial;
  platform::FakeHotKeys hotKeys;
  platform::RecordingKeyOutput keys;
  platform::RecordingSound sound;
  FakeSupply supply;
  TempDir dir;
  std::unique_ptr<CMainDialog> dlg;

  MainDialogServices Services() { return {serial, hotKeys, keys, sound, supply, dir.Path()}; }

  // Makes the main window as the application does and shows it.
  CMainDialog& Start() {
    dlg = std::make_unique<CMainDialog>(host, Services());
    dlg->Create(nullptr);
    dlg->ShowWindow(true);
    // The start's fixed waits leave the receive timer overdue: its one merged tick comes now,
    // so every Ticks(1) afterwards is one tick.
    host.Advance(0);
    return *dlg;
  }

  fw::HeadlessWindow* Window() { return host.FindWindow(res::IDD_MAIN); }
  fw::ControlState& Control(int id) { return *Window()->Control(id); }
  std::string Text(int id) { return fw::ToUtf8(dlg->GetDlgItemText(id)); }
  std::string Log() { return Text(res::IDC_LOG); }
  void ClearLog() { dlg->OnClear(); }

  // The reader sends bytes; ticks of the receive timer pass.
  void Feed(const std::string& bytes) { serial.Feed(bytes); }
  void Ticks(int n) { host.Advance(static_cast<uint64_t>(n) * CMainDialog::kReceivePeriodMs); }
  // Feeds one line and lets one tick take it.
  void Line(const std::string& line) {
    Feed(line + "\r");
    Ticks(1);
  }
  void Click(int id) { dlg->DispatchCommand(id, fw::Notify::Clicked); }
  void SetCheck(int id, bool on) { dlg->CheckDlgButton(id, on ? fw::BST_CHECKED : fw::BST_UNCHECKED); }
  bool Checked(int id) { return dlg->IsDlgButtonChecked(id) == fw::BST_CHECKED; }
  // A user click on a check box: it toggles, then the dialog hears of it.
  void Toggle(int id) {
    SetCheck(id, !Checked(id));
    Click(id);
  }
};

}  // namespace testing_rig
