// The robot's side of the lease (LeaseSchedule) and the matched clocks
// (LinkClock), driven by hand with made-up times: what reaches the data
// register, when, and what is dropped.
#include "portio/remote/LeaseSchedule.h"
#include "portio/remote/LinkClock.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

namespace {
using namespace remoteproto;
using remotenode::Cause;
using remotenode::LeaseSchedule;
using remotenode::PortWrite;
using remotenode::Taken;

constexpr int64_t Ms = 1'000'000;
constexpr uint64_t Program = 0x1111, Session = 0x2222;

Write W(uint64_t seq, int64_t atMs, uint8_t value, WriteKind kind = WriteKind::Write, uint32_t leaseMs = 300)
{
    return {kind, Session, seq, atMs * Ms, leaseMs, value};
}

std::string Text(const std::vector<PortWrite> &writes)
{
    std::string out;
    for (const PortWrite &w : writes)
        out += std::to_string(w.Value) + "@" + std::to_string(w.AtNs / Ms) + (w.Why == Cause::Lapse ? "L " : " ");
    return out;
}

struct ScheduleTest : testing::Test {
    LeaseSchedule schedule;
    void SetUp() override { ASSERT_TRUE(schedule.Hello(Program, Session, 0)); }
};

TEST_F(ScheduleTest, WritesGoAtTheirTimeAndACodeLapsesUnlessRenewed)
{
    EXPECT_EQ(schedule.Take(W(1, 30, 18), 1 * Ms), Taken::Queued);
    EXPECT_EQ(schedule.Take(W(2, 230, 0), 5 * Ms), Taken::Queued);
    EXPECT_EQ(schedule.NextNs(), 30 * Ms);
    EXPECT_EQ(Text(schedule.Due(29 * Ms)), "");
    EXPECT_EQ(Text(schedule.Due(300 * Ms)), "18@30 0@230 ");

    // 17 stands from 400 ms; renewed at 500 ms, it lapses 300 ms later.
    schedule.Take(W(3, 400, 17), 380 * Ms);
    schedule.Take(W(4, 500, 17, WriteKind::Renew), 480 * Ms);
    EXPECT_EQ(Text(schedule.Due(799 * Ms)), "17@400 ");
    EXPECT_EQ(schedule.NextNs(), 800 * Ms);
    EXPECT_EQ(Text(schedule.Due(900 * Ms)), "0@800L ");
    EXPECT_EQ(schedule.Lapses(), 1u);
    // A renewal that comes after the lapse moves nothing.
    schedule.Take(W(5, 930, 17, WriteKind::Renew), 905 * Ms);
    EXPECT_EQ(Text(schedule.Due(2000 * Ms)), "");
    EXPECT_EQ(schedule.Data(), 0);
}

TEST_F(ScheduleTest, ALateWriteGoesAtOnceAndALateCodePastItsLeaseNever)
{
    EXPECT_EQ(schedule.Take(W(1, 100, 18), 120 * Ms), Taken::Late);
    EXPECT_EQ(Text(schedule.Due(120 * Ms)), "18@120 ");
    EXPECT_EQ(schedule.Take(W(2, 50, 10), 380 * Ms), Taken::Expired);
    EXPECT_EQ(schedule.Take(W(3, 60, 0), 390 * Ms), Taken::Late); // a 0 goes whenever it comes
    EXPECT_EQ(Text(schedule.Due(390 * Ms)), "0@390 ");
    EXPECT_EQ(schedule.Late(), 3u);
}

// What is not the session's next write never reaches the register.
struct Dropped {
    const char *name;
    Write write;
    Taken taken;
};
void PrintTo(const Dropped &dropped, std::ostream *out) { *out << dropped.name; }
class DroppedTest : public ScheduleTest, public testing::WithParamInterface<Dropped> {};

TEST_P(DroppedTest, IsCountedAndMovesNothing)
{
    schedule.Take(W(5, 10, 0), 0);
    EXPECT_EQ(schedule.Take(GetParam().write, 20 * Ms), GetParam().taken);
    EXPECT_EQ(Text(schedule.Due(3000 * Ms)), "0@10 ");
    EXPECT_EQ(schedule.Ignored(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    LeaseSchedule, DroppedTest,
    testing::Values(Dropped{"Replay", W(5, 50, 18), Taken::NotNewer}, Dropped{"Older", W(4, 50, 18), Taken::NotNewer},
                    Dropped{"OtherSession", {WriteKind::Write, 0x3333, 9, 50 * Ms, 300, 18}, Taken::OtherSession},
                    Dropped{"TooFarAhead", W(6, 2000, 18), Taken::TooFarAhead}),
    [](const testing::TestParamInfo<Dropped> &info) { return std::string(info.param.name); });

TEST_F(ScheduleTest, OneProgramDrivesUntilItIsSilentForTheIdleTime)
{
    schedule.Take(W(1, 10, 18), 0);
    EXPECT_FALSE(schedule.Hello(0x9999, 0x4444, 1000 * Ms));
    EXPECT_TRUE(schedule.Ping(Session, 2000 * Ms));
    EXPECT_FALSE(schedule.Hello(0x9999, 0x4444, 4999 * Ms));
    EXPECT_TRUE(schedule.Hello(0x9999, 0x4444, 5000 * Ms));
    EXPECT_EQ(schedule.Take(W(2, 5010, 0), 5000 * Ms), Taken::OtherSession);
    // The same program asking again (it reconnected) gets a fresh session.
    EXPECT_TRUE(schedule.Hello(0x9999, 0x5555, 5001 * Ms));
    EXPECT_FALSE(schedule.Ping(0x4444, 5002 * Ms));
}

// The program's end, its broken link, the node's broken link: 0 at once, the session over.
class EndTest : public ScheduleTest, public testing::WithParamInterface<std::function<void(LeaseSchedule &)>> {};

TEST_P(EndTest, WritesZeroAtOnceAndEndsTheSession)
{
    schedule.Take(W(1, 10, 18), 0);
    schedule.Due(20 * Ms);
    GetParam()(schedule);
    EXPECT_EQ(Text(schedule.Due(100 * Ms)), "0@100 ");
    EXPECT_EQ(schedule.NextNs(), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(schedule.Take(W(3, 300, 18), 110 * Ms), Taken::OtherSession);
}

INSTANTIATE_TEST_SUITE_P(
    LeaseSchedule, EndTest,
    testing::Values([](LeaseSchedule &s) { s.Take({WriteKind::End, Session, 2, 100 * Ms, 0, 0}, 90 * Ms); },
                    [](LeaseSchedule &s) { s.Gone(Program); }, [](LeaseSchedule &s) { s.LinkLost(); }));

TEST(LinkClock, TakesTheOffsetOfTheShortestRoundTrip)
{
    remotelink::LinkClock clock;
    EXPECT_FALSE(clock.Known());
    clock.Add(1000, 50'600, 1200); // 200 ns there and back: the node is 49,500 ahead
    clock.Add(2000, 60'000, 9000); // held up on the way back
    clock.Add(5000, 4000, 4000);   // not a round trip
    EXPECT_EQ(clock.OffsetNs(), 49'500);
    EXPECT_EQ(clock.RoundTripNs(), 200);
    EXPECT_EQ(clock.ToProgram(clock.ToNode(123)), 123);
}
} // namespace
