#pragma once
// The arena window: the arena from above with the track and the obstacles,
// the robot with its sensors (lit while they fire), the camera's field of
// view and its picture, the trail the robot has driven, the contact count, and
// whether a control program is connected (and why the simulator stopped the
// motors itself, when it did); under it, the port's last seconds
// as a logic analyser shows them.
#include "sim/app/SharedRobot.h"
#include "sim/app/TimelineStrip.h"
#include "sim/core/Camera.h"
#include "sim/core/Simulation.h"

#include <QImage>
#include <QPointF>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

class ArenaView : public QWidget {
    Q_OBJECT
public:
    // `cameraPicture` gives the camera's newest picture (may be null).
    ArenaView(SharedRobot &robot, const sim::FloorMap &floor, std::function<QImage()> cameraPicture,
              QWidget *parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void Tick();
    QPointF ToScreen(sim::Vec2 p) const;
    void DrawRobot(QPainter &painter, const sim::Simulation &view, const sim::SensorReadings &sensors);
    void DrawStatus(QPainter &painter, const sim::Simulation &view, const sim::SensorReadings &sensors);
    // Draws the trail from point `from` on into the trail layer.
    void DrawTrail(size_t from);

    SharedRobot &robot_;
    const sim::FloorMap &floor_;
    std::function<QImage()> cameraPicture_;
    QTimer timer_;
    std::optional<sim::Simulation> view_; // the state as last shown
    SimulatorFacts facts_; // the control program's state as last shown
    std::vector<sim::Vec2> trail_;
    QImage background_; // the floor scaled to the widget
    QImage trailLayer_; // the trail drawn so far, over the background
    QRectF arenaRect_;  // where the arena lies on the widget
    double pixelsPerMetre_ = 1;
    TimelineStrip *strip_; // a child along the bottom edge
};
