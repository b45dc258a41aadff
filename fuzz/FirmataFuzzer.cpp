// Fuzz harness: the reader of what a Firmata board sends, on any bytes. The
// same bytes in any pieces must leave the same state and counts (the reader
// keeps its place across reads); whatever came before, a port report and a
// version report that follow are read (every command byte starts afresh);
// and nothing kept grows past its bounds.
#include "portio/firmata/FirmataParser.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {
void Check(bool ok)
{
    if (!ok)
        std::abort();
}

bool Same(const firmata::BoardParser &a, const firmata::BoardParser &b)
{
    const firmata::BoardState &x = a.State(), &y = b.State();
    const firmata::ParseCounts &c = a.Counts(), &d = b.Counts();
    return x.HasProtocol == y.HasProtocol && x.ProtocolMajor == y.ProtocolMajor &&
           x.ProtocolMinor == y.ProtocolMinor && x.HasFirmware == y.HasFirmware &&
           x.FirmwareMajor == y.FirmwareMajor && x.FirmwareMinor == y.FirmwareMinor &&
           x.FirmwareName == y.FirmwareName && x.Ports == y.Ports && x.HasCapabilities == y.HasCapabilities &&
           x.PinModes == y.PinModes && x.HasAnalogMapping == y.HasAnalogMapping &&
           x.AnalogChannels == y.AnalogChannels && x.LastText == y.LastText && c.Messages == d.Messages &&
           c.Truncated == d.Truncated && c.Invalid == d.Invalid && c.StrayBytes == d.StrayBytes &&
           c.StrayRuns == d.StrayRuns && a.Stray() == b.Stray();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    firmata::BoardParser whole;
    whole.Feed(data, size);

    // In pieces whose lengths the input itself chooses (1 to 16 bytes), as
    // reads of a serial device cut it anywhere.
    firmata::BoardParser pieces;
    for (size_t i = 0, n = 0; i < size; i += n) {
        n = std::min<size_t>(size - i, 1 + (data[i] + i) % 16);
        pieces.Feed(data + i, n);
    }
    Check(Same(whole, pieces));

    const firmata::BoardState &board = whole.State();
    const firmata::ParseCounts &counts = whole.Counts();
    size_t commands = 0;
    for (size_t i = 0; i < size; ++i)
        commands += data[i] >= 0x80;
    for (int port : board.Ports)
        Check(port >= -1 && port <= 255);
    Check(board.PinModes.size() <= size_t(firmata::MaxPins));
    Check(board.AnalogChannels.size() <= size_t(firmata::MaxPins));
    Check(board.FirmwareName.size() <= firmata::MaxSysexBytes / 2);
    Check(board.LastText.size() <= firmata::MaxSysexBytes / 2);
    Check(whole.Stray().size() <= firmata::StrayKept);
    Check(counts.StrayRuns <= counts.StrayBytes && counts.StrayBytes <= size - commands);
    // A command byte completes, cuts short or is itself no message: at most
    // two counts (a cut and a refusal) each.
    Check(counts.Messages + counts.Truncated + counts.Invalid <= 2 * commands);

    // Whatever came before, the next messages are read.
    const uint64_t before = counts.Messages;
    const uint8_t trailer[] = {0x95, 0x55, 0x01, 0xF9, 0x02, 0x07};
    whole.Feed(trailer, sizeof trailer);
    Check(whole.Counts().Messages == before + 2);
    Check(whole.State().Ports[5] == 0xD5);
    Check(whole.State().HasProtocol && whole.State().ProtocolMajor == 2 && whole.State().ProtocolMinor == 7);
    return 0;
}
