#include "about/version_info.h"

#include "about/version_resource.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QVariant>

namespace quintrel {

namespace {

constexpr std::array<const char*, TVersionInfo::KeyCount> kKeys = {
    "CompanyName",    "FileDescription",  "FileVersion", "InternalName",
    "LegalCopyRight", "OriginalFileName", "ProductName", "ProductVersion",
};

bool IsRunningProgram(const QString& path) {
    const QFileInfo self(QCoreApplication::applicationFilePath());
    const QFileInfo other(path);
    return other.exists() && other.canonicalFilePath() == self.canonicalFilePath();
}

} // namespace

TVersionInfo::TVersionInfo(QObject* parent) : QObject(parent) {
    Load();
}

void TVersionInfo::Load(const QString& fileName) {
    File = fileName;
    const QString path = fileName.isEmpty() ? QCoreApplication::applicationFilePath() : fileName;
    if (fileName.isEmpty() || IsRunningProgram(path))
        LoadBlock(ExecutableVersionBlock());
    else
        LoadBlock({});
}

void TVersionInfo::LoadBlock(std::span<const std::uint8_t> block) {
    Block.assign(block.begin(), block.end());
    Lang = QueryVersionTranslation(Block).value_or(DefaultTranslation);
    Refresh();
}

QString TVersionInfo::KeyName(int index) {
    if (index < 1 || index > KeyCount) return {};
    return QLatin1String(kKeys[index - 1]);
}

QString TVersionInfo::Value(int index) const {
    if (Block.empty() || index < 1 || index > KeyCount) return {};
    return QString::fromStdString(
        QueryVersionString(Block, VersionStringPath(Lang, kKeys[index - 1])));
}

void TVersionInfo::SetControl(int index, QObject* control) {
    if (index < 1 || index > KeyCount) return;
    Controls[index - 1] = control;
    Refresh();
}

void TVersionInfo::Refresh() {
    for (int i = 0; i < KeyCount; ++i) {
        QObject* control = Controls[i];
        if (!control) continue;
        const bool hasText = control->metaObject()->indexOfProperty("text") >= 0;
        control->setProperty(hasText ? "text" : "windowTitle", Value(i + 1));
    }
}

} // namespace quintrel
