#include "capture/CameraPipeline.h"

#include "capture/GStreamer.h"
#include "capture/LocalStream.h"
#include "capture/RobotStream.h"
#include "core/Clock.h"
#include "core/FrameFormat.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/colorbalance.h>
#include <gst/video/gstvideodecoder.h>
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
// Common frame sizes offered where a source accepts a range.
constexpr int CommonSizes[][2] = {{160, 120}, {176, 144}, {320, 240},  {352, 288},  {640, 480},
                                  {800, 600}, {1024, 768}, {1280, 720}, {1280, 960}, {1920, 1080}};
constexpr const char *RawVideo = "video/x-raw";
constexpr const char *JpegPictures = "image/jpeg";
// The elements whose caps in the ready state are a camera's own list.
constexpr const char *DeviceElements[] = {"v4l2src", LibcameraElement};
// A reason longer than this is cut: a message box is no log.
constexpr size_t MaxReasonLength = 400;

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

// The best frame rate a framerate field allows: a fraction, a list of them or
// a range; false for none.
bool BestRate(const GValue *value, int &num, int &den)
{
    if (!value)
        return false;
    const GValue *best = nullptr;
    if (GST_VALUE_HOLDS_FRACTION(value))
        best = value;
    else if (GST_VALUE_HOLDS_FRACTION_RANGE(value))
        best = gst_value_get_fraction_range_max(value);
    if (best) {
        num = gst_value_get_fraction_numerator(best);
        den = gst_value_get_fraction_denominator(best);
        return num > 0 && den > 0;
    }
    bool any = false;
    if (GST_VALUE_HOLDS_LIST(value))
        for (guint i = 0; i < gst_value_list_get_size(value); ++i) {
            int n = 0, d = 1;
            if (BestRate(gst_value_list_get_value(value, i), n, d) &&
                (!any || int64_t(n) * den > int64_t(num) * d)) {
                num = n;
                den = d;
                any = true;
            }
        }
    return any;
}

bool OfferBefore(const CameraOffer &a, const CameraOffer &b)
{
    if (a.size.width() != b.size.width())
        return a.size.width() < b.size.width();
    if (a.size.height() != b.size.height())
        return a.size.height() < b.size.height();
    if (a.form != b.form)
        return a.form == PictureForm::Raw;
    return a.format < b.format;
}

bool IsFactory(GstElement *element, const char *name)
{
    GstElementFactory *factory = element ? gst_element_get_factory(element) : nullptr;
    return factory && std::strcmp(GST_OBJECT_NAME(factory), name) == 0;
}

// The element whose pad is `element`'s output: itself, or inside a bin the
// element behind its ghost pad. A new reference, or null.
GstElement *OutputElement(GstElement *element)
{
    if (!GST_IS_BIN(element))
        return GST_ELEMENT(gst_object_ref(element));
    GstPad *ghost = gst_element_get_static_pad(element, "src");
    GstPad *target = ghost && GST_IS_GHOST_PAD(ghost) ? gst_ghost_pad_get_target(GST_GHOST_PAD(ghost)) : nullptr;
    GstElement *inner = target ? gst_pad_get_parent_element(target) : nullptr;
    if (target)
        gst_object_unref(target);
    if (ghost)
        gst_object_unref(ghost);
    return inner;
}

// Whether the output of `element` is a camera's own (a device element, also
// as the last element of a description).
bool IsDeviceOutput(GstElement *element)
{
    GstElement *output = OutputElement(element);
    bool device = false;
    for (const char *name : DeviceElements)
        device = device || IsFactory(output, name);
    if (output)
        gst_object_unref(output);
    return device;
}

std::string Cut(std::string text)
{
    if (text.size() > MaxReasonLength)
        text = text.substr(0, MaxReasonLength) + "...";
    return text;
}

// GStreamer's message, with the last line of its details where it has them
// ("Could not open device '/dev/video0' for reading and writing. (system
// error: Device or resource busy)").
std::string ErrorReason(GstMessage *message)
{
    GError *error = nullptr;
    gchar *debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    std::string reason = error && error->message ? error->message : "unknown error";
    std::string detail = debug ? debug : "";
    while (!detail.empty() && std::isspace(static_cast<unsigned char>(detail.back())))
        detail.pop_back();
    const size_t lastLine = detail.rfind('\n');
    if (lastLine != std::string::npos)
        detail = detail.substr(lastLine + 1);
    if (!detail.empty())
        reason += " (" + detail + ")";
    if (error)
        g_error_free(error);
    g_free(debug);
    return Cut(reason);
}

GstElement *Make(const char *factory, const char *name = nullptr)
{
    return gst_element_factory_make(factory, name);
}

std::string MissingElement(const char *element, const char *package)
{
    return std::string("GStreamer's element ") + element + " is not installed (package " + package + ")";
}

std::string LibcameraProblem(const std::string &reason)
{
    return "libcamera cannot start the camera: " + reason +
           ". Check the camera's connection: with the power off, the ribbon cable seated straight in "
           "both connectors, contacts facing the right way and both latches closed; then whether the "
           "system sees the camera (rpicam-hello --list-cameras, or libcamera-hello --list-cameras)";
}

// The source element for `source` (floating), with the caps filter a
// description ends with in `filter`; null with the reason in `problem`.
GstElement *MakeSource(const CaptureSource &source, GstElement *&filter, std::string &problem)
{
    GstElement *element = nullptr;
    switch (source.kind) {
    case CaptureSource::Kind::V4l2:
        if (!(element = Make("v4l2src", "source")))
            problem = MissingElement("v4l2src", "gstreamer1.0-plugins-good");
        else
            g_object_set(element, "device", source.key.c_str(), nullptr);
        break;
    case CaptureSource::Kind::Libcamera:
        if (!(element = Make(LibcameraElement, "source")))
            problem = "the Raspberry Pi camera is reached through libcamera, and " +
                      MissingElement(LibcameraElement, LibcameraPackage) +
                      ": install it (sudo apt-get install " + LibcameraPackage + ")";
        else if (!source.key.empty())
            g_object_set(element, "camera-name", source.key.c_str(), nullptr);
        break;
    case CaptureSource::Kind::Test:
        if (!(element = Make("videotestsrc", "source")))
            problem = MissingElement("videotestsrc", "gstreamer1.0-plugins-base");
        else {
            gst_util_set_object_arg(G_OBJECT(element), "pattern", TestPattern);
            g_object_set(element, "is-live", TRUE, nullptr);
        }
        break;
    case CaptureSource::Kind::LocalStream:
        element = OpenLocalStream(source.key.substr(std::strlen(LocalStreamPrefix)), problem);
        break;
    case CaptureSource::Kind::Robot:
        element = OpenRobotStream(problem);
        break;
    case CaptureSource::Kind::Description: {
        const DescriptionParts parts = SplitTrailingCaps(source.key);
        GError *error = nullptr;
        element = gst_parse_bin_from_description(parts.source.c_str(), TRUE, &error);
        if (error) { // also a description that only half parsed
            problem = std::string("the source description does not parse: ") + error->message;
            g_error_free(error);
            if (element)
                gst_object_unref(gst_object_ref_sink(element));
            return nullptr;
        }
        if (!parts.caps.empty()) {
            GstCaps *caps = CapsFromString(parts.caps);
            filter = caps ? Make("capsfilter", "description-caps") : nullptr;
            if (!filter) {
                problem = "the description's last link \"" + parts.caps + "\" is no caps filter GStreamer understands";
                gst_object_unref(gst_object_ref_sink(element));
                element = nullptr;
            } else {
                g_object_set(filter, "caps", caps, nullptr);
            }
            if (caps)
                gst_caps_unref(caps);
        }
        break;
    }
    }
    return element;
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

std::vector<CameraOffer> OffersInCaps(const GstCaps *caps)
{
    std::vector<CameraOffer> offers;
    if (!caps || gst_caps_is_any(caps))
        return offers;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        // Frames in other memory (GStreamer 1.26's v4l2src also offers its
        // raw sizes as video/x-raw(memory:DMABuf),format=DMA_DRM) are not
        // ours to map: only what lands in system memory is offered.
        const GstCapsFeatures *features = gst_caps_get_features(caps, i);
        if (features && !gst_caps_features_is_equal(features, GST_CAPS_FEATURES_MEMORY_SYSTEM_MEMORY))
            continue;
        const GstStructure *s = gst_caps_get_structure(caps, i);
        CameraOffer offer;
        if (gst_structure_has_name(s, JpegPictures))
            offer.form = PictureForm::Jpeg;
        else if (!gst_structure_has_name(s, RawVideo))
            continue;
        if (const char *format = gst_structure_get_string(s, "format"))
            offer.format = format;
        const GValue *width = gst_structure_get_value(s, "width");
        const GValue *height = gst_structure_get_value(s, "height");
        std::vector<int> widths, heights;
        FixedValues(width, widths);
        FixedValues(height, heights);
        if (!widths.empty() && !heights.empty()) {
            BestRate(gst_structure_get_value(s, "framerate"), offer.rateNum, offer.rateDen);
            for (int w : widths)
                for (int h : heights) {
                    offer.size = QSize(w, h);
                    offers.push_back(offer);
                }
            continue;
        }
        offer.format.clear();
        offer.listed = false;
        for (const auto &common : CommonSizes)
            if (FieldAccepts(width, common[0]) && FieldAccepts(height, common[1])) {
                offer.size = QSize(common[0], common[1]);
                offers.push_back(offer);
            }
    }
    std::stable_sort(offers.begin(), offers.end(), OfferBefore);
    // Each once: of the same size, form and format, the one with the best rate.
    std::vector<CameraOffer> unique;
    for (const CameraOffer &offer : offers) {
        if (!unique.empty() && !OfferBefore(unique.back(), offer)) {
            if (offer.Rate() > unique.back().Rate())
                unique.back() = offer;
            continue;
        }
        unique.push_back(offer);
    }
    return unique;
}

struct PipelineCallbacks {
    static GstFlowReturn Sample(GstAppSink *sink, gpointer self)
    {
        static_cast<CameraPipeline *>(self)->HandleSample(sink);
        return GST_FLOW_OK;
    }
    static GstBusSyncReply Bus(GstBus *, GstMessage *message, gpointer data)
    {
        auto *self = static_cast<CameraPipeline *>(data);
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR)
            self->HandleFailure(ErrorReason(message));
        // The decoder drops a picture it cannot decode and says so in a QoS
        // message (it drops none for lateness: its QoS handling is off).
        else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_QOS && self->decoder_ &&
                 GST_MESSAGE_SRC(message) == GST_OBJECT(self->decoder_))
            ++self->dropped_;
        return GST_BUS_PASS;
    }
    // A JPEG picture cut short or flagged by the driver never reaches the decoder.
    static GstPadProbeReturn DecoderInput(GstPad *, GstPadProbeInfo *info, gpointer data)
    {
        auto *self = static_cast<CameraPipeline *>(data);
        GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        GstMapInfo map;
        if (!buffer || !gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            ++self->dropped_;
            return GST_PAD_PROBE_DROP;
        }
        const bool whole = IsWholeJpeg(map.data, map.size) && !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_CORRUPTED);
        gst_buffer_unmap(buffer, &map);
        if (whole)
            return GST_PAD_PROBE_OK;
        ++self->dropped_;
        return GST_PAD_PROBE_DROP;
    }
};

CameraPipeline::CameraPipeline(QSize size, FrameFn onFrame, ErrorFn onError)
    : size_(size), onFrame_(std::move(onFrame)), onError_(std::move(onError))
{
}

std::unique_ptr<CameraPipeline> CameraPipeline::Open(const CaptureSource &source, const FrameChoice &choice,
                                                     FrameFn onFrame, ErrorFn onError, std::string &problem)
{
    EnsureGStreamer();
    problem.clear();
    std::unique_ptr<CameraPipeline> pipeline(
        new CameraPipeline(choice.size, std::move(onFrame), std::move(onError)));
    const bool built = pipeline->Build(source, choice, problem);
    if (built && pipeline->Start(problem))
        return pipeline;
    if (problem.empty())
        problem = built ? "it could not be started" : "it could not be set up";
    // libcamera looks for its cameras when its element opens: what it says
    // then is about the camera.
    if (source.kind == CaptureSource::Kind::Libcamera && !pipeline->FirstFailure().empty())
        problem = LibcameraProblem(problem);
    return nullptr;
}

bool CameraPipeline::Build(const CaptureSource &source, const FrameChoice &choice, std::string &problem)
{
    pipeline_ = gst_pipeline_new("camera");
    gst_object_ref_sink(pipeline_);
    GstBus *bus = gst_element_get_bus(pipeline_);
    gst_bus_set_sync_handler(bus, &PipelineCallbacks::Bus, this, nullptr);
    gst_object_unref(bus);

    GstElement *userCaps = nullptr;
    stamped_ = source.kind == CaptureSource::Kind::Robot;
    source_ = MakeSource(source, userCaps, problem);
    if (!source_)
        return false;
    gst_bin_add(GST_BIN(pipeline_), source_);
    GstElement *output = source_;
    if (userCaps) {
        gst_bin_add(GST_BIN(pipeline_), userCaps);
        if (!gst_element_link(source_, userCaps)) {
            problem = "the description's output cannot be limited to its last link's caps";
            return false;
        }
        output = userCaps;
    }
    std::string sourceCaps;
    bool decode = false;
    if (!ChooseSourceCaps(source, output, choice, sourceCaps, decode, problem))
        return false;

    std::vector<GstElement *> chain{output};
    auto add = [&](GstElement *element) {
        if (element)
            gst_bin_add(GST_BIN(pipeline_), element);
        chain.push_back(element);
        return element;
    };
    if (!sourceCaps.empty()) {
        if (GstElement *filter = add(Make("capsfilter", "sourcecaps"))) {
            GstCaps *caps = CapsFromString(sourceCaps);
            g_object_set(filter, "caps", caps, nullptr);
            gst_caps_unref(caps);
        }
    }
    if (decode) {
        if ((decoder_ = add(Make("jpegdec", "decoder")))) {
            // Late pictures are the sink's to drop; the decoder drops only what
            // it cannot decode, and never gives up on the camera for that.
            g_object_set(decoder_, "qos", FALSE, "discard-corrupted-frames", TRUE, nullptr);
            gst_video_decoder_set_max_errors(GST_VIDEO_DECODER(decoder_), -1);
            GstPad *input = gst_element_get_static_pad(decoder_, "sink");
            gst_pad_add_probe(input, GST_PAD_PROBE_TYPE_BUFFER, &PipelineCallbacks::DecoderInput, this, nullptr);
            gst_object_unref(input);
        } else {
            problem = "it gives JPEG pictures, and " + MissingElement("jpegdec", "gstreamer1.0-plugins-good");
            return false;
        }
    }
    add(Make("videoconvert"));
    add(Make("videoscale"));
    GstElement *format = add(Make("capsfilter", "format"));
    balance_ = add(Make("videobalance", "balance"));
    sink_ = add(Make("appsink", "sink"));
    for (GstElement *element : chain)
        if (!element) {
            problem = "a GStreamer element of the picture's way is missing (videoconvert, videoscale, "
                      "videobalance, appsink: package gstreamer1.0-plugins-base)";
            return false;
        }
    GstCaps *caps = CapsFromString("video/x-raw,format=I420," + SizeCaps(size_));
    g_object_set(format, "caps", caps, nullptr);
    gst_caps_unref(caps);
    // Only the newest frame counts: the sink holds one and drops older ones.
    g_object_set(sink_, "max-buffers", 1u, "drop", TRUE, "emit-signals", FALSE, nullptr);
    // A stream's server paces its frames: hand each over as it comes.
    if (source.kind == CaptureSource::Kind::LocalStream || source.kind == CaptureSource::Kind::Robot)
        g_object_set(sink_, "sync", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &PipelineCallbacks::Sample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink_), &callbacks, this, nullptr);

    for (size_t i = 1; i < chain.size(); ++i)
        if (!gst_element_link(chain[i - 1], chain[i])) {
            problem = i == 1 ? "its output cannot be linked to " + std::string(GST_OBJECT_NAME(chain[i])) +
                                   " (it gives neither raw video nor JPEG pictures, or not the caps asked: " +
                                   (sourceCaps.empty() ? "none" : sourceCaps) + ")"
                             : std::string("cannot link ") + GST_OBJECT_NAME(chain[i - 1]) + " to " +
                                   GST_OBJECT_NAME(chain[i]);
            return false;
        }
    return true;
}

bool CameraPipeline::ChooseSourceCaps(const CaptureSource &source, GstElement *output, const FrameChoice &choice,
                                      std::string &caps, bool &decode, std::string &problem)
{
    // A device says what it offers once it is open.
    if (gst_element_set_state(source_, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE ||
        (output != source_ && gst_element_set_state(output, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE)) {
        problem = FirstFailure();
        return false;
    }
    GstCaps *offered = nullptr;
    if (GstPad *pad = FirstSourcePad(output)) {
        offered = gst_pad_query_caps(pad, nullptr);
        gst_object_unref(pad);
    }
    offers_ = OffersInCaps(offered);
    const auto offersForm = [&](const char *media) {
        GstCaps *wanted = CapsFromString(media);
        const bool can = offered && gst_caps_can_intersect(offered, wanted);
        gst_caps_unref(wanted);
        return can;
    };
    const bool raw = offersForm(RawVideo), jpeg = offersForm(JpegPictures);
    std::string offeredText; // the media types, each once
    for (guint i = 0; offered && i < gst_caps_get_size(offered); ++i) {
        const std::string name = gst_structure_get_name(gst_caps_get_structure(offered, i));
        if (offeredText.find(name) == std::string::npos)
            offeredText += (offeredText.empty() ? "" : ", ") + name;
    }
    if (offered)
        gst_caps_unref(offered);
    if (source.kind == CaptureSource::Kind::LocalStream)
        return true; // the stream's own raw format
    if (source.kind == CaptureSource::Kind::Robot) {
        decode = true; // the robot's own JPEG pictures, at its size
        return true;
    }

    // A camera's own list: ask for the offer that suits best.
    std::vector<CameraOffer> listed;
    for (const CameraOffer &offer : offers_)
        if (offer.listed)
            listed.push_back(offer);
    if (IsDeviceOutput(source_) && !listed.empty()) {
        asked_ = *ChooseOffer(listed, size_, choice.form);
        caps = OfferCaps(*asked_);
        decode = asked_->form == PictureForm::Jpeg;
        return true;
    }
    // A description gives what it gives; a camera or the test picture is
    // asked for the chosen size first, at the program's rate.
    const auto sizedFirst = [&](const std::string &media) {
        if (source.kind == CaptureSource::Kind::Description)
            return media;
        const std::string sized = media + "," + SizeCaps(size_);
        const std::string paced = sized + ",framerate=" + std::to_string(CameraFramesPerSecond) + "/1";
        return source.kind == CaptureSource::Kind::Test ? paced : paced + ";" + sized + ";" + media;
    };
    if (raw) {
        if (source.kind != CaptureSource::Kind::Description)
            caps = sizedFirst(RawVideo);
        return true;
    }
    if (jpeg) {
        caps = sizedFirst(JpegPictures);
        decode = true;
        return true;
    }
    problem = "it gives neither raw video nor JPEG pictures (it gives " +
              Cut(offeredText.empty() ? "nothing GStreamer can name" : offeredText) + ")";
    return false;
}

bool CameraPipeline::Start(std::string &problem)
{
    const GstStateChangeReturn paused = gst_element_set_state(pipeline_, GST_STATE_PAUSED);
    if (paused == GST_STATE_CHANGE_FAILURE) {
        problem = FirstFailure();
        return false;
    }
    // A live camera paces itself: hand its frames over as soon as they come.
    if (paused == GST_STATE_CHANGE_NO_PREROLL)
        g_object_set(sink_, "sync", FALSE, nullptr);
    if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE || failed_.load()) {
        problem = FirstFailure();
        return false;
    }
    return true;
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
        frame.capturedNs = stamped_ ? RobotCaptureTime(buffer) : handedOverNs;
        const GstClockTime pts = GST_BUFFER_PTS(buffer);
        frame.timeMs = GST_CLOCK_TIME_IS_VALID(pts) ? uint32_t(pts / GST_MSECOND) : 0;
        frame.sequence = ++sequence_;
        onFrame_(std::move(frame));
    }
    gst_sample_unref(sample);
}

void CameraPipeline::HandleFailure(const std::string &reason)
{
    {
        std::lock_guard<std::mutex> lock(failureMutex_);
        if (failure_.empty())
            failure_ = reason;
    }
    if (!failed_.exchange(true) && onError_)
        onError_(reason);
}

std::string CameraPipeline::FirstFailure()
{
    std::lock_guard<std::mutex> lock(failureMutex_);
    return failure_;
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
