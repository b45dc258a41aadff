#pragma once
// Where the arena window puts its parts in a window of a given size: the
// buttons along the top, the arena fitted under them (whatever its size), the
// status lines under the arena and the port strip along the bottom. Plain
// geometry with buttons of fixed size, so that the tests find the buttons
// and the robot on the screen where the window draws them.
#include "sim/core/Geometry.h"

#include <QPointF>
#include <QRect>
#include <QRectF>
#include <QSize>

class ArenaLayout {
public:
    // The buttons, left to right.
    enum Button { PutBackButton, PauseButton, OpenButton, ButtonCount };

    // The parts of a window of `window` showing an arena of `width` x
    // `height` metres.
    ArenaLayout(QSize window, double width, double height);
    // The window's size for an arena of `width` x `height` metres when
    // nothing constrains it: the arena at most 900 x 640 pixels.
    static QSize Preferred(double width, double height);

    QRect button(Button b) const;
    const QRectF &arena() const { return arena_; }
    double pixelsPerMetre() const { return pixelsPerMetre_; }
    // The status lines under the arena, and the strip.
    QRectF status() const;
    QRect strip() const;

    // A world point on the window, and back.
    QPointF ToScreen(sim::Vec2 p) const;
    sim::Vec2 ToWorld(QPointF p) const;

private:
    QSize window_;
    QRectF arena_;
    double pixelsPerMetre_ = 1;
};
