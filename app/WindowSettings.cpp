#include "app/WindowSettings.h"

#include "core/ErrorDisplay.h"
#include "core/SettingsFile.h"
#include "drive/DriveStop.h"
#include "drive/ProgramEnd.h"
#include "drive/RunState.h"
#include "form/ChoiceBox.h"
#include "form/Unit1.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSlider>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// A settings file is a few hundred bytes; a much longer one is not ours.
constexpr qint64 MaxSettingsBytes = 256 * 1024;

// Set by the start script: the folder the user started the program in (the
// program itself runs in its working directory).
constexpr const char *StartFolderVariable = "ROBOT_START_DIR";

// A relative name from the folder the user started in.
std::string FromStartFolder(const std::string &path)
{
    const char *start = std::getenv(StartFolderVariable);
    if (path.empty() || path[0] == '/' || !start || start[0] != '/')
        return path;
    return std::string(start) + "/" + path;
}

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
            error = "unknown argument " + QuotedForMessage(a.toStdString()) +
                    " (the program takes only --settings FILE; robot --help says more)";
            return {};
        }
    }
    if (settings.path_.empty())
        if (const char *fromEnvironment = std::getenv("ROBOT_SETTINGS"))
            settings.path_ = fromEnvironment;
    settings.path_ = FromStartFolder(settings.path_);
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

bool WindowSettings::SaveTo(const TForm1 &form, const std::string &path, std::string &error) const
{
    if (!Saving())
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
    const QFileInfo info(QString::fromStdString(path));
    if (info.exists() && !info.isFile()) {
        error = "cannot save the settings to " + path + ": it is not a regular file";
        return false;
    }
    QSaveFile file(info.exists() ? info.canonicalFilePath() : info.filePath());
    const std::string text = FormatSettings(values);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), qint64(text.size())) != qint64(text.size()) ||
        !file.commit()) {
        error = "cannot save the settings to " + path + ": " + file.errorString().toStdString();
        return false;
    }
    return true;
}

SaveOutcome SaveUntilDone(std::string path, const std::function<bool(const std::string &, std::string &)> &save,
                          const std::function<SaveChoice(const std::string &reason)> &ask,
                          const std::function<std::string(const std::string &path)> &pickFile)
{
    std::string reason;
    while (!save(path, reason)) {
        for (;;) {
            const SaveChoice choice = ask(reason);
            if (choice == SaveChoice::Leave)
                return {false, path};
            if (choice == SaveChoice::TryAgain)
                break;
            const std::string picked = pickFile(path);
            if (!picked.empty()) {
                path = picked;
                break;
            }
        }
        reason.clear();
    }
    return {true, path};
}

const char *const ProgramUsage =
    "usage: robot [--settings FILE]\n"
    "\n"
    "The robot control program: one window, \"PROGRAM STERUJACY ROBOTEM\".\n"
    "\n"
    "  --settings FILE  keep the window's typed fields in FILE: loaded at start,\n"
    "                   saved when the window is closed (a relative name is taken\n"
    "                   from the folder the program was started in)\n"
    "  -h, --help       print this and end\n"
    "\n"
    "Environment: ROBOT_SETTINGS=FILE as --settings FILE. Started through ./run or\n"
    "the launcher, ROBOT_PORT chooses the robot (sim, recording, hardware, ftdi,\n"
    "gpio, firmata).\n"
    "\n"
    "Exit status: 0 after the window was closed; 1 without a display or when it\n"
    "went away; 2 for a wrong argument; 3 when the window was closed but the typed\n"
    "fields could not be saved; 128 + n when ended by signal n.\n";

bool AsksForUsage(int argc, const char *const argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--settings") == 0)
            ++i; // its file, whatever it is called
        else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return true;
    }
    return false;
}

SaveAtClose::SaveAtClose(TForm1 &form, const WindowSettings &settings) : form_(form), settings_(settings)
{
    form_.installEventFilter(this);
}

bool SaveAtClose::eventFilter(QObject *watched, QEvent *event)
{
    // Saved once, when the operator closes the window; an end asked for by a
    // signal or a lost display saves nothing.
    if (watched == &form_ && event->type() == QEvent::Close && !saving_ && !programend::Requested()) {
        saving_ = true;
        Save();
        form_.removeEventFilter(this);
    }
    return false;
}

void SaveAtClose::Save()
{
    if (!settings_.Saving())
        return;
    auto save = [this](const std::string &path, std::string &error) {
        if (settings_.SaveTo(form_, path, error))
            return true;
        std::fprintf(stderr, "robot: %s\n", error.c_str());
        return false;
    };
    auto ask = [this](const std::string &reason) {
        if (programend::Requested())
            return SaveChoice::Leave;
        // Nothing drives while the question waits for the operator.
        if (RunningLoops() > 0) {
            drivestop::Request();
            drivestop::TakeEffect();
        }
        QMessageBox box(QMessageBox::Warning, QApplication::applicationName(),
                        QString::fromStdString("The typed fields were not saved: " + reason + "."), {}, &form_);
        box.setInformativeText(QStringLiteral("Try again (once the file or its folder can be written), "
                                              "save them to another file, or leave without saving them."));
        QPushButton *again = box.addButton(QStringLiteral("&Try again"), QMessageBox::AcceptRole);
        QPushButton *elsewhere = box.addButton(QStringLiteral("&Save elsewhere..."), QMessageBox::ActionRole);
        box.addButton(QStringLiteral("&Leave without saving"), QMessageBox::DestructiveRole);
        // Neither Escape nor the box's close button answers for the operator.
        box.setDefaultButton(again);
        box.exec();
        if (programend::Requested())
            return SaveChoice::Leave;
        return box.clickedButton() == again       ? SaveChoice::TryAgain
               : box.clickedButton() == elsewhere ? SaveChoice::SaveElsewhere
                                                  : SaveChoice::Leave;
    };
    auto pick = [this](const std::string &path) {
        const QFileInfo info(QString::fromStdString(path));
        const QString folder = info.absoluteDir().exists() ? info.absolutePath() : QDir::homePath();
        return QFileDialog::getSaveFileName(&form_, QStringLiteral("Save the typed fields to"), folder).toStdString();
    };
    const SaveOutcome outcome = SaveUntilDone(settings_.Path(), save, ask, pick);
    if (!outcome.Saved) {
        unsaved_ = true;
        std::fprintf(stderr, "robot: the typed fields were not saved (left without saving).\n");
    } else if (outcome.Path != settings_.Path()) {
        std::fprintf(stderr, "robot: the typed fields were saved to %s instead.\n", outcome.Path.c_str());
    }
}
