// The arena window's port strip: the timeline keeps each register's changes
// over the last seconds (with the level in force when they begin), and the
// strip draws each wheel's direction and each sensor line where they happened.
#include "sim/app/TimelineStrip.h"
#include "sim/core/PortTimeline.h"

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

namespace {
constexpr int64_t S = 1'000'000'000;
constexpr int64_t Start = 1000 * S;

using Span = sim::PortTimeline::Span;
int Same(int v) { return v; }

std::vector<int64_t> Times(const std::deque<sim::PortTimeline::Level> &levels)
{
    std::vector<int64_t> out;
    for (const auto &l : levels)
        out.push_back(l.ns - Start);
    return out;
}
} // namespace

TEST(PortTimeline, KeepsChangesOfTheLastSpanAndTheLevelInForceWhenItBegins)
{
    sim::PortTimeline t(10 * S, 1000);
    t.Data(Start, 18);
    t.Data(Start + 1 * S, 18); // no change: nothing kept
    t.Data(Start + 2 * S, 0);
    t.Data(Start + 1 * S, 9); // late: counts at the last entry's time
    EXPECT_EQ(Times(t.DataLevels()), (std::vector<int64_t>{0, 2 * S, 2 * S}));
    t.Data(Start + 15 * S, 17);
    // Entries older than 10 s go, but the one in force at 5 s stays.
    EXPECT_EQ(Times(t.DataLevels()), (std::vector<int64_t>{2 * S, 15 * S}));
    EXPECT_EQ(t.DataLevels().front().value, 9);

    sim::PortTimeline few(10 * S, 3);
    for (int i = 0; i < 10; ++i)
        few.Status(Start + i, i);
    EXPECT_EQ(few.StatusLevels().size(), 3u);
    EXPECT_EQ(few.StatusLevels().back().value, 9);
}

TEST(PortTimeline, SpansMergeEqualStatesAndStartFromTheLevelBefore)
{
    sim::PortTimeline t;
    t.Status(Start + 1 * S, 222);
    t.Status(Start + 2 * S, 94);  // bit 5 still low
    t.Status(Start + 3 * S, 254);
    auto leftLine = [](int status) { return (status & (1 << 5)) == 0 ? 1 : 0; };
    const std::vector<Span> spans =
        sim::PortTimeline::Spans(t.StatusLevels(), Start, Start + 4 * S, 254, leftLine);
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_EQ(spans[0].to - Start, 1 * S);
    EXPECT_EQ(spans[0].state, 0);
    EXPECT_EQ(spans[1].from - Start, 1 * S);
    EXPECT_EQ(spans[1].to - Start, 3 * S);
    EXPECT_EQ(spans[1].state, 1);
    EXPECT_EQ(spans[2].state, 0);
    // A window that opens after a change starts with that change's state.
    const std::vector<Span> late =
        sim::PortTimeline::Spans(t.StatusLevels(), Start + 2500 * S / 1000, Start + 4 * S, 254, leftLine);
    ASSERT_EQ(late.size(), 2u);
    EXPECT_EQ(late[0].state, 1);
    EXPECT_TRUE(sim::PortTimeline::Spans(t.StatusLevels(), Start, Start, 0, Same).empty());
}

TEST(TimelineStrip, DrawsEachWheelAndSensorWhereItHappened)
{
    const int64_t now = Start + 10 * S;
    sim::PortTimeline t;
    t.Data(now - 6 * S, 18); // both forward
    t.Data(now - 3 * S, 17); // left back, right forward: a left turn on the spot
    t.Data(now - 1 * S, 0);
    t.Status(now - 8 * S, 222); // the left line sensor fires for 2 s
    t.Status(now - 6 * S, 254);
    t.Status(now - 2 * S, 126); // then the obstacle sensor

    QImage image(900, 100, QImage::Format_RGB32);
    {
        QPainter painter(&image);
        TimelineStrip::Draw(painter, image.rect(), t, now);
    }
    // Whether the colour shows anywhere in the band's upper or lower half at that time.
    auto shows = [&](int row, int64_t ago, const QColor &colour, bool upper) {
        const QRect band = TimelineStrip::RowBand(image.rect(), row);
        const int x = TimelineStrip::Column(image.rect(), now - ago, now);
        const int from = upper ? band.top() : band.center().y() + 1;
        const int to = upper ? band.center().y() - 1 : band.bottom();
        for (int y = from; y <= to; ++y)
            if (image.pixelColor(x, y) == colour)
                return true;
        return false;
    };
    const int64_t half = S / 2;
    EXPECT_TRUE(shows(TimelineStrip::LeftWheelRow, 4 * S, TimelineStrip::ForwardColour, true));
    EXPECT_TRUE(shows(TimelineStrip::LeftWheelRow, 2 * S, TimelineStrip::BackwardColour, false));
    EXPECT_FALSE(shows(TimelineStrip::LeftWheelRow, 2 * S, TimelineStrip::ForwardColour, true));
    EXPECT_TRUE(shows(TimelineStrip::RightWheelRow, 2 * S, TimelineStrip::ForwardColour, true));
    EXPECT_FALSE(shows(TimelineStrip::RightWheelRow, half, TimelineStrip::ForwardColour, true));
    EXPECT_FALSE(shows(TimelineStrip::LeftWheelRow, 8 * S, TimelineStrip::ForwardColour, true));

    EXPECT_TRUE(shows(TimelineStrip::LeftLineRow, 7 * S, TimelineStrip::FiringColour, true));
    EXPECT_FALSE(shows(TimelineStrip::LeftLineRow, 4 * S, TimelineStrip::FiringColour, true));
    EXPECT_FALSE(shows(TimelineStrip::RightLineRow, 7 * S, TimelineStrip::FiringColour, true));
    EXPECT_TRUE(shows(TimelineStrip::ObstacleRow, 1 * S, TimelineStrip::FiringColour, true));
    EXPECT_FALSE(shows(TimelineStrip::ObstacleRow, 3 * S, TimelineStrip::FiringColour, true));
}
