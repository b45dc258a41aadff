#pragma once
// One connection to the MQTT broker, through libmosquitto, with a thread of
// its own: the remote port library's and robot-node's link. The thread runs
// libmosquitto's network loop (mosquitto_loop) and the owner's timers (Tick);
// it connects, tries again every second after a failure or a break, and
// gives up an attempt that gets no answer within 5 s. Publish() only queues
// the message for that thread (libmosquitto's threaded mode): the caller
// never waits on the network.
//
// Owns the libmosquitto client and the thread. The owner's handlers run on
// the link's thread, outside libmosquitto's callbacks (events are collected
// there and handed on after the loop returns), so a handler may publish.
//
// The thread is the link's own rather than mosquitto_loop_start's because
// that loop ends for good on some errors (a host name that does not resolve,
// a failed TLS handshake) and the renewals need a timer anyway.
#include "portio/remote/RemoteProtocol.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct mosquitto;

namespace remotelink {

struct Credentials {
    std::string User, Password;
};
// The file ROBOT_BROKER_CREDENTIALS names: "user=NAME" and "password=SECRET"
// lines ('#' starts a comment). Refused, with why, unless it is a regular
// file of this user that no one else may read or write (mode 600 or 400).
std::optional<Credentials> ReadCredentials(const std::string &path, std::string &why);
// What to say when a password would cross the network unencrypted (a login
// over mqtt:// to another machine); empty otherwise.
std::string ClearPasswordNote(const remoteproto::BrokerAddress &broker, bool login);

struct Options {
    remoteproto::BrokerAddress Broker;
    std::optional<Credentials> Login;
    std::string CaFile;   // mqtts: the CA certificate; empty: the system's
    std::string ClientId; // unique: a broker drops an older client of the same id
    std::string WillTopic, WillPayload;
    bool WillRetain = false;
    std::vector<std::string> Subscriptions; // subscribed (QoS 1) at every connection
};

struct Handlers {
    // Connected, and subscribed as Options says (the broker takes the
    // subscriptions before anything published from here on).
    std::function<void()> Connected;
    // An attempt failed or a connection broke; `refused`: the broker turned
    // the client away (credentials, not authorised), so trying again will not help.
    std::function<void(const std::string &why, bool refused)> Down;
    std::function<void(const std::string &topic, const std::string &payload)> Message;
    // The owner's timers: called at the time it last returned (LinkNs), and
    // at least every 25 ms; returns when it wants to be called next.
    std::function<int64_t(int64_t nowNs)> Tick;
};

class MqttLink {
public:
    // Sets the client up; Start() starts the thread, which connects at
    // once. The handlers are called from then until Stop() returns.
    MqttLink(Options options, Handlers handlers);
    ~MqttLink();
    MqttLink(const MqttLink &) = delete;
    MqttLink &operator=(const MqttLink &) = delete;

    void Start();
    // Queues a message; false while not connected or when libmosquitto
    // refuses it. Never waits on the network. Any thread.
    bool Publish(const std::string &topic, const std::string &payload, int qos, bool retain);
    // Publishes at QoS 1 and waits up to `ms` for the broker's
    // acknowledgement. Not from the link's thread.
    bool PublishAndWait(const std::string &topic, const std::string &payload, bool retain, int ms);
    // This machine's address on the connection to the broker, as text (the
    // address the broker's other clients on that network reach it at); empty
    // while not connected. From the link's thread (a handler).
    std::string LocalAddress() const;
    // Stops a subscription, also for later connections. Any thread.
    void Unsubscribe(const std::string &topic);
    // Disconnects cleanly (the will is not published) and ends the thread.
    // Not from the link's thread.
    void Stop();

    struct Shared;

private:
    void Run();

    Options options_;
    Handlers handlers_;
    std::shared_ptr<Shared> shared_;
    mosquitto *client_ = nullptr;
    std::thread thread_;
};

} // namespace remotelink
