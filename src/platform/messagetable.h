// The message table of a library, as FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE) reads it: the
// library exports the array below under this name, ended by an entry whose text is null. Texts
// are plain 8-bit text without a trailing line break; identifiers are unique within a table.
#pragma once

#include "platform/wintypes.h"

struct MESSAGE_TABLE_TEXT {
  DWORD id;
  const char* text;
};

#define QX_MESSAGE_TABLE_SYMBOL "qxMessageTable"
