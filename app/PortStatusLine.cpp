#include "app/PortStatusLine.h"

#include "drive/PortIo.h"

#include <QLabel>

#include <cstdio>

namespace {
// Longest status text kept: a line, not a page.
constexpr qsizetype MaxStatusChars = 200;

// The library's text as one plain line of bounded length.
QString OneShortLine(const std::string &status)
{
    QString text = QString::fromUtf8(status.data(), qsizetype(status.size()));
    for (QChar &c : text)
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    if (text.size() > MaxStatusChars)
        text = text.left(MaxStatusChars) + QStringLiteral("...");
    return text;
}
} // namespace

PortStatusLine::PortStatusLine(QLabel &label) : label_(label)
{
    // The library's words, never markup.
    label_.setTextFormat(Qt::PlainText);
    connect(&timer_, &QTimer::timeout, this, &PortStatusLine::Refresh);
    timer_.start(PeriodMs);
    Refresh();
}

void PortStatusLine::Refresh()
{
    const std::string status = PortIoStatusLine();
    if (status == shown_)
        return;
    shown_ = status;
    const QString line = OneShortLine(status);
    const QString text = QStringLiteral("Port: ") + line;
    label_.setText(label_.fontMetrics().elidedText(text, Qt::ElideMiddle, label_.width()));
    label_.setToolTip(text);
    std::fprintf(stderr, "robot: port: %s\n", line.toUtf8().constData());
}
