#pragma once
// The port guard's routine for an FTDI adapter (portguard::FtdiKind): how the
// guard switches the motors off when the program has stopped or gone with a
// motor running. The payload is the line device's (FtdiDevice.cpp):
//   path=<bus path> outputs=<hex mask of the motor lines> chip=<FT232R|FT232H>
// There is no file (fd is -1): the guard opens the adapter itself.
#include "portio/kit/GuardRoutines.h"

#include <string>

namespace portguard {
constexpr char FtdiKind = 'U'; // an FTDI adapter: where it is on the bus (no file)
}

void ZeroFtdiFromGuard(int fd, const std::string &payload, portguard::Situation situation);
