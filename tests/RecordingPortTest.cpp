// The recording port library: its trace and its scripted status register, as
// the tests of the program rely on them.
#include "support/Harness.h"

#include "drive/Motor.h"
#include "drive/PortIo.h"

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
