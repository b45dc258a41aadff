// What an MJPEG camera costs per frame beside a raw one: the capture layer's
// way from the camera's picture to the program's 320 x 240 I420 frame, one
// frame at a time through GStreamer's test harness (no camera, no pacing).
//   CameraDecode/jpeg/640x480, /1280x720  jpegdec ! videoconvert ! videoscale
//   CameraDecode/raw/640x480, /1280x720   videoconvert ! videoscale from YUY2
// The pictures are camera-like: smooth shades, a dark line, mild sensor noise,
// JPEG at quality 85 as webcams send it.
// Goal: a decoded 720p frame plus the camera line pass (CameraLine/pass)
// under 3 ms.
#include <QBuffer>
#include <QImage>
#include <QRandomGenerator>

#include <benchmark/benchmark.h>
#include <gst/check/gstharness.h>
#include <gst/gst.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {
constexpr const char *ToProgramFrame =
    "videoconvert ! videoscale ! capsfilter caps=video/x-raw,format=I420,width=320,height=240";

QImage CameraLikePicture(int width, int height)
{
    QImage picture(width, height, QImage::Format_RGB32);
    QRandomGenerator noise(7);
    for (int y = 0; y < height; ++y) {
        auto *row = reinterpret_cast<QRgb *>(picture.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const bool line = std::abs(x - width / 2 - (y - height / 2) / 3) < width / 40;
            const int shade = line ? 30 : 90 + 100 * x / width + 40 * y / height;
            const int n = int(noise.bounded(9)) - 4;
            row[x] = qRgb(std::clamp(shade + n, 0, 255), std::clamp(shade + 10 + n, 0, 255),
                          std::clamp(shade - 20 + n, 0, 255));
        }
    }
    return picture;
}

GstBuffer *Jpeg(const QImage &picture)
{
    QByteArray bytes;
    QBuffer out(&bytes);
    out.open(QIODevice::WriteOnly);
    picture.save(&out, "JPG", 85);
    return gst_buffer_new_memdup(bytes.constData(), gsize(bytes.size()));
}

GstBuffer *Yuy2(const QImage &picture)
{
    QByteArray bytes;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); x += 2) {
            const QRgb a = picture.pixel(x, y), b = picture.pixel(x + 1, y);
            bytes.append(char(16 + qGray(a) * 219 / 255)).append(char(128));
            bytes.append(char(16 + qGray(b) * 219 / 255)).append(char(128));
        }
    return gst_buffer_new_memdup(bytes.constData(), gsize(bytes.size()));
}

void Decode(benchmark::State &state, bool jpeg)
{
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    const int width = int(state.range(0)), height = int(state.range(1));
    const QImage picture = CameraLikePicture(width, height);
    GstBuffer *frame = jpeg ? Jpeg(picture) : Yuy2(picture);
    const std::string size = ",width=" + std::to_string(width) + ",height=" + std::to_string(height) + ",framerate=30/1";
    GstHarness *h = gst_harness_new_parse(((jpeg ? std::string("jpegdec ! ") : std::string()) + ToProgramFrame).c_str());
    gst_harness_set_src_caps_str(h, ((jpeg ? "image/jpeg" : "video/x-raw,format=YUY2") + size).c_str());
    GstClockTime pts = 0;
    for (auto _ : state) {
        GstBuffer *in = gst_buffer_copy(frame); // shares the bytes
        GST_BUFFER_PTS(in) = pts;
        pts += GST_SECOND / 30;
        if (gst_harness_push(h, in) != GST_FLOW_OK) {
            state.SkipWithError("the harness refused a frame");
            break;
        }
        gst_buffer_unref(gst_harness_pull(h));
    }
    state.counters["picture_bytes"] = double(gst_buffer_get_size(frame));
    gst_harness_teardown(h);
    gst_buffer_unref(frame);
}
} // namespace

BENCHMARK_CAPTURE(Decode, jpeg, true)
    ->Name("CameraDecode/jpeg")
    ->Args({640, 480})
    ->Args({1280, 720})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Decode, raw, false)
    ->Name("CameraDecode/raw")
    ->Args({640, 480})
    ->Args({1280, 720})
    ->Unit(benchmark::kMicrosecond);
