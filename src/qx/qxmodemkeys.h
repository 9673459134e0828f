// The registry key of an installed modem's driver, found from the modem's name: where its user
// initialisation string ("UserInit") lives. The names of all installed modems are mapped to their
// keys once per process, in the layout of the platform the system reports (GetVersionExA).
#pragma once

#include <QString>

// The key path below HKEY_LOCAL_MACHINE of the modem called Name (letter case ignored; the first
// modem listed wins when two share a name), or an empty text. The first lookup that finds the list
// empty fills it; it is not refreshed while it holds a modem.
QString FindModemKey(const QString& Name);

// The walk of the older layout: every key below Path, at any depth, whose "Class" is "modem"
// (letter case ignored) adds its FriendlyName with "System\CurrentControlSet\Services\Class\" +
// its "Driver"; keys with another Class are not descended into. Keys without a readable
// FriendlyName or Driver are skipped.
void ScanEnumKey(const QString& Path);

// Empties the list, as the end of the program does; the next lookup reads the registry again.
void ClearModemKeys();
