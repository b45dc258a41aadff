#pragma once
// For tests and benchmarks: a world file at the limits of every range the
// world reader accepts (the largest arena, the most track points and
// obstacles, the finest texture, the fastest and widest robot).
#include <QByteArray>

QByteArray LargestWorldJson();
