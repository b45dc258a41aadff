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
// The largest world file read.
constexpr qint64 MaxFileBytes = 4 << 20;

// The ranges a world's numbers must lie in, lengths in metres, speeds in
// metres per second, angles in degrees. They keep every accepted world quick
// to start and small in memory (see sim/README.md).
struct Range {
    double low;
    double high;
    bool belowHigh = false; // high itself is outside
};
constexpr Range ArenaSize{0.1, 100};
constexpr Range TextureSize{0.0001, 100}; // tile and grain sizes
constexpr Range Fraction{0, 1};
constexpr int MaxTrackPoints = 1000;
constexpr Range LineWidth{0.001, 1};
constexpr int MaxObstacles = 256;
constexpr Range ObstacleSize{0.001, 100};
constexpr Range WheelSpeed{0.001, 10};
constexpr Range RobotSize{0.01, 2}; // track width and body radius
constexpr Range OnRobot{-2, 2};     // points in the robot's frame, camera distances
constexpr Range SensorRange{0.001, 100};
constexpr Range CameraWidth{0.001, 4};
constexpr Range HalfAngle{0, 90, true};
constexpr Range Heading{-360, 360};
constexpr Range AlongTrack{-1000, 1000};
constexpr Range TrackOffset{-100, 100};

// What a number of the file measures, for its unit.
enum class Quantity { Length, Speed, Angle, Plain };

[[noreturn]] void Fail(const QString &where, const QString &what)
{
    throw WorldError((where + ": " + what).toStdString());
}

QString Text(double value) { return QString::number(value, 'g', 12); }

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

bool BoolAt(const QJsonObject &o, const QString &key, const QString &where, bool fallback)
{
    const QJsonValue v = o.value(key);
    if (v.isUndefined())
        return fallback;
    if (!v.isBool())
        Fail(where + "." + key, "must be true or false");
    return v.toBool();
}

// Reads the file's numbers, checks them against their ranges and converts
// lengths and speeds to metres.
class Reader {
public:
    Reader(double metresPerUnit, QString unit) : scale_(metresPerUnit), unit_(std::move(unit)) {}

    // The number at `where` (as the file writes it) within `range`; lengths
    // and speeds come back in metres.
    double Checked(const QJsonValue &v, const QString &where, Quantity q, Range range) const
    {
        if (!v.isDouble())
            Fail(where, "must be a number");
        const double written = v.toDouble();
        const double k = q == Quantity::Length || q == Quantity::Speed ? scale_ : 1;
        const double value = written * k;
        const bool inside = value >= range.low && (range.belowHigh ? value < range.high : value <= range.high);
        if (!inside) { // also a number too large for a double
            Fail(where, QString("%1 is outside the range %2 to %3%4%5")
                            .arg(Text(written), Text(range.low / k), range.belowHigh ? "below " : "",
                                 Text(range.high / k), UnitText(q)));
        }
        return value;
    }
    double Number(const QJsonObject &o, const QString &key, const QString &where, Quantity q, Range range,
                  double fallback) const
    {
        const QJsonValue v = o.value(key);
        return v.isUndefined() ? fallback : Checked(v, where + "." + key, q, range);
    }
    double Required(const QJsonObject &o, const QString &key, const QString &where, Quantity q, Range range) const
    {
        if (!o.contains(key))
            Fail(where + "." + key, "is missing");
        return Checked(o.value(key), where + "." + key, q, range);
    }
    Vec2 Point(const QJsonValue &v, const QString &where, Range x, Range y) const
    {
        const QJsonArray a = v.toArray();
        if (!v.isArray() || a.size() != 2 || !a[0].isDouble() || !a[1].isDouble())
            Fail(where, "must be a pair of numbers [x, y]");
        return {Checked(a[0], where + "[0]", Quantity::Length, x), Checked(a[1], where + "[1]", Quantity::Length, y)};
    }
    Vec2 PointAt(const QJsonObject &o, const QString &key, const QString &where, Range range, Vec2 fallback) const
    {
        const QJsonValue v = o.value(key);
        return v.isUndefined() ? fallback : Point(v, where + "." + key, range, range);
    }

private:
    QString UnitText(Quantity q) const
    {
        switch (q) {
        case Quantity::Length:
            return " " + unit_;
        case Quantity::Speed:
            return " " + unit_ + "/s";
        case Quantity::Angle:
            return " degrees";
        case Quantity::Plain:
            break;
        }
        return {};
    }

    double scale_;
    QString unit_;
};

// Positions of things in the arena (track points, obstacles) may lie up to
// one arena size beyond its edges.
Range AcrossArena(double size) { return {-size, 2 * size}; }

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
        for (int i = 0; ok && i < 3; ++i) {
            const double c = a[i].toDouble(-1);
            ok = a[i].isDouble() && c >= 0 && c <= 255 && c == std::floor(c);
        }
        if (ok)
            return {uint8_t(a[0].toInt()), uint8_t(a[1].toInt()), uint8_t(a[2].toInt())};
    }
    Fail(at, "must be a colour \"#rrggbb\" or [r, g, b] with whole values 0..255");
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
    if (points.size() > MaxTrackPoints)
        Fail(where + ".points", QString("has %1 points; at most %2").arg(points.size()).arg(MaxTrackPoints));
    const Range x = AcrossArena(world.width), y = AcrossArena(world.height);
    for (int i = 0; i < points.size(); ++i)
        world.track.controls.push_back(read.Point(points[i], QString("%1.points[%2]").arg(where).arg(i), x, y));
    world.track.closed = BoolAt(t, "closed", where, true);
    const bool smooth = BoolAt(t, "smooth", where, true);
    world.track.width = read.Number(t, "width", where, Quantity::Length, LineWidth, world.track.width);
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
    if (a.size() > MaxObstacles)
        Fail("obstacles", QString("has %1 obstacles; at most %2").arg(a.size()).arg(MaxObstacles));
    const Range x = AcrossArena(world.width), y = AcrossArena(world.height);
    for (int i = 0; i < a.size(); ++i) {
        const QString where = QString("obstacles[%1]").arg(i);
        if (!a[i].isObject())
            Fail(where, "must be an object");
        const QJsonObject o = a[i].toObject();
        CheckKeys(o, where, {"x", "y", "width", "height", "colour"});
        Obstacle obstacle;
        obstacle.rect = {read.Required(o, "x", where, Quantity::Length, x),
                         read.Required(o, "y", where, Quantity::Length, y),
                         read.Required(o, "width", where, Quantity::Length, ObstacleSize),
                         read.Required(o, "height", where, Quantity::Length, ObstacleSize)};
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
        const double along = read.Number(s, "track", where, Quantity::Length, AlongTrack, 0);
        const double offset = read.Number(s, "offset", where, Quantity::Length, TrackOffset, 0);
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
            start.heading = read.Number(s, "heading", where, Quantity::Angle, Heading, 0) * Pi / 180;
        return;
    }
    start.x = read.Number(s, "x", where, Quantity::Length, AcrossArena(world.width), world.width / 2);
    start.y = read.Number(s, "y", where, Quantity::Length, AcrossArena(world.height), world.height / 2);
    start.heading = read.Number(s, "heading", where, Quantity::Angle, Heading, 0) * Pi / 180;
}

void ReadRobot(const QJsonObject &root, const Reader &read, World &world)
{
    const QString where = "robot";
    const QJsonObject r = ObjectAt(root, "robot", "world");
    CheckKeys(r, where, {"start", "wheelSpeed", "trackWidth", "bodyRadius", "lineSensors",
                         "obstacleSensor", "camera"});
    RobotSpec &robot = world.robot;
    robot.wheelSpeed = read.Number(r, "wheelSpeed", where, Quantity::Speed, WheelSpeed, robot.wheelSpeed);
    robot.trackWidth = read.Number(r, "trackWidth", where, Quantity::Length, RobotSize, robot.trackWidth);
    robot.bodyRadius = read.Number(r, "bodyRadius", where, Quantity::Length, RobotSize, robot.bodyRadius);

    const QJsonObject sensors = ObjectAt(r, "lineSensors", where);
    CheckKeys(sensors, where + ".lineSensors", {"left", "right"});
    robot.leftSensor = read.PointAt(sensors, "left", where + ".lineSensors", OnRobot, robot.leftSensor);
    robot.rightSensor = read.PointAt(sensors, "right", where + ".lineSensors", OnRobot, robot.rightSensor);

    const QJsonObject obstacle = ObjectAt(r, "obstacleSensor", where);
    const QString ow = where + ".obstacleSensor";
    CheckKeys(obstacle, ow, {"position", "range", "halfAngle"});
    ObstacleSensor &o = robot.obstacleSensor;
    o.position = read.PointAt(obstacle, "position", ow, OnRobot, {robot.bodyRadius, 0});
    o.range = read.Number(obstacle, "range", ow, Quantity::Length, SensorRange, o.range);
    o.halfAngle = read.Number(obstacle, "halfAngle", ow, Quantity::Angle, HalfAngle, o.halfAngle * 180 / Pi) * Pi / 180;

    const QJsonObject camera = ObjectAt(r, "camera", where);
    const QString cw = where + ".camera";
    CheckKeys(camera, cw, {"near", "far", "nearWidth", "farWidth"});
    CameraFootprint &c = robot.camera;
    c.nearDistance = read.Number(camera, "near", cw, Quantity::Length, OnRobot, c.nearDistance);
    c.farDistance = read.Number(camera, "far", cw, Quantity::Length, OnRobot, c.farDistance);
    c.nearWidth = read.Number(camera, "nearWidth", cw, Quantity::Length, CameraWidth, c.nearWidth);
    c.farWidth = read.Number(camera, "farWidth", cw, Quantity::Length, CameraWidth, c.farWidth);
    if (!(c.farDistance > c.nearDistance))
        Fail(cw + ".far", QString("must be greater than near (%1 m against %2 m)")
                              .arg(Text(c.farDistance), Text(c.nearDistance)));

    ReadStart(r, read, world);
    const Pose &s = robot.start;
    if (!(s.x - robot.bodyRadius >= 0 && s.y - robot.bodyRadius >= 0 && s.x + robot.bodyRadius <= world.width &&
          s.y + robot.bodyRadius <= world.height))
        Fail(where + ".start", QString("puts the robot's body outside the arena (centre at %1, %2 m, radius %3 m)")
                                   .arg(Text(s.x), Text(s.y), Text(robot.bodyRadius)));
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

    const QJsonValue unitsValue = root.value("units");
    const QString units = unitsValue.toString("m");
    double metresPerUnit = 1;
    if (units == "cm" && unitsValue.isString())
        metresPerUnit = 0.01;
    else if (units != "m" || !(unitsValue.isString() || unitsValue.isUndefined()))
        Fail("units", "must be \"m\" or \"cm\"");
    const Reader read(metresPerUnit, units);

    World world;
    const QJsonObject arena = ObjectAt(root, "arena", "world");
    if (!root.contains("arena"))
        Fail("arena", "is missing");
    CheckKeys(arena, "arena", {"width", "height", "floor", "wall", "texture"});
    world.width = read.Required(arena, "width", "arena", Quantity::Length, ArenaSize);
    world.height = read.Required(arena, "height", "arena", Quantity::Length, ArenaSize);
    world.floor = ColourAt(arena, "floor", "arena", world.floor);
    world.wall = ColourAt(arena, "wall", "arena", world.wall);
    const QJsonObject texture = ObjectAt(arena, "texture", "arena");
    const QString tw = "arena.texture";
    CheckKeys(texture, tw, {"tile", "contrast", "grain", "grainSize"});
    FloorTexture &tex = world.texture;
    tex.tile = read.Number(texture, "tile", tw, Quantity::Length, TextureSize, tex.tile);
    tex.grainSize = read.Number(texture, "grainSize", tw, Quantity::Length, TextureSize, tex.grainSize);
    tex.contrast = read.Number(texture, "contrast", tw, Quantity::Plain, Fraction, tex.contrast);
    tex.grain = read.Number(texture, "grain", tw, Quantity::Plain, Fraction, tex.grain);

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
    // Read no more than the largest world file, so that a huge file (or a
    // device that never ends) is refused instead of filling the memory.
    const QByteArray json = file.read(MaxFileBytes + 1);
    if (json.size() > MaxFileBytes)
        throw WorldError(QString("%1: larger than %2 MiB; not a world file").arg(path).arg(MaxFileBytes >> 20).toStdString());
    try {
        return ParseWorld(json);
    } catch (const WorldError &e) {
        throw WorldError((path + ": " + QString::fromStdString(e.what())).toStdString());
    }
}

} // namespace sim
