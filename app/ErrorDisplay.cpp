#include "app/ErrorDisplay.h"

#include "drive/ProgramEnd.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

namespace {
ErrorDisplayFn &CurrentDisplay()
{
    static ErrorDisplayFn display;
    return display;
}
} // namespace

void ShowErrorMessage(const std::string &message)
{
    if (CurrentDisplay()) {
        CurrentDisplay()(message);
        return;
    }
    // Also on standard error, for the operator's terminal and for logs.
    std::fprintf(stderr, "robot: %s\n", message.c_str());
    std::fflush(stderr);
    // No box once the program is ending: nobody is left to close it.
    if (programend::Requested())
        return;
    QWidget *parent = QApplication::activeWindow();
    QMessageBox::critical(parent, QApplication::applicationName(), QString::fromStdString(message));
}

ErrorDisplayFn SetErrorDisplay(ErrorDisplayFn display)
{
    ErrorDisplayFn previous = std::move(CurrentDisplay());
    CurrentDisplay() = std::move(display);
    return previous;
}
