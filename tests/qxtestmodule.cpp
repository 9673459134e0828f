// A library for the library-loading tests: loaded as "QxTestModule.dll", it exports a function and
// a message table, and uses the platform layer as a library of the project does.
#include "platform/messagetable.h"
#include "platform/winapi.h"

// The caller's last error as this library sees it: the same as the caller's only when both share
// one platform layer.
extern "C" DWORD qxTestModuleLastError() { return GetLastError(); }

extern "C" const MESSAGE_TABLE_TEXT qxMessageTable[] = {
    {1, "The line is busy."},
    {0x8000001D, "The operation failed because the device is in use."},
    {7, "Caf\xE9 100% full"},
    {0, nullptr},
};
