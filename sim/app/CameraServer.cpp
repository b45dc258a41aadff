#include "sim/app/CameraServer.h"

#include "core/Clock.h"
#include "sim/app/LocalSocket.h"
#include "sim/protocol/SimProtocol.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr int FramesPerSecond = 30;
constexpr int64_t FramePeriodNs = 1'000'000'000 / FramesPerSecond;
// Without clients only the arena window's small view wants pictures.
constexpr int64_t IdlePeriodNs = 200'000'000;
// Kernel send buffer per client: about one frame, so that what a client
// receives is never much older than the newest frame.
constexpr int SendBufferBytes = sim::CameraFrameBytes;
// Connections waiting to be accepted.
constexpr int ListenBacklog = 4;

void SleepUntil(int64_t ns)
{
    timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// Sends all of `size` bytes; false when the client has gone.
bool SendAll(int fd, const uint8_t *data, size_t size)
{
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}
} // namespace

CameraServer::CameraServer(SharedRobot &robot, const std::string &path) : robot_(robot), path_(path)
{
    listenFd_ = ListenAt(path, SOCK_STREAM, ListenBacklog);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        close(listenFd_);
        unlink(path_.c_str());
        throw std::runtime_error(std::string("camera: cannot create an eventfd: ") + std::strerror(errno));
    }
    renderThread_ = std::thread([this] { RenderLoop(); });
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

CameraServer::~CameraServer()
{
    {
        std::lock_guard<std::mutex> lock(frameMutex_);
        stopping_ = true;
    }
    frameReady_.notify_all();
    const uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof(one)) < 0) {
        // Cannot fail for a single write to a fresh counter.
    }
    renderThread_.join();
    acceptThread_.join(); // it has ended every client
    close(wakeFd_);
    close(listenFd_);
    unlink(path_.c_str());
}

std::string CameraServer::SourceDescription() const { return "unix:" + path_; }

std::string CameraServer::StreamHeader()
{
    return "video/x-raw,format=I420,width=" + std::to_string(sim::CameraWidth) +
           ",height=" + std::to_string(sim::CameraHeight) + ",framerate=" + std::to_string(FramesPerSecond) + "/1\n";
}

QImage CameraServer::LatestPicture() const
{
    std::lock_guard<std::mutex> lock(frameMutex_);
    return picture_;
}

void CameraServer::RenderLoop()
{
    int64_t next = MonotonicNs();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(frameMutex_);
            if (stopping_)
                return;
        }
        const int64_t now = MonotonicNs();
        SimScene scene = robot_.Scene();
        scene.sim.AdvanceTo(now);
        QImage picture = scene.floor ? sim::RenderCamera(*scene.floor, scene.sim.world().robot.camera, scene.sim.pose())
                                     : QImage(sim::CameraWidth, sim::CameraHeight, QImage::Format_RGB32);
        if (!scene.floor)
            picture.fill(Qt::black);
        auto frame = std::make_shared<std::vector<uint8_t>>(sim::CameraFrameBytes);
        sim::RgbToI420(picture, frame->data());
        {
            std::lock_guard<std::mutex> lock(frameMutex_);
            frame_ = std::move(frame);
            picture_ = std::move(picture);
            ++frameNumber_;
        }
        frameReady_.notify_all();
        // To absolute deadlines on a fixed grid, so the rate does not drift;
        // a frame whose time has passed is skipped rather than rendered late.
        const int64_t period = clients_.load() > 0 ? FramePeriodNs : IdlePeriodNs;
        const int64_t after = MonotonicNs();
        next += period;
        if (next <= after)
            next += ((after - next) / period + 1) * period;
        SleepUntil(next);
    }
}

void CameraServer::Serve(Client &client)
{
    int64_t sent = 0; // number of the last frame sent
    const std::string header = StreamHeader();
    bool open = SendAll(client.fd, reinterpret_cast<const uint8_t *>(header.data()), header.size());
    while (open) {
        std::shared_ptr<const std::vector<uint8_t>> frame;
        {
            std::unique_lock<std::mutex> lock(frameMutex_);
            frameReady_.wait(lock, [&] { return stopping_ || (frame_ && frameNumber_.load() != sent); });
            if (stopping_)
                break;
            frame = frame_;
            sent = frameNumber_.load();
        }
        open = SendAll(client.fd, frame->data(), frame->size());
    }
    client.done = true;
    const uint64_t one = 1; // let the accept thread collect this client
    if (write(wakeFd_, &one, sizeof(one)) < 0) {
    }
}

void CameraServer::ReapFinished()
{
    for (auto it = clientList_.begin(); it != clientList_.end();) {
        if (!it->done) {
            ++it;
            continue;
        }
        it->thread.join();
        close(it->fd);
        --clients_;
        it = clientList_.erase(it);
    }
}

void CameraServer::AcceptLoop()
{
    // Clients get blocking sockets: each has a writer thread of its own.
    Acceptor acceptor(listenFd_, path_, SOCK_CLOEXEC);
    for (;;) {
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {acceptor.PollFd(), POLLIN, 0}};
        if (poll(fds, 2, acceptor.PollTimeoutMs()) < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            if (read(wakeFd_, &count, sizeof(count)) < 0) {
            }
            ReapFinished();
            std::lock_guard<std::mutex> lock(frameMutex_);
            if (stopping_)
                break;
        }
        // While accepting is paused, try again whenever poll returns.
        if ((fds[1].revents & POLLIN) || fds[1].fd < 0) {
            const int fd = acceptor.Accept();
            if (fd < 0)
                continue;
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &SendBufferBytes, sizeof(SendBufferBytes));
            Client &client = clientList_.emplace_back();
            client.fd = fd;
            ++clients_;
            client.thread = std::thread([this, &client] { Serve(client); });
        }
    }
    // Unblock writers stuck in send, then collect them all.
    for (Client &client : clientList_)
        shutdown(client.fd, SHUT_RDWR);
    frameReady_.notify_all();
    for (Client &client : clientList_) {
        client.thread.join();
        close(client.fd);
    }
    clientList_.clear();
    clients_ = 0;
}
