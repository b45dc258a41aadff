#pragma once
// A request that the program end at once: a signal (SIGTERM, Ctrl+C, a closed
// terminal), or the display gone. From the moment it is made, every sleep of
// a pulse or a sensor drive wakes, every write to the data register carries 0,
// and every driving loop ends at its next test, as when the window closes.
//
// Request() is async-signal-safe; everything else runs on any thread.
#include <cstdint>

namespace programend {

// Records the request; the first one wins. `exitStatus` is what the program
// returns, `signal` the signal that asked (0 when none). False for a request
// made after the first.
bool Request(int exitStatus, int signal);

bool Requested();
int ExitStatus();
int Signal();

// A descriptor that turns readable, and stays readable, once an end has been
// requested. The GUI thread watches it to leave its event loop.
int WakeDescriptor();

// A connection whose hang-up means the end (the display's): sleeps below
// watch it too, and its hang-up is a request with `exitStatus`.
void EndOnHangUp(int fd, int exitStatus);

// A connection that brings the operator's keys while the GUI thread sleeps
// (a watcher of the emergency stop key with a display connection of its
// own): sleeps watch it and call `readable` when it has something to read,
// which asks for a stop of the drives when it finds the key. -1 or nullptr:
// none.
void WatchKeys(int fd, void (*readable)());

// Sleeps until `deadlineNs` on CLOCK_MONOTONIC or until an end or a stop of
// the drives (drive/DriveStop.h) is requested, whichever comes first; at once
// when the deadline has passed or such a request was made before, or when the
// watched connection hangs up. Returns false when cut short; a stop of the
// drives has then taken effect (drivestop::TakeEffect).
bool SleepUntil(int64_t deadlineNs);

// For tests only: forgets the request, so one test process can try several.
void ForgetForTesting();

} // namespace programend
