// Conversions of user-typed text, raising the runtime's conversion errors.
#pragma once

#include <QString>

// The decimal integer in Text (leading and trailing blanks allowed, an optional sign, 32 bits);
// anything else raises Exception("'Text' is not a valid integer value").
int StrToInt(const QString& Text);
