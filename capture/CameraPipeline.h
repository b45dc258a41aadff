#pragma once
// One camera's GStreamer pipeline, from its source to frames of planar I420 at
// a chosen size:
//   source ! videoconvert ! videoscale ! I420 WxH ! videobalance ! appsink
// Playing while the object lives; stopped and released when it goes.
#include "capture/CaptureSources.h"

#include <QSize>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
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

// Frame sizes of raw video in `caps`: fixed sizes and lists as they are; for
// ranges the common sizes that lie in them. Sorted by width, then height.
std::vector<QSize> SizesInCaps(const GstCaps *caps);

class CameraPipeline {
public:
    // Called on a streaming thread for every frame.
    using FrameFn = std::function<void(CapturedFrame &&)>;
    // Called (on any thread) when the pipeline fails while playing.
    using ErrorFn = std::function<void()>;

    // Builds the pipeline for `source` delivering frames of `size` and starts
    // it; null when it cannot be built or started.
    static std::unique_ptr<CameraPipeline> Open(const CaptureSource &source, QSize size,
                                                FrameFn onFrame, ErrorFn onError);
    ~CameraPipeline();
    CameraPipeline(const CameraPipeline &) = delete;
    CameraPipeline &operator=(const CameraPipeline &) = delete;

    QSize FrameSize() const { return size_; }
    // The frame sizes the source offers.
    std::vector<QSize> OfferedSizes() const;
    // The picture controls the device has (its own, else the pipeline's).
    std::vector<PictureControl> PictureControls() const;
    void SetPictureControl(const std::string &name, int value);
    // Samples handed over so far.
    uint64_t Samples() const { return sequence_.load(); }

private:
    CameraPipeline(QSize size, FrameFn onFrame, ErrorFn onError);
    bool Build(const CaptureSource &source);
    bool Start();
    GstElement *ColourBalance() const; // a new reference, or null

    void HandleSample(GstAppSink *sink);
    void HandleFailure();
    friend struct PipelineCallbacks; // the C callbacks of the sink and the bus

    QSize size_;
    FrameFn onFrame_;
    ErrorFn onError_;
    GstElement *pipeline_ = nullptr;
    GstElement *source_ = nullptr;  // owned by pipeline_
    GstElement *balance_ = nullptr; // owned by pipeline_
    GstElement *sink_ = nullptr;    // owned by pipeline_
    std::atomic<uint64_t> sequence_{0};
    std::atomic<bool> failed_{false};
};
