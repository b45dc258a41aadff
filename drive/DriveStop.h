#pragma once
// A stop of every drive at once, while the program goes on: the operator's
// emergency stop, a stop of the program from its terminal (Ctrl+Z) and its
// continuing (SIGCONT). From the request on:
//   - a pulse under way wakes and writes 0; a pulse not yet begun is skipped
//     (a move series skips its remaining rows);
//   - every data-register write carries 0;
//   - every driving loop ends at its next test (DrivesMustStop());
// until the drives have ended and the GUI thread is back in its event loop
// (Settle()); after that the window works as before.
//
// Request() and RequestSuspend() are async-signal-safe; the rest is for the
// GUI thread.
namespace drivestop {

// Asks every drive to stop.
void Request();
// Ctrl+Z: stops every drive, then the program stops itself once the motors
// are off (TakeEffect). Should the GUI thread be held elsewhere, the program
// stops anyway after a tenth of a second, and the port guard switches the
// motors off.
void RequestSuspend();
// A continue signal: a suspension the program did not carry out itself (it
// was stopped anyway) is over.
void Continued();

// A stop is in effect.
bool Active();

// Readable from a request until Acknowledge(): sleeps and the event loop
// watch it.
int WakeDescriptor();

// On the GUI thread, when it sees the request: the data register gets 0 at
// once if a motor code was left on it, and a pending suspension is carried
// out (the program stops here and goes on when continued).
void TakeEffect();
// Drains the wake descriptor after TakeEffect().
void Acknowledge();
// The drives have ended: writes and pulses go through again.
void Settle();

// A drive that no loop's test ends (the camera line follower drives from its
// frames) registers how it is stopped. The GUI thread runs the hooks from its
// event loop once a stop is in effect and the motors are off (RunHooks, from
// app/DriveStopWatch.cpp), never inside a pulse. A hook is a plain function
// that stays valid for the program's life; adding one again changes nothing.
using Hook = void (*)();
void AddHook(Hook stop);
// Runs every hook once, in the order they were added.
void RunHooks();

// Made once at start-up, before any signal can ask for them: the wake
// descriptor and the timer that stops the program when the GUI thread does
// not.
void Prepare();

} // namespace drivestop
