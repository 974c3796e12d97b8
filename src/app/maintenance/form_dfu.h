#pragma once
// "Firmware update": picks a kfw file, sends the reader into its bootloader and writes the
// file record by record, with a progress bar. Created once at start-up.

#include "maintenance/firmware_updater.h"

#include <QDialog>

#include <memory>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace quintrel {

class TFormDFU : public QDialog {
    Q_OBJECT

  public:
    // address gives the address box's choice when "Update" is pressed.
    TFormDFU(TEngine& engine, std::function<int()> address, QWidget* parent = nullptr);
    ~TFormDFU() override;

    void SetTarget(const QString& caption, const std::string& password,
                   const std::array<std::uint8_t, 4>& deviceCode);
    QString FileName() const;
    void SetFileName(const QString& name);

    void btnBrowseClick();
    void btnDownloadClick();

    void reject() override;

  protected:
    void done(int result) override;
    void showEvent(QShowEvent* event) override;

  private:
    void SetRunning(bool running);

    bool Running = false;
    TEngine& Engine;
    std::function<int()> Address;
    TBootTarget Target;
    QLineEdit* EditFile = nullptr;
    QPushButton* btnBrowse = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QLabel* LabelTitle = nullptr;
    QPushButton* btnDownload = nullptr;
    QPushButton* btnClose = nullptr;
};

} // namespace quintrel
