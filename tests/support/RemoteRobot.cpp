#include "support/RemoteRobot.h"

#include "core/Clock.h"
#include "core/RobotWiring.h"
#include "support/TextSearch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <fstream>
#include <random>
#include <sstream>

using namespace std::chrono_literals;

namespace {
int LoopbackSocket(int port, sockaddr_in &address)
{
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

// A port no one listens on now.
int FreePort()
{
    sockaddr_in address;
    const int fd = LoopbackSocket(0, address);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

bool Accepts(int port)
{
    sockaddr_in address;
    const int fd = LoopbackSocket(port, address);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

bool Run(const std::vector<std::string> &argv, const std::string &dir, std::string *error)
{
    const std::string log = dir + "/setup.log";
    const pid_t pid = Spawn({argv, CurrentEnvironment({}), dir, log, log}, error);
    const auto status = pid > 0 ? WaitForChild(pid, 30000) : std::nullopt;
    if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        return true;
    if (error)
        *error = argv[0] + " failed: " + FileText(log);
    return false;
}
} // namespace

bool TestBroker::Secure(const std::map<std::string, std::string> &passwords, const std::string &grants,
                        std::string *error)
{
    secure_ = true;
    std::ofstream passwd(dir_ + "/passwd");
    for (const auto &[user, password] : passwords)
        passwd << user << ':' << password << '\n';
    passwd.close();
    std::ofstream(dir_ + "/acl") << FileText(ROBOT_SOURCE_DIR "/packaging/broker/robot-broker.acl") << '\n' << grants;
    // Hashed in place: no password on a command line.
    return Run({ROBOT_SOURCE_DIR "/packaging/broker/robot-broker-certificates.sh", dir_, "127.0.0.1"}, dir_, error) &&
           Run({"mosquitto_passwd", "-U", dir_ + "/passwd"}, dir_, error);
}

std::string TestBroker::Config() const
{
    if (!secure_)
        return "listener " + std::to_string(port_) + " 127.0.0.1\nallow_anonymous true\npersistence false\n";
    // The shipped configuration, its folder and port made this test's; as
    // root, mosquitto stays root to read the test's private folder.
    std::string config = FileText(ROBOT_SOURCE_DIR "/packaging/broker/robot-broker.conf");
    for (size_t at; (at = config.find("/etc/mosquitto/robot")) != std::string::npos;)
        config.replace(at, 20, dir_);
    const std::string listener = "listener 8883";
    config.replace(config.find(listener), listener.size(), "listener " + std::to_string(port_) + " 127.0.0.1");
    return config + "persistence false\nuser root\n";
}

std::string TestBroker::Credentials(const std::string &user, const std::string &password) const
{
    const std::string path = dir_ + "/" + user + ".credentials";
    std::ofstream(path) << "user=" << user << "\npassword=" << password << '\n';
    chmod(path.c_str(), 0600);
    return path;
}

bool TestBroker::Start(std::string *error)
{
    const bool fresh = port_ == 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (fresh)
            port_ = FreePort();
        const std::string config = dir_ + "/mosquitto.conf", log = dir_ + "/mosquitto.log";
        std::ofstream(config) << Config();
        std::ofstream(log, std::ios::trunc).close();
        pid_ = Spawn({{"/usr/sbin/mosquitto", "-c", config}, CurrentEnvironment({}), dir_, log, log}, error);
        if (pid_ < 0)
            return false;
        bool ended = false;
        WaitFor([&] { return (ended = WaitForChild(pid_, 0).has_value()) || Accepts(port_); }, 5s);
        if (!ended && Accepts(port_))
            return true;
        if (ended)
            pid_ = -1;
        Kill(); // the port was taken meanwhile, or the configuration refused
        if (error)
            *error = FileText(log);
    }
    return false;
}

void TestBroker::Kill()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

TcpRelay::TcpRelay(int targetPort) : target_(targetPort)
{
    sockaddr_in address;
    listener_ = LoopbackSocket(0, address);
    socklen_t length = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address);
    listen(listener_, 8);
    getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

TcpRelay::~TcpRelay()
{
    ending_ = true;
    thread_.join();
    close(listener_);
}

void TcpRelay::SetDelay(int delayMs, int jitterMs)
{
    delayMs_ = delayMs;
    jitterMs_ = jitterMs;
}

void TcpRelay::Set(Mode mode) { mode_ = mode; }

void TcpRelay::Run()
{
    struct Piece {
        int64_t dueNs;
        std::string bytes;
    };
    struct Way {
        int from, to;
        std::deque<Piece> queue;
        int64_t lastDueNs = 0;
    };
    std::vector<Way> ways; // in pairs: client to broker, broker to client
    std::mt19937 random(7);
    const auto closeAll = [&] {
        for (size_t i = 0; i < ways.size(); i += 2)
            close(ways[i].from), close(ways[i].to);
        ways.clear();
    };
    while (!ending_) {
        const Mode mode = mode_;
        if (mode == Mode::Cut)
            closeAll();
        std::vector<pollfd> fds{{listener_, POLLIN, 0}};
        for (const Way &way : ways)
            fds.push_back({way.from, short(mode == Mode::Pass ? POLLIN : 0), 0});
        poll(fds.data(), fds.size(), 1);
        if (fds[0].revents & POLLIN) {
            const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            sockaddr_in address;
            const int broker = LoopbackSocket(target_, address);
            if (mode == Mode::Cut || connect(broker, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
                close(client), close(broker);
            } else {
                ways.push_back({client, broker, {}});
                ways.push_back({broker, client, {}});
            }
        }
        const int64_t now = MonotonicNs();
        bool broken = false;
        for (size_t i = 0; mode == Mode::Pass && i < ways.size() && i + 1 < fds.size(); ++i) {
            Way &way = ways[i];
            if (fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR)) {
                char buffer[4096];
                const ssize_t n = read(way.from, buffer, sizeof buffer);
                if (n <= 0) {
                    broken = true;
                    continue;
                }
                const int jitter = jitterMs_ > 0 ? int(random() % unsigned(jitterMs_ + 1)) : 0;
                way.lastDueNs = std::max(way.lastDueNs, now + int64_t(delayMs_ + jitter) * 1'000'000);
                way.queue.push_back({way.lastDueNs, std::string(buffer, size_t(n))});
            }
            while (!way.queue.empty() && way.queue.front().dueNs <= now) {
                const std::string &bytes = way.queue.front().bytes;
                if (write(way.to, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
                    broken = true;
                way.queue.pop_front();
            }
        }
        if (broken) // one end closed: so does the relay, both ends of every link (one client here)
            closeAll();
    }
    closeAll();
}

TestNode::~TestNode()
{
    if (pid_ > 0 && !WaitForExit(0)) {
        kill(pid_, SIGTERM);
        if (!WaitForExit(3000)) {
            kill(pid_, SIGKILL);
            WaitForExit(3000);
        }
    }
}

bool TestNode::Start(const std::string &broker, const std::string &name, const EnvVars &env)
{
    std::map<std::string, std::string> vars{{"ROBOT_BROKER", broker},
                                            {"ROBOT_NAME", name},
                                            {"ROBOT_PORT", "recording"},
                                            {"ROBOT_PORT_TRACE", TracePath()}};
    for (const auto &[key, value] : env)
        vars[key] = value;
    EnvVars all = CurrentEnvironment({"ROBOT_", "LD_LIBRARY_PATH", "LD_PRELOAD"});
    all.insert(all.end(), vars.begin(), vars.end());
    pid_ = Spawn({{ROBOT_BINARY_DIR "/bin/robot-node"}, all, dir_, dir_ + "/node.log", dir_ + "/node.log"});
    return pid_ > 0 && WaitFor([&] {
               return Log().find("robot-node: serving the robot") != std::string::npos || WaitForExit(0).has_value();
           }) && Log().find("robot-node: serving the robot") != std::string::npos;
}

std::vector<Write> TestNode::Writes() const
{
    std::vector<Write> out;
    for (const PortAccess &a : ReadTrace(TracePath()))
        if (a.kind == 'W' && a.port == DataPort)
            out.push_back({a.ns, a.value});
    if (!out.empty())
        out.erase(out.begin());
    return out;
}

std::string TestNode::Log() const { return FileText(dir_ + "/node.log"); }

std::optional<int> TestNode::WaitForExit(int ms)
{
    if (pid_ <= 0)
        return exit_;
    if (auto status = WaitForChild(pid_, ms)) {
        exit_ = WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
        pid_ = -1;
    }
    return pid_ > 0 ? std::nullopt : exit_;
}

EnvVars RemoteEnv(const std::string &broker, const std::string &name)
{
    return {{"LD_LIBRARY_PATH", ROBOT_BINARY_DIR "/lib/remote"}, {"ROBOT_BROKER", broker}, {"ROBOT_NAME", name}};
}

std::vector<Pulse> PulsesOf(const std::vector<Write> &writes)
{
    std::vector<Pulse> pulses;
    for (size_t i = 0; i + 1 < writes.size(); ++i)
        if (writes[i].Value != 0)
            pulses.push_back({writes[i].Value, double(writes[i + 1].Ns - writes[i].Ns) / 1e6});
    return pulses;
}
