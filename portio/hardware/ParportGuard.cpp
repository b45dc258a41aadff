#include "portio/hardware/ParportGuard.h"

#include <cerrno>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

void ZeroParportFromGuard(int fd, const std::string &, portguard::Situation situation);
const portguard::GuardRoutine registered{portguard::ParportKind, ZeroParportFromGuard};

void ZeroParportFromGuard(int fd, const std::string &, portguard::Situation situation)
{
    if (fd < 0)
        return;
    unsigned char zero = 0;
    if (ioctl(fd, PPWDATA, &zero) == 0) {
        if (situation == portguard::Situation::ProgramGone)
            ioctl(fd, PPRELEASE);
        return;
    }
    // EINVAL: this open file holds no claim (the program had let the port go).
    // A stopped program's port is left alone; a vanished program's is
    // claimed, waiting out whoever holds it now, so that its last value is
    // never left standing.
    if (errno != EINVAL || situation != portguard::Situation::ProgramGone)
        return;
    while (ioctl(fd, PPCLAIM) != 0)
        if (errno != EINTR)
            return;
    ioctl(fd, PPWDATA, &zero);
    ioctl(fd, PPRELEASE);
}
