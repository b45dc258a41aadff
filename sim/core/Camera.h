#pragma once
// What the robot's camera sees: the arena painted once from above (floor with
// its texture, the line, the obstacles), and from it the floor patch ahead of
// the robot as a 320 x 240 picture, also as a planar I420 frame.
#include "sim/core/Geometry.h"
#include "sim/core/World.h"

#include <QImage>

#include <array>
#include <cstdint>
#include <vector>

namespace sim {

constexpr int CameraWidth = 320;
constexpr int CameraHeight = 240;
// Bytes of one I420 frame: the full luma plane and two quarter-size chroma planes.
constexpr int CameraFrameBytes = CameraWidth * CameraHeight * 3 / 2;

// Brightness factor of the floor texture at a point (1 = the plain floor colour).
double TextureFactor(const FloorTexture &texture, Vec2 point);

// The arena seen from above, painted once at a fine resolution; the camera
// and the arena window sample it.
class FloorMap {
public:
    // `metresPerPixel` 0 picks the finest resolution that keeps the picture
    // at a reasonable size; a finer one asked for is coarsened to it.
    explicit FloorMap(const World &world, double metresPerPixel = 0);

    // Colour at a world point (bilinear between the painted pixels); the
    // wall's colour outside the arena.
    QRgb Sample(Vec2 point) const;
    // The colours at `count` points from `first` on, `step` apart: what
    // Sample gives for each (to within one step of 255 per channel), in
    // fixed-point arithmetic, several times as fast.
    void SampleRow(Vec2 first, Vec2 step, int count, QRgb *out) const;
    // The painted arena, row 0 at the arena's north edge (y = height).
    const QImage &image() const { return image_; }
    double metresPerPixel() const { return scale_; }

private:
    QImage image_;
    double scale_;
    double height_;
    QRgb wall_;
};

// The floor point (forward, left) in the robot's frame that the camera's
// pixel (column u, row v) shows; pixel centres.
Vec2 CameraFloorPoint(const CameraFootprint &camera, double u, double v);

// The footprint's corners in world coordinates: far left, far right, near
// right, near left.
std::array<Vec2, 4> CameraCorners(const CameraFootprint &camera, const Pose &pose);

// The camera picture (RGB32, 320 x 240) at this pose.
QImage RenderCamera(const FloorMap &floor, const CameraFootprint &camera, const Pose &pose);

// Packs a 320 x 240 picture as I420 (BT.601, video range) into `frame`, which
// holds CameraFrameBytes bytes.
void RgbToI420(const QImage &picture, uint8_t *frame);

} // namespace sim
