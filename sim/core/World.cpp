#include "sim/core/World.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace sim {
namespace {
// Points of the smoothed centre line per span between two control points.
constexpr int SmoothPointsPerSpan = 48;

[[noreturn]] void Fail(const QString &where, const QString &what)
{
    throw WorldError((where + ": " + what).toStdString());
}

// Rejects keys the format does not know, so that a misspelt key is not
// silently replaced by its default.
void CheckKeys(const QJsonObject &object, const QString &where, const QStringList &known)
{
    for (const QString &key : object.keys())
        if (!known.contains(key))
            Fail(where, "unknown key \"" + key + "\" (known: " + known.join(", ") + ")");
}

QJsonObject ObjectAt(const QJsonObject &parent, const QString &key, const QString &where)
{
    const QJsonValue value = parent.value(key);
    if (value.isUndefined())
        return {};
    if (!value.isObject())
        Fail(where + "." + key, "must be an object");
    return value.toObject();
}

// Reads the file's lengths and converts them to metres.
class Reader {
public:
    explicit Reader(double metresPerUnit) : scale_(metresPerUnit) {}

    double Number(const QJsonObject &o, const QString &key, const QString &where, double fallback,
                  bool required = false) const
    {
        const QJsonValue v = o.value(key);
        if (v.isUndefined()) {
            if (required)
                Fail(where + "." + key, "is missing");
            return fallback;
        }
        if (!v.isDouble() || !std::isfinite(v.toDouble()))
            Fail(where + "." + key, "must be a number");
        return v.toDouble();
    }
    double Length(const QJsonObject &o, const QString &key, const QString &where, double fallbackMetres,
                  bool required = false) const
    {
        const QJsonValue v = o.value(key);
        if (v.isUndefined() && !required)
            return fallbackMetres;
        return Number(o, key, where, 0, required) * scale_;
    }
    Vec2 Point(const QJsonValue &v, const QString &where) const
    {
        const QJsonArray a = v.toArray();
        if (!v.isArray() || a.size() != 2 || !a[0].isDouble() || !a[1].isDouble())
            Fail(where, "must be a pair of numbers [x, y]");
        return {a[0].toDouble() * scale_, a[1].toDouble() * scale_};
    }
    Vec2 PointAt(const QJsonObject &o, const QString &key, const QString &where, Vec2 fallback) const
    {
        const QJsonValue v = o.value(key);
        return v.isUndefined() ? fallback : Point(v, where + "." + key);
    }

private:
    double scale_;
};

Colour ColourAt(const QJsonObject &o, const QString &key, const QString &where, Colour fallback)
{
    const QJsonValue v = o.value(key);
    const QString at = where + "." + key;
    if (v.isUndefined())
        return fallback;
    if (v.isString()) {
        const QString s = v.toString();
        const QString hex = s.mid(1);
        const bool ok = s.size() == 7 && s[0] == '#' && std::all_of(hex.begin(), hex.end(), [](QChar c) {
                            return std::isxdigit(static_cast<unsigned char>(c.toLatin1())) != 0;
                        });
        if (ok) {
            const unsigned rgb = hex.toUInt(nullptr, 16);
            return {uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)};
        }
    } else if (v.isArray()) {
        const QJsonArray a = v.toArray();
        bool ok = a.size() == 3;
        for (int i = 0; ok && i < 3; ++i)
            ok = a[i].isDouble() && a[i].toDouble() >= 0 && a[i].toDouble() <= 255;
        if (ok)
            return {uint8_t(a[0].toInt()), uint8_t(a[1].toInt()), uint8_t(a[2].toInt())};
    }
    Fail(at, "must be a colour \"#rrggbb\" or [r, g, b] with values 0..255");
}

void RequirePositive(double value, const QString &where)
{
    if (!(value > 0))
        Fail(where, "must be greater than 0");
}

void ReadTrack(const QJsonObject &root, const Reader &read, World &world)
{
    const QString where = "track";
    if (!root.contains("track"))
        return; // an arena without a line
    const QJsonObject t = ObjectAt(root, "track", "world");
    CheckKeys(t, where, {"points", "closed", "smooth", "width", "colour"});
    const QJsonArray points = t.value("points").toArray();
    if (points.size() < 2)
        Fail(where + ".points", "needs at least two points");
    for (int i = 0; i < points.size(); ++i)
        world.track.controls.push_back(read.Point(points[i], QString("%1.points[%2]").arg(where).arg(i)));
    world.track.closed = t.value("closed").toBool(true);
    const bool smooth = t.value("smooth").toBool(true);
    world.track.width = read.Length(t, "width", where, world.track.width);
    RequirePositive(world.track.width, where + ".width");
    world.track.colour = ColourAt(t, "colour", where, world.track.colour);
    world.track.path = smooth ? SmoothPath(world.track.controls, world.track.closed, SmoothPointsPerSpan)
                              : world.track.controls;
}

void ReadObstacles(const QJsonObject &root, const Reader &read, World &world)
{
    const QJsonValue list = root.value("obstacles");
    if (list.isUndefined())
        return;
    if (!list.isArray())
        Fail("obstacles", "must be a list");
    const QJsonArray a = list.toArray();
    for (int i = 0; i < a.size(); ++i) {
        const QString where = QString("obstacles[%1]").arg(i);
        if (!a[i].isObject())
            Fail(where, "must be an object");
        const QJsonObject o = a[i].toObject();
        CheckKeys(o, where, {"x", "y", "width", "height", "colour"});
        Obstacle obstacle;
        obstacle.rect = {read.Length(o, "x", where, 0, true), read.Length(o, "y", where, 0, true),
                         read.Length(o, "width", where, 0, true), read.Length(o, "height", where, 0, true)};
        RequirePositive(obstacle.rect.width, where + ".width");
        RequirePositive(obstacle.rect.height, where + ".height");
        obstacle.colour = ColourAt(o, "colour", where, obstacle.colour);
        world.obstacles.push_back(obstacle);
    }
}

void ReadStart(const QJsonObject &r, const Reader &read, World &world)
{
    const QString where = "robot.start";
    const QJsonObject s = ObjectAt(r, "start", "robot");
    CheckKeys(s, where, {"x", "y", "heading", "track", "offset"});
    Pose &start = world.robot.start;
    if (s.contains("track") && world.track.path.empty())
        Fail(where + ".track", "needs a track in the world");
    if (s.contains("track")) {
        // On the centre line, `track` along it from its first point, facing
        // along it, `offset` to the left.
        const double along = read.Length(s, "track", where, 0);
        const double offset = read.Length(s, "offset", where, 0);
        const std::vector<Vec2> &path = world.track.path;
        const size_t segments = world.track.closed ? path.size() : path.size() - 1;
        const double total = world.track.Length();
        double left = world.track.closed && total > 0 ? std::fmod(std::fmod(along, total) + total, total)
                                                      : std::clamp(along, 0.0, total);
        for (size_t i = 0; i < segments; ++i) {
            const Vec2 a = path[i], b = path[(i + 1) % path.size()];
            const double len = Length(b - a);
            if (left <= len || i + 1 == segments) {
                const Vec2 dir = len > 0 ? (1 / len) * (b - a) : Vec2{1, 0};
                const Vec2 p = a + std::min(left, len) * dir;
                start = {p.x - offset * dir.y, p.y + offset * dir.x, std::atan2(dir.y, dir.x)};
                break;
            }
            left -= len;
        }
        if (s.contains("heading"))
            start.heading = read.Number(s, "heading", where, 0) * Pi / 180;
        return;
    }
    start.x = read.Length(s, "x", where, world.width / 2);
    start.y = read.Length(s, "y", where, world.height / 2);
    start.heading = read.Number(s, "heading", where, 0) * Pi / 180;
}

void ReadRobot(const QJsonObject &root, const Reader &read, World &world)
{
    const QString where = "robot";
    const QJsonObject r = ObjectAt(root, "robot", "world");
    CheckKeys(r, where, {"start", "wheelSpeed", "trackWidth", "bodyRadius", "lineSensors",
                         "obstacleSensor", "camera"});
    RobotSpec &robot = world.robot;
    robot.wheelSpeed = read.Length(r, "wheelSpeed", where, robot.wheelSpeed);
    robot.trackWidth = read.Length(r, "trackWidth", where, robot.trackWidth);
    robot.bodyRadius = read.Length(r, "bodyRadius", where, robot.bodyRadius);
    RequirePositive(robot.wheelSpeed, where + ".wheelSpeed");
    RequirePositive(robot.trackWidth, where + ".trackWidth");
    RequirePositive(robot.bodyRadius, where + ".bodyRadius");

    const QJsonObject sensors = ObjectAt(r, "lineSensors", where);
    CheckKeys(sensors, where + ".lineSensors", {"left", "right"});
    robot.leftSensor = read.PointAt(sensors, "left", where + ".lineSensors", robot.leftSensor);
    robot.rightSensor = read.PointAt(sensors, "right", where + ".lineSensors", robot.rightSensor);

    const QJsonObject obstacle = ObjectAt(r, "obstacleSensor", where);
    const QString ow = where + ".obstacleSensor";
    CheckKeys(obstacle, ow, {"position", "range", "halfAngle"});
    robot.obstacleSensor.position = read.PointAt(obstacle, "position", ow, {robot.bodyRadius, 0});
    robot.obstacleSensor.range = read.Length(obstacle, "range", ow, robot.obstacleSensor.range);
    robot.obstacleSensor.halfAngle =
        read.Number(obstacle, "halfAngle", ow, robot.obstacleSensor.halfAngle * 180 / Pi) * Pi / 180;
    RequirePositive(robot.obstacleSensor.range, ow + ".range");
    if (robot.obstacleSensor.halfAngle < 0 || robot.obstacleSensor.halfAngle >= Pi / 2)
        Fail(ow + ".halfAngle", "must be from 0 to below 90 degrees");

    const QJsonObject camera = ObjectAt(r, "camera", where);
    const QString cw = where + ".camera";
    CheckKeys(camera, cw, {"near", "far", "nearWidth", "farWidth"});
    CameraFootprint &c = robot.camera;
    c.nearDistance = read.Length(camera, "near", cw, c.nearDistance);
    c.farDistance = read.Length(camera, "far", cw, c.farDistance);
    c.nearWidth = read.Length(camera, "nearWidth", cw, c.nearWidth);
    c.farWidth = read.Length(camera, "farWidth", cw, c.farWidth);
    if (!(c.farDistance > c.nearDistance))
        Fail(cw + ".far", "must be greater than near");
    RequirePositive(c.nearWidth, cw + ".nearWidth");
    RequirePositive(c.farWidth, cw + ".farWidth");

    ReadStart(r, read, world);
    const Pose &s = robot.start;
    if (s.x - robot.bodyRadius < 0 || s.y - robot.bodyRadius < 0 || s.x + robot.bodyRadius > world.width ||
        s.y + robot.bodyRadius > world.height)
        Fail(where + ".start", "puts the robot's body outside the arena");
}
} // namespace

World ParseWorld(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        Fail("world", QString("not valid JSON at offset %1: %2").arg(error.offset).arg(error.errorString()));
    if (!doc.isObject())
        Fail("world", "must be a JSON object");
    const QJsonObject root = doc.object();
    CheckKeys(root, "world", {"units", "arena", "track", "obstacles", "robot"});

    const QString units = root.value("units").toString("m");
    double metresPerUnit = 1;
    if (units == "cm")
        metresPerUnit = 0.01;
    else if (units != "m")
        Fail("units", "must be \"m\" or \"cm\"");
    const Reader read(metresPerUnit);

    World world;
    const QJsonObject arena = ObjectAt(root, "arena", "world");
    if (!root.contains("arena"))
        Fail("arena", "is missing");
    CheckKeys(arena, "arena", {"width", "height", "floor", "wall", "texture"});
    world.width = read.Length(arena, "width", "arena", 0, true);
    world.height = read.Length(arena, "height", "arena", 0, true);
    RequirePositive(world.width, "arena.width");
    RequirePositive(world.height, "arena.height");
    world.floor = ColourAt(arena, "floor", "arena", world.floor);
    world.wall = ColourAt(arena, "wall", "arena", world.wall);
    const QJsonObject texture = ObjectAt(arena, "texture", "arena");
    CheckKeys(texture, "arena.texture", {"tile", "contrast", "grain", "grainSize"});
    FloorTexture &tex = world.texture;
    tex.tile = read.Length(texture, "tile", "arena.texture", tex.tile);
    tex.grainSize = read.Length(texture, "grainSize", "arena.texture", tex.grainSize);
    tex.contrast = read.Number(texture, "contrast", "arena.texture", tex.contrast);
    tex.grain = read.Number(texture, "grain", "arena.texture", tex.grain);
    RequirePositive(tex.tile, "arena.texture.tile");
    RequirePositive(tex.grainSize, "arena.texture.grainSize");
    if (tex.contrast < 0 || tex.contrast > 1 || tex.grain < 0 || tex.grain > 1)
        Fail("arena.texture", "contrast and grain must lie from 0 to 1");

    ReadTrack(root, read, world);
    ReadObstacles(root, read, world);
    ReadRobot(root, read, world);
    return world;
}

World LoadWorld(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw WorldError((path + ": " + file.errorString()).toStdString());
    try {
        return ParseWorld(file.readAll());
    } catch (const WorldError &e) {
        throw WorldError((path + ": " + QString::fromStdString(e.what())).toStdString());
    }
}

} // namespace sim
