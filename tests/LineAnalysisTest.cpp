// The follower's arithmetic: averages of hand-made pictures, the two colour
// windows at their borders, the pulses of a frame.
#include "core/LineAnalysis.h"
#include "core/reference/LineAveragesPerPixel.h"

#include <gtest/gtest.h>

#include <QRandomGenerator>

#include <climits>
#include <vector>

namespace {
// `left` in columns below `split`, `right` from it on.
QImage Split(int width, int height, int split, QRgb left, QRgb right)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(right);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < split && x < width; ++x)
            image.setPixel(x, y, left);
    return image;
}

std::vector<LineMoveRun> Plan(const Rgb &left, const Rgb &right, const Rgb &reference, int tolerance,
                              int turnSteps, int forwardSteps)
{
    LineAverages a;
    a.left = left;
    a.right = right;
    const LinePulsePlan plan = PlanFramePulses(a, reference, tolerance, turnSteps, forwardSteps);
    return {plan.begin(), plan.end()};
}
} // namespace

TEST(LineAnalysis, AveragesOfHandMadeFrames)
{
    const QRgb black = qRgb(0, 0, 0), white = qRgb(255, 255, 255);
    LineAverages a = AverageFrame(Split(320, 240, 160, black, white));
    EXPECT_EQ(a.left, (Rgb{0, 0, 0}));
    EXPECT_EQ(a.right, (Rgb{255, 255, 255}));
    EXPECT_EQ(a.whole, (Rgb{127, 127, 127}));

    // Each channel from its own bits; a left red sum of exactly 38,400 is 1,
    // one less is 0; the whole frame's 38,400 is still 0.
    QImage image = Split(320, 240, 160, qRgb(1, 2, 3), qRgb(0, 2, 200));
    a = AverageFrame(image);
    EXPECT_EQ(a.left, (Rgb{1, 2, 3}));
    EXPECT_EQ(a.right, (Rgb{0, 2, 200}));
    EXPECT_EQ(a.whole, (Rgb{0, 2, 101}));
    image.setPixel(159, 239, qRgb(0, 2, 3));
    EXPECT_EQ(AverageFrame(image).left.red, 0);

    // Smaller: 100 x 50 black, everything else counts as 255.
    a = AverageFrame(Split(100, 50, 160, black, black));
    EXPECT_EQ(a.left, (Rgb{221, 221, 221}));  // 33,400 x 255 / 38,400
    EXPECT_EQ(a.right, (Rgb{255, 255, 255}));
    EXPECT_EQ(a.whole, (Rgb{238, 238, 238})); // 71,800 x 255 / 76,800
    EXPECT_EQ(AverageFrame(Split(200, 240, 160, black, black)).right, (Rgb{191, 191, 191}));

    // Larger: only the top-left 320 x 240 counts.
    image = Split(400, 300, 160, black, white);
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 400; ++x)
            if (y >= 240 || x >= 320)
                image.setPixel(x, y, black);
    a = AverageFrame(image);
    EXPECT_EQ(a.left, (Rgb{0, 0, 0}));
    EXPECT_EQ(a.right, (Rgb{255, 255, 255}));
}

TEST(LineAnalysis, RowReadingGivesWhatPixelReadsGiveInEveryFormat)
{
    // Random colours, half of them with random alpha: a premultiplication or a
    // channel slip between the two readings shows in the averages.
    QRandomGenerator random(7);
    QImage noise(336, 250, QImage::Format_ARGB32);
    for (int y = 0; y < noise.height(); ++y)
        for (int x = 0; x < noise.width(); ++x)
            noise.setPixel(x, y, random.generate() | (y < 120 ? 0u : 0xFF000000u));
    for (QImage::Format format :
         {QImage::Format_RGB32, QImage::Format_ARGB32, QImage::Format_ARGB32_Premultiplied,
          QImage::Format_RGB888, QImage::Format_RGB16, QImage::Format_RGBA8888,
          QImage::Format_RGBA8888_Premultiplied, QImage::Format_Indexed8, QImage::Format_Grayscale8,
          QImage::Format_Mono, QImage::Format_A2RGB30_Premultiplied, QImage::Format_RGBA64}) {
        const QImage converted = noise.convertToFormat(format);
        for (const QImage &image : {converted, converted.copy(0, 0, 150, 100)})
            EXPECT_EQ(AverageFrame(image), AverageFramePerPixel(image))
                << "format " << format << ", width " << image.width();
    }
}

TEST(LineAnalysis, StrictWindowsAtTheirBorders)
{
    for (int v : {55, 145})
        EXPECT_FALSE(InColourWindow(v, 100, 45)) << v;
    for (int v : {56, 144})
        EXPECT_TRUE(InColourWindow(v, 100, 45)) << v;
    for (int v : {50, 150})
        EXPECT_FALSE(InColourWindow(v, 100, LineRightTolerance)) << v;
    for (int v : {51, 149})
        EXPECT_TRUE(InColourWindow(v, 100, LineRightTolerance)) << v;
    for (int32_t tolerance : {0, -1, INT_MIN})
        EXPECT_FALSE(InColourWindow(100, 100, tolerance)) << tolerance;
    EXPECT_TRUE(InColourWindow(0, 255, INT_MAX)); // no overflow
    EXPECT_FALSE(ColourMatches({100, 100, 145}, {100, 100, 100}, 45)); // every channel counts
}

TEST(LineAnalysis, PulsesOfAFrame)
{
    using M = LineMove;
    const Rgb ref{100, 100, 100}, in{140, 140, 140}, out{100, 150, 100};
    EXPECT_EQ(Plan(out, out, ref, 45, 3, 5), (std::vector<LineMoveRun>{{M::Forward, 5}}));
    EXPECT_EQ(Plan(in, out, ref, 45, 3, 5), (std::vector<LineMoveRun>{{M::TurnLeft, 3}, {M::Forward, 5}}));
    EXPECT_EQ(Plan(out, in, ref, 45, 3, 5), (std::vector<LineMoveRun>{{M::TurnRight, 3}, {M::Forward, 5}}));
    EXPECT_EQ(Plan(in, in, ref, 45, 3, 5),
              (std::vector<LineMoveRun>{{M::TurnLeft, 3}, {M::TurnRight, 3}, {M::Forward, 5}}));
    // The left window is the tolerance, the right one always 50.
    EXPECT_EQ(Plan(in, in, ref, 30, 3, 5), (std::vector<LineMoveRun>{{M::TurnRight, 3}, {M::Forward, 5}}));
    EXPECT_EQ(Plan(in, in, ref, 0, 1, 0), (std::vector<LineMoveRun>{{M::TurnRight, 1}}));
    // Counts of zero or less send nothing of their kind.
    EXPECT_TRUE(Plan(in, in, ref, 45, 0, -1).empty());
    EXPECT_TRUE(Plan(in, in, ref, 45, -2, 0).empty());
}
