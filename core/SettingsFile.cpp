#include "core/SettingsFile.h"

#include <QStringDecoder>

#include <algorithm>
#include <set>
#include <sstream>

const char *const SettingsHeader = "# robot settings";

namespace {
std::string Where(const std::string &source, int line) { return source + " line " + std::to_string(line); }

// One line of text: any bytes but control characters (a tab is one too).
bool PlainLine(const std::string &line)
{
    return std::none_of(line.begin(), line.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

// Whether the line is UTF-8 text: the window's fields hold text, and a byte
// of another encoding would come back changed (as U+FFFD) at the next save.
bool Utf8(const std::string &line)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(QByteArrayView(line.data(), qsizetype(line.size())));
    return !decoder.hasError();
}

bool WholeNumber(const std::string &text, int min, int max)
{
    if (text.empty() || text.size() > 6)
        return false;
    size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size())
        return false;
    long value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    if (text[0] == '-')
        value = -value;
    return value >= min && value <= max;
}
} // namespace

std::optional<FieldValues> ParseSettings(const std::string &text, const std::string &source,
                                         const std::vector<FieldRule> &fields, std::string &error)
{
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    bool headed = false;
    FieldValues values;
    std::set<std::string> seen;
    while (std::getline(lines, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!headed) {
            if (line != SettingsHeader) {
                error = Where(source, number) + ": not a settings file of this program (its first line must be \"" +
                        SettingsHeader + "\")";
                return std::nullopt;
            }
            headed = true;
            continue;
        }
        if (line.empty() || line[0] == '#')
            continue;
        if (!PlainLine(line)) {
            error = Where(source, number) + ": not a line of text";
            return std::nullopt;
        }
        if (!Utf8(line)) {
            error = Where(source, number) + ": not UTF-8 text (the file must be saved as UTF-8)";
            return std::nullopt;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            error = Where(source, number) + ": " + QuotedForMessage(line) + " is not FIELD=VALUE";
            return std::nullopt;
        }
        const std::string name = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        const auto rule = std::find_if(fields.begin(), fields.end(), [&](const FieldRule &f) { return f.Name == name; });
        if (rule == fields.end()) {
            error = Where(source, number) + ": the window has no field named " + QuotedForMessage(name);
            return std::nullopt;
        }
        if (!seen.insert(name).second) {
            error = Where(source, number) + ": " + name + " is given twice";
            return std::nullopt;
        }
        if (rule->Number && !WholeNumber(value, rule->Min, rule->Max)) {
            error = Where(source, number) + ": " + name + " takes a whole number from " + std::to_string(rule->Min) +
                    " to " + std::to_string(rule->Max) + ", not " + QuotedForMessage(value);
            return std::nullopt;
        }
        values.emplace_back(name, value);
    }
    if (!headed) {
        error = source + " is empty: not a settings file of this program";
        return std::nullopt;
    }
    return values;
}

std::string QuotedForMessage(const std::string &text)
{
    if (text.size() <= MaxQuotedBytes)
        return "\"" + text + "\"";
    // Cut before a character, never inside one.
    size_t cut = MaxQuotedBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80)
        --cut;
    return "\"" + text.substr(0, cut) + "...\" (" + std::to_string(text.size()) + " bytes)";
}

std::string FormatSettings(const FieldValues &values)
{
    std::string text = std::string(SettingsHeader) + "\n";
    for (const auto &[name, value] : values)
        text += name + "=" + value + "\n";
    return text;
}
