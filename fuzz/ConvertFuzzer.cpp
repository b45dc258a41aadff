// Fuzz harness: the conversion of typed numbers, on any text of UTF-16 units,
// checked against a plain reading of its rule: leading blanks, an optional
// sign, then decimal digits only, within the 32-bit range.
#include "core/Convert.h"
#include "core/Exceptions.h"

#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {
void Check(bool ok)
{
    if (!ok)
        std::abort();
}

bool Reference(const QString &text, int64_t &value)
{
    int i = 0;
    while (i < text.size() && text[i] == QLatin1Char(' '))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
        negative = text[i++] == QLatin1Char('-');
    std::string digits;
    for (; i < text.size(); ++i) {
        if (text[i] < QLatin1Char('0') || text[i] > QLatin1Char('9'))
            return false;
        digits += char(text[i].unicode());
    }
    if (digits.empty())
        return false;
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1)); // leading zeros
    if (digits.size() > 10)
        return false;
    value = std::stoll(digits) * (negative ? -1 : 1);
    return value >= INT32_MIN && value <= INT32_MAX;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString text;
    for (size_t i = 0; i + 1 < size; i += 2)
        text += QChar(char16_t(data[i] | data[i + 1] << 8));
    int64_t expected = 0;
    const bool valid = Reference(text, expected);
    try {
        const int32_t value = ToInt32(text);
        Check(valid && value == expected);
    } catch (const ConversionError &e) {
        Check(!valid);
        // The message is whole: the text cannot cut it short.
        Check(std::string(e.what()).find("\" is not a whole number") != std::string::npos);
    }
    return 0;
}
