#include "platform/linux/TermiosDcb.h"

namespace platform {

namespace {

struct BaudSpeed {
  uint32_t rate;
  speed_t speed;
};
constexpr BaudSpeed kBaudSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedOfRate(uint32_t rate, speed_t& speed) {
  for (const BaudSpeed& row : kBaudSpeeds) {
    if (row.rate == rate) {
      speed = row.speed;
      return true;
    }
  }
  return false;
}

// 0 for a speed outside the table (B0, the hang-up speed, among them).
uint32_t RateOfSpeed(speed_t speed) {
  for (const BaudSpeed& row : kBaudSpeeds) {
    if (row.speed == speed) return row.rate;
  }
  return 0;
}

}  // namespace

Dcb DcbOfTermios(const termios& t) {
  Dcb dcb;
  dcb.BaudRate = RateOfSpeed(cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5:
      dcb.ByteSize = 5;
      break;
    case CS6:
      dcb.ByteSize = 6;
      break;
    case CS7:
      dcb.ByteSize = 7;
      break;
    default:
      dcb.ByteSize = 8;
      break;
  }
  if ((t.c_cflag & PARENB) == 0) {
    dcb.Parity = 0;
  } else if ((t.c_cflag & CMSPAR) != 0) {
    dcb.Parity = (t.c_cflag & PARODD) != 0 ? 3 : 4;
  } else {
    dcb.Parity = (t.c_cflag & PARODD) != 0 ? 1 : 2;
  }
  // With a 5-bit word a UART sends one and a half stop bits for CSTOPB.
  if ((t.c_cflag & CSTOPB) == 0) {
    dcb.StopBits = 0;
  } else {
    dcb.StopBits = dcb.ByteSize == 5 ? 1 : 2;
  }
  dcb.fParity = (t.c_iflag & INPCK) != 0;
  return dcb;
}

bool ApplyDcb(const Dcb& dcb, termios& t) {
  speed_t speed = B0;
  if (!SpeedOfRate(dcb.BaudRate, speed)) return false;
  tcflag_t size = 0;
  switch (dcb.ByteSize) {
    case 5:
      size = CS5;
      break;
    case 6:
      size = CS6;
      break;
    case 7:
      size = CS7;
      break;
    case 8:
      size = CS8;
      break;
    default:
      return false;
  }
  tcflag_t parity = 0;
  switch (dcb.Parity) {
    case 0:
      parity = 0;
      break;
    case 1:
      parity = PARENB | PARODD;
      break;
    case 2:
      parity = PARENB;
      break;
    case 3:
      parity = PARENB | CMSPAR | PARODD;
      break;
    case 4:
      parity = PARENB | CMSPAR;
      break;
    default:
      return false;
  }
  bool twoStopBits = false;
  switch (dcb.StopBits) {
    case 0:
      twoStopBits = false;
      break;
    case 1:
      if (dcb.ByteSize != 5) return false;
      twoStopBits = true;
      break;
    case 2:
      if (dcb.ByteSize == 5) return false;
      twoStopBits = true;
      break;
    default:
      return false;
  }
  if (cfsetspeed(&t, speed) != 0) return false;
  t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB)) | size | parity | (twoStopBits ? CSTOPB : 0);
  t.c_iflag = dcb.fParity ? (t.c_iflag | INPCK) : (t.c_iflag & ~INPCK);
  return true;
}

}  // namespace platform
