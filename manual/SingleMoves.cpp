// "Ruch pojedynczy": one timed pulse per click, durations from the page's fields.
#include "core/Convert.h"
#include "core/ErrorDisplay.h"
#include "drive/Motor.h"
#include "form/Unit1.h"

namespace {
// Both fields are read on every click, in this order, before the pulse.
void SingleMove(TForm1 &form, void (*command)())
{
    ForwardTimeMs = ToInt32(form.Edit3->text());
    TurnTimeMs = ToInt32(form.Edit35->text());
    command();
}
} // namespace

void TForm1::Button1Click() { RunHandler([this] { SingleMove(*this, MoveBackward); }); }
void TForm1::Button2Click() { RunHandler([this] { SingleMove(*this, MoveForward); }); }
void TForm1::Button3Click() { RunHandler([this] { SingleMove(*this, TurnLeft); }); }
void TForm1::Button4Click() { RunHandler([this] { SingleMove(*this, TurnRight); }); }
