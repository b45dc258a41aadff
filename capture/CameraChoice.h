#pragma once
// What the capture layer asks a camera for, and the checks on what comes
// back: plain decisions, free of GStreamer (the pipeline turns caps into
// offers and offers into caps, capture/CameraPipeline.cpp).
#include <QSize>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The two forms a camera delivers its pictures in: raw frames, or JPEG
// pictures (MJPEG) that the pipeline decodes.
enum class PictureForm { Raw, Jpeg };

// One way a source can deliver pictures.
struct CameraOffer {
    PictureForm form = PictureForm::Raw;
    std::string format; // raw frames: the pixel format as GStreamer names it (YUY2, NV12, ...)
    QSize size;
    // The best frame rate at this size, as a fraction; 0: the source does not say.
    int rateNum = 0;
    int rateDen = 1;
    // The source names this size itself (a device's list), rather than
    // accepting it as one of the sizes in a range.
    bool listed = true;

    double Rate() const { return rateNum > 0 && rateDen > 0 ? double(rateNum) / rateDen : 0; }
    bool operator==(const CameraOffer &o) const
    {
        return form == o.form && format == o.format && size == o.size && rateNum == o.rateNum &&
               rateDen == o.rateDen && listed == o.listed;
    }
};

// The frame rate the program asks a camera for.
constexpr int CameraFramesPerSecond = 30;
// Below this rate a picture comes too seldom to steer by: such an offer is
// taken only when nothing faster gives a usable picture.
constexpr double SmoothFramesPerSecond = 15;

// The offer to ask for when the program wants frames of `asked` (scaled to
// it when the offer's size differs), null when there is none. With `form`,
// only offers of that form count, unless the source has none of them.
// Preferred, in this order: a smooth rate (or one the source does not state);
// a size that covers the asked one, the smallest such (least to decode and
// scale), else the largest; the higher rate up to CameraFramesPerSecond; raw
// before JPEG (nothing to decode); the source's own order.
const CameraOffer *ChooseOffer(const std::vector<CameraOffer> &offers, QSize asked,
                               std::optional<PictureForm> form = std::nullopt);

// The caps that ask a source for exactly this offer
// ("image/jpeg,width=1280,height=720,framerate=30/1").
std::string OfferCaps(const CameraOffer &offer);

// How the format dialog names an offer: "1280 x 720, MJPEG, 30 kl/s",
// "640 x 480, YUY2, 30 kl/s"; what the source leaves open is left out
// ("320 x 240").
std::string OfferCaption(const CameraOffer &offer);

// A JPEG picture that arrived whole: it starts with the start-of-image marker
// and ends with the end-of-image marker (some cameras pad a picture with zero
// bytes after it). A picture cut short decodes without a word into a grey
// lower part, so it must not reach the decoder.
bool IsWholeJpeg(const uint8_t *data, size_t size);

// A source description as users write it to pick a size: a last link that is
// a caps filter (`videotestsrc ! video/x-raw,width=640,height=480`), which
// GStreamer's syntax takes only between two elements. `source` is the
// description before it, `caps` the filter; without such a last link `source`
// is the whole description and `caps` empty.
struct DescriptionParts {
    std::string source;
    std::string caps;
};
DescriptionParts SplitTrailingCaps(const std::string &description);
