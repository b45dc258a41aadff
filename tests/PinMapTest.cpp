// The pin map file: what it accepts, and that a refusal names the line.
#include "portio/firmata/FirmataPins.h"
#include "portio/ftdi/FtdiPins.h"
#include "portio/gpio/GpioPins.h"
#include "portio/kit/PinMap.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace portkit;

namespace {
const char *const Complete = "D0 a\nD1 b\nD3 c\nD4 d\nS4 e\nS5 f\nS7 g\n";

std::string Refusal(const std::string &text, const DeviceKind &device = gpio::Pins)
{
    std::string error;
    const std::optional<PinMap> map = ParsePinMap(text, "robot-pins.conf", device, error);
    EXPECT_FALSE(map) << "accepted: " << text;
    return error;
}
} // namespace

TEST(PinMap, EveryDevicesDefaultMapIsAcceptedWithTheSensorsPolarities)
{
    for (const DeviceKind *device : {&ftdiport::Pins, &gpio::Pins, &firmata::Pins}) {
        const std::string kind = device->Name;
        SCOPED_TRACE(kind);
        std::string error;
        const std::optional<PinMap> map =
            ParsePinMap(device->DefaultPinMap, "the default pin map of " + kind, *device, error);
        ASSERT_TRUE(map) << error;
        ASSERT_EQ(map->Motors.size(), 4u);
        ASSERT_EQ(map->Sensors.size(), 3u);
        // The line sensors pull low, the obstacle sensor drives high: the
        // parallel port's wiring, so one set of sensor boards fits all.
        EXPECT_TRUE(map->Sensors[0].ActiveLow);
        EXPECT_TRUE(map->Sensors[1].ActiveLow);
        EXPECT_FALSE(map->Sensors[2].ActiveLow);
        EXPECT_EQ(map->Where(map->Motors[0]), "the default pin map of " + kind);
    }
}

TEST(PinMap, ReadsSignalsSettingsOptionsAndComments)
{
    std::string error;
    const std::optional<PinMap> map = ParsePinMap("# wiring of robot 2\r\n"
                                                  "device gpio\n"
                                                  "chip  pinctrl-bcm2711   # by label\n"
                                                  "S7 GPIO5 active-low no-pull\n"
                                                  "D4 17\nD3 27\n\tD1 22\nD0 23\n"
                                                  "S5 GPIO24 pull-down active-high\n"
                                                  "S4 GPIO25\n",
                                                  "robot-pins.conf", gpio::Pins, error);
    ASSERT_TRUE(map) << error;
    EXPECT_EQ(map->Setting("chip"), "pinctrl-bcm2711");
    EXPECT_EQ(map->Setting("baud", "57600"), "57600");
    // Kept in bit order whatever the file's order.
    ASSERT_EQ(map->Motors.size(), 4u);
    EXPECT_EQ(map->Motors[0].Bit, 0);
    EXPECT_EQ(map->Motors[0].Line, "23");
    EXPECT_EQ(map->Motors[3].Line, "17");
    EXPECT_EQ(map->Sensors[2].Bit, 7);
    EXPECT_TRUE(map->Sensors[2].ActiveLow);
    EXPECT_EQ(map->Sensors[2].LinePull, Pull::None);
    EXPECT_FALSE(map->Sensors[1].ActiveLow);
    EXPECT_EQ(map->Sensors[1].LinePull, Pull::Down);
    EXPECT_TRUE(map->Sensors[0].ActiveLow); // the line sensor's default
    EXPECT_EQ(map->Sensors[0].LinePull, Pull::AsIs);
    EXPECT_EQ(map->Where(map->Sensors[2]), "robot-pins.conf line 4");
}

TEST(PinMap, RefusesAMapThatCannotBeCarriedOutAndNamesTheLine)
{
    const struct {
        std::string text;
        std::string said;
    } cases[] = {
        {"D0 a\nD1 b\nD3 c\nS4 e\nS5 f\nS7 g\n", "robot-pins.conf does not say which line D4 uses (a motor line)"},
        {"D0 a\nD1 b\nD3 c\nD4 d\nS4 e\nS5 f\n", "does not say which line S7 uses (a sensor line)"},
        {std::string(Complete) + "D1 h\n", "robot-pins.conf line 8: D1 is given twice (first on line 2)"},
        {std::string("D2 x\n") + Complete, "line 1: \"D2\" is neither a signal"},
        {"D0\nD1 b\nD3 c\nD4 d\nS4 e\nS5 f\nS7 g\n", "line 1: D0 names no line"},
        {std::string("D4 d pull-up\n") + "D0 a\nD1 b\nD3 c\nS4 e\nS5 f\nS7 g\n",
         "line 1: D4 is a motor line; \"pull-up\" is for sensor lines"},
        {std::string("S4 e active-low active-high\n") + "D0 a\nD1 b\nD3 c\nD4 d\nS5 f\nS7 g\n",
         "line 1: S4 has two polarities"},
        {std::string("S4 e pull-sideways\n") + "D0 a\nD1 b\nD3 c\nD4 d\nS5 f\nS7 g\n",
         "line 1: \"pull-sideways\" is no option"},
        {std::string("chip\n") + Complete, "line 1: \"chip\" takes one value"},
        {std::string("chip a\nchip b\n") + Complete, "line 2: \"chip\" is given twice"},
        // Each device takes its own settings.
        {std::string("baud 9600\n") + Complete, "line 1: \"baud\" is neither a signal (D0 D1 D3 D4 S4 S5 S7) "
                                                 "nor a setting of gpio (device chip)"},
        {std::string("device ftdi\n") + Complete, "robot-pins.conf is a pin map for the device \"ftdi\", not for gpio"},
        {std::string("D0 a\0b\n", 7) + Complete, "line 1: not a line of text"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        const std::string error = Refusal(c.text);
        EXPECT_NE(error.find(c.said), std::string::npos) << error;
    }
}

// ROBOT_PINS names the file; else robot-pins.conf in the working directory;
// else the device's default. A named file that cannot be read is refused, not
// quietly replaced by the default.
TEST(PinMap, LoadsTheFileInEffect)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString old = QDir::currentPath();
    QDir::setCurrent(dir.path());
    unsetenv("ROBOT_PINS");
    std::string error;
    std::optional<PinMap> map = LoadPinMap(ftdiport::Pins, error);
    ASSERT_TRUE(map) << error;
    EXPECT_EQ(map->Source, "the default pin map of ftdi");
    EXPECT_FALSE(LoadPinMap(DeviceKind{"plain", {}, {}}, error));
    EXPECT_EQ(error, "there is no default pin map for plain; give one in robot-pins.conf");

    std::ofstream("robot-pins.conf") << Complete;
    map = LoadPinMap(ftdiport::Pins, error);
    ASSERT_TRUE(map) << error;
    EXPECT_EQ(map->Source, "robot-pins.conf");
    EXPECT_EQ(map->Motors[0].Line, "a");

    const std::string other = dir.filePath("other.conf").toStdString();
    std::ofstream(other) << "device firmata\n" << Complete;
    setenv("ROBOT_PINS", other.c_str(), 1);
    EXPECT_FALSE(LoadPinMap(ftdiport::Pins, error));
    EXPECT_NE(error.find("not for ftdi"), std::string::npos) << error;
    setenv("ROBOT_PINS", (other + ".missing").c_str(), 1);
    EXPECT_FALSE(LoadPinMap(ftdiport::Pins, error));
    EXPECT_NE(error.find("cannot read the pin map"), std::string::npos) << error;
    unsetenv("ROBOT_PINS");
    QDir::setCurrent(old);
}

// A map that is there but is no file is refused with the reason, named in
// ROBOT_PINS or found in the working directory: never the default map, and
// a FIFO is not waited on.
TEST(PinMap, MapThatIsNoFileIsRefusedWithTheReason)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString old = QDir::currentPath();
    QDir::setCurrent(dir.path());
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    ASSERT_EQ(mkdir("folder", 0700), 0);
    ASSERT_EQ(symlink("nowhere", "dangling"), 0);
    ASSERT_EQ(symlink("/dev/null", "device"), 0);
    const std::pair<const char *, const char *> cases[] = {
        {"fifo", "it is a FIFO, not a file"},
        {"folder", "it is a folder, not a file"},
        {"dangling", "it is a symbolic link to a file that does not exist"},
        {"device", "it is a device, not a file"},
    };
    for (const auto &[name, reason] : cases)
        for (const bool named : {true, false}) {
            SCOPED_TRACE(std::string(name) + (named ? " in ROBOT_PINS" : " as robot-pins.conf"));
            if (named) {
                setenv("ROBOT_PINS", name, 1);
            } else {
                ASSERT_EQ(rename(name, "robot-pins.conf"), 0);
            }
            std::string error;
            EXPECT_FALSE(LoadPinMap(ftdiport::Pins, error));
            EXPECT_NE(error.find(reason), std::string::npos) << error;
            unsetenv("ROBOT_PINS");
            if (!named) {
                ASSERT_EQ(rename("robot-pins.conf", name), 0);
            }
        }
    QDir::setCurrent(old);
}
