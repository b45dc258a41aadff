#include "portio/remote/node/NodeCamera.h"

#include "capture/CameraPipeline.h"
#include "capture/CaptureSources.h"
#include "capture/GStreamer.h"
#include "core/Clock.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtp/gstrtpbuffer.h>

#include <algorithm>
#include <chrono>
#include <limits>

namespace remotenode {
using remoteproto::CameraAsk;
using remoteproto::CameraState;

namespace {
// The capture time of `packet` (its PTS, the node's clock) into its header
// extension.
void StampPacket(GstBuffer *packet)
{
    const GstClockTime pts = GST_BUFFER_PTS(packet);
    if (!GST_CLOCK_TIME_IS_VALID(pts))
        return;
    uint8_t bytes[CaptureTimeExtensionBytes];
    for (int i = 0; i < CaptureTimeExtensionBytes; ++i)
        bytes[i] = uint8_t(uint64_t(pts) >> (8 * (CaptureTimeExtensionBytes - 1 - i)));
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (gst_rtp_buffer_map(packet, GST_MAP_READWRITE, &rtp)) {
        gst_rtp_buffer_add_extension_onebyte_header(&rtp, CaptureTimeExtensionId, bytes, sizeof bytes);
        gst_rtp_buffer_unmap(&rtp);
    }
}

GstPadProbeReturn StampPackets(GstPad *, GstPadProbeInfo *info, gpointer)
{
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
        GstBuffer *packet = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
        StampPacket(packet);
        GST_PAD_PROBE_INFO_DATA(info) = packet;
    } else if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
        GstBufferList *list = gst_buffer_list_make_writable(GST_PAD_PROBE_INFO_BUFFER_LIST(info));
        for (guint i = 0; i < gst_buffer_list_length(list); ++i)
            StampPacket(gst_buffer_list_get_writable(list, i));
        GST_PAD_PROBE_INFO_DATA(info) = list;
    }
    return GST_PAD_PROBE_OK;
}
} // namespace

// The sending pipeline: frames in, JPEG over RTP out to the clients.
struct NodeCamera::Sender {
    GstElement *pipeline = nullptr;
    GstElement *input = nullptr;  // appsrc, owned by pipeline
    GstElement *output = nullptr; // multiudpsink, owned by pipeline
    std::vector<CameraLeases::Client> clients;

    ~Sender()
    {
        if (input)
            gst_object_unref(input);
        if (output)
            gst_object_unref(output);
        if (pipeline) {
            gst_element_set_state(pipeline, GST_STATE_NULL);
            gst_object_unref(pipeline);
        }
    }

    bool Start(std::string &problem)
    {
        GError *error = nullptr;
        // Frames as they come (the camera paces them), newest first when the
        // encoder falls behind; packets out at once.
        pipeline = gst_parse_launch("appsrc name=frames is-live=true format=time do-timestamp=false "
                                    "max-bytes=1000000 ! jpegenc quality=80 ! rtpjpegpay name=pay mtu=1400 "
                                    "timestamp-offset=0 ! multiudpsink name=out sync=false async=false",
                                    &error);
        if (error) {
            problem = std::string("the camera's sending pipeline cannot be made: ") + error->message +
                      " (packages gstreamer1.0-plugins-base and gstreamer1.0-plugins-good)";
            g_error_free(error);
            return false;
        }
        input = gst_bin_get_by_name(GST_BIN(pipeline), "frames");
        output = gst_bin_get_by_name(GST_BIN(pipeline), "out");
        gst_util_set_object_arg(G_OBJECT(input), "leaky-type", "downstream");
        GstCaps *caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT,
                                            CameraWidth, "height", G_TYPE_INT, CameraHeight, "framerate",
                                            GST_TYPE_FRACTION, 0, 1, nullptr);
        g_object_set(input, "caps", caps, nullptr);
        gst_caps_unref(caps);
        GstElement *pay = gst_bin_get_by_name(GST_BIN(pipeline), "pay");
        GstPad *packets = gst_element_get_static_pad(pay, "src");
        gst_pad_add_probe(packets, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                          &StampPackets, nullptr, nullptr);
        gst_object_unref(packets);
        gst_object_unref(pay);
        if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            problem = "the camera's sending pipeline does not start";
            return false;
        }
        return true;
    }

    void Push(CapturedFrame &&frame, int64_t capturedNs)
    {
        if (frame.width != CameraWidth || frame.height != CameraHeight)
            return;
        auto *bytes = new std::vector<uint8_t>(std::move(frame.data));
        GstBuffer *buffer = gst_buffer_new_wrapped_full(
            GST_MEMORY_FLAG_READONLY, bytes->data(), bytes->size(), 0, bytes->size(), bytes,
            [](gpointer data) { delete static_cast<std::vector<uint8_t> *>(data); });
        GST_BUFFER_PTS(buffer) = GstClockTime(capturedNs);
        gst_app_src_push_buffer(GST_APP_SRC(input), buffer);
    }

    void SendTo(const std::vector<CameraLeases::Client> &wanted)
    {
        for (const auto &client : clients)
            if (std::find(wanted.begin(), wanted.end(), client) == wanted.end())
                g_signal_emit_by_name(output, "remove", client.Host.c_str(), gint(client.Port));
        for (const auto &client : wanted)
            if (std::find(clients.begin(), clients.end(), client) == clients.end())
                g_signal_emit_by_name(output, "add", client.Host.c_str(), gint(client.Port));
        clients = wanted;
    }
};

NodeCamera::NodeCamera(int lateMs) : lateNs_(int64_t(lateMs) * 1'000'000)
{
    EnsureGStreamer();
    thread_ = std::thread([this] { Run(); });
}

NodeCamera::~NodeCamera()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

CameraState NodeCamera::Ask(const CameraAsk &ask, int64_t now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_)
        return CameraState::Failed;
    const CameraState state = leases_.Ask(ask, now);
    changed_.notify_all();
    return state;
}

int64_t NodeCamera::Expire(int64_t now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t before = leases_.Clients().size();
    leases_.Expire(now);
    if (leases_.Clients().size() != before)
        changed_.notify_all();
    return leases_.NextNs();
}

std::string NodeCamera::TakeNote()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (notes_.empty())
        return "";
    std::string note = notes_.front();
    notes_.erase(notes_.begin());
    return note;
}

void NodeCamera::Run()
{
    std::unique_ptr<Sender> sender;
    std::unique_ptr<CameraPipeline> camera;
    std::vector<CameraLeases::Client> sentTo;
    bool broke = false; // the open camera failed (its pipeline's error)
    std::string lastNote;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait_for(lock, std::chrono::milliseconds(100),
                          [&] { return stopping_ || leases_.Clients() != sentTo || (camera && broke); });
        if (stopping_)
            break;
        const std::vector<CameraLeases::Client> wanted = leases_.Clients();
        if (wanted.empty())
            failed_ = false; // the next first ask tries the camera again
        const bool open = !wanted.empty() && !camera && !failed_, close = camera && (wanted.empty() || broke);
        broke = false;
        lock.unlock();
        std::string note;
        if (close) {
            camera.reset(); // its streaming thread ends before the sender goes
            sender.reset();
            if (wanted.empty())
                note = "camera closed: no program asks for it";
        } else if (open) {
            CaptureSource source;
            sender = std::make_unique<Sender>();
            if (!ResolveDriver(0, source)) {
                note = "no camera to serve: " + NoCameraMessage(0);
            } else if (sender->Start(note)) {
                Sender *to = sender.get();
                const int64_t lateNs = lateNs_;
                FrameChoice choice;
                choice.size = QSize(CameraWidth, CameraHeight);
                std::string problem;
                camera = CameraPipeline::Open(
                    source, choice,
                    [to, lateNs](CapturedFrame &&frame) {
                        // Its capture time, from the monotonic clock to the link's.
                        const int64_t captured = frame.capturedNs + (remoteproto::LinkNs() - MonotonicNs()) - lateNs;
                        to->Push(std::move(frame), captured);
                    },
                    [this, &broke](const std::string &reason) {
                        std::lock_guard<std::mutex> failing(mutex_);
                        broke = true;
                        notes_.push_back("the camera failed: " + reason);
                        changed_.notify_all();
                    },
                    problem);
                note = camera ? "camera " + source.name + " open, sent as RTP/JPEG at " + std::to_string(CameraWidth) +
                                    "x" + std::to_string(CameraHeight)
                              : "the camera " + source.name + " cannot be opened: " + problem;
            }
            if (!camera)
                sender.reset();
        }
        lock.lock();
        // A camera that cannot be opened is tried again at each first ask,
        // and said again only when the reason changes.
        if (!note.empty() && note != lastNote)
            notes_.push_back(note);
        if (!note.empty())
            lastNote = note;
        if (!wanted.empty() && !camera)
            failed_ = true;
        if (sender)
            sender->SendTo(wanted);
        sentTo = wanted;
    }
    lock.unlock();
    camera.reset();
    sender.reset();
}

} // namespace remotenode
