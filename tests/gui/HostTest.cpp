// Time, message boxes, the window itself, destruction and modal runs on the Qt host.

#include <fcntl.h>
#include <unistd.h>

#include <QCheckBox>
#include <QElapsedTimer>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <memory>

#include "resources/Templates.h"
#include "tests/gui/GuiTest.h"

namespace {

using fw::Notify;
using guitest::GuiTest;
using guitest::kPatienceMs;
using guitest::RecordingDialog;
using guitest::WhenMessageBoxOpens;

// ---------------------------------------------------------------------------------------
// Timers

TEST_F(GuiTest, TimersTickThroughTheDialog) {
  RecordingDialog d(host_, 135);
  ASSERT_TRUE(d.Create(nullptr));
  EXPECT_EQ(d.SetTimer(1, 1), 1u);
  EXPECT_EQ(d.SetTimer(2, 7), 2u);
  EXPECT_TRUE(QTest::qWaitFor([&] { return d.ticks[1] >= 5 && d.ticks[2] >= 3; }, kPatienceMs));
  EXPECT_EQ(d.ticks.size(), 2u) << "a tick for an id never set";
}

TEST_F(GuiTest, SettingARunningTimerAgainRestartsItWithTheNewPeriod) {
  RecordingDialog d(host_, 135);
  ASSERT_TRUE(d.Create(nullptr));
  d.SetTimer(1, 3'600'000);
  EXPECT_EQ(d.SetTimer(1, 2), 1u);
  EXPECT_TRUE(QTest::qWaitFor([&] { return d.ticks[1] >= 3; }, kPatienceMs));
}

TEST_F(GuiTest, KilledTimerStopsTicking) {
  RecordingDialog d(host_, 135);
  ASSERT_TRUE(d.Create(nullptr));
  d.SetTimer(1, 1);
  d.SetTimer(2, 1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.ticks[1] >= 2; }, kPatienceMs));
  EXPECT_TRUE(d.KillTimer(1));
  EXPECT_FALSE(d.KillTimer(1)) << "killed twice";
  EXPECT_FALSE(d.KillTimer(9)) << "never set";
  const int stoppedAt = d.ticks[1];
  // Timer 2 keeps running; by its tenth further tick timer 1 would have ticked too.
  const int from = d.ticks[2];
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.ticks[2] >= from + 10; }, kPatienceMs));
  EXPECT_EQ(d.ticks[1], stoppedAt);
}

TEST_F(GuiTest, TimerMayKillItselfAndDestroyTheWindowFromItsTick) {
  RecordingDialog d(host_, 135);
  RecordingDialog reference(host_, 133);
  ASSERT_TRUE(d.Create(nullptr));
  ASSERT_TRUE(reference.Create(nullptr));
  d.onTimer = [&](unsigned id) {
    if (id == 1 && d.ticks[1] == 2) d.KillTimer(1);
    if (id == 2) d.DestroyWindow();
  };
  d.SetTimer(1, 1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.ticks[1] == 2; }, kPatienceMs));
  d.SetTimer(2, 1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !d.IsWindow(); }, kPatienceMs));
  // By the tenth tick of another 1 ms timer, a stray tick would have come.
  reference.SetTimer(1, 1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return reference.ticks[1] >= 10; }, kPatienceMs));
  EXPECT_EQ(d.ticks[1], 2);
  EXPECT_EQ(d.ticks[2], 1);
}

TEST_F(GuiTest, SleepBlocksWithoutDispatching) {
  RecordingDialog d(host_, 135);
  ASSERT_TRUE(d.Create(nullptr));
  d.SetTimer(1, 1);
  const uint64_t before = host_.NowMs();
  host_.Sleep(30);
  EXPECT_GE(host_.NowMs() - before, 30u);
  EXPECT_EQ(d.ticks[1], 0);
}

// ---------------------------------------------------------------------------------------
// Message boxes

enum class Answer { Ok, Yes, No, Escape, Close };

struct BoxCase {
  const char* name;
  unsigned type;
  Answer answer;
  int expected;
  QMessageBox::Icon icon;
};

class MessageBoxes : public GuiTest, public ::testing::WithParamInterface<BoxCase> {};

TEST_P(MessageBoxes, ShowTheTextAndReturnTheAnswer) {
  const BoxCase& c = GetParam();
  RecordingDialog d(host_, 135);
  Open(d);
  QString title, text;
  QMessageBox::StandardButtons buttons;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QWidget* parent = nullptr;
  WhenMessageBoxOpens([&](QMessageBox& box) {
    title = box.windowTitle();
    text = box.text();
    buttons = box.standardButtons();
    icon = box.icon();
    parent = box.parentWidget();
    switch (c.answer) {
      case Answer::Ok:
        box.button(QMessageBox::Ok)->click();
        break;
      case Answer::Yes:
        box.button(QMessageBox::Yes)->click();
        break;
      case Answer::No:
        box.button(QMessageBox::No)->click();
        break;
      case Answer::Escape:
        QTest::keyClick(&box, Qt::Key_Escape);
        break;
      case Answer::Close:
        box.close();
        break;
    }
  });
  const int result = d.MessageBox(u"Do you want to write another transponder. \r\n", u"Info", c.type);
  EXPECT_EQ(result, c.expected);
  EXPECT_EQ(title, QStringLiteral("Info"));
  EXPECT_EQ(text, QStringLiteral("Do you want to write another transponder. \n"));
  EXPECT_EQ(icon, c.icon);
  EXPECT_EQ(parent, d.Qt().Widget()) << "the box belongs to its dialog's window";
  if ((c.type & 0xF) == fw::MB_YESNO) {
    EXPECT_EQ(buttons, QMessageBox::Yes | QMessageBox::No);
  } else {
    EXPECT_EQ(buttons, QMessageBox::Ok);
  }
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "the box is still open";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, MessageBoxes,
    ::testing::Values(BoxCase{"Ok", fw::MB_OK, Answer::Ok, fw::IDOK, QMessageBox::NoIcon},
                      BoxCase{"OkEscape", fw::MB_OK | fw::MB_ICONWARNING, Answer::Escape, fw::IDOK,
                              QMessageBox::Warning},
                      BoxCase{"OkClosed", fw::MB_OK | fw::MB_ICONERROR, Answer::Close, fw::IDOK, QMessageBox::Critical},
                      BoxCase{"Yes", fw::MB_YESNO | fw::MB_ICONQUESTION, Answer::Yes, fw::IDYES, QMessageBox::Question},
                      BoxCase{"No", fw::MB_YESNO, Answer::No, fw::IDNO, QMessageBox::NoIcon},
                      BoxCase{"YesNoEscape", fw::MB_YESNO | fw::MB_ICONINFORMATION, Answer::Escape, fw::IDNO,
                              QMessageBox::Information},
                      BoxCase{"YesNoClosed", fw::MB_YESNO, Answer::Close, fw::IDNO, QMessageBox::NoIcon}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(GuiTest, TimersKeepTickingWhileAMessageBoxIsOpen) {
  RecordingDialog d(host_, 135);
  RecordingDialog other(host_, 133);
  Open(d);
  ASSERT_TRUE(other.Create(nullptr));
  d.SetTimer(1, 1);
  other.SetTimer(1, 1);
  int ticksWhenAnswered = 0;
  WhenMessageBoxOpens([&](QMessageBox& box) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return d.ticks[1] >= 5 && other.ticks[1] >= 5; }, kPatienceMs));
    ticksWhenAnswered = d.ticks[1];
    box.button(QMessageBox::Ok)->click();
  });
  EXPECT_EQ(d.MessageBox(u"Write OK", u"Information", fw::MB_OK), fw::IDOK);
  EXPECT_GE(ticksWhenAnswered, 5);
}

TEST_F(GuiTest, MessageBoxesOfOneWindowMayNest) {
  RecordingDialog d(host_, 135);
  Open(d);
  int inner = 0;
  // The first box's loop runs a tick that asks again; the second box is answered first.
  d.onTimer = [&](unsigned) {
    d.KillTimer(1);
    WhenMessageBoxOpens([&](QMessageBox& box) {
      ASSERT_EQ(box.text(), QStringLiteral("inner"));
      box.button(QMessageBox::Yes)->click();
    });
    inner = d.MessageBox(u"inner", u"Warning", fw::MB_YESNO);
    WhenMessageBoxOpens([&](QMessageBox& box) {
      ASSERT_EQ(box.text(), QStringLiteral("outer"));
      box.button(QMessageBox::Ok)->click();
    });
  };
  WhenMessageBoxOpens([&](QMessageBox&) { d.SetTimer(1, 1); });
  EXPECT_EQ(d.MessageBox(u"outer", u"Information", fw::MB_OK), fw::IDOK);
  EXPECT_EQ(inner, fw::IDYES);
  EXPECT_EQ(d.ticks[1], 1);
}

TEST_F(GuiTest, DestroyingTheWindowWhileItsMessageBoxIsOpenClosesTheBox) {
  RecordingDialog d(host_, 135);
  Open(d);
  QPointer<QDialog> widget = d.Qt().Widget();
  QPointer<QMessageBox> seen;
  bool opened = false;
  WhenMessageBoxOpens([&](QMessageBox& box) {
    seen = &box;
    opened = true;
    d.SetTimer(1, 1);
  });
  // One tick, so that nothing of the window runs any more once it is gone.
  d.onTimer = [&](unsigned) {
    d.KillTimer(1);
    d.DestroyWindow();
  };
  // No one answers: the box must go away with the window. Should it stay, this answers it
  // late and the test fails instead of hanging.
  QTimer late;
  late.setSingleShot(true);
  bool answeredLate = false;
  QObject::connect(&late, &QTimer::timeout, [&] {
    answeredLate = true;
    if (seen) seen->done(QMessageBox::Yes);
  });
  late.start(kPatienceMs);
  EXPECT_EQ(d.MessageBox(u"Edit code process busy, are you sure?", u"Warning", fw::MB_YESNO | fw::MB_ICONWARNING),
            fw::IDNO);
  EXPECT_TRUE(opened);
  EXPECT_FALSE(answeredLate);
  EXPECT_FALSE(d.IsWindow());
  if (seen) {
    EXPECT_FALSE(seen->isVisible());
  }
  EXPECT_EQ(d.ticks[1], 1);
  ASSERT_FALSE(widget.isNull());
  EXPECT_FALSE(widget->isVisible());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(widget.isNull());
  EXPECT_TRUE(seen.isNull());
}

TEST_F(GuiTest, WindowObjectDeletedUnderItsOpenMessageBox) {
  // A window made and owned here rather than by its dialog, deleted from the nested loop of
  // its own box: the box returns without touching the freed window.
  fw::CDialog d(host_, res::WriteTagTemplate());
  std::unique_ptr<fw::IWindow> window = host_.CreateDialogWindow(d, res::WriteTagTemplate(), nullptr);
  ASSERT_NE(window, nullptr);
  QPointer<QDialog> widget = static_cast<fw::QtWindow*>(window.get())->Widget();
  widget->show();
  bool deleted = false;
  WhenMessageBoxOpens([&](QMessageBox&) {
    window.reset();
    deleted = true;
  });
  fw::IWindow* raw = window.get();
  EXPECT_EQ(raw->MessageBox(u"text", u"Help", fw::MB_OK), fw::IDOK);
  EXPECT_TRUE(deleted);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(widget.isNull());
}

// ---------------------------------------------------------------------------------------
// Destruction

TEST_F(GuiTest, ClickHandlerMayDestroyItsOwnWindow) {
  RecordingDialog d(host_, 102);
  d.Record(1000, Notify::Clicked, [&] { d.DestroyWindow(); });
  d.Record(1041, Notify::Clicked);
  Open(d);
  QPointer<QDialog> widget = d.Qt().Widget();
  QPointer<QWidget> button = d.Qt().Control(1000);
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_FALSE(d.IsWindow());
  ASSERT_FALSE(widget.isNull()) << "deleted under its own signal";
  EXPECT_FALSE(widget->isVisible());
  // Whatever still reaches the old widgets goes nowhere.
  static_cast<QAbstractButton*>(widget->findChildren<QCheckBox*>().front())->click();
  EXPECT_EQ(d.commands.size(), 1u);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(widget.isNull());
  EXPECT_TRUE(button.isNull());
}

TEST_F(GuiTest, EditHandlerMayDestroyTheWindowFromSetText) {
  RecordingDialog d(host_, 102);
  d.Record(1043, Notify::Changed, [&] { d.DestroyWindow(); });
  Open(d);
  d.SetDlgItemText(1043, u"41");
  EXPECT_FALSE(d.IsWindow());
  EXPECT_EQ(d.commands.size(), 1u);
}

TEST_F(GuiTest, OwnedDialogOutlivesItsOwnersWindow) {
  RecordingDialog main(host_, 102);
  RecordingDialog writeTag(host_, 135);
  Open(main);
  Open(writeTag, &main);
  writeTag.SetTimer(1, 1);
  main.DestroyWindow();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  ASSERT_TRUE(writeTag.IsWindow());
  EXPECT_TRUE(writeTag.IsWindowVisible());
  writeTag.SetDlgItemText(1076, u"still here");
  EXPECT_EQ(writeTag.GetDlgItemText(1076), u"still here");
  const int from = writeTag.ticks[1];
  EXPECT_TRUE(QTest::qWaitFor([&] { return writeTag.ticks[1] > from + 2; }, kPatienceMs));
}

// ---------------------------------------------------------------------------------------
// Modal runs

// Ends a modal run that did not end by itself, so a failing test does not hang.
class Watchdog {
 public:
  Watchdog(fw::IHost& host, fw::CDialog& dialog) {
    QObject::connect(&timer_, &QTimer::timeout, [this, &host, &dialog] {
      fired_ = true;
      host.EndModal(dialog);
    });
    timer_.setSingleShot(true);
    timer_.start(kPatienceMs);
  }
  bool Fired() const { return fired_; }

 private:
  QTimer timer_;
  bool fired_ = false;
};

TEST_F(GuiTest, DoModalRunsUntilTheDialogEnds) {
  RecordingDialog d(host_, 133);
  d.onInit = [&] { d.SetTimer(1, 1); };
  bool shownWhileRunning = false;
  d.onTimer = [&](unsigned) {
    shownWhileRunning = d.IsWindowVisible();
    if (d.ticks[1] == 3) d.EndDialog(42);
  };
  Watchdog watchdog(host_, d);
  EXPECT_EQ(d.DoModal(), 42);
  EXPECT_FALSE(watchdog.Fired());
  EXPECT_TRUE(shownWhileRunning);
  EXPECT_EQ(d.ticks[1], 3);
  EXPECT_FALSE(d.IsWindow());
}

TEST_F(GuiTest, DoModalEndsWhenTheWindowIsDestroyed) {
  RecordingDialog d(host_, 102);
  d.onInit = [&] { d.SetTimer(1, 1); };
  d.onTimer = [&](unsigned) { d.DestroyWindow(); };
  Watchdog watchdog(host_, d);
  EXPECT_EQ(d.DoModal(), -1);
  EXPECT_FALSE(watchdog.Fired());
}

TEST_F(GuiTest, ModalRunEndedBeforeItStartsReturnsAtOnce) {
  RecordingDialog d(host_, 133);
  ASSERT_TRUE(d.Create(nullptr));
  Watchdog watchdog(host_, d);
  host_.EndModal(d);
  host_.RunModal(d);
  EXPECT_FALSE(watchdog.Fired());
  // That early end was used up: the next run waits for its own end.
  QTimer::singleShot(5, [&] { host_.EndModal(d); });
  QElapsedTimer clock;
  clock.start();
  host_.RunModal(d);
  EXPECT_GE(clock.elapsed(), 4);
  EXPECT_FALSE(watchdog.Fired());
}

TEST_F(GuiTest, ModalRunEndsWhenTheWindowGoesEvenWithoutEndModal) {
  RecordingDialog d(host_, 133);
  ASSERT_TRUE(d.Create(nullptr));  // modeless: DestroyWindow does not end runs itself
  d.onTimer = [&](unsigned) { d.DestroyWindow(); };
  d.SetTimer(1, 1);
  Watchdog watchdog(host_, d);
  host_.RunModal(d);
  EXPECT_FALSE(d.IsWindow());
  EXPECT_FALSE(watchdog.Fired());
}

TEST_F(GuiTest, EndDialogInInitialisationSkipsTheRun) {
  RecordingDialog d(host_, 133);
  d.onInit = [&] { d.EndDialog(7); };
  Watchdog watchdog(host_, d);
  EXPECT_EQ(d.DoModal(), 7);
  // A later run of the same object is not ended by that old end.
  d.onInit = [&] { d.SetTimer(1, 1); };
  d.onTimer = [&](unsigned) {
    if (d.ticks[1] == 2) d.EndDialog(8);
  };
  EXPECT_EQ(d.DoModal(), 8);
  EXPECT_EQ(d.ticks[1], 2);
  EXPECT_FALSE(watchdog.Fired());
}

// ---------------------------------------------------------------------------------------
// The window

TEST_F(GuiTest, WindowPlacementRegionAndVisibility) {
  RecordingDialog d(host_, 102);
  Open(d);
  fw::IWindow& w = *d.Window();
  QDialog* widget = d.Qt().Widget();

  w.SetWindowPos(true, fw::Rect{0, 3, 240, 320});
  EXPECT_TRUE(widget->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_TRUE(w.IsWindowVisible()) << "a flag change hid the window";
  // The handheld's window rectangle counts its 28-pixel caption; the client area is the rest.
  EXPECT_EQ(widget->size(), QSize(240, 292));
  EXPECT_EQ(widget->pos(), QPoint(0, 3));

  const fw::Rect region{72, 85, 98, 98};
  w.SetWindowRegion(&region);
  EXPECT_EQ(widget->mask(), QRegion(72, 85 - 28, 98, 98));
  w.SetWindowRegion(nullptr);
  EXPECT_TRUE(widget->mask().isEmpty());

  w.ShowWindow(false);
  EXPECT_FALSE(w.IsWindowVisible());
  w.SetWindowPos(false, fw::Rect{10, 20, 240, 320});
  EXPECT_FALSE(widget->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_FALSE(w.IsWindowVisible()) << "a flag change showed the window";
  w.BringToFront();
  EXPECT_TRUE(w.IsWindowVisible());
}

TEST_F(GuiTest, CenterWindowAndIcon) {
  RecordingDialog d(host_, 102);
  Open(d);
  fw::IWindow& w = *d.Window();
  QDialog* widget = d.Qt().Widget();
  w.CenterWindow();
  const QPoint screenCentre = widget->screen()->availableGeometry().center();
  EXPECT_LE((widget->frameGeometry().center() - screenCentre).manhattanLength(), 2);

  EXPECT_TRUE(widget->windowIcon().isNull());
  w.SetIcon(res::IDR_MAINFRAME);
  EXPECT_FALSE(widget->windowIcon().isNull()) << "pelmor-icon.png not loaded";
  EXPECT_EQ(widget->windowIcon().availableSizes().value(0), QSize(32, 32));
}

// ---------------------------------------------------------------------------------------
// Watched descriptors

struct Pipe {
  Pipe() { EXPECT_EQ(pipe2(fds, O_NONBLOCK), 0); }
  ~Pipe() {
    close(fds[0]);
    close(fds[1]);
  }
  void Put() { EXPECT_EQ(write(fds[1], "x", 1), 1); }
  int Drain() {
    char buf[16];
    int n = 0;
    while (read(fds[0], buf, sizeof buf) > 0) ++n;
    return n;
  }
  int fds[2] = {-1, -1};
};

TEST_F(GuiTest, WatchedDescriptorCallsBackWhenReadableUntilUnwatchedFromItsCallback) {
  Pipe a, b;
  int calledA = 0, calledB = 0;
  host_.WatchFd(a.fds[0], [&] {
    a.Drain();
    if (++calledA == 2) host_.UnwatchFd(a.fds[0]);
  });
  host_.WatchFd(b.fds[0], [&] {
    b.Drain();
    ++calledB;
  });
  a.Put();
  ASSERT_TRUE(QTest::qWaitFor([&] { return calledA == 1; }, kPatienceMs));
  a.Put();
  ASSERT_TRUE(QTest::qWaitFor([&] { return calledA == 2; }, kPatienceMs));
  // Unwatched now: a fresh byte on a goes unseen while b, written after it, is seen.
  a.Put();
  b.Put();
  ASSERT_TRUE(QTest::qWaitFor([&] { return calledB == 1; }, kPatienceMs));
  QCoreApplication::processEvents();
  EXPECT_EQ(calledA, 2);
  host_.UnwatchFd(b.fds[0]);
}

}  // namespace
