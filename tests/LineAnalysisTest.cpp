// The follower's arithmetic: averages of hand-made pictures, the two colour
// windows at their borders, the pulses of a frame, colour values.
#include "linecam/LineAnalysis.h"

#include <gtest/gtest.h>

#include <QRandomGenerator>

#include <climits>
#include <vector>

namespace {
QImage Filled(int width, int height, QRgb colour, QImage::Format format = QImage::Format_RGB32)
{
    QImage image(width, height, format);
    image.fill(colour);
    return image;
}

// Left of column `split` one colour, from it on another.
QImage Split(int width, int height, int split, QRgb left, QRgb right)
{
    QImage image = Filled(width, height, right);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < split && x < width; ++x)
            image.setPixel(x, y, left);
    return image;
}

std::vector<LineMoveRun> Runs(const LinePulsePlan &plan)
{
    return {plan.begin(), plan.end()};
}
} // namespace

TEST(LineAnalysis, HalvesSplitBetweenColumns159And160)
{
    const LineAverages a = AverageFrame(Split(320, 240, 160, qRgb(0, 0, 0), qRgb(255, 255, 255)));
    EXPECT_EQ(a.left, (Rgb{0, 0, 0}));
    EXPECT_EQ(a.right, (Rgb{255, 255, 255}));
    EXPECT_EQ(a.whole, (Rgb{127, 127, 127})); // 127.5 truncated

    // One column more on the left moves column 160 into the white sums no more.
    const LineAverages b = AverageFrame(Split(320, 240, 161, qRgb(0, 0, 0), qRgb(255, 255, 255)));
    EXPECT_EQ(b.left, (Rgb{0, 0, 0}));
    EXPECT_EQ(b.right, (Rgb{253, 253, 253})); // 159 x 240 x 255 / 38,400 = 253.4
}

TEST(LineAnalysis, ChannelsComeFromTheirOwnBitsAndTruncate)
{
    // Red 1 everywhere on the left: the left sum is exactly 38,400, the whole
    // frame's only half of 76,800.
    QImage image = Split(320, 240, 160, qRgb(1, 2, 3), qRgb(0, 2, 200));
    LineAverages a = AverageFrame(image);
    EXPECT_EQ(a.left, (Rgb{1, 2, 3}));
    EXPECT_EQ(a.right, (Rgb{0, 2, 200}));
    EXPECT_EQ(a.whole, (Rgb{0, 2, 101})); // (3 + 200) / 2 = 101.5

    image.setPixel(159, 239, qRgb(0, 2, 3)); // left red sum 38,399
    a = AverageFrame(image);
    EXPECT_EQ(a.left.red, 0);

    a = AverageFrame(Filled(320, 240, qRgb(1, 0, 0)));
    EXPECT_EQ(a.whole.red, 1); // 76,800 exactly
    QImage less = Filled(320, 240, qRgb(1, 0, 0));
    less.setPixel(200, 100, qRgb(0, 0, 0));
    EXPECT_EQ(AverageFrame(less).whole.red, 0);
    EXPECT_EQ(AverageFrame(less).left.red, 1);
}

TEST(LineAnalysis, PositionsOutsideASmallerPictureCountAsWhite)
{
    // 100 x 50 black: the left half holds 5,000 black pixels and 33,400 outside.
    const LineAverages a = AverageFrame(Filled(100, 50, qRgb(0, 0, 0)));
    EXPECT_EQ(a.left, (Rgb{221, 221, 221}));   // 33,400 x 255 / 38,400 = 221.8
    EXPECT_EQ(a.right, (Rgb{255, 255, 255}));
    EXPECT_EQ(a.whole, (Rgb{238, 238, 238}));  // 71,800 x 255 / 76,800 = 238.4

    // 200 wide: the right half holds 40 columns of it.
    const LineAverages b = AverageFrame(Filled(200, 240, qRgb(0, 0, 0)));
    EXPECT_EQ(b.left, (Rgb{0, 0, 0}));
    EXPECT_EQ(b.right, (Rgb{191, 191, 191})); // 120 / 160 x 255 = 191.25

    EXPECT_EQ(AverageFrame(QImage()).whole, (Rgb{255, 255, 255}));
}

TEST(LineAnalysis, OnlyTheTopLeftOfALargerPictureCounts)
{
    QImage image = Filled(400, 300, qRgb(255, 0, 0));
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x)
            image.setPixel(x, y, x < 160 ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
    const LineAverages a = AverageFrame(image);
    EXPECT_EQ(a.left, (Rgb{0, 0, 0}));
    EXPECT_EQ(a.right, (Rgb{255, 255, 255}));
}

TEST(LineAnalysis, RowReadingGivesWhatPixelReadsGiveInEveryFormat)
{
    // Random colours with random alpha: any premultiplication or channel slip
    // between the two readings shows in the averages.
    QRandomGenerator random(7);
    QImage noise(336, 250, QImage::Format_ARGB32);
    for (int y = 0; y < noise.height(); ++y)
        for (int x = 0; x < noise.width(); ++x)
            noise.setPixel(x, y, random.generate() | (y < 120 ? 0u : 0xFF000000u));
    const QImage::Format formats[] = {
        QImage::Format_RGB32,         QImage::Format_ARGB32,     QImage::Format_ARGB32_Premultiplied,
        QImage::Format_RGB888,        QImage::Format_BGR888,     QImage::Format_RGB16,
        QImage::Format_RGBA8888,      QImage::Format_RGBA8888_Premultiplied,
        QImage::Format_RGBX8888,      QImage::Format_Indexed8,   QImage::Format_Grayscale8,
        QImage::Format_Mono,          QImage::Format_RGB30,      QImage::Format_A2RGB30_Premultiplied,
        QImage::Format_RGBA64,        QImage::Format_RGBA64_Premultiplied,
    };
    for (QImage::Format format : formats) {
        const QImage converted = noise.convertToFormat(format);
        for (const QImage &image : {converted, converted.copy(0, 0, 150, 100),
                                    converted.copy(0, 0, 250, 240)}) {
            EXPECT_EQ(AverageFrame(image), AverageFramePerPixel(image))
                << "format " << format << ", " << image.width() << " x " << image.height();
        }
    }
}

TEST(LineAnalysis, StrictWindowsAtTheirBorders)
{
    // Left: reference 100, tolerance 45.
    EXPECT_FALSE(InColourWindow(55, 100, 45));
    EXPECT_TRUE(InColourWindow(56, 100, 45));
    EXPECT_TRUE(InColourWindow(144, 100, 45));
    EXPECT_FALSE(InColourWindow(145, 100, 45));
    // Right: the fixed 50.
    EXPECT_FALSE(InColourWindow(50, 100, LineRightTolerance));
    EXPECT_TRUE(InColourWindow(51, 100, LineRightTolerance));
    EXPECT_TRUE(InColourWindow(149, 100, LineRightTolerance));
    EXPECT_FALSE(InColourWindow(150, 100, LineRightTolerance));
    // A tolerance of 0 or less is an empty window, even on the reference.
    for (int32_t tolerance : {0, -1, -45, INT_MIN}) {
        EXPECT_FALSE(InColourWindow(100, 100, tolerance)) << tolerance;
        EXPECT_FALSE(InColourWindow(0, 0, tolerance)) << tolerance;
    }
    // The largest tolerance takes everything and overflows nothing.
    EXPECT_TRUE(InColourWindow(0, 255, INT_MAX));
    EXPECT_TRUE(InColourWindow(255, 0, INT_MAX));

    // Every channel must be inside.
    const Rgb reference{100, 100, 100};
    EXPECT_TRUE(ColourMatches({56, 144, 100}, reference, 45));
    EXPECT_FALSE(ColourMatches({100, 100, 145}, reference, 45));
    EXPECT_FALSE(ColourMatches({55, 100, 100}, reference, 45));
    EXPECT_FALSE(ColourMatches({100, 145, 100}, reference, 45));
}

TEST(LineAnalysis, PulsesOfAFrameFollowTheTwoTests)
{
    using M = LineMove;
    EXPECT_EQ(Runs(PlanFramePulses(false, false, 3, 5)), (std::vector<LineMoveRun>{{M::Forward, 5}}));
    EXPECT_EQ(Runs(PlanFramePulses(true, false, 3, 5)),
              (std::vector<LineMoveRun>{{M::TurnLeft, 3}, {M::Forward, 5}}));
    EXPECT_EQ(Runs(PlanFramePulses(false, true, 3, 5)),
              (std::vector<LineMoveRun>{{M::TurnRight, 3}, {M::Forward, 5}}));
    EXPECT_EQ(Runs(PlanFramePulses(true, true, 3, 5)),
              (std::vector<LineMoveRun>{{M::TurnLeft, 3}, {M::TurnRight, 3}, {M::Forward, 5}}));
    // Counts of zero or less send nothing of their kind.
    EXPECT_TRUE(Runs(PlanFramePulses(false, false, 3, 0)).empty());
    EXPECT_TRUE(Runs(PlanFramePulses(true, true, -2, -1)).empty());
    EXPECT_EQ(Runs(PlanFramePulses(true, true, 0, 1)), (std::vector<LineMoveRun>{{M::Forward, 1}}));
}

TEST(LineAnalysis, LeftUsesTheToleranceRightTheFixed50)
{
    using M = LineMove;
    LineAverages a;
    a.left = {140, 140, 140};
    a.right = {140, 140, 140};
    const Rgb reference{100, 100, 100};
    EXPECT_EQ(Runs(PlanFramePulses(a, reference, 45, 1, 1)),
              (std::vector<LineMoveRun>{{M::TurnLeft, 1}, {M::TurnRight, 1}, {M::Forward, 1}}));
    EXPECT_EQ(Runs(PlanFramePulses(a, reference, 30, 1, 1)),
              (std::vector<LineMoveRun>{{M::TurnRight, 1}, {M::Forward, 1}}));
    EXPECT_EQ(Runs(PlanFramePulses(a, reference, 0, 1, 1)),
              (std::vector<LineMoveRun>{{M::TurnRight, 1}, {M::Forward, 1}}));
    a.whole = {100, 100, 100}; // shown only, never decides
    a.right = {150, 100, 100};
    EXPECT_EQ(Runs(PlanFramePulses(a, reference, 30, 1, 1)), (std::vector<LineMoveRun>{{M::Forward, 1}}));

    // The start-up reference is black and the tolerance 45: left 44, right 49.
    a.left = {44, 44, 44};
    a.right = {49, 49, 49};
    EXPECT_EQ(Runs(PlanFramePulses(a, {0, 0, 0}, 45, 1, 0)),
              (std::vector<LineMoveRun>{{M::TurnLeft, 1}, {M::TurnRight, 1}}));
    a.left = {44, 45, 44};
    a.right = {49, 49, 50};
    EXPECT_TRUE(Runs(PlanFramePulses(a, {0, 0, 0}, 45, 1, 0)).empty());
}

TEST(LineAnalysis, ColourValuesAndTheSwatch)
{
    EXPECT_EQ(ComposeColour(0x12, 0x34, 0x56), 0x563412u);
    EXPECT_EQ(ComposeColour(255, 255, 255), 0xFFFFFFu);
    EXPECT_EQ(ColourValueOf(qRgba(0x12, 0x34, 0x56, 0x78)), 0x563412u);
    EXPECT_EQ(RedOf(0x563412u), 0x12);
    EXPECT_EQ(GreenOf(0x563412u), 0x34);
    EXPECT_EQ(BlueOf(0x563412u), 0x56);
    EXPECT_EQ(RedOf(InvalidColourValue), 255);
    EXPECT_EQ(BlueOf(InvalidColourValue), 255);

    const QImage swatch = MakeSwatch(ComposeColour(0, 128, 0));
    ASSERT_EQ(swatch.size(), QSize(50, 50));
    for (int y = 0; y < 50; ++y)
        for (int x = 0; x < 50; ++x)
            ASSERT_EQ(swatch.pixel(x, y), qRgb(0, 128, 0)) << x << "," << y;
}
