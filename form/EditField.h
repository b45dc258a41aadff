#pragma once
// Which of the window's controls take typed text: there the space bar and the
// arrow keys are text, not the emergency stop (app/StopKeys.h) or driving by
// keys (manual/KeyDriving.h).
class QWidget;

// A control that takes typed text: a line edit, a spin box, a text edit, or a
// drop-down list whose field can be typed into (ChoiceBox). False for none.
bool IsEditField(const QWidget *w);
