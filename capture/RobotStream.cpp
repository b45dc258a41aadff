#include "capture/RobotStream.h"

#include "drive/PortIo.h"

#include <gio/gio.h>
#include <gst/gst.h>
#include <gst/rtp/gstrtpbuffer.h>

namespace {
// The kernel's receive buffer for the stream: a few frames' packets.
constexpr int ReceiveBufferBytes = 1 << 20;
constexpr const char *StreamCaps = "application/x-rtp,media=video,clock-rate=90000,encoding-name=JPEG,payload=26";

GstCaps *TimeCaps()
{
    static GstCaps *caps = gst_caps_from_string(RobotCaptureTimeCaps);
    return caps;
}

// What the bin's probes share, from its making to its end; the stream is
// asked for until then.
struct Stream {
    PortIoCamera camera;
    int port = 0;
    int64_t robotNs = 0; // the capture time of the packets coming in (streaming thread)

    ~Stream() { camera.Want(port, 0); }
};

GstPadProbeReturn TakePacket(GstPad *, GstPadProbeInfo *info, gpointer data)
{
    auto *stream = static_cast<Stream *>(data);
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!(info->type & GST_PAD_PROBE_TYPE_BUFFER) ||
        !gst_rtp_buffer_map(GST_PAD_PROBE_INFO_BUFFER(info), GST_MAP_READ, &rtp))
        return GST_PAD_PROBE_OK; // the depayloader drops what is no RTP
    gpointer bytes = nullptr;
    guint size = 0;
    stream->robotNs =
        gst_rtp_buffer_get_extension_onebyte_header(&rtp, RobotCaptureTimeExtensionId, 0, &bytes, &size)
            ? PacketCaptureTime(static_cast<const uint8_t *>(bytes), size)
            : 0;
    gst_rtp_buffer_unmap(&rtp);
    return GST_PAD_PROBE_OK;
}

// A whole picture leaves the depayloader at its last packet: it is stamped
// with that packet's time on this program's clock, or dropped.
GstPadProbeReturn StampPicture(GstPad *, GstPadProbeInfo *info, gpointer data)
{
    auto *stream = static_cast<Stream *>(data);
    if (!(info->type & GST_PAD_PROBE_TYPE_BUFFER))
        return GST_PAD_PROBE_OK;
    const long long programNs = stream->robotNs > 0 ? stream->camera.Time(stream->robotNs) : 0;
    if (programNs <= 0)
        return GST_PAD_PROBE_DROP;
    GstBuffer *picture = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
    gst_buffer_add_reference_timestamp_meta(picture, TimeCaps(), GstClockTime(programNs), GST_CLOCK_TIME_NONE);
    GST_PAD_PROBE_INFO_DATA(info) = picture;
    return GST_PAD_PROBE_OK;
}

// A UDP socket on a free port of every address of this machine (IPv6 and,
// through it, IPv4; IPv4 alone where there is no IPv6); null with `problem`.
GSocket *FreeUdpSocket(int &port, std::string &problem)
{
    for (GSocketFamily family : {G_SOCKET_FAMILY_IPV6, G_SOCKET_FAMILY_IPV4}) {
        GError *error = nullptr;
        GSocket *socket = g_socket_new(family, G_SOCKET_TYPE_DATAGRAM, G_SOCKET_PROTOCOL_UDP, &error);
        GInetAddress *any = g_inet_address_new_any(family);
        GSocketAddress *address = g_inet_socket_address_new(any, 0);
        g_object_unref(any);
        if (socket && g_socket_bind(socket, address, FALSE, &error)) {
            GSocketAddress *local = g_socket_get_local_address(socket, nullptr);
            port = local ? g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(local)) : 0;
            if (local)
                g_object_unref(local);
            g_object_unref(address);
            if (port > 0)
                return socket;
        } else {
            g_object_unref(address);
        }
        if (error) {
            problem = std::string("cannot open a UDP port for the robot's camera: ") + error->message;
            g_error_free(error);
        }
        if (socket)
            g_object_unref(socket);
    }
    return nullptr;
}
} // namespace

int64_t PacketCaptureTime(const uint8_t *data, unsigned size)
{
    if (!data || size != 8)
        return 0;
    uint64_t value = 0;
    for (unsigned i = 0; i < size; ++i)
        value = value << 8 | data[i];
    return value > uint64_t(INT64_MAX) ? 0 : int64_t(value);
}

int64_t RobotCaptureTime(GstBuffer *buffer)
{
    GstReferenceTimestampMeta *meta = gst_buffer_get_reference_timestamp_meta(buffer, TimeCaps());
    return meta ? int64_t(meta->timestamp) : 0;
}

GstElement *OpenRobotStream(std::string &problem)
{
    const PortIoCamera camera = LoadedPortIoCamera();
    if (!camera) {
        problem = "the port library in use serves no robot's camera (ROBOT_PORT=remote does)";
        return nullptr;
    }
    int port = 0;
    GSocket *socket = FreeUdpSocket(port, problem);
    if (!socket)
        return nullptr;
    GstElement *receiver = gst_element_factory_make("udpsrc", nullptr);
    GstElement *depay = gst_element_factory_make("rtpjpegdepay", nullptr);
    if (!receiver || !depay) {
        problem = "the GStreamer elements udpsrc and rtpjpegdepay are missing (package gstreamer1.0-plugins-good)";
        for (GstElement *element : {receiver, depay})
            if (element)
                gst_object_unref(gst_object_ref_sink(element));
        g_object_unref(socket);
        return nullptr;
    }
    GstCaps *caps = gst_caps_from_string(StreamCaps);
    g_object_set(receiver, "socket", socket, "caps", caps, "buffer-size", ReceiveBufferBytes, nullptr);
    gst_caps_unref(caps);
    g_object_unref(socket); // the receiver keeps its own reference
    GstElement *bin = gst_bin_new("robotstream");
    gst_bin_add_many(GST_BIN(bin), receiver, depay, nullptr);
    GstPad *out = gst_element_get_static_pad(depay, "src");
    const bool linked = gst_element_link(receiver, depay) && gst_element_add_pad(bin, gst_ghost_pad_new("src", out));
    if (!linked) {
        gst_object_unref(out);
        gst_object_unref(gst_object_ref_sink(bin));
        problem = "cannot link the robot's camera stream";
        return nullptr;
    }
    auto *stream = new Stream{camera, port};
    // The stream is asked for while the bin lives.
    g_object_set_data_full(G_OBJECT(bin), "robot-stream", stream, [](gpointer data) { delete static_cast<Stream *>(data); });
    GstPad *in = gst_element_get_static_pad(receiver, "src");
    gst_pad_add_probe(in, GST_PAD_PROBE_TYPE_BUFFER, &TakePacket, stream, nullptr);
    gst_pad_add_probe(out, GST_PAD_PROBE_TYPE_BUFFER, &StampPicture, stream, nullptr);
    gst_object_unref(in);
    gst_object_unref(out);
    camera.Want(port, 1);
    return bin;
}
