#pragma once
// The FTDI adapter as the pin map knows it: its default map and its setting.
#include "portio/kit/PinMap.h"

namespace ftdiport {

inline const portkit::DeviceKind Pins{
    "ftdi",
    "# An FTDI FT232R or FT232H adapter; lines D0..D7 (FT232R: TXD RXD RTS CTS DTR DSR DCD RI,\n"
    "# FT232H: AD0..AD7). The motor lines are the ones that are inputs while the chip is\n"
    "# still in its serial mode (TXD, RTS and DTR drive high until bit-bang is set).\n"
    "device ftdi\n"
    "D0 D6   # left motor backward: DCD\n"
    "D1 D1   # left motor forward: RXD\n"
    "D3 D3   # right motor backward: CTS\n"
    "D4 D7   # right motor forward: RI\n"
    "S4 D4 active-low   # right line sensor: DTR\n"
    "S5 D5 active-low   # left line sensor: DSR\n"
    "S7 D2 active-high  # obstacle sensor: RTS\n",
    // Which adapter, by serial number or USB bus path (ROBOT_FTDI wins).
    {"adapter"},
};

} // namespace ftdiport
