// Fuzz harness: robot-trace's reader on any bytes, checked against a reading
// of its own that takes the whole input at once: split at '\n', each line
// checked field by field with the C library's strtoll. The reader must pass on
// the same accesses and report the same malformed lines (number, reason, text)
// whatever its block size: the real one, one byte, and one that depends on the
// input's length, so that lines, '\r's and NULs fall on block boundaries even
// in small inputs. It must stop at the first malformed line when told to. The
// accesses then go through the summary and the VCD writer, whose counts and
// time stamps must agree with them.
#include "TraceReader.h"
#include "TraceSummary.h"
#include "VcdWriter.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

using namespace robottrace;

namespace {

constexpr size_t OneByteBlocksUpTo = 4096;

void Check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "trace reader harness: %s\n", what);
        std::abort();
    }
}

struct Problem {
    uint64_t line;
    std::string why, text;
    bool operator==(const Problem &o) const { return line == o.line && why == o.why && text == o.text; }
};

bool SameAccess(const Access &a, const Access &b)
{
    return a.ns == b.ns && a.kind == b.kind && a.port == b.port && a.value == b.value;
}

struct Reading {
    std::vector<Access> accesses;
    std::vector<uint64_t> accessLines; // the oracle's only: the line of each access
    std::vector<Problem> problems;
    uint64_t lines = 0;
    bool unterminated = false;
};

// One decimal field: digits with an optional leading '-' where `sign` allows
// it, read by strtoll. 0 well formed, 1 not a number, 2 outside [lo, hi].
int Decimal(const std::string &field, bool sign, long long lo, long long hi, long long &value)
{
    size_t i = sign && !field.empty() && field[0] == '-' ? 1 : 0;
    if (i == field.size())
        return 1;
    for (; i < field.size(); ++i)
        if (field[i] < '0' || field[i] > '9')
            return 1;
    errno = 0;
    value = std::strtoll(field.c_str(), nullptr, 10);
    return errno == ERANGE || value < lo || value > hi ? 2 : 0;
}

// What is wrong with one line of the format <ns>,<W|R>,<port>,<value>; null when nothing.
const char *Expected(std::string line, Access &a)
{
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    std::vector<std::string> fields(1);
    for (char c : line) {
        if (c == ',')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    if (fields.size() < 4)
        return "not four comma-separated fields";
    if (fields.size() > 4)
        return "more than four fields";
    long long n = 0;
    // A time is a count of nanoseconds: digits only.
    if (fields[0].size() > 1 && fields[0][0] == '-' && Decimal(fields[0].substr(1), false, 0, 0, n) != 1)
        return "the time is negative";
    switch (Decimal(fields[0], false, 0, INT64_MAX, n)) {
    case 1:
        return "the time is not a whole number of nanoseconds";
    case 2:
        return "the time is out of the 64-bit range";
    }
    a.ns = n;
    if (fields[1] != "W" && fields[1] != "R")
        return "the access is neither W nor R";
    a.kind = fields[1][0];
    // Ports and values: 16 bits, printed signed or not.
    switch (Decimal(fields[2], true, -32768, 65535, n)) {
    case 1:
        return "the port is not a number";
    case 2:
        return "the port is out of the 16-bit range";
    }
    a.port = static_cast<int>(n);
    switch (Decimal(fields[3], true, -32768, 65535, n)) {
    case 1:
        return "the value is not a number";
    case 2:
        return "the value is out of the 16-bit range";
    }
    a.value = static_cast<int>(n);
    return nullptr;
}

Reading Oracle(const std::string &text)
{
    Reading r;
    int64_t lastNs = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        r.unterminated = end == std::string::npos;
        if (r.unterminated)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        ++r.lines;
        if (line.size() > MaxLineLength) {
            r.problems.push_back({r.lines, "the line is too long", line.substr(0, MaxLineLength)});
            continue;
        }
        if (line.empty() || line == "\r")
            continue;
        Access a;
        const char *why = Expected(line, a);
        if (!why && !r.accesses.empty() && a.ns < lastNs)
            why = "the time goes back";
        if (why) {
            r.problems.push_back({r.lines, why, line});
        } else {
            r.accesses.push_back(a);
            r.accessLines.push_back(r.lines);
            lastNs = a.ns;
        }
    }
    return r;
}

Reading Read(const uint8_t *data, size_t size, size_t block, bool stopAtFirst, ReadResult &result)
{
    Reading r;
    // fmemopen wants a buffer even for no bytes.
    static char none[1];
    void *bytes = size ? const_cast<uint8_t *>(data) : static_cast<void *>(none);
    std::FILE *in = fmemopen(bytes, size, "rb");
    Check(in != nullptr, "fmemopen failed");
    result = ReadTrace(
        in, [&](const Access &a) { r.accesses.push_back(a); },
        [&](uint64_t line, const char *why, std::string_view text) {
            Check(why != nullptr && *why != '\0', "a malformed line without a reason");
            r.problems.push_back({line, why, std::string(text)});
            return !stopAtFirst;
        },
        block);
    std::fclose(in);
    r.lines = result.lines;
    r.unterminated = result.unterminated;
    return r;
}

void CheckSame(const Reading &got, const ReadResult &result, const Reading &want)
{
    Check(result.readable, "a memory file read as unreadable");
    Check(got.accesses.size() == want.accesses.size(), "the number of accesses differs");
    for (size_t i = 0; i < got.accesses.size(); ++i)
        Check(SameAccess(got.accesses[i], want.accesses[i]), "an access differs");
    if (got.problems != want.problems) {
        // Say which, for whoever mends it.
        size_t i = 0;
        while (i < got.problems.size() && i < want.problems.size() && got.problems[i] == want.problems[i])
            ++i;
        const auto show = [](const char *who, const std::vector<Problem> &list, size_t at) {
            if (at < list.size())
                std::fprintf(stderr, "%s: line %llu: %s: \"%s\"\n", who,
                             static_cast<unsigned long long>(list[at].line), list[at].why.c_str(),
                             Printable(list[at].text).c_str());
            else
                std::fprintf(stderr, "%s: no more malformed lines\n", who);
        };
        show("reader", got.problems, i);
        show("expected", want.problems, i);
        Check(false, "the malformed lines differ");
    }
    Check(result.accesses == want.accesses.size() && result.malformed == want.problems.size(),
          "the counts disagree with what was passed on");
    Check(got.lines == want.lines, "the line count differs");
    Check(got.unterminated == want.unterminated, "the last line's end is judged differently");
}

// The summary and the VCD of the accesses agree with them.
void CheckSummaryAndVcd(const std::vector<Access> &accesses)
{
    SummaryBuilder builder;
    std::ostringstream vcdText;
    VcdWriter vcd(vcdText);
    for (const Access &a : accesses) {
        builder.Add(a);
        vcd.Add(a);
    }
    vcd.Finish();
    const Summary s = builder.Finish();
    Check(s.accesses == accesses.size(), "the summary miscounts the accesses");
    const uint64_t ignored = std::accumulate(s.ignored.begin(), s.ignored.end(), uint64_t {0},
                                             [](uint64_t sum, const auto &kv) { return sum + kv.second; });
    Check(s.dataWrites + s.statusReads + ignored == s.accesses, "the summary loses accesses");
    Check(std::accumulate(s.statusCounts.begin(), s.statusCounts.end(), uint64_t {0}) == s.statusReads,
          "the status counts do not add up");
    uint64_t pulses = 0;
    for (const CodePulses &p : s.pulses) {
        pulses += p.count;
        Check(p.code > 0 && p.code < 256 && p.count > 0, "a pulse of no code");
        Check(0 <= p.minMs && p.minMs <= p.medianMs && p.medianMs <= p.maxMs, "pulse lengths out of order");
    }
    Check(pulses <= s.dataWrites, "more pulses than data writes");
    Check(FormatSummary(s, "fuzz").rfind("Trace fuzz\n", 0) == 0, "the summary's report");

    // Time stamps from #0, rising, the last at the last access.
    std::istringstream lines(vcdText.str());
    int64_t previous = -1;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] != '#')
            continue;
        const int64_t t = std::strtoll(line.c_str() + 1, nullptr, 10);
        Check(previous < 0 ? t == 0 : t > previous, "VCD time stamps out of order");
        previous = t;
    }
    Check(previous == (accesses.empty() ? 0 : accesses.back().ns - accesses.front().ns),
          "the VCD does not end at the last access");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const Reading want = Oracle(text);
    // One-byte blocks only for small inputs: large ones would slow the search
    // down, and the third size puts their boundaries elsewhere anyway.
    const size_t blocks[] = {ReadBlockSize, size <= OneByteBlocksUpTo ? 1 : ReadBlockSize,
                             2 + size % (2 * MaxLineLength)};
    for (size_t block : blocks) {
        ReadResult result;
        const Reading got = Read(data, size, block, false, result);
        CheckSame(got, result, want);
    }

    // Told to stop, the reader stops at the first malformed line.
    ReadResult result;
    const Reading strict = Read(data, size, blocks[2], true, result);
    if (want.problems.empty()) {
        CheckSame(strict, result, want);
    } else {
        const uint64_t first = want.problems.front().line;
        Check(strict.problems.size() == 1 && strict.problems.front() == want.problems.front(),
              "the strict reading reports other than the first malformed line");
        Check(strict.lines == first, "the strict reading goes past its first malformed line");
        size_t before = 0;
        while (before < want.accesses.size() && want.accessLines[before] < first)
            ++before;
        Check(strict.accesses.size() == before, "the strict reading passes on other accesses");
        for (size_t i = 0; i < before; ++i)
            Check(SameAccess(strict.accesses[i], want.accesses[i]), "the strict reading changes an access");
        Check(strict.unterminated == (want.unterminated && first == want.lines),
              "the strict reading judges a line it did not reach");
    }

    for (const Problem &p : want.problems) {
        const std::string shown = Printable(p.text);
        for (char c : shown)
            Check(c >= 0x20 && c < 0x7F, "a malformed line printed with a raw byte");
    }
    CheckSummaryAndVcd(want.accesses);
    return 0;
}
