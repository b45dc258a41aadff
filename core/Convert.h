#pragma once
#include <QString>
#include <cstdint>

// Decimal text to a 32-bit signed integer, as the operator's number fields are
// read: optional leading blanks, an optional sign, then digits only, within the
// 32-bit range. Anything else throws ConversionError quoting the text:
// "12a" is not a whole number from -2147483648 to 2147483647.
int32_t ToInt32(const QString &text);
