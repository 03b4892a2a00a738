#pragma once
// Shared pieces of the Qt host tests: a dialog that records what reaches it, and a fixture
// with a host whose pictures come from the source tree.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDateTime>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "framework/qt/QtHost.h"
#include "framework/qt/QtWindow.h"
#include "resources/Templates.h"

namespace guitest {

// Long enough for any event the tests wait for; a wait that takes this long has failed.
inline constexpr int kPatienceMs = 5000;

// A dialog that keeps count of its notifications instead of acting on them: the built-in
// OK and Cancel handlers do not end it, so every key and close request can be counted.
class RecordingDialog : public fw::CDialog {
 public:
  RecordingDialog(fw::IHost& host, int templateId) : CDialog(host, *res::FindDialogTemplate(templateId)) {}

  struct Command {
    int id;
    fw::Notify code;
    friend bool operator==(const Command&, const Command&) = default;
  };

  // Records every notification code of the id, then runs also (if given).
  void Record(int id, fw::Notify code, std::function<void()> also = {}) {
    MapCommand(id, code, [this, id, code, also] {
      commands.push_back({id, code});
      if (also) also();
    });
  }
  void RecordAll(int id, std::function<void()> also = {}) {
    for (fw::Notify code : {fw::Notify::Clicked, fw::Notify::Changed, fw::Notify::EditChange, fw::Notify::SelChange})
      Record(id, code, also);
  }

  fw::QtWindow& Qt() const { return *static_cast<fw::QtWindow*>(Window()); }

  std::vector<Command> commands;
  int oks = 0;
  int cancels = 0;
  int closes = 0;
  int helps = 0;
  std::map<unsigned, int> ticks;
  std::function<void(unsigned)> onTimer;
  std::function<void()> onInit;

 protected:
  bool OnInitDialog() override {
    if (onInit) onInit();
    return true;
  }
  void OnOK() override { ++oks; }
  void OnCancel() override { ++cancels; }
  void OnClose() override { ++closes; }
  void OnHelpInfo() override { ++helps; }
  void OnTimer(unsigned id) override {
    ++ticks[id];
    if (onTimer) onTimer(id);
  }
};

class GuiTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Windows go with deleteLater; without this they would outlive the test.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  // Makes the dialog's window, shows it and lets it be painted.
  static void Open(fw::CDialog& dialog, fw::CDialog* owner = nullptr) {
    ASSERT_TRUE(dialog.Create(owner));
    dialog.ShowWindow(true);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(static_cast<fw::QtWindow*>(dialog.Window())->Widget()));
  }

  fw::QtHost host_{res::PictureFilesIn(PELMOR_PICTURE_DIR)};
};

// Calls act with the message box once one is open, from the event loop the box runs. Gives
// up, failing the test, when no box opens in time.
inline void WhenMessageBoxOpens(std::function<void(QMessageBox&)> act, qint64 deadline = 0) {
  if (deadline == 0) deadline = QDateTime::currentMSecsSinceEpoch() + kPatienceMs;
  QTimer::singleShot(1, [act, deadline] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      act(*box);
    } else if (QDateTime::currentMSecsSinceEpoch() > deadline) {
      ADD_FAILURE() << "no message box opened";
    } else {
      WhenMessageBoxOpens(act, deadline);
    }
  });
}

}  // namespace guitest
