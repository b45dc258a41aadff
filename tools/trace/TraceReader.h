#pragma once
// Reading the port trace that the port libraries write when ROBOT_PORT_TRACE
// names a file: one access per line,
//   <CLOCK_MONOTONIC ns>,<W|R>,<port>,<value>
// for example "1234567890,W,888,18" or "1234600000,R,889,254".
#include "core/RobotWiring.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace robottrace {

// The registers the program drives the robot through: motor codes are
// written to DataPort, the sensors read from StatusPort.
using ::DataPort;
using ::StatusPort;

struct Access {
    int64_t ns = 0; // CLOCK_MONOTONIC nanoseconds
    char kind = 0;  // 'W' a write, 'R' a read
    int port = 0;
    int value = 0; // as recorded: the libraries store 16-bit values (signed or not)
    // The byte the register holds: the low byte of the recorded value.
    int Byte() const { return static_cast<int>(static_cast<uint16_t>(value) & 0xFF); }
    // True when the recorded value does not fit in a byte.
    bool Wide() const { return value < 0 || value > 255; }
};

// Parses one line without its line end (a trailing '\r' is allowed).
// Returns nullptr when the line is well formed, otherwise what is wrong with it.
const char *ParseLine(std::string_view line, Access &out);

// A line longer than this is malformed: a well-formed one has fewer than 40 characters.
constexpr size_t MaxLineLength = 256;

struct ReadResult {
    bool readable = true;    // false: the file could not be read to its end (see error)
    std::string error;       // the system's word for a read failure
    uint64_t lines = 0;      // lines seen, blank ones included
    uint64_t accesses = 0;   // well-formed accesses passed on
    uint64_t malformed = 0;  // lines skipped as malformed
    bool unterminated = false; // the last line has no line end (cut off while written?)
};

// The reader takes the file in blocks of this many bytes; lines straddle them.
constexpr size_t ReadBlockSize = 1 << 16;

// Reads a trace from `in` to its end in one pass, in linear time and constant
// memory. Every well-formed access goes to `onAccess` in file order. Every
// malformed line goes to `onMalformed` with its line number (from 1), what is
// wrong and the line's text (cut at MaxLineLength); when it returns false the
// reading stops there. A line earlier than the access before it is malformed
// too, so that `onAccess` sees times that never go back. Blank lines are skipped.
// The file is read `blockSize` bytes at a time (at least 1); the fuzz harness
// reads in small blocks too, so that even its small inputs cross boundaries.
ReadResult ReadTrace(std::FILE *in, const std::function<void(const Access &)> &onAccess,
                     const std::function<bool(uint64_t line, const char *why, std::string_view text)>
                         &onMalformed,
                     size_t blockSize = ReadBlockSize);

// The text of a line made safe to print: non-printable bytes as \xNN, at most
// `max` characters of the line.
std::string Printable(std::string_view text, size_t max = 60);

} // namespace robottrace
