#pragma once
// The arithmetic of the motion detector, free of widgets: the measure of a
// frame and the white grid marked into it, the decision between two means, and
// the snapshot file names.
#include <QString>

#include <cstdint>
#include <functional>

// The grid is laid out for a 320 x 240 plane of one byte per pixel (320 bytes
// per row) at the start of the frame buffer: short strokes every quarter row,
// which stack into four vertical lines, and two full rows across. Stroke n
// starts at byte n x MarkStrokeSpacing.
constexpr uint32_t MarkValue = 255;           // white
constexpr uint32_t MarkStrokeSpacing = 80;    // bytes between two strokes: a quarter row
constexpr uint32_t MarkStrokeWidth = 2;       // each stroke is two bytes wide
constexpr uint32_t MarkFirstStroke = 1;       // the first stroke, at byte 80 (none at byte 0)
constexpr uint32_t MarkLastStroke = 959;      // the last stroke, at bytes 76,720 and 76,721
constexpr uint32_t MarkRowLength = 320;       // one full row of the plane
constexpr uint32_t MarkRowOffsets[] = {25600, 51200}; // rows 80 and 160
// The smallest buffer that holds every mark.
constexpr uint32_t MarkedLength = MarkStrokeSpacing * MarkLastStroke + MarkStrokeWidth;

// The leading two thirds of a buffer of `bufferLength` bytes, rounded up:
// bufferLength - floor(bufferLength / 3). Of an I420 frame that is exactly
// the luma plane.
constexpr uint32_t MeasuredLength(uint32_t bufferLength)
{
    return bufferLength - bufferLength / 3;
}

// Sum of the first `count` bytes, each as 0..255, in 32 bits.
uint32_t SumBytes(const uint8_t *data, uint32_t count);

// Writes the grid into the buffer; marks that would fall at or past
// `bufferLength` are left out.
void WriteMarks(uint8_t *data, uint32_t bufferLength);

// Measures a frame and then marks it (the marks never enter the mean). Returns
// false for an empty buffer, which has no mean; otherwise `mean` is
// floor(sum / MeasuredLength).
bool MeasureAndMark(uint8_t *data, uint32_t bufferLength, int32_t &mean);

// The change of mean between two frames.
int32_t MeanDifference(int32_t a, int32_t b);

// A frame is motion when its change of mean reaches the threshold.
constexpr bool IsMotion(int32_t difference, int32_t threshold)
{
    return difference >= threshold;
}

// The slot after `slot` in the two-slot ring of means.
constexpr int32_t NextMeanSlot(int32_t slot)
{
    return slot + 1 >= 2 ? 0 : slot + 1;
}

// A date text made safe for a file name: "/" and "\" become "-".
QString FileSafeDateText(QString dateText);

// Today's date in the user's short date format, made safe for a file name.
QString TodaySnapshotDateText();

// "zdjecia/ruch/ruch" + number + date text + ".bmp", relative to the working
// directory.
QString SnapshotFileName(int32_t number, const QString &dateText);

// The first number from `number` on whose snapshot file name is not taken.
int32_t FirstFreeSnapshotNumber(int32_t number, const QString &dateText,
                                const std::function<bool(const QString &path)> &taken);
