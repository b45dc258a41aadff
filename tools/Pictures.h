#pragma once
// The pictures and the sound the program shows and plays, drawn here rather
// than kept as binary files of unknown origin.
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QString>

// An illustration of the robot seen from above: chassis plate, the driving
// motor between the two wheels, the steering motor at the front, the battery
// and the circuit boards with the parallel-port cable.
QImage DrawRobot(int width, int height);

// A status picture: `word` in capitals, centred on `background`, with an arrow
// pointing left (-1) or right (+1) beside it when `arrow` is not 0.
QImage DrawStatusPicture(int width, int height, const QString &word, const QColor &background,
                         const QColor &ink, int arrow = 0);

// A WAV file (RIFF, 16-bit PCM, mono): a sine tone with short fades at both ends.
QByteArray ToneWav(double frequencyHz, double seconds, int sampleRate);
