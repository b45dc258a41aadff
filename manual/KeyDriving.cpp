#include "manual/KeyDriving.h"

#include "core/ErrorDisplay.h"
#include "drive/Motor.h"
#include "form/EditField.h"
#include "form/Unit1.h"
#include "manual/ContinuousMoves.h"

#include <QApplication>
#include <QKeyEvent>

namespace {
// The arrow key held now (0: none), and whether it is still down.
int g_heldKey = 0;
bool g_held = false;

struct KeyMove {
    int key;
    QPushButton *TForm1::*button;
    int32_t *duration;
    void (*command)();
};
const KeyMove KeyMoves[] = {
    {Qt::Key_Up, &TForm1::Button7, &ForwardTimeMs, MoveForward},
    {Qt::Key_Down, &TForm1::Button6, &ForwardTimeMs, MoveBackward},
    {Qt::Key_Left, &TForm1::Button8, &TurnTimeMs, TurnLeft},
    {Qt::Key_Right, &TForm1::Button9, &TurnTimeMs, TurnRight},
};

// Runs the key's move until it is let go (or STOP, or the emergency stop).
void DriveWhileHeld(TForm1 &form, const KeyMove &move)
{
    QPushButton *button = form.*move.button;
    g_heldKey = move.key;
    g_held = true;
    button->setDown(true);
    RunHandler([&] { RunContinuously(*move.duration, move.command, &g_held); });
    button->setDown(false);
    g_heldKey = 0;
    g_held = false;
}
} // namespace

KeyDriving::KeyDriving(TForm1 &form) : form_(form) { qApp->installEventFilter(this); }

KeyDriving::~KeyDriving()
{
    if (qApp)
        qApp->removeEventFilter(this);
}

bool KeyDriving::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
        return false;
    const auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || widget->window() != &form_ || form_.PageControl1->currentWidget() != form_.TabSheet3 ||
        IsEditField(QApplication::focusWidget()))
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    const KeyMove *move = nullptr;
    for (const KeyMove &m : KeyMoves)
        if (m.key == key->key())
            move = &m;
    if (!move)
        return false;
    if (key->isAutoRepeat())
        return true; // the run goes on as it is
    if (event->type() == QEvent::KeyRelease) {
        if (move->key == g_heldKey)
            g_held = false; // the loop ends after the pulse under way
        return true;
    }
    // A press while another key's run goes on is not a new run.
    if (g_heldKey == 0)
        DriveWhileHeld(form_, *move);
    return true;
}

