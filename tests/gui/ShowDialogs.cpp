// Shows the three dialogs on the Qt host with some sample content, for looking at them:
// writes a picture of each dialog's client area into OUTDIR and, with --hold, keeps the
// windows on screen for that many milliseconds, so that a screen grab can catch them with
// their frames. --hidden puts the main dialog into its hidden-mode layout (topmost at 0,3,
// 240 by 320 pixels, the scanning picture alone inside the window region).
//
//   gui_show_dialogs OUTDIR [--hold MS] [--hidden]

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstring>
#include <string>

#include "framework/qt/QtHost.h"
#include "framework/qt/QtWindow.h"
#include "resources/Templates.h"

namespace {

constexpr fw::Rect kHiddenFrame{0, 3, 240, 320};
constexpr fw::Rect kHiddenRegion{72, 85, 98, 98};

// Controls of the main dialog that hidden mode takes away, and the picture it shows.
constexpr int kHiddenModeControls[] = {1000, 1043, 1041, 1011, 1034, 1039, 1023,
                                       1024, 1021, 1022, 1020, 1019, 1014, 1004};
constexpr int kScanPicture = 1040;

bool Save(fw::CDialog& dialog, const QString& dir, const char* name) {
  auto* window = static_cast<fw::QtWindow*>(dialog.Window());
  const QString path = QDir(dir).filePath(QString::fromLatin1(name));
  const bool ok = window->Widget()->grab().save(path);
  std::printf("%s %s (%dx%d)\n", ok ? "wrote" : "could not write", qPrintable(path), window->Widget()->width(),
              window->Widget()->height());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTDIR [--hold MS] [--hidden]\n", argv[0]);
    return 2;
  }
  const QString outDir = QString::fromLocal8Bit(argv[1]);
  int holdMs = 0;
  bool hidden = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--hold") == 0 && i + 1 < argc) {
      holdMs = std::stoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--hidden") == 0) {
      hidden = true;
    }
  }
  QDir().mkpath(outDir);

  fw::QtHost host(res::PictureFilesIn(PELMOR_PICTURE_DIR));
  fw::CDialog main(host, res::MainTemplate());
  fw::CDialog writeTag(host, res::WriteTagTemplate());
  fw::CDialog download(host, res::DownloadTemplate());
  if (!main.Create(nullptr) || !writeTag.Create(&main) || !download.Create(&main)) return 1;

  fw::IWindow& m = *main.Window();
  m.SetIcon(res::IDR_MAINFRAME);
  m.SetText(1036, u"Type: ISO FDX-b");
  m.SetText(1037, u"Code: 528 140000123456");
  m.SetText(1003,
            u"Version 2.04\r\nscanning now...\r\nTag found! (ISO FDX-b)\r\n"
            u"528 140000123456\r\nscanning now...\r\n");
  m.ScrollToEnd(1003);
  m.SetText(1043, u"41");
  m.SetCheck(1041, fw::BST_CHECKED);
  m.SetCheck(1046, fw::BST_CHECKED);
  m.SetCheck(1019, fw::BST_CHECKED);
  m.SetCheck(1021, fw::BST_CHECKED);
  m.SetText(1000, u"Disconnect");
  m.Enable(1011, true);
  m.Enable(1023, true);

  fw::IWindow& w = *writeTag.Window();
  w.SetCheck(1070, fw::BST_CHECKED);
  for (const char16_t* code : {u"AB12", u"CD34", u"1234 5678"}) w.InsertString(1063, 0, code);
  w.SetText(1063, u"EF56");
  w.SetText(1076, u"528 140000123456");

  fw::IWindow& d = *download.Window();
  for (const char16_t* file : {u"LF204.EHX", u"LF210.EHX"}) d.AddString(1056, file);
  d.SetCurSel(1056, 1);
  d.SetPos(1058, 40);

  m.ShowWindow(true);
  static_cast<fw::QtWindow&>(m).Widget()->move(0, 0);
  w.ShowWindow(true);
  d.ShowWindow(true);
  static_cast<fw::QtWindow&>(w).Widget()->move(260, 0);
  static_cast<fw::QtWindow&>(d).Widget()->move(260, 260);
  QApplication::processEvents();

  bool ok = Save(main, outDir, "dialog-102.png") && Save(writeTag, outDir, "dialog-135.png") &&
            Save(download, outDir, "dialog-133.png");

  if (hidden) {
    for (int id : kHiddenModeControls) m.Show(id, false);
    m.Show(kScanPicture, true);
    m.SetWindowPos(true, kHiddenFrame);
    ok = Save(main, outDir, "dialog-102-hidden-layout.png") && ok;
    m.SetWindowRegion(&kHiddenRegion);
  }

  if (holdMs > 0) {
    // exit, not quit: quit asks the windows to close, and these leave that to their dialogs.
    QTimer::singleShot(holdMs, &app, [] { QCoreApplication::exit(0); });
    app.exec();
  }
  return ok ? 0 : 1;
}
