// Continuous moves and the move series, checked on the port trace; the move
// series' choice boxes.
#include "support/Harness.h"

#include "drive/Motor.h"
#include "drive/RunState.h"
#include "form/ChoiceBox.h"
#include "manual/ContinuousMoves.h"

#include <QApplication>
#include <QLineEdit>
#include <QTimer>
#include <QTest>

namespace {
class ContinuousMoves : public RobotTest {
protected:
    void SetUp() override
    {
        RobotTest::SetUp();
        ContinuousRunFlag = 1;
        // The window first: the STOP clicks are timed from the move's click,
        // not from the window's making (fonts, pictures), which takes longer
        // on some systems and under the sanitizers.
        Form();
    }
};
class MoveSeries : public RobotTest {};

// The codes of the pulses with repeats folded: {18, 18, 17, 18} -> {18, 17, 18}.
std::vector<int> Runs(const std::vector<Pulse> &pulses)
{
    std::vector<int> out;
    for (const auto &p : pulses)
        if (out.empty() || out.back() != p.code)
            out.push_back(p.code);
    return out;
}

// Every pulse is framed by zeros: 0, code, 0, 0, code, 0, ...
void ExpectFramedPulses(const std::vector<int> &writes)
{
    ASSERT_EQ(writes.size() % 3, 0u);
    for (size_t i = 0; i < writes.size(); i += 3) {
        EXPECT_EQ(writes[i], 0);
        EXPECT_NE(writes[i + 1], 0);
        EXPECT_EQ(writes[i + 2], 0);
    }
}
} // namespace

TEST_F(ContinuousMoves, RepeatsPulsesUntilStopAndResetsTheFlag)
{
    After(450, [this] { Form().Button10Click(); });
    Form().Button7Click(); // returns once STOP has run inside its drain
    const auto pulses = Pulses(Trace());
    ASSERT_GE(pulses.size(), 2u);
    ASSERT_LE(pulses.size(), 6u);
    for (const auto &p : pulses) {
        EXPECT_EQ(p.code, 18);
        EXPECT_GE(p.ms, 200);
        EXPECT_LT(p.ms, 400);
    }
    ExpectFramedPulses(Writes());
    EXPECT_EQ(ContinuousRunFlag, 1);
    EXPECT_EQ(ForwardTimeMs, 200);
    EXPECT_TRUE(errors.empty());
}

TEST_F(ContinuousMoves, StopWithoutALoopArmsTheNextClickForOnePulse)
{
    Form().Button10Click();
    EXPECT_EQ(ContinuousRunFlag, 0);
    Form().Button8Click(); // "w lewo": one pulse, then the loop sees the flag
    EXPECT_EQ(Writes(), (std::vector<int>{0, 17, 0}));
    EXPECT_EQ(TurnTimeMs, 200);
    EXPECT_EQ(ContinuousRunFlag, 1);
}

TEST_F(ContinuousMoves, NestedLoopsEndOneStopAtATimeInnermostFirst)
{
    // Forward, then "w lewo" inside it; the first STOP ends the turning and
    // forward resumes; the second ends forward.
    After(250, [this] {
        After(450, [this] {
            Form().Button10Click();
            After(450, [this] { Form().Button10Click(); });
        });
        Form().Button8Click();
    });
    Form().Button7Click();
    EXPECT_EQ(Runs(Pulses(Trace())), (std::vector<int>{18, 17, 18}));
    ExpectFramedPulses(Writes());
    EXPECT_EQ(ContinuousRunFlag, 1);
}

TEST_F(ContinuousMoves, TwoStopsQueuedForOneDrainCountAsOne)
{
    After(250, [this] {
        After(300, [this] { Form().Button10Click(); }); // both wait for the same drain
        After(300, [this] { Form().Button10Click(); });
        After(1000, [this] { Form().Button10Click(); }); // ends the outer loop
        Form().Button9Click();
    });
    Form().Button6Click();
    EXPECT_EQ(Runs(Pulses(Trace())), (std::vector<int>{9, 10, 9}));
    EXPECT_EQ(ContinuousRunFlag, 1);
}

TEST_F(ContinuousMoves, SingleMoveDuringALoopSetsTheLoopsLaterPulseLength)
{
    Form().Edit3->setText("40");
    After(250, [this] {
        Form().Button2Click(); // one single forward move of 40 ms, nested
        After(300, [this] { Form().Button10Click(); });
    });
    Form().Button7Click();
    const auto pulses = Pulses(Trace());
    ASSERT_GE(pulses.size(), 4u);
    EXPECT_GE(pulses.front().ms, 200);
    EXPECT_LT(pulses.back().ms, 150) << "the loop goes on with the single-move field's 40 ms";
    EXPECT_EQ(ForwardTimeMs, 40);
}

TEST_F(ContinuousMoves, ClosingTheWindowEndsEveryLoopWithTheMotorsOff)
{
    Form().show();
    After(250, [this] {
        After(250, [this] { Form().close(); });
        Form().Button8Click();
    });
    Form().Button7Click();
    EXPECT_TRUE(WindowClosing());
    EXPECT_EQ(RunningLoops(), 0);
    const auto writes = Writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back(), 0);
    ExpectFramedPulses(writes);
}

TEST_F(ContinuousMoves, ClosingTheWindowDuringALoopLetsTheProgramEnd)
{
    Form().show();
    After(0, [this] {
        After(300, [this] { Form().close(); });
        Form().Button7Click();
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    watchdog.start(10000);
    EXPECT_EQ(QApplication::exec(), 0) << "the main loop ends once the window is gone";
    EXPECT_EQ(RunningLoops(), 0);
    ASSERT_FALSE(Writes().empty());
    EXPECT_EQ(Writes().back(), 0);
}

TEST_F(ContinuousMoves, ClosingTheIdleWindowTouchesNoPort)
{
    Form().show();
    Form().close();
    EXPECT_FALSE(WindowClosing());
    EXPECT_TRUE(Trace().empty());
}

TEST_F(MoveSeries, RunsTheChosenRowsWithTheirOwnDurations)
{
    TForm1 &f = Form();
    f.Button5Click(); // nothing chosen: only row 1's duration is taken
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(ForwardTimeMs, 1000);

    f.ComboBox1->setCurrentIndex(1); // forward
    f.Edit4->setText("60");
    f.Edit5->setText("junk"); // row 2 unselected: never read
    f.ComboBox3->setCurrentIndex(3); // left
    f.Edit6->setText("30");
    f.Button5Click();
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(Writes(), (std::vector<int>{0, 18, 0, 0, 17, 0}));
    const auto pulses = Pulses(Trace());
    ASSERT_EQ(pulses.size(), 2u);
    EXPECT_GE(pulses[0].ms, 60);
    EXPECT_LT(pulses[0].ms, 160);
    EXPECT_GE(pulses[1].ms, 30);
    EXPECT_LT(pulses[1].ms, 130);
    EXPECT_EQ(ForwardTimeMs, 60);
    EXPECT_EQ(TurnTimeMs, 30);
}

TEST_F(MoveSeries, ABadDurationEndsTheSeriesAtItsRow)
{
    TForm1 &f = Form();
    f.ComboBox1->setCurrentIndex(0); // backward
    f.Edit4->setText("5");
    f.ComboBox2->setCurrentIndex(2); // right
    f.Edit5->setText("5");
    f.ComboBox3->setCurrentIndex(1);
    f.Edit6->setText("x5");
    f.ComboBox4->setCurrentIndex(1);
    f.Edit7->setText("5");
    f.Button5Click();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("\"x5\""), std::string::npos);
    EXPECT_EQ(Writes(), (std::vector<int>{0, 9, 0, 0, 10, 0}));

    // A bad row 1 duration stops the series before any pulse, chosen or not.
    f.ComboBox1->setCurrentIndex(-1);
    f.Edit4->setText("");
    f.Edit6->setText("5");
    f.Button5Click();
    EXPECT_EQ(errors.size(), 2u);
    EXPECT_EQ(Writes().size(), 6u);
}

TEST_F(MoveSeries, TypedTextChoosesOnlyTheItemItNames)
{
    TForm1 &f = Form();
    f.ComboBox2->setCurrentIndex(1);
    f.ComboBox2->lineEdit()->selectAll();
    QTest::keyClicks(f.ComboBox2->lineEdit(), "cokolwiek");
    EXPECT_EQ(f.ComboBox2->currentIndex(), -1);
    EXPECT_EQ(f.ComboBox2->currentText(), QString("cokolwiek"));
    QTest::keyClick(f.ComboBox2->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(f.ComboBox2->count(), 4) << "typed text never becomes an item";

    f.ComboBox2->lineEdit()->selectAll();
    QTest::keyClicks(f.ComboBox2->lineEdit(), "silnik skrecajacy w lewo");
    EXPECT_EQ(f.ComboBox2->currentIndex(), 3);
}

// A chosen move is read from its start in every move list, however it was
// chosen (from the list, with the arrow keys, by the program), although the
// items are wider than the fields.
TEST_F(MoveSeries, ChosenMoveShowsTheBeginningOfItsText)
{
    TForm1 &f = Form();
    f.show();
    QList<ChoiceBox *> boxes = f.findChildren<ChoiceBox *>();
    ASSERT_EQ(boxes.size(), 18);
    for (ChoiceBox *box : boxes) {
        SCOPED_TRACE(box->objectName().toStdString());
        ASSERT_GT(box->fontMetrics().horizontalAdvance(box->itemText(1)), box->lineEdit()->width());
        box->setCurrentIndex(1);
        EXPECT_EQ(box->lineEdit()->cursorPosition(), 0);
        EXPECT_LT(box->lineEdit()->inputMethodQuery(Qt::ImCursorRectangle).toRect().left(), 8)
            << "the field shows the text's end";
        QTest::keyClick(box, Qt::Key_Down);
        EXPECT_EQ(box->currentIndex(), 2);
        EXPECT_EQ(box->lineEdit()->cursorPosition(), 0);
    }
}

// A choice box made in code, not from the stored layout, behaves as the
// layout's do: editable, with its prompt, following typed text.
TEST(ChoiceBoxMadeInCode, StartsEditableAndFollowsTypedText)
{
    ChoiceBox box;
    box.addItems({"do przodu", "do tylu"});
    box.setText("wybierz ruch");
    ASSERT_TRUE(box.isEditable());
    EXPECT_EQ(box.currentIndex(), -1);
    EXPECT_EQ(box.currentText(), QString("wybierz ruch"));

    box.lineEdit()->selectAll();
    QTest::keyClicks(box.lineEdit(), "do tylu");
    EXPECT_EQ(box.currentIndex(), 1);
    QTest::keyClicks(box.lineEdit(), "!");
    EXPECT_EQ(box.currentIndex(), -1);
    EXPECT_EQ(box.currentText(), QString("do tylu!"));
}
