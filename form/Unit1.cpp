#include "form/Unit1.h"

#include "drive/RunState.h"

#include <QCloseEvent>
#include <QShowEvent>

TForm1 *Form1 = nullptr;

namespace {
constexpr int DesignedOuterWidth = 490;
constexpr int DesignedOuterHeight = 544;
constexpr int DesignedLeft = 16;
constexpr int DesignedTop = 177;
} // namespace

TForm1::TForm1(QWidget *parent) : QWidget(parent)
{
    // The stored pictures live in a resource of the static library; the linker
    // keeps its registration only when something names it.
    Q_INIT_RESOURCE(Unit1);
    setupUi(this);
    move(DesignedLeft, DesignedTop);
}

void TForm1::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The designed size is the outer one; once a window manager has framed the
    // window, shrink the client area by the frame so the outside matches.
    const QSize frame = frameGeometry().size() - geometry().size();
    if (!frame.isEmpty() && frame != QSize(0, 0))
        resize(DesignedOuterWidth - frame.width(), DesignedOuterHeight - frame.height());
}

void TForm1::closeEvent(QCloseEvent *event)
{
    // A driving loop still running ends at its next test and stops the motors;
    // the program ends when control is back in the main loop.
    if (RunningLoops() > 0)
        SetWindowClosing(true);
    event->accept();
}
