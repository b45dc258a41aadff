#pragma once
// One camera's GStreamer pipeline, from its source to frames of planar I420 at
// a chosen size:
//   source [! the caps a description ends with] [! the caps asked of the source]
//     [! whole-picture check ! jpegdec] ! videoconvert ! videoscale ! I420 WxH
//     ! videobalance ! appsink
// A camera's own list of what it offers decides what is asked of it
// (ChooseOffer); JPEG pictures are decoded, and one that cannot be decoded is
// dropped and counted, never handed over. Playing while the object lives;
// stopped and released when it goes.
#include "capture/CameraChoice.h"
#include "capture/CaptureSources.h"

#include <QSize>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

typedef struct _GstElement GstElement;
typedef struct _GstCaps GstCaps;
typedef struct _GstAppSink GstAppSink;

// One frame as the pipeline hands it over.
struct CapturedFrame {
    std::vector<uint8_t> data; // packed I420
    int width = 0;
    int height = 0;
    int64_t sampleNs = 0;  // when the pipeline handed it over (core/Clock.h)
    // When it was taken (core/Clock.h): the robot's stamp for its camera over
    // the network, else when it was handed over; 0 when not known.
    int64_t capturedNs = 0;
    uint32_t timeMs = 0;   // stream time of the frame
    uint64_t sequence = 0; // 1, 2, ... within one pipeline
};

// A picture control of the device (brightness, contrast, saturation, hue).
struct PictureControl {
    std::string name; // lower case
    int minimum = 0;
    int maximum = 0;
    int value = 0;
};

// The names of the picture controls the source dialog offers, in its order.
extern const char *const PictureControlNames[4];

// The offers in `caps` of raw video and JPEG pictures: fixed sizes and lists
// as they are, each with its best frame rate; for ranges the common sizes that
// lie in them (not listed, no rate). Sorted by width, height, raw before JPEG,
// then by format; each once.
std::vector<CameraOffer> OffersInCaps(const GstCaps *caps);

class CameraPipeline {
public:
    // Called on a streaming thread for every frame.
    using FrameFn = std::function<void(CapturedFrame &&)>;
    // Called (on any thread) once, when the pipeline fails while playing,
    // with GStreamer's reason.
    using ErrorFn = std::function<void(const std::string &reason)>;

    // Builds the pipeline for `source` delivering frames of `choice.size` and
    // starts it; null, with the reason in `problem`, when it cannot be built
    // or started.
    static std::unique_ptr<CameraPipeline> Open(const CaptureSource &source, const FrameChoice &choice,
                                                FrameFn onFrame, ErrorFn onError, std::string &problem);
    ~CameraPipeline();
    CameraPipeline(const CameraPipeline &) = delete;
    CameraPipeline &operator=(const CameraPipeline &) = delete;

    QSize FrameSize() const { return size_; }
    // What the source offers, and the offer asked of it (none: the source
    // was left to choose a size, as a description or a test picture is).
    const std::vector<CameraOffer> &Offers() const { return offers_; }
    const std::optional<CameraOffer> &Asked() const { return asked_; }
    // The picture controls the device has (its own, else the pipeline's).
    std::vector<PictureControl> PictureControls() const;
    void SetPictureControl(const std::string &name, int value);
    // Samples handed over so far.
    uint64_t Samples() const { return sequence_.load(); }
    // Pictures that arrived but could not be decoded, dropped.
    uint64_t Dropped() const { return dropped_.load(); }

private:
    CameraPipeline(QSize size, FrameFn onFrame, ErrorFn onError);
    // Each false with the reason in `problem`.
    bool Build(const CaptureSource &source, const FrameChoice &choice, std::string &problem);
    bool ChooseSourceCaps(const CaptureSource &source, GstElement *output, const FrameChoice &choice,
                          std::string &caps, bool &decode, std::string &problem);
    bool Start(std::string &problem);
    GstElement *ColourBalance() const; // a new reference, or null

    void HandleSample(GstAppSink *sink);
    void HandleFailure(const std::string &reason);
    std::string FirstFailure();
    friend struct PipelineCallbacks; // the C callbacks of the sink, the bus and the decoder's input

    QSize size_;
    FrameFn onFrame_;
    ErrorFn onError_;
    GstElement *pipeline_ = nullptr;
    GstElement *source_ = nullptr;  // owned by pipeline_
    GstElement *balance_ = nullptr; // owned by pipeline_
    GstElement *sink_ = nullptr;    // owned by pipeline_
    GstElement *decoder_ = nullptr; // owned by pipeline_; null for raw frames
    std::vector<CameraOffer> offers_;
    std::optional<CameraOffer> asked_;
    std::atomic<uint64_t> sequence_{0};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<bool> failed_{false};
    bool stamped_ = false; // the source stamps every frame with its capture time
    std::mutex failureMutex_;
    std::string failure_; // the first error's reason
};
