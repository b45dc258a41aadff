#pragma once
// The main window: every control of the seven tab pages comes from the stored
// layout (Unit1.ui) as a member named as in the layout; the event handlers are
// defined in the folder of their subsystem:
//   manual/    Button1..Button10 (single moves, move series, continuous moves)
//   camera/    Button11, 12, 14, 16, 17, 18, 19, Edit34 (camera tab, motion detection)
//   linecam/   Button15, TrackBar1..3 (camera line follower, colour reference)
//   autodrive/ BitBtn1, BitBtn2, Button21, Button22 (sensor drives)
// Those folders include the form, never the other way round; start-up (app/)
// makes the one window and owns it.
#include "ui_Unit1.h"

#include <QWidget>

class TForm1 : public QWidget, public Ui::TForm1 {
    Q_OBJECT

public:
    explicit TForm1(QWidget *parent = nullptr);

public slots:
    // Single moves
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    // Move series
    void Button5Click();
    // Continuous moves
    void Button6Click();
    void Button7Click();
    void Button8Click();
    void Button9Click();
    void Button10Click();
    // Camera tab
    void Button11Click();
    void Button12Click();
    void Button14Click();
    void Button17Click();
    void Button19Click();
    // Motion detection
    void Button16Click();
    void Button18Click();
    void Edit34Change();
    // Camera line follower and its colour reference
    void Button15Click();
    void TrackBar1Change();
    void TrackBar2Change();
    void TrackBar3Change();
    // Obstacle-avoiding drive
    void BitBtn1Click();
    void BitBtn2Click();
    // Sensor line follower
    void Button22Click();
    void Button21Click();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
};

// The one main window; code outside a handler (frame callbacks) reaches the
// controls through it.
extern TForm1 *Form1;
