#include "app/PortStatusLine.h"

#include "drive/PortIo.h"

#include <QLabel>

#include <cstdio>

PortStatusLine::PortStatusLine(QLabel &label) : label_(label)
{
    connect(&timer_, &QTimer::timeout, this, &PortStatusLine::Refresh);
    timer_.start(PeriodMs);
    Refresh();
}

void PortStatusLine::Refresh()
{
    const std::string status = PortIoStatusText();
    if (status == shown_)
        return;
    shown_ = status;
    const QString text = QStringLiteral("Port: ") + QString::fromStdString(status);
    label_.setText(label_.fontMetrics().elidedText(text, Qt::ElideMiddle, label_.width()));
    label_.setToolTip(text);
    std::fprintf(stderr, "robot: port: %s\n", status.c_str());
}
