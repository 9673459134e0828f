// FormatMessageA from a library's message table (messagetable.h) or from the system's texts.
#include "platform/kernelobject.h"
#include "platform/messagetable.h"
#include "platform/module.h"
#include "platform/winapi.h"

#include <cstring>

namespace {

DWORD Fail(DWORD error, char* buffer, DWORD size) {
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  platform::SetLastErrorCode(error);
  return 0;
}

// The text under id in the module's table, or null with the reason in error.
const char* ModuleText(HMODULE module, DWORD id, DWORD& error) {
  if (!platform::IsKnownModule(module)) {
    error = ERROR_MOD_NOT_FOUND;
    return nullptr;
  }
  const auto* table = static_cast<const MESSAGE_TABLE_TEXT*>(platform::FindOwnExport(module, QX_MESSAGE_TABLE_SYMBOL));
  if (!table) {
    error = ERROR_RESOURCE_TYPE_NOT_FOUND;
    return nullptr;
  }
  for (; table->text != nullptr; ++table) {
    if (table->id == id) return table->text;
  }
  error = ERROR_MR_MID_NOT_FOUND;
  return nullptr;
}

}  // namespace

DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId, char* buffer, DWORD size,
                     va_list*) {
  constexpr DWORD kSources = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM;
  // A text of the caller's and a buffer allocated for it are not offered.
  constexpr DWORD kRefused = FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER;
  if (buffer == nullptr || (flags & kRefused) != 0 || (flags & kSources) == 0) {
    return Fail(ERROR_INVALID_PARAMETER, buffer, size);
  }
  // Tables hold one language: the neutral one.
  if (languageId != 0) return Fail(ERROR_RESOURCE_LANG_NOT_FOUND, buffer, size);

  DWORD error = ERROR_MR_MID_NOT_FOUND;
  const char* text = nullptr;
  if (flags & FORMAT_MESSAGE_FROM_HMODULE) {
    const auto module = const_cast<HMODULE>(source ? source : platform::ExecutableModule());
    text = ModuleText(module, messageId, error);
  }
  if (!text && (flags & FORMAT_MESSAGE_FROM_SYSTEM)) {
    text = platform::SystemMessageText(messageId);
    if (!text) error = ERROR_MR_MID_NOT_FOUND;
  }
  if (!text) return Fail(error, buffer, size);
  // Insert sequences are not expanded; a text that has one is only given out as it stands.
  if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && std::strchr(text, '%')) {
    return Fail(ERROR_INVALID_PARAMETER, buffer, size);
  }
  return platform::CopyMessageText(text, buffer, size);
}
