#include "sim/app/PortPacket.h"

#include "core/Clock.h"
#include "sim/protocol/SimProtocol.h"

#include <cstring>

std::string HandlePortPacket(SharedRobot &robot, const PortQueryFunction &query, PortClient &client,
                             const void *data, size_t size)
{
    simproto::PortMessage m;
    if (size != sizeof(m))
        return {}; // not a message of ours
    std::memcpy(&m, data, sizeof(m));
    if (m.kind == simproto::KindWrite || m.kind == simproto::KindRead) {
        if (!client.controller)
            robot.ControllerArrived();
        client.controller = true;
    }
    if (m.kind == simproto::KindWrite) {
        robot.Write(m.monotonicNs, m.port, m.value, client.id);
    } else if (m.kind == simproto::KindRead) {
        simproto::PortMessage answer = m;
        answer.value = static_cast<int16_t>(robot.Read(m.monotonicNs, m.port));
        return std::string(reinterpret_cast<const char *>(&answer), sizeof(answer));
    } else if (m.kind == simproto::KindQuery) {
        return query(MonotonicNs());
    }
    return {};
}
