#pragma once
// Reads the version block of a file and writes selected values into the controls bound to
// them, so a label shows the product name or version without code of its own.

#include "version/version_block.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace quintrel {

class TVersionInfo : public QObject {
    Q_OBJECT

  public:
    // Indexes of the values, as the bound controls use them.
    enum : int {
        CompanyName = 1,
        FileDescription,
        FileVersion,
        InternalName,
        LegalCopyRight,
        OriginalFileName,
        ProductName,
        ProductVersion,
    };
    static constexpr int KeyCount = 8;
    // When a block has no translation table.
    static constexpr TVersionTranslation DefaultTranslation{0x0409, 0x04E4};

    // Loads the running program's own block.
    explicit TVersionInfo(QObject* parent = nullptr);

    QString FileName() const { return File; }
    // An empty name means the running program. Only the running program carries a block
    // here; any other file reads as one without version information (every value empty).
    void Load(const QString& fileName = {});
    // The same as loading a file that holds this block.
    void LoadBlock(std::span<const std::uint8_t> block);

    TVersionTranslation Translation() const { return Lang; }
    // Empty for an index outside 1..8, without a block, or when the key is missing.
    QString Value(int index) const;
    static QString KeyName(int index);

    // The control's "text" property receives the value, or its window title when it has no
    // text. A control that is destroyed is forgotten.
    void SetControl(int index, QObject* control);
    void Refresh();

  private:
    QString File;
    std::vector<std::uint8_t> Block;
    TVersionTranslation Lang = DefaultTranslation;
    std::array<QPointer<QObject>, KeyCount> Controls;
};

} // namespace quintrel
