// The virtual robot is its user's alone: its sockets live in a folder nobody
// else may enter, a named socket in a folder others could write is refused,
// another local user can neither drive the robot nor watch its camera, and
// ./run checks the runtime folder it reuses.
#include "sim/testing/OtherUser.h"
#include "sim/testing/SimProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {
// Mode bits and owner of `path` (not following a link).
struct Owner {
    uid_t uid = 0;
    mode_t mode = 0;
};
Owner OwnerOf(const QString &path)
{
    struct stat info {};
    lstat(QFile::encodeName(path).constData(), &info);
    return {info.st_uid, static_cast<mode_t>(info.st_mode & 07777)};
}

bool SetMode(const QString &path, mode_t mode) { return chmod(QFile::encodeName(path).constData(), mode) == 0; }

QString Folder(const std::string &path) { return QFileInfo(QString::fromStdString(path)).path(); }

int Count(const QString &text, const QString &part) { return text.count(part); }

struct Script {
    int exitCode;
    QString out;
    QString err;
};

// Runs `program args` with `env`, for at most `ms`.
Script RunProgram(const QString &program, const QStringList &args, const QProcessEnvironment &env, int ms = 10000)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForFinished(ms)) {
        p.kill();
        p.waitForFinished();
        return {-1, {}, QStringLiteral("did not end within %1 ms").arg(ms)};
    }
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
}
} // namespace

TEST(SimPrivacy, SocketsGoToThePrivateRuntimeFolderElseToAFreshOneRemovedAtTheEnd)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QTemporaryDir runtime; // mode 0700, ours
    ASSERT_TRUE(runtime.isValid());
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    {
        SimProcess sim;
        ASSERT_TRUE(sim.StartInItsOwnPlace(env)) << sim.error().toStdString();
        EXPECT_EQ(sim.socketPath(), (runtime.path() + "/robot-sim.sock").toStdString());
        EXPECT_EQ(sim.cameraSocket(), (runtime.path() + "/robot-sim-camera.sock").toStdString());
        EXPECT_EQ(sim.cameraSource().toStdString(), "unix:" + sim.cameraSocket());
        for (const std::string &socket : {sim.socketPath(), sim.cameraSocket()})
            EXPECT_EQ(OwnerOf(QString::fromStdString(socket)).mode & 077, 0u) << socket << ": no rights for others";
        EXPECT_TRUE(sim.Query());
        EXPECT_TRUE(sim.Stop());
        EXPECT_FALSE(QFile::exists(QString::fromStdString(sim.socketPath())));
        EXPECT_FALSE(QFile::exists(QString::fromStdString(sim.cameraSocket())));
        EXPECT_TRUE(QDir(runtime.path()).exists()) << "the session's folder stays";
    }

    // Runtime folders that are not private: a fresh folder in TMPDIR instead.
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    env.insert("TMPDIR", tmp.path());
    const QString open = tmp.filePath("open"), link = tmp.filePath("link"), file = tmp.filePath("file");
    ASSERT_TRUE(QDir().mkdir(open) && SetMode(open, 0777));
    ASSERT_TRUE(QFile::link(runtime.path(), link));
    ASSERT_TRUE(QFile(file).open(QIODevice::WriteOnly));
    std::vector<QString> notPrivate = {{}, open, link, file};
    OtherUsersFolder others;
    if (OtherUserUnavailable().isEmpty() && others.ok())
        notPrivate.push_back(others.path());
    for (const QString &place : notPrivate) {
        SCOPED_TRACE("XDG_RUNTIME_DIR=" + place.toStdString());
        if (place.isEmpty())
            env.remove("XDG_RUNTIME_DIR");
        else
            env.insert("XDG_RUNTIME_DIR", place);
        SimProcess sim;
        ASSERT_TRUE(sim.StartInItsOwnPlace(env)) << sim.error().toStdString();
        const QString folder = Folder(sim.socketPath());
        EXPECT_EQ(QFileInfo(folder).path(), tmp.path());
        EXPECT_TRUE(QFileInfo(folder).fileName().startsWith("robot-sim-")) << folder.toStdString();
        EXPECT_EQ(OwnerOf(folder).mode, 0700u);
        EXPECT_EQ(OwnerOf(folder).uid, geteuid());
        EXPECT_EQ(Folder(sim.cameraSocket()), folder);
        EXPECT_TRUE(sim.Query()) << "the port socket answers";
        EXPECT_TRUE(sim.Stop());
        EXPECT_FALSE(QDir(folder).exists()) << "removed when robot-sim ends";
    }
    EXPECT_EQ(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size(), 3)
        << "nothing left behind but the test's own files";
}

TEST(SimPrivacy, ANamedSocketInAFolderOthersCouldWriteIsRefused)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString open = tmp.filePath("open"), group = tmp.filePath("group");
    ASSERT_TRUE(QDir().mkdir(open) && SetMode(open, 0777));
    ASSERT_TRUE(QDir().mkdir(group) && SetMode(group, 0770));
    for (const QString &folder : {open, group, QDir::tempPath()}) {
        SimProcess sim;
        EXPECT_FALSE(sim.Start((folder + "/robot-sim.sock").toStdString()));
        EXPECT_TRUE(sim.error().contains("open to others' writes") && sim.error().contains(folder))
            << sim.error().toStdString();
    }
    if (OtherUserUnavailable().isEmpty()) {
        const QString theirs = tmp.filePath("theirs");
        ASSERT_TRUE(QDir().mkdir(theirs) && SetMode(theirs, 0755));
        ASSERT_EQ(chown(QFile::encodeName(theirs).constData(), OtherUserId, OtherUserId), 0);
        SimProcess sim;
        EXPECT_FALSE(sim.Start((theirs + "/robot-sim.sock").toStdString()));
        EXPECT_TRUE(sim.error().contains("belongs to user 2002")) << sim.error().toStdString();
    }
}

TEST(SimPrivacy, AnotherUserCanNeitherReachThePortNorWatchTheCamera)
{
    if (const QString why = OtherUserUnavailable(); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    SimProcess sim;
    ASSERT_TRUE(sim.Start()) << sim.error().toStdString();
    const QString port = QString::fromStdString(sim.socketPath());
    const QString camera = QString::fromStdString(sim.cameraSocket());

    // The private folder keeps the other user out.
    EXPECT_EQ(Peer({"query", port}, true).Finish().trimmed().toStdString(), "connect: Permission denied");
    EXPECT_EQ(Peer({"watch", camera}, true).Finish().trimmed().toStdString(), "connect: Permission denied");

    // With the folder and the sockets opened up by mistake, robot-sim still
    // turns the other user away: no state, no frames.
    ASSERT_TRUE(SetMode(Folder(sim.socketPath()), 0711) && SetMode(port, 0777) && SetMode(camera, 0777));
    EXPECT_EQ(Peer({"query", port}, true).Finish().trimmed().toStdString(), "closed");
    EXPECT_EQ(Peer({"watch", camera}, true).Finish().trimmed().toStdString(), "received 0");
    EXPECT_EQ(Peer({"query", port}, true).Finish().trimmed().toStdString(), "closed");
    const QString log = sim.Output();
    EXPECT_EQ(Count(log, "refused a connection on " + port + " from user 2002"), 1) << "said once: "
                                                                                      << log.toStdString();
    EXPECT_EQ(Count(log, "refused a connection on " + camera + " from user 2002"), 1) << log.toStdString();

    // This user still gets in.
    EXPECT_EQ(Peer({"query", port}, false).Finish().left(9).toStdString(), "answer: {");
    const QString watched = Peer({"watch", camera}, false).Finish().trimmed();
    EXPECT_TRUE(watched.startsWith("received ") && watched != "received 0") << watched.toStdString();
    EXPECT_TRUE(sim.Stop());
}

TEST(SimPrivacy, RunChecksTheRuntimeFolderItReuses)
{
    const QString script = QStringLiteral(ROBOT_SOURCE_DIR "/scripts/runtime-dir.sh");
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", tmp.path());

    // A private folder is used as it is.
    const QString good = tmp.filePath("good");
    ASSERT_TRUE(QDir().mkdir(good) && SetMode(good, 0700));
    env.insert("XDG_RUNTIME_DIR", good);
    Script r = RunProgram(script, {}, env);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out.trimmed(), good);

    // None given: a fresh private folder of a name nobody can guess.
    env.remove("XDG_RUNTIME_DIR");
    r = RunProgram(script, {}, env);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QString fresh = r.out.trimmed();
    EXPECT_EQ(QFileInfo(fresh).path(), tmp.path());
    EXPECT_EQ(OwnerOf(fresh).mode, 0700u);
    r = RunProgram(script, {}, env);
    EXPECT_NE(r.out.trimmed(), fresh) << "a new one each time";

    // Anything else stops it with the reason.
    const QString open = tmp.filePath("open"), groups = tmp.filePath("groups"), link = tmp.filePath("link");
    ASSERT_TRUE(QDir().mkdir(open) && SetMode(open, 0777));
    ASSERT_TRUE(QDir().mkdir(groups) && SetMode(groups, 0750));
    ASSERT_TRUE(QFile::link(good, link));
    std::vector<std::pair<QString, QString>> bad = {{open, "has mode 0777"},
                                                    {groups, "has mode 0750"},
                                                    {link, "is a symbolic link"},
                                                    {tmp.filePath("missing"), "is not a folder"}};
    if (OtherUserUnavailable().isEmpty()) {
        const QString theirs = tmp.filePath("theirs");
        ASSERT_TRUE(QDir().mkdir(theirs) && SetMode(theirs, 0700));
        ASSERT_EQ(chown(QFile::encodeName(theirs).constData(), OtherUserId, OtherUserId), 0);
        bad.push_back({theirs, "belongs to user 2002"});
    }
    for (const auto &[folder, reason] : bad) {
        env.insert("XDG_RUNTIME_DIR", folder);
        r = RunProgram(script, {}, env);
        EXPECT_EQ(r.exitCode, 1) << folder.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_TRUE(r.err.contains(reason) && r.err.contains(folder)) << r.err.toStdString();
    }

    // ./run stops on it before building anything. (Without a display, so
    // that a ./run that went on would stop at the display check.)
    env.insert("XDG_RUNTIME_DIR", open);
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    r = RunProgram(QStringLiteral(ROBOT_SOURCE_DIR "/run"), {}, env, 60000);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.startsWith("robot: XDG_RUNTIME_DIR (" + open + ") has mode 0777")) << r.err.toStdString();
}
