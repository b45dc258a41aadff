// The state line the window shows (PortIoStatus) and the messages a library
// gives it (PortIoMessage), in the test's own process, on the board's library
// over the fake board: starting while the board starts (an access meanwhile
// fails at once), connected, then lost; what a failed access reports is not
// given again as a message.
#include "core/Clock.h"
#include "support/ProgramOnPort.h"
#include "support/TextSearch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dlfcn.h>

using namespace std::chrono_literals;

TEST(PortStatus, BoardIsStartingThenConnectedThenLostAndAFailureIsNotSaidTwice)
{
    FakeBoard board;
    FakeBoardOptions options;
    options.ResetMs = 1000;
    ASSERT_TRUE(board.Start(options));
    setenv("ROBOT_SERIAL", board.Device().c_str(), 1);
    unsetenv("ROBOT_PINS");
    void *lib = dlopen(ROBOT_BINARY_DIR "/lib/firmata/libinpout32.so", RTLD_NOW);
    ASSERT_TRUE(lib) << dlerror();
    const auto entry = [lib](const char *name) { return reinterpret_cast<const char *(*)()>(dlsym(lib, name)); };
    const auto out32 = reinterpret_cast<void (*)(short, short)>(dlsym(lib, "Out32"));
    const auto lastError = entry("PortIoLastError");
    const auto message = entry("PortIoMessage");
    const auto status = [&] { return std::string(entry("PortIoStatus")()); };

    EXPECT_EQ(status(), "firmata: starting");
    const int64_t clicked = MonotonicNs();
    out32(888, 18);
    RecordProperty("still_starting_access_us", int((MonotonicNs() - clicked) / 1000));
    EXPECT_LT(MonotonicNs() - clicked, 500'000'000) << "the access waited for the board";
    const char *error = lastError();
    ASSERT_TRUE(error);
    EXPECT_TRUE(Has(error, "is still starting")) << error;

    const std::string device = board.Device();
    EXPECT_TRUE(WaitFor([&] { return status() == "firmata " + device + ": connected"; }, 10s)) << status();
    out32(888, 0);
    EXPECT_EQ(lastError(), nullptr);

    board.Unplug();
    out32(888, 18);
    error = lastError();
    ASSERT_TRUE(error);
    EXPECT_TRUE(Has(error, "the board on " + device + " has gone")) << error;
    EXPECT_TRUE(Has(status(), "firmata " + device + ": lost (the board on " + device + " has gone")) << status();
    EXPECT_EQ(message(), nullptr) << "said again after the failure";
    unsetenv("ROBOT_SERIAL");
}
