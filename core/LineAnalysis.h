#pragma once
// The arithmetic of the camera line follower, free of any widget: colour
// values, the averages of a frame and its halves, the two colour windows and
// the pulses one frame asks for.
#include <QImage>
#include <QRgb>

#include <array>
#include <cstddef>
#include <cstdint>

// The analysed frame: columns 0..319, rows 0..239 from the top left.
constexpr int LineFrameWidth = 320;
constexpr int LineFrameHeight = 240;
// Columns 0..159 are the left half, 160..319 the right half.
constexpr int LineHalfWidth = LineFrameWidth / 2;
// Divisors of the averages; they stay these whatever size the picture has.
constexpr int32_t LineFramePixels = LineFrameWidth * LineFrameHeight; // 76,800
constexpr int32_t LineHalfPixels = LineHalfWidth * LineFrameHeight;   // 38,400
// The channel value of a position outside a smaller picture (the pixel read
// gives the invalid colour there, every bit set).
constexpr int32_t LineOutsideChannel = 255;
// Half-width of the right half's colour window; the left half uses the
// operator's tolerance instead.
constexpr int32_t LineRightTolerance = 50;
// The swatch of the reference colour is a square of this many pixels a side.
constexpr int LineSwatchSize = 50;

// A colour value as the follower keeps the reference colour and the pixels
// it reads: red in bits 0-7, green in 8-15, blue in 16-23.
using ColourValue = uint32_t;
// What the pixel read gives outside the picture: every bit set.
constexpr ColourValue InvalidColourValue = 0xFFFFFFFFu;

// Composes a colour value from three channels 0..255 (higher bits of each are
// dropped), bits 24-31 zero.
constexpr ColourValue ComposeColour(int32_t red, int32_t green, int32_t blue)
{
    return (uint32_t(red) & 0xFFu) | ((uint32_t(green) & 0xFFu) << 8) |
           ((uint32_t(blue) & 0xFFu) << 16);
}
// The colour value of a Qt pixel (alpha is dropped).
constexpr ColourValue ColourValueOf(QRgb pixel)
{
    return ComposeColour(qRed(pixel), qGreen(pixel), qBlue(pixel));
}
constexpr int32_t RedOf(ColourValue v) { return int32_t(v & 0xFFu); }
constexpr int32_t GreenOf(ColourValue v) { return int32_t((v >> 8) & 0xFFu); }
constexpr int32_t BlueOf(ColourValue v) { return int32_t((v >> 16) & 0xFFu); }

struct Rgb {
    int32_t red = 0;
    int32_t green = 0;
    int32_t blue = 0;
    bool operator==(const Rgb &o) const { return red == o.red && green == o.green && blue == o.blue; }
    bool operator!=(const Rgb &o) const { return !(*this == o); }
};

// The nine averages of one frame.
struct LineAverages {
    Rgb whole;
    Rgb left;
    Rgb right;
    bool operator==(const LineAverages &o) const
    {
        return whole == o.whole && left == o.left && right == o.right;
    }
};

// Averages the top-left 320 x 240 of `picture`: positions outside a smaller
// picture count as 255 in each channel; the sums are divided by 76,800 (whole)
// and 38,400 (each half), truncating. Reads the rows directly after one
// conversion to a 32-bit format; the channels are those QImage::pixel() gives
// (core/reference/LineAveragesPerPixel.h reads them so, for the tests).
LineAverages AverageFrame(const QImage &picture);

// The strict colour window: reference - tolerance < value < reference +
// tolerance. A tolerance of 0 or less never matches. Computed in 64 bits, so
// any typed tolerance is safe.
bool InColourWindow(int32_t value, int32_t reference, int32_t tolerance);
// All three channels inside their windows around `reference`.
bool ColourMatches(const Rgb &average, const Rgb &reference, int32_t tolerance);

// One motor command of the follower.
enum class LineMove { TurnLeft, TurnRight, Forward };

// A run of the same command, `count` times in a row (count > 0).
struct LineMoveRun {
    LineMove move;
    int32_t count;
    bool operator==(const LineMoveRun &o) const { return move == o.move && count == o.count; }
};

// The pulses of one frame, in order: the left run when the left half matches,
// the right run when the right half does (`turnSteps` pulses each), then the
// forward run (`forwardSteps`). Runs of zero or fewer pulses are left out.
struct LinePulsePlan {
    std::array<LineMoveRun, 3> runs{};
    size_t size = 0;
    const LineMoveRun *begin() const { return runs.data(); }
    const LineMoveRun *end() const { return runs.data() + size; }
};
LinePulsePlan PlanFramePulses(bool leftMatches, bool rightMatches, int32_t turnSteps,
                              int32_t forwardSteps);

// The full decision of one frame: left half against `tolerance`, right half
// against LineRightTolerance.
LinePulsePlan PlanFramePulses(const LineAverages &averages, const Rgb &reference,
                              int32_t tolerance, int32_t turnSteps, int32_t forwardSteps);

// A 50 x 50 bitmap filled with one colour value.
QImage MakeSwatch(ColourValue colour);
