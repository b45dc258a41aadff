#include "VcdWriter.h"

namespace robottrace {

const char *const DataBitNames[8] = {"D0_left_back", "D1_left_fwd", "D2_unused", "D3_right_back",
                                     "D4_right_fwd", "D5_unused",   "D6_unused", "D7_unused"};
const char *const StatusBitNames[8] = {"S0_no_pin",     "S1_no_pin",    "S2_no_pin", "S3_unused",
                                       "S4_right_line", "S5_left_line", "S6_unused", "S7_obstacle"};

namespace {

// Identifier codes: data bits A..H, status bits I..P, the bytes d and s.
// None is a character that starts a time stamp or a command.
char DataBitId(int bit) { return static_cast<char>('A' + bit); }
char StatusBitId(int bit) { return static_cast<char>('I' + bit); }
constexpr char DataByteId = 'd';
constexpr char StatusByteId = 's';

char BitValue(int byte, int bit) { return byte < 0 ? 'x' : (((byte >> bit) & 1) ? '1' : '0'); }

} // namespace

VcdWriter::VcdWriter(std::ostream &out, VcdOptions options) : out_(out), options_(options) {}

void VcdWriter::Header()
{
    out_ << "$version robot-trace $end\n"
            "$comment port trace: data register "
         << DataPort << " (motor codes), status register " << StatusPort << " (sensors)";
    if (started_)
        out_ << "; time 0 is the first access, at " << firstNs_ << " ns CLOCK_MONOTONIC";
    out_ << " $end\n"
            "$timescale 1ns $end\n"
            "$scope module data $end\n";
    for (int bit = 0; bit < 8; ++bit)
        out_ << "$var wire 1 " << DataBitId(bit) << ' ' << DataBitNames[bit] << " $end\n";
    if (options_.vectors)
        out_ << "$var wire 8 " << DataByteId << " data_byte [7:0] $end\n";
    out_ << "$upscope $end\n"
            "$scope module status $end\n";
    for (int bit = 0; bit < 8; ++bit)
        out_ << "$var wire 1 " << StatusBitId(bit) << ' ' << StatusBitNames[bit] << " $end\n";
    if (options_.vectors)
        out_ << "$var wire 8 " << StatusByteId << " status_byte [7:0] $end\n";
    out_ << "$upscope $end\n"
            "$enddefinitions $end\n";
}

void VcdWriter::Changes(bool all)
{
    char line[16];
    const auto register_ = [&](int now, int shown, char (*id)(int), char byteId) {
        for (int bit = 0; bit < 8; ++bit) {
            const char v = BitValue(now, bit);
            if (all || v != BitValue(shown, bit)) {
                line[0] = v;
                line[1] = id(bit);
                line[2] = '\n';
                out_.write(line, 3);
            }
        }
        if (options_.vectors && (all || now != shown)) {
            line[0] = 'b';
            for (int bit = 7; bit >= 0; --bit)
                line[8 - bit] = BitValue(now, bit);
            line[9] = ' ';
            line[10] = byteId;
            line[11] = '\n';
            out_.write(line, 12);
        }
    };
    register_(data_, dataShown_, DataBitId, DataByteId);
    register_(status_, statusShown_, StatusBitId, StatusByteId);
    dataShown_ = data_;
    statusShown_ = status_;
}

void VcdWriter::Flush()
{
    const int64_t at = pendingNs_ - firstNs_;
    if (!dumped_) {
        Header();
        out_ << "#" << at << "\n$dumpvars\n";
        Changes(true);
        out_ << "$end\n";
        dumped_ = true;
        writtenNs_ = at;
    } else if (data_ != dataShown_ || status_ != statusShown_) {
        out_ << '#' << at << '\n';
        Changes(false);
        writtenNs_ = at;
    }
}

void VcdWriter::Add(const Access &a)
{
    if (!started_) {
        started_ = true;
        firstNs_ = a.ns;
        pendingNs_ = a.ns;
    }
    // Several accesses at one time show as their end result.
    if (a.ns != pendingNs_) {
        Flush();
        pendingNs_ = a.ns;
    }
    lastNs_ = a.ns;
    if (a.kind == 'W' && a.port == DataPort)
        data_ = a.Byte();
    else if (a.kind == 'R' && a.port == StatusPort)
        status_ = a.Byte();
}

void VcdWriter::Finish()
{
    if (!started_) {
        Header();
        out_ << "#0\n$dumpvars\n";
        Changes(true);
        out_ << "$end\n";
        return;
    }
    Flush();
    if (lastNs_ - firstNs_ > writtenNs_)
        out_ << '#' << (lastNs_ - firstNs_) << '\n';
}

} // namespace robottrace
