#pragma once
// The two entry points every port I/O library exports, found by name.
#define PORTIO_EXPORT extern "C" __attribute__((visibility("default")))

PORTIO_EXPORT short Inp32(short port);
PORTIO_EXPORT void Out32(short port, short value);
