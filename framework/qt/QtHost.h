#pragma once
// The Qt widgets host of the dialog framework: real windows made from the templates, the Qt
// event loop as the message loop, QTimer window timers and QMessageBox message boxes.
//
// This header carries no Qt header, so the program's start-up code may include it next to
// anything. A QApplication must exist before the host is made and outlive it.

#include <filesystem>
#include <functional>
#include <memory>

#include "framework/Dialog.h"

namespace fw {

// The file of a picture resource by its id.
using PictureFiles = std::function<std::filesystem::path(int resource)>;

class QtHost final : public IHost {
 public:
  // pictures: the file of a picture resource (an icon, a bitmap control's picture); an
  // empty path for a resource that has none.
  explicit QtHost(PictureFiles pictures);
  ~QtHost() override;
  QtHost(const QtHost&) = delete;
  QtHost& operator=(const QtHost&) = delete;

  // A modeless dialog with an owner becomes a window above its owner's window.
  std::unique_ptr<IWindow> CreateDialogWindow(CDialog& dialog, const DialogTemplate& tpl, CDialog* owner) override;
  // A nested event loop. It returns at once when EndModal came first for this dialog's
  // window, and when the dialog's window is destroyed.
  void RunModal(CDialog& dialog) override;
  void EndModal(CDialog& dialog) override;
  void Sleep(unsigned ms) override;
  uint64_t NowMs() const override;
  // The callback may unwatch its own descriptor.
  void WatchFd(int fd, std::function<void()> onReadable) override;
  void UnwatchFd(int fd) override;
  // Shown only where the desktop has a system tray; the icon is the program's own.
  void ShowTrayIcon(int iconResource, const WString& toolTip, std::function<void()> onActivated) override;
  void HideTrayIcon() override;

 private:
  struct Impl;
  // Shared so that a window outliving the host can tell that the host is gone.
  std::shared_ptr<Impl> impl_;
};

}  // namespace fw
