#pragma once
// The port guard's routine for a ppdev device (portio/kit/GuardRoutines.h).
#include "portio/kit/GuardRoutines.h"

#include <string>

namespace portguard {
constexpr char ParportKind = 'P'; // a claimed ppdev device: its open file
}

// `fd` is the guard's copy of the program's open /dev/parportN, which holds
// the claim: ppdev keeps a claim with the open file, not with a process, so
// the guard writes through it while the program is stopped, and after the
// program's death nobody else can claim the port before the guard has
// written 0 and released it. Were the claim not held through it, the guard
// claims the port itself, waiting as long as another claimant holds it.
void ZeroParportFromGuard(int fd, const std::string &payload, portguard::Situation situation);
