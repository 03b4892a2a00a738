// The Qt host's loop for the benchmarks: Qt's own event loop, left whenever the condition
// holds at the moment the loop would go to sleep, and message boxes answered from an event
// filter as soon as they are shown, so no polling timer adds wake-ups of its own.

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include "bench/rig/BenchRig.h"
#include "framework/qt/QtHost.h"
#include "framework/qt/QtWindow.h"
#include "resources/Templates.h"

namespace bench {

namespace {

class BoxAnswerer : public QObject {
 public:
  Loop::BoxAnswer answer;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Show || !answer) return false;
    auto* box = qobject_cast<QMessageBox*>(watched);
    if (!box) return false;
    QString text = box->text();
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    const int id = answer(fw::FromQString(box->windowTitle()), fw::FromQString(text));
    const int button = id == fw::IDYES ? QMessageBox::Yes : id == fw::IDNO ? QMessageBox::No : QMessageBox::Ok;
    QPointer<QMessageBox> guard(box);
    // Answered from the box's own loop, once it runs.
    QMetaObject::invokeMethod(
        box,
        [guard, button] {
          if (guard) guard->done(button);
        },
        Qt::QueuedConnection);
    return false;
  }
};

class QtLoop : public Loop {
 public:
  QtLoop() : host_(res::PictureFilesIn(PELMOR_BENCH_PICTURE_DIR)) {}
  ~QtLoop() override { SetBoxAnswer(nullptr); }

  fw::IHost& Host() override { return host_; }
  std::string Name() const override { return "qt"; }

  bool RunUntil(const std::function<bool()>& done, uint64_t maxMs) override {
    if (done()) return true;
    QEventLoop loop;
    bool reached = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&loop] { loop.quit(); });
    deadline.start(static_cast<int>(maxMs));
    // Looked at each time the loop has nothing more to do right now.
    auto* dispatcher = QAbstractEventDispatcher::instance();
    const auto check = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &loop, [&] {
      if (!reached && done()) {
        reached = true;
        loop.quit();
      }
    });
    loop.exec();
    QObject::disconnect(check);
    return reached || done();
  }

  // The filter sees every event of the application; it is there only while boxes are to be
  // answered, so that it adds nothing to the idle figures.
  void SetBoxAnswer(BoxAnswer answer) override {
    QCoreApplication::instance()->removeEventFilter(&answerer_);
    answerer_.answer = std::move(answer);
    if (answerer_.answer) QCoreApplication::instance()->installEventFilter(&answerer_);
  }

  void Settle() override {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
  }

 private:
  BoxAnswerer answerer_;
  fw::QtHost host_;
};

}  // namespace

std::unique_ptr<Loop> MakeQtLoop() { return std::make_unique<QtLoop>(); }

}  // namespace bench
