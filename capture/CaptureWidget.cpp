#include "capture/CaptureWidget.h"

#include "capture/CaptureDialogs.h"
#include "core/ErrorDisplay.h"
#include "core/FrameFormat.h"

#include <QPainter>
#include <QPointer>

#include <algorithm>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace {
// How long a grab waits for the first frame of a camera just connected.
constexpr int FirstFrameWaitMs = 2000;
constexpr int64_t NsPerMs = 1000000;
constexpr LRESULT Done = 1;
constexpr LRESULT Failed = 0;
} // namespace

// The hand-over from the streaming thread: only the newest frame is kept, and
// at most one queued call to the GUI thread is outstanding.
struct CaptureWidget::Mailbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::optional<CapturedFrame> newest;
    bool posted = false;
    int64_t newestCapturedNs = 0; // of the newest frame delivered, taken or not
};

// Counts a call of the window as running while it lives. The last one to end
// on a released window hands it to the event loop for deletion.
class CaptureWidget::Busy {
public:
    explicit Busy(CaptureWidget &window) : window_(&window) { ++window.busy_; }
    ~Busy()
    {
        if (window_ && --window_->busy_ == 0 && window_->released_)
            window_->deleteLater();
    }
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;

private:
    QPointer<CaptureWidget> window_; // null once something else deleted it
};

CaptureWidget::CaptureWidget(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

CaptureWidget::~CaptureWidget()
{
    // Stops the streaming threads before the widget they post to goes away;
    // the queued calls they posted go with the widget.
    pipeline_.reset();
}

void CaptureWidget::Release()
{
    if (released_)
        return;
    released_ = true;
    // Deferred even when nothing runs: the caller (a start) goes on with the
    // handler it is in, and deleteLater waits until control is back in the
    // event loop that was running when it was called.
    if (busy_ == 0)
        deleteLater();
}

LRESULT CaptureWidget::Message(UINT message, WPARAM wParam, LPARAM lParam)
{
    Busy busy(*this);
    return Handle(message, wParam, lParam);
}

LRESULT CaptureWidget::Handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CAP_DRIVER_CONNECT:
        return Connect(unsigned(wParam)) ? Done : Failed;
    case WM_CAP_DRIVER_DISCONNECT:
        return Disconnect() ? Done : Failed;
    case WM_CAP_SET_CALLBACK_FRAME:
        callback_ = reinterpret_cast<CAPVIDEOCALLBACK>(lParam);
        return Done;
    case WM_CAP_SET_PREVIEW:
        preview_ = wParam != 0;
        return Done;
    case WM_CAP_SET_PREVIEWRATE:
        previewPeriodMs_ = unsigned(wParam);
        return Done;
    case WM_CAP_SET_SCALE:
        scale_ = wParam != 0;
        update();
        return Done;
    case WM_CAP_GRAB_FRAME:
        return Grab() ? Done : Failed;
    case WM_CAP_FILE_SAVEDIB:
        return SaveDib(reinterpret_cast<const char *>(lParam)) ? Done : Failed;
    case WM_CAP_DLG_VIDEOSOURCE:
        return SourceDialog() ? Done : Failed;
    case WM_CAP_DLG_VIDEOFORMAT:
        return FormatDialog() ? Done : Failed;
    default:
        return Failed;
    }
}

bool CaptureWidget::Connect(unsigned driver)
{
    Disconnect();
    CaptureSource source;
    if (!ResolveDriver(driver, source)) {
        // Said once per connection tried, after the click: a black window
        // alone does not tell the operator that no camera was found.
        ShowAfterHandler(NoCameraMessage(driver));
        return false;
    }
    auto box = std::make_shared<Mailbox>();
    auto onFrame = [this, box](CapturedFrame &&frame) {
        bool post = false;
        {
            std::lock_guard<std::mutex> lock(box->mutex);
            box->newestCapturedNs = frame.capturedNs;
            box->newest = std::move(frame);
            post = !box->posted;
            box->posted = true;
        }
        box->arrived.notify_all();
        if (post)
            QMetaObject::invokeMethod(
                this, [this, box] { if (box == mailbox_) FrameArrived(); },
                Qt::QueuedConnection);
    };
    const std::string name = source.name;
    auto onError = [this, box, name](const std::string &reason) {
        QMetaObject::invokeMethod(
            this,
            [this, box, name, reason] {
                if (box != mailbox_)
                    return; // a connection given up meanwhile, or one that never started
                Disconnect();
                ShowAfterHandler("Camera \"" + name + "\" stopped: " + reason + ".");
            },
            Qt::QueuedConnection);
    };
    DriverSettings &settings = CaptureDriverSettings();
    std::string problem;
    pipeline_ = CameraPipeline::Open(source, settings.Frames(source.key), onFrame, onError, problem);
    if (!pipeline_) {
        ShowAfterHandler("Camera \"" + name + "\" cannot be used: " + problem + ".");
        return false;
    }
    for (const auto &[control, value] : settings.pictureControls[source.key])
        pipeline_->SetPictureControl(control, value);
    source_ = source;
    driver_ = driver;
    mailbox_ = box;
    received_ = callbacks_ = skipped_ = 0;
    return true;
}

bool CaptureWidget::Disconnect()
{
    if (!pipeline_)
        return false;
    pipeline_.reset();
    mailbox_.reset(); // frames of this connection still queued are dropped
    latest_ = CapturedFrame();
    return true;
}

bool CaptureWidget::TakeFromMailbox(int waitMs)
{
    if (!mailbox_)
        return false;
    std::unique_lock<std::mutex> lock(mailbox_->mutex);
    if (waitMs > 0)
        mailbox_->arrived.wait_for(lock, std::chrono::milliseconds(waitMs),
                                   [this] { return mailbox_->newest.has_value(); });
    mailbox_->posted = false;
    if (!mailbox_->newest)
        return false;
    latest_ = std::move(*mailbox_->newest);
    mailbox_->newest.reset();
    ++received_;
    return true;
}

void CaptureWidget::FrameArrived()
{
    // A released window's frames go nowhere: it is about to be deleted.
    if (released_ || !TakeFromMailbox(0))
        return;
    // A call still running (it may be waiting in a nested event loop) gets no
    // second frame; preview off shows none; a preview period above the camera's
    // skips frames that come too soon.
    const bool tooSoon = previewPeriodMs_ > 1 && lastPreviewNs_ != 0 &&
                         latest_.sampleNs - lastPreviewNs_ < int64_t(previewPeriodMs_) * NsPerMs;
    if (!preview_ || inCallback_ || tooSoon) {
        ++skipped_;
        return;
    }
    lastPreviewNs_ = latest_.sampleNs;
    CopyToFrameBuffer(latest_);
    if (callback_ && !RunCallback())
        return;
    ShowFrameBuffer();
}

void CaptureWidget::CopyToFrameBuffer(const CapturedFrame &frame)
{
    // Same size: the bytes are copied into place, so the buffer keeps its address.
    if (frameBuffer_.size() == frame.data.size())
        std::copy(frame.data.begin(), frame.data.end(), frameBuffer_.begin());
    else
        frameBuffer_ = frame.data;
    bufferWidth_ = frame.width;
    bufferHeight_ = frame.height;
    bufferTimeMs_ = frame.timeMs;
    bufferSampleNs_ = frame.sampleNs;
    bufferCapturedNs_ = frame.capturedNs;
}

bool CaptureWidget::RunCallback()
{
    VIDEOHDR header;
    header.lpData = frameBuffer_.data();
    header.dwBufferLength = uint32_t(frameBuffer_.size());
    header.dwBytesUsed = header.dwBufferLength;
    header.dwTimeCaptured = bufferTimeMs_;
    header.dwFlags = VHDR_DONE | VHDR_KEYFRAME;
    ++callbacks_;
    QPointer<CaptureWidget> alive(this);
    Busy busy(*this); // the callback writes into frameBuffer_ until it returns
    inCallback_ = true;
    const CAPVIDEOCALLBACK callback = callback_;
    RunHandler([&] { callback(handle_, &header); });
    if (!alive)
        return false;
    inCallback_ = false;
    return !released_;
}

const QImage &CaptureWidget::Picture()
{
    const bool same = !shown_.isNull() && shown_.width() == bufferWidth_ && shown_.height() == bufferHeight_ &&
                      shownFrom_.size() == frameBuffer_.size() &&
                      std::memcmp(shownFrom_.data(), frameBuffer_.data(), frameBuffer_.size()) == 0;
    if (!same) {
        shown_ = I420ToImage(frameBuffer_.data(), bufferWidth_, bufferHeight_);
        shownFrom_ = frameBuffer_;
    }
    return shown_;
}

void CaptureWidget::ShowFrameBuffer()
{
    Picture();
    update();
}

bool CaptureWidget::Grab()
{
    if (!pipeline_)
        return false;
    TakeFromMailbox(latest_.data.empty() ? FirstFrameWaitMs : 0);
    if (latest_.data.empty())
        return false;
    CopyToFrameBuffer(latest_);
    preview_ = false;
    ShowFrameBuffer();
    return true;
}

bool CaptureWidget::SaveDib(const char *path)
{
    lastSaveError_.clear();
    if (!path) {
        lastSaveError_ = "no file name was given";
        return false;
    }
    if (frameBuffer_.empty()) {
        lastSaveError_ = "the camera has delivered no picture";
        return false;
    }
    QString error;
    if (SavePictureAsBmp(QString::fromLocal8Bit(path), Picture(), &error))
        return true;
    lastSaveError_ = error.toStdString();
    return false;
}

bool CaptureWidget::SourceDialog()
{
    if (!pipeline_)
        return false;
    const std::vector<PictureControl> before = pipeline_->PictureControls();
    VideoSourceDialog dialog(
        CaptureSources(), source_.key, before,
        [this](const std::string &name, int value) {
            if (pipeline_)
                pipeline_->SetPictureControl(name, value);
        },
        this);
    const int result = RunDriverDialog(dialog);
    if (!pipeline_)
        return false; // disconnected while the dialog was open
    DriverSettings &settings = CaptureDriverSettings();
    if (result != QDialog::Accepted) {
        for (const PictureControl &control : before)
            pipeline_->SetPictureControl(control.name, control.value);
        return false;
    }
    settings.pictureControls[source_.key] = dialog.Values();
    const std::string chosen = dialog.ChosenDevice();
    if (!chosen.empty() && chosen != source_.key) {
        settings.chosenDevice = chosen;
        if (driver_ == 0)
            return Connect(driver_);
    }
    return true;
}

bool CaptureWidget::FormatDialog()
{
    if (!pipeline_)
        return false;
    FrameChoice current{pipeline_->FrameSize(), std::nullopt};
    if (pipeline_->Asked())
        current.form = pipeline_->Asked()->form;
    VideoFormatDialog dialog(pipeline_->Offers(), current, this);
    const int result = RunDriverDialog(dialog);
    if (!pipeline_ || result != QDialog::Accepted)
        return false;
    const FrameChoice chosen = dialog.Chosen();
    if (chosen.size.isEmpty() || (chosen.size == current.size && chosen.form == current.form))
        return true;
    CaptureDriverSettings().frames[source_.key] = chosen;
    return Connect(driver_);
}

void CaptureWidget::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (shown_.isNull()) {
        painter.fillRect(rect(), Qt::black);
        return;
    }
    if (scale_) {
        painter.drawImage(rect(), shown_);
        return;
    }
    painter.fillRect(rect(), Qt::black);
    painter.drawImage(0, 0, shown_);
}

CaptureTimes CaptureWidget::Times() const
{
    CaptureTimes times;
    times.frameNs = bufferCapturedNs_;
    times.stamped = source_.kind == CaptureSource::Kind::Robot;
    if (mailbox_) {
        std::lock_guard<std::mutex> lock(mailbox_->mutex);
        times.newestNs = mailbox_->newestCapturedNs;
    }
    return times;
}

CaptureStats CaptureWidget::Stats() const
{
    CaptureStats stats;
    stats.connected = pipeline_ != nullptr;
    stats.samples = pipeline_ ? pipeline_->Samples() : 0;
    stats.dropped = pipeline_ ? pipeline_->Dropped() : 0;
    stats.received = received_;
    stats.callbacks = callbacks_;
    stats.skipped = skipped_;
    stats.frameSampleNs = bufferSampleNs_;
    stats.frameSize = QSize(bufferWidth_, bufferHeight_);
    return stats;
}
