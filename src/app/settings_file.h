#pragma once
// The settings file on disk. The text itself is read and written by core; this is the I/O.

#include "settings/settings.h"

#include <QString>

namespace quintrel {

// A missing or unreadable file leaves every value as in current.
TSettings ReadSettingsFile(const QString& path, const TSettings& current);

// Keeps whatever else the file already holds. The file is replaced whole or not at all, so
// a full disk cannot leave half a settings file behind.
bool WriteSettingsFile(const QString& path, const TSettings& settings, QString* error = nullptr);

// The settings file of a program: its own path with the extension replaced by ".ini".
QString SettingsPathFor(const QString& executablePath);

} // namespace quintrel
