// The motion detector's measure, grid marks, decision and snapshot names, on
// hand-made buffers.
#include "core/MotionMeasure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

namespace {
constexpr uint8_t Sentinel = 0x5A;

int32_t Measure(std::vector<uint8_t> &buffer)
{
    int32_t mean = -1;
    EXPECT_TRUE(MeasureAndMark(buffer.data(), static_cast<uint32_t>(buffer.size()), mean));
    return mean;
}
} // namespace

TEST(MotionMeasure, MeanOfTheLeadingTwoThirdsTakenBeforeTheMarks)
{
    // 320 x 240 planar frame: the measure is the 76,800 picture bytes alone.
    // Bright bytes (>= 128) must count as such, the chroma third and the white
    // marks must not count at all.
    std::vector<uint8_t> frame(115200, 0);
    std::fill_n(frame.begin(), 76800, 200);
    EXPECT_EQ(Measure(frame), 200);
    EXPECT_EQ(frame[80], 255); // marked afterwards

    // Half the size: 38,400 bytes measured.
    std::vector<uint8_t> half(57600, 255);
    std::fill_n(half.begin(), 38400, 7);
    EXPECT_EQ(Measure(half), 7);

    // Floor division: 3 bytes measure 2, (1 + 2) / 2 = 1.
    std::vector<uint8_t> tiny{1, 2, 255};
    EXPECT_EQ(Measure(tiny), 1);

    // A frame measured twice: the first pass left marks that the second sees.
    std::vector<uint8_t> dark(115200, 0);
    EXPECT_EQ(Measure(dark), 0);
    EXPECT_GT(Measure(dark), 0);
}

TEST(MotionMeasure, GridOnAFullFrame)
{
    std::vector<uint8_t> frame(115200, 0);
    Measure(frame);
    // 959 strokes of 2 bytes, two rows of 320, of which 4 strokes per row lie
    // inside the row: 1918 + 640 - 16.
    EXPECT_EQ(std::count(frame.begin(), frame.end(), 255), 2542);
    for (uint32_t at : {80u, 81u, 160u, 161u, 76720u, 76721u, 25600u, 25919u, 51200u, 51519u,
                        25920u, 25921u})
        EXPECT_EQ(frame[at], 255) << at;
    for (uint32_t at : {0u, 1u, 79u, 82u, 25599u, 25922u, 51199u, 51522u, 76719u, 76722u, 76800u})
        EXPECT_EQ(frame[at], 0) << at;
    EXPECT_TRUE(std::all_of(frame.begin() + 76722, frame.end(), [](uint8_t b) { return b == 0; }));
}

TEST(MotionMeasure, ShortBuffersGetOnlyTheMarksThatFit)
{
    // Each length is a window into a larger allocation; the bytes past it
    // must keep their sentinel.
    struct Case {
        uint32_t length;
        std::vector<uint32_t> marked;
    };
    const std::vector<Case> cases = {
        {76721, {76720}},        // the last stroke's second byte falls outside
        {57600, {57520, 57521}}, // half-size frame: the strokes up to 57,521
        {40001, {40000}},        // a stroke cut after its first byte
        {25700, {25600, 25699}}, // the first row cut short
        {81, {80}},
        {3, {}},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> memory(MarkedLength + 64, Sentinel);
        std::fill_n(memory.begin(), c.length, 0);
        int32_t mean = -1;
        ASSERT_TRUE(MeasureAndMark(memory.data(), c.length, mean));
        EXPECT_EQ(mean, 0) << c.length;
        for (uint32_t at : c.marked)
            EXPECT_EQ(memory[at], 255) << c.length << " @" << at;
        EXPECT_TRUE(std::all_of(memory.begin() + c.length, memory.end(),
                                [](uint8_t b) { return b == Sentinel; }))
            << "written past a buffer of " << c.length;
    }
}

TEST(MotionMeasure, EmptyBufferHasNoMeanAndIsNotTouched)
{
    std::vector<uint8_t> memory(MarkedLength, Sentinel);
    int32_t mean = 42;
    EXPECT_FALSE(MeasureAndMark(memory.data(), 0, mean));
    EXPECT_FALSE(MeasureAndMark(nullptr, 115200, mean));
    EXPECT_EQ(mean, 42);
    EXPECT_EQ(std::count(memory.begin(), memory.end(), Sentinel), long(memory.size()));
}

TEST(SnapshotName, NumberAndDateWithoutSeparatorNeverATakenName)
{
    EXPECT_EQ(SnapshotFileName(12, "2026-12-06"), QString("zdjecia/ruch/ruch122026-12-06.bmp"));
    EXPECT_EQ(SnapshotFileName(0, "06.12.2026"), QString("zdjecia/ruch/ruch006.12.2026.bmp"));
    // Short date formats with slashes or backslashes must not make folders.
    EXPECT_EQ(FileSafeDateText("12/7/26"), QString("12-7-26"));
    EXPECT_EQ(FileSafeDateText("7\\12\\2026"), QString("7-12-2026"));
    const QString today = TodaySnapshotDateText();
    EXPECT_FALSE(today.isEmpty());
    EXPECT_FALSE(today.contains('/') || today.contains('\\')) << today.toStdString();

    // Names taken by an earlier run are skipped.
    const std::set<QString> taken = {SnapshotFileName(0, "d"), SnapshotFileName(1, "d"),
                                     SnapshotFileName(3, "d")};
    auto isTaken = [&taken](const QString &path) { return taken.count(path) > 0; };
    EXPECT_EQ(FirstFreeSnapshotNumber(0, "d", isTaken), 2);
    EXPECT_EQ(FirstFreeSnapshotNumber(2, "d", isTaken), 2);
    EXPECT_EQ(FirstFreeSnapshotNumber(3, "d", isTaken), 4);
    EXPECT_EQ(FirstFreeSnapshotNumber(0, "other", isTaken), 0);
}
