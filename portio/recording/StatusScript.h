#pragma once
// The status script of the recording port library: the text of
// whitespace-separated decimal numbers whose values the status register's
// reads give, one per read.
#include <cstddef>
#include <string>
#include <vector>

// The most values a script holds; the rest of a longer one is left out.
constexpr size_t MaxStatusScriptValues = 1'000'000;
// The most bytes of a script file read: room for that many values.
constexpr size_t MaxStatusScriptBytes = 8 << 20;

struct StatusScriptValues {
    std::vector<short> values;
    std::string problem; // why the values end before the text does; empty when they do not
};

// Reads `size` bytes of script text. Each word is a decimal integer from
// -32768 to 32767 with an optional sign; the values end before the first word
// that is not one (or after MaxStatusScriptValues of them), and `problem` says so.
StatusScriptValues ParseStatusScript(const char *text, size_t size);

// Reads the script file at `path` (at most MaxStatusScriptBytes of it, up to
// the last whole word). A file that cannot be read gives no values and says
// why in `problem`.
StatusScriptValues ReadStatusScript(const char *path);
