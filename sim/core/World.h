#pragma once
// The virtual robot's world: the arena, its floor, the line track, the
// obstacles, and the robot's constants and start pose. Read from a JSON file
// (format in sim/README.md); all lengths are kept in metres.
#include "sim/core/Geometry.h"

#include <QString>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class QByteArray;

namespace sim {

struct Colour {
    uint8_t r = 0;
    uint8_t g = 0;
    uint8_t b = 0;
};

// A pattern painted into the floor so that the camera sees motion: square
// tiles whose brightness alternates by `contrast` (a fraction, 0 none) and
// a fixed grain of small specks of random brightness within ±grain/2.
struct FloorTexture {
    double tile = 0.1;     // metres, side of one tile
    double contrast = 0;   // 0..1
    double grain = 0;      // 0..1
    double grainSize = 0.004; // metres, side of one speck
};

// The line on the floor; a world may have none (an empty path).
struct Track {
    std::vector<Vec2> controls; // as the file gives them
    std::vector<Vec2> path;     // the centre line as a dense polyline
    bool closed = true;
    double width = 0.025;
    Colour colour{30, 30, 30};

    // Nearest point of the centre line.
    PathProjection Project(Vec2 p) const { return ProjectOntoPath(path, closed, p); }
    double Length() const { return PathLength(path, closed); }
};

struct Obstacle {
    Rect rect;
    Colour colour{170, 60, 50};
};

// The obstacle sensor looks ahead from a point of the robot in a narrow cone.
struct ObstacleSensor {
    Vec2 position{0.08, 0};  // (forward, left) in the robot's frame
    double range = 0.25;     // metres from `position`
    double halfAngle = 0.26; // radians, half the opening of the cone
};

// The floor patch the camera sees: a trapezoid ahead of the robot, `near`
// to `far` metres from its centre, `nearWidth` wide at the near edge and
// `farWidth` at the far edge. The picture's top row is the far edge and its
// left column the robot's left.
struct CameraFootprint {
    double nearDistance = 0.06;
    double farDistance = 0.14;
    double nearWidth = 0.06;
    double farWidth = 0.08;
};

struct RobotSpec {
    Pose start;
    double wheelSpeed = 0.15; // m/s of a driven wheel's rim
    double trackWidth = 0.12; // metres between the wheels
    double bodyRadius = 0.08; // the body is a disc of this radius
    Vec2 leftSensor{0.06, 0.02};   // line sensors, (forward, left)
    Vec2 rightSensor{0.06, -0.02};
    ObstacleSensor obstacleSensor;
    CameraFootprint camera;
};

struct World {
    double width = 3;  // metres, x extent of the arena
    double height = 2; // metres, y extent
    Colour floor{225, 220, 205};
    Colour wall{90, 90, 95};
    FloorTexture texture;
    Track track;
    std::vector<Obstacle> obstacles;
    RobotSpec robot;
};

// A world file that cannot be used; the message names the file's field.
class WorldError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

World ParseWorld(const QByteArray &json);
World LoadWorld(const QString &path);

} // namespace sim
