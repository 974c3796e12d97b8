#include "maintenance/form_dfu.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace quintrel {

namespace {

template <typename T> T* Named(T* widget, const char* name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// A firmware file is a few hundred kilobytes of text; anything far larger is not one.
constexpr qint64 kLargestFirmwareFile = 16 * 1024 * 1024;

std::optional<TFirmwareFile> Load(const QString& path, const std::array<std::uint8_t, 4>& code) {
    QFile file(path);
    if (file.size() > kLargestFirmwareFile || !file.open(QIODevice::ReadOnly)) return std::nullopt;
    const QByteArray text = file.readAll();
    return LoadFirmwareFile(
        std::string_view(text.constData(), static_cast<std::size_t>(text.size())), code);
}

} // namespace

TFormDFU::TFormDFU(TEngine& engine, std::function<int()> address, QWidget* parent)
    : QDialog(parent), Engine(engine), Address(std::move(address)) {
    setObjectName(QStringLiteral("FormDFU"));
    setWindowTitle(QStringLiteral("Firmware update"));
    auto* layout = new QVBoxLayout(this);
    LabelTitle = Named(new QLabel(this), "LabelTitle");
    QFont title = LabelTitle->font();
    title.setBold(true);
    LabelTitle->setFont(title);
    layout->addWidget(LabelTitle);
    layout->addWidget(new QLabel(QStringLiteral("Firmware file:"), this));
    auto* fileRow = new QHBoxLayout;
    EditFile = Named(new QLineEdit(this), "EditFile");
    btnBrowse = Named(new QPushButton(QStringLiteral(". . ."), this), "btnBrowse");
    fileRow->addWidget(EditFile, 1);
    fileRow->addWidget(btnBrowse);
    layout->addLayout(fileRow);
    ProgressBar1 = Named(new QProgressBar(this), "ProgressBar1");
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setStyleSheet(
        QStringLiteral("QProgressBar::chunk { background-color: #2eb82e; }")); // smooth, green
    layout->addWidget(ProgressBar1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    btnDownload = Named(new QPushButton(QStringLiteral("Update"), this), "btnDownload");
    btnClose = Named(new QPushButton(QStringLiteral("Close"), this), "btnClose");
    buttons->addWidget(btnDownload);
    buttons->addWidget(btnClose);
    layout->addLayout(buttons);
    connect(btnBrowse, &QPushButton::clicked, this, &TFormDFU::btnBrowseClick);
    connect(btnDownload, &QPushButton::clicked, this, &TFormDFU::btnDownloadClick);
    connect(btnClose, &QPushButton::clicked, this, &QDialog::reject);
    setFixedSize(sizeHint().expandedTo(QSize(420, 0)));
}

TFormDFU::~TFormDFU() = default;

void TFormDFU::SetTarget(const QString& caption, const std::string& password,
                         const std::array<std::uint8_t, 4>& deviceCode) {
    LabelTitle->setText(caption);
    Target = TBootTarget{password, deviceCode};
}

QString TFormDFU::FileName() const {
    return EditFile->text();
}

void TFormDFU::SetFileName(const QString& name) {
    EditFile->setText(name);
}

void TFormDFU::btnBrowseClick() {
    QFileDialog dialog(this);
    dialog.setObjectName(QStringLiteral("OpenDialog1"));
    dialog.setNameFilters(
        {QStringLiteral("Firmware files (*.kfw)"), QStringLiteral("All files (*)")});
    dialog.setDefaultSuffix(QStringLiteral("kfw"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDirectory(QStringLiteral("."));
    if (!EditFile->text().isEmpty()) dialog.selectFile(EditFile->text());
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        EditFile->setText(dialog.selectedFiles().first());
}

void TFormDFU::btnDownloadClick() {
    QString error;
    std::optional<TFirmwareFile> file;
    if (!Engine.Port().IsOpen())
        error = QStringLiteral("Error: no connection");
    else if (!(file = Load(EditFile->text(), Target.DeviceCode)))
        error = QStringLiteral("Invalid firmware file");
    if (error.isEmpty()) {
        ProgressBar1->setValue(0);
        QApplication::setOverrideCursor(Qt::WaitCursor);
        btnDownload->setEnabled(false); // one update at a time, while the window stays alive
        TFirmwareUpdater updater(Engine);
        updater.Progress = [this](int written, int total) {
            ProgressBar1->setMaximum(std::max(total, 1));
            ProgressBar1->setValue(written);
        };
        const int address = Address ? Address() : 0;
        error = updater.Run(*file, Target, static_cast<std::uint8_t>(std::max(address, 0)));
        btnDownload->setEnabled(true);
        QApplication::restoreOverrideCursor();
    }
    if (error.isEmpty()) {
        btnDownload->hide();
        QMessageBox::information(this, QApplication::applicationName(),
                                 QStringLiteral("Download successfully completed"));
    } else {
        QMessageBox::critical(this, QApplication::applicationName(), error);
    }
}

void TFormDFU::done(int result) {
    ProgressBar1->setValue(0);
    btnDownload->show();
    QDialog::done(result);
}

} // namespace quintrel
