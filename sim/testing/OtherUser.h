#pragma once
// For tests: another local user (uid and gid 2002, reached with setpriv, so
// only when the tests run as root) and sim-peer, the other end of robot-sim's
// sockets, run as this user or as that one.
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/types.h>

constexpr uid_t OtherUserId = 2002;

// Why the tests cannot act as the other user; empty when they can.
QString OtherUserUnavailable();

// sim-peer as a child process (see sim/testing/SimPeer.cpp); ended with it.
class Peer {
public:
    // Starts `sim-peer args`, as the other user when `asOther`.
    Peer(const QStringList &args, bool asOther);
    ~Peer();
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    // Waits until its output holds `text`; false after `ms`.
    bool WaitFor(const QString &text, int ms = 5000);
    // Waits for it to end (at most `ms`) and returns all it printed.
    QString Finish(int ms = 5000);
    // What it has printed so far.
    QString Output();
    // Its process id (0 once it has ended); as the other user, setpriv's,
    // which setpriv keeps by executing sim-peer in its place.
    qint64 pid() const { return process_.processId(); }

private:
    QProcess process_;
    QString output_;
};

// A folder of the other user's (mode 0700) inside a fresh folder that anyone
// may pass through but nobody else may list or write.
class OtherUsersFolder {
public:
    OtherUsersFolder();
    bool ok() const { return ok_; }
    QString path() const { return outer_.filePath(QStringLiteral("other")); }

private:
    QTemporaryDir outer_;
    bool ok_ = false;
};
