// The capture windows: frame arithmetic, handles, frames to the callback,
// grab and save, the driver dialogs; on the test picture.
#include "capture/GStreamer.h"
#include "support/Harness.h"
#include "support/TestPicture.h"

#include "capture/CameraChoice.h"
#include "capture/CameraPipeline.h"
#include "capture/CaptureTesting.h"
#include "capture/CaptureWindow.h"
#include "core/FrameFormat.h"
#include "drive/Motor.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QFile>
#include <QImage>
#include <QSlider>
#include <QThread>

#include <gst/gst.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

namespace {
constexpr size_t DefaultFrameBytes = 115200; // 320 x 240 I420

void ExpectColourNear(QRgb pixel, int r, int g, int b, int tolerance)
{
    EXPECT_NEAR(qRed(pixel), r, tolerance);
    EXPECT_NEAR(qGreen(pixel), g, tolerance);
    EXPECT_NEAR(qBlue(pixel), b, tolerance);
}

// What the frame callback saw; the callback is a plain function.
struct CallbackLog {
    int calls = 0;
    int depth = 0;
    int deepest = 0;
    bool offGuiThread = false;
    std::vector<uint32_t> lengths;
    std::function<void(VIDEOHDR *)> action; // run inside the call
};
CallbackLog *Log = nullptr;

LRESULT Recorded(HWND, VIDEOHDR *header)
{
    ++Log->calls;
    Log->deepest = std::max(Log->deepest, ++Log->depth);
    Log->offGuiThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
    Log->lengths.push_back(header->dwBufferLength);
    if (Log->action)
        Log->action(header);
    --Log->depth;
    return 1;
}

class CaptureLayer : public RobotTest {
protected:
    void SetUp() override
    {
        RobotTest::SetUp();
        setenv("ROBOT_CAPTURE_SOURCE", "test", 1);
        panel = std::make_unique<QWidget>();
        panel->resize(161, 121);
        log = CallbackLog();
        Log = &log;
    }
    void TearDown() override
    {
        panel.reset();
        Log = nullptr;
        RobotTest::TearDown();
    }
    HWND Create(int width = 160, int height = 120)
    {
        return capCreateCaptureWindowA(nullptr, WS_CHILD | WS_VISIBLE, 0, 0, width, height,
                                       WindowHandle(panel.get()), 1);
    }
    // Connected, scaled, previewing, with the recording callback.
    HWND StartPreview()
    {
        const HWND w = Create();
        EXPECT_EQ(SendMessageA(w, WM_CAP_DRIVER_CONNECT, 0, 0), 1);
        SendMessageA(w, WM_CAP_SET_SCALE, 1, 0);
        SendMessageA(w, WM_CAP_SET_PREVIEWRATE, 1, 0);
        SendMessageA(w, WM_CAP_SET_PREVIEW, 1, 0);
        SendMessageA(w, WM_CAP_SET_CALLBACK_FRAME, 0, reinterpret_cast<LPARAM>(&Recorded));
        return w;
    }
    bool WaitForCalls(int n) { return WaitUntil([&] { return log.calls >= n; }); }

    std::unique_ptr<QWidget> panel;
    CallbackLog log;
};
} // namespace

TEST(FrameFormat, ConvertsPacksAndSavesFrames)
{
    EXPECT_EQ(I420FrameSize(320, 240), DefaultFrameBytes);
    EXPECT_EQ(I420FrameSize(5, 3), 15u + 2 * 3 * 2);
    EXPECT_EQ(I420FrameSize(0, 240), 0u);

    // BT.601 video range: black, white, and the primaries.
    auto same = [](PixelRgb c, int r, int g, int b) { return c.r == r && c.g == g && c.b == b; };
    EXPECT_TRUE(same(YuvToRgb(16, 128, 128), 0, 0, 0));
    EXPECT_TRUE(same(YuvToRgb(235, 128, 128), 255, 255, 255));
    EXPECT_TRUE(same(YuvToRgb(0, 0, 0), 0, 135, 0)); // clamped, never wrapped
    const PixelRgb red = YuvToRgb(81, 90, 240), green = YuvToRgb(145, 54, 34),
              blue = YuvToRgb(41, 240, 110);
    EXPECT_GE(red.r, 253);
    EXPECT_LE(std::max(red.g, red.b), 1);
    EXPECT_GE(green.g, 253);
    EXPECT_LE(std::max(green.r, green.b), 1);
    EXPECT_GE(blue.b, 253);
    EXPECT_LE(std::max(blue.r, blue.g), 1);
    // Every luma and chroma, through the conversion's clamping table, gives
    // the formula's value clamped: none falls outside the table.
    int wrong = 0;
    for (int yy = 0; yy < 256; ++yy)
        for (int uu = 0; uu < 256; ++uu)
            for (int vv = 0; vv < 256; vv += 5) {
                const int c = 298 * (yy - 16) + 128, d = uu - 128, e = vv - 128;
                const PixelRgb got = YuvToRgb(uint8_t(yy), uint8_t(uu), uint8_t(vv));
                wrong += !same(got, std::clamp((c + 409 * e) >> 8, 0, 255),
                               std::clamp((c - 100 * d - 208 * e) >> 8, 0, 255), std::clamp((c + 516 * d) >> 8, 0, 255));
            }
    EXPECT_EQ(wrong, 0);

    // Padded rows are packed; chroma of odd sizes rounds up.
    const uint8_t y[] = {1, 2, 3, 0xEE, 4, 5, 6, 0xEE, 7, 8, 9, 0xEE};
    const uint8_t u[] = {10, 11, 0xEE, 12, 13, 0xEE};
    const uint8_t v[] = {20, 21, 0xEE, 22, 23, 0xEE};
    const PlaneView planes[3] = {{y, 4}, {u, 3}, {v, 3}};
    std::vector<uint8_t> packed(I420FrameSize(3, 3));
    PackI420(planes, 3, 3, packed.data());
    EXPECT_EQ(packed, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 20, 21,
                                            22, 23}));

    // A 2 x 2 block shares one chroma sample: left half red, right half blue.
    std::vector<uint8_t> frame(I420FrameSize(4, 2));
    const uint8_t frameData[] = {81, 81, 41, 41, 81, 81, 41, 41, 90, 240, 240, 110};
    std::copy(std::begin(frameData), std::end(frameData), frame.begin());
    const QImage image = I420ToImage(frame.data(), 4, 2);
    ASSERT_EQ(image.size(), QSize(4, 2));
    EXPECT_GE(qRed(image.pixel(1, 1)), 253);
    EXPECT_GE(qBlue(image.pixel(2, 0)), 253);

    // Saving: a 24-bit bitmap, or nothing at all.
    QTemporaryDir dir;
    const QString path = dir.filePath("frame.bmp");
    std::vector<uint8_t> grey(I420FrameSize(320, 240), 128);
    ASSERT_TRUE(SaveI420AsBmp(path, grey.data(), 320, 240));
    EXPECT_EQ(QFile(path).size(), 230454);
    EXPECT_EQ(BitsPerPixel(path), 24);
    const QString missing = dir.filePath("no/such/folder/frame.bmp");
    EXPECT_FALSE(SaveI420AsBmp(missing, grey.data(), 320, 240));
    EXPECT_FALSE(QFile::exists(missing));
    EXPECT_FALSE(SaveI420AsBmp(dir.filePath("empty.bmp"), grey.data(), 0, 0));
    EXPECT_FALSE(QFile::exists(dir.filePath("empty.bmp")));
}

TEST(FrameFormat, OffersTheSizesASourceHas)
{
    EnsureGStreamer();
    auto offers = [](const char *text) {
        GstCaps *caps = gst_caps_from_string(text);
        std::vector<std::string> out;
        for (const CameraOffer &o : OffersInCaps(caps))
            out.push_back(OfferCaption(o) + (o.listed ? "" : " (range)"));
        gst_caps_unref(caps);
        return out;
    };
    // A camera's list: both forms, each size once with its best rate; frames
    // in DMA buffers (GStreamer 1.26's v4l2src lists them too) are left out.
    EXPECT_EQ(offers("video/x-raw(memory:DMABuf),format=DMA_DRM,drm-format=YUYV,width=640,height=480;"
                     "video/x-raw,format=YUY2,width=640,height=480,framerate={15/1,30/1};"
                     "image/jpeg,width={1280,640},height=720,framerate=[5/1,30000/1001];"
                     "video/x-raw,format=YUY2,width=640,height=480,framerate=5/1;audio/x-raw"),
              (std::vector<std::string>{"640 x 480, YUY2, 30 kl/s", "640 x 720, MJPEG, 29.97 kl/s",
                                        "1280 x 720, MJPEG, 29.97 kl/s"}));
    EXPECT_EQ(offers("video/x-raw,width=[1,400],height=[1,300]"),
              (std::vector<std::string>{"160 x 120 (range)", "176 x 144 (range)", "320 x 240 (range)",
                                        "352 x 288 (range)"}));
}

TEST(FrameFormat, ChoosesWhatGivesTheAskedSizeAtItsRate)
{
    const CameraOffer raw480{PictureForm::Raw, "YUY2", {640, 480}, 30, 1};
    const CameraOffer raw720slow{PictureForm::Raw, "YUY2", {1280, 720}, 10, 1};
    const CameraOffer jpeg480{PictureForm::Jpeg, "", {640, 480}, 30, 1};
    const CameraOffer jpeg720{PictureForm::Jpeg, "", {1280, 720}, 30, 1};
    const CameraOffer jpeg1080{PictureForm::Jpeg, "", {1920, 1080}, 30, 1};
    const std::vector<CameraOffer> webcam{raw480, raw720slow, jpeg480, jpeg720, jpeg1080};
    struct Case {
        QSize asked;
        std::optional<PictureForm> form;
        CameraOffer chosen;
    } cases[] = {
        {{320, 240}, {}, raw480},                // smallest that covers; raw needs no decoding
        {{640, 480}, {}, raw480},
        {{640, 480}, PictureForm::Jpeg, jpeg480}, // as the format dialog chose it
        {{1280, 720}, {}, jpeg720},              // raw 720p is too slow to steer by
        {{1280, 720}, PictureForm::Raw, raw480}, // no smooth raw 720p: the largest smooth raw
        {{3840, 2160}, {}, jpeg1080},            // nothing covers: the largest
    };
    for (const Case &c : cases) {
        const CameraOffer *chosen = ChooseOffer(webcam, c.asked, c.form);
        ASSERT_NE(chosen, nullptr);
        EXPECT_EQ(OfferCaption(*chosen), OfferCaption(c.chosen)) << c.asked.width() << "x" << c.asked.height();
    }
    EXPECT_EQ(ChooseOffer({}, {320, 240}), nullptr);
}

TEST(FrameFormat, TakesATrailingCapsFilterAndOnlyWholeJpegPictures)
{
    const std::pair<std::string, DescriptionParts> cases[] = {
        {"videotestsrc ! video/x-raw,width=640,height=480", {"videotestsrc", "video/x-raw,width=640,height=480"}},
        {"v4l2src device=/dev/video2 ! image/jpeg", {"v4l2src device=/dev/video2", "image/jpeg"}},
        {"a ! video/x-raw(memory:SystemMemory), width=8 ", {"a", "video/x-raw(memory:SystemMemory), width=8"}},
        {"filesrc location=/tmp/x/y.jpg", {"filesrc location=/tmp/x/y.jpg", ""}},
        {"videotestsrc ! jpegenc", {"videotestsrc ! jpegenc", ""}},
        {"a ! b name=\"c ! video/x-raw\"", {"a ! b name=\"c ! video/x-raw\"", ""}},
        {"video/x-raw", {"video/x-raw", ""}},
    };
    for (const auto &[description, parts] : cases) {
        const DescriptionParts got = SplitTrailingCaps(description);
        EXPECT_EQ(got.source, parts.source) << description;
        EXPECT_EQ(got.caps, parts.caps) << description;
    }
    const uint8_t whole[] = {0xFF, 0xD8, 1, 2, 0xFF, 0xD9, 0, 0};
    const uint8_t cut[] = {0xFF, 0xD8, 1, 2, 3, 4};
    const uint8_t notJpeg[] = {0x89, 'P', 'N', 'G', 0xFF, 0xD9};
    EXPECT_TRUE(IsWholeJpeg(whole, sizeof whole));
    EXPECT_FALSE(IsWholeJpeg(cut, sizeof cut));
    EXPECT_FALSE(IsWholeJpeg(notJpeg, sizeof notJpeg));
    EXPECT_FALSE(IsWholeJpeg(whole, 3));
}

TEST_F(CaptureLayer, HandlesNameLiveWindowsOnly)
{
    EXPECT_FALSE(IsWindow(nullptr));
    const HWND panelHandle = WindowHandle(panel.get());
    EXPECT_EQ(WindowHandle(panel.get()), panelHandle);
    EXPECT_TRUE(IsWindow(panelHandle));
    EXPECT_EQ(capCreateCaptureWindowA(nullptr, WS_CHILD | WS_VISIBLE, 0, 0, 160, 120, nullptr, 1),
              nullptr);

    const HWND first = Create();
    const HWND second = Create();
    ASSERT_TRUE(IsWindow(first));
    ASSERT_NE(first, second);
    const auto windows = panel->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_EQ(windows.size(), 2);
    EXPECT_EQ(windows.last()->geometry(), QRect(0, 0, 160, 120));
    EXPECT_EQ(SendMessageA(first, WM_USER + 999, 0, 0), 0);
    EXPECT_EQ(SendMessageA(panelHandle, WM_CAP_DRIVER_CONNECT, 0, 0), 0);

    panel.reset();
    EXPECT_FALSE(IsWindow(first));
    EXPECT_FALSE(IsWindow(panelHandle));
    EXPECT_EQ(SendMessageA(first, WM_CAP_DRIVER_CONNECT, 0, 0), 0);
    panel = std::make_unique<QWidget>();
    const HWND later = WindowHandle(panel.get());
    EXPECT_NE(later, panelHandle);
    EXPECT_NE(later, first);
}

TEST_F(CaptureLayer, FramesReachTheCallbackOnTheGuiThreadOneAtATimeWhilePreviewIsOn)
{
    // The first call waits in a nested event loop; frames that come meanwhile
    // must not start a second call.
    log.action = [](VIDEOHDR *) {
        if (Log->calls == 1)
            ProcessFor(300);
    };
    const HWND w = StartPreview();
    ASSERT_TRUE(WaitForCalls(10));
    EXPECT_FALSE(log.offGuiThread);
    EXPECT_EQ(log.deepest, 1);
    for (uint32_t length : log.lengths)
        EXPECT_EQ(length, DefaultFrameBytes);
    const CaptureStats stats = GetCaptureStats(w);
    EXPECT_GT(stats.skipped, 0u); // the frames of the nested loop
    EXPECT_EQ(stats.frameSize, QSize(320, 240));

    // A grab switches the preview off until it is switched on again.
    EXPECT_EQ(SendMessageA(w, WM_CAP_GRAB_FRAME, 0, 0), 1);
    int calls = log.calls;
    ProcessFor(300);
    EXPECT_EQ(log.calls, calls);
    SendMessageA(w, WM_CAP_SET_PREVIEW, 1, 0);
    EXPECT_TRUE(WaitForCalls(calls + 2));

    // After a disconnect no frame comes, and the window stays.
    SendMessageA(w, WM_CAP_DRIVER_DISCONNECT, 0, 0);
    calls = log.calls;
    ProcessFor(300);
    EXPECT_EQ(log.calls, calls);
    EXPECT_TRUE(IsWindow(w));
    EXPECT_FALSE(GetCaptureStats(w).connected);
}

TEST_F(CaptureLayer, TheWindowShowsTheFrameAsTheCallbackLeftIt)
{
    // The ball picture is mostly black; from its third frame on the callback
    // paints the frame white. The window and a save show that, not a picture
    // of the frame as it came.
    log.action = [this](VIDEOHDR *h) {
        if (log.calls < 3)
            return;
        std::fill(h->lpData, h->lpData + 76800, uint8_t(235));
        std::fill(h->lpData + 76800, h->lpData + h->dwBufferLength, uint8_t(128));
    };
    const HWND w = StartPreview();
    ASSERT_TRUE(WaitForCalls(5));
    ProcessFor(50);
    QWidget *window = panel->findChild<QWidget *>();
    ASSERT_NE(window, nullptr);
    const QImage shown = window->grab().toImage();
    ASSERT_EQ(shown.size(), QSize(160, 120));
    for (QPoint p : {QPoint(0, 0), QPoint(80, 60), QPoint(159, 119)})
        ExpectColourNear(shown.pixel(p), 255, 255, 255, 2);
    ASSERT_EQ(SendMessageA(w, WM_CAP_FILE_SAVEDIB, 0, LPARAM("zdjecia/przechwyt/plik.bmp")), 1);
    const QImage saved("zdjecia/przechwyt/plik.bmp");
    for (QPoint p : {QPoint(0, 0), QPoint(160, 120), QPoint(319, 239)})
        ExpectColourNear(saved.pixel(p), 255, 255, 255, 2);
    SendMessageA(w, WM_CAP_DRIVER_DISCONNECT, 0, 0);
}

TEST_F(CaptureLayer, SavesTheGrabbedFrameAsA24BitBitmap)
{
    setenv("ROBOT_CAPTURE_SOURCE", SolidSource, 1);
    const HWND w = Create();
    // Nothing to save before a frame was grabbed, and no grab without a camera.
    EXPECT_EQ(SendMessageA(w, WM_CAP_GRAB_FRAME, 0, 0), 0);
    EXPECT_EQ(SendMessageA(w, WM_CAP_FILE_SAVEDIB, 0, LPARAM("zdjecia/przechwyt/plik.bmp")), 0);
    EXPECT_FALSE(QFile::exists("zdjecia/przechwyt/plik.bmp"));

    ASSERT_EQ(SendMessageA(w, WM_CAP_DRIVER_CONNECT, 0, 0), 1);
    // The grab waits for the camera's first frame.
    ASSERT_EQ(SendMessageA(w, WM_CAP_GRAB_FRAME, 0, 0), 1);
    ASSERT_EQ(SendMessageA(w, WM_CAP_FILE_SAVEDIB, 0, LPARAM("zdjecia/przechwyt/plik.bmp")), 1);
    EXPECT_EQ(BitsPerPixel("zdjecia/przechwyt/plik.bmp"), 24);
    ExpectSolidColour(QImage("zdjecia/przechwyt/plik.bmp"));

    EXPECT_EQ(SendMessageA(w, WM_CAP_FILE_SAVEDIB, 0, LPARAM("brak/plik.bmp")), 0);
    EXPECT_FALSE(QFile::exists("brak/plik.bmp"));
    EXPECT_EQ(SendMessageA(w, WM_CAP_FILE_SAVEDIB, 0, 0), 0);
    SendMessageA(w, WM_CAP_DRIVER_DISCONNECT, 0, 0);
}

TEST_F(CaptureLayer, AConnectThatFailsSaysWhyOnce)
{
    const std::pair<const char *, const char *> cases[] = {
        {"v4l2", "No camera found: no V4L2 camera (/dev/video*)"},
        {"no-such-element", "no element \"no-such-element\""},
        {"videotestsrc ! no-such-element", "no element \"no-such-element\""},
        {"audiotestsrc", "it gives neither raw video nor JPEG pictures"},
        {"videotestsrc ! video/x-raw,width=(int)ten", "is no caps filter GStreamer understands"},
    };
    for (const auto &[source, reason] : cases) {
        setenv("ROBOT_CAPTURE_SOURCE", source, 1);
        if (std::string(source) == "v4l2" && !CaptureSources().empty())
            continue; // this machine has a camera
        errors.clear();
        const HWND w = Create();
        EXPECT_EQ(SendMessageA(w, WM_CAP_DRIVER_CONNECT, 0, 0), 0) << source;
        SendMessageA(w, WM_CAP_SET_PREVIEW, 1, 0);
        SendMessageA(w, WM_CAP_SET_CALLBACK_FRAME, 0, reinterpret_cast<LPARAM>(&Recorded));
        EXPECT_EQ(SendMessageA(w, WM_CAP_GRAB_FRAME, 0, 0), 0);
        EXPECT_EQ(SendMessageA(w, WM_CAP_DLG_VIDEOSOURCE, 0, 0), 0);
        EXPECT_TRUE(IsWindow(w));
        ProcessFor(100);
        ASSERT_EQ(errors.size(), 1u) << source;
        EXPECT_NE(errors[0].find(reason), std::string::npos) << errors[0];
        if (std::string(source) != "v4l2") { // the description is named
            EXPECT_NE(errors[0].find(std::string("\"") + source + "\""), std::string::npos) << errors[0];
        }
    }
    // The test picture has driver 0 only.
    setenv("ROBOT_CAPTURE_SOURCE", "test", 1);
    EXPECT_EQ(SendMessageA(Create(), WM_CAP_DRIVER_CONNECT, 1, 0), 0);
    ProcessFor(200);
    EXPECT_EQ(log.calls, 0);
}

// The Pi camera's way: without libcamerasrc the package is named; with it but
// without a camera, the connection to check.
TEST_F(CaptureLayer, ThePiCameraSaysWhichPackageOrConnectionToCheck)
{
    EnsureGStreamer();
    setenv("ROBOT_CAPTURE_SOURCE", "libcamera", 1);
    GstRegistry *registry = gst_registry_get();
    if (GstPluginFeature *element = gst_registry_lookup_feature(registry, "libcamerasrc")) {
        EXPECT_EQ(SendMessageA(Create(), WM_CAP_DRIVER_CONNECT, 0, 0), 0);
        ProcessFor(100);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find("ribbon cable"), std::string::npos) << errors[0];
        gst_registry_remove_feature(registry, element); // as on a machine without the package
        gst_object_unref(element);
        errors.clear();
    }
    EXPECT_EQ(SendMessageA(Create(), WM_CAP_DRIVER_CONNECT, 0, 0), 0);
    ProcessFor(100);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("sudo apt-get install gstreamer1.0-libcamera"), std::string::npos) << errors[0];
}

// MJPEG from a description is decoded; a last link that is a caps filter is
// taken as the filter.
TEST_F(CaptureLayer, JpegAndATrailingCapsFilterGiveThePicture)
{
    for (const std::string tail : {" ! video/x-raw,width=640,height=480,framerate=30/1 ! jpegenc quality=100",
                                   " ! video/x-raw,width=640,height=480"}) {
        setenv("ROBOT_CAPTURE_SOURCE", (SolidSource + tail).c_str(), 1);
        const HWND w = Create();
        ASSERT_EQ(SendMessageA(w, WM_CAP_DRIVER_CONNECT, 0, 0), 1) << tail;
        ASSERT_EQ(SendMessageA(w, WM_CAP_GRAB_FRAME, 0, 0), 1) << tail;
        ASSERT_EQ(SendMessageA(w, WM_CAP_FILE_SAVEDIB, 0, LPARAM("zdjecia/przechwyt/plik.bmp")), 1);
        ExpectSolidColour(QImage("zdjecia/przechwyt/plik.bmp"));
        SendMessageA(w, WM_CAP_DRIVER_DISCONNECT, 0, 0);
    }
    EXPECT_TRUE(errors.empty());
}

TEST_F(CaptureLayer, FormatDialogChangesTheFrameSizeOfTheDriver)
{
    int dialogs = 0;
    QString preselected;
    QString chosen = "160 x 120";
    int answer = QDialog::Accepted;
    SetCaptureDialogHook([&](QDialog &dialog) {
        ++dialogs;
        auto *size = dialog.findChild<QComboBox *>("size");
        preselected = size->currentText();
        size->setCurrentIndex(size->findText(chosen));
        return answer;
    });
    const HWND unconnected = Create();
    EXPECT_EQ(SendMessageA(unconnected, WM_CAP_DLG_VIDEOFORMAT, 0, 0), 0);
    EXPECT_EQ(dialogs, 0);

    const HWND w = StartPreview();
    ASSERT_TRUE(WaitForCalls(1));
    EXPECT_EQ(SendMessageA(w, WM_CAP_DLG_VIDEOFORMAT, 0, 0), 1);
    EXPECT_EQ(preselected, "320 x 240");
    log.lengths.clear();
    ASSERT_TRUE(WaitUntil([&] { return log.lengths.size() >= 2; }));
    EXPECT_EQ(log.lengths.back(), 160u * 120 * 3 / 2);

    // The driver keeps the size for later windows; a cancelled dialog changes nothing.
    SendMessageA(w, WM_CAP_DRIVER_DISCONNECT, 0, 0);
    const HWND later = StartPreview();
    answer = QDialog::Rejected;
    chosen = "640 x 480";
    EXPECT_EQ(SendMessageA(later, WM_CAP_DLG_VIDEOFORMAT, 0, 0), 0);
    EXPECT_EQ(preselected, "160 x 120");
    log.lengths.clear();
    ASSERT_TRUE(WaitUntil([&] { return log.lengths.size() >= 2; }));
    EXPECT_EQ(log.lengths.back(), 160u * 120 * 3 / 2);
    SendMessageA(later, WM_CAP_DRIVER_DISCONNECT, 0, 0);
}

TEST_F(CaptureLayer, SourceDialogAdjustsThePicture)
{
    double meanLuma = 0;
    log.action = [&](VIDEOHDR *h) {
        uint64_t sum = 0;
        for (int i = 0; i < 76800; ++i)
            sum += h->lpData[i];
        meanLuma = sum / 76800.0;
    };
    std::function<int(QDialog &)> answer;
    SetCaptureDialogHook([&](QDialog &dialog) { return answer(dialog); });
    const HWND w = StartPreview();
    ASSERT_TRUE(WaitForCalls(1));
    const double dark = meanLuma;

    QStringList devices;
    answer = [&](QDialog &dialog) {
        auto *device = dialog.findChild<QComboBox *>("device");
        for (int i = 0; i < device->count(); ++i)
            devices << device->itemText(i);
        for (const char *name : PictureControlNames)
            EXPECT_NE(dialog.findChild<QSlider *>(name), nullptr) << name;
        auto *brightness = dialog.findChild<QSlider *>("brightness");
        brightness->setValue(brightness->maximum());
        return int(QDialog::Rejected);
    };
    EXPECT_EQ(SendMessageA(w, WM_CAP_DLG_VIDEOSOURCE, 0, 0), 0);
    EXPECT_EQ(devices, QStringList{"Obraz testowy"});
    log.calls = 0;
    ASSERT_TRUE(WaitForCalls(3));
    EXPECT_LT(meanLuma, dark + 20); // cancelled: back as it was

    answer = [](QDialog &dialog) {
        auto *brightness = dialog.findChild<QSlider *>("brightness");
        brightness->setValue(brightness->maximum() / 2);
        return int(QDialog::Accepted);
    };
    EXPECT_EQ(SendMessageA(w, WM_CAP_DLG_VIDEOSOURCE, 0, 0), 1);
    log.calls = 0;
    ASSERT_TRUE(WaitForCalls(3));
    EXPECT_GT(meanLuma, dark + 50);
    SendMessageA(w, WM_CAP_DRIVER_DISCONNECT, 0, 0);

    // The driver keeps the setting for the next connection.
    const HWND later = StartPreview();
    log.calls = 0;
    ASSERT_TRUE(WaitForCalls(3));
    EXPECT_GT(meanLuma, dark + 50);
    SendMessageA(later, WM_CAP_DRIVER_DISCONNECT, 0, 0);
}
