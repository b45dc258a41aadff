#include "core/ErrorDisplay.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cstdio>

namespace {
ErrorDisplayFn &CurrentDisplay()
{
    static ErrorDisplayFn display;
    return display;
}
} // namespace

void ShowOnStandardError(const std::string &message)
{
    std::fprintf(stderr, "robot: %s\n", message.c_str());
    std::fflush(stderr);
}

void ShowErrorMessage(const std::string &message)
{
    if (CurrentDisplay())
        CurrentDisplay()(message);
    else
        ShowOnStandardError(message);
}

ErrorDisplayFn SetErrorDisplay(ErrorDisplayFn display)
{
    ErrorDisplayFn previous = std::move(CurrentDisplay());
    CurrentDisplay() = std::move(display);
    return previous;
}

void ShowAfterHandler(const std::string &message)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        ShowErrorMessage(message);
        return;
    }
    QMetaObject::invokeMethod(app, [message] { ShowErrorMessage(message); }, Qt::QueuedConnection);
}

bool ReportOnce::operator()(const std::string &message)
{
    if (reported_)
        return false;
    reported_ = true;
    ShowAfterHandler(message);
    return true;
}
