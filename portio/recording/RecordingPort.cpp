// The recording port library: a software register file for tests and for
// trying the program without hardware.
//
// ROBOT_PORT_TRACE   file that receives one line per access, flushed at once:
//                    <CLOCK_MONOTONIC ns>,<W|R>,<port>,<value>
// ROBOT_STATUS_SCRIPT file of whitespace-separated decimal values; each read of
//                    the status register takes the next, the last one repeats.
//                    Without it the status register reads 254 (nothing fires).
// Both are looked at on every access, so a test may point them elsewhere; a new
// script file name starts from its first value.
//
// The exports, the trace and the guard are the port library kit's
// (portio/kit/): the guard appends a write of 0 to the trace when the program
// dies without ending normally, or is stopped holding a motor code.
#include "core/RobotWiring.h"
#include "portio/kit/PortKit.h"
#include "portio/recording/StatusScript.h"

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {
struct StatusScript {
    std::string path;
    std::vector<short> values;
    size_t next = 0;

    short Read(portkit::Services &services)
    {
        const char *wanted = std::getenv("ROBOT_STATUS_SCRIPT");
        if (!wanted || !*wanted)
            return StatusIdle;
        if (path != wanted) {
            path = wanted;
            values.clear();
            next = 0;
            StatusScriptValues script = ReadStatusScript(wanted);
            values = std::move(script.values);
            if (!script.problem.empty())
                services.Say("script " + path, "ROBOT_STATUS_SCRIPT " + portkit::Quoted(path, 200) + ": " +
                                                   script.problem);
        }
        if (values.empty())
            return StatusIdle;
        const short v = values[next];
        if (next + 1 < values.size())
            ++next;
        return v;
    }
};

class RegisterFile final : public portkit::PortBackend {
public:
    explicit RegisterFile(portkit::Services &services) : services_(services) {}

    short In(uint16_t address) override
    {
        if (address == static_cast<uint16_t>(StatusPort))
            return script_.Read(services_);
        if (address == static_cast<uint16_t>(DataPort))
            return data_;
        return 0;
    }

    void Out(uint16_t address, short value) override
    {
        if (address == static_cast<uint16_t>(DataPort))
            data_ = value;
    }

    std::string Status() override { return "recording: connected"; }

    // The guard's 0 went to the trace: the register holds it too.
    void AfterGuardCut() override { data_ = 0; }

    void Close() override {}

private:
    portkit::Services &services_;
    short data_ = 0;
    StatusScript script_;
};
} // namespace

std::unique_ptr<portkit::PortBackend> MakePortBackend(portkit::Services &services)
{
    return std::make_unique<RegisterFile>(services);
}
