#include "settings_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace quintrel {

namespace {

std::string ReadWhole(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll().toStdString();
}

} // namespace

TSettings ReadSettingsFile(const QString& path, const TSettings& current) {
    return ParseSettings(ReadWhole(path), current);
}

bool WriteSettingsFile(const QString& path, const TSettings& settings, QString* error) {
    const std::string text = FormatSettings(settings, ReadWhole(path));
    QDir().mkpath(QFileInfo(path).absolutePath()); // a configuration folder may be new
    QSaveFile file(path);
    const bool written = file.open(QIODevice::WriteOnly) &&
                         file.write(text.data(), static_cast<qint64>(text.size())) ==
                             static_cast<qint64>(text.size()) &&
                         file.commit();
    if (!written && error) *error = file.errorString();
    return written;
}

QString SettingsPathFor(const QString& executablePath) {
    const QFileInfo info(executablePath);
    return info.dir().filePath(info.completeBaseName() + QStringLiteral(".ini"));
}

} // namespace quintrel
