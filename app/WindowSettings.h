#pragma once
// The window's typed fields kept between runs, when the operator asks for it:
// `robot --settings FILE`, or ROBOT_SETTINGS=FILE. Without either the window
// starts with its designed texts and nothing is kept. With one, the fields are
// loaded from FILE at start (a file not there yet is made at the end) and
// saved to it at a clean end (the window closed): written under a temporary
// name and renamed, so the file is complete or absent. A file that is not one
// of ours, or that the window cannot take, is refused whole with a message
// naming the line; the designed texts then stand, and the file is not
// overwritten at the end.
#include <QStringList>

#include <string>

class TForm1;

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
    bool Save(const TForm1 &form, std::string &error) const;

private:
    std::string path_;
    bool refused_ = false;
};
