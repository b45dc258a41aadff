// The Firmata board's port library: the kit's line backend over a board with
// the standard Firmata firmware (FirmataDevice.h).
#include "portio/firmata/FirmataDevice.h"

std::unique_ptr<portkit::LineDevice> portkit::MakeLineDevice()
{
    return std::make_unique<firmata::FirmataDevice>();
}

const char *portkit::LineDeviceKind()
{
    return "firmata";
}
