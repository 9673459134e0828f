// The libraries behind HMODULE values, for the calls that take one (GetProcAddress, FormatMessageA,
// GetModuleFileName). A module value is only looked into when this process's calls know it, so a
// library that FreeLibrary has unloaded is refused rather than read.
#pragma once

#include "platform/wintypes.h"

#include <string>

namespace platform {

// The executable's handle (what GetModuleHandleA(nullptr) returns).
HMODULE ExecutableModule();

// Whether module is the executable, a library that LoadLibraryA holds, or one that
// GetModuleHandleA found and that has not been released by FreeLibrary since.
bool IsKnownModule(HMODULE module);

// The address of name among the module's own exports (not those of the libraries it uses), or null.
void* FindOwnExport(HMODULE module, const char* name);

// The host's file name for a Windows library name: "name.dll" (any letter case) and "name" become
// "libname.so" in lower case; other names stay as they are.
std::string HostLibraryName(const std::string& name);

}  // namespace platform
