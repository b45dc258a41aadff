#pragma once
// The window's typed fields kept between runs, when the operator asks for it:
// `robot --settings FILE`, or ROBOT_SETTINGS=FILE (a relative name is taken
// from the folder the user started in, ROBOT_START_DIR when the start script
// set it, else the working directory). Without either the window starts with
// its designed texts and nothing is kept. With one, the fields are loaded from
// FILE at start (a file not there yet is made at the end) and saved to it when
// the window is closed, while it still shows: written under a temporary name
// and renamed, so the file is complete or absent. A save that fails is put to
// the operator there and then (try again, save elsewhere, leave without
// saving). A file that is not one of ours, or that the window cannot take, is
// refused whole with a message naming the line; the designed texts then
// stand, and the file is not overwritten at the end.
#include <QObject>
#include <QStringList>

#include <functional>
#include <string>

class TForm1;

// What the operator chose after a save failed.
enum class SaveChoice { TryAgain, SaveElsewhere, Leave };

// Where a save at the window's close ended.
struct SaveOutcome {
    bool Saved = false; // false: the operator left without saving
    std::string Path;   // where it was saved (or last tried)
};

// Saves with `save` (a path; false with the reason) to `path`; while that
// fails, `ask` is given the reason and the operator's choice is carried out:
// the same path again, the file `pickFile` gives (empty: none picked, the
// question comes again), or no save at all.
SaveOutcome SaveUntilDone(std::string path, const std::function<bool(const std::string &, std::string &)> &save,
                          const std::function<SaveChoice(const std::string &reason)> &ask,
                          const std::function<std::string(const std::string &path)> &pickFile);

// What `robot --help` prints.
extern const char *const ProgramUsage;

// True when the arguments (argv as main() gets it) ask for the usage.
bool AsksForUsage(int argc, const char *const argv[]);

class WindowSettings {
public:
    // From the program's arguments (after the toolkit's) and the
    // environment. An argument it does not know is an error: `error` says so.
    static WindowSettings FromArguments(const QStringList &arguments, std::string &error);

    bool Kept() const { return !path_.empty(); }
    const std::string &Path() const { return path_; }

    // Loads the fields; a refusal goes to the error display.
    void Load(TForm1 &form);
    // Saves the fields (complete or absent); false with `error` when it cannot.
    bool Save(const TForm1 &form, std::string &error) const { return SaveTo(form, path_, error); }
    bool SaveTo(const TForm1 &form, const std::string &path, std::string &error) const;
    // Whether anything is to be saved at the end (kept, and not refused).
    bool Saving() const { return Kept() && !refused_; }

private:
    std::string path_;
    bool refused_ = false;
};

// Saves the window's fields when it is closed by the operator (not when the
// program is asked to end), while the window still shows; a failed save is
// put to the operator in a message box (try again, save elsewhere through a
// file dialog, or leave without saving), with any drive stopped first. Lives
// on the GUI thread as long as the window; the settings outlive it.
class SaveAtClose : public QObject {
public:
    SaveAtClose(TForm1 &form, const WindowSettings &settings);
    // The operator left without saving what was to be saved.
    bool Unsaved() const { return unsaved_; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void Save();

    TForm1 &form_;
    const WindowSettings &settings_;
    bool saving_ = false; // a save (and its questions) under way
    bool unsaved_ = false;
};
