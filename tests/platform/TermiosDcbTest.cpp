// The mapping between the device control block and termios, field by field.

#include "platform/linux/TermiosDcb.h"

#include <cstring>

#include <gtest/gtest.h>

namespace platform {
namespace {

constexpr tcflag_t kDcbFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

// Starts from settings where every flag the block owns is the opposite of most rows, and
// where flags it does not own are set, so that leftovers and losses both show.
termios Busy() {
  termios t{};
  t.c_cflag = CS7 | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CLOCAL | CREAD;
  t.c_iflag = IXON | INPCK;
  t.c_lflag = ECHO;
  cfsetspeed(&t, B300);
  return t;
}

TEST(TermiosDcb, EveryFormMapsBothWays) {
  struct Row {
    Dcb dcb;
    speed_t speed;
    tcflag_t cflags;
  };
  const Row rows[] = {
      {{9600, 8, 0, 0, true}, B9600, CS8},
      {{115200, 7, 2, 0, false}, B115200, CS7 | PARENB},
      {{1200, 8, 1, 2, true}, B1200, CS8 | PARENB | PARODD | CSTOPB},
      {{19200, 6, 3, 2, false}, B19200, CS6 | PARENB | PARODD | CMSPAR | CSTOPB},
      {{4800, 7, 4, 0, true}, B4800, CS7 | PARENB | CMSPAR},
      {{300, 5, 0, 1, false}, B300, CS5 | CSTOPB},
      {{4000000, 8, 0, 2, false}, B4000000, CS8 | CSTOPB},
      {{50, 5, 2, 0, true}, B50, CS5 | PARENB},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.dcb.BaudRate);
    termios t = Busy();
    ASSERT_TRUE(ApplyDcb(row.dcb, t));
    EXPECT_EQ(cfgetospeed(&t), row.speed);
    EXPECT_EQ(cfgetispeed(&t), row.speed);
    EXPECT_EQ(t.c_cflag & kDcbFlags, row.cflags);
    EXPECT_EQ((t.c_iflag & INPCK) != 0, row.dcb.fParity);
    EXPECT_EQ(t.c_cflag & (CRTSCTS | CLOCAL | CREAD), tcflag_t{CRTSCTS | CLOCAL | CREAD});
    EXPECT_EQ(t.c_iflag & IXON, tcflag_t{IXON});
    EXPECT_EQ(t.c_lflag, tcflag_t{ECHO});
    EXPECT_EQ(DcbOfTermios(t), row.dcb);
  }
}

TEST(TermiosDcb, BlocksWithoutATermiosFormLeaveItUntouched) {
  const Dcb rows[] = {
      {12345, 8, 0, 0, false},  // No standard rate.
      {0, 8, 0, 0, false},      // Zero would hang the line up.
      {9600, 4, 0, 0, false},  {9600, 9, 0, 0, false}, {9600, 8, 5, 0, false},
      {9600, 8, 0, 3, false},  {9600, 8, 0, 1, false},  // One and a half stop bits need a 5-bit word.
      {9600, 5, 0, 2, false},                           // A 5-bit word cannot have two.
  };
  for (const Dcb& dcb : rows) {
    SCOPED_TRACE(::testing::Message() << dcb.BaudRate << " " << int{dcb.ByteSize} << int{dcb.Parity}
                                      << int{dcb.StopBits});
    const termios before = Busy();
    termios t = before;
    EXPECT_FALSE(ApplyDcb(dcb, t));
    EXPECT_EQ(std::memcmp(&t, &before, sizeof t), 0);
  }
}

}  // namespace
}  // namespace platform
