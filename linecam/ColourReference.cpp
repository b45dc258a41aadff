// The reference colour track bars and their swatch.
#include "core/ErrorDisplay.h"
#include "core/LineAnalysis.h"
#include "form/Unit1.h"

namespace {
// The moved bar's position under it, and the swatch in the colour all three
// bars make together.
void ShowReference(TForm1 &form, const QSlider *moved, QLabel *label)
{
    label->setText(QString::number(moved->value()));
    form.Image6->SetPicture(MakeSwatch(
        ComposeColour(form.TrackBar1->value(), form.TrackBar2->value(), form.TrackBar3->value())));
}
} // namespace

void TForm1::TrackBar1Change() { RunHandler([this] { ShowReference(*this, TrackBar1, Label55); }); }
void TForm1::TrackBar2Change() { RunHandler([this] { ShowReference(*this, TrackBar2, Label56); }); }
void TForm1::TrackBar3Change() { RunHandler([this] { ShowReference(*this, TrackBar3, Label57); }); }
