#pragma once
// For the tests of the robot behind a broker: Debian's mosquitto on a free
// loopback port with a private configuration (TestBroker), a relay between a
// client and the broker that can cut, silence or delay the link (TcpRelay),
// and robot-node on the recording library or the virtual robot (TestNode).
// Nothing is mocked: the program and the node speak to the real broker.
#include "support/ProgramOnPort.h"
#include "support/RobotProcess.h"

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

class TestBroker {
public:
    explicit TestBroker(const std::string &dir) : dir_(dir) {}
    ~TestBroker() { Kill(); }
    // Before Start: the broker as the project ships it for robots (TLS, no
    // anonymous clients, the users with these passwords, the shipped access
    // list with `grants` added), made in the folder: the certificates by the
    // shipped script, the password file by mosquitto_passwd.
    bool Secure(const std::map<std::string, std::string> &passwords, const std::string &grants,
                std::string *error = nullptr);
    // Starts mosquitto (anonymous clients unless Secure, no persistence, its
    // log in the folder): on a free port the first time, on the same one
    // after Kill.
    bool Start(std::string *error = nullptr);
    // SIGKILL, as a crash.
    void Kill();
    int Port() const { return port_; }
    std::string Url() const { return (secure_ ? "mqtts://127.0.0.1:" : "mqtt://127.0.0.1:") + std::to_string(port_); }
    // Secure: the CA certificate clients trust, and a credentials file of
    // `user` with `password` (mode 600).
    std::string CaFile() const { return dir_ + "/ca.crt"; }
    std::string Credentials(const std::string &user, const std::string &password) const;

private:
    std::string Config() const;
    std::string dir_;
    bool secure_ = false;
    int port_ = 0;
    pid_t pid_ = -1;
};

// Passes the bytes of every connection made to Port() on to the target port
// and back, each piece `delayMs` plus a random 0..`jitterMs` later (in
// order); or holds every connection silent (open, nothing passed); or cuts
// them (closed, and new ones closed at once).
class TcpRelay {
public:
    enum class Mode { Pass, Silent, Cut };
    explicit TcpRelay(int targetPort);
    ~TcpRelay();
    int Port() const { return port_; }
    void SetDelay(int delayMs, int jitterMs);
    void Set(Mode mode);

private:
    void Run();
    int target_, listener_ = -1, port_ = 0;
    std::atomic<Mode> mode_{Mode::Pass};
    std::atomic<int> delayMs_{0}, jitterMs_{0};
    std::atomic<bool> ending_{false};
    std::thread thread_;
};

// robot-node serving `name` on the recording library (its trace in `dir`),
// or on another port library that `env` names.
class TestNode {
public:
    explicit TestNode(const std::string &dir) : dir_(dir) {}
    ~TestNode();
    // Starts it and waits until it serves (true) or has ended (false; the
    // log says why).
    bool Start(const std::string &broker, const std::string &name, const EnvVars &env = {});
    std::string TracePath() const { return dir_ + "/node-trace.txt"; }
    // The data-register writes that reached its port, its first 0 left out.
    std::vector<Write> Writes() const;
    std::string Log() const;
    pid_t Pid() const { return pid_; }
    // The exit status once it has ended within `ms`.
    std::optional<int> WaitForExit(int ms);

private:
    std::string dir_;
    pid_t pid_ = -1;
    std::optional<int> exit_;
};

// The program's environment for the remote library through `broker`.
EnvVars RemoteEnv(const std::string &broker, const std::string &name);
// The pulses of a list of writes: each code other than 0 with its length.
std::vector<Pulse> PulsesOf(const std::vector<Write> &writes);
