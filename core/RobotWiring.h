#pragma once
// How the robot hangs on the PC's first parallel port (parport0, the 25-pin
// D-sub connector): the two registers the program reaches, the motor lines on
// the data register and the sensor lines on the status register. Plain C++,
// for the program, the port libraries, the virtual robot and the tests.

// The registers, as I/O addresses of the first port (base 0x378).
constexpr short DataPort = 888;   // 0x378: D0..D7 on pins 2..9, the motors
constexpr short StatusPort = 889; // 0x379: S3..S7 on pins 15, 13, 12, 10, 11, the sensors

// Motor lines on the data register. Each motor hangs on a pair of lines
// through its own driver: one line of the pair set turns the wheel, both or
// neither stop it. D2 and D5..D7 are not used and always 0.
constexpr short RightForwardBit = 1 << 4;  // D4, pin 6
constexpr short RightBackwardBit = 1 << 3; // D3, pin 5
constexpr short LeftForwardBit = 1 << 1;   // D1, pin 3
constexpr short LeftBackwardBit = 1 << 0;  // D0, pin 2

// The only codes the program writes: one line of each pair, or none.
constexpr short MotorOff = 0;
constexpr short MotorForwardCode = RightForwardBit | LeftForwardBit;   // both wheels forward
constexpr short MotorBackwardCode = RightBackwardBit | LeftBackwardBit; // both wheels back
constexpr short MotorLeftCode = RightForwardBit | LeftBackwardBit;     // spin left on the spot
constexpr short MotorRightCode = RightBackwardBit | LeftForwardBit;    // spin right on the spot

// Sensor lines on the status register. A firing sensor reads 0 on its line.
constexpr short LeftLineBit = 1 << 5;  // S5, pin 12: the left line sensor; pulled low over the line
constexpr short RightLineBit = 1 << 4; // S4, pin 13: the right line sensor; pulled low over the line
constexpr short ObstacleBit = 1 << 7;  // S7, pin 11: the obstacle sensor; S7 is inverted at the
                                       // pin, so an obstacle ahead (pin high) reads 0
// The status register when nothing fires: every sensor line 1. Bits 0..2 have
// no pin; this assumes bits 1 and 2 read 1 and bit 0 reads 0.
constexpr short StatusIdle = 254;

static_assert(MotorForwardCode == 18 && MotorBackwardCode == 9 && MotorLeftCode == 17 &&
                  MotorRightCode == 10,
              "the motor codes the README and every trace show");
static_assert((StatusIdle & ~LeftLineBit) == 222 && (StatusIdle & ~RightLineBit) == 238 &&
                  (StatusIdle & ~ObstacleBit) == 126,
              "the readings the sensor drives' fields start with");
