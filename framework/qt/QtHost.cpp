#include "framework/qt/QtHost.h"

#include <QEventLoop>
#include <QIcon>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "framework/qt/QtWindow.h"

namespace fw {

struct QtHost::Impl {
  struct ModalRun {
    CDialog* dialog = nullptr;
    QEventLoop* loop = nullptr;
    bool ended = false;
  };

  struct Watch {
    QSocketNotifier* notifier = nullptr;
  };

  // Ends the innermost running modal run of the dialog; false when there is none.
  bool EndRun(CDialog* dialog) {
    for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
      ModalRun* run = *it;
      if (run->dialog == dialog && !run->ended) {
        run->ended = true;
        run->loop->quit();
        return true;
      }
    }
    return false;
  }

  void WindowDestroyed(CDialog* dialog) {
    endedEarly.erase(dialog);
    while (EndRun(dialog)) {
    }
  }

  PictureFiles pictures;
  std::vector<ModalRun*> runs;  // innermost last
  // Dialogs whose modal run was ended before it started.
  std::set<CDialog*> endedEarly;
  std::map<int, Watch> watches;
  QSystemTrayIcon* tray = nullptr;
  std::function<void()> trayActivated;
};

QtHost::QtHost(PictureFiles pictures) : impl_(std::make_shared<Impl>()) { impl_->pictures = std::move(pictures); }

QtHost::~QtHost() {
  for (auto& [fd, watch] : impl_->watches) delete watch.notifier;
  impl_->watches.clear();
  delete impl_->tray;
  impl_->tray = nullptr;
}

void QtHost::ShowTrayIcon(int iconResource, const WString& toolTip, std::function<void()> onActivated) {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
  impl_->trayActivated = std::move(onActivated);
  if (!impl_->tray) {
    const QString icon = QString::fromStdString(impl_->pictures(iconResource).string());
    impl_->tray = new QSystemTrayIcon(QIcon(icon));
    std::weak_ptr<Impl> host = impl_;
    QObject::connect(impl_->tray, &QSystemTrayIcon::activated, [host](QSystemTrayIcon::ActivationReason reason) {
      auto impl = host.lock();
      if (!impl || reason == QSystemTrayIcon::Context) return;
      // Copied: the callback may hide the icon and drop itself.
      if (auto activated = impl->trayActivated) activated();
    });
  }
  impl_->tray->setToolTip(QString::fromStdU16String(toolTip));
  impl_->tray->show();
}

void QtHost::HideTrayIcon() {
  impl_->trayActivated = nullptr;
  if (impl_->tray) impl_->tray->hide();
}

std::unique_ptr<IWindow> QtHost::CreateDialogWindow(CDialog& dialog, const DialogTemplate& tpl, CDialog* owner) {
  impl_->endedEarly.erase(&dialog);
  QWidget* parent = nullptr;
  if (owner) {
    if (auto* ownerWindow = dynamic_cast<QtWindow*>(owner->Window())) parent = ownerWindow->Widget();
  }
  std::weak_ptr<Impl> host = impl_;
  return std::make_unique<QtWindow>(dialog, tpl, parent, impl_->pictures, [host](CDialog& destroyed) {
    if (auto impl = host.lock()) impl->WindowDestroyed(&destroyed);
  });
}

void QtHost::RunModal(CDialog& dialog) {
  if (impl_->endedEarly.erase(&dialog) != 0) return;
  if (!dialog.IsWindow()) return;
  QEventLoop loop;
  Impl::ModalRun run{&dialog, &loop, false};
  impl_->runs.push_back(&run);
  // One pass: the loop also returns when the application quits, and then so does this run.
  loop.exec();
  auto& runs = impl_->runs;
  runs.erase(std::remove(runs.begin(), runs.end(), &run), runs.end());
}

void QtHost::EndModal(CDialog& dialog) {
  if (!impl_->EndRun(&dialog)) impl_->endedEarly.insert(&dialog);
}

void QtHost::Sleep(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

uint64_t QtHost::NowMs() const {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

void QtHost::WatchFd(int fd, std::function<void()> onReadable) {
  UnwatchFd(fd);
  auto* notifier = new QSocketNotifier(static_cast<qintptr>(fd), QSocketNotifier::Read);
  auto callback = std::make_shared<std::function<void()>>(std::move(onReadable));
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [callback] {
    // A copy of the handle keeps the callback alive when it unwatches its own descriptor.
    const auto keep = callback;
    (*keep)();
  });
  impl_->watches[fd] = Impl::Watch{notifier};
}

void QtHost::UnwatchFd(int fd) {
  auto it = impl_->watches.find(fd);
  if (it == impl_->watches.end()) return;
  QSocketNotifier* notifier = it->second.notifier;
  impl_->watches.erase(it);
  // The call may come from the notifier's own signal.
  notifier->setEnabled(false);
  notifier->deleteLater();
}

}  // namespace fw
