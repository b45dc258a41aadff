#pragma once
// The entry points of the port I/O libraries, found by name: every library
// has Inp32 and Out32.
#define PORTIO_EXPORT extern "C" __attribute__((visibility("default")))

PORTIO_EXPORT short Inp32(short port);
PORTIO_EXPORT void Out32(short port, short value);
// Optional: the text of a failed register access since the last call, or null.
PORTIO_EXPORT const char *PortIoLastError(void);
