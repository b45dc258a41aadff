// A line library's backend: the kit's line backend over the library's own
// device (MakeLineDevice and LineDeviceKind, defined in its folder).
#include "portio/kit/LineBackend.h"

std::unique_ptr<portkit::PortBackend> MakePortBackend(portkit::Services &services)
{
    return portkit::MakeLineBackend(services, portkit::LineDeviceKind(), portkit::MakeLineDevice);
}
