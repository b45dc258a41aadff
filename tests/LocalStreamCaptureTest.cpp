// The capture source "unix:<path>": a raw video stream on a local socket, as
// the virtual robot serves its camera. Frames of a server of this user reach
// the pipeline whole and in place; a server of another user, or one that does
// not say a usable format in time, is refused with the reason; the external
// viewer shows the same stream.
#include "sim/testing/OtherUser.h"

#include "capture/CameraPipeline.h"
#include "capture/CaptureSources.h"

#include <QElapsedTimer>
#include <QFile>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {
// The frame sim-peer sends: Y 200, U 90, V 160 (320 x 240 I420).
constexpr size_t YBytes = 320 * 240, UBytes = YBytes / 4, FrameBytes = YBytes * 3 / 2;

CaptureSource SourceAt(const QString &path)
{
    setenv(CaptureSourceVariable, ("unix:" + path).toUtf8().constData(), 1);
    const std::vector<CaptureSource> sources = CaptureSources();
    unsetenv(CaptureSourceVariable);
    return sources.empty() ? CaptureSource{} : sources.front();
}

// Frames handed over by a pipeline, collected from its streaming thread.
struct Frames {
    std::mutex mutex;
    std::vector<CapturedFrame> got;
    std::atomic<bool> failed{false};

    CameraPipeline::FrameFn Sink()
    {
        return [this](CapturedFrame &&f) {
            std::lock_guard<std::mutex> lock(mutex);
            got.push_back(std::move(f));
        };
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return got.size();
    }
    bool WaitFor(size_t n, int ms = 5000)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (Count() < n && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return Count() >= n;
    }
};

// A server of this user that sends `bytes` to its first client and then
// hangs up, or (`hangUp` false) keeps the connection open, saying nothing
// more, until it goes.
class OneShotServer {
public:
    OneShotServer(const std::string &path, std::string bytes, bool hangUp)
        : bytes_(std::move(bytes)), hangUp_(hangUp)
    {
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
        unlink(path.c_str());
        bound_ = bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
                 listen(listener_, 4) == 0;
        thread_ = std::thread([this] {
            client_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client_ >= 0 && !bytes_.empty())
                send(client_, bytes_.data(), bytes_.size(), MSG_NOSIGNAL);
            if (client_ >= 0 && hangUp_)
                shutdown(client_, SHUT_RDWR);
        });
    }
    ~OneShotServer()
    {
        shutdown(listener_, SHUT_RDWR); // ends a pending accept
        thread_.join();
        if (client_ >= 0)
            close(client_);
        close(listener_);
    }
    bool ok() const { return bound_; }

private:
    std::string bytes_;
    bool hangUp_;
    int listener_ = -1;
    std::atomic<int> client_{-1};
    bool bound_ = false;
    std::thread thread_;
};
} // namespace

TEST(CaptureLocalStream, FramesOfAServerOfThisUserArriveWholeAndInPlace)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("camera.sock");
    Peer camera({"camera", path}, false);
    ASSERT_TRUE(camera.WaitFor("ready")) << camera.Output().toStdString();

    const CaptureSource source = SourceAt(path);
    EXPECT_EQ(source.kind, CaptureSource::Kind::LocalStream);
    EXPECT_EQ(source.key, ("unix:" + path).toStdString());
    {
        Frames frames;
        std::string problem;
        auto pipeline = CameraPipeline::Open(source, {{320, 240}, {}}, frames.Sink(),
                                             [&](const std::string &) { frames.failed = true; }, problem);
        ASSERT_TRUE(pipeline);
        ASSERT_TRUE(frames.WaitFor(5));
        std::lock_guard<std::mutex> lock(frames.mutex);
        for (const CapturedFrame &f : frames.got) {
            ASSERT_EQ(f.data.size(), FrameBytes);
            // Each plane exactly where it belongs: the caps line took no byte
            // of the first frame, and no frame is cut across two.
            EXPECT_EQ(f.data.front(), 200);
            EXPECT_EQ(f.data[YBytes - 1], 200);
            EXPECT_EQ(f.data[YBytes], 90);
            EXPECT_EQ(f.data[YBytes + UBytes - 1], 90);
            EXPECT_EQ(f.data[YBytes + UBytes], 160);
            EXPECT_EQ(f.data.back(), 160);
        }
        EXPECT_FALSE(frames.failed);
    }
    // Another size chosen in the format dialog: scaled by the pipeline.
    Frames small;
    std::string problem;
    auto pipeline = CameraPipeline::Open(source, {{160, 120}, {}}, small.Sink(), {}, problem);
    ASSERT_TRUE(pipeline);
    ASSERT_TRUE(small.WaitFor(2));
    std::lock_guard<std::mutex> lock(small.mutex);
    EXPECT_EQ(small.got.front().width, 160);
    EXPECT_EQ(small.got.front().data.size(), 160u * 120 * 3 / 2);
    EXPECT_EQ(small.got.front().data[0], 200);
}

TEST(CaptureLocalStream, ServerOfAnotherUserIsRefused)
{
    if (const QString why = OtherUserUnavailable(); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    OtherUsersFolder folder;
    ASSERT_TRUE(folder.ok());
    const QString path = folder.path() + "/camera.sock";
    Peer impostor({"camera", path}, true);
    ASSERT_TRUE(impostor.WaitFor("ready")) << impostor.Output().toStdString();

    Frames frames;
    std::string said;
    EXPECT_FALSE(CameraPipeline::Open(SourceAt(path), {}, frames.Sink(), {}, said));
    EXPECT_NE(said.find("belongs to user 2002"), std::string::npos) << said;
    EXPECT_EQ(frames.Count(), 0u);
}

TEST(CaptureLocalStream, AServerWithoutAUsableFormatIsRefusedWithTheReason)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("camera.sock").toStdString();
    struct Case {
        const char *what;
        std::string sent;
        bool hang; // the server hangs up after sending
        const char *reason;
    };
    const Case cases[] = {
        {"not caps", "garbage\n", false, "not raw video"},
        {"audio", "audio/x-raw,format=S16LE,rate=8000,channels=1,layout=interleaved\n", false, "not raw video"},
        {"a range of sizes", "video/x-raw,format=I420,width=[1,640],height=240,framerate=30/1\n", false,
         "not raw video"},
        {"no size", "video/x-raw,format=I420\n", false, "not raw video"},
        {"huge", "video/x-raw,format=I420,width=100000,height=100000,framerate=30/1\n", false, "not raw video"},
        {"endless line", std::string(600, 'v'), false, "longer than 512 bytes"},
        {"closed mid-line", "video/x-raw", true, "closed the connection before"},
        {"silent", "", false, "did not say its format within 1000 ms"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        OneShotServer server(path, c.sent, c.hang);
        ASSERT_TRUE(server.ok());
        QElapsedTimer t;
        t.start();
        std::string said;
        EXPECT_FALSE(CameraPipeline::Open(SourceAt(QString::fromStdString(path)), {}, {}, {}, said));
        EXPECT_LT(t.elapsed(), 3000);
        EXPECT_NE(said.find(c.reason), std::string::npos) << said;
    }
    std::string said;
    EXPECT_FALSE(CameraPipeline::Open(SourceAt(dir.filePath("nothing.sock")), {}, {}, {}, said));
    EXPECT_NE(said.find("cannot connect"), std::string::npos) << said;
}

TEST(CaptureLocalStream, ViewerFeedsTheStreamToGstLaunchAndOnlyPlainCaps)
{
    QTemporaryDir dir;
    // A gst-launch-1.0 that keeps its arguments and the first two frames.
    const QString bin = dir.filePath("bin");
    ASSERT_TRUE(QDir().mkpath(bin));
    QFile fake(bin + "/gst-launch-1.0");
    ASSERT_TRUE(fake.open(QIODevice::WriteOnly));
    fake.write("#!/bin/sh\nprintf '%s\\n' \"$*\" > \"$FAKE_OUT/args\"\n"
               "head -c 230400 > \"$FAKE_OUT/frames\"\n");
    fake.close();
    fake.setPermissions(fake.permissions() | QFile::ExeOwner);
    if (QStandardPaths::findExecutable("socat").isEmpty())
        GTEST_SKIP() << "socat is missing (scripts/setup.sh installs it)";

    auto view = [&](const QString &socket) {
        QProcess viewer;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", bin + ":" + env.value("PATH"));
        env.insert("FAKE_OUT", dir.path());
        env.insert(CaptureSourceVariable, "unix:" + socket);
        viewer.setProcessEnvironment(env);
        viewer.setProcessChannelMode(QProcess::MergedChannels);
        viewer.start("sh", {QStringLiteral(ROBOT_SOURCE_DIR "/camera/viewer/kamera")});
        viewer.waitForFinished(10000);
        return QString::fromUtf8(viewer.readAll());
    };

    const QString path = dir.filePath("camera.sock");
    {
        Peer camera({"camera", path}, false);
        ASSERT_TRUE(camera.WaitFor("ready"));
        view(path);
    }
    QFile args(dir.filePath("args")), frames(dir.filePath("frames"));
    ASSERT_TRUE(args.open(QIODevice::ReadOnly) && frames.open(QIODevice::ReadOnly));
    EXPECT_EQ(args.readAll().trimmed().toStdString(),
              "-q fdsrc fd=0 ! video/x-raw,format=I420,width=320,height=240,framerate=30/1 ! "
              "rawvideoparse use-sink-caps=true ! videoconvert ! videoscale ! autovideosink");
    const QByteArray data = frames.readAll();
    ASSERT_EQ(data.size(), 2 * int(FrameBytes));
    EXPECT_EQ(uint8_t(data[0]), 200) << "the caps line is not part of the frames";
    EXPECT_EQ(uint8_t(data[int(YBytes)]), 90);
    EXPECT_EQ(uint8_t(data[int(FrameBytes)]), 200);
    args.remove();

    // A line that would add elements to the pipeline never reaches gst-launch.
    OneShotServer hostile(path.toStdString(),
                          "video/x-raw ! filesink location=" + dir.filePath("x").toStdString() + "\n", true);
    const QString said = view(path);
    EXPECT_TRUE(said.contains("does not send raw video")) << said.toStdString();
    EXPECT_FALSE(QFile::exists(dir.filePath("args")));
}
