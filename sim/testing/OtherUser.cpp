#include "sim/testing/OtherUser.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

namespace {
const char *PeerProgram = ROBOT_BINARY_DIR "/bin/sim-peer";
} // namespace

QString OtherUserUnavailable()
{
    if (geteuid() != 0)
        return QStringLiteral("acting as another user needs root");
    if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        return QStringLiteral("setpriv is missing");
    return {};
}

Peer::Peer(const QStringList &args, bool asOther)
{
    process_.setProcessChannelMode(QProcess::MergedChannels);
    if (asOther) {
        const QString id = QString::number(OtherUserId);
        process_.start(QStringLiteral("setpriv"), QStringList{QStringLiteral("--reuid=") + id,
                                                              QStringLiteral("--regid=") + id,
                                                              QStringLiteral("--clear-groups"),
                                                              QString::fromUtf8(PeerProgram)} +
                                                      args);
    } else {
        process_.start(QString::fromUtf8(PeerProgram), args);
    }
}

Peer::~Peer()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

QString Peer::Output()
{
    process_.waitForReadyRead(10);
    output_ += QString::fromUtf8(process_.readAll());
    return output_;
}

bool Peer::WaitFor(const QString &text, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!Output().contains(text)) {
        if (deadline.hasExpired() || process_.state() == QProcess::NotRunning)
            return Output().contains(text);
        process_.waitForReadyRead(50);
    }
    return true;
}

QString Peer::Finish(int ms)
{
    process_.waitForFinished(ms);
    output_ += QString::fromUtf8(process_.readAll());
    return output_;
}

OtherUsersFolder::OtherUsersFolder()
{
    const QByteArray outer = QFile::encodeName(outer_.path());
    const QByteArray inner = QFile::encodeName(path());
    ok_ = outer_.isValid() && chmod(outer.constData(), 0711) == 0 && mkdir(inner.constData(), 0700) == 0 &&
          chown(inner.constData(), OtherUserId, OtherUserId) == 0;
}
