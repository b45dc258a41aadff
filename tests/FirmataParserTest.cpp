// The reader of what a Firmata board sends: its words at start-up and its
// reports, in whatever pieces they come, and every kind of malformed message
// ignored, counted once, and costing nothing that follows it.
#include "portio/firmata/FirmataParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
using namespace firmata;
using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Name(uint8_t major, uint8_t minor, const std::string &name)
{
    Bytes out{0xF0, 0x79, major, minor};
    for (unsigned char c : name)
        out.insert(out.end(), {uint8_t(c & 0x7F), uint8_t(c >> 7)});
    out.push_back(0xF7);
    return out;
}

// An Uno's start-up words, its capabilities (pins 0-1 none, 2-3 digital with
// pull-up, 4 digital and analog), its analog mapping and two port reports.
const Bytes StartUp = Bytes{0xF9, 2, 5} + Name(2, 5, "StandardFirmata.ino");
const Bytes Capabilities{0xF0, 0x6C, 0x7F, 0x7F, 0, 1, 1, 1, 0x0B, 1, 0x7F, 0, 1, 1, 1, 0x0B, 1, 0x7F,
                         0, 1, 1, 1, 2, 10, 0x7F, 0xF7};
const Bytes Mapping{0xF0, 0x6A, 0x7F, 0x7F, 0x7F, 0x7F, 0, 0xF7};
const Bytes Reports{0x91, 0x03, 0x00, 0x90, 0x7F, 0x01};

void Feed(BoardParser &parser, const Bytes &bytes) { parser.Feed(bytes.data(), bytes.size()); }
} // namespace

TEST(FirmataParser, ReadsTheBoardsWordsAndReportsInAnyPieces)
{
    const Bytes all = StartUp + Capabilities + Mapping + Reports;
    for (size_t piece : {all.size(), size_t(1), size_t(2), size_t(7)}) {
        SCOPED_TRACE(piece);
        BoardParser parser;
        for (size_t i = 0; i < all.size(); i += piece)
            parser.Feed(all.data() + i, std::min(piece, all.size() - i));
        const BoardState &board = parser.State();
        EXPECT_TRUE(board.HasProtocol);
        EXPECT_EQ(board.ProtocolMajor * 10 + board.ProtocolMinor, 25);
        EXPECT_TRUE(board.HasFirmware);
        EXPECT_EQ(board.FirmwareName, "StandardFirmata.ino");
        ASSERT_TRUE(board.HasCapabilities);
        EXPECT_EQ(board.PinModes, (std::vector<uint16_t>{0, 0, 0x0803, 0x0803, 0x0007}));
        ASSERT_TRUE(board.HasAnalogMapping);
        EXPECT_EQ(board.AnalogChannels, (std::vector<uint8_t>{0x7F, 0x7F, 0x7F, 0x7F, 0}));
        EXPECT_EQ(board.Ports[1], 3);
        EXPECT_EQ(board.Ports[0], 0xFF); // pin 7 from the second byte
        EXPECT_EQ(board.Ports[2], -1);
        EXPECT_EQ(parser.Counts().Messages, 6u);
        EXPECT_EQ(parser.Counts().Malformed(), 0u);
    }
}

TEST(FirmataParser, EachMalformedMessageCountsOnceAndTheNextMessageIsRead)
{
    struct Case {
        const char *name;
        Bytes bytes;
        uint64_t truncated, invalid, strayRuns;
    };
    const Case cases[] = {
        {"port report cut short", {0x91, 0x05}, 1, 0, 0},
        {"version cut short", {0xF9, 0x02}, 1, 0, 0},
        {"SysEx cut short by a command", {0xF0, 0x79, 0x02}, 1, 0, 0},
        {"text from another sketch", {'h', 'e', 'l', 'l', 'o', '\r', '\n'}, 0, 0, 1},
        {"a MIDI command Firmata has not", {0xA3, 0x10, 0x20}, 0, 1, 1},
        {"a SysEx end without a start", {0xF7}, 0, 1, 0},
        {"an empty SysEx", {0xF0, 0xF7}, 0, 1, 0},
        {"a firmware name of an odd length", {0xF0, 0x79, 2, 5, 'X', 0xF7}, 0, 1, 0},
        {"a firmware report without its version", {0xF0, 0x79, 2, 0xF7}, 0, 1, 0},
        {"a string of an odd length", {0xF0, 0x71, 'a', 0, 'b', 0xF7}, 0, 1, 0},
        {"capabilities whose last pin does not end", {0xF0, 0x6C, 0x7F, 0, 1, 0xF7}, 0, 1, 0},
        {"capabilities with a mode but no resolution", {0xF0, 0x6C, 0, 1, 0x0B, 0xF7}, 0, 1, 0},
        {"capabilities of 129 pins", Bytes{0xF0, 0x6C} + Bytes(129, 0x7F) + Bytes{0xF7}, 0, 1, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        BoardParser parser;
        Feed(parser, c.bytes + Bytes{0x91, 0x05, 0x00} + Bytes{0xF9, 2, 5});
        EXPECT_EQ(parser.Counts().Truncated, c.truncated);
        EXPECT_EQ(parser.Counts().Invalid, c.invalid);
        EXPECT_EQ(parser.Counts().StrayRuns, c.strayRuns);
        EXPECT_EQ(parser.State().Ports[1], 5);
        EXPECT_TRUE(parser.State().HasProtocol);
        EXPECT_FALSE(parser.State().HasFirmware);
        EXPECT_FALSE(parser.State().HasCapabilities);
    }
}

TEST(FirmataParser, KeepsTheStartOfWhatWasNotFirmataForTheMessage)
{
    BoardParser parser;
    const std::string text = "Temperature: 21.5 C\r\nTemperature: 21.6 C\r\nTemperature: 21.6 C\r\nTemperature";
    Feed(parser, Bytes(text.begin(), text.end()));
    EXPECT_EQ(parser.Stray(), text.substr(0, StrayKept));
    EXPECT_EQ(parser.Counts().StrayBytes, text.size());
    EXPECT_EQ(parser.Counts().StrayRuns, 1u);
    EXPECT_EQ(parser.Counts().Messages, 0u);
}

TEST(FirmataParser, AnOverlongSysExIsDroppedWholeAndCountedOnce)
{
    BoardParser parser;
    Bytes huge{0xF0, 0x71};
    huge.insert(huge.end(), MaxSysexBytes * 2, 'a');
    Feed(parser, huge + Bytes{0xF7} + Name(2, 5, "Next"));
    EXPECT_EQ(parser.Counts().Invalid, 1u);
    EXPECT_EQ(parser.Counts().Malformed(), 1u);
    EXPECT_TRUE(parser.State().LastText.empty());
    EXPECT_EQ(parser.State().FirmwareName, "Next");
}

TEST(FirmataParser, TakesWhatOtherFirmwaresSendWithoutLosingItsPlace)
{
    BoardParser parser;
    // Analog values, another feature's SysEx, a string, a 14-bit port value
    // and a name character beyond one byte.
    Feed(parser, Bytes{0xE0, 0x7F, 0x07} + Bytes{0xF0, 0x6E, 3, 1, 0, 0xF7} +
                     Bytes{0xF0, 0x71, 'o', 0, 'k', 0, 0xF7} + Bytes{0x92, 0x00, 0x7F} +
                     Bytes{0xF0, 0x79, 2, 7, 'A', 0, 0x7F, 0x7F, 0xF7});
    EXPECT_EQ(parser.Counts().Messages, 5u);
    EXPECT_EQ(parser.Counts().Malformed(), 0u);
    EXPECT_EQ(parser.State().LastText, "ok");
    EXPECT_EQ(parser.State().Ports[2], 0x80);
    EXPECT_EQ(parser.State().FirmwareName, "A?");
}
