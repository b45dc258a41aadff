#pragma once
// The entry points of the port I/O libraries, found by name: every library
// has Inp32 and Out32; the program looks the others up and does without them
// where a library lacks them.
#define PORTIO_EXPORT extern "C" __attribute__((visibility("default")))

PORTIO_EXPORT short Inp32(short port);
PORTIO_EXPORT void Out32(short port, short value);
// Optional: the text of a failed register access since the last call, or
// null. A library fails every access that needs a device it cannot use (a
// status read, a motor code), so the drive under way ends with the error
// shown; the text names the device and the cause.
PORTIO_EXPORT const char *PortIoLastError(void);
// Optional: one line naming the library's device and its state, for the
// window's status line:
//   "<library> [<device>]: connected"     e.g. "firmata /dev/ttyACM0: connected"
//   "<library> [<device>]: starting"      being opened (a board takes seconds)
//   "<library> [<device>]: absent (why)"  not there; looked for again every second
//   "<library> [<device>]: lost (why)"    it was there and failed; looked for again
//   "<library> [<device>]: unusable (why)" cannot be used as it is (a refused
//                                          pin map, no Firmata, held by another program)
// <library> is parallel port, ftdi, gpio, firmata, virtual robot or
// recording; a why is cut to a short line. Never blocks and never waits on the
// device: call it from the GUI thread as often as twice a second. Its first
// call starts opening the device in the background as a first access would
// (and checks the pin map), so the state shows from start-up; later calls
// look for an absent or lost device again (at most once a second), so a
// device that is plugged in is taken, its motor lines at 0, without a drive.
// The text stays valid until the next call.
PORTIO_EXPORT const char *PortIoStatus(void);
// Optional: the library's next message for the operator, or null when there
// is none; each is given once, in the order said, and stays valid until the
// next call. A problem found outside a failing access (in the background, at
// a status call) comes this way: a board that is silent or speaks another
// protocol, a device held by another copy, a pin map refused at start. What
// a failed access reports (PortIoLastError) is not repeated here.
PORTIO_EXPORT const char *PortIoMessage(void);
// Optional, where the robot's camera comes over the network: asks the robot
// to send its camera as RTP/JPEG over UDP to port `port` of this machine
// (`on` 1) and keeps asking until it is called with `on` 0; the stream stops
// about a second after. 1 when taken. Any thread.
PORTIO_EXPORT int PortIoCameraWant(int port, int on);
// Optional, with PortIoCameraWant: a time on the robot's clock (a frame's
// capture time, as its stream carries it) on this program's clock
// (CLOCK_MONOTONIC ns, core/Clock.h); 0 while the clocks are not matched.
PORTIO_EXPORT long long PortIoCameraTime(long long robotNs);
