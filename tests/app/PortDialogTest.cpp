// The "Reader port" dialog: why a port cannot be opened, the reader told among the devices
// that come, and the dialog with the main window from a failed start to a remembered port.

#include "app/PortDialog.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>

#include "app/PortProblem.h"
#include "app/ReaderReturn.h"
#include "app/UserConfig.h"
#include "tests/app/Rig.h"

namespace {

using namespace res;
using testing_rig::Rig;

TEST(PortProblem, ReasonsInPlainWords) {
  using app::PortFailure;
  struct Case {
    uint32_t error;
    app::PortProblem problem;
    std::string text;
  } cases[] = {
      {platform::kErrNotFound,
       {PortFailure::NoDevice, "/dev/ttyUSB0", "", {}, ""},
       "No such device: /dev/ttyUSB0\nIs the reader plugged in? Pick its port above."},
      {platform::kErrAccessDenied,
       {PortFailure::AccessDenied, "/dev/ttyUSB0", "dialout", {}, ""},
       "Permission denied: /dev/ttyUSB0\nJoin the group dialout (sudo usermod -aG dialout $USER),\n"
       "then log out and in again."},
      {platform::kErrAccessDenied,
       {PortFailure::AccessDenied, "/dev/ttyS0", "", {}, ""},
       "Permission denied: /dev/ttyS0\nYou may not open this device."},
      {platform::kErrSharingViolation,
       {PortFailure::Busy, "/dev/ttyACM0", "", {{812, "minicom"}}, ""},
       "Busy: /dev/ttyACM0\nheld by process 812 (minicom)"},
      {platform::kErrSharingViolation,
       {PortFailure::Busy, "/dev/ttyACM0", "", {{812, "minicom"}, {90, ""}}, ""},
       "Busy: /dev/ttyACM0\nheld by processes 812 (minicom), 90"},
      {platform::kErrSharingViolation,
       {PortFailure::Busy, "/dev/ttyACM0", "", {}, ""},
       "Busy: /dev/ttyACM0\nAnother program has it open."},
      {platform::kErrInvalidParameter,
       {PortFailure::Other, "/dev/x", "", {}, "Invalid argument\r\n"},
       "Cannot open /dev/x\nInvalid argument"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(app::ClassifyOpenError(c.error), c.problem.failure) << c.text;
    EXPECT_EQ(app::DescribePortProblem(c.problem), c.text);
  }
  EXPECT_EQ(app::ClassifyOpenError(platform::kErrDeviceGone), PortFailure::NoDevice);
}

TEST(PortProblem, HoldersAndGroupAreFoundOnTheSystem) {
  testing_rig::TempDir dir;
  const std::filesystem::path device = dir.Path() / "ttyREADER";
  std::ofstream(device) << "";
  const std::filesystem::path node = std::filesystem::canonical(device);
  // A process table of its own: 812 holds the device, 90 something else, 77 cannot be read.
  const std::filesystem::path proc = dir.Path() / "proc";
  for (const char* pid : {"812", "90", "77", "self"}) std::filesystem::create_directories(proc / pid / "fd");
  std::filesystem::create_symlink("/dev/null", proc / "812" / "fd" / "0");
  std::filesystem::create_symlink(node, proc / "812" / "fd" / "5");
  std::filesystem::create_symlink("/dev/null", proc / "90" / "fd" / "0");
  std::filesystem::create_symlink(node, proc / "self" / "fd" / "3");  // not a process number
  std::filesystem::remove(proc / "77" / "fd");
  std::ofstream(proc / "812" / "comm") << "mini\x1b"
                                       << "com\n";
  // The device's name may be a link, as /dev/serial/by-id names are.
  std::filesystem::create_symlink(device, dir.Path() / "by-id-reader");
  const std::vector<app::PortHolder> holders = app::ProcessesHolding(proc, dir.Path() / "by-id-reader");
  ASSERT_EQ(holders.size(), 1u);
  EXPECT_EQ(holders[0].pid, 812);
  EXPECT_EQ(holders[0].command, "mini?com");
  EXPECT_TRUE(app::ProcessesHolding(proc, dir.Path() / "missing").empty());

  // The group of the node is the one this test's files get.
  const std::string group = app::DeviceGroup(device);
  EXPECT_FALSE(group.empty());
  EXPECT_EQ(app::DeviceGroup(dir.Path() / "missing"), "");
}

TEST(ReaderReturn, OnlyTheLostReaderIsTakenAgain) {
  const std::vector<app::SerialDevice> devices{
      {"ttyUSB0", "/dev/ttyUSB0", "usb", "0403", "6001", "", "", "A10K", {"/dev/serial/by-id/usb-FTDI_A10K-if00"}},
      {"ttyACM0", "/dev/ttyACM0", "usb", "2341", "0043", "", "", "77", {"/dev/serial/by-id/usb-uno-77"}},
  };
  const app::ReaderIdentity byNode = app::IdentifyReader("/dev/ttyUSB0", "/dev/ttyUSB0", devices);
  EXPECT_EQ(byNode.serial, "A10K");
  EXPECT_EQ(byNode.byId, (std::vector<std::string>{"/dev/serial/by-id/usb-FTDI_A10K-if00"}));
  const app::ReaderIdentity byLink =
      app::IdentifyReader("/dev/serial/by-id/usb-FTDI_A10K-if00", "/dev/ttyUSB0", devices);
  const app::ReaderIdentity unknown = app::IdentifyReader("/tmp/ttyREADER", "", devices);
  EXPECT_TRUE(unknown.byId.empty());
  const app::ReaderIdentity pty = app::IdentifyReader("/tmp/ttyREADER", "/dev/pts/7", devices);
  const platform::DeviceEvent ptyBack{"add", "/dev/pts/7", {}, ""};

  using Event = platform::DeviceEvent;
  const Event sameNode{"add", "/dev/ttyUSB0", {"/dev/serial/by-id/usb-FTDI_A10K-if00"}, "A10K"};
  const Event newNumber{"add", "/dev/ttyUSB1", {"/dev/serial/by-id/usb-FTDI_A10K-if00"}, "A10K"};
  const Event serialOnly{"add", "/dev/ttyUSB2", {}, "A10K"};
  const Event other{"add", "/dev/ttyUSB0", {"/dev/serial/by-id/usb-other"}, "B22"};
  const Event removed{"remove", "/dev/ttyUSB0", {"/dev/serial/by-id/usb-FTDI_A10K-if00"}, "A10K"};
  const Event unoBack{"add", "/dev/ttyACM0", {"/dev/serial/by-id/usb-uno-77"}, "77"};
  struct Case {
    const app::ReaderIdentity* reader;
    const Event* event;
    std::optional<std::string> path;
  } cases[] = {
      {&byNode, &sameNode, "/dev/ttyUSB0"},
      {&byNode, &newNumber, "/dev/ttyUSB1"},  // the same adapter, numbered anew
      {&byNode, &serialOnly, "/dev/ttyUSB2"},
      {&byNode, &other, "/dev/ttyUSB0"},  // the same path: whatever is there now is taken
      {&byNode, &removed, std::nullopt},
      {&byNode, &unoBack, std::nullopt},
      {&byLink, &newNumber, "/dev/serial/by-id/usb-FTDI_A10K-if00"},  // its own name still leads to it
      {&byLink, &other, std::nullopt},
      {&unknown, &sameNode, std::nullopt},
      // Known by nothing but its node: the node it led to.
      {&pty, &ptyBack, "/dev/pts/7"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(app::ReturningReaderPath(*c.reader, *c.event), c.path) << c.reader->path << " / " << c.event->node;

  // udev hears of adapters, not of pseudo-terminals, whatever name leads to them; nor again
  // of an adapter that is there but could not be opened.
  using app::PortFailure;
  EXPECT_FALSE(app::RetriesPort(byNode, PortFailure::NoDevice));
  EXPECT_FALSE(app::RetriesPort(byLink, PortFailure::NoDevice));
  EXPECT_TRUE(app::RetriesPort(pty, PortFailure::NoDevice));
  EXPECT_TRUE(app::RetriesPort(app::IdentifyReader("/dev/pts/3", "", {}), PortFailure::NoDevice));
  EXPECT_TRUE(app::RetriesPort(unknown, PortFailure::NoDevice));  // a link of the user's, not made yet
  EXPECT_FALSE(app::RetriesPort(app::IdentifyReader("/tmp/ttyREADER", "/dev/ttyUSB0", devices), PortFailure::NoDevice));
  for (const PortFailure f : {PortFailure::Busy, PortFailure::AccessDenied, PortFailure::Other})
    EXPECT_TRUE(app::RetriesPort(byNode, f));
}

// Serial devices announced through a pipe, as the udev monitor's socket would.
class PipeDeviceWatch : public platform::IDeviceWatch {
 public:
  PipeDeviceWatch() { EXPECT_EQ(::pipe(fds_), 0); }
  ~PipeDeviceWatch() override {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  int Fd() const override { return fds_[0]; }
  std::vector<platform::DeviceEvent> TakeEvents() override {
    // One byte was written per event.
    for (size_t i = 0; i < pending_.size(); ++i) {
      char c;
      EXPECT_EQ(::read(fds_[0], &c, 1), 1);
    }
    return std::exchange(pending_, {});
  }
  void Announce(platform::DeviceEvent event) {
    pending_.push_back(std::move(event));
    EXPECT_EQ(::write(fds_[1], "e", 1), 1);
  }

 private:
  int fds_[2] = {-1, -1};
  std::vector<platform::DeviceEvent> pending_;
};

// A main window as the desktop makes it, with the reader's device missing at start.
struct PortRig : Rig {
  PipeDeviceWatch watch;
  std::vector<std::string> remembered;
  std::filesystem::path conf = dir.Path() / "config" / "pelmor" / "pelmor.conf";
  std::vector<app::SerialDevice> devices{{"ttyACM3", "/dev/ttyACM3", "usb", "2341", "0043", "", "Uno", "9", {}},
                                         {"ttyUSB0", "/dev/ttyUSB0", "usb", "0403", "6001", "", "", "A10K", {}}};

  CMainDialog& StartDesktop(bool withWatch, const std::string& path = "/dev/ttyUSB0") {
    dlg = std::make_unique<CMainDialog>(host, Services());
    dlg->SetPortDevice(fw::Widen(path));
    dlg->SetPortDialogUse(CMainDialog::PortDialogUse::OnOpenFailure);
    dlg->SetDeviceLister([this] { return devices; });
    dlg->SetPortMemory([this](const std::string& device) {
      remembered.push_back(device);
      EXPECT_TRUE(app::RememberPort(conf, device).Ok());
    });
    if (withWatch) dlg->SetDeviceWatch(&watch);
    dlg->Create(nullptr);
    dlg->ShowWindow(true);
    host.Advance(CMainDialog::kPortDialogDelayMs);
    return *dlg;
  }
  fw::HeadlessWindow* PortWindow() { return host.FindWindow(IDD_PORT); }
  // The reader's device goes away under a read.
  void LoseReader() {
    serial.failRead = true;
    serial.lastErrorOnFailure = platform::kErrDeviceGone;
    Ticks(1);
    serial.failRead = false;
  }
  // One retry period passes; what is written then is kept alone.
  void WaitOneRetry() {
    serial.ClearWritten();
    host.Advance(CMainDialog::kReconnectPeriodMs);
  }
};

TEST(PortDialog, FailedStartLeadsToTheDialogAndTheChosenPortIsRemembered) {
  PortRig r;
  r.serial.names = {u"/dev/ttyACM3"};  // "COM1:" (the start's /dev/ttyUSB0) is not there
  r.StartDesktop(false);
  // The box as ever, then the window stays and the dialog opens with the reason.
  ASSERT_EQ(r.host.MessageBoxes().size(), 1u);
  EXPECT_TRUE(r.dlg->IsWindow());
  EXPECT_TRUE(r.dlg->OpenFailed());
  ASSERT_NE(r.PortWindow(), nullptr);
  CPortDialog& port = *r.dlg->PortDialog();
  EXPECT_EQ(fw::ToUtf8(port.GetDlgItemText(IDC_PORT_REASON)),
            "No such device: /dev/ttyUSB0\nIs the reader plugged in? Pick its port above.");
  EXPECT_EQ(port.Path(), "/dev/ttyUSB0");
  ASSERT_EQ(r.PortWindow()->GetCount(IDC_PORT_LIST), 2);
  EXPECT_EQ(fw::ToUtf8(r.PortWindow()->GetItemText(IDC_PORT_LIST, 0)), "/dev/ttyACM3  usb 2341:0043  Uno  serial 9");

  // A path that is not there either: said in the dialog, which stays.
  port.SetDlgItemText(IDC_PORT_PATH, u"/dev/ttyNONE");
  port.DispatchCommand(fw::IDOK, fw::Notify::Clicked);
  EXPECT_TRUE(port.IsWindow());
  EXPECT_EQ(fw::ToUtf8(port.GetDlgItemText(IDC_PORT_REASON)).rfind("No such device: /dev/ttyNONE\n", 0), 0u);
  EXPECT_EQ(r.host.MessageBoxes().size(), 1u);

  // Picked from the list: connected by that path, the start-up chain runs, the port is kept.
  r.serial.ClearWritten();
  r.PortWindow()->SetCurSel(IDC_PORT_LIST, 0);
  port.DispatchCommand(IDC_PORT_LIST, fw::Notify::SelChange);
  EXPECT_EQ(port.Path(), "/dev/ttyACM3");
  port.DispatchCommand(fw::IDOK, fw::Notify::Clicked);
  EXPECT_NE(r.dlg->m_hComm, 0u);
  EXPECT_FALSE(port.IsWindow());
  EXPECT_FALSE(r.dlg->OpenFailed());
  EXPECT_EQ(r.serial.Written(), "V\r");
  EXPECT_EQ(r.Text(IDC_CONNECT), "Disconnect");
  EXPECT_EQ(r.remembered, (std::vector<std::string>{"/dev/ttyACM3"}));
  // The next start takes it, unless --port or PELMOR_PORT says otherwise.
  const std::string kept = app::RememberedPort(r.conf);
  EXPECT_EQ(app::ChoosePort("", nullptr, kept, {}).device, "/dev/ttyACM3");
  EXPECT_EQ(app::ChoosePort("", "/dev/ttyS4", kept, {}).device, "/dev/ttyS4");

  // Switching readers while running: the context menu's entry, the current port let go first.
  r.dlg->DispatchCommand(IDM_PORT, fw::Notify::Clicked);
  ASSERT_TRUE(r.dlg->PortDialog()->IsWindow());
  EXPECT_EQ(fw::ToUtf8(r.dlg->PortDialog()->GetDlgItemText(IDC_PORT_REASON)), "");
  r.dlg->PortDialog()->DispatchCommand(fw::IDOK, fw::Notify::Clicked);
  EXPECT_NE(r.dlg->m_hComm, 0u);
  EXPECT_EQ(r.serial.closeCount, 1);  // the first port, let go before the second open
}

TEST(PortDialog, QuitEndsTheProgramAndClosingTheDialogDoesNot) {
  PortRig r;
  r.serial.failOpen = true;
  r.devices.clear();
  r.StartDesktop(false);
  ASSERT_NE(r.PortWindow(), nullptr);
  // No serial device at all: the list says so, and picking that line changes nothing.
  ASSERT_EQ(r.PortWindow()->GetCount(IDC_PORT_LIST), 1);
  EXPECT_EQ(fw::ToUtf8(r.PortWindow()->GetItemText(IDC_PORT_LIST, 0)),
            "None found: plug the reader in, or give its port below.");
  r.dlg->PortDialog()->DispatchCommand(IDC_PORT_LIST, fw::Notify::SelChange);
  EXPECT_EQ(r.dlg->PortDialog()->Path(), "/dev/ttyUSB0");
  r.dlg->PortDialog()->DispatchClose();
  EXPECT_EQ(r.PortWindow(), nullptr);
  EXPECT_TRUE(r.dlg->IsWindow());
  EXPECT_TRUE(r.dlg->IsWatchingForReader());

  // "Connect" in the window while the device is absent: the box, and the dialog again.
  r.Click(IDC_CONNECT);
  r.host.Advance(CMainDialog::kPortDialogDelayMs);
  EXPECT_EQ(r.host.MessageBoxes().size(), 2u);
  ASSERT_NE(r.PortWindow(), nullptr);
  r.dlg->PortDialog()->DispatchCommand(IDC_PORT_QUIT, fw::Notify::Clicked);
  EXPECT_TRUE(r.hotKeys.registered.empty());
  EXPECT_TRUE(r.dlg->OpenFailed());  // the exit status stays 1: no reader was ever there
}

TEST(PortDialog, TheReaderIsTakenAgainWhenUdevAnnouncesIt) {
  PortRig r;
  r.serial.names = {u"COM1:", u"/dev/ttyUSB1"};
  r.StartDesktop(true);
  ASSERT_NE(r.dlg->m_hComm, 0u);
  r.LoseReader();
  ASSERT_EQ(r.dlg->m_hComm, 0u);
  // With udev there is no retry: the port is not tried however long nothing is announced.
  const int opens = r.serial.openCount;
  r.host.Advance(5 * CMainDialog::kReconnectPeriodMs);
  EXPECT_EQ(r.serial.openCount, opens);

  // Another device comes: nothing. The reader comes back under a new number: taken there.
  r.watch.Announce({"add", "/dev/ttyACM0", {}, "other"});
  r.host.RunUntil([] { return false; }, 10);
  EXPECT_EQ(r.serial.openCount, opens);
  r.serial.ClearWritten();
  r.watch.Announce({"remove", "/dev/ttyUSB0", {}, "A10K"});
  r.watch.Announce({"add", "/dev/ttyUSB1", {}, "A10K"});
  r.host.RunUntil([&] { return r.dlg->m_hComm != 0; }, 10);
  EXPECT_NE(r.dlg->m_hComm, 0u);
  EXPECT_EQ(r.serial.Written(), "V\r");
  EXPECT_FALSE(r.dlg->IsWatchingForReader());
  // Lost again, it is known by its new name.
  r.LoseReader();
  EXPECT_NE(r.Log().find("Reader lost on /dev/ttyUSB1\r\n"), std::string::npos) << r.Log();
  ASSERT_EQ(r.dlg->m_hComm, 0u);

  // Back, but held for a moment by another program (a modem manager probing it): udev says
  // nothing more, so the port is tried until it is free. It used to be waited for in vain.
  r.serial.failOpen = true;
  r.serial.openError = platform::kErrSharingViolation;
  r.watch.Announce({"add", "/dev/ttyUSB1", {}, "A10K"});
  r.host.RunUntil([&] { return r.serial.openCount > opens + 1; }, 10);
  EXPECT_EQ(r.dlg->m_hComm, 0u);
  r.serial.failOpen = false;
  r.WaitOneRetry();
  EXPECT_NE(r.dlg->m_hComm, 0u);
  EXPECT_EQ(r.serial.Written(), "V\r");
}

// A reader on a pseudo-terminal used to be waited for in vain where udev runs: udev never
// announces one.
TEST(PortDialog, AReaderOnAPseudoTerminalIsTriedAgainWhereUdevRuns) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  PortRig r;
  const std::filesystem::path link = r.dir.Path() / "ttyREADER";
  std::filesystem::create_symlink(::ptsname(master), link);
  r.serial.names = {u"COM1:"};
  r.StartDesktop(true, link.string());
  ASSERT_NE(r.dlg->m_hComm, 0u);
  r.LoseReader();
  ASSERT_EQ(r.dlg->m_hComm, 0u);
  r.WaitOneRetry();
  EXPECT_NE(r.dlg->m_hComm, 0u);
  EXPECT_EQ(r.serial.Written(), "V\r");
  ::close(master);
}

}  // namespace
