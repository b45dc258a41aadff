#include "app/WindowSettings.h"

#include "app/ChoiceBox.h"
#include "app/Unit1.h"
#include "core/ErrorDisplay.h"
#include "core/SettingsFile.h"

#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSlider>

#include <algorithm>
#include <cstdlib>

namespace {
// A settings file is a few hundred bytes; a much longer one is not ours.
constexpr qint64 MaxSettingsBytes = 256 * 1024;

// The fields a settings file holds: the number fields, the move lists and the
// colour track bars, by the names of the stored layout.
template <class Control> std::vector<Control *> Fields(const TForm1 &form, const char *prefix)
{
    const QRegularExpression name(QStringLiteral("^%1[0-9]+$").arg(QLatin1String(prefix)));
    std::vector<Control *> found;
    for (Control *c : form.findChildren<Control *>())
        if (name.match(c->objectName()).hasMatch())
            found.push_back(c);
    // In the layout's numbering: Edit3 before Edit10.
    std::sort(found.begin(), found.end(), [](Control *a, Control *b) {
        return a->objectName().size() != b->objectName().size() ? a->objectName().size() < b->objectName().size()
                                                                 : a->objectName() < b->objectName();
    });
    return found;
}

std::vector<FieldRule> Rules(const TForm1 &form)
{
    std::vector<FieldRule> rules;
    for (QLineEdit *e : Fields<QLineEdit>(form, "Edit"))
        rules.push_back({e->objectName().toStdString()});
    for (ChoiceBox *c : Fields<ChoiceBox>(form, "ComboBox"))
        rules.push_back({c->objectName().toStdString()});
    for (QSlider *s : Fields<QSlider>(form, "TrackBar"))
        rules.push_back({s->objectName().toStdString(), true, s->minimum(), s->maximum()});
    return rules;
}

// A field's text as one line of the file: control characters (a pasted tab
// or line break) become spaces.
std::string OneLine(const QString &text)
{
    std::string line = text.toStdString();
    for (char &c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    return line;
}

void Apply(TForm1 &form, const std::string &name, const std::string &value)
{
    const QString field = QString::fromStdString(name);
    const QString text = QString::fromStdString(value);
    if (auto *slider = form.findChild<QSlider *>(field)) {
        slider->setValue(std::atoi(value.c_str()));
    } else if (auto *box = form.findChild<ChoiceBox *>(field)) {
        // The item it names, or the text alone with no item chosen.
        const int item = box->findText(text, Qt::MatchExactly);
        if (item >= 0)
            box->setCurrentIndex(item);
        else
            box->setText(text);
    } else if (auto *edit = form.findChild<QLineEdit *>(field)) {
        edit->setText(text);
    }
}
} // namespace

WindowSettings WindowSettings::FromArguments(const QStringList &arguments, std::string &error)
{
    WindowSettings settings;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments[i];
        if (a == QLatin1String("--settings") && i + 1 < arguments.size()) {
            settings.path_ = arguments[++i].toStdString();
        } else if (a.startsWith(QLatin1String("--settings="))) {
            settings.path_ = a.mid(11).toStdString();
        } else {
            error = "unknown argument \"" + a.toStdString() + "\" (the program takes only --settings FILE)";
            return {};
        }
    }
    if (settings.path_.empty())
        if (const char *fromEnvironment = std::getenv("ROBOT_SETTINGS"))
            settings.path_ = fromEnvironment;
    return settings;
}

void WindowSettings::Load(TForm1 &form)
{
    if (!Kept())
        return;
    QFile file(QString::fromStdString(path_));
    const QFileInfo info(file);
    if (!info.exists())
        return; // made at the end
    if (!info.isFile()) {
        // A FIFO would hold the start, a device would give anything.
        refused_ = true;
        ShowAfterHandler("The settings file is refused: " + path_ +
                         " is not a regular file. The fields keep their designed texts.");
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        refused_ = true;
        ShowAfterHandler("Cannot read the settings file " + path_ + ": " + file.errorString().toStdString() +
                         ". The fields keep their designed texts.");
        return;
    }
    const QByteArray bytes = file.read(MaxSettingsBytes + 1);
    std::string error;
    std::optional<FieldValues> values;
    if (bytes.size() > MaxSettingsBytes)
        error = path_ + " is too long for a settings file";
    else
        values = ParseSettings(bytes.toStdString(), path_, Rules(form), error);
    if (!values) {
        refused_ = true;
        ShowAfterHandler("The settings file is refused: " + error +
                         ". The fields keep their designed texts, and the file is left as it is.");
        return;
    }
    for (const auto &[name, value] : *values)
        Apply(form, name, value);
}

bool WindowSettings::Save(const TForm1 &form, std::string &error) const
{
    if (!Kept() || refused_)
        return true;
    FieldValues values;
    for (QLineEdit *e : Fields<QLineEdit>(form, "Edit"))
        values.emplace_back(e->objectName().toStdString(), OneLine(e->text()));
    for (ChoiceBox *c : Fields<ChoiceBox>(form, "ComboBox"))
        values.emplace_back(c->objectName().toStdString(), OneLine(c->currentText()));
    for (QSlider *s : Fields<QSlider>(form, "TrackBar"))
        values.emplace_back(s->objectName().toStdString(), std::to_string(s->value()));
    // Written under a temporary name beside it and renamed over it: over the
    // file a link names, never over the link, a device or a folder.
    const QFileInfo info(QString::fromStdString(path_));
    if (info.exists() && !info.isFile()) {
        error = "cannot save the settings to " + path_ + ": it is not a regular file";
        return false;
    }
    QSaveFile file(info.exists() ? info.canonicalFilePath() : info.filePath());
    const std::string text = FormatSettings(values);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), qint64(text.size())) != qint64(text.size()) ||
        !file.commit()) {
        error = "cannot save the settings to " + path_ + ": " + file.errorString().toStdString();
        return false;
    }
    return true;
}
