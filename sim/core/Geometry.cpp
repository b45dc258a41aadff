#include "sim/core/Geometry.h"

#include <algorithm>
#include <limits>

namespace sim {

double WrapAngle(double radians)
{
    double a = std::fmod(radians, 2 * Pi);
    if (a <= -Pi)
        a += 2 * Pi;
    else if (a > Pi)
        a -= 2 * Pi;
    return a;
}

double DistanceToSegment(Vec2 p, Vec2 a, Vec2 b)
{
    const Vec2 ab = b - a;
    const double len2 = Dot(ab, ab);
    double t = len2 > 0 ? Dot(p - a, ab) / len2 : 0;
    t = std::clamp(t, 0.0, 1.0);
    return Length(p - (a + t * ab));
}

double SignedDistanceToRect(Vec2 p, const Rect &rect)
{
    const double cx = rect.x + rect.width / 2, cy = rect.y + rect.height / 2;
    const double dx = std::abs(p.x - cx) - rect.width / 2;
    const double dy = std::abs(p.y - cy) - rect.height / 2;
    const double outside = std::hypot(std::max(dx, 0.0), std::max(dy, 0.0));
    const double inside = std::min(std::max(dx, dy), 0.0);
    return outside + inside;
}

double RayToRect(Vec2 origin, Vec2 dir, const Rect &rect)
{
    // Slab method: the ray's parameter interval inside both slabs.
    double enter = -std::numeric_limits<double>::infinity();
    double leave = std::numeric_limits<double>::infinity();
    const double lo[2] = {rect.x, rect.y};
    const double hi[2] = {rect.x + rect.width, rect.y + rect.height};
    const double o[2] = {origin.x, origin.y};
    const double d[2] = {dir.x, dir.y};
    for (int axis = 0; axis < 2; ++axis) {
        if (std::abs(d[axis]) < 1e-15) {
            if (o[axis] < lo[axis] || o[axis] > hi[axis])
                return -1;
            continue;
        }
        double t0 = (lo[axis] - o[axis]) / d[axis];
        double t1 = (hi[axis] - o[axis]) / d[axis];
        if (t0 > t1)
            std::swap(t0, t1);
        enter = std::max(enter, t0);
        leave = std::min(leave, t1);
    }
    if (leave < enter || leave < 0)
        return -1;
    return std::max(enter, 0.0);
}

double RayToBoxWalls(Vec2 origin, Vec2 dir, double width, double height)
{
    double best = std::numeric_limits<double>::infinity();
    if (dir.x > 1e-15)
        best = std::min(best, (width - origin.x) / dir.x);
    else if (dir.x < -1e-15)
        best = std::min(best, -origin.x / dir.x);
    if (dir.y > 1e-15)
        best = std::min(best, (height - origin.y) / dir.y);
    else if (dir.y < -1e-15)
        best = std::min(best, -origin.y / dir.y);
    return std::max(best, 0.0);
}

namespace {
// One point of a centripetal Catmull-Rom span from p1 to p2 (t in 0..1).
Vec2 CatmullRom(Vec2 p0, Vec2 p1, Vec2 p2, Vec2 p3, double t)
{
    // Knot spacing by the square root of the chord length keeps the curve
    // free of loops and cusps whatever the spacing of the control points.
    auto knot = [](Vec2 a, Vec2 b) { return std::max(std::sqrt(Length(b - a)), 1e-9); };
    const double t0 = 0, t1 = t0 + knot(p0, p1), t2 = t1 + knot(p1, p2), t3 = t2 + knot(p2, p3);
    const double u = t1 + t * (t2 - t1);
    auto lerp = [](Vec2 a, Vec2 b, double ta, double tb, double x) {
        return ((tb - x) / (tb - ta)) * a + ((x - ta) / (tb - ta)) * b;
    };
    const Vec2 a1 = lerp(p0, p1, t0, t1, u);
    const Vec2 a2 = lerp(p1, p2, t1, t2, u);
    const Vec2 a3 = lerp(p2, p3, t2, t3, u);
    const Vec2 b1 = lerp(a1, a2, t0, t2, u);
    const Vec2 b2 = lerp(a2, a3, t1, t3, u);
    return lerp(b1, b2, t1, t2, u);
}
} // namespace

std::vector<Vec2> SmoothPath(const std::vector<Vec2> &controls, bool closed, int perSpan)
{
    const int n = static_cast<int>(controls.size());
    if (n < 3 || perSpan < 1)
        return controls;
    auto at = [&](int i) {
        if (closed)
            return controls[static_cast<size_t>((i % n + n) % n)];
        if (i < 0) // mirrored end points keep the ends straight
            return controls[0] + (controls[0] - controls[1]);
        if (i >= n)
            return controls[static_cast<size_t>(n - 1)] +
                   (controls[static_cast<size_t>(n - 1)] - controls[static_cast<size_t>(n - 2)]);
        return controls[static_cast<size_t>(i)];
    };
    std::vector<Vec2> out;
    const int spans = closed ? n : n - 1;
    for (int i = 0; i < spans; ++i)
        for (int k = 0; k < perSpan; ++k)
            out.push_back(CatmullRom(at(i - 1), at(i), at(i + 1), at(i + 2), double(k) / perSpan));
    if (!closed)
        out.push_back(controls.back());
    return out;
}

PathProjection ProjectOntoPath(const std::vector<Vec2> &path, bool closed, Vec2 p)
{
    PathProjection best;
    best.distance = std::numeric_limits<double>::infinity();
    if (path.empty())
        return best;
    if (path.size() == 1) {
        best.distance = Length(p - path[0]);
        return best;
    }
    const size_t segments = closed ? path.size() : path.size() - 1;
    // Squared distances while searching (no root per segment), and the arc
    // length of the nearest point only.
    double bestSquared = std::numeric_limits<double>::infinity();
    size_t bestSegment = 0;
    double bestT = 0;
    for (size_t i = 0; i < segments; ++i) {
        const Vec2 a = path[i], b = path[(i + 1) % path.size()];
        const Vec2 ab = b - a;
        const double len2 = Dot(ab, ab);
        const double t = len2 > 0 ? std::clamp(Dot(p - a, ab) / len2, 0.0, 1.0) : 0;
        const Vec2 off = p - (a + t * ab);
        const double d2 = Dot(off, off);
        if (d2 < bestSquared) {
            bestSquared = d2;
            bestSegment = i;
            bestT = t;
        }
    }
    if (!(bestSquared < std::numeric_limits<double>::infinity()))
        return best; // an undefined point is near nothing
    const Vec2 a = path[bestSegment], b = path[(bestSegment + 1) % path.size()];
    best.distance = Length(p - (a + bestT * (b - a)));
    for (size_t i = 0; i < bestSegment; ++i)
        best.arcLength += Length(path[i + 1] - path[i]);
    best.arcLength += bestT * Length(b - a);
    return best;
}

double PathLength(const std::vector<Vec2> &path, bool closed)
{
    double total = 0;
    if (path.size() < 2)
        return 0;
    const size_t segments = closed ? path.size() : path.size() - 1;
    for (size_t i = 0; i < segments; ++i)
        total += Length(path[(i + 1) % path.size()] - path[i]);
    return total;
}

} // namespace sim
