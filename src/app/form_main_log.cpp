// The log's tools and the Devices tab: find, save, captures, and the device table.

#include "form_main.h"

#include "capture/capture_file.h"
#include "crypto/handshake.h"
#include "devices/device_table.h"
#include "devices/devices_view.h"
#include "log/hex.h"
#include "logview/find_bar.h"
#include "logview/log_memo.h"
#include "logview/log_view.h"
#include "poll_list.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QHeaderView>
#include <QLabel>
#include <QTreeView>
#include <QMessageBox>
#include <QTabWidget>

namespace quintrel {

namespace {

const QString kCaptureFilter = QStringLiteral("OSDP captures (*.osdpcap)");
const QString kAllFiles = QStringLiteral("All Files (*)");

} // namespace

// A file dialog drawn by Qt itself lists size, type and date each at the width its texts
// need, instead of cutting them ("195...KiB").
void ShowWholeColumns(QFileDialog& dialog) {
    auto* list = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
    if (!list) return; // the desktop's own dialog lays itself out
    QHeaderView* header = list->header();
    for (int column = 1; column < header->count(); ++column)
        header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    dialog.resize(dialog.sizeHint().expandedTo(QSize(760, 460)));
}

namespace {

// A file chosen in the program's own dialog (its object name lets tests answer it), which
// starts in the folder it was last used in.
QString AskFileName(TFormMain* parent, const char* name, const char* folderKey,
                    const QString& title, const QStringList& filters, const QString& suffix,
                    bool save) {
    QFileDialog dialog(parent, title);
    dialog.setObjectName(QLatin1String(name));
    dialog.setDirectory(parent->StartFolder(folderKey));
    dialog.setNameFilters(filters);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(suffix);
    ShowWholeColumns(dialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    parent->NoteFolder(folderKey, dialog.selectedFiles().first());
    return dialog.selectedFiles().first();
}

} // namespace

// The folder kept for a dialog while it still exists, else the working folder (as before
// any folder was kept).
QString TFormMain::StartFolder(const char* key) const {
    const auto kept = Folders.find(key);
    if (kept != Folders.end()) {
        const QString folder = QString::fromStdString(kept->second);
        if (QFileInfo(folder).isDir()) return folder;
    }
    return QDir::currentPath();
}

void TFormMain::NoteFolder(const char* key, const QString& chosenFile) {
    Folders[key] = QFileInfo(chosenFile).absolutePath().toStdString();
}

void TFormMain::CreateLogActions() {
    mnuStartCapture = NewAction("mnuStartCapture", QStringLiteral("&Start capture\u2026"));
    mnuStopCapture = NewAction("mnuStopCapture", QStringLiteral("S&top capture"));
    mnuOpenCapture = NewAction("mnuOpenCapture", QStringLiteral("&Open capture\u2026"));
    mnuSaveLog = NewAction("mnuSaveLog", QStringLiteral("Save &log\u2026"), QKeySequence::Save);
    mnuFind = NewAction("mnuFind", QStringLiteral("&Find\u2026"), QKeySequence::Find);
    connect(mnuStartCapture, &QAction::triggered, this, &TFormMain::mnuStartCaptureClick);
    connect(mnuStopCapture, &QAction::triggered, this, [this] {
        const QString text = QStringLiteral("Capture to %1 stopped: %2 frames")
                                 .arg(Capture->Path())
                                 .arg(Capture->Frames());
        Capture->Stop();
        Log->LogLine(text);
    });
    connect(mnuOpenCapture, &QAction::triggered, this, &TFormMain::mnuOpenCaptureClick);
    connect(mnuSaveLog, &QAction::triggered, this, &TFormMain::mnuSaveLogClick);
    // Ctrl+F works wherever the focus is in the window, the menus need not hold it.
    mnuFind->setShortcutContext(Qt::WindowShortcut);
    addAction(mnuFind);
    connect(mnuFind, &QAction::triggered, this, [this] { FindBar->Open(); });
}

void TFormMain::CreateLogTools(QTabWidget* pages, QLayout* comm) {
    FindBar = new TFindBar(Log->Store(), *MemoComm, MemoComm->parentWidget());
    comm->addWidget(FindBar);
    MemoComm->AddContextAction(mnuFind);
    MemoComm->AddContextAction(mnuSaveLog);

    Capture = new TCaptureWriter(Osdp, this);
    connect(Capture, &TCaptureWriter::Ended, Log, &TLogView::LogLine);
    connect(Capture, &TCaptureWriter::Changed, this, [this] {
        if (Capture->Running() != mnuStopCapture->isEnabled()) {
            // Started or stopped: the menu and the status bar follow at once.
            CaptureStatus.stop();
            emit CaptureStatus.timeout({});
            return;
        }
        if (!CaptureStatus.isActive()) CaptureStatus.start();
    });
    // The frame count goes up with the line; the status bar follows a few times a second.
    CaptureStatus.setSingleShot(true);
    CaptureStatus.setInterval(200);
    connect(&CaptureStatus, &QTimer::timeout, this, [this] {
        StatusPanels[CapturePanel]->setText(
            Capture->Running() ? QStringLiteral("Capture: %1 frames").arg(Capture->Frames())
                               : QString());
        UpdateControls();
    });

    Devices = new TDeviceTable(
        Osdp,
        [this](int address) -> QVariant {
            const std::optional<QColor> c = AddressColour(address);
            return c ? QVariant(*c) : QVariant();
        },
        this);
    DevicesView = new TDevicesView(*Devices, pages);
    pages->addTab(DevicesView, QStringLiteral("Devices"));
}

void TFormMain::mnuStartCaptureClick() {
    const QString path = AskFileName(this, "SaveCaptureDialog", "capture", QStringLiteral("Start capture"),
                                     {kCaptureFilter, kAllFiles}, QStringLiteral("osdpcap"), true);
    if (path.isEmpty()) return;
    QString error;
    if (!Capture->Start(path, &error)) {
        QMessageBox::critical(this, QApplication::applicationName(),
                              QStringLiteral("Error: cannot create %1: %2").arg(path, error));
        return;
    }
    Log->LogLine(QStringLiteral("Capture to %1 started").arg(path));
}

TFollowerKeys TFormMain::OverheardKeys() const {
    TFollowerKeys keys;
    keys.Scbk = OverheardKey;
    keys.Master = OverheardKey;
    return keys;
}

// One key for captures and listening: tried as the device's own key and as a master key
// diversified with each device's cUID. Only a key that gives the device's cryptogram is used,
// so a wrong one costs nothing but its "key unknown" line.
void TFormMain::mnuOverheardKeyClick() {
    QInputDialog input(this);
    input.setObjectName(QStringLiteral("InputOverheardKey"));
    input.setWindowTitle(QApplication::applicationName());
    input.setLabelText(QStringLiteral("Key for the secure sessions of captures and of a listened "
                                      "line,\nas SCBK or master key (32 hex digits; empty: the "
                                      "default key only):"));
    if (OverheardKey) input.setTextValue(QString::fromStdString(BytesToHex(
                          OverheardKey->data(), OverheardKey->size(), false)));
    if (input.exec() != QDialog::Accepted) return;
    const QString text = input.textValue().trimmed();
    if (text.isEmpty()) {
        OverheardKey.reset();
    } else {
        const TKeyEntry entry = ReadKey(text.toStdString());
        if (!entry.Key) {
            QMessageBox::critical(this, QApplication::applicationName(),
                                  QString::fromStdString(entry.Error));
            return;
        }
        OverheardKey = entry.Key;
    }
    Osdp.SetOverheardKeys(OverheardKeys());
}

void TFormMain::mnuOpenCaptureClick() {
    const QString path = AskFileName(this, "OpenCaptureDialog", "capture",
                                     QStringLiteral("Open capture"),
                                     {kCaptureFilter, kAllFiles}, QString(), false);
    if (!path.isEmpty()) OpenCapture(path);
}

void TFormMain::OpenCapture(const QString& path) {
    Log->LogLine(QStringLiteral("Capture %1:").arg(path));
    const TCaptureView view{Osdp.View.Raw, Osdp.View.Description, Osdp.View.Poll, Osdp.View.Keys};
    const TCaptureReadResult read =
        ReadCaptureFile(path, view, Osdp.Vendors, [this](const QTime& time, const QString& text) {
            Log->LogLineAt(time, text);
        },
        OverheardKeys());
    if (!read.Opened) {
        Log->Flush();
        QMessageBox::critical(this, QApplication::applicationName(),
                              QStringLiteral("Error: cannot open %1: %2").arg(path, read.Error));
        return;
    }
    QString summary = QStringLiteral("Capture %1: %2 frames").arg(path).arg(read.Frames);
    if (read.Malformed > 0)
        summary += QStringLiteral(", %1 malformed lines skipped (first at line %2: %3)")
                       .arg(read.Malformed)
                       .arg(read.FirstMalformedLine)
                       .arg(read.FirstMalformedReason);
    if (!read.Error.isEmpty()) summary += QStringLiteral(", read error: ") + read.Error;
    Log->LogLine(summary);
    Log->Flush();
}

void TFormMain::mnuSaveLogClick() {
    const QString path = AskFileName(this, "SaveLogDialog", "save_log", QStringLiteral("Save log"),
                                     {QStringLiteral("Text files (*.txt *.log)"), kAllFiles},
                                     QStringLiteral("txt"), true);
    if (path.isEmpty()) return;
    QString error;
    if (!Log->SaveTo(path, &error))
        QMessageBox::critical(this, QApplication::applicationName(),
                              QStringLiteral("Error: cannot write %1: %2").arg(path, error));
}

} // namespace quintrel
