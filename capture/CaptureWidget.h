#pragma once
// A capture window: a child widget of a panel that is connected to a camera
// (driver), shows its live picture, hands each frame to an installed callback
// on the GUI thread, grabs single frames and saves them as bitmap files.
#include "capture/CameraPipeline.h"
#include "capture/CaptureSources.h"
#include "capture/CaptureTesting.h"
#include "capture/CaptureWindow.h"

#include <QImage>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

class CaptureWidget : public QWidget {
    Q_OBJECT
public:
    explicit CaptureWidget(QWidget *parent);
    ~CaptureWidget() override;

    // One capture-window message; 0 for unknown ones and failures.
    LRESULT Message(UINT message, WPARAM wParam, LPARAM lParam);
    CaptureStats Stats() const;
    CaptureTimes Times() const;
    // Why the last save failed; empty after a save that succeeded.
    const std::string &LastSaveError() const { return lastSaveError_; }
    // The handle the frame callback is given.
    void SetHandle(HWND handle) { handle_ = handle; }
    // No further frames; deleted (deferred) as soon as no call of its own runs.
    void Release();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    struct Mailbox;
    class Busy;

    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

    bool Connect(unsigned driver);
    bool Disconnect();
    bool Grab();
    bool SaveDib(const char *path);
    bool SourceDialog();
    bool FormatDialog();

    // The newest frame from the pipeline into latest_; false when none came.
    // With `waitMs` > 0 it waits that long for a first frame.
    bool TakeFromMailbox(int waitMs);
    // A queued call from the streaming thread: the newest frame to the
    // callback and onto the screen.
    void FrameArrived();
    void CopyToFrameBuffer(const CapturedFrame &frame);
    // Runs the installed callback on the frame buffer; false when the window
    // went away or was released meanwhile.
    bool RunCallback();
    void ShowFrameBuffer();
    // The frame buffer as a picture, converted only when its bytes changed
    // since the last conversion (a grab shows and then saves the same frame;
    // a callback may have written into it).
    const QImage &Picture();

    HWND handle_ = nullptr;
    CaptureSource source_;
    unsigned driver_ = 0;
    std::unique_ptr<CameraPipeline> pipeline_;
    std::shared_ptr<Mailbox> mailbox_; // one per connection
    CapturedFrame latest_;             // the newest frame received

    std::vector<uint8_t> frameBuffer_; // what the callback sees and the window shows
    int bufferWidth_ = 0;
    int bufferHeight_ = 0;
    uint32_t bufferTimeMs_ = 0;
    int64_t bufferSampleNs_ = 0;
    int64_t bufferCapturedNs_ = 0;
    QImage shown_;             // frameBuffer_ as a picture, as last converted
    std::vector<uint8_t> shownFrom_; // the bytes shown_ was converted from
    std::string lastSaveError_;

    bool preview_ = false;
    bool scale_ = false;
    unsigned previewPeriodMs_ = 0;
    int64_t lastPreviewNs_ = 0;
    CAPVIDEOCALLBACK callback_ = nullptr;
    bool inCallback_ = false;
    // Messages and frame callbacks of this window now running: a dialog or a
    // callback may run a nested event loop, and a release that comes in there
    // must not delete the window under them.
    int busy_ = 0;
    bool released_ = false;

    uint64_t received_ = 0;
    uint64_t callbacks_ = 0;
    uint64_t skipped_ = 0;
};
