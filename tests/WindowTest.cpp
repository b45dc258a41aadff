// The window as it starts.
#include "support/Harness.h"

namespace {
class Window : public RobotTest {};
}

TEST_F(Window, StartsOnTheSensorLineFollowerPage)
{
    TForm1 &f = Form();
    EXPECT_EQ(f.windowTitle(), QString("PROGRAM STERUJACY ROBOTEM"));
    EXPECT_EQ(f.PageControl1->currentWidget(), f.TabSheet7);
    EXPECT_EQ(f.PageControl1->count(), 7);
    EXPECT_EQ(f.PageControl1->geometry(), QRect(0, 0, 473, 497));
    EXPECT_EQ(f.pos(), QPoint(16, 177));
}
