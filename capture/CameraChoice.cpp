#include "capture/CameraChoice.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <tuple>

namespace {
constexpr uint8_t Marker = 0xFF;
constexpr uint8_t StartOfImage = 0xD8; // FF D8 opens every JPEG picture
constexpr uint8_t EndOfImage = 0xD9;   // FF D9 closes it

// Larger is better.
auto Merit(const CameraOffer &offer, QSize asked)
{
    const double rate = offer.Rate() > 0 ? offer.Rate() : CameraFramesPerSecond;
    const bool smooth = rate >= SmoothFramesPerSecond;
    const bool covers = offer.size.width() >= asked.width() && offer.size.height() >= asked.height();
    const int64_t area = int64_t(offer.size.width()) * offer.size.height();
    return std::make_tuple(smooth, covers, covers ? -area : area,
                           std::min(rate, double(CameraFramesPerSecond)), offer.form == PictureForm::Raw);
}

std::string Trim(const std::string &text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

// "type/subtype" followed by the end, a field list or a caps feature: a media
// type, which no element name, property or value assignment looks like.
bool StartsWithMediaType(const std::string &text)
{
    size_t i = 0;
    auto word = [&](bool first) {
        const size_t from = i;
        while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) ||
                                   text[i] == '-' || (!first && (text[i] == '.' || text[i] == '+'))))
            ++i;
        return i > from;
    };
    if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0])) || !word(true) ||
        i >= text.size() || text[i++] != '/' || !word(false))
        return false;
    return i == text.size() || text[i] == ',' || text[i] == '(';
}
} // namespace

const CameraOffer *ChooseOffer(const std::vector<CameraOffer> &offers, QSize asked,
                               std::optional<PictureForm> form)
{
    const bool formOffered =
        form && std::any_of(offers.begin(), offers.end(), [&](const CameraOffer &o) { return o.form == *form; });
    const CameraOffer *best = nullptr;
    for (const CameraOffer &offer : offers) {
        if (formOffered && offer.form != *form)
            continue;
        if (!best || Merit(offer, asked) > Merit(*best, asked))
            best = &offer;
    }
    return best;
}

std::string OfferCaps(const CameraOffer &offer)
{
    std::string caps = offer.form == PictureForm::Jpeg ? "image/jpeg" : "video/x-raw";
    if (offer.form == PictureForm::Raw && !offer.format.empty())
        caps += ",format=" + offer.format;
    caps += ",width=" + std::to_string(offer.size.width()) + ",height=" + std::to_string(offer.size.height());
    if (offer.rateNum > 0)
        caps += ",framerate=" + std::to_string(offer.rateNum) + "/" + std::to_string(offer.rateDen);
    return caps;
}

std::string OfferCaption(const CameraOffer &offer)
{
    std::string caption = std::to_string(offer.size.width()) + " x " + std::to_string(offer.size.height());
    if (offer.form == PictureForm::Jpeg)
        caption += ", MJPEG";
    else if (!offer.format.empty())
        caption += ", " + offer.format;
    if (offer.Rate() > 0) {
        char rate[32];
        const double r = offer.Rate();
        std::snprintf(rate, sizeof rate, std::fabs(r - std::round(r)) < 0.005 ? "%.0f" : "%.2f", r);
        caption += std::string(", ") + rate + " kl/s";
    }
    return caption;
}

bool IsWholeJpeg(const uint8_t *data, size_t size)
{
    if (!data || size < 4 || data[0] != Marker || data[1] != StartOfImage)
        return false;
    while (size > 2 && data[size - 1] == 0)
        --size;
    return size >= 4 && data[size - 2] == Marker && data[size - 1] == EndOfImage;
}

DescriptionParts SplitTrailingCaps(const std::string &description)
{
    // The last link outside quoted values.
    size_t last = std::string::npos;
    bool quoted = false;
    for (size_t i = 0; i < description.size(); ++i) {
        if (description[i] == '\\' && quoted)
            ++i;
        else if (description[i] == '"')
            quoted = !quoted;
        else if (description[i] == '!' && !quoted)
            last = i;
    }
    if (last == std::string::npos)
        return {description, {}};
    const std::string tail = Trim(description.substr(last + 1));
    const std::string head = Trim(description.substr(0, last));
    if (head.empty() || !StartsWithMediaType(tail))
        return {description, {}};
    return {head, tail};
}
