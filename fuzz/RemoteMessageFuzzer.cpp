// Fuzz harness: what arrives from the broker, on any bytes. A payload is
// decoded on every channel; what decodes is one of ours exactly as we write
// it (one encoding per message: encoding it again gives the same bytes) and
// belongs on that channel. The broker's address and a robot's name, read
// from the same bytes, are read back the same from their own text.
#include "portio/remote/RemoteProtocol.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {
void Check(bool ok)
{
    if (!ok)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace remoteproto;
    const std::string payload(reinterpret_cast<const char *>(data), size);
    for (Channel channel : {Channel::Online, Channel::Status, Channel::Node, Channel::Drive}) {
        const auto message = Decode(channel, payload);
        if (!message)
            continue;
        Check(ChannelOf(*message) == channel);
        Check(Encode(*message) == payload);
    }
    std::string why;
    if (const auto broker = ParseBroker(payload, &why)) {
        const auto again = ParseBroker(broker->Text());
        Check(again && again->Tls == broker->Tls && again->Host == broker->Host && again->Port == broker->Port);
        Check(broker->Port >= 1 && broker->Port <= 65535 && !broker->Host.empty());
    } else {
        Check(!why.empty());
    }
    if (const auto robot = RobotOfOnlineTopic(payload))
        Check(ValidRobotName(*robot) && TopicsOf(*robot).Online == payload);
    return 0;
}
