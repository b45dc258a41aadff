#include "sim/core/Camera.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace sim {
namespace {
// The painted arena stays within this many pixels.
constexpr double MaxFloorPixels = 4.0e6;
// Nor wider or higher than this many pixels, however narrow the arena.
constexpr double MaxFloorSide = 65536;
// Never finer than this (metres per pixel).
constexpr double FinestFloorPixel = 0.001;

QRgb ToRgb(Colour c) { return qRgb(c.r, c.g, c.b); }

// A well-mixed hash of two integers, for the fixed grain of the floor.
uint32_t Hash(int64_t a, int64_t b)
{
    uint64_t h = static_cast<uint64_t>(a) * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(b) * 0xC2B2AE3D27D4EB4Full;
    h ^= h >> 31;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 29;
    return static_cast<uint32_t>(h);
}

// The number of the cell of side `side` that holds `coordinate`. Far-away or
// undefined coordinates (which no painted pixel has) all fall in cell 0
// rather than overflow.
int64_t Cell(double coordinate, double side)
{
    const double cell = std::floor(coordinate / side);
    constexpr double Limit = 1e15; // well inside int64_t, and exact in a double
    return cell > -Limit && cell < Limit ? static_cast<int64_t>(cell) : 0;
}

uint8_t Scale(uint8_t channel, double factor)
{
    return static_cast<uint8_t>(std::clamp(std::lround(channel * factor), 0L, 255L));
}

// BT.601 video-range luma and chroma of one colour, in 8-bit integer steps.
int Luma(int r, int g, int b) { return ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16; }
int ChromaU(int r, int g, int b) { return ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128; }
int ChromaV(int r, int g, int b) { return ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128; }
} // namespace

double TextureFactor(const FloorTexture &texture, Vec2 point)
{
    double factor = 1;
    if (texture.contrast > 0) {
        const int64_t tx = Cell(point.x, texture.tile);
        const int64_t ty = Cell(point.y, texture.tile);
        factor += ((tx + ty) % 2 == 0 ? 0.5 : -0.5) * texture.contrast;
    }
    if (texture.grain > 0) {
        const int64_t gx = Cell(point.x, texture.grainSize);
        const int64_t gy = Cell(point.y, texture.grainSize);
        factor += (Hash(gx, gy) / 4294967295.0 - 0.5) * texture.grain;
    }
    return factor;
}

FloorMap::FloorMap(const World &world, double metresPerPixel)
    : scale_(metresPerPixel), height_(world.height), wall_(ToRgb(world.wall))
{
    // Never finer than the finest resolution within the size bound, whatever
    // the caller asks for.
    const double finest = std::max(FinestFloorPixel, std::sqrt(world.width * world.height / MaxFloorPixels));
    if (!(scale_ >= finest))
        scale_ = finest;
    auto pixels = [this](double metres) {
        const double n = std::ceil(metres / scale_);
        return n >= 1 ? static_cast<int>(std::min(n, MaxFloorSide)) : 1;
    };
    const int w = pixels(world.width);
    const int h = pixels(world.height);
    image_ = QImage(w, h, QImage::Format_RGB32);

    // The floor and its texture, pixel by pixel at the pixel centres.
    for (int row = 0; row < h; ++row) {
        auto *line = reinterpret_cast<QRgb *>(image_.scanLine(row));
        const double y = world.height - (row + 0.5) * scale_;
        for (int col = 0; col < w; ++col) {
            const double f = TextureFactor(world.texture, {(col + 0.5) * scale_, y});
            line[col] = qRgb(Scale(world.floor.r, f), Scale(world.floor.g, f), Scale(world.floor.b, f));
        }
    }

    // The line and the obstacles on top, in pixel coordinates (y downwards).
    QPainter painter(&image_);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(1 / scale_, -1 / scale_);
    painter.translate(0, -world.height);
    const std::vector<Vec2> &path = world.track.path;
    if (path.size() >= 2) {
        QPainterPath line;
        line.moveTo(path[0].x, path[0].y);
        for (size_t i = 1; i < path.size(); ++i)
            line.lineTo(path[i].x, path[i].y);
        if (world.track.closed)
            line.closeSubpath();
        QPen pen(QColor(ToRgb(world.track.colour)), world.track.width);
        pen.setCapStyle(Qt::RoundCap);
        pen.setJoinStyle(Qt::RoundJoin);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(line);
    }
    painter.setPen(Qt::NoPen);
    for (const Obstacle &o : world.obstacles)
        painter.fillRect(QRectF(o.rect.x, o.rect.y, o.rect.width, o.rect.height), QColor(ToRgb(o.colour)));
}

QRgb FloorMap::Sample(Vec2 point) const
{
    // Pixel coordinates with pixel centres at whole numbers.
    const double fx = point.x / scale_ - 0.5;
    const double fy = (height_ - point.y) / scale_ - 0.5;
    const int w = image_.width(), h = image_.height();
    if (!(fx >= -0.5 && fy >= -0.5 && fx <= w - 0.5 && fy <= h - 0.5)) // also an undefined point
        return wall_;
    const int x0 = std::clamp(static_cast<int>(std::floor(fx)), 0, w - 1);
    const int y0 = std::clamp(static_cast<int>(std::floor(fy)), 0, h - 1);
    const int x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
    const double ax = std::clamp(fx - x0, 0.0, 1.0), ay = std::clamp(fy - y0, 0.0, 1.0);
    const auto *r0 = reinterpret_cast<const QRgb *>(image_.constScanLine(y0));
    const auto *r1 = reinterpret_cast<const QRgb *>(image_.constScanLine(y1));
    auto mix = [&](int (*channel)(QRgb)) {
        const double top = channel(r0[x0]) * (1 - ax) + channel(r0[x1]) * ax;
        const double bottom = channel(r1[x0]) * (1 - ax) + channel(r1[x1]) * ax;
        return static_cast<int>(std::lround(top * (1 - ay) + bottom * ay));
    };
    return qRgb(mix(qRed), mix(qGreen), mix(qBlue));
}

void FloorMap::SampleRow(Vec2 first, Vec2 step, int count, QRgb *out) const
{
    // Pixel coordinates (centres at whole numbers) in 32.16 fixed point.
    constexpr int FractionBits = 16;
    constexpr double One = 1 << FractionBits;
    const double fx = first.x / scale_ - 0.5, fy = (height_ - first.y) / scale_ - 0.5;
    const double dx = step.x / scale_, dy = -step.y / scale_;
    // Far beyond any map (or undefined): the whole row is wall.
    constexpr double Far = 1e12;
    const double lastX = fx + dx * count, lastY = fy + dy * count;
    if (!(std::abs(fx) < Far && std::abs(fy) < Far && std::abs(lastX) < Far && std::abs(lastY) < Far)) {
        std::fill(out, out + count, wall_);
        return;
    }
    const int w = image_.width(), h = image_.height();
    const int64_t minX = -int64_t(One) / 2, maxX = (int64_t(w) << FractionBits) - int64_t(One) / 2;
    const int64_t minY = -int64_t(One) / 2, maxY = (int64_t(h) << FractionBits) - int64_t(One) / 2;
    const int64_t stepX = std::llround(dx * One), stepY = std::llround(dy * One);
    int64_t x = std::llround(fx * One), y = std::llround(fy * One);
    const uchar *bits = image_.constBits();
    const qsizetype stride = image_.bytesPerLine();
    for (int i = 0; i < count; ++i, x += stepX, y += stepY) {
        if (x < minX || y < minY || x > maxX || y > maxY) {
            out[i] = wall_;
            continue;
        }
        // Within half a pixel of the edge the edge pixel's colour holds.
        int x0 = int(x >> FractionBits), y0 = int(y >> FractionBits);
        unsigned ax = unsigned(x & 0xFFFF) >> 8, ay = unsigned(y & 0xFFFF) >> 8; // 0..255
        if (x0 < 0)
            x0 = 0, ax = 0;
        if (y0 < 0)
            y0 = 0, ay = 0;
        const int x1 = x0 + 1 < w ? x0 + 1 : x0;
        const int y1 = y0 + 1 < h ? y0 + 1 : y0;
        const auto *r0 = reinterpret_cast<const QRgb *>(bits + y0 * stride);
        const auto *r1 = reinterpret_cast<const QRgb *>(bits + y1 * stride);
        // Red and blue, and green, blended two at a time in one integer.
        auto blend = [](QRgb a, QRgb b, unsigned t) {
            const uint32_t rb = ((a & 0xFF00FF) * (256 - t) + (b & 0xFF00FF) * t) >> 8;
            const uint32_t g = ((a & 0x00FF00) * (256 - t) + (b & 0x00FF00) * t) >> 8;
            return (rb & 0xFF00FF) | (g & 0x00FF00);
        };
        out[i] = 0xFF000000u | blend(blend(r0[x0], r0[x1], ax), blend(r1[x0], r1[x1], ax), ay);
    }
}

Vec2 CameraFloorPoint(const CameraFootprint &camera, double u, double v)
{
    // Row 0 is the far edge; each row's width follows the trapezoid.
    const double depth = (v + 0.5) / CameraHeight;
    const double forward = camera.farDistance + (camera.nearDistance - camera.farDistance) * depth;
    const double width = camera.farWidth + (camera.nearWidth - camera.farWidth) * depth;
    const double left = width * (0.5 - (u + 0.5) / CameraWidth);
    return {forward, left};
}

std::array<Vec2, 4> CameraCorners(const CameraFootprint &camera, const Pose &pose)
{
    return {ToWorld(pose, {camera.farDistance, camera.farWidth / 2}),
            ToWorld(pose, {camera.farDistance, -camera.farWidth / 2}),
            ToWorld(pose, {camera.nearDistance, -camera.nearWidth / 2}),
            ToWorld(pose, {camera.nearDistance, camera.nearWidth / 2})};
}

QImage RenderCamera(const FloorMap &floor, const CameraFootprint &camera, const Pose &pose)
{
    QImage picture(CameraWidth, CameraHeight, QImage::Format_RGB32);
    for (int v = 0; v < CameraHeight; ++v) {
        auto *line = reinterpret_cast<QRgb *>(picture.scanLine(v));
        // Along a row the floor point moves on a straight line: step it.
        const Vec2 first = ToWorld(pose, CameraFloorPoint(camera, 0, v));
        const Vec2 last = ToWorld(pose, CameraFloorPoint(camera, CameraWidth - 1, v));
        const Vec2 step = (1.0 / (CameraWidth - 1)) * (last - first);
        floor.SampleRow(first, step, CameraWidth, line);
    }
    return picture;
}

void RgbToI420(const QImage &picture, uint8_t *frame)
{
    const QImage rgb = picture.format() == QImage::Format_RGB32 ? picture
                                                                 : picture.convertToFormat(QImage::Format_RGB32);
    uint8_t *yPlane = frame;
    uint8_t *uPlane = frame + CameraWidth * CameraHeight;
    uint8_t *vPlane = uPlane + (CameraWidth / 2) * (CameraHeight / 2);
    for (int y = 0; y < CameraHeight; ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        for (int x = 0; x < CameraWidth; ++x)
            yPlane[y * CameraWidth + x] =
                static_cast<uint8_t>(Luma(qRed(line[x]), qGreen(line[x]), qBlue(line[x])));
    }
    // Chroma of each 2 x 2 block from the block's mean colour.
    for (int y = 0; y < CameraHeight / 2; ++y) {
        const auto *top = reinterpret_cast<const QRgb *>(rgb.constScanLine(2 * y));
        const auto *bottom = reinterpret_cast<const QRgb *>(rgb.constScanLine(2 * y + 1));
        for (int x = 0; x < CameraWidth / 2; ++x) {
            const QRgb p[4] = {top[2 * x], top[2 * x + 1], bottom[2 * x], bottom[2 * x + 1]};
            int r = 0, g = 0, b = 0;
            for (QRgb c : p) {
                r += qRed(c);
                g += qGreen(c);
                b += qBlue(c);
            }
            r = (r + 2) / 4;
            g = (g + 2) / 4;
            b = (b + 2) / 4;
            uPlane[y * (CameraWidth / 2) + x] = static_cast<uint8_t>(ChromaU(r, g, b));
            vPlane[y * (CameraWidth / 2) + x] = static_cast<uint8_t>(ChromaV(r, g, b));
        }
    }
}

} // namespace sim
