#pragma once
#include <QString>
#include <cstdint>

// Decimal text to a 32-bit signed integer, as the operator's number fields are
// read: optional leading blanks, an optional sign, then digits only, within the
// 32-bit range. Anything else throws EConvertError quoting the text.
int32_t StrToInt(const QString &text);
