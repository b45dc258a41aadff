#include "TraceReader.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>

namespace robottrace {

namespace {

// The libraries print 16-bit values, as signed shorts or unsigned.
constexpr int Min16 = -32768;
constexpr int Max16 = 65535;

// Splits off the text up to the next comma; false when there is none.
bool NextField(std::string_view &rest, std::string_view &field)
{
    const size_t comma = rest.find(',');
    if (comma == std::string_view::npos)
        return false;
    field = rest.substr(0, comma);
    rest.remove_prefix(comma + 1);
    return true;
}

enum class Parsed { Number, NotANumber, TooLarge };

// A whole field as a decimal number, nothing before or after it. Digits that
// do not fit `out` are a number still, only too large: the user is told so.
template <typename T> Parsed Number(std::string_view field, T &out)
{
    if (field.empty())
        return Parsed::NotANumber;
    const char *end = field.data() + field.size();
    const auto [ptr, ec] = std::from_chars(field.data(), end, out);
    if (ptr != end)
        return Parsed::NotANumber;
    if (ec == std::errc::result_out_of_range)
        return Parsed::TooLarge;
    return ec == std::errc() ? Parsed::Number : Parsed::NotANumber;
}

} // namespace

const char *ParseLine(std::string_view line, Access &out)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    std::string_view rest = line, ns, kind, port;
    if (!NextField(rest, ns) || !NextField(rest, kind) || !NextField(rest, port))
        return "not four comma-separated fields";
    if (rest.find(',') != std::string_view::npos)
        return "more than four fields";
    Access a;
    switch (Number(ns, a.ns)) {
    case Parsed::Number:
        break;
    case Parsed::NotANumber:
        return "the time is not a whole number of nanoseconds";
    case Parsed::TooLarge:
        return ns[0] == '-' ? "the time is negative" : "the time is out of the 64-bit range";
    }
    // A count of nanoseconds has no sign: "-0" is refused as well.
    if (ns[0] == '-')
        return "the time is negative";
    if (kind != "W" && kind != "R")
        return "the access is neither W nor R";
    a.kind = kind[0];
    const Parsed portParsed = Number(port, a.port);
    if (portParsed == Parsed::NotANumber)
        return "the port is not a number";
    if (portParsed == Parsed::TooLarge || a.port < Min16 || a.port > Max16)
        return "the port is out of the 16-bit range";
    const Parsed valueParsed = Number(rest, a.value);
    if (valueParsed == Parsed::NotANumber)
        return "the value is not a number";
    if (valueParsed == Parsed::TooLarge || a.value < Min16 || a.value > Max16)
        return "the value is out of the 16-bit range";
    out = a;
    return nullptr;
}

ReadResult ReadTrace(std::FILE *in, const std::function<void(const Access &)> &onAccess,
                     const std::function<bool(uint64_t, const char *, std::string_view)> &onMalformed,
                     size_t blockSize)
{
    ReadResult result;
    int64_t lastNs = 0;
    bool stopped = false;
    // The line being gathered across blocks, never longer than MaxLineLength + 1.
    std::string line;
    bool tooLong = false;

    const auto endOfLine = [&]() {
        ++result.lines;
        std::string_view text(line);
        if (tooLong) {
            ++result.malformed;
            stopped = !onMalformed(result.lines, "the line is too long", text.substr(0, MaxLineLength));
        } else if (text.empty() || text == "\r") {
            // A blank line holds no access.
        } else {
            Access a;
            const char *why = ParseLine(text, a);
            if (!why && result.accesses > 0 && a.ns < lastNs)
                why = "the time goes back";
            if (why) {
                ++result.malformed;
                stopped = !onMalformed(result.lines, why, text);
            } else {
                lastNs = a.ns;
                ++result.accesses;
                onAccess(a);
            }
        }
        line.clear();
        tooLong = false;
    };

    std::vector<char> block(std::max<size_t>(blockSize, 1));
    while (!stopped) {
        const size_t got = std::fread(block.data(), 1, block.size(), in);
        if (got == 0) {
            if (std::ferror(in)) {
                result.readable = false;
                result.error = std::strerror(errno);
            }
            break;
        }
        const char *p = block.data();
        const char *end = p + got;
        while (p < end && !stopped) {
            const char *nl = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            const char *stop = nl ? nl : end;
            if (!tooLong) {
                const size_t room = MaxLineLength + 1 - line.size();
                const size_t take = std::min(room, static_cast<size_t>(stop - p));
                line.append(p, take);
                tooLong = line.size() > MaxLineLength;
            }
            if (!nl)
                break;
            endOfLine();
            p = nl + 1;
        }
    }
    if (!stopped && result.readable && (!line.empty() || tooLong)) {
        result.unterminated = true;
        endOfLine();
    }
    return result;
}

std::string Printable(std::string_view text, size_t max)
{
    std::string out;
    const bool cut = text.size() > max;
    for (unsigned char c : text.substr(0, max)) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    if (cut)
        out += "...";
    return out;
}

} // namespace robottrace
