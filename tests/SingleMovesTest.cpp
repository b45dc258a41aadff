// Pulses and the single-move page, checked on the recording library's trace.
#include "core/Clock.h"
#include "support/Harness.h"

#include "core/Convert.h"
#include "core/Exceptions.h"
#include "drive/Motor.h"
#include "drive/PortIo.h"

namespace {
class SingleMoves : public RobotTest {
protected:
    // Lets queued notices reach the (recording) error display.
    size_t InvokeQueuedAndCountErrors()
    {
        PumpMessages();
        return errors.size();
    }
};
} // namespace

TEST(Conversion, AcceptsSignedDecimalIntegersOnly)
{
    EXPECT_EQ(ToInt32("1200"), 1200);
    EXPECT_EQ(ToInt32("-5"), -5);
    EXPECT_EQ(ToInt32("+7"), 7);
    EXPECT_EQ(ToInt32("  42"), 42);
    EXPECT_EQ(ToInt32("2147483647"), 2147483647);
    EXPECT_EQ(ToInt32("-2147483648"), -2147483647 - 1);
    for (const char *bad : {"", " ", "-", "12a", "a12", "1 2", "12 ", "2147483648", "-2147483649",
                            "99999999999999999999", "0x10", "1.5"}) {
        EXPECT_THROW(ToInt32(bad), ConversionError) << "'" << bad << "'";
    }
    // The message quotes the whole text, also past a NUL character.
    for (const QString &text : {QStringLiteral("abc"), QStringLiteral("12") + QChar(0) + QStringLiteral("34")}) {
        try {
            ToInt32(text);
            ADD_FAILURE() << "accepted";
        } catch (const ConversionError &e) {
            const std::string message = e.what();
            EXPECT_TRUE(QString::fromStdString(message).endsWith(
                "\" is not a whole number from -2147483648 to 2147483647"))
                << message;
            EXPECT_EQ(message.find(text.left(2).toStdString()), 1u) << message;
        }
    }
}

TEST_F(SingleMoves, EachButtonSendsItsCodeForItsFieldsDuration)
{
    Form().Edit3->setText("120");
    Form().Edit35->setText("40");
    Form().Button2Click();
    Form().Button1Click();
    Form().Button3Click();
    Form().Button4Click();
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(Writes(), (std::vector<int>{0, 18, 0, 0, 9, 0, 0, 17, 0, 0, 10, 0}));
    const auto pulses = Pulses(Trace());
    ASSERT_EQ(pulses.size(), 4u);
    const double expected[] = {120, 120, 40, 40};
    for (int i = 0; i < 4; ++i) {
        EXPECT_GE(pulses[i].ms, expected[i]);
        EXPECT_LT(pulses[i].ms, expected[i] + 50);
    }
    EXPECT_EQ(ForwardTimeMs, 120);
    EXPECT_EQ(TurnTimeMs, 40);
}

TEST_F(SingleMoves, DefaultFieldsAndZeroDuration)
{
    Form().Button3Click(); // "w lewo" with the default 300 ms
    auto pulses = Pulses(Trace());
    ASSERT_EQ(pulses.size(), 1u);
    EXPECT_EQ(pulses[0].code, 17);
    EXPECT_GE(pulses[0].ms, 300);
    EXPECT_LT(pulses[0].ms, 400);

    Form().Edit3->setText("0");
    const int64_t before = MonotonicNs();
    Form().Button2Click();
    EXPECT_LT((MonotonicNs() - before) / 1e6, 50);
    EXPECT_EQ(Writes(), (std::vector<int>{0, 17, 0, 0, 18, 0}));
}

TEST_F(SingleMoves, BadFieldsStopTheClickBeforeAnyPulse)
{
    ForwardTimeMs = 11;
    TurnTimeMs = 22;
    Form().Edit35->setText("3x");
    Form().Button2Click(); // the forward move fails on the turn field too
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("\"3x\""), std::string::npos);
    EXPECT_EQ(ForwardTimeMs, 1200); // stored before the bad field
    EXPECT_EQ(TurnTimeMs, 22);

    Form().Edit35->setText("300");
    Form().Edit3->setText("");
    ForwardTimeMs = 11;
    Form().Button1Click();
    EXPECT_EQ(errors.size(), 2u);
    EXPECT_EQ(ForwardTimeMs, 11);
    EXPECT_EQ(TurnTimeMs, 22);
    EXPECT_TRUE(Writes().empty());
}

TEST_F(SingleMoves, NegativeDurationIsAPulseOfNoLength)
{
    Form().Edit3->setText("-100000");
    const int64_t before = MonotonicNs();
    Form().Button2Click();
    EXPECT_LT((MonotonicNs() - before) / 1e6, 50);
    EXPECT_EQ(Writes(), (std::vector<int>{0, 18, 0}));
}

TEST_F(SingleMoves, MissingLibraryEndsEveryMoveWithTheError)
{
    SetPortIoLibraryFileNameForTesting("libno-such-port-library.so");
    Form().Edit3->setText("1");
    Form().Button2Click();
    EXPECT_EQ(InvokeQueuedAndCountErrors(), 1u);
    Form().Button2Click();
    SetPortIoLibraryFileNameForTesting(nullptr);
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(InvokeQueuedAndCountErrors(), 2u) << "no move without the library";
    ASSERT_FALSE(errors.empty());
    EXPECT_NE(errors.back().find("libno-such-port-library.so"), std::string::npos) << errors.back();
}
