// Fuzz harness: a client's packets to the port server, as the server hands
// them over, against a small world. The input is a series of packets, each
// introduced by one byte: with its top bit set a whole message (24 bytes)
// follows, otherwise a packet of its low six bits' length. Faults it reports
// besides the sanitizers': an answer to a read that is not one message, a
// query answer that is not a JSON object, or the simulation's time outside
// the simulator's clock.
#include "core/Clock.h"
#include "sim/app/PortPacket.h"
#include "sim/app/SharedRobot.h"
#include "sim/core/World.h"
#include "sim/protocol/SimProtocol.h"

#include <QJsonDocument>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
void Check(bool ok)
{
    if (!ok)
        std::abort();
}

const sim::World &TestWorld()
{
    static const sim::World world = sim::ParseWorld(R"({
        "arena": {"width": 2, "height": 1.5},
        "track": {"points": [[0.3, 0.3], [1.7, 0.3], [1.7, 1.2], [0.3, 1.2]]},
        "obstacles": [{"x": 0.9, "y": 0.6, "width": 0.2, "height": 0.2}],
        "robot": {"start": {"track": 0}}})");
    return world;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int64_t before = MonotonicNs();
    SharedRobot robot(TestWorld());
    const PortQueryFunction query = [&robot](int64_t ns) {
        sim::Simulation view = robot.Snapshot();
        view.AdvanceTo(ns);
        return StateJson(view, robot.Facts());
    };
    PortClient client{1, false};
    size_t i = 0;
    while (i < size) {
        const uint8_t header = data[i++];
        const size_t length = header & 0x80 ? sizeof(simproto::PortMessage) : header & 0x3F;
        // The packet's bytes; what the input lacks is zero.
        std::vector<uint8_t> packet(std::max(length, sizeof(simproto::PortMessage)), 0);
        const size_t available = std::min(length, size - i);
        std::copy(data + i, data + i + available, packet.begin());
        i += available;
        simproto::PortMessage m;
        std::memcpy(&m, packet.data(), sizeof(m));
        const std::string answer = HandlePortPacket(robot, query, client, packet.data(), length);
        if (length == sizeof(m) && m.kind == simproto::KindRead)
            Check(answer.size() == sizeof(m));
        if (length == sizeof(m) && m.kind == simproto::KindQuery)
            Check(QJsonDocument::fromJson(QByteArray::fromStdString(answer)).isObject());
        const int64_t t = robot.Snapshot().time();
        Check(t == 0 || (t >= before && t <= MonotonicNs() + sim::TimestampMargin));
    }
    robot.ControllerLeft(MonotonicNs(), client.id);
    return 0;
}
