#pragma once
// GPIO lines as the pin map knows them: the default map and the setting.
#include "portio/kit/PinMap.h"

namespace gpio {

inline const portkit::DeviceKind Pins{
    "gpio",
    "# A Raspberry Pi's 40-pin header (BCM line names). The motor lines are pulled down at\n"
    "# power-up, so a board booting does not drive them.\n"
    "device gpio\n"
    "chip gpiochip0\n"
    "D0 GPIO23   # left motor backward: pin 16\n"
    "D1 GPIO22   # left motor forward: pin 15\n"
    "D3 GPIO27   # right motor backward: pin 13\n"
    "D4 GPIO17   # right motor forward: pin 11\n"
    "S4 GPIO25 active-low pull-up     # right line sensor: pin 22\n"
    "S5 GPIO24 active-low pull-up     # left line sensor: pin 18\n"
    "S7 GPIO5 active-high pull-down   # obstacle sensor: pin 29\n",
    // Which chip: a name (gpiochip0), a number, a path or a label.
    {"chip"},
};

} // namespace gpio
