#pragma once
// The arena window: the arena from above with the track and the obstacles,
// the robot with its sensors (lit while they fire), the camera's field of
// view and its picture, the trail the robot has driven, the contact count, and
// whether a control program is connected (and why the simulator stopped the
// motors itself, when it did); under it, the port's last seconds as a logic
// analyser shows them.
//
// The robot can be handled here without the control program noticing (its
// sockets stay up, its motor code stays as written): put back at the world's
// start (button, R or Home), dragged to a place with the left button and
// turned with the right one or the wheel (the trail restarts), time paused and
// resumed (button or P), and another world opened (button, Ctrl+O). Escape
// and Space are the control program's emergency stop here as in its own
// window: it watches this window for them (sim/app/ArenaMark.h).
#include "sim/app/ArenaLayout.h"
#include "sim/app/SharedRobot.h"
#include "sim/app/TimelineStrip.h"
#include "sim/core/Camera.h"
#include "sim/core/Simulation.h"

#include <QImage>
#include <QPointF>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QPushButton;

class ArenaView : public QWidget {
    Q_OBJECT
public:
    // `cameraPicture` gives the camera's newest picture (may be null).
    // `worldFile` is the running world's file, empty for the built-in one:
    // the file dialog starts in its folder.
    ArenaView(SharedRobot &robot, std::function<QImage()> cameraPicture, const QString &worldFile,
              QWidget *parent = nullptr);

    QSize sizeHint() const override;

    // The window's title for a world of that name.
    static QString Title(const QString &worldName);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;

private:
    // What the left or right button is doing to the robot.
    enum class Hand { None, Moving, Turning };

    void Tick();
    void PutBack();
    void TogglePause();
    void OpenWorld();
    // Takes the running world's floor and fits the arena to the window.
    void Relayout();
    QPointF ToScreen(sim::Vec2 p) const { return layout_.ToScreen(p); }
    // Whether a window point lies on the robot's body (or a few pixels off).
    bool OnRobot(QPointF at) const;
    // Sets the robot down at `pose` if it fits there; the trail restarts.
    void SetDown(const sim::Pose &pose);
    void RestartTrail();
    void DrawRobot(QPainter &painter, const sim::Simulation &view, const sim::SensorReadings &sensors);
    void DrawStatus(QPainter &painter, const sim::Simulation &view, const sim::SensorReadings &sensors);
    // Draws the trail from point `from` on into the trail layer.
    void DrawTrail(size_t from);

    SharedRobot &robot_;
    std::function<QImage()> cameraPicture_;
    QString worldFile_;
    QTimer timer_;
    std::optional<sim::Simulation> view_; // the state as last shown
    SimulatorFacts facts_;                // the control program's state as last shown
    std::shared_ptr<const sim::FloorMap> floor_; // the floor shown; another one means another world
    std::vector<sim::Vec2> trail_;
    QImage background_; // the floor scaled to the widget
    QImage trailLayer_; // the trail drawn so far, over the background
    ArenaLayout layout_;
    Hand hand_ = Hand::None;
    sim::Vec2 grip_{}; // while moving: the robot's centre less the pointer's point
    TimelineStrip *strip_; // a child along the bottom edge
    QPushButton *putBack_;
    QPushButton *pause_;
    QPushButton *open_;
};
