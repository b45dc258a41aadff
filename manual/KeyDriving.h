#pragma once
// Driving by keys on "Ruch ciagly": while an arrow key is held (and no edit
// field has the focus) the robot moves that way in the page's 200 ms pulses,
// as its buttons make it move: up forward, down back, left and right turning
// on the spot. Releasing the key stops it at the end of the pulse under way;
// STOP and the emergency stop end it as they end a button's run. The button
// of the running move looks pressed meanwhile. The keyboard's auto-repeat
// neither restarts nor breaks the run.
//
// Lives on the GUI thread for as long as the main window.
#include <QObject>

class TForm1;

class KeyDriving : public QObject {
public:
    explicit KeyDriving(TForm1 &form);
    ~KeyDriving() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    TForm1 &form_;
};
