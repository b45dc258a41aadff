#pragma once
// Plane geometry of the arena. World coordinates are metres, x to the east
// (right on the screen), y to the north (up on the screen); headings are
// radians counter-clockwise from the x axis. A point in the robot's own frame
// is given as (forward, left).
#include <cmath>
#include <vector>

namespace sim {

constexpr double Pi = 3.14159265358979323846;

struct Vec2 {
    double x = 0;
    double y = 0;
};

inline Vec2 operator+(Vec2 a, Vec2 b) { return {a.x + b.x, a.y + b.y}; }
inline Vec2 operator-(Vec2 a, Vec2 b) { return {a.x - b.x, a.y - b.y}; }
inline Vec2 operator*(double k, Vec2 a) { return {k * a.x, k * a.y}; }
inline double Dot(Vec2 a, Vec2 b) { return a.x * b.x + a.y * b.y; }
inline double Length(Vec2 a) { return std::hypot(a.x, a.y); }

struct Pose {
    double x = 0;
    double y = 0;
    double heading = 0; // radians, counter-clockwise from +x
};

// A point given in the robot's frame (forward, left) as a world point.
inline Vec2 ToWorld(const Pose &pose, Vec2 local)
{
    const double c = std::cos(pose.heading), s = std::sin(pose.heading);
    return {pose.x + c * local.x - s * local.y, pose.y + s * local.x + c * local.y};
}

// An angle brought into (-pi, pi].
double WrapAngle(double radians);

// Axis-aligned rectangle: lower-left corner and size.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

// Distance from p to the segment a-b.
double DistanceToSegment(Vec2 p, Vec2 a, Vec2 b);

// Distance from p to the rectangle's outline, negative inside it.
double SignedDistanceToRect(Vec2 p, const Rect &rect);

// Distance along the ray from `origin` in the unit direction `dir` to where it
// enters the rectangle (0 when it starts inside); negative when it misses.
double RayToRect(Vec2 origin, Vec2 dir, const Rect &rect);

// Distance along the ray from `origin` (inside the box 0..width × 0..height)
// to the box's boundary.
double RayToBoxWalls(Vec2 origin, Vec2 dir, double width, double height);

// A dense polyline through the control points along a Catmull-Rom curve,
// `perSpan` points per span between two control points. A closed path does not
// repeat its first point at the end.
std::vector<Vec2> SmoothPath(const std::vector<Vec2> &controls, bool closed, int perSpan);

// Nearest point of a polyline (closed: its last point joins its first).
struct PathProjection {
    double distance = 0;   // from the point to the polyline
    double arcLength = 0;  // along the polyline from its first point to the nearest point
};
PathProjection ProjectOntoPath(const std::vector<Vec2> &path, bool closed, Vec2 p);

// Length of a polyline (closed: including the closing segment).
double PathLength(const std::vector<Vec2> &path, bool closed);

} // namespace sim
