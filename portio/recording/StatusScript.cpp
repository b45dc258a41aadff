#include "portio/recording/StatusScript.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {
// Characters of a faulty word quoted in the problem.
constexpr size_t QuotedCharacters = 24;

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The word as a short, or false when it is not a decimal integer in range.
bool ToShort(const char *word, size_t length, short &out)
{
    size_t i = 0;
    const bool negative = word[0] == '-';
    if (word[0] == '-' || word[0] == '+')
        ++i;
    if (i == length)
        return false;
    // Stops one past the largest magnitude a short holds, so that no digit
    // string is long enough to overflow.
    const int32_t limit = -int32_t(std::numeric_limits<short>::min());
    int32_t value = 0;
    for (; i < length; ++i) {
        if (word[i] < '0' || word[i] > '9')
            return false;
        value = value * 10 + (word[i] - '0');
        if (value > limit)
            return false;
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<short>::max())
        return false;
    out = static_cast<short>(value);
    return true;
}

std::string Quote(const char *word, size_t length)
{
    std::string quoted;
    for (size_t i = 0; i < length && i < QuotedCharacters; ++i) {
        const unsigned char c = static_cast<unsigned char>(word[i]);
        quoted += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return length > QuotedCharacters ? quoted + "..." : quoted;
}
} // namespace

StatusScriptValues ParseStatusScript(const char *text, size_t size)
{
    StatusScriptValues script;
    size_t i = 0;
    for (;;) {
        while (i < size && IsSpace(text[i]))
            ++i;
        if (i == size)
            break;
        const size_t start = i;
        while (i < size && !IsSpace(text[i]))
            ++i;
        short value = 0;
        if (!ToShort(text + start, i - start, value)) {
            script.problem = "\"" + Quote(text + start, i - start) +
                             "\" is not a whole number from -32768 to 32767; the values end before it";
            break;
        }
        if (script.values.size() == MaxStatusScriptValues) {
            script.problem = "more than " + std::to_string(MaxStatusScriptValues) + " values; the rest is left out";
            break;
        }
        script.values.push_back(value);
    }
    return script;
}

StatusScriptValues ReadStatusScript(const char *path)
{
    // Not blocking: a FIFO or a device named here must not hold the program.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    FILE *f = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? fdopen(fd, "r") : nullptr;
    if (!f) {
        StatusScriptValues none;
        none.problem = fd < 0 ? std::string("cannot be read: ") + std::strerror(errno)
                              : std::string("cannot be read: it is not a file");
        if (fd >= 0)
            close(fd);
        return none;
    }
    std::string text;
    char chunk[1 << 16];
    for (size_t n; text.size() <= MaxStatusScriptBytes && (n = std::fread(chunk, 1, sizeof(chunk), f)) > 0;)
        text.append(chunk, n);
    std::fclose(f);
    size_t size = text.size();
    bool cut = false;
    if (size > MaxStatusScriptBytes) { // too long: up to the last word that ends within the limit
        size = MaxStatusScriptBytes;
        while (size > 0 && !IsSpace(text[size]))
            --size;
        cut = true;
    }
    StatusScriptValues script = ParseStatusScript(text.data(), size);
    if (cut && script.problem.empty())
        script.problem = "longer than " + std::to_string(MaxStatusScriptBytes >> 20) + " MiB; the rest is left out";
    return script;
}
