#include "app/ErrorDisplay.h"

#include <QApplication>
#include <QMessageBox>

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
    QWidget *parent = QApplication::activeWindow();
    QMessageBox::critical(parent, QApplication::applicationName(), QString::fromStdString(message));
}

ErrorDisplayFn SetErrorDisplay(ErrorDisplayFn display)
{
    ErrorDisplayFn previous = std::move(CurrentDisplay());
    CurrentDisplay() = std::move(display);
    return previous;
}
