// The serial port service over real pseudo-terminals: the service holds the slave as
// "COM1:", the test plays the reader on the master.

#include "platform/linux/PosixSerialPorts.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Room for scheduling on a busy machine; waits are checked against their lower bound
// exactly and against their upper bound with this much added.
constexpr milliseconds kSlack{400};
// How long a helper waits for bytes that are on their way through the pseudo-terminal.
constexpr milliseconds kArrival{2000};
// How long the master has to stay quiet before a drain counts as complete.
constexpr milliseconds kQuiet{100};

constexpr CommTimeouts kImmediate{MAXDWORD, 0, 0, 0, 0};

milliseconds Since(Clock::time_point start) { return std::chrono::duration_cast<milliseconds>(Clock::now() - start); }

int PollFor(int fd, short events, milliseconds limit) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, static_cast<int>(limit.count()));
}

// A pseudo-terminal pair; the slave descriptor stays open so the tty's settings can be
// inspected beside the service's own descriptor.
struct Pty {
  UniqueFd master;
  UniqueFd slave;
  std::string path;

  Pty() {
    int m = -1;
    int s = -1;
    char name[128] = {};
    if (::openpty(&m, &s, name, nullptr, nullptr) != 0) return;
    master = UniqueFd(m);
    slave = UniqueFd(s);
    path = name;
    ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
  }

  termios SlaveTermios() const {
    termios t{};
    ::tcgetattr(slave.Get(), &t);
    return t;
  }

  void Send(std::string_view bytes) const {
    ASSERT_EQ(::write(master.Get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Waits until the slave holds at least n bytes to read.
  bool WaitBuffered(int n) const {
    const auto start = Clock::now();
    while (Since(start) < kArrival) {
      int buffered = 0;
      if (::ioctl(slave.Get(), FIONREAD, &buffered) == 0 && buffered >= n) return true;
      PollFor(slave.Get(), POLLIN, milliseconds(10));
    }
    return false;
  }

  // Reads from the master until n bytes came or nothing more comes within quiet.
  std::string Receive(size_t n, milliseconds quiet) const {
    std::string got;
    char chunk[4096];
    while (got.size() < n && PollFor(master.Get(), POLLIN, quiet) > 0) {
      const ssize_t r = ::read(master.Get(), chunk, std::min(sizeof chunk, n - got.size()));
      if (r <= 0) break;
      got.append(chunk, static_cast<size_t>(r));
    }
    return got;
  }
};

class SerialPortsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(pty.path.empty()) << "openpty failed"; }

  CommHandle OpenCom1(const CommTimeouts& timeouts = kImmediate) {
    const CommHandle h = ports.Open(u"COM1:");
    EXPECT_NE(h, 0u) << "error " << ports.GetLastError();
    EXPECT_TRUE(ports.SetCommTimeouts(h, timeouts));
    return h;
  }

  std::string ReadString(CommHandle h, size_t size, bool* ok = nullptr) {
    std::vector<uint8_t> buffer(size);
    size_t n = 0;
    const bool result = ports.Read(h, buffer.data(), size, n);
    if (ok != nullptr) *ok = result;
    EXPECT_LE(n, size);
    return std::string(buffer.begin(), buffer.begin() + static_cast<long>(std::min(n, size)));
  }

  Pty pty;
  PosixSerialPorts ports{pty.path};
};

// --- Opening ---------------------------------------------------------------------------

TEST_F(SerialPortsTest, OpensByPortNameOrPath) {
  for (const fw::WString& name : {fw::WString(u"COM1:"), fw::WString(u"com1:"), fw::FromUtf8(pty.path)}) {
    const CommHandle h = ports.Open(name);
    EXPECT_NE(h, 0u) << fw::ToUtf8(name);
    EXPECT_EQ(ports.GetLastError(), kErrNone);
    EXPECT_TRUE(ports.Close(h));
  }
}

TEST(SerialPortsOpen, NamesWithoutADeviceAreNotFound) {
  struct Row {
    const char* com1Device;
    std::u16string name;
  };
  const Row rows[] = {
      {"/dev/null", u"COM2:"},        {"/dev/null", u"COM1"},  {"/dev/null", u""},
      {"/dev/null", u"dev/ttyS0"},    {"", u"COM1:"},          {"/nonexistent/ttyUSB9", u"COM1:"},
      {"/dev/null", u"/nonexistent"}, {"/dev/null", u"COM1:"},  // Not a terminal.
  };
  for (const Row& row : rows) {
    PosixSerialPorts ports(row.com1Device);
    EXPECT_EQ(ports.Open(row.name), 0u) << row.com1Device << " " << fw::ToUtf8(row.name);
    EXPECT_EQ(ports.GetLastError(), kErrNotFound) << row.com1Device << " " << fw::ToUtf8(row.name);
  }
}

TEST_F(SerialPortsTest, OpenPutsTheLineIntoRawMode) {
  termios cooked = pty.SlaveTermios();
  cooked.c_lflag |= ICANON | ECHO;
  cooked.c_iflag |= ICRNL;
  cooked.c_oflag |= OPOST | ONLCR;
  cooked.c_cflag &= ~CLOCAL;
  cfsetspeed(&cooked, B1200);
  ASSERT_EQ(::tcsetattr(pty.slave.Get(), TCSANOW, &cooked), 0);

  const CommHandle h = OpenCom1();
  const termios t = pty.SlaveTermios();
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(t.c_iflag & ICRNL, 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
  EXPECT_EQ(cfgetospeed(&t), speed_t{B1200}) << "the speed is the device's own";

  // A carriage return arrives as it was sent, without a line to complete and without echo.
  pty.Send("V\r");
  ASSERT_TRUE(pty.WaitBuffered(2));
  EXPECT_EQ(ReadString(h, 35), "V\r");
  EXPECT_EQ(pty.Receive(1, kQuiet), "");
}

// The program's second instance must be told that the port is taken, whoever asks.
TEST_F(SerialPortsTest, SecondOpenIsASharingViolation) {
  const CommHandle h = OpenCom1();
  const Dcb owners{1200, 8, 0, 2, true};
  ASSERT_TRUE(ports.SetCommState(h, owners));
  // Flags that raw mode would clear show whether a refused opener touched the line.
  termios own = pty.SlaveTermios();
  own.c_lflag |= ECHO | ICANON;
  ASSERT_EQ(::tcsetattr(pty.slave.Get(), TCSANOW, &own), 0);

  PosixSerialPorts other(pty.path);
  const std::vector<std::pair<const char*, std::function<uint32_t()>>> openers = {
      {"same service", [&] { return ports.Open(u"COM1:") == 0 ? ports.GetLastError() : 0; }},
      {"another service", [&] { return other.Open(u"COM1:") == 0 ? other.GetLastError() : 0; }},
      {"another process",
       [&]() -> uint32_t {
         const pid_t pid = ::fork();
         if (pid == 0) {
           PosixSerialPorts child(pty.path);
           _exit(child.Open(u"COM1:") == 0 && child.GetLastError() == kErrSharingViolation ? 0 : 1);
         }
         int status = -1;
         ::waitpid(pid, &status, 0);
         return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? kErrSharingViolation : 0;
       }},
  };
  for (const auto& [who, open] : openers) {
    EXPECT_EQ(open(), kErrSharingViolation) << who;
  }

  // The refused openers left the owner's port as it was.
  Dcb now;
  ASSERT_TRUE(ports.GetCommState(h, now));
  EXPECT_EQ(now, owners);
  EXPECT_EQ(pty.SlaveTermios().c_lflag, own.c_lflag);
}

// Opens path as an ordinary user would (dropping root in a child), returning errno or 0.
int OpenAsOrdinaryUser(const std::string& path) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      _exit(255);
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    _exit(fd >= 0 ? 0 : errno);
  }
  int status = -1;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Other programs are kept out while the port is open, and let in again after the close
// even though the tty itself stays open (a regression: the exclusive mode outlived Close).
TEST_F(SerialPortsTest, OtherProgramsAreKeptOutUntilClose) {
  ASSERT_EQ(::fchmod(pty.slave.Get(), 0666), 0);
  const CommHandle h = OpenCom1();
  EXPECT_EQ(OpenAsOrdinaryUser(pty.path), EBUSY);
  ASSERT_TRUE(ports.Close(h));
  EXPECT_EQ(OpenAsOrdinaryUser(pty.path), 0);
}

TEST_F(SerialPortsTest, ReopenGivesAFreshHandleAndTheOldOneStaysDead) {
  const CommHandle first = OpenCom1();
  ASSERT_TRUE(ports.Close(first));
  const CommHandle second = OpenCom1();
  ASSERT_NE(second, 0u);
  EXPECT_NE(second, first);
  CommTimeouts t;
  EXPECT_FALSE(ports.GetCommTimeouts(first, t));
  EXPECT_EQ(ports.GetLastError(), kErrInvalidHandle);
  EXPECT_TRUE(ports.GetCommTimeouts(second, t));
  EXPECT_EQ(ports.GetLastError(), kErrNone) << "a successful call clears the last error";
}

// --- Settings --------------------------------------------------------------------------

// Every form of each field is checked in TermiosDcbTest; here the settings a
// pseudo-terminal can hold go through the service to the tty and back.
TEST_F(SerialPortsTest, SettingsRoundTripAndReachTheTty) {
  struct Row {
    Dcb dcb;
    speed_t speed;
  };
  const Row rows[] = {
      {{9600, 8, 0, 0, true}, B9600},
      {{115200, 8, 0, 2, false}, B115200},
      {{50, 8, 0, 0, false}, B50},
      {{4000000, 8, 0, 2, true}, B4000000},
  };
  const CommHandle h = OpenCom1();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.dcb.BaudRate);
    ASSERT_TRUE(ports.SetCommState(h, row.dcb)) << ports.GetLastError();
    Dcb back;
    ASSERT_TRUE(ports.GetCommState(h, back));
    EXPECT_EQ(back, row.dcb);
    const termios t = pty.SlaveTermios();
    EXPECT_EQ(cfgetospeed(&t), row.speed);
    EXPECT_EQ(cfgetispeed(&t), row.speed);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), CS8 | (row.dcb.StopBits == 2 ? CSTOPB : 0));
    EXPECT_EQ((t.c_iflag & INPCK) != 0, row.dcb.fParity);
  }
}

// A block without a termios form, and one the device does not hold (a pseudo-terminal
// keeps 8 bits without parity, whatever it is told), both leave the port as it was.
TEST_F(SerialPortsTest, RefusedSettingsChangeNothing) {
  const CommHandle h = OpenCom1();
  const Dcb good{2400, 8, 0, 2, true};
  ASSERT_TRUE(ports.SetCommState(h, good));
  const termios before = pty.SlaveTermios();
  for (const Dcb& dcb :
       {Dcb{12345, 8, 0, 0, false}, Dcb{9600, 8, 0, 3, false}, Dcb{9600, 7, 2, 0, false}, Dcb{9600, 8, 1, 0, true}}) {
    SCOPED_TRACE(::testing::Message() << dcb.BaudRate << " " << int{dcb.ByteSize} << int{dcb.Parity}
                                      << int{dcb.StopBits});
    const bool held = ports.SetCommState(h, dcb);
    const uint32_t error = ports.GetLastError();
    Dcb now;
    ASSERT_TRUE(ports.GetCommState(h, now));
    if (held) {
      // A kernel whose pseudo-terminals keep parity: then the block must be there.
      EXPECT_EQ(now, dcb);
      ASSERT_TRUE(ports.SetCommState(h, good));
      continue;
    }
    EXPECT_EQ(error, kErrInvalidParameter);
    EXPECT_EQ(now, good);
    const termios after = pty.SlaveTermios();
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
  }
}

TEST_F(SerialPortsTest, SettingsKeepWhatTheBlockDoesNotDescribe) {
  const CommHandle h = OpenCom1();
  termios t = pty.SlaveTermios();
  t.c_iflag |= IXON | IXOFF;
  t.c_cflag |= CRTSCTS | HUPCL;
  t.c_lflag |= ECHO;
  t.c_cc[VMIN] = 5;
  ASSERT_EQ(::tcsetattr(pty.slave.Get(), TCSANOW, &t), 0);

  ASSERT_TRUE(ports.SetCommState(h, Dcb{9600, 8, 0, 0, true}));
  const termios after = pty.SlaveTermios();
  EXPECT_EQ(after.c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
  EXPECT_EQ(after.c_cflag & (CRTSCTS | HUPCL | CLOCAL | CREAD), tcflag_t{CRTSCTS | HUPCL | CLOCAL | CREAD});
  EXPECT_EQ(after.c_lflag & ECHO, tcflag_t{ECHO});
  EXPECT_EQ(after.c_cc[VMIN], 5);
}

TEST(SerialPortsTimeouts, AreKeptPerHandle) {
  Pty a;
  Pty b;
  PosixSerialPorts ports(a.path);
  const CommHandle ha = ports.Open(u"COM1:");
  const CommHandle hb = ports.Open(fw::FromUtf8(b.path));
  ASSERT_NE(ha, 0u);
  ASSERT_NE(hb, 0u);
  CommTimeouts got;
  ASSERT_TRUE(ports.GetCommTimeouts(ha, got));
  EXPECT_EQ(got, CommTimeouts{}) << "a fresh handle has no time-outs";

  const CommTimeouts ta{MAXDWORD, 0, 0, 7, 11};
  const CommTimeouts tb{20, 3, 500, 0, 0};
  ASSERT_TRUE(ports.SetCommTimeouts(ha, ta));
  ASSERT_TRUE(ports.SetCommTimeouts(hb, tb));
  ASSERT_TRUE(ports.GetCommTimeouts(ha, got));
  EXPECT_EQ(got, ta);
  ASSERT_TRUE(ports.GetCommTimeouts(hb, got));
  EXPECT_EQ(got, tb);
}

// --- Reading ---------------------------------------------------------------------------

TEST_F(SerialPortsTest, ImmediateReadReturnsWhatIsBuffered) {
  const CommHandle h = OpenCom1();
  const auto start = Clock::now();
  bool ok = false;
  EXPECT_EQ(ReadString(h, 35, &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_LT(Since(start), kSlack);

  pty.Send("V1.2\r");
  ASSERT_TRUE(pty.WaitBuffered(5));
  EXPECT_EQ(ReadString(h, 35, &ok), "V1.2\r");
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadString(h, 35), "");
}

// The receive loop takes a line byte by byte; a one-byte read must never take or touch more.
TEST_F(SerialPortsTest, ALineCanBeTakenOneByteAtATime) {
  const CommHandle h = OpenCom1();
  const std::string line = "S1\rT\xFF";
  pty.Send(line);
  ASSERT_TRUE(pty.WaitBuffered(static_cast<int>(line.size())));
  std::string got;
  for (size_t i = 0; i <= line.size(); ++i) {
    uint8_t buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    size_t n = 99;
    ASSERT_TRUE(ports.Read(h, buffer, 1, n));
    ASSERT_EQ(n, i < line.size() ? 1u : 0u) << "read " << i;
    EXPECT_EQ(buffer[1], 0xEE);
    if (n == 1) got.push_back(static_cast<char>(buffer[0]));
  }
  EXPECT_EQ(got, line);
}

// A reader that went away must show as a failure at once, whatever the time-outs.
TEST(SerialPortsRead, FailsAtOnceWhenTheOtherEndIsGone) {
  const CommTimeouts settings[] = {kImmediate, {0, 0, 0, 0, 0}, {0, 0, 60000, 0, 0}};
  for (const CommTimeouts& timeouts : settings) {
    SCOPED_TRACE(timeouts.ReadTotalTimeoutConstant);
    Pty pty;
    PosixSerialPorts ports(pty.path);
    const CommHandle h = ports.Open(u"COM1:");
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(ports.SetCommTimeouts(h, timeouts));
    pty.master.Reset();

    uint8_t byte = 0;
    size_t n = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(ports.Read(h, &byte, 1, n));
    EXPECT_LT(Since(start), kSlack);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(ports.GetLastError(), kErrDeviceGone);
    EXPECT_FALSE(ports.ErrorText(ports.GetLastError()).empty());

    EXPECT_FALSE(ports.Write(h, &byte, 1, n));
    EXPECT_EQ(ports.GetLastError(), kErrDeviceGone);
    Dcb dcb;
    EXPECT_FALSE(ports.GetCommState(h, dcb));
    EXPECT_TRUE(ports.Close(h));
  }
}

// --- Writing ---------------------------------------------------------------------------

TEST_F(SerialPortsTest, WritesReachTheOtherEndUnchanged) {
  const CommHandle h = OpenCom1();
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (const std::string& bytes : {std::string("C\r"), all}) {
    size_t written = 0;
    EXPECT_TRUE(ports.Write(h, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), written));
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(ports.GetLastError(), kErrNone);
    EXPECT_EQ(pty.Receive(bytes.size(), kArrival), bytes);
  }
}

TEST(SerialPortsWrite, AStalledReaderEndsTheWriteInTime) {
  struct Row {
    const char* name;
    CommTimeouts timeouts;
    milliseconds atLeast;
  };
  const milliseconds cap = PosixSerialPorts::kWriteCap;
  const Row rows[] = {
      {"no write time-out", {}, cap},
      {"write time-out", {MAXDWORD, 0, 0, 0, 200}, milliseconds(200)},
      {"write time-out beyond the cap", {MAXDWORD, 0, 0, 1, 0}, cap},
  };
  const std::vector<uint8_t> lots(1 << 20, 'w');
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Pty pty;
    PosixSerialPorts ports(pty.path);
    const CommHandle h = ports.Open(u"COM1:");
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(ports.SetCommTimeouts(h, row.timeouts));

    size_t written = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(ports.Write(h, lots.data(), lots.size(), written));
    const milliseconds took = Since(start);
    EXPECT_GE(took, row.atLeast);
    EXPECT_LT(took, row.atLeast + kSlack);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, lots.size());
    EXPECT_EQ(ports.GetLastError(), kErrTimeout);
    // The count is exact: the master receives just the bytes reported as written.
    EXPECT_EQ(pty.Receive(lots.size(), kQuiet).size(), written);
  }
}

// --- Handles and errors ----------------------------------------------------------------

TEST_F(SerialPortsTest, ClosedOrUnknownHandlesAreInvalid) {
  const CommHandle closed = OpenCom1();
  ASSERT_TRUE(ports.Close(closed));
  const CommHandle open = OpenCom1();

  using Call = std::function<bool(CommHandle)>;
  Dcb dcb;
  CommTimeouts timeouts;
  uint8_t byte = 'x';
  size_t n = 0;
  const std::pair<const char*, Call> calls[] = {
      {"Close", [&](CommHandle h) { return ports.Close(h); }},
      {"GetCommState", [&](CommHandle h) { return ports.GetCommState(h, dcb); }},
      {"SetCommState", [&](CommHandle h) { return ports.SetCommState(h, Dcb{9600}); }},
      {"GetCommTimeouts", [&](CommHandle h) { return ports.GetCommTimeouts(h, timeouts); }},
      {"SetCommTimeouts", [&](CommHandle h) { return ports.SetCommTimeouts(h, kImmediate); }},
      {"Read", [&](CommHandle h) { return ports.Read(h, &byte, 1, n); }},
      {"Write", [&](CommHandle h) { return ports.Write(h, &byte, 1, n); }},
  };
  for (const CommHandle h : {CommHandle{0}, closed, open + 1000}) {
    for (const auto& [name, call] : calls) {
      EXPECT_FALSE(call(h)) << name << " " << h;
      EXPECT_EQ(ports.GetLastError(), kErrInvalidHandle) << name << " " << h;
    }
  }
  EXPECT_TRUE(ports.GetCommState(open, dcb)) << "the open port is untouched";
}

TEST(SerialPortsErrors, TextIsTheSystemsOwnEndingInALineBreak) {
  PosixSerialPorts ports("/dev/null");
  EXPECT_EQ(ports.ErrorText(kErrNone), u"");
  EXPECT_EQ(ports.ErrorText(9999), u"");
  for (const uint32_t code : {kErrInvalidHandle, kErrNotFound, kErrAccessDenied, kErrSharingViolation, kErrGenFailure,
                              kErrInvalidParameter, kErrTimeout, kErrDeviceGone}) {
    const fw::WString text = ports.ErrorText(code);
    ASSERT_GT(text.size(), 2u) << code;
    EXPECT_EQ(text.find(u"\r\n"), text.size() - 2) << code;
  }
  EXPECT_EQ(ports.ErrorText(kErrNotFound), fw::FromUtf8(std::strerror(ENOENT)) + u"\r\n");

  // The last failure's own cause is kept: /dev/null is there but is no terminal.
  ASSERT_EQ(ports.Open(u"COM1:"), 0u);
  EXPECT_EQ(ports.GetLastError(), kErrNotFound);
  EXPECT_EQ(ports.ErrorText(kErrNotFound), fw::FromUtf8(std::strerror(ENOTTY)) + u"\r\n");
}

}  // namespace
}  // namespace platform
