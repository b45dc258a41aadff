#include "sim/testing/LargestWorld.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

QByteArray LargestWorldJson()
{
    constexpr double Side = 100;     // metres, the largest arena
    constexpr int TrackPoints = 1000; // the most control points
    constexpr int Obstacles = 256;   // the most obstacles
    constexpr double Pi = 3.14159265358979323846;

    // A wavy ring around the arena's middle, 35 to 45 m from it.
    QJsonArray points;
    for (int i = 0; i < TrackPoints; ++i) {
        const double a = 2 * Pi * i / TrackPoints;
        const double r = 40 + 5 * std::sin(12 * a);
        points.append(QJsonArray{Side / 2 + r * std::cos(a), Side / 2 + r * std::sin(a)});
    }
    // A grid of small boxes inside the ring.
    QJsonArray obstacles;
    for (int i = 0; i < Obstacles; ++i)
        obstacles.append(QJsonObject{{"x", 30 + 2.5 * (i % 16)}, {"y", 30 + 2.5 * (i / 16)},
                                     {"width", 0.5}, {"height", 0.5}});
    const QJsonObject world{
        {"units", "m"},
        {"arena", QJsonObject{{"width", Side}, {"height", Side},
                              {"texture", QJsonObject{{"tile", 0.0001}, {"contrast", 1}, {"grain", 1},
                                                      {"grainSize", 0.0001}}}}},
        {"track", QJsonObject{{"points", points}, {"closed", true}, {"smooth", true}, {"width", 1}}},
        {"obstacles", obstacles},
        {"robot", QJsonObject{
                      {"start", QJsonObject{{"track", 0}}},
                      {"wheelSpeed", 10},
                      {"trackWidth", 2},
                      {"bodyRadius", 2},
                      {"lineSensors", QJsonObject{{"left", QJsonArray{2, 2}}, {"right", QJsonArray{2, -2}}}},
                      {"obstacleSensor", QJsonObject{{"position", QJsonArray{2, 0}}, {"range", 100},
                                                     {"halfAngle", 89.99}}},
                      {"camera", QJsonObject{{"near", -2}, {"far", 2}, {"nearWidth", 4}, {"farWidth", 4}}},
                  }},
    };
    return QJsonDocument(world).toJson(QJsonDocument::Compact);
}
