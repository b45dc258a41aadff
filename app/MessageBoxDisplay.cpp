#include "app/MessageBoxDisplay.h"

#include "core/ErrorDisplay.h"
#include "drive/ProgramEnd.h"

#include <QApplication>
#include <QMessageBox>

void ShowInMessageBox(const std::string &message)
{
    ShowOnStandardError(message);
    // No box once the program is ending: nobody is left to close it.
    if (programend::Requested())
        return;
    QWidget *parent = QApplication::activeWindow();
    QMessageBox::critical(parent, QApplication::applicationName(), QString::fromStdString(message));
}
