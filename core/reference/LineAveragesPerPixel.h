#pragma once
// The reference reading of the camera line follower's averages: one pixel at
// a time through QImage::pixel(), the plain way. The tests, the benchmark and
// the frame fuzz harness hold AverageFrame (core/LineAnalysis.h), which reads
// whole rows, against it. Not part of the program.
#include "core/LineAnalysis.h"

#include <QImage>

// The averages AverageFrame gives, read pixel by pixel: positions outside a
// smaller picture count as the invalid colour, every channel 255.
LineAverages AverageFramePerPixel(const QImage &picture);
