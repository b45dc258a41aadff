#pragma once
// The settings file: the window's typed fields, kept between runs when the
// operator asks for it (ROBOT_SETTINGS=FILE, or robot --settings FILE). Plain
// text, one field a line, after a first line that says what the file is:
//
//   # robot settings
//   Edit3=1200
//   ComboBox1=silnik napedzajacy do przodu
//   TrackBar1=100
//
// A field's value is the rest of its line, as the field shows it (a number
// field's text, a move list's text, a track bar's position).
#include <optional>
#include <string>
#include <utility>
#include <vector>

using FieldValues = std::vector<std::pair<std::string, std::string>>;

// What a field takes: any text on one line, or a whole number in a range.
struct FieldRule {
    std::string Name;
    bool Number = false;
    int Min = 0;
    int Max = 0;
};

// The first line of every settings file.
extern const char *const SettingsHeader;

// Reads a settings file's text. A file that is not one (no header), has a
// line that is not UTF-8 text, names a field the window does not have (or
// twice), or gives a value its field does not take is refused as a whole:
// nullopt, and `error` names the line (quoting at most MaxQuotedBytes of it).
std::optional<FieldValues> ParseSettings(const std::string &text, const std::string &source,
                                         const std::vector<FieldRule> &fields, std::string &error);

// Text from a file quoted in a message: whole when short, else its start
// (cut between two characters) and its length.
constexpr size_t MaxQuotedBytes = 60;
std::string QuotedForMessage(const std::string &text);

// The text of a settings file holding `values`, in their order.
std::string FormatSettings(const FieldValues &values);
