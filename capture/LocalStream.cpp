#include "capture/LocalStream.h"

#include "core/Clock.h"

#include <gio/gio.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
// Longest caps line taken from a server.
constexpr size_t MaxHeaderBytes = 512;
// Largest frame taken: generous for any camera, small enough to allocate.
constexpr int MaxSide = 8192;
constexpr gsize MaxFrameBytes = 64u << 20;

int64_t NowMs() { return MonotonicNs() / 1'000'000; }

// Connects without blocking; -1 with `problem` set when it cannot.
int Connect(const std::string &path, std::string &problem)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        problem = "the socket path is empty or too long";
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        problem = std::string("cannot create a socket: ") + std::strerror(errno);
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
        problem = std::string("cannot connect: ") + std::strerror(errno);
        close(fd);
        return -1;
    }
    ucred peer{};
    socklen_t length = sizeof(peer);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || length != sizeof(peer)) {
        problem = "the server's user cannot be told; not taking its pictures";
        close(fd);
        return -1;
    }
    if (peer.uid != geteuid()) {
        problem = "the server belongs to user " + std::to_string(peer.uid) + ", not to this user (" +
                  std::to_string(geteuid()) + "); not taking its pictures";
        close(fd);
        return -1;
    }
    return fd;
}

// The first line the server sends, without its newline; false with `problem`
// set when none comes in time.
bool ReadHeader(int fd, std::string &line, std::string &problem)
{
    const int64_t deadline = NowMs() + LocalStreamHeaderTimeoutMs;
    for (;;) {
        char c;
        // One byte at a time: what follows the line is the first frame's.
        const ssize_t got = recv(fd, &c, 1, 0);
        if (got == 1) {
            if (c == '\n')
                return true;
            if (line.size() >= MaxHeaderBytes) {
                problem = "the server's format line is longer than " + std::to_string(MaxHeaderBytes) + " bytes";
                return false;
            }
            line += c;
            continue;
        }
        if (got == 0) {
            problem = "the server closed the connection before saying its format";
            return false;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            problem = std::string("cannot read the server's format: ") + std::strerror(errno);
            return false;
        }
        const int64_t left = deadline - NowMs();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) == 0) {
            problem = "the server did not say its format within " + std::to_string(LocalStreamHeaderTimeoutMs) + " ms";
            return false;
        }
    }
}

// The caps of `line` when they describe fixed raw video of a sensible size;
// null with `problem` set otherwise.
GstCaps *RawVideoCaps(const std::string &line, gsize &frameBytes, std::string &problem)
{
    GstCaps *caps = gst_caps_from_string(line.c_str());
    GstVideoInfo info;
    const bool usable = caps && gst_caps_is_fixed(caps) &&
                        gst_structure_has_name(gst_caps_get_structure(caps, 0), "video/x-raw") &&
                        gst_video_info_from_caps(&info, caps) && GST_VIDEO_INFO_WIDTH(&info) > 0 &&
                        GST_VIDEO_INFO_HEIGHT(&info) > 0 && GST_VIDEO_INFO_WIDTH(&info) <= MaxSide &&
                        GST_VIDEO_INFO_HEIGHT(&info) <= MaxSide && GST_VIDEO_INFO_SIZE(&info) > 0 &&
                        GST_VIDEO_INFO_SIZE(&info) <= MaxFrameBytes;
    if (!usable) {
        problem = "the server's format is not raw video of a fixed, sensible size: \"" + line + "\"";
        if (caps)
            gst_caps_unref(caps);
        return nullptr;
    }
    frameBytes = GST_VIDEO_INFO_SIZE(&info);
    return caps;
}
} // namespace

GstElement *OpenLocalStream(const std::string &path, std::string &problem)
{
    const int fd = Connect(path, problem);
    if (fd < 0)
        return nullptr;
    std::string line;
    gsize frameBytes = 0;
    GstCaps *caps = ReadHeader(fd, line, problem) ? RawVideoCaps(line, frameBytes, problem) : nullptr;
    if (!caps) {
        close(fd);
        return nullptr;
    }
    GError *error = nullptr;
    GSocket *socket = g_socket_new_from_fd(fd, &error); // owns fd from here on
    GstElement *reader = gst_element_factory_make("socketsrc", nullptr);
    GstElement *parse = gst_element_factory_make("rawvideoparse", nullptr);
    GstElement *bin = nullptr;
    if (socket && reader && parse) {
        // Whole reads of a frame; the frames are cut by the format alone.
        g_object_set(reader, "socket", socket, "caps", caps, "blocksize", guint(frameBytes), nullptr);
        g_object_set(parse, "use-sink-caps", TRUE, nullptr);
        bin = gst_bin_new("localstream");
        gst_bin_add_many(GST_BIN(bin), reader, parse, nullptr);
        GstPad *out = gst_element_get_static_pad(parse, "src");
        if (!gst_element_link(reader, parse) || !gst_element_add_pad(bin, gst_ghost_pad_new("src", out))) {
            gst_object_unref(gst_object_ref_sink(bin));
            bin = nullptr;
            problem = "cannot link the stream's reader";
        }
        gst_object_unref(out);
    } else {
        problem = error ? std::string("cannot take the socket: ") + error->message
                        : std::string("the GStreamer elements socketsrc and rawvideoparse are missing");
        for (GstElement *element : {reader, parse})
            if (element)
                gst_object_unref(gst_object_ref_sink(element));
        if (!socket)
            close(fd);
    }
    if (socket)
        g_object_unref(socket); // the reader keeps its own reference
    if (error)
        g_error_free(error);
    gst_caps_unref(caps);
    return bin;
}
