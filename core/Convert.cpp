#include "core/Convert.h"

#include "core/Exceptions.h"

#include <limits>

int32_t ToInt32(const QString &text)
{
    auto fail = [&text]() -> int32_t {
        // A NUL character would end the message's text early: it is shown
        // as the replacement character.
        QString shown = text;
        shown.replace(QChar::Null, QChar::ReplacementCharacter);
        throw ConversionError("\"" + shown.toStdString() +
                              "\" is not a whole number from -2147483648 to 2147483647");
    };
    int i = 0;
    const int n = text.size();
    while (i < n && text[i] == QLatin1Char(' '))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    if (i == n)
        return fail();
    int64_t value = 0;
    for (; i < n; ++i) {
        const QChar c = text[i];
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return fail();
        value = value * 10 + (c.unicode() - '0');
        if (value > int64_t(std::numeric_limits<int32_t>::max()) + 1)
            return fail();
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min())
        return fail();
    return static_cast<int32_t>(value);
}
