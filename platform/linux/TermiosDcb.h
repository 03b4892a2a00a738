#pragma once
// The device control block of the serial service and a terminal's termios, both ways.
//
//   BaudRate  the standard rates only; 0 for a speed outside them (B0 among them).
//   ByteSize  5..8 -> CS5..CS8.
//   Parity    0 none, 1 odd, 2 even, 3 mark, 4 space (PARENB, PARODD, CMSPAR).
//   StopBits  0 one; 2 two (CSTOPB) with 6 to 8 data bits; 1 one and a half (CSTOPB) with
//             5 data bits, which is what a UART sends for CSTOPB with a 5-bit word. Two
//             with 5 data bits and one and a half with more have no termios form.
//   fParity   INPCK.

#include <termios.h>

#include "platform/Serial.h"

namespace platform {

Dcb DcbOfTermios(const termios& t);

// Changes the fields the block describes in t and leaves every other one alone. Returns
// false, with t untouched, for a block that no termios setting matches.
bool ApplyDcb(const Dcb& dcb, termios& t);

}  // namespace platform
