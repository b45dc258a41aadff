#include "capture/CameraPipeline.h"

#include "capture/GStreamer.h"
#include "capture/LocalStream.h"
#include "core/Clock.h"
#include "core/FrameFormat.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/colorbalance.h>
#include <gst/video/video.h>

#include <QString>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

const char *const PictureControlNames[4] = {"brightness", "contrast", "saturation", "hue"};

namespace {
// The test picture: a ball moving over a black background.
constexpr const char *TestPattern = "ball";
constexpr int TestFramesPerSecond = 30;
// Common frame sizes offered where a source accepts a range.
constexpr int CommonSizes[][2] = {{160, 120}, {176, 144}, {320, 240},  {352, 288},  {640, 480},
                                  {800, 600}, {1024, 768}, {1280, 720}, {1280, 960}, {1920, 1080}};

GstCaps *CapsFromString(const std::string &text)
{
    return gst_caps_from_string(text.c_str());
}

std::string SizeCaps(QSize size)
{
    return "width=" + std::to_string(size.width()) + ",height=" + std::to_string(size.height());
}

// Values of an int field: one, a list, or (as a range) the common sizes' values.
bool FieldAccepts(const GValue *value, int wanted)
{
    if (!value)
        return true;
    if (G_VALUE_HOLDS_INT(value))
        return g_value_get_int(value) == wanted;
    if (GST_VALUE_HOLDS_INT_RANGE(value))
        return wanted >= gst_value_get_int_range_min(value) &&
               wanted <= gst_value_get_int_range_max(value);
    if (GST_VALUE_HOLDS_LIST(value)) {
        for (guint i = 0; i < gst_value_list_get_size(value); ++i)
            if (FieldAccepts(gst_value_list_get_value(value, i), wanted))
                return true;
    }
    return false;
}

void FixedValues(const GValue *value, std::vector<int> &out)
{
    if (!value)
        return;
    if (G_VALUE_HOLDS_INT(value))
        out.push_back(g_value_get_int(value));
    else if (GST_VALUE_HOLDS_LIST(value))
        for (guint i = 0; i < gst_value_list_get_size(value); ++i)
            FixedValues(gst_value_list_get_value(value, i), out);
}

GstPad *FirstSourcePad(GstElement *element)
{
    GstPad *found = nullptr;
    GstIterator *it = gst_element_iterate_src_pads(element);
    GValue item = G_VALUE_INIT;
    if (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        found = GST_PAD(g_value_dup_object(&item));
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return found;
}

std::string Lower(const char *text)
{
    std::string out = text ? text : "";
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return out;
}

GstColorBalanceChannel *FindChannel(GstColorBalance *balance, const std::string &name)
{
    for (const GList *item = gst_color_balance_list_channels(balance); item; item = item->next) {
        auto *channel = GST_COLOR_BALANCE_CHANNEL(item->data);
        if (Lower(channel->label) == name)
            return channel;
    }
    return nullptr;
}

bool HasPictureControls(GstElement *element)
{
    if (!element || !GST_IS_COLOR_BALANCE(element))
        return false;
    for (const char *name : PictureControlNames)
        if (FindChannel(GST_COLOR_BALANCE(element), name))
            return true;
    return false;
}
} // namespace

std::vector<QSize> SizesInCaps(const GstCaps *caps)
{
    std::vector<QSize> sizes;
    if (!caps)
        return sizes;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        const GstStructure *s = gst_caps_get_structure(caps, i);
        if (!gst_structure_has_name(s, "video/x-raw"))
            continue;
        const GValue *width = gst_structure_get_value(s, "width");
        const GValue *height = gst_structure_get_value(s, "height");
        std::vector<int> widths, heights;
        FixedValues(width, widths);
        FixedValues(height, heights);
        if (!widths.empty() && !heights.empty()) {
            for (int w : widths)
                for (int h : heights)
                    sizes.emplace_back(w, h);
            continue;
        }
        for (const auto &common : CommonSizes)
            if (FieldAccepts(width, common[0]) && FieldAccepts(height, common[1]))
                sizes.emplace_back(common[0], common[1]);
    }
    std::sort(sizes.begin(), sizes.end(), [](QSize a, QSize b) {
        return a.width() != b.width() ? a.width() < b.width() : a.height() < b.height();
    });
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    return sizes;
}

struct PipelineCallbacks {
    static GstFlowReturn Sample(GstAppSink *sink, gpointer self)
    {
        static_cast<CameraPipeline *>(self)->HandleSample(sink);
        return GST_FLOW_OK;
    }
    static GstBusSyncReply Bus(GstBus *, GstMessage *message, gpointer self)
    {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR)
            static_cast<CameraPipeline *>(self)->HandleFailure();
        return GST_BUS_PASS;
    }
};

CameraPipeline::CameraPipeline(QSize size, FrameFn onFrame, ErrorFn onError)
    : size_(size), onFrame_(std::move(onFrame)), onError_(std::move(onError))
{
}

std::unique_ptr<CameraPipeline> CameraPipeline::Open(const CaptureSource &source, QSize size,
                                                     FrameFn onFrame, ErrorFn onError)
{
    EnsureGStreamer();
    std::unique_ptr<CameraPipeline> pipeline(
        new CameraPipeline(size, std::move(onFrame), std::move(onError)));
    if (!pipeline->Build(source) || !pipeline->Start())
        return nullptr;
    return pipeline;
}

bool CameraPipeline::Build(const CaptureSource &source)
{
    pipeline_ = gst_pipeline_new("camera");
    gst_object_ref_sink(pipeline_);
    GstElement *sourceCaps = nullptr;
    switch (source.kind) {
    case CaptureSource::Kind::V4l2:
        source_ = gst_element_factory_make("v4l2src", "source");
        if (source_)
            g_object_set(source_, "device", source.key.c_str(), nullptr);
        // Ask the camera for the chosen size first; any raw size will do.
        sourceCaps = gst_element_factory_make("capsfilter", "sourcecaps");
        if (sourceCaps) {
            GstCaps *caps = CapsFromString("video/x-raw," + SizeCaps(size_) + ",framerate=" +
                                           std::to_string(TestFramesPerSecond) +
                                           "/1;video/x-raw," + SizeCaps(size_) + ";video/x-raw");
            g_object_set(sourceCaps, "caps", caps, nullptr);
            gst_caps_unref(caps);
        }
        break;
    case CaptureSource::Kind::Test:
        source_ = gst_element_factory_make("videotestsrc", "source");
        if (source_)
            gst_util_set_object_arg(G_OBJECT(source_), "pattern", TestPattern);
        if (source_)
            g_object_set(source_, "is-live", TRUE, nullptr);
        sourceCaps = gst_element_factory_make("capsfilter", "sourcecaps");
        if (sourceCaps) {
            GstCaps *caps = CapsFromString("video/x-raw," + SizeCaps(size_) + ",framerate=" +
                                           std::to_string(TestFramesPerSecond) + "/1");
            g_object_set(sourceCaps, "caps", caps, nullptr);
            gst_caps_unref(caps);
        }
        break;
    case CaptureSource::Kind::LocalStream: {
        std::string problem;
        source_ = OpenLocalStream(source.key.substr(std::strlen(LocalStreamPrefix)), problem);
        if (!source_)
            std::fprintf(stderr, "robot: camera %s: %s\n", source.key.c_str(), problem.c_str());
        break;
    }
    case CaptureSource::Kind::Description: {
        GError *error = nullptr;
        source_ = gst_parse_bin_from_description(source.key.c_str(), TRUE, &error);
        if (error) { // also a description that only half parsed
            g_error_free(error);
            if (source_)
                gst_object_unref(gst_object_ref_sink(source_));
            source_ = nullptr;
        }
        break;
    }
    }
    GstElement *convert = gst_element_factory_make("videoconvert", nullptr);
    GstElement *scale = gst_element_factory_make("videoscale", nullptr);
    GstElement *format = gst_element_factory_make("capsfilter", "format");
    balance_ = gst_element_factory_make("videobalance", "balance");
    sink_ = gst_element_factory_make("appsink", "sink");
    GstElement *chain[] = {source_, sourceCaps, convert, scale, format, balance_, sink_};
    bool complete = source_ && convert && scale && format && balance_ && sink_ &&
                    (sourceCaps || source.kind == CaptureSource::Kind::Description ||
                     source.kind == CaptureSource::Kind::LocalStream);
    for (GstElement *element : chain) {
        if (!element)
            continue;
        if (complete)
            gst_bin_add(GST_BIN(pipeline_), element);
        else
            gst_object_unref(gst_object_ref_sink(element));
    }
    if (!complete) {
        source_ = balance_ = sink_ = nullptr;
        return false;
    }
    GstCaps *caps = CapsFromString("video/x-raw,format=I420," + SizeCaps(size_));
    g_object_set(format, "caps", caps, nullptr);
    gst_caps_unref(caps);
    // Only the newest frame counts: the sink holds one and drops older ones.
    g_object_set(sink_, "max-buffers", 1u, "drop", TRUE, "emit-signals", FALSE, nullptr);
    // A stream's server paces its frames: hand each over as it comes.
    if (source.kind == CaptureSource::Kind::LocalStream)
        g_object_set(sink_, "sync", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &PipelineCallbacks::Sample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink_), &callbacks, this, nullptr);

    GstElement *previous = nullptr;
    for (GstElement *element : chain) {
        if (!element)
            continue;
        if (previous && !gst_element_link(previous, element))
            return false;
        previous = element;
    }
    GstBus *bus = gst_element_get_bus(pipeline_);
    gst_bus_set_sync_handler(bus, &PipelineCallbacks::Bus, this, nullptr);
    gst_object_unref(bus);
    return true;
}

bool CameraPipeline::Start()
{
    const GstStateChangeReturn paused = gst_element_set_state(pipeline_, GST_STATE_PAUSED);
    if (paused == GST_STATE_CHANGE_FAILURE)
        return false;
    // A live camera paces itself: hand its frames over as soon as they come.
    if (paused == GST_STATE_CHANGE_NO_PREROLL)
        g_object_set(sink_, "sync", FALSE, nullptr);
    if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        return false;
    return !failed_.load();
}

CameraPipeline::~CameraPipeline()
{
    if (!pipeline_)
        return;
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    GstBus *bus = gst_element_get_bus(pipeline_);
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_object_unref(bus);
    gst_object_unref(pipeline_);
}

void CameraPipeline::HandleSample(GstAppSink *sink)
{
    const int64_t handedOverNs = MonotonicNs();
    GstSample *sample = gst_app_sink_pull_sample(sink);
    if (!sample)
        return;
    GstVideoInfo info;
    GstBuffer *buffer = gst_sample_get_buffer(sample);
    GstVideoFrame video;
    if (buffer && gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) &&
        GST_VIDEO_INFO_FORMAT(&info) == GST_VIDEO_FORMAT_I420 &&
        gst_video_frame_map(&video, &info, buffer, GST_MAP_READ)) {
        CapturedFrame frame;
        frame.width = GST_VIDEO_FRAME_WIDTH(&video);
        frame.height = GST_VIDEO_FRAME_HEIGHT(&video);
        frame.data.resize(I420FrameSize(frame.width, frame.height));
        PlaneView planes[3];
        for (int p = 0; p < 3; ++p)
            planes[p] = {static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&video, p)),
                         GST_VIDEO_FRAME_PLANE_STRIDE(&video, p)};
        PackI420(planes, frame.width, frame.height, frame.data.data());
        gst_video_frame_unmap(&video);
        frame.sampleNs = handedOverNs;
        const GstClockTime pts = GST_BUFFER_PTS(buffer);
        frame.timeMs = GST_CLOCK_TIME_IS_VALID(pts) ? uint32_t(pts / GST_MSECOND) : 0;
        frame.sequence = ++sequence_;
        onFrame_(std::move(frame));
    }
    gst_sample_unref(sample);
}

void CameraPipeline::HandleFailure()
{
    if (!failed_.exchange(true) && onError_)
        onError_();
}

std::vector<QSize> CameraPipeline::OfferedSizes() const
{
    std::vector<QSize> sizes;
    if (GstPad *pad = FirstSourcePad(source_)) {
        GstCaps *caps = gst_pad_query_caps(pad, nullptr);
        sizes = SizesInCaps(caps);
        gst_caps_unref(caps);
        gst_object_unref(pad);
    }
    return sizes;
}

GstElement *CameraPipeline::ColourBalance() const
{
    GstElement *device = nullptr;
    if (GST_IS_BIN(source_))
        device = gst_bin_get_by_interface(GST_BIN(source_), GST_TYPE_COLOR_BALANCE);
    else if (source_)
        device = GST_ELEMENT(gst_object_ref(source_));
    if (HasPictureControls(device))
        return device;
    if (device)
        gst_object_unref(device);
    return GST_ELEMENT(gst_object_ref(balance_));
}

std::vector<PictureControl> CameraPipeline::PictureControls() const
{
    std::vector<PictureControl> controls;
    GstElement *element = ColourBalance();
    auto *balance = GST_COLOR_BALANCE(element);
    for (const char *name : PictureControlNames)
        if (GstColorBalanceChannel *channel = FindChannel(balance, name))
            controls.push_back({name, channel->min_value, channel->max_value,
                                gst_color_balance_get_value(balance, channel)});
    gst_object_unref(element);
    return controls;
}

void CameraPipeline::SetPictureControl(const std::string &name, int value)
{
    GstElement *element = ColourBalance();
    auto *balance = GST_COLOR_BALANCE(element);
    if (GstColorBalanceChannel *channel = FindChannel(balance, name))
        gst_color_balance_set_value(balance, channel,
                                    std::clamp(value, channel->min_value, channel->max_value));
    gst_object_unref(element);
}
