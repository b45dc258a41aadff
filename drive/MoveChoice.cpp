#include "drive/MoveChoice.h"

#include "core/Convert.h"
#include "drive/Motor.h"

bool RunChosenMove(int itemIndex, const QString &durationText)
{
    switch (static_cast<MoveChoice>(itemIndex)) {
    case MoveChoice::Backward:
        ForwardTimeMs = StrToInt(durationText);
        MoveBackward();
        return true;
    case MoveChoice::Forward:
        ForwardTimeMs = StrToInt(durationText);
        MoveForward();
        return true;
    case MoveChoice::Right:
        TurnTimeMs = StrToInt(durationText);
        TurnRight();
        return true;
    case MoveChoice::Left:
        TurnTimeMs = StrToInt(durationText);
        TurnLeft();
        return true;
    default:
        return false;
    }
}
