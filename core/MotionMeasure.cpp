#include "core/MotionMeasure.h"

#include <QDate>
#include <QLocale>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {
const QString SnapshotPrefix = QStringLiteral("zdjecia/ruch/ruch");
const QString SnapshotSuffix = QStringLiteral(".bmp");
constexpr uint32_t LastStrokeOffset = MarkStrokeSpacing * MarkLastStroke;
// Bytes summed as one block (see SumBytes).
constexpr size_t SumBlockBytes = 64;
} // namespace

uint32_t SumBytes(const uint8_t *data, uint32_t count)
{
    // Fixed-size blocks let the compiler sum many bytes per instruction.
    uint32_t sum = 0;
    const uint8_t *p = data;
    const uint8_t *const blocksEnd = data + (count - count % SumBlockBytes);
    for (; p != blocksEnd; p += SumBlockBytes) {
        uint32_t block = 0;
        for (size_t j = 0; j < SumBlockBytes; ++j)
            block += p[j];
        sum += block;
    }
    for (const uint8_t *end = data + count; p != end; ++p)
        sum += *p;
    return sum;
}

void WriteMarks(uint8_t *data, uint32_t bufferLength)
{
    // The strokes: every 80th byte and the one after it, from offset 80 on.
    if (bufferLength >= MarkedLength) {
        for (uint32_t offset = MarkStrokeSpacing * MarkFirstStroke; offset <= LastStrokeOffset;
             offset += MarkStrokeSpacing) {
            data[offset] = MarkValue;
            data[offset + 1] = MarkValue;
        }
    } else {
        for (uint32_t offset = MarkStrokeSpacing * MarkFirstStroke;
             offset <= LastStrokeOffset && offset < bufferLength; offset += MarkStrokeSpacing) {
            data[offset] = MarkValue;
            if (offset + 1 < bufferLength)
                data[offset + 1] = MarkValue;
        }
    }
    // The two full rows.
    for (uint32_t row : MarkRowOffsets) {
        if (row >= bufferLength)
            continue;
        std::memset(data + row, MarkValue, std::min(MarkRowLength, bufferLength - row));
    }
}

bool MeasureAndMark(uint8_t *data, uint32_t bufferLength, int32_t &mean)
{
    const uint32_t n = MeasuredLength(bufferLength);
    if (data == nullptr || n == 0)
        return false;
    const uint32_t sum = SumBytes(data, n);
    WriteMarks(data, bufferLength);
    mean = static_cast<int32_t>(sum / n);
    return true;
}

int32_t MeanDifference(int32_t a, int32_t b)
{
    return std::abs(a - b);
}

QString FileSafeDateText(QString dateText)
{
    dateText.replace(QLatin1Char('/'), QLatin1Char('-'));
    dateText.replace(QLatin1Char('\\'), QLatin1Char('-'));
    return dateText;
}

QString TodaySnapshotDateText()
{
    return FileSafeDateText(QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat));
}

QString SnapshotFileName(int32_t number, const QString &dateText)
{
    return SnapshotPrefix + QString::number(number) + dateText + SnapshotSuffix;
}

int32_t FirstFreeSnapshotNumber(int32_t number, const QString &dateText,
                                const std::function<bool(const QString &path)> &taken)
{
    while (number < std::numeric_limits<int32_t>::max() &&
           taken(SnapshotFileName(number, dateText)))
        ++number;
    return number;
}
