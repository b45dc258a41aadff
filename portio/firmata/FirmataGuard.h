#pragma once
// The port guard's routine for a Firmata board (portguard::FirmataKind): the
// order's file is the guard's copy of the library's open serial device, its
// payload the exact bytes that set every motor pin to 0 (one digital port
// message per port holding motor pins).
//
// The copy shares the library's open file, so the board is not opened again:
// opening it would reset most boards, whose pins then float for the 1.5-2 s
// of the reset and the bootloader would swallow the 0.
#include "portio/kit/GuardRoutines.h"

#include <string>

namespace portguard {
constexpr char FirmataKind = 'S'; // a Firmata board: its open serial device
}

// Sends the payload (waiting at most 100 ms for room); when the program has
// gone, also waits up to 300 ms for it to leave the device. Closes nothing:
// the guard lets go of its copy of the file afterwards.
void ZeroFirmataFromGuard(int fd, const std::string &payload, portguard::Situation situation);
