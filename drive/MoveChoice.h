#pragma once
// The move a drop-down list chooses, as the move series and the avoidance moves
// offer it: the item index names the command and the duration variable.
#include <QString>

enum class MoveChoice : int {
    None = -1,    // no item selected: no move, the duration is not read
    Backward = 0, // "silnik napedzajacy do tylu"   MoveBackward, ForwardTimeMs
    Forward = 1,  // "silnik napedzajacy do przodu" MoveForward,  ForwardTimeMs
    Right = 2,    // "silnik skrecajacy w prawo"    TurnRight,    TurnTimeMs
    Left = 3,     // "silnik skrecajacy w lewo"     TurnLeft,     TurnTimeMs
};

// For an item index of the list: converts `durationText` (only when a move is
// chosen), stores it in the move's duration variable and makes the pulse.
// Returns whether a move was made. Throws ConversionError on a bad duration.
bool RunChosenMove(int itemIndex, const QString &durationText);
