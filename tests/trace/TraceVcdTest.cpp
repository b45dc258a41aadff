// The VCD of a trace, read back by this test's own reader and by GTKWave's
// converters, and robot-trace run as a user runs it.
#include "TraceReader.h"
#include "TraceTestFiles.h"
#include "VcdWriter.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace robottrace;

namespace {

// A VCD as its value changes: time -> "scope.signal" -> value. Vectors are
// given as their 8 bits ("b00010010"), whatever leading digits the file left out.
struct Vcd {
    std::string timescale;
    std::map<int64_t, std::map<std::string, std::string>> changes;
    std::string At(int64_t t, const std::string &signal) const
    {
        const auto time = changes.find(t);
        if (time == changes.end())
            return "(no change at " + std::to_string(t) + ")";
        const auto v = time->second.find(signal);
        return v == time->second.end() ? "(unchanged)" : v->second;
    }
};

Vcd ParseVcd(const std::string &text)
{
    Vcd out;
    std::istringstream in(text);
    std::map<std::string, std::string> names; // id -> scope.name
    std::string scope, token;
    int64_t now = -1;
    const auto section = [&in]() {
        std::string words, w;
        while (in >> w && w != "$end")
            words += (words.empty() ? "" : " ") + w;
        return words;
    };
    while (in >> token) {
        if (token == "$scope") {
            std::istringstream s(section());
            s >> token >> scope;
        } else if (token == "$var") {
            std::istringstream s(section());
            std::string type, size, id, name;
            s >> type >> size >> id >> name;
            names[id] = scope + "." + name;
        } else if (token == "$timescale") {
            out.timescale = section();
        } else if (token == "$dumpvars" || token == "$end") {
            // The initial values follow, as changes at the current time.
        } else if (token[0] == '$') {
            section();
        } else if (token[0] == '#') {
            now = std::stoll(token.substr(1));
            out.changes[now];
        } else if (token[0] == 'b') {
            std::string id;
            in >> id;
            std::string bits = token.substr(1);
            bits.insert(0, 8 - std::min<size_t>(8, bits.size()), bits[0] == 'x' ? 'x' : '0');
            out.changes[now][names.at(id)] = "b" + bits;
        } else {
            out.changes[now][names.at(token.substr(1))] = token.substr(0, 1);
        }
    }
    return out;
}

std::string VcdOf(const std::string &trace, VcdOptions options = {})
{
    std::ostringstream vcd;
    VcdWriter w(vcd, options);
    std::FILE *f = fmemopen(const_cast<char *>(trace.data()), trace.size(), "rb");
    ReadTrace(f, [&](const Access &a) { w.Add(a); }, [](uint64_t, const char *, std::string_view) { return true; });
    std::fclose(f);
    w.Finish();
    return vcd.str();
}

// Where a program is on PATH; empty when it is not.
std::string Which(const std::string &program)
{
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0)
            return dir + "/" + program;
    return {};
}

} // namespace

TEST(TraceVcd, ChangesOnlyWhatChangesAtTheTimesOfTheAccesses)
{
    const Vcd v = ParseVcd(VcdOf(KnownTrace));
    EXPECT_EQ(v.timescale, "1ns");
    // At 0 only the status is known; the data bits wait for the first write.
    EXPECT_EQ(v.At(0, "data.D4_right_fwd"), "x");
    EXPECT_EQ(v.At(0, "data.data_byte"), "bxxxxxxxx");
    EXPECT_EQ(v.At(0, "status.S5_left_line"), "1");
    EXPECT_EQ(v.At(0, "status.status_byte"), "b11111110");
    EXPECT_EQ(v.At(100000, "data.D4_right_fwd"), "0");
    // Forward: D4 and D1 rise together, nothing else.
    EXPECT_EQ(v.changes.at(1000000),
              (std::map<std::string, std::string>{
                  {"data.D4_right_fwd", "1"}, {"data.D1_left_fwd", "1"}, {"data.data_byte", "b00010010"}}));
    // The two repeated reads of 254 at 1.2 ms add nothing.
    EXPECT_EQ(v.changes.count(1200000), 0u);
    EXPECT_EQ(v.At(201000000, "data.D4_right_fwd"), "0");
    EXPECT_EQ(v.changes.at(202000000),
              (std::map<std::string, std::string>{{"status.S5_left_line", "0"}, {"status.status_byte", "b11011110"}}));
    EXPECT_EQ(v.At(300000000, "data.D0_left_back"), "1"); // spin left: D4 + D0
    EXPECT_EQ(v.At(400000000, "data.data_byte"), "b00010010"); // 274 as its low byte
    // The ignored accesses at 500.0001 and 500.0002 ms change nothing.
    EXPECT_EQ(v.changes.count(500000100) + v.changes.count(500000200), 0u);
    EXPECT_EQ(v.At(600000000, "status.S7_obstacle"), "0");
    EXPECT_EQ(v.changes.rbegin()->first, 600000000);
}

TEST(TraceVcd, AccessesAtOneTimeShowTheirEndAndTheEndOfTheTraceIsMarked)
{
    // 18 and 0 in the same nanosecond: nothing to show. The last access, a
    // read of the same status, still marks the end of the trace.
    const Vcd v = ParseVcd(VcdOf("100,W,888,0\n200,W,888,18\n200,W,888,0\n900,R,889,254\n5000,R,889,254\n"));
    EXPECT_EQ(v.changes.count(100), 0u);
    EXPECT_EQ(v.changes.at(800).size(), 9u); // the status byte and its 8 bits
    ASSERT_EQ(v.changes.count(4900), 1u);
    EXPECT_TRUE(v.changes.at(4900).empty());

    // Without vectors there are only the 16 bits; an empty trace is a whole file.
    const std::string bitsOnly = VcdOf(KnownTrace, VcdOptions{false});
    EXPECT_EQ(bitsOnly.find("[7:0]"), std::string::npos);
    EXPECT_EQ(ParseVcd(bitsOnly).changes.at(0).size(), 16u);
    const std::string empty = VcdOf("");
    EXPECT_NE(empty.find("$enddefinitions $end"), std::string::npos);
    EXPECT_EQ(ParseVcd(empty).changes.at(0).at("status.S7_obstacle"), "x");
}

TEST_F(TraceTool, VcdIsReadBackWholeByGtkwavesConverters)
{
    const std::string vcd2fst = Which("vcd2fst"), fst2vcd = Which("fst2vcd");
    if (vcd2fst.empty() || fst2vcd.empty())
        GTEST_SKIP() << "vcd2fst or fst2vcd is missing (scripts/setup.sh installs the package gtkwave)";
    const std::string trace = Write("trace.txt", KnownTrace);
    const Run run = Tool(Quoted(trace) + " -o " + Quoted(Path("trace.vcd")));
    ASSERT_EQ(run.status, 0) << run.err;
    // vcd2fst answers 0 even for garbage: convert back and compare every change.
    ASSERT_EQ(std::system((vcd2fst + " " + Quoted(Path("trace.vcd")) + " " + Quoted(Path("trace.fst")) +
                           " >/dev/null 2>&1").c_str()), 0);
    ASSERT_EQ(std::system((fst2vcd + " " + Quoted(Path("trace.fst")) + " >" + Quoted(Path("back.vcd")) +
                           " 2>/dev/null").c_str()), 0);
    const Vcd ours = ParseVcd(Read(Path("trace.vcd")));
    const Vcd theirs = ParseVcd(Read(Path("back.vcd")));
    EXPECT_EQ(theirs.timescale, "1ns");
    EXPECT_EQ(theirs.changes.at(0).size(), 18u);
    EXPECT_EQ(theirs.changes, ours.changes);
}

TEST_F(TraceTool, BitsOnlyVcdIsReadByPulseViewsLibrary)
{
    const std::string sigrok = Which("sigrok-cli");
    if (sigrok.empty())
        GTEST_SKIP() << "sigrok-cli (PulseView's reader) is not installed";
    Write("trace.txt", KnownTrace);
    ASSERT_EQ(Tool("-q --no-vectors " + Quoted(Path("trace.txt")) + " -o " + Quoted(Path("t.vcd"))).status, 0);
    // One sample per millisecond: 600 samples, forward from 1 to 201 ms.
    ASSERT_EQ(std::system((sigrok + " -I vcd:downsample=1000000 -i " + Quoted(Path("t.vcd")) +
                           " -O csv:header=false -C D4_right_fwd,S7_obstacle >" + Quoted(Path("csv")) +
                           " 2>/dev/null").c_str()), 0);
    std::istringstream csv(Read(Path("csv")));
    std::vector<std::string> samples;
    for (std::string line; std::getline(csv, line);)
        if (!line.empty() && line[0] != ';')
            samples.push_back(line);
    ASSERT_GE(samples.size(), 599u);
    EXPECT_EQ(samples[100], "1,1");
    EXPECT_EQ(samples[250], "0,1");
}

TEST_F(TraceTool, ReportsBadInputClearlyAndNeverLeavesAHalfFile)
{
    const Run help = Tool("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: robot-trace"), std::string::npos);
    EXPECT_EQ(Tool("").status, 2);
    EXPECT_EQ(Tool("--frobnicate x").status, 2);
    EXPECT_EQ(Tool("a b").status, 2);

    const Run missing = Tool(Quoted(Path("none.txt")));
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot read " + Path("none.txt") + ": No such file"), std::string::npos)
        << missing.err;
    const Run folder = Tool(Quoted(dir_));
    EXPECT_EQ(folder.status, 1);
    EXPECT_NE(folder.err.find("it is a folder, not a trace file"), std::string::npos) << folder.err;
    // A device would be read for ever: refused, named or on standard input.
    for (const std::string args : {"/dev/zero", "- </dev/zero"}) {
        const Run zero = Tool(args, "timeout 60");
        EXPECT_EQ(zero.status, 1) << args;
        EXPECT_NE(zero.err.find("it is a device, not a trace file"), std::string::npos) << zero.err;
    }

    // A malformed line: reported with its number, skipped, counted.
    const std::string trace = Write("trace.txt", KnownTrace);
    const Run skipped = Tool(Quoted(trace) + " -o " + Quoted(Path("out.vcd")));
    EXPECT_EQ(skipped.status, 0);
    EXPECT_NE(skipped.err.find(trace + ":10: not four comma-separated fields: \"bad line\""), std::string::npos)
        << skipped.err;
    EXPECT_NE(skipped.out.find("malformed lines, skipped: 1"), std::string::npos) << skipped.out;
    EXPECT_NE(skipped.out.find("   18  forward                     2    100.000    150.000    200.000"),
              std::string::npos) << skipped.out;

    // --strict refuses it and leaves the VCD there before untouched.
    const std::string before = Read(Path("out.vcd"));
    const Run strict = Tool("--strict " + Quoted(trace) + " -o " + Quoted(Path("out.vcd")));
    EXPECT_EQ(strict.status, 1);
    EXPECT_NE(strict.err.find("refused"), std::string::npos) << strict.err;
    EXPECT_EQ(Read(Path("out.vcd")), before);

    // A VCD that cannot be written, or would replace the trace: refused, no traces left behind.
    const Run noFolder = Tool(Quoted(trace) + " -o " + Quoted(Path("no/such/folder.vcd")));
    EXPECT_EQ(noFolder.status, 1);
    EXPECT_NE(noFolder.err.find("cannot write"), std::string::npos) << noFolder.err;
    const Run onto = Tool(Quoted(trace) + " -o " + Quoted(trace));
    EXPECT_EQ(onto.status, 2);
    EXPECT_EQ(Read(trace), KnownTrace);
    std::filesystem::create_directory(Path("a.vcd"));
    EXPECT_EQ(Tool(Quoted(trace) + " -o " + Quoted(Path("a.vcd"))).status, 1);
    EXPECT_EQ(Listing(), "a.vcd out.vcd trace.txt");

    // Standard input as the trace.
    const Run piped = Tool("-q - -o " + Quoted(Path("piped.vcd")) + " <" + Quoted(trace));
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(Read(Path("piped.vcd")), Read(Path("out.vcd")));
}

TEST_F(TraceTool, EndedMidWayItLeavesNoPartFileBehind)
{
    // The trace comes through a pipe that stays open: the tool is still
    // writing its VCD when it is told to end.
    ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0600), 0);
    const pid_t child = fork();
    if (child == 0) {
        execl(ROBOT_TRACE_TOOL, ROBOT_TRACE_TOOL, "-q", Path("pipe").c_str(), "-o", Path("out.vcd").c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    std::FILE *pipe = std::fopen(Path("pipe").c_str(), "w");
    ASSERT_NE(pipe, nullptr);
    std::fputs(KnownTrace, pipe);
    std::fflush(pipe);
    bool partial = false;
    for (int i = 0; i < 500 && !partial; ++i) {
        partial = Listing().find("out.vcd.partial-") != std::string::npos;
        usleep(10000);
    }
    EXPECT_TRUE(partial) << Listing();
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    std::fclose(pipe);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(Listing(), "pipe");
}
