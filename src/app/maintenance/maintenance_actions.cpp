// The window's side of reader maintenance: the TORVA menu's editors and reset, and the
// OSDP file transfer with its progress bar.

#include "discovery/form_find_devices.h"
#include "form_main.h"
#include "maintenance/form_dfu.h"
#include "maintenance/form_edit_cust_codes.h"
#include "maintenance/form_edit_options.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QProgressBar>

#include <climits>

namespace quintrel {

void TFormMain::CreateMaintenance() {
    Torva = std::make_unique<TMaintenance>(Osdp);
    Transfer = std::make_unique<TFileTransfer>(Osdp, this);
    Composer->FileTransfer = Transfer.get();
    connect(Transfer.get(), &TFileTransfer::Changed, this, &TFormMain::UpdateProgress);
    FormEditCustCodes = new TFormEditCustCodes(
        Torva->Records,
        [this] {
            Torva->Records.LastCustCode = TCustCode{};
            return Torva->Ask(ReadLastCustCode(
                Torva->MfgId(), static_cast<std::uint8_t>(std::max(SelectedAddress(), 0))));
        },
        this);
    FormEditOptions = new TFormEditOptions(Torva->Records.VarFlags, this);
    FormDFU = new TFormDFU(
        Osdp, [this] { return SelectedAddress(); }, this);
    FormFindDevices = new TFormFindDevices(Osdp, this);
}

void TFormMain::mnuFindDevicesClick() {
    if (!Osdp.Port().IsOpen()) {
        QMessageBox::critical(this, QApplication::applicationName(),
                              QStringLiteral("Error: no connection"));
        return;
    }
    const int first = FormFindDevices->Execute();
    if (first >= 0) SelectAddress(first);
    UpdateControls(); // the ticks, and the speed, may have changed
}

// The bootloader borrows the line: polling stops for the update and comes back after it.
void TFormMain::mnuRDX900_DFUClick() {
    const bool wasPolling = Osdp.Polling();
    if (wasPolling) {
        Osdp.StopPolling();
        Osdp.WaitExchangeDone();
        Osdp.Log(QStringLiteral("Polling stopped for the firmware update"));
    }
    FormDFU->SetTarget(QStringLiteral("RDX900"), kRdx900Password, kRdx900DeviceCode);
    FormDFU->SetFileName(DfuFileName); // the settings file keeps the last one
    FormDFU->exec();
    DfuFileName = FormDFU->FileName();
    if (wasPolling && Osdp.Port().IsOpen()) {
        Osdp.Log(QStringLiteral("Polling started again after the firmware update"));
        Osdp.StartPolling();
    }
}

bool TFormMain::AskReader(const TOsdpRequest& request) {
    return Torva->Ask(request);
}

void TFormMain::mnuSetCCClick() {
    if (CommandAddress() < 0) return;
    // Each request goes to the address the box shows when it is built.
    const auto here = [this] { return static_cast<std::uint8_t>(std::max(SelectedAddress(), 0)); };
    TMaintenanceRecords& r = Torva->Records;
    const std::uint32_t id = Torva->MfgId();
    const auto fail = [this](const QString& text) {
        QMessageBox::critical(this, QApplication::applicationName(), text);
    };
    if (!AskReader(ReadCustCodes(id, here()))) {
        fail(QStringLiteral("Error: failed to read customer codes"));
        return;
    }
    AskReader(ReadCustCodeMode(id, here(), r)); // without an answer the mode stays hidden
    if (!FormEditCustCodes->Execute()) return;
    if (r.CustCodes.Modified && !AskReader(WriteCustCodes(id, here(), r.CustCodes)))
        fail(QStringLiteral("Error: failed to write customer codes"));
    if (r.CustCodeMode >= 0 && !AskReader(WriteCustCodeMode(id, here(), r.CustCodeMode)))
        fail(QStringLiteral("Error: failed to write customer codes"));
}

void TFormMain::mnuRDX900_SetVarFlagsClick() {
    const int address = CommandAddress();
    if (address < 0) return;
    const std::uint32_t id = Torva->MfgId();
    if (!AskReader(ReadVarFlags(id, static_cast<std::uint8_t>(address)))) {
        QMessageBox::critical(this, QApplication::applicationName(),
                              QStringLiteral("Error: failed to read options"));
        return;
    }
    if (!FormEditOptions->Execute()) return;
    const auto here = static_cast<std::uint8_t>(std::max(SelectedAddress(), 0));
    if (!AskReader(WriteVarFlags(id, here, Torva->Records.VarFlags)))
        QMessageBox::critical(this, QApplication::applicationName(),
                              QStringLiteral("Error: failed to write options"));
}

// Erasing a reader's settings is asked first, and its outcome is logged.
void TFormMain::mnuResetAllClick() {
    const int address = CommandAddress();
    if (address < 0) return;
    const auto answer = QMessageBox::question(
        this, QApplication::applicationName(),
        QStringLiteral("Reset the reader at address %1? Its customer codes, check mode and "
                       "options are erased.")
            .arg(address),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) return;
    TOsdpRequest request;
    request.SetPayloadEnd(
        BuildMfgRequest(request, Torva->MfgId(), static_cast<std::uint8_t>(address), mfcResetAll));
    Osdp.Log(AskReader(request)
                 ? QStringLiteral("Reader at address %1: settings reset").arg(address)
                 : QStringLiteral("Error: the reader at address %1 did not confirm the reset")
                       .arg(address));
}

void TFormMain::OnSendMfgCmdClick(int tag) {
    const int address = CommandAddress();
    if (address < 0) return;
    Torva->OnSendMfgCmdClick(tag, address, *ComposerUi);
}

void TFormMain::mnuFileTransferClick() {
    // A running transfer is stopped only at the user's word, and the log says so.
    if (Transfer->IsOpen()) {
        const auto answer = QMessageBox::question(
            this, QApplication::applicationName(),
            QStringLiteral("A file transfer is running (%1 of %2 bytes sent). Stop it?")
                .arg(Transfer->Offset())
                .arg(Transfer->Size()),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) return;
        Transfer->Abandon();
    }
    QFileDialog OpenDialog1(this);
    OpenDialog1.setObjectName(QStringLiteral("OpenDialog1"));
    OpenDialog1.setNameFilters(
        {QStringLiteral("OSDP Update Files (*.upd *.ofg)"), QStringLiteral("All Files (*)")});
    OpenDialog1.setDirectory(StartFolder("file_transfer"));
    OpenDialog1.setFileMode(QFileDialog::ExistingFile);
    OpenDialog1.setOption(QFileDialog::ReadOnly, true); // picking a file renames or deletes nothing
    ShowWholeColumns(OpenDialog1);
    if (OpenDialog1.exec() != QDialog::Accepted || OpenDialog1.selectedFiles().isEmpty()) return;
    NoteFolder("file_transfer", OpenDialog1.selectedFiles().first());
    QString error;
    if (!Transfer->Start(OpenDialog1.selectedFiles().first(), &error)) {
        QMessageBox::critical(this, QApplication::applicationName(), error);
        return;
    }
    OnSendCmdClick(mnuFileTransfer->data().toInt());
}

void TFormMain::UpdateProgress() {
    if (!Transfer) return;
    ProgressBar1->setVisible(Transfer->IsOpen());
    // The bar counts in ints: a file beyond that is shown in kilobytes.
    const bool large = Transfer->Size() > static_cast<quint32>(INT_MAX);
    const int scale = large ? 1024 : 1;
    ProgressBar1->setMaximum(static_cast<int>(Transfer->Size() / scale));
    ProgressBar1->setValue(static_cast<int>(Transfer->Offset() / scale));
}

} // namespace quintrel
