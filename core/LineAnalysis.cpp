#include "core/LineAnalysis.h"

#include <algorithm>
#include <cstring>

namespace {
// Running channel sums of one half; 76,800 x 255 fits in 32 bits.
struct Sums {
    int32_t red = 0;
    int32_t green = 0;
    int32_t blue = 0;

    void AddOutside(int32_t positions)
    {
        red += positions * LineOutsideChannel;
        green += positions * LineOutsideChannel;
        blue += positions * LineOutsideChannel;
    }
};

Rgb Divide(int32_t red, int32_t green, int32_t blue, int32_t pixels)
{
    return {red / pixels, green / pixels, blue / pixels};
}

LineAverages Finish(const Sums &left, const Sums &right)
{
    LineAverages out;
    out.whole = Divide(left.red + right.red, left.green + right.green, left.blue + right.blue,
                       LineFramePixels);
    out.left = Divide(left.red, left.green, left.blue, LineHalfPixels);
    out.right = Divide(right.red, right.green, right.blue, LineHalfPixels);
    return out;
}

// The picture in a 32-bit format whose words give exactly the channels that
// QImage::pixel() gives: pixel() returns premultiplied formats' words as stored
// and every other format unpremultiplied. The formats a bitmap file loads as
// (32-bit RGB, ARGB) are used as they are; others are converted once.
QImage ScanImage(const QImage &picture)
{
    switch (picture.format()) {
    case QImage::Format_Invalid:
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
        return picture;
    default:
        return picture.convertToFormat(picture.pixelFormat().premultiplied() ==
                                               QPixelFormat::Premultiplied
                                           ? QImage::Format_ARGB32_Premultiplied
                                           : QImage::Format_ARGB32);
    }
}

// Sums columns [begin, end) of one row, two channels to a word: the red and
// blue bytes of each pixel are added in one 32-bit add (red in the upper half,
// blue in the lower), green in another. A half row adds at most 160 x 255 =
// 40,800 to a half, which fits its 16 bits. Four pixels go at a time in
// vectors of four words (the compiler's vector extension: SIMD adds where the
// processor has them, whatever the optimisation level).
void AddRow(const QRgb *row, int begin, int end, Sums &sums)
{
    typedef uint32_t Words __attribute__((vector_size(16)));
    Words redBlue4 = {0, 0, 0, 0};
    Words green4 = {0, 0, 0, 0};
    int x = begin;
    for (; x + 4 <= end; x += 4) {
        Words words;
        std::memcpy(&words, row + x, sizeof words);
        redBlue4 += words & 0x00FF00FFu;
        green4 += (words >> 8) & 0x000000FFu;
    }
    uint32_t redBlue = redBlue4[0] + redBlue4[1] + redBlue4[2] + redBlue4[3];
    uint32_t green = green4[0] + green4[1] + green4[2] + green4[3];
    for (; x < end; ++x) {
        redBlue += row[x] & 0x00FF00FFu;
        green += (row[x] >> 8) & 0x000000FFu;
    }
    sums.red += int32_t(redBlue >> 16);
    sums.green += int32_t(green);
    sums.blue += int32_t(redBlue & 0xFFFFu);
}
} // namespace

LineAverages AverageFrame(const QImage &picture)
{
    Sums left;
    Sums right;
    const QImage scan = ScanImage(picture);
    // The part of the frame the picture covers; the rest counts as outside.
    const int width = std::min(scan.width(), LineFrameWidth);
    const int height = std::min(scan.height(), LineFrameHeight);
    const int leftEnd = std::min(width, LineHalfWidth);
    const int rightEnd = std::max(width, LineHalfWidth);
    for (int y = 0; y < height; ++y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(scan.constScanLine(y));
        AddRow(row, 0, leftEnd, left);
        AddRow(row, LineHalfWidth, width, right);
    }
    const int32_t missingRows = LineFrameHeight - height;
    left.AddOutside((LineHalfWidth - leftEnd) * height + LineHalfWidth * missingRows);
    right.AddOutside((LineFrameWidth - rightEnd) * height + LineHalfWidth * missingRows);
    return Finish(left, right);
}

bool InColourWindow(int32_t value, int32_t reference, int32_t tolerance)
{
    const int64_t low = int64_t(reference) - tolerance;
    const int64_t high = int64_t(reference) + tolerance;
    return low < value && value < high;
}

bool ColourMatches(const Rgb &average, const Rgb &reference, int32_t tolerance)
{
    return InColourWindow(average.red, reference.red, tolerance) &&
           InColourWindow(average.green, reference.green, tolerance) &&
           InColourWindow(average.blue, reference.blue, tolerance);
}

LinePulsePlan PlanFramePulses(bool leftMatches, bool rightMatches, int32_t turnSteps,
                              int32_t forwardSteps)
{
    LinePulsePlan plan;
    auto add = [&plan](LineMove move, int32_t count) {
        if (count > 0)
            plan.runs[plan.size++] = {move, count};
    };
    if (leftMatches)
        add(LineMove::TurnLeft, turnSteps);
    if (rightMatches)
        add(LineMove::TurnRight, turnSteps);
    add(LineMove::Forward, forwardSteps);
    return plan;
}

LinePulsePlan PlanFramePulses(const LineAverages &averages, const Rgb &reference,
                              int32_t tolerance, int32_t turnSteps, int32_t forwardSteps)
{
    return PlanFramePulses(ColourMatches(averages.left, reference, tolerance),
                           ColourMatches(averages.right, reference, LineRightTolerance),
                           turnSteps, forwardSteps);
}

QImage MakeSwatch(ColourValue colour)
{
    QImage swatch(LineSwatchSize, LineSwatchSize, QImage::Format_RGB32);
    swatch.fill(qRgb(RedOf(colour), GreenOf(colour), BlueOf(colour)));
    return swatch;
}
