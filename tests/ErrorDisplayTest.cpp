// The error display: what a handler's exception becomes, where it goes when
// no display is put in, and errors shown after the handler, once.
#include "core/ErrorDisplay.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {
using Messages = std::vector<std::string>;

class ErrorDisplay : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = SetErrorDisplay([this](const std::string &m) { shown.push_back(m); });
    }
    void TearDown() override { SetErrorDisplay(previous_); }

    Messages shown;

private:
    ErrorDisplayFn previous_;
};
} // namespace

TEST_F(ErrorDisplay, AHandlersExceptionIsShownAndTheRestOfItSkipped)
{
    bool rest = false;
    RunHandler([&] {
        throw std::runtime_error("the first");
        rest = true;
    });
    RunHandler([] { throw 42; });
    RunHandler([] {});
    EXPECT_FALSE(rest);
    EXPECT_EQ(shown, (Messages{"the first", "Unknown error"}));

    // A handler may send its error elsewhere.
    Messages elsewhere;
    RunHandler([] { throw std::runtime_error("aside"); },
               [&](const std::string &m) { elsewhere.push_back(m); });
    EXPECT_EQ(elsewhere, Messages{"aside"});
    EXPECT_EQ(shown.size(), 2u);
}

TEST_F(ErrorDisplay, WithoutADisplayPutInMessagesGoToStandardError)
{
    SetErrorDisplay({});
    testing::internal::CaptureStderr();
    ShowErrorMessage("the port failed");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "robot: the port failed\n");
    EXPECT_TRUE(shown.empty());
}

TEST_F(ErrorDisplay, AReportIsShownOnceAfterTheHandlerUntilForgotten)
{
    ReportOnce report;
    RunHandler([&] {
        EXPECT_TRUE(report("first"));
        EXPECT_FALSE(report("second"));
        EXPECT_TRUE(shown.empty()) << "shown while the handler still runs";
    });
    QCoreApplication::processEvents();
    EXPECT_EQ(shown, Messages{"first"});

    EXPECT_FALSE(report("third"));
    report.Forget();
    EXPECT_TRUE(report("after a new start"));
    QCoreApplication::processEvents();
    EXPECT_EQ(shown, (Messages{"first", "after a new start"}));

    // Two reports keep their own account.
    ReportOnce other;
    EXPECT_TRUE(other("another error"));
    QCoreApplication::processEvents();
    EXPECT_EQ(shown.back(), "another error");
}
