#include "maintenance/form_dfu.h"

#include "form_main.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

namespace quintrel {

namespace {

template <typename T> T* Named(T* widget, const char* name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
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
    ShowWholeColumns(dialog);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        EditFile->setText(dialog.selectedFiles().first());
}

void TFormDFU::btnDownloadClick() {
    QString error;
    TFirmwareCheck check;
    if (!Engine.Port().IsOpen()) {
        error = QStringLiteral("Error: no connection");
    } else {
        check = OpenFirmwareFile(EditFile->text(), Target.DeviceCode);
        if (!check.File)
            error =
                QStringLiteral("Invalid firmware file\n") + QString::fromStdString(check.Text());
    }
    if (error.isEmpty()) {
        ProgressBar1->setValue(0);
        QApplication::setOverrideCursor(Qt::WaitCursor);
        SetRunning(true);
        TFirmwareUpdater updater(Engine);
        updater.Progress = [this](int written, int total) {
            ProgressBar1->setMaximum(std::max(total, 1));
            ProgressBar1->setValue(written);
        };
        const int address = std::max(Address ? Address() : 0, 0);
        // The log keeps the update's start and end, whatever the boxes said.
        const QFileInfo file(EditFile->text());
        Engine.Log(QStringLiteral("Firmware update of the reader at %1 started: %2 (%3 bytes)")
                       .arg(address)
                       .arg(file.fileName())
                       .arg(file.size()));
        QElapsedTimer clock;
        clock.start();
        error = updater.Run(*check.File, Target, static_cast<std::uint8_t>(address));
        if (error.isEmpty())
            Engine.Log(QStringLiteral("Firmware update of the reader at %1 done in %2 s")
                           .arg(address)
                           .arg(static_cast<double>(clock.elapsed()) / 1000.0, 0, 'f', 1));
        else
            Engine.Log(QStringLiteral("Firmware update of the reader at %1 failed after %2 s: %3")
                           .arg(address)
                           .arg(static_cast<double>(clock.elapsed()) / 1000.0, 0, 'f', 1)
                           .arg(QString(error).replace(QLatin1Char('\n'), QStringLiteral("; "))));
        SetRunning(false);
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

// The window stays alive while the update runs, but the dialog must not close under it:
// the update would go on unseen and its outcome would land on a dialog opened afresh.
void TFormDFU::SetRunning(bool running) {
    Running = running;
    for (QWidget* control :
         std::initializer_list<QWidget*>{btnDownload, btnClose, btnBrowse, EditFile})
        control->setEnabled(!running);
}

void TFormDFU::reject() {
    if (!Running) QDialog::reject(); // Esc and the title bar's close both come here
}

void TFormDFU::done(int result) {
    if (Running) return;
    ProgressBar1->setValue(0);
    btnDownload->show();
    QDialog::done(result);
}

void TFormDFU::showEvent(QShowEvent* event) {
    // However the dialog was last closed, it opens ready for an update (a window system's
    // own show, after the dialog was minimised, is no new opening).
    if (!event->spontaneous()) {
        ProgressBar1->setValue(0);
        btnDownload->show();
    }
    QDialog::showEvent(event);
}

} // namespace quintrel
