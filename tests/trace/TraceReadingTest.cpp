// Reading a port trace and summing it up: what is accepted, what is reported
// as malformed (with which line number), and the pulses and status counts.
#include "TraceReader.h"
#include "TraceSummary.h"
#include "TraceTestFiles.h"

#include <gtest/gtest.h>

#include <vector>

using namespace robottrace;

namespace {

struct Malformed {
    uint64_t line;
    std::string why;
    std::string text;
};

struct Read {
    std::vector<Access> accesses;
    std::vector<Malformed> malformed;
    ReadResult result;
};

Read ReadText(const std::string &text, bool stopAtFirst = false)
{
    Read out;
    std::FILE *f = text.empty() ? std::fopen("/dev/null", "rb")
                                : fmemopen(const_cast<char *>(text.data()), text.size(), "rb");
    out.result = ReadTrace(
        f, [&](const Access &a) { out.accesses.push_back(a); },
        [&](uint64_t line, const char *why, std::string_view t) {
            out.malformed.push_back({line, why, std::string(t)});
            return !stopAtFirst;
        });
    std::fclose(f);
    return out;
}

Summary Summarise(const std::string &text)
{
    SummaryBuilder b;
    for (const Access &a : ReadText(text).accesses)
        b.Add(a);
    return b.Finish();
}

} // namespace

TEST(TraceLine, AcceptsWhatTheLibrariesWrite)
{
    Access a;
    ASSERT_EQ(ParseLine("1234567890123,W,888,18", a), nullptr);
    EXPECT_EQ(a.ns, 1234567890123);
    EXPECT_EQ(a.kind, 'W');
    EXPECT_EQ(a.port, 888);
    EXPECT_EQ(a.Byte(), 18);
    EXPECT_FALSE(a.Wide());
    // A line end from another system, and 16-bit values printed as signed shorts.
    ASSERT_EQ(ParseLine("5,R,889,254\r", a), nullptr);
    EXPECT_EQ(a.Byte(), 254);
    ASSERT_EQ(ParseLine("5,W,888,-238", a), nullptr); // 0xFF12
    EXPECT_EQ(a.Byte(), 0x12);
    EXPECT_TRUE(a.Wide());
    ASSERT_EQ(ParseLine("5,W,888,65535", a), nullptr);
    EXPECT_EQ(a.Byte(), 255);
}

TEST(TraceLine, RefusesMalformedLinesAndLeavesTheAccessAlone)
{
    const char *bad[] = {
        "",  "1,W,888",  "1,W,888,18,3",  "x,W,888,18",  "-5,W,888,18",  "1,w,888,18",  "1,WR,888,18",
        "1,W,,18",  "1,W,888,",  "1,W,888, 18",  " 1,W,888,18",  "1,W,888,18x",  "1,W,888,+18",
        "1,W,888,65536",  "1,W,888,-32769",  "1,W,70000,0",  "99999999999999999999,W,888,0",  "1;W;888;18",
    };
    for (const char *line : bad) {
        Access a;
        a.ns = 77;
        EXPECT_NE(ParseLine(line, a), nullptr) << line;
        EXPECT_EQ(a.ns, 77) << line;
    }
    // A number too large for the reader's integers is still called a number
    // (each found by the fuzz harness, fuzz/corpus/trace_reader/fault-*).
    Access a;
    EXPECT_STREQ(ParseLine("99999999999999999999,W,888,0", a), "the time is out of the 64-bit range");
    EXPECT_STREQ(ParseLine("-99999999999999999999,W,888,0", a), "the time is negative");
    EXPECT_STREQ(ParseLine("-0,W,888,0", a), "the time is negative");
    EXPECT_STREQ(ParseLine("1,W,99999999999,0", a), "the port is out of the 16-bit range");
    EXPECT_STREQ(ParseLine("1,W,888,-99999999999", a), "the value is out of the 16-bit range");
    EXPECT_STREQ(ParseLine("1,W,888,1e3", a), "the value is not a number");
}

TEST(TraceReading, ReportsMalformedLinesWithTheirNumbersAndGoesOn)
{
    std::string text = "10,W,888,18\n"
                       "\n"             // 2: blank, skipped quietly
                       "20,W,888,0\n"
                       "15,R,889,254\n" // 4: earlier than the line before
                       "junk\n";        // 5
    text += std::string(300, '7') + "\n"; // 6: far too long
    text += std::string("30,R,889,2\0" "54\n", 14); // 7: a NUL byte
    text += "40,R,889,222"; // 8: no line end
    const Read r = ReadText(text);
    ASSERT_EQ(r.accesses.size(), 3u);
    EXPECT_EQ(r.accesses[2].ns, 40);
    ASSERT_EQ(r.malformed.size(), 4u);
    EXPECT_EQ(r.malformed[0].line, 4u);
    EXPECT_EQ(r.malformed[0].why, "the time goes back");
    EXPECT_EQ(r.malformed[1].line, 5u);
    EXPECT_EQ(r.malformed[2].line, 6u);
    EXPECT_EQ(r.malformed[2].text.size(), MaxLineLength);
    EXPECT_EQ(r.malformed[3].line, 7u);
    EXPECT_EQ(Printable(r.malformed[3].text), "30,R,889,2\\x0054");
    EXPECT_EQ(r.result.lines, 8u);
    EXPECT_EQ(r.result.malformed, 4u);
    EXPECT_TRUE(r.result.unterminated);

    // Told to stop, the reader passes nothing after the first malformed line.
    const Read strict = ReadText("1,W,888,18\nbad\n2,W,888,0\n", true);
    EXPECT_EQ(strict.accesses.size(), 1u);
    EXPECT_EQ(strict.malformed.size(), 1u);
}

TEST(TraceReading, LinesAcrossBlockBoundariesAndHugeLinesStayWhole)
{
    // Enough lines that many straddle the reader's blocks, then a line of
    // megabytes without a line end: reported, not kept whole in memory.
    std::string text;
    const int lines = 20000;
    for (int i = 0; i < lines; ++i)
        text += std::to_string(1000000 + i) + ",W,888," + std::to_string(i % 256) + "\n";
    text += std::string(3 << 20, '1');
    const Read r = ReadText(text);
    ASSERT_EQ(r.accesses.size(), static_cast<size_t>(lines));
    for (int i = 0; i < lines; ++i)
        ASSERT_EQ(r.accesses[static_cast<size_t>(i)].value, i % 256) << i;
    ASSERT_EQ(r.malformed.size(), 1u);
    EXPECT_EQ(r.malformed[0].line, static_cast<uint64_t>(lines + 1));
    EXPECT_EQ(r.malformed[0].why, "the line is too long");
}

TEST(TraceSummary, CountsPulsesPerCodeAndStatusValues)
{
    const Summary s = Summarise(KnownTrace);
    EXPECT_EQ(s.accesses, 14u);
    EXPECT_DOUBLE_EQ(s.SpanMs(), 600.0);
    EXPECT_EQ(s.dataWrites, 7u);
    EXPECT_EQ(s.statusReads, 5u);
    EXPECT_EQ(s.wideWrites, 1u);
    EXPECT_EQ((s.ignored.at({'R', 888})), 1u);
    EXPECT_EQ((s.ignored.at({'W', 890})), 1u);

    ASSERT_EQ(s.pulses.size(), 2u);
    EXPECT_EQ(s.pulses[0].code, 17);
    EXPECT_EQ(s.pulses[0].count, 1u);
    EXPECT_DOUBLE_EQ(s.pulses[0].medianMs, 60.0);
    EXPECT_EQ(s.pulses[1].code, 18); // 274 counts as its low byte
    EXPECT_EQ(s.pulses[1].count, 2u);
    EXPECT_DOUBLE_EQ(s.pulses[1].minMs, 100.0);
    EXPECT_DOUBLE_EQ(s.pulses[1].medianMs, 150.0);
    EXPECT_DOUBLE_EQ(s.pulses[1].maxMs, 200.0);

    EXPECT_EQ(s.statusCounts[254], 3u); // a repeated read counts each time
    EXPECT_EQ(s.statusCounts[222], 1u);
    EXPECT_EQ(s.statusCounts[126], 1u);
    EXPECT_TRUE(s.dataWritten);
    EXPECT_TRUE(s.EndsStopped());
}

TEST(TraceSummary, PulseEndsAtTheNextDataWriteWhateverItWrites)
{
    // 18 held 10 ms then overwritten by 9, held 30 ms; a 0-length 10; 9 again
    // for 50 ms. Odd count for 9: the median is the middle one.
    const Summary s = Summarise("0,W,888,18\n10000000,W,888,9\n40000000,W,888,10\n"
                                "40000000,W,888,9\n90000000,W,888,0\n95000000,W,888,9\n"
                                "195000000,W,888,0\n");
    ASSERT_EQ(s.pulses.size(), 3u);
    EXPECT_EQ(s.pulses[0].code, 9);
    EXPECT_EQ(s.pulses[0].count, 3u);
    EXPECT_DOUBLE_EQ(s.pulses[0].minMs, 30.0);
    EXPECT_DOUBLE_EQ(s.pulses[0].medianMs, 50.0);
    EXPECT_DOUBLE_EQ(s.pulses[0].maxMs, 100.0);
    EXPECT_EQ(s.pulses[1].code, 10);
    EXPECT_DOUBLE_EQ(s.pulses[1].maxMs, 0.0);
    EXPECT_EQ(s.pulses[2].code, 18);
}

TEST(TraceSummary, SaysPlainlyWhenTheMotorsAreLeftRunning)
{
    const Summary running = Summarise("0,W,888,0\n1000000,W,888,10\n5000000,R,889,254\n");
    EXPECT_FALSE(running.EndsStopped());
    EXPECT_TRUE(running.pulses.empty()); // the open pulse has no length yet
    const std::string text = FormatSummary(running, "t");
    EXPECT_NE(text.find("WARNING: the trace ends with code 10 (spin right)"), std::string::npos) << text;
    EXPECT_NE(text.find("written 4.000 ms"), std::string::npos) << text;
    EXPECT_NE(text.find("motors would be\nleft running"), std::string::npos) << text;

    // A write of 256 leaves a 0 on the register: stopped.
    const Summary wide = Summarise("0,W,888,18\n1000000,W,888,256\n");
    EXPECT_TRUE(wide.EndsStopped());
    EXPECT_NE(FormatSummary(wide, "t").find("ends with the data register at 0"), std::string::npos);

    const Summary readsOnly = Summarise("0,R,889,0\n1,R,889,0\n");
    EXPECT_FALSE(readsOnly.dataWritten);
    const std::string readsText = FormatSummary(readsOnly, "t");
    EXPECT_NE(readsText.find("never writes the data register"), std::string::npos) << readsText;
    EXPECT_NE(readsText.find("port was probably not reached"), std::string::npos) << readsText;

    const Summary empty = Summarise("");
    EXPECT_EQ(empty.accesses, 0u);
    EXPECT_EQ(FormatSummary(empty, "t"), "Trace t\n  no accesses\n");
}

TEST(TraceSummary, NamesCodesAndSensorBytes)
{
    EXPECT_EQ(CodeMeaning(0), "stop");
    EXPECT_EQ(CodeMeaning(18), "forward");
    EXPECT_EQ(CodeMeaning(9), "back");
    EXPECT_EQ(CodeMeaning(17), "spin left");
    EXPECT_EQ(CodeMeaning(10), "spin right");
    EXPECT_EQ(CodeMeaning(16), "right wheel forward, left wheel stopped");
    EXPECT_EQ(CodeMeaning(0x1A), "right wheel stopped, left wheel forward (both lines of a wheel on)");
    EXPECT_EQ(CodeMeaning(0x92), "forward, unused bits set");
    EXPECT_EQ(StatusMeaning(254), "nothing fires");
    EXPECT_EQ(StatusMeaning(222), "left line");
    EXPECT_EQ(StatusMeaning(238), "right line");
    EXPECT_EQ(StatusMeaning(126), "obstacle");
    EXPECT_EQ(StatusMeaning(94), "left line, obstacle");
}
