#include "TraceSummary.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace robottrace {

void SummaryBuilder::Add(const Access &a)
{
    if (s_.accesses == 0)
        s_.firstNs = a.ns;
    ++s_.accesses;
    s_.lastNs = a.ns;

    if (a.kind == 'W' && a.port == DataPort) {
        ++s_.dataWrites;
        if (a.Wide())
            ++s_.wideWrites;
        // A pulse lasts until the next data write, whatever that writes.
        if (pulseOpen_)
            lengths_[static_cast<size_t>(s_.lastCode)].push_back(a.ns - s_.lastCodeSinceNs);
        s_.dataWritten = true;
        s_.lastCode = a.Byte();
        s_.lastCodeSinceNs = a.ns;
        pulseOpen_ = s_.lastCode != 0;
    } else if (a.kind == 'R' && a.port == StatusPort) {
        ++s_.statusReads;
        if (a.Wide())
            ++s_.wideReads;
        ++s_.statusCounts[static_cast<size_t>(a.Byte())];
    } else {
        ++s_.ignored[{a.kind, a.port}];
    }
}

Summary SummaryBuilder::Finish() const
{
    Summary out = s_;
    out.pulses.clear();
    for (int code = 1; code < 256; ++code) {
        std::vector<int64_t> ns = lengths_[static_cast<size_t>(code)];
        if (ns.empty())
            continue;
        CodePulses p;
        p.code = code;
        p.count = ns.size();
        const auto [lo, hi] = std::minmax_element(ns.begin(), ns.end());
        p.minMs = *lo / 1e6;
        p.maxMs = *hi / 1e6;
        // The middle value; for an even count the mean of the two middle ones.
        const size_t mid = ns.size() / 2;
        std::nth_element(ns.begin(), ns.begin() + static_cast<long>(mid), ns.end());
        double median = static_cast<double>(ns[mid]);
        if (ns.size() % 2 == 0) {
            const int64_t below = *std::max_element(ns.begin(), ns.begin() + static_cast<long>(mid));
            median = (median + static_cast<double>(below)) / 2;
        }
        p.medianMs = median / 1e6;
        out.pulses.push_back(p);
    }
    return out;
}

std::string CodeMeaning(int code)
{
    const auto wheel = [](bool fwd, bool back) { return fwd == back ? 0 : (fwd ? 1 : -1); };
    const int right = wheel(code & 0x10, code & 0x08);
    const int left = wheel(code & 0x02, code & 0x01);
    std::string out;
    if (right == 0 && left == 0)
        out = "stop";
    else if (right == 1 && left == 1)
        out = "forward";
    else if (right == -1 && left == -1)
        out = "back";
    else if (right == 1 && left == -1)
        out = "spin left";
    else if (right == -1 && left == 1)
        out = "spin right";
    else {
        const auto name = [](int w) { return w > 0 ? "forward" : (w < 0 ? "back" : "stopped"); };
        out = std::string("right wheel ") + name(right) + ", left wheel " + name(left);
    }
    if ((code & 0x18) == 0x18 || (code & 0x03) == 0x03)
        out += " (both lines of a wheel on)";
    if (code & 0xE4)
        out += ", unused bits set";
    return out;
}

std::string StatusMeaning(int status)
{
    std::string out;
    const auto add = [&out](const char *what) {
        if (!out.empty())
            out += ", ";
        out += what;
    };
    // Each sensor clears its bit when it fires.
    if (!(status & LeftLineBit))
        add("left line");
    if (!(status & RightLineBit))
        add("right line");
    if (!(status & ObstacleBit))
        add("obstacle");
    return out.empty() ? "nothing fires" : out;
}

namespace {

std::string Format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *fmt, ...)
{
    char buf[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

std::string Bits(int byte)
{
    std::string out;
    for (int bit = 7; bit >= 0; --bit)
        out += (byte >> bit) & 1 ? '1' : '0';
    return out;
}

} // namespace

std::string FormatSummary(const Summary &s, const std::string &source)
{
    std::string out = "Trace " + source + "\n";
    if (s.accesses == 0) {
        out += "  no accesses";
        if (s.malformed)
            out += Format(" (%llu malformed lines skipped)", static_cast<unsigned long long>(s.malformed));
        return out + "\n";
    }
    out += Format("  %llu accesses over %.3f s (the first at %lld ns)\n",
                  static_cast<unsigned long long>(s.accesses), s.SpanMs() / 1000,
                  static_cast<long long>(s.firstNs));
    out += Format("  data writes (port %d): %llu, status reads (port %d): %llu\n", DataPort,
                  static_cast<unsigned long long>(s.dataWrites), StatusPort,
                  static_cast<unsigned long long>(s.statusReads));
    if (!s.ignored.empty()) {
        uint64_t total = 0;
        std::string which;
        for (const auto &[key, count] : s.ignored) {
            total += count;
            which += Format("%s%c %d: %llu", which.empty() ? "" : ", ", key.first, key.second,
                            static_cast<unsigned long long>(count));
        }
        out += Format("  other accesses, ignored: %llu (", static_cast<unsigned long long>(total)) + which +
               ")\n";
    }
    if (s.wideWrites)
        out += Format("  data writes outside 0-255, counted as their low byte: %llu\n",
                      static_cast<unsigned long long>(s.wideWrites));
    if (s.wideReads)
        out += Format("  status reads outside 0-255, counted as their low byte: %llu\n",
                      static_cast<unsigned long long>(s.wideReads));
    if (s.malformed)
        out += Format("  malformed lines, skipped: %llu\n", static_cast<unsigned long long>(s.malformed));

    out += "\nPulses (a non-zero code held until the next data write), lengths in ms:\n";
    if (s.pulses.empty()) {
        out += "  none\n";
    } else {
        out += "  code  meaning                 count        min     median        max\n";
        for (const CodePulses &p : s.pulses)
            out += Format("  %4d  %-20s %8llu %10.3f %10.3f %10.3f\n", p.code, CodeMeaning(p.code).c_str(),
                          static_cast<unsigned long long>(p.count), p.minMs, p.medianMs, p.maxMs);
    }

    out += "\nStatus values read:\n";
    if (s.statusReads == 0) {
        out += "  none\n";
    } else {
        out += "  value  bits      meaning                        count\n";
        for (int v = 0; v < 256; ++v)
            if (const uint64_t n = s.statusCounts[static_cast<size_t>(v)])
                out += Format("  %5d  %s  %-26s %9llu\n", v, Bits(v).c_str(), StatusMeaning(v).c_str(),
                              static_cast<unsigned long long>(n));
        if (s.statusCounts[0] == s.statusReads)
            out += "  Every status read is 0: the port was probably not reached.\n";
    }

    out += "\n";
    if (!s.dataWritten)
        out += "The trace never writes the data register.\n";
    else if (s.EndsStopped())
        out += "The trace ends with the data register at 0: the motors stopped.\n";
    else
        out += Format("WARNING: the trace ends with code %d (%s) on the data register, written %.3f ms\n"
                      "before the last access and never cleared: on a real robot the motors would be\n"
                      "left running.\n",
                      s.lastCode, CodeMeaning(s.lastCode).c_str(), (s.lastNs - s.lastCodeSinceNs) / 1e6);
    return out;
}

} // namespace robottrace
