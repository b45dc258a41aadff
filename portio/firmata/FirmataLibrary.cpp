// The Firmata board's port library: the kit's line backend over a board with
// the standard Firmata firmware (FirmataDevice.h).
#include "portio/firmata/FirmataDevice.h"
#include "portio/firmata/FirmataPins.h"

std::unique_ptr<portkit::LineDevice> portkit::MakeLineDevice()
{
    return std::make_unique<firmata::FirmataDevice>();
}

const portkit::DeviceKind &portkit::LineDeviceKind()
{
    return firmata::Pins;
}
