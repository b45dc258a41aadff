// The recording port library: its trace and its scripted status register, as
// the tests of the program rely on them.
#include "core/Clock.h"
#include "support/Harness.h"

#include "drive/Motor.h"
#include "drive/PortIo.h"
#include "portio/recording/StatusScript.h"

#include <fstream>
#include <regex>

namespace {
class RecordingPort : public RobotTest {
protected:
    void SetUp() override
    {
        RobotTest::SetUp();
        lib = BindPortIoLibrary();
        ASSERT_TRUE(lib.Inp32 && lib.Out32) << "the recording library was not found";
    }
    std::vector<short> ReadStatus(int count)
    {
        std::vector<short> out;
        for (int i = 0; i < count; ++i)
            out.push_back(lib.Inp32(StatusPort));
        return out;
    }

    PortIoLibrary lib;
};
} // namespace

TEST_F(RecordingPort, TracesEachAccessOnOneLineAsItHappens)
{
    const int64_t before = MonotonicNs();
    lib.Out32(DataPort, 18);
    // Flushed at once: the line is there before the next access.
    ASSERT_EQ(Trace().size(), 1u);
    EXPECT_EQ(lib.Inp32(DataPort), 18);
    lib.Out32(890, 5); // another register leaves the data register alone
    EXPECT_EQ(lib.Inp32(DataPort), 18);
    EXPECT_EQ(lib.Inp32(890), 0);
    lib.Out32(DataPort, 0);
    EXPECT_EQ(lib.Inp32(DataPort), 0);
    EXPECT_EQ(lib.Inp32(StatusPort), 254);
    const int64_t after = MonotonicNs();

    std::ifstream in(Dir() + "/trace.txt");
    const std::regex format("[0-9]+,[WR],[0-9]+,-?[0-9]+");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        EXPECT_TRUE(std::regex_match(line, format)) << line;
        lines.push_back(line.substr(line.find(',') + 1));
    }
    const std::vector<std::string> expected = {"W,888,18", "R,888,18", "W,890,5", "R,888,18",
                                               "R,890,0",  "W,888,0",  "R,888,0", "R,889,254"};
    EXPECT_EQ(lines, expected);

    int64_t last = before;
    for (const PortAccess &a : Trace()) {
        EXPECT_GE(a.ns, last);
        last = a.ns;
    }
    EXPECT_LE(last, after);

    // Without ROBOT_PORT_TRACE nothing is recorded; a new name starts a new file.
    unsetenv("ROBOT_PORT_TRACE");
    lib.Out32(DataPort, 9);
    EXPECT_EQ(Trace().size(), expected.size());
    const std::string other = Dir() + "/other.txt";
    setenv("ROBOT_PORT_TRACE", other.c_str(), 1);
    EXPECT_EQ(lib.Inp32(DataPort), 9);
    EXPECT_EQ(DataWrites(ReadTrace(other)).size(), 0u);
    EXPECT_EQ(ReadTrace(other).size(), 1u);
}

TEST_F(RecordingPort, StatusReadsTakeTheScriptOneValueEachAndRepeatTheLast)
{
    EXPECT_EQ(ReadStatus(2), (std::vector<short>{254, 254}));

    ScriptStatus({126, 0, 255});
    EXPECT_EQ(lib.Inp32(StatusPort), 126);
    lib.Inp32(DataPort); // reads of other registers take nothing
    lib.Out32(DataPort, 18);
    EXPECT_EQ(ReadStatus(4), (std::vector<short>{0, 255, 255, 255}));

    // A new script starts from its first value.
    ScriptStatus({7, 8});
    EXPECT_EQ(ReadStatus(3), (std::vector<short>{7, 8, 8}));

    // An empty script, and none at all, read as nothing firing.
    ScriptStatus({});
    EXPECT_EQ(ReadStatus(2), (std::vector<short>{254, 254}));
    unsetenv("ROBOT_STATUS_SCRIPT");
    EXPECT_EQ(lib.Inp32(StatusPort), 254);
}

TEST_F(RecordingPort, StatusScriptEndsBeforeTheFirstWordThatIsNotAShortDecimal)
{
    // Each text, and the reads it gives: the values up to the first faulty
    // word, the last of them repeating (254 when there is none).
    const struct {
        const char *text;
        std::vector<short> reads;
    } cases[] = {
        {"-32768 +32767\t-0\r\n7\f", {-32768, 32767, 0, 7, 7}},
        {"126 32768 5", {126, 126}},      // one past the largest short: no wrapping
        {"126 99999999999999999999 5", {126, 126}}, // far too large for any integer
        {"126 -32769 5", {126, 126}},
        {"94 12abc 5", {94, 94}},          // a number followed by garbage is garbage
        {"94 1e3 5", {94, 94}},
        {"+ 1", {254, 254}},
        {"--1", {254}},
        {"", {254}},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string path = Dir() + "/script" + std::to_string(++n) + ".txt";
        std::ofstream(path) << c.text;
        setenv("ROBOT_STATUS_SCRIPT", path.c_str(), 1);
        EXPECT_EQ(ReadStatus(static_cast<int>(c.reads.size())), c.reads) << '"' << c.text << '"';
    }

    // A NUL byte is no blank: the word that holds it is garbage.
    const std::string withNul = Dir() + "/nul.txt";
    std::ofstream(withNul, std::ios::binary) << std::string("78 \0x 5", 7);
    setenv("ROBOT_STATUS_SCRIPT", withNul.c_str(), 1);
    EXPECT_EQ(ReadStatus(2), (std::vector<short>{78, 78}));

    // A script longer than the limit keeps the values that fit and ends on a
    // whole word: every value read is one the file holds.
    const std::string longScript = Dir() + "/long.txt";
    {
        std::ofstream out(longScript);
        for (size_t i = 0; i < MaxStatusScriptValues + 10; ++i)
            out << (i % 2 ? "1234 " : "99\n");
    }
    const StatusScriptValues read = ReadStatusScript(longScript.c_str());
    EXPECT_EQ(read.values.size(), MaxStatusScriptValues);
    EXPECT_NE(read.problem.find("the rest is left out"), std::string::npos) << read.problem;
    EXPECT_EQ(read.values.back(), 1234);
    EXPECT_NE(ReadStatusScript((Dir() + "/missing.txt").c_str()).problem.find("cannot be read"), std::string::npos);
}
