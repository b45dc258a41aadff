// robot-trace: the port trace (ROBOT_PORT_TRACE) as a summary of the motor
// pulses and sensor readings, and as a VCD file for a waveform viewer.
#include "AtomicFile.h"
#include "TraceReader.h"
#include "TraceSummary.h"
#include "VcdWriter.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;
// Malformed lines shown one by one; the rest are counted.
constexpr uint64_t ShownProblems = 10;

const char Usage[] =
    "Usage: robot-trace [OPTIONS] TRACE\n"
    "Reads a port trace (lines <ns>,<W|R>,<port>,<value>, as the port libraries\n"
    "write them to the file named by ROBOT_PORT_TRACE) and prints a summary: the\n"
    "motor pulses per code with their count and length, the status values read,\n"
    "and whether the trace ends with the motors stopped. TRACE - reads standard input.\n"
    "TRACE is a file or a pipe: a device (other than a terminal), a folder or a\n"
    "socket is refused, so that the reading ends.\n"
    "\n"
    "  -o, --output FILE  also write the trace as a VCD file (GTKWave, PulseView):\n"
    "                     one signal per data bit (scope data) and status bit\n"
    "                     (scope status), the two bytes as 8-bit vectors; 1 ns steps\n"
    "                     from the first access. FILE is complete or left untouched.\n"
    "                     It is a regular file or a new one: a device, FIFO, socket\n"
    "                     or directory is refused. A symbolic link stays: the file\n"
    "                     it names is written (made if missing, in its folder).\n"
    "      --no-vectors   leave the two 8-bit vectors out of the VCD (PulseView 0.4\n"
    "                     stops reading at a vector)\n"
    "      --strict       refuse a trace with a malformed line (no VCD is written)\n"
    "  -q, --quiet        print no summary\n"
    "  -h, --help         show this help\n"
    "\n"
    "A malformed line (or one whose time goes back) is reported on standard error\n"
    "with its line number and skipped, unless --strict is given.\n"
    "Exit status: 0 done; 1 the trace could not be read, the VCD could not be\n"
    "written, or --strict refused a malformed line; 2 wrong usage.\n";

// A signal that ends the run takes the VCD's temporary file with it.
void OnEndSignal(int sig)
{
    robottrace::RemovePartialFileNow();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

struct Options {
    std::string trace;
    std::string output;
    bool vectors = true;
    bool strict = false;
    bool quiet = false;
};

int UsageError(const std::string &what)
{
    std::fprintf(stderr, "robot-trace: %s\nTry 'robot-trace --help'.\n", what.c_str());
    return ExitUsage;
}

// Parses the command line; returns -1 to go on, otherwise the exit status.
int ParseArgs(int argc, char **argv, Options &o)
{
    bool endOfOptions = false;
    bool haveTrace = false;
    bool haveOutput = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!endOfOptions && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                endOfOptions = true;
            } else if (arg == "-h" || arg == "--help") {
                std::fputs(Usage, stdout);
                return 0;
            } else if (arg == "-o" || arg == "--output") {
                if (i + 1 >= argc)
                    return UsageError(arg + " needs a file name");
                o.output = argv[++i];
                haveOutput = true;
            } else if (arg.rfind("--output=", 0) == 0) {
                o.output = arg.substr(9);
                haveOutput = true;
            } else if (arg == "--no-vectors") {
                o.vectors = false;
            } else if (arg == "--strict") {
                o.strict = true;
            } else if (arg == "-q" || arg == "--quiet") {
                o.quiet = true;
            } else {
                return UsageError("unknown option " + arg);
            }
            continue;
        }
        if (haveTrace)
            return UsageError("one trace at a time (" + o.trace + " and " + arg + ")");
        o.trace = arg;
        haveTrace = true;
    }
    if (!haveTrace)
        return UsageError("no trace file given");
    if (haveOutput && o.output.empty())
        return UsageError("the VCD file name is empty");
    return -1;
}

// Why `in` is no trace to read to its end (a device such as /dev/zero, a
// folder, a socket); empty for a file, a pipe or a terminal.
std::string NotATrace(std::FILE *in)
{
    struct stat st {};
    if (fstat(fileno(in), &st) != 0)
        return std::strerror(errno);
    if (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode) || isatty(fileno(in)))
        return {};
    return S_ISDIR(st.st_mode) ? "it is a folder" : S_ISSOCK(st.st_mode) ? "it is a socket" : "it is a device";
}

bool SameFile(std::FILE *in, const std::string &path)
{
    struct stat a {}, b {};
    return fstat(fileno(in), &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (const int status = ParseArgs(argc, argv, o); status >= 0)
        return status;

    const bool fromStdin = o.trace == "-";
    const std::string source = fromStdin ? std::string("standard input") : o.trace;
    std::FILE *in = fromStdin ? stdin : std::fopen(o.trace.c_str(), "rb");
    if (!in) {
        std::fprintf(stderr, "robot-trace: cannot read %s: %s\n", source.c_str(), std::strerror(errno));
        return ExitFailed;
    }
    if (const std::string why = NotATrace(in); !why.empty()) {
        std::fprintf(stderr, "robot-trace: cannot read %s: %s, not a trace file\n", source.c_str(), why.c_str());
        if (!fromStdin)
            std::fclose(in);
        return ExitFailed;
    }
    if (!o.output.empty() && SameFile(in, o.output))
        return UsageError("the VCD file " + o.output + " is the trace itself");

    for (int sig : robottrace::EndingSignals)
        std::signal(sig, OnEndSignal);

    robottrace::AtomicFile vcdFile(o.output);
    std::unique_ptr<robottrace::VcdWriter> vcd;
    if (!o.output.empty()) {
        std::string error;
        if (!vcdFile.Open(error)) {
            std::fprintf(stderr, "robot-trace: cannot write %s: %s\n", vcdFile.Describe().c_str(),
                         error.c_str());
            return ExitFailed;
        }
        robottrace::VcdOptions vo;
        vo.vectors = o.vectors;
        vcd = std::make_unique<robottrace::VcdWriter>(vcdFile.Stream(), vo);
    }

    robottrace::SummaryBuilder summary;
    uint64_t shown = 0;
    const robottrace::ReadResult read = robottrace::ReadTrace(
        in,
        [&](const robottrace::Access &a) {
            summary.Add(a);
            if (vcd)
                vcd->Add(a);
        },
        [&](uint64_t line, const char *why, std::string_view text) {
            if (shown++ < ShownProblems)
                std::fprintf(stderr, "robot-trace: %s:%llu: %s: \"%s\"\n", source.c_str(),
                             static_cast<unsigned long long>(line), why,
                             robottrace::Printable(text).c_str());
            return !o.strict;
        });
    if (!fromStdin)
        std::fclose(in);

    if (!read.readable) {
        std::fprintf(stderr, "robot-trace: cannot read %s: %s\n", source.c_str(), read.error.c_str());
        return ExitFailed;
    }
    if (o.strict && read.malformed) {
        std::fprintf(stderr, "robot-trace: %s refused: it has a malformed line%s\n", source.c_str(),
                     o.output.empty() ? "" : "; no VCD written");
        return ExitFailed;
    }
    if (shown > ShownProblems)
        std::fprintf(stderr, "robot-trace: %s: %llu more malformed lines skipped\n", source.c_str(),
                     static_cast<unsigned long long>(shown - ShownProblems));
    if (read.unterminated)
        std::fprintf(stderr, "robot-trace: %s: the last line has no line end (the trace may have been "
                     "cut off while it was written)\n", source.c_str());

    if (vcd) {
        vcd->Finish();
        std::string error;
        if (!vcdFile.Commit(error)) {
            std::fprintf(stderr, "robot-trace: cannot write %s: %s\n", vcdFile.Describe().c_str(),
                         error.c_str());
            return ExitFailed;
        }
    }
    if (!o.quiet) {
        robottrace::Summary s = summary.Finish();
        s.malformed = read.malformed;
        std::fputs(robottrace::FormatSummary(s, source).c_str(), stdout);
        if (vcd)
            std::printf("\nVCD written to %s\n", vcdFile.Describe().c_str());
    }
    std::fflush(stdout);
    return std::ferror(stdout) ? ExitFailed : 0;
}
