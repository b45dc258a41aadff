#pragma once
// The errors the operator can see, each shown by the one error display
// (core/ErrorDisplay.h) when it ends a handler. (A failing port is a
// PortIoError, drive/PortIo.h.)
#include <stdexcept>
#include <string>

// A typed number that is not a decimal 32-bit integer.
struct ConversionError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A picture file that is missing or cannot be read.
struct FileOpenError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A camera picture that could not be saved: the file and the system's reason.
struct FileSaveError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The sound player could not open or play its file, or has no sound output.
struct SoundDeviceError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
