#pragma once
// A Firmata board as the pin map knows it: its default map and its settings.
#include "portio/kit/PinMap.h"

namespace firmata {

inline const portkit::DeviceKind Pins{
    "firmata",
    "# A board with StandardFirmata (digital pin numbers of an Arduino Uno). The motor pins\n"
    "# share port 0 and the sensor pins port 1: one message sets the motors, one report\n"
    "# brings the sensors.\n"
    "device firmata\n"
    "baud 57600\n"
    "D0 4   # left motor backward\n"
    "D1 5   # left motor forward\n"
    "D3 6   # right motor backward\n"
    "D4 7   # right motor forward\n"
    "S4 8 active-low pull-up    # right line sensor\n"
    "S5 9 active-low pull-up    # left line sensor\n"
    "S7 10 active-high          # obstacle sensor\n",
    // The sketch's serial rate, and how long the board takes to start.
    {"baud", "startup-ms"},
};

} // namespace firmata
