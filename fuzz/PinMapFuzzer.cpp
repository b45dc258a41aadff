// Fuzz harness: the pin map reader on any text, for each device kind. A map it
// accepts gives every motor and sensor bit exactly one named line; a map it
// refuses says why, naming where.
#include "portio/firmata/FirmataPins.h"
#include "portio/ftdi/FtdiPins.h"
#include "portio/gpio/GpioPins.h"
#include "portio/kit/PinMap.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {
void Check(bool ok)
{
    if (!ok)
        std::abort();
}

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static const portkit::DeviceKind *const Kinds[] = {&ftdiport::Pins, &gpio::Pins, &firmata::Pins};
    const portkit::DeviceKind &kind = *Kinds[data[0] % 3];
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    std::string error;
    const std::optional<portkit::PinMap> map = portkit::ParsePinMap(text, "robot-pins.conf", kind, error);
    if (!map) {
        Check(error.rfind("robot-pins.conf", 0) == 0);
        return 0;
    }
    const int motorBits[] = {0, 1, 3, 4};
    const int sensorBits[] = {4, 5, 7};
    Check(map->Motors.size() == 4 && map->Sensors.size() == 3);
    for (size_t i = 0; i < 4; ++i)
        Check(map->Motors[i].Bit == motorBits[i] && map->Motors[i].LinePull == portkit::Pull::AsIs);
    for (size_t i = 0; i < 3; ++i)
        Check(map->Sensors[i].Bit == sensorBits[i]);
    for (const auto *entries : {&map->Motors, &map->Sensors})
        for (const portkit::PinMapEntry &e : *entries) {
            Check(!e.Line.empty() && e.SourceLine > 0);
            for (char c : e.Line)
                Check(!Blank(c) && c != '#' && c != '\0');
            Check(map->Where(e).rfind("robot-pins.conf line ", 0) == 0);
        }
    const std::string device = map->Setting("device");
    Check(device.empty() || device == kind.Name);
    return 0;
}
