#pragma once
// The exceptions the operator can see. The program has no error messages of its
// own: every error is one of the toolkit-level failures below, shown by the one
// error display (core/ErrorDisplay.h).
#include <stdexcept>
#include <string>

// A typed number that is not a decimal 32-bit integer.
struct ConversionError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A picture file that is missing or cannot be read.
struct EFOpenError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A camera picture that could not be saved: the file and the system's reason.
struct FileSaveError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The media player could not open or play its file.
struct EMCIDeviceError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
