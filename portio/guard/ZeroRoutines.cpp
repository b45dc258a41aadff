// The guard's table: which routine switches each kind of device off. Each
// routine lives with its device's code.
#include "portio/guard/ZeroRoutines.h"

#include "portio/firmata/FirmataGuard.h"
#include "portio/ftdi/FtdiGuard.h"
#include "portio/gpio/GpioLines.h"
#include "portio/hardware/ParportGuard.h"

namespace portguard {

ZeroRoutine FindZeroRoutine(char kind)
{
    switch (kind) {
    case ParportKind:
        return ZeroParportFromGuard;
    case FtdiKind:
        return ZeroFtdiFromGuard;
    case GpioKind:
        return ZeroGpioFromGuard;
    case FirmataKind:
        return ZeroFirmataFromGuard;
    default:
        return nullptr;
    }
}

} // namespace portguard
