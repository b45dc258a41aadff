// The reference colour track bars: the number under the moved bar and the swatch.
#include "support/Harness.h"

namespace {
class ColourReference : public RobotTest {
protected:
    // The swatch's one colour, or an invalid colour when it is not uniform.
    QColor SwatchColour()
    {
        const QImage &swatch = Form().Image6->Picture();
        const QRgb first = swatch.pixel(0, 0);
        for (int y = 0; y < swatch.height(); ++y)
            for (int x = 0; x < swatch.width(); ++x)
                if (swatch.pixel(x, y) != first)
                    return {};
        return QColor(first);
    }
    QStringList Numbers()
    {
        return {Form().Label55->text(), Form().Label56->text(), Form().Label57->text()};
    }
};
} // namespace

TEST_F(ColourReference, SwatchIsEmptyUntilTheFirstMoveThenShowsAllThreeBars)
{
    TForm1 &f = Form();
    EXPECT_FALSE(f.Image6->HasPicture());
    EXPECT_EQ(Numbers(), QStringList({"0", "0", "0"}));

    f.TrackBar2->setValue(128);
    EXPECT_EQ(Numbers(), QStringList({"0", "128", "0"}));
    ASSERT_EQ(f.Image6->Picture().size(), QSize(50, 50));
    EXPECT_EQ(SwatchColour(), QColor(0, 128, 0));

    f.TrackBar1->setValue(255);
    EXPECT_EQ(Numbers(), QStringList({"255", "128", "0"}));
    EXPECT_EQ(SwatchColour(), QColor(255, 128, 0));

    f.TrackBar3->setValue(7);
    EXPECT_EQ(Numbers(), QStringList({"255", "128", "7"}));
    EXPECT_EQ(SwatchColour(), QColor(255, 128, 7));

    // Back to black: the swatch stays, painted black.
    for (QSlider *bar : {f.TrackBar1, f.TrackBar2, f.TrackBar3})
        bar->setValue(0);
    EXPECT_EQ(Numbers(), QStringList({"0", "0", "0"}));
    ASSERT_TRUE(f.Image6->HasPicture());
    EXPECT_EQ(SwatchColour(), QColor(0, 0, 0));
    EXPECT_TRUE(errors.empty());
}
