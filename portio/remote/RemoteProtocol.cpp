#include "portio/remote/RemoteProtocol.h"

#include <arpa/inet.h>
#include <sys/random.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <limits>
#include <vector>

namespace remoteproto {
namespace {
constexpr std::string_view Magic = "rn1";
constexpr size_t MaxWords = 12;

// The words of a line of single-space-separated words; nothing when a word
// is empty (a double, leading or trailing space) or there are too many.
std::optional<std::vector<std::string_view>> Words(std::string_view text)
{
    std::vector<std::string_view> words;
    size_t start = 0;
    for (;;) {
        const size_t space = text.find(' ', start);
        const std::string_view word = text.substr(start, space == std::string_view::npos ? space : space - start);
        if (word.empty() || words.size() == MaxWords)
            return std::nullopt;
        words.push_back(word);
        if (space == std::string_view::npos)
            return words;
        start = space + 1;
    }
}

// Decimal digits without a sign or leading zeros, up to `max`.
std::optional<uint64_t> Number(std::string_view word, uint64_t max)
{
    if (word.empty() || word.size() > 20 || (word.size() > 1 && word[0] == '0'))
        return std::nullopt;
    uint64_t value = 0;
    for (char c : word) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const uint64_t digit = uint64_t(c - '0');
        if (value > (max - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<int64_t> Time(std::string_view word)
{
    const auto n = Number(word, uint64_t(std::numeric_limits<int64_t>::max()));
    return n ? std::optional<int64_t>(int64_t(*n)) : std::nullopt;
}

// 16 lowercase hex digits, not all zero.
std::optional<uint64_t> Id(std::string_view word)
{
    if (word.size() != 16)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : word) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            return std::nullopt;
        value = value << 4 | uint64_t(digit);
    }
    return value ? std::optional<uint64_t>(value) : std::nullopt;
}

std::optional<bool> Flag(std::string_view word)
{
    if (word == "1")
        return true;
    if (word == "0")
        return false;
    return std::nullopt;
}

bool PortName(std::string_view word)
{
    if (word.empty() || word.size() > 16)
        return false;
    for (char c : word)
        if (c < 'a' || c > 'z')
            return false;
    return true;
}

// An IPv4 or IPv6 address, as inet_pton reads it.
bool Address(std::string_view word)
{
    if (word.empty() || word.size() >= INET6_ADDRSTRLEN)
        return false;
    const std::string text(word);
    unsigned char bytes[sizeof(in6_addr)];
    return inet_pton(AF_INET, text.c_str(), bytes) == 1 || inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

constexpr std::string_view CameraStates[] = {"sending", "off", "full", "failed"};

std::string Num(uint64_t n) { return std::to_string(n); }
std::string Num(int64_t n) { return std::to_string(n); }

template <typename... Parts> std::string Line(const char *kind, const Parts &...parts)
{
    std::string out = std::string(Magic) + " " + kind;
    ((out += " " + parts), ...);
    return out;
}

struct Encoder {
    std::string operator()(const Hello &m) const { return Line("hello", IdText(m.Program), Num(m.SentNs)); }
    std::string operator()(const Ping &m) const { return Line("ping", IdText(m.Session), Num(m.SentNs)); }
    std::string operator()(const Write &m) const
    {
        if (m.Kind == WriteKind::End)
            return Line("bye", IdText(m.Session), Num(m.Seq), Num(m.AtNs));
        return Line(m.Kind == WriteKind::Renew ? "renew" : "write", IdText(m.Session), Num(m.Seq), Num(m.AtNs),
                    Num(uint64_t(m.LeaseMs)), Num(uint64_t(m.Value)));
    }
    std::string operator()(const Gone &m) const { return Line("gone", IdText(m.Program)); }
    std::string operator()(const CameraAsk &m) const
    {
        return Line("camera", IdText(m.Program), m.Host, Num(uint64_t(m.Port)), Num(uint64_t(m.LeaseMs)),
                    Num(m.SentNs));
    }
    std::string operator()(const CameraAnswer &m) const
    {
        return Line("camera-answer", IdText(m.Program), Num(m.SentNs), Num(m.NodeNs),
                    std::string(CameraStates[int(m.State)]));
    }
    std::string operator()(const Granted &m) const
    {
        return Line("session", IdText(m.Program), IdText(m.Session), Num(m.SentNs), Num(m.NodeNs));
    }
    std::string operator()(const Busy &m) const { return Line("busy", IdText(m.Program)); }
    std::string operator()(const Pong &m) const
    {
        return Line("pong", IdText(m.Session), Num(m.SentNs), Num(m.NodeNs));
    }
    std::string operator()(const Probe &m) const { return Line("probe", IdText(m.Node)); }
    std::string operator()(const Status &m) const
    {
        return Line("status", IdText(m.Node), Num(m.NodeNs), Num(uint64_t(m.Byte)), Num(uint64_t(m.Data)),
                    std::string(m.Ok ? "1" : "0"), m.Session ? IdText(m.Session) : std::string("-"), Num(m.Seq),
                    Num(uint64_t(m.Lapses)), Num(uint64_t(m.Late)), Num(uint64_t(m.Ignored)));
    }
    std::string operator()(const Online &m) const { return Line("online", IdText(m.Node), m.Port); }
    std::string operator()(const Offline &m) const { return Line("offline", IdText(m.Node)); }
};

struct ChannelFinder {
    Channel operator()(const Hello &) const { return Channel::Drive; }
    Channel operator()(const Ping &) const { return Channel::Drive; }
    Channel operator()(const Write &) const { return Channel::Drive; }
    Channel operator()(const Gone &) const { return Channel::Drive; }
    Channel operator()(const CameraAsk &) const { return Channel::Drive; }
    Channel operator()(const CameraAnswer &) const { return Channel::Node; }
    Channel operator()(const Granted &) const { return Channel::Node; }
    Channel operator()(const Busy &) const { return Channel::Node; }
    Channel operator()(const Pong &) const { return Channel::Node; }
    Channel operator()(const Probe &) const { return Channel::Node; }
    Channel operator()(const Status &) const { return Channel::Status; }
    Channel operator()(const Online &) const { return Channel::Online; }
    Channel operator()(const Offline &) const { return Channel::Online; }
};

using Fields = std::vector<std::string_view>;

std::optional<Message> DecodeDrive(std::string_view kind, const Fields &f)
{
    if (kind == "hello" && f.size() == 2) {
        const auto program = Id(f[0]);
        const auto sent = Time(f[1]);
        if (program && sent)
            return Hello{*program, *sent};
    } else if (kind == "ping" && f.size() == 2) {
        const auto session = Id(f[0]);
        const auto sent = Time(f[1]);
        if (session && sent)
            return Ping{*session, *sent};
    } else if ((kind == "write" || kind == "renew") && f.size() == 5) {
        const auto session = Id(f[0]);
        const auto seq = Number(f[1], std::numeric_limits<uint64_t>::max());
        const auto at = Time(f[2]);
        const auto lease = Number(f[3], MaxLeaseMs);
        const auto value = Number(f[4], 255);
        if (session && seq && *seq > 0 && at && lease && *lease >= uint64_t(MinLeaseMs) && value)
            return Write{kind == "renew" ? WriteKind::Renew : WriteKind::Write, *session, *seq, *at,
                         uint32_t(*lease), uint8_t(*value)};
    } else if (kind == "bye" && f.size() == 3) {
        const auto session = Id(f[0]);
        const auto seq = Number(f[1], std::numeric_limits<uint64_t>::max());
        const auto at = Time(f[2]);
        if (session && seq && *seq > 0 && at)
            return Write{WriteKind::End, *session, *seq, *at, 0, 0};
    } else if (kind == "gone" && f.size() == 1) {
        if (const auto program = Id(f[0]))
            return Gone{*program};
    } else if (kind == "camera" && f.size() == 5) {
        const auto program = Id(f[0]);
        const auto port = Number(f[2], 65535);
        const auto lease = Number(f[3], CameraMaxLeaseMs);
        const auto sent = Time(f[4]);
        if (program && Address(f[1]) && port && *port > 0 && lease && *lease >= uint64_t(CameraMinLeaseMs) && sent)
            return CameraAsk{*program, std::string(f[1]), uint16_t(*port), uint32_t(*lease), *sent};
    }
    return std::nullopt;
}

std::optional<Message> DecodeNode(std::string_view kind, const Fields &f)
{
    if (kind == "session" && f.size() == 4) {
        const auto program = Id(f[0]);
        const auto session = Id(f[1]);
        const auto sent = Time(f[2]);
        const auto node = Time(f[3]);
        if (program && session && sent && node)
            return Granted{*program, *session, *sent, *node};
    } else if (kind == "busy" && f.size() == 1) {
        if (const auto program = Id(f[0]))
            return Busy{*program};
    } else if (kind == "pong" && f.size() == 3) {
        const auto session = Id(f[0]);
        const auto sent = Time(f[1]);
        const auto node = Time(f[2]);
        if (session && sent && node)
            return Pong{*session, *sent, *node};
    } else if (kind == "probe" && f.size() == 1) {
        if (const auto node = Id(f[0]))
            return Probe{*node};
    } else if (kind == "camera-answer" && f.size() == 4) {
        const auto program = Id(f[0]);
        const auto sent = Time(f[1]);
        const auto node = Time(f[2]);
        for (size_t i = 0; program && sent && node && i < std::size(CameraStates); ++i)
            if (f[3] == CameraStates[i])
                return CameraAnswer{*program, *sent, *node, CameraState(i)};
    }
    return std::nullopt;
}

std::optional<Message> DecodeStatus(std::string_view kind, const Fields &f)
{
    if (kind != "status" || f.size() != 10)
        return std::nullopt;
    const auto node = Id(f[0]);
    const auto at = Time(f[1]);
    const auto byte = Number(f[2], 255);
    const auto data = Number(f[3], 255);
    const auto ok = Flag(f[4]);
    const auto session = f[5] == "-" ? std::optional<uint64_t>(0) : Id(f[5]);
    const auto seq = Number(f[6], std::numeric_limits<uint64_t>::max());
    const auto lapses = Number(f[7], std::numeric_limits<uint32_t>::max());
    const auto late = Number(f[8], std::numeric_limits<uint32_t>::max());
    const auto ignored = Number(f[9], std::numeric_limits<uint32_t>::max());
    if (!node || !at || !byte || !data || !ok || !session || !seq || !lapses || !late || !ignored)
        return std::nullopt;
    return Status{*node,    *at,  uint8_t(*byte),     uint8_t(*data),   *ok,
                  *session, *seq, uint32_t(*lapses), uint32_t(*late), uint32_t(*ignored)};
}

std::optional<Message> DecodeOnline(std::string_view kind, const Fields &f)
{
    if (kind == "online" && f.size() == 2) {
        const auto node = Id(f[0]);
        if (node && PortName(f[1]))
            return Online{*node, std::string(f[1])};
    } else if (kind == "offline" && f.size() == 1) {
        if (const auto node = Id(f[0]))
            return Offline{*node};
    }
    return std::nullopt;
}
} // namespace

Topics TopicsOf(const std::string &name)
{
    const std::string folder = "robot/" + name + "/";
    return {folder + "online", folder + "status", folder + "node", folder + "drive"};
}

std::optional<std::string> RobotOfOnlineTopic(std::string_view topic)
{
    constexpr std::string_view head = "robot/", tail = "/online";
    if (topic.size() <= head.size() + tail.size() || topic.substr(0, head.size()) != head ||
        topic.substr(topic.size() - tail.size()) != tail)
        return std::nullopt;
    std::string name(topic.substr(head.size(), topic.size() - head.size() - tail.size()));
    if (!ValidRobotName(name))
        return std::nullopt;
    return name;
}

bool ValidRobotName(const std::string &name, std::string *why)
{
    auto fail = [why](const std::string &text) {
        if (why)
            *why = text;
        return false;
    };
    if (name.empty())
        return fail("the name is empty");
    if (name.size() > MaxNameLength)
        return fail("the name is longer than " + std::to_string(MaxNameLength) + " characters");
    for (char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-'))
            return fail("a name has only letters A-Z and a-z, digits, '_' and '-'");
    return true;
}

Channel ChannelOf(const Message &message) { return std::visit(ChannelFinder{}, message); }

std::string Encode(const Message &message) { return std::visit(Encoder{}, message); }

std::optional<Message> Decode(Channel channel, std::string_view payload)
{
    if (payload.size() > MaxPayload)
        return std::nullopt;
    const auto words = Words(payload);
    if (!words || words->size() < 2 || (*words)[0] != Magic)
        return std::nullopt;
    const std::string_view kind = (*words)[1];
    const Fields fields(words->begin() + 2, words->end());
    switch (channel) {
    case Channel::Drive: return DecodeDrive(kind, fields);
    case Channel::Node: return DecodeNode(kind, fields);
    case Channel::Status: return DecodeStatus(kind, fields);
    case Channel::Online: return DecodeOnline(kind, fields);
    }
    return std::nullopt;
}

uint64_t RandomId()
{
    uint64_t id = 0;
    while (id == 0) {
        ssize_t got = getrandom(&id, sizeof id, 0);
        if (got != ssize_t(sizeof id) && !(got < 0 && errno == EINTR))
            id = uint64_t(LinkNs()) * 0x9E3779B97F4A7C15ull ^ uint64_t(clock()); // no kernel source: never 0 either
    }
    return id;
}

std::string IdText(uint64_t id)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(id));
    return text;
}

std::string BrokerAddress::Text() const
{
    const bool v6 = Host.find(':') != std::string::npos;
    return std::string(Tls ? "mqtts://" : "mqtt://") + (v6 ? "[" + Host + "]" : Host) + ":" + std::to_string(Port);
}

std::optional<BrokerAddress> ParseBroker(std::string_view text, std::string *why)
{
    auto fail = [why](const std::string &reason) {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    BrokerAddress address;
    std::string_view rest;
    if (text.substr(0, 7) == "mqtt://") {
        rest = text.substr(7);
    } else if (text.substr(0, 8) == "mqtts://") {
        address.Tls = true;
        address.Port = DefaultTlsPort;
        rest = text.substr(8);
    } else {
        return fail("a broker is mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
    }
    if (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);
    std::string_view port;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos)
            return fail("an IPv6 address lacks its ']'");
        address.Host = std::string(rest.substr(1, close - 1));
        rest = rest.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':')
                return fail("after the address comes :PORT or nothing");
            port = rest.substr(1);
        }
        if (address.Host.empty())
            return fail("the address is empty");
        for (char c : address.Host)
            if (!(std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.'))
                return fail("the address is not an IPv6 address");
    } else {
        const size_t colon = rest.find(':');
        address.Host = std::string(rest.substr(0, colon));
        if (colon != std::string_view::npos)
            port = rest.substr(colon + 1);
        if (address.Host.empty())
            return fail("the host is empty");
        for (char c : address.Host)
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_'))
                return fail("the host has a character a host name cannot have");
        if (colon != std::string_view::npos && port.empty())
            return fail("the port after ':' is missing");
    }
    if (!port.empty()) {
        const auto n = Number(port, 65535);
        if (!n || *n == 0)
            return fail("the port is not a number from 1 to 65535");
        address.Port = int(*n);
    }
    return address;
}

std::optional<int> ParseMs(std::string_view text, int min, int max)
{
    const auto n = Number(text, uint64_t(max));
    if (!n || *n < uint64_t(min))
        return std::nullopt;
    return int(*n);
}

} // namespace remoteproto
