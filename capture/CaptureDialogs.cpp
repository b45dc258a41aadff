#include "capture/CaptureDialogs.h"

#include "capture/CaptureTesting.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>

namespace {
CaptureDialogHook &DialogHook()
{
    static CaptureDialogHook hook;
    return hook;
}

const char *ControlCaption(const std::string &name)
{
    if (name == "brightness")
        return "Jasność";
    if (name == "contrast")
        return "Kontrast";
    if (name == "saturation")
        return "Nasycenie";
    return "Odcień";
}

QDialogButtonBox *OkCancel(QDialog *dialog)
{
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}
} // namespace

CaptureDialogHook SetCaptureDialogHook(CaptureDialogHook hook)
{
    std::swap(DialogHook(), hook);
    return hook;
}

int RunDriverDialog(QDialog &dialog)
{
    if (DialogHook())
        return DialogHook()(dialog);
    return dialog.exec();
}

VideoSourceDialog::VideoSourceDialog(const std::vector<CaptureSource> &devices,
                                     const std::string &current,
                                     const std::vector<PictureControl> &controls,
                                     std::function<void(const std::string &, int)> apply,
                                     QWidget *parent)
    : QDialog(parent), device_(new QComboBox(this))
{
    setWindowTitle(QStringLiteral("Źródło wideo"));
    setModal(true);
    device_->setObjectName(QStringLiteral("device"));
    for (const CaptureSource &source : devices) {
        device_->addItem(QString::fromStdString(source.name));
        keys_.push_back(source.key);
        if (source.key == current)
            device_->setCurrentIndex(int(keys_.size()) - 1);
    }
    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Urządzenie"), device_);
    for (const PictureControl &control : controls) {
        auto *slider = new QSlider(Qt::Horizontal, this);
        slider->setObjectName(QString::fromStdString(control.name));
        slider->setRange(control.minimum, control.maximum);
        slider->setValue(control.value);
        const std::string name = control.name;
        connect(slider, &QSlider::valueChanged, this,
                [apply, name](int value) { apply(name, value); });
        form->addRow(QString::fromUtf8(ControlCaption(control.name)), slider);
        sliders_[control.name] = slider;
    }
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(OkCancel(this));
}

std::string VideoSourceDialog::ChosenDevice() const
{
    const int index = device_->currentIndex();
    return index >= 0 && size_t(index) < keys_.size() ? keys_[index] : std::string();
}

std::map<std::string, int> VideoSourceDialog::Values() const
{
    std::map<std::string, int> values;
    for (const auto &[name, slider] : sliders_)
        values[name] = slider->value();
    return values;
}

VideoFormatDialog::VideoFormatDialog(const std::vector<CameraOffer> &offers, const FrameChoice &current,
                                     QWidget *parent)
    : QDialog(parent), size_(new QComboBox(this))
{
    setWindowTitle(QStringLiteral("Format wideo"));
    setModal(true);
    size_->setObjectName(QStringLiteral("size"));
    int selected = -1;
    auto add = [&](const FrameChoice &choice, const std::string &caption, bool isCurrent) {
        size_->addItem(QString::fromStdString(caption));
        choices_.push_back(choice);
        if (isCurrent && selected < 0)
            selected = int(choices_.size()) - 1;
    };
    auto before = [](QSize a, QSize b) {
        return a.width() != b.width() ? a.width() < b.width() : a.height() < b.height();
    };
    const auto matches = [&](const CameraOffer &o) {
        return o.size == current.size && (!current.form || !o.listed || o.form == *current.form);
    };
    const bool offered = std::any_of(offers.begin(), offers.end(), matches);
    bool currentAdded = offered;
    for (const CameraOffer &offer : offers) {
        if (!currentAdded && before(current.size, offer.size)) {
            add({current.size, std::nullopt}, OfferCaption({PictureForm::Raw, {}, current.size, 0, 1, false}), true);
            currentAdded = true;
        }
        FrameChoice choice{offer.size, std::nullopt};
        if (offer.listed)
            choice.form = offer.form;
        add(choice, OfferCaption(offer), matches(offer));
    }
    if (!currentAdded)
        add({current.size, std::nullopt}, OfferCaption({PictureForm::Raw, {}, current.size, 0, 1, false}), true);
    size_->setCurrentIndex(selected);
    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Rozmiar obrazu"), size_);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(OkCancel(this));
}

FrameChoice VideoFormatDialog::Chosen() const
{
    const int index = size_->currentIndex();
    return index >= 0 && size_t(index) < choices_.size() ? choices_[index] : FrameChoice{QSize(), std::nullopt};
}
