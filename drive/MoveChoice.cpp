#include "drive/MoveChoice.h"

#include "core/Convert.h"
#include "drive/Motor.h"

bool RunChosenMove(int itemIndex, const QString &durationText)
{
    switch (static_cast<MoveChoice>(itemIndex)) {
    case MoveChoice::Backward:
        ForwardTimeMs = ToInt32(durationText);
        MoveBackward();
        return true;
    case MoveChoice::Forward:
        ForwardTimeMs = ToInt32(durationText);
        MoveForward();
        return true;
    case MoveChoice::Right:
        TurnTimeMs = ToInt32(durationText);
        TurnRight();
        return true;
    case MoveChoice::Left:
        TurnTimeMs = ToInt32(durationText);
        TurnLeft();
        return true;
    default:
        return false;
    }
}
