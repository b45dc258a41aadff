#include "sim/app/ArenaLayout.h"

#include "sim/app/TimelineStrip.h"

#include <algorithm>

namespace {
constexpr int Margin = 8;
// The button bar: buttons of one size in a row, with gaps.
constexpr int ButtonWidth = 170;
constexpr int ButtonHeight = 26;
constexpr int ButtonGap = 8;
constexpr int BarHeight = ButtonHeight + Margin;
// Height of the status lines under the arena, pixels.
constexpr int StatusHeight = 64;
// The arena's largest size when the window is free to fit it.
constexpr double PreferredArenaWidth = 900;
constexpr double PreferredArenaHeight = 640;
} // namespace

ArenaLayout::ArenaLayout(QSize window, double width, double height) : window_(window)
{
    const double w = window.width() - 2 * Margin;
    const double h = window.height() - BarHeight - 2 * Margin - StatusHeight - TimelineStrip::PreferredHeight();
    pixelsPerMetre_ = std::min(std::max(w, 1.0) / width, std::max(h, 1.0) / height);
    const QSizeF arena(width * pixelsPerMetre_, height * pixelsPerMetre_);
    arena_ = QRectF(QPointF(std::max<double>(Margin, (window.width() - arena.width()) / 2), BarHeight + Margin), arena);
}

QSize ArenaLayout::Preferred(double width, double height)
{
    const double scale = std::min(PreferredArenaWidth / width, PreferredArenaHeight / height);
    const int buttons = ButtonCount * (ButtonWidth + ButtonGap) - ButtonGap;
    return {std::max(int(width * scale), buttons) + 2 * Margin,
            int(height * scale) + BarHeight + 2 * Margin + StatusHeight + TimelineStrip::PreferredHeight()};
}

QRect ArenaLayout::button(Button b) const
{
    return {Margin + int(b) * (ButtonWidth + ButtonGap), Margin / 2, ButtonWidth, ButtonHeight};
}

QRectF ArenaLayout::status() const
{
    return {arena_.left(), arena_.bottom() + 6, arena_.width(), StatusHeight - 8.0};
}

QRect ArenaLayout::strip() const
{
    const int height = TimelineStrip::PreferredHeight();
    return {0, window_.height() - height, window_.width(), height};
}

QPointF ArenaLayout::ToScreen(sim::Vec2 p) const
{
    return {arena_.left() + p.x * pixelsPerMetre_, arena_.bottom() - p.y * pixelsPerMetre_};
}

sim::Vec2 ArenaLayout::ToWorld(QPointF p) const
{
    return {(p.x() - arena_.left()) / pixelsPerMetre_, (arena_.bottom() - p.y()) / pixelsPerMetre_};
}
