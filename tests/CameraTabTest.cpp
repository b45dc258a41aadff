// The camera tab on the test picture: the shared start and stop sequences, the
// snapshot, the driver dialogs and the external viewer.
#include "support/Harness.h"
#include "support/TestPicture.h"

#include "capture/CaptureSources.h"
#include "capture/CaptureTesting.h"
#include "capture/CaptureWindow.h"
#include "form/CameraShared.h"

#include <QDir>
#include <QDialog>
#include <QFile>
#include <QImage>

#include <cstdlib>

namespace {
constexpr const char *Snapshot = "zdjecia/przechwyt/plik.bmp";

struct Sent {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    bool operator==(const Sent &o) const
    {
        return message == o.message && wParam == o.wParam && lParam == o.lParam;
    }
};
std::ostream &operator<<(std::ostream &out, const Sent &s)
{
    return out << "{" << s.message << ", " << s.wParam << ", " << s.lParam << "}";
}

LRESULT NoOpCallback(HWND, VIDEOHDR *) { return 1; }

class CameraTab : public RobotTest {
protected:
    void SetUp() override
    {
        RobotTest::SetUp();
        setenv("ROBOT_CAPTURE_SOURCE", "test", 1);
        SetCaptureMessageRecorder([this](const CaptureMessage &m) {
            log.push_back(m);
            sent.push_back({m.message, m.wParam, m.lParam});
        });
    }
    std::vector<QWidget *> PanelWindows(QWidget *panel)
    {
        std::vector<QWidget *> out;
        for (QWidget *w : panel->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
            out.push_back(w);
        return out;
    }
    void Clear()
    {
        log.clear();
        sent.clear();
    }

    std::vector<CaptureMessage> log;
    std::vector<Sent> sent;
};
} // namespace

TEST_F(CameraTab, Kamera2StartsAndStopsThePreviewWithTheSharedSequences)
{
    TForm1 &f = Form();
    f.Button12Click();
    ASSERT_EQ(log.size(), 5u);
    const HWND first = log[0].window;
    for (const CaptureMessage &m : log)
        EXPECT_EQ(m.window, first);
    EXPECT_EQ(sent, (std::vector<Sent>{{CaptureWindowCreated, 160, 120},
                                       {WM_CAP_DRIVER_CONNECT, 0, 0},
                                       {WM_CAP_SET_SCALE, 1, 0},
                                       {WM_CAP_SET_PREVIEWRATE, 1, 0},
                                       {WM_CAP_SET_PREVIEW, 1, 0}}));
    EXPECT_EQ(CaptureWindow, first);
    EXPECT_EQ(CameraRunning, 0xFF);
    EXPECT_EQ(f.Button12->text(), "Stop");
    ASSERT_EQ(PanelWindows(f.Panel1).size(), 1u);
    QWidget *window = PanelWindows(f.Panel1)[0];
    EXPECT_EQ(window->geometry(), QRect(0, 0, 160, 120));
    EXPECT_FALSE(window->isHidden());
    EXPECT_TRUE(WaitUntil([&] { return GetCaptureStats(first).frameSize == QSize(320, 240); }));

    Clear();
    f.Button12Click();
    EXPECT_EQ(sent, (std::vector<Sent>{{WM_CAP_DRIVER_DISCONNECT, 0, 0}}));
    EXPECT_EQ(log[0].window, first);
    EXPECT_EQ(CameraRunning, 0);
    EXPECT_EQ(f.Button12->text(), "Start");
    EXPECT_TRUE(IsWindow(first));
    EXPECT_FALSE(GetCaptureStats(first).connected);
    EXPECT_EQ(PanelWindows(f.Panel1), std::vector<QWidget *>{window});

    // The next start makes a new window over the old one.
    Clear();
    f.Button12Click();
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log[0].window, first);
    EXPECT_EQ(CaptureWindow, log[0].window);
    EXPECT_EQ(PanelWindows(f.Panel1).size(), 2u);
    EXPECT_TRUE(GetCaptureStats(CaptureWindow).connected);

    // A stop through another button's handle variable leaves this one running.
    Clear();
    StopCapture(f.Button15, LineCaptureWindow);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(CameraRunning, 0);
    EXPECT_EQ(f.Button15->text(), "Start");
    EXPECT_EQ(f.Button12->text(), "Stop");
    EXPECT_TRUE(GetCaptureStats(CaptureWindow).connected);
}

// No camera at all: the start runs as ever, and says once what it looked for.
TEST_F(CameraTab, Kamera2WithoutACameraSaysSoOnce)
{
    unsetenv("ROBOT_CAPTURE_SOURCE");
    if (!CaptureSources().empty())
        GTEST_SKIP() << "this machine has a camera";
    TForm1 &f = Form();
    f.Button12Click();
    ProcessFor(200);
    EXPECT_EQ(sent.size(), 5u);
    EXPECT_EQ(f.Button12->text(), "Stop");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("No camera found: no V4L2 camera (/dev/video*)"), std::string::npos) << errors[0];
}

TEST_F(CameraTab, AStartWithACallbackInstallsItAfterPreviewOn)
{
    TForm1 &f = Form();
    StartCapturePreview(f.Button15, f.Panel3, 193, 161, LineCaptureWindow, &NoOpCallback);
    EXPECT_EQ(sent, (std::vector<Sent>{{CaptureWindowCreated, 193, 161},
                                       {WM_CAP_DRIVER_CONNECT, 0, 0},
                                       {WM_CAP_SET_SCALE, 1, 0},
                                       {WM_CAP_SET_PREVIEWRATE, 1, 0},
                                       {WM_CAP_SET_PREVIEW, 1, 0},
                                       {WM_CAP_SET_CALLBACK_FRAME, 0,
                                        reinterpret_cast<LPARAM>(&NoOpCallback)}}));
    EXPECT_EQ(log[0].window, LineCaptureWindow);
    EXPECT_EQ(f.Button15->text(), "Stop");
    EXPECT_TRUE(WaitUntil([&] { return GetCaptureStats(LineCaptureWindow).callbacks >= 2; }));
    StopCapture(f.Button15, LineCaptureWindow);
}

TEST_F(CameraTab, PrzechwytSavesTheCameraPictureAndShowsIt)
{
    setenv("ROBOT_CAPTURE_SOURCE", SolidSource, 1);
    TForm1 &f = Form();
    f.Button12Click();
    Clear();
    f.Button14Click();
    EXPECT_TRUE(errors.empty());
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].message, WM_CAP_GRAB_FRAME);
    EXPECT_EQ(log[1].message, WM_CAP_FILE_SAVEDIB);
    EXPECT_EQ(log[1].path, Snapshot);
    EXPECT_EQ(sent[2], (Sent{WM_CAP_SET_PREVIEW, 1, 0}));

    EXPECT_EQ(BitsPerPixel(Snapshot), 24);
    ExpectSolidColour(QImage(Snapshot));
    ExpectSolidColour(f.Image4->Picture());
    ExpectSolidColour(f.Image7->Picture());
    f.Button12Click();
}

TEST_F(CameraTab, PrzechwytWithoutACameraShowsTheOldFileOrTheFileError)
{
    TForm1 &f = Form();
    f.Button14Click();
    EXPECT_TRUE(sent.empty());
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_FALSE(f.Image4->HasPicture());
    EXPECT_FALSE(f.Image7->HasPicture());

    QImage old(8, 8, QImage::Format_RGB888);
    old.fill(Qt::red);
    ASSERT_TRUE(old.save(Snapshot, "BMP"));
    f.Button14Click();
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(f.Image4->Picture().size(), QSize(8, 8));
    EXPECT_EQ(f.Image7->Picture().size(), QSize(8, 8));

    // A save that fails leaves the old picture; its load error skips the rest.
    f.Button12Click();
    QFile::remove(Snapshot);
    QDir("zdjecia").rmdir("przechwyt");
    Clear();
    f.Button14Click();
    EXPECT_EQ(errors.size(), 2u);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].message, WM_CAP_GRAB_FRAME);
    EXPECT_EQ(sent[1].message, WM_CAP_FILE_SAVEDIB);
    EXPECT_EQ(f.Image4->Picture().size(), QSize(8, 8));
}

TEST_F(CameraTab, DriverDialogsOpenOnlyForTheCurrentWindow)
{
    std::vector<std::pair<QString, bool>> dialogs; // title, modal
    SetCaptureDialogHook([&](QDialog &d) {
        dialogs.emplace_back(d.windowTitle(), d.isModal());
        return int(QDialog::Rejected);
    });
    TForm1 &f = Form();
    f.Button17Click();
    f.Button19Click();
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(dialogs.empty());

    f.Button12Click();
    Clear();
    f.Button17Click();
    f.Button19Click();
    EXPECT_EQ(sent, (std::vector<Sent>{{WM_CAP_DLG_VIDEOSOURCE, 0, 0},
                                       {WM_CAP_DLG_VIDEOFORMAT, 0, 0}}));
    ASSERT_EQ(dialogs.size(), 2u);
    EXPECT_TRUE(dialogs[0].second && dialogs[1].second);
    EXPECT_NE(dialogs[0].first, dialogs[1].first);
    f.Button12Click();
}

TEST_F(CameraTab, Kamera1StartsTheViewerWithoutWaiting)
{
    Form().Button11Click(); // no viewer yet: said at once
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("cannot start the camera viewer kamera/kamera"), std::string::npos) << errors[0];
    errors.clear();

    QFile viewer("kamera/kamera");
    ASSERT_TRUE(viewer.open(QIODevice::WriteOnly));
    viewer.write("#!/bin/sh\nsleep 1\ntouch started\n");
    viewer.close();
    viewer.setPermissions(viewer.permissions() | QFile::ExeOwner);
    Form().Button11Click();
    EXPECT_FALSE(QFile::exists("started")); // not waited for
    EXPECT_TRUE(WaitUntil([] { return QFile::exists("started"); }));
    EXPECT_TRUE(errors.empty());
    EXPECT_TRUE(sent.empty());
}
