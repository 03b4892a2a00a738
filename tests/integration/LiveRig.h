#pragma once
// The main window on the headless host in real time, talking to the reader emulator over a
// real pseudo-terminal, for the fault scenarios. The program opens the reader by a symbolic
// link (as /dev/serial/by-id/... links are), so that a reader that goes away and comes back
// on a new pseudo-terminal is found again under the same name.

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/MainDialog.h"
#include "device/ReaderPower.h"
#include "framework/headless/HeadlessHost.h"
#include "tests/fakes/RecordingHost.h"
#include "tests/fakes/FakeServices.h"
#include "platform/linux/PosixSerialPorts.h"
#include "resources/Resource.h"
#include "sim/PtyServer.h"
#include "tests/app/Rig.h"

namespace live {

// Generous bounds for real I/O on a loaded machine with sanitizers; a run normally takes a
// fraction of them.
inline constexpr uint64_t kStartBudgetMs = 5000;
inline constexpr uint64_t kAnswerBudgetMs = 3000;
// A secondary dialog gives up after 2000 ticks of its 1 ms timer; with the real clock the
// ticks take somewhat longer.
inline constexpr uint64_t kGiveUpBudgetMs = 10000;

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

struct LiveRig {
  explicit LiveRig(sim::ServerOptions options = {}) : server(options) {
    std::filesystem::create_directories(appDir);
    host.SetMessageBoxHook([this](const fw::MessageBoxRecord& box) {
      boxes.push_back(box);
      if ((box.type & 0xF) != fw::MB_YESNO) return fw::IDOK;
      if (answers.empty()) return fw::IDNO;
      const int answer = answers.front();
      answers.pop_front();
      return answer;
    });
  }
  ~LiveRig() {
    // The dialogs go before the port service they write to.
    dlg.reset();
  }

  sim::PtyServer server;
  fw::RecordingHost host{fw::HeadlessHost::ClockKind::Real};
  testing_rig::TempDir dir;
  const std::filesystem::path appDir = dir.Path() / "app";
  const std::filesystem::path device = dir.Path() / "ttyREADER";
  platform::PosixSerialPorts serial{device.string()};
  platform::FakeHotKeys hotKeys;
  platform::RecordingKeyOutput keys;
  platform::RecordingSound sound;
  device::SimPins supply{[this](bool on) { server.SetPowered(on); }, [this] { return server.IsPowered(); }};
  std::unique_ptr<CMainDialog> dlg;
  // Every message box, and the answers of the next Yes/No boxes (No when none is queued).
  std::vector<fw::MessageBoxRecord> boxes;
  std::deque<int> answers;

  // Starts the emulator and points the device name at it. False with the reason printed.
  bool Serve() {
    if (server.Start() != 0) {
      ADD_FAILURE() << server.ErrorText();
      return false;
    }
    return PointDeviceAt(server.SlavePath());
  }
  // Replaces the link in one step, as udev does when a device comes back.
  bool PointDeviceAt(const std::string& target) {
    std::error_code ec;
    const std::filesystem::path fresh = dir.Path() / "ttyREADER.new";
    std::filesystem::remove(fresh, ec);
    std::filesystem::create_symlink(target, fresh, ec);
    if (!ec) std::filesystem::rename(fresh, device, ec);
    if (ec) ADD_FAILURE() << "cannot link " << device << " to " << target << ": " << ec.message();
    return !ec;
  }

  // The device is gone, and its name with it.
  void Unplug() {
    std::error_code ec;
    std::filesystem::remove(device, ec);
  }

  void StartApp() {
    dlg = std::make_unique<CMainDialog>(host, MainDialogServices{serial, hotKeys, keys, sound, supply, appDir});
    dlg->SetPortDevice(fw::Widen(device.string()));
    dlg->Create(nullptr);
    dlg->ShowWindow(true);
  }
  // Started, and through the start-up chain up to the configuration reply.
  bool StartAppAndWait(uint64_t budget = kStartBudgetMs) {
    StartApp();
    const bool ok =
        host.RunUntil([&] { return host.FindWindow(res::IDD_MAIN)->Control(res::IDC_READ_PSK1)->visible; }, budget);
    if (!ok) ADD_FAILURE() << "start-up chain not through: " << Log();
    return ok;
  }

  std::string Log() { return dlg && dlg->IsWindow() ? fw::ToUtf8(dlg->GetDlgItemText(res::IDC_LOG)) : ""; }
  bool LogHas(const std::string& text) { return Log().find(text) != std::string::npos; }
  bool WaitForLog(const std::string& text, uint64_t budget = kAnswerBudgetMs) {
    return host.RunUntil([&] { return LogHas(text); }, budget);
  }
  bool WaitFor(const std::function<bool()>& done, uint64_t budget = kAnswerBudgetMs) {
    return host.RunUntil(done, budget);
  }
  // Lets the program run for a while, as a user who waits.
  void RunFor(uint64_t ms) {
    host.RunUntil([] { return false; }, ms);
  }
  void Click(int id) { dlg->DispatchCommand(id, fw::Notify::Clicked); }
  // The texts of the message boxes so far.
  std::vector<std::u16string> BoxTexts() const {
    std::vector<std::u16string> texts;
    for (const auto& b : boxes) texts.push_back(b.text);
    return texts;
  }
};

}  // namespace live
