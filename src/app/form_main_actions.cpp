#include "form_main.h"

#include "about/form_about.h"
#include "capture/capture_file.h"
#include "commands/composer_ui.h"
#include "decode/describe.h"
#include "devices/device_table.h"
#include "link/form_select_port.h"
#include "link/form_setup.h"
#include "logview/log_view.h"
#include "poll_list.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QStatusBar>

#include <algorithm>

namespace quintrel {

void TFormMain::UpdateControls() {
    const bool open = Osdp.Port().IsOpen();
    const bool polling = Osdp.Polling();
    const auto& devices = Osdp.Devices();
    const bool anySelected = std::any_of(devices.begin(), devices.end(),
                                         [](const TDeviceState& d) { return d.Selected; });

    const bool listening = Osdp.Listening();
    tbnConnect->setEnabled(!open);
    mnuConnect->setEnabled(!open);
    mnuListen->setEnabled(!open);
    // A line that is only listened to gets nothing from here: no command, no poll.
    for (QAction* sending :
         {mnuGetID, mnuGetCAP, mnuGetLSTAT, mnuGetISTAT, mnuGetOSTAT, mnuSetOut, mnuSetLED,
          mnuSetBUZ, mnuSetCOM, mnuFindDevices, mnuSetChlng, mnuSetCrypt, mnuSetKey})
        sending->setEnabled(!listening);
    btnSend->setEnabled(!listening);
    // Disconnect also ends a reconnection that is under way.
    tbnDisconnect->setEnabled(open || Osdp.Reconnecting());
    mnuDisconnect->setEnabled(open || Osdp.Reconnecting());
    for (QAction* maintenance : {mnuRDX900_DFU, mnuRDX900_SetCC, mnuRDX900_SetVarFlags,
                                 mnuORBA_SetCC, mnuResetAll, mnuFileTransfer})
        maintenance->setEnabled(open && !listening);
    mnuUseCRC->setChecked(Osdp.UseCrc);
    mnuReopenSession->setChecked(Osdp.ReopenSessions);
    mnuReconnect->setChecked(Osdp.Reconnect());
    mnuUseSCBK_D->setChecked(Composer->Keys.UseScbkD);
    mnuDiversifyMasterkey->setChecked(Composer->Keys.DiversifyMasterkey);
    mnuViewRaw->setChecked(Osdp.View.Raw);
    mnuViewDescription->setChecked(Osdp.View.Description);
    mnuViewPoll->setChecked(Osdp.View.Poll);
    mnuViewKeys->setChecked(Osdp.View.Keys);
    tbnStartPoll->setEnabled(open && !listening && !polling && anySelected &&
                             !Osdp.Disconnecting());
    tbnStopPoll->setEnabled(open && polling);
    // A capture records a connection: it starts on one and ends with it.
    mnuStartCapture->setEnabled(open && !Capture->Running());
    mnuStopCapture->setEnabled(Capture->Running());
    UpdateProgress();
    SyncPollList();
}

// The list mirrors the engine's selection, which the engine may change itself (a device
// that moves to a new address takes its tick along).
void TFormMain::SyncPollList() {
    TTicks ticks{};
    for (int a = 0; a < kDeviceCount; ++a)
        ticks[a] = Osdp.Devices()[a].Selected;
    EditDevices->SetTicked(ticks);
    EditDevices->viewport()->update();
}

std::optional<QColor> TFormMain::AddressColour(int address) const {
    if (address < 0 || address >= kDeviceCount) return std::nullopt;
    const bool listening = Osdp.Listening();
    return PollItemColour(Osdp.Polling(), Osdp.Devices()[address],
                          listening && Osdp.Heard(address),
                          listening && Osdp.HeardSession(address));
}

void TFormMain::OnEditDevicesClick() {
    Osdp.SetSelection(EditDevices->Ticked());
    UpdateControls();
}

void TFormMain::btnConnectClick() {
    OpenChosenPort(false);
}

void TFormMain::mnuListenClick() {
    OpenChosenPort(true);
}

void TFormMain::OpenChosenPort(bool listen) {
    if (Osdp.Port().IsOpen()) return;
    // The user's choice replaces a reconnection under way, which must not open the port
    // behind the dialog.
    if (Osdp.Reconnecting()) Osdp.Disconnect();
    TLink& port = Osdp.Port();
    const std::optional<TPortChoice> choice =
        FormSelectPort->Execute(TPortChoice{port.GetPortName(), port.Baud()});
    if (choice) {
        QString error;
        bool ok = port.SetPortName(choice->PortName, &error);
        // No rate chosen (a TCP name, or a rate the list does not offer) keeps the current one.
        if (ok && choice->Baud > 0) port.SetBaud(choice->Baud);
        if (ok) ok = listen ? Osdp.StartListening(&error) : Osdp.OpenPort(&error);
        if (!ok) QMessageBox::critical(this, QApplication::applicationName(), error);
    }
    UpdateControls();
}

void TFormMain::btnDisconnectClick() {
    Osdp.Disconnect();
    UpdateControls();
}

void TFormMain::tbnStartPollClick() {
    Osdp.StartPolling();
    UpdateControls();
}

void TFormMain::tbnStopPollClick() {
    Osdp.StopPolling();
    UpdateControls();
}

void TFormMain::mnuSetupCommClick() {
    TLink& port = Osdp.Port();
    const TLineSettings current{port.Baud(), port.DataBits(), port.Parity(), port.StopBits()};
    const std::optional<TLineSettings> chosen = FormSetup->Execute(current);
    if (!chosen) return;
    port.SetBaud(chosen->Baud);
    port.SetDataBits(chosen->DataBits);
    port.SetParity(chosen->Parity);
    port.SetStopBits(chosen->StopBits);
}

void TFormMain::mnuSetPollIntervalClick() {
    QInputDialog input(this);
    input.setObjectName(QStringLiteral("InputPollInterval"));
    input.setWindowTitle(QApplication::applicationName());
    input.setInputMode(QInputDialog::TextInput);
    input.setLabelText(QStringLiteral("Polling interval (ms): "));
    input.setTextValue(QString::number(Osdp.PollInterval()));
    if (input.exec() != QDialog::Accepted) return;
    // Refused rather than guessed: "abc" is no interval, and neither is a minus sign.
    bool ok = false;
    const qlonglong interval = input.textValue().trimmed().toLongLong(&ok);
    if (!ok || interval < 0 || interval > MaxPollIntervalMs) {
        QMessageBox::critical(this, QApplication::applicationName(),
                              QStringLiteral("Polling interval (ms): enter a whole number from 0 "
                                             "to %1")
                                  .arg(MaxPollIntervalMs));
        return;
    }
    Osdp.SetPollInterval(static_cast<int>(interval));
}

void TFormMain::mnuUseSCBK_DClick() {
    Keys().UseScbkD = !Keys().UseScbkD;
    UpdateControls();
}

void TFormMain::mnuDiversifyMasterkeyClick() {
    Keys().DiversifyMasterkey = !Keys().DiversifyMasterkey;
    UpdateControls();
}

void TFormMain::mnuAboutClick() {
    About.exec();
}

int TFormMain::CommandAddress() {
    const int address = SelectedAddress();
    if (address < 0 || address > kBroadcastAddress)
        ComposerUi->ShowError(QStringLiteral("Error: no address selected"));
    return address <= kBroadcastAddress ? address : -1;
}

void TFormMain::btnSendClick() {
    if (!btnSend->isEnabled()) return; // Enter in the command line while listening
    const int address = CommandAddress();
    if (address < 0) return;
    Composer->SendHex(EditCmd->currentText(), address);
}

void TFormMain::OnSendCmdClick(int tag) {
    const int address = CommandAddress();
    if (address < 0) return;
    Composer->OnSendCmdClick(tag, address);
}

void TFormMain::NotYetImplemented() {
    QMessageBox::critical(this, QApplication::applicationName(),
                          QStringLiteral("Not yet implemented"));
}

// The engine reports state on every exchange, a hundred times a second while polling;
// repainting the panels that often would cost more than the polling itself. The first
// text after a quiet spell shows at once, the ones that follow within StatusQuietMs are
// gathered and the latest shows when the spell ends.
void TFormMain::OnStatusText(int panel, const QString& text) {
    if (panel < 0 || panel >= StatusPanelCount) return;
    StatusPending[static_cast<std::size_t>(panel)] = text;
    StatusDirty[static_cast<std::size_t>(panel)] = true;
    if (StatusQuiet.isActive()) return;
    FlushStatus();
    StatusQuiet.start();
}

void TFormMain::FlushStatus() {
    for (std::size_t i = 0; i < StatusPanels.size(); ++i) {
        if (!StatusDirty[i]) continue;
        StatusDirty[i] = false;
        StatusPanels[i]->setText(StatusPending[i]);
    }
}

// The answer to a person's command shows for a few seconds ("SET_LED to 0: ACK"), so it can
// be seen without the poll lines in the log. A procedure's own frames (handshake steps, file
// fragments, a search's probes) would flood the bar and are left to the log and the table.
void TFormMain::OnCommandEnded(const TCommandEnd& end) {
    if (end.Origin != TOrigin::User) return;
    statusBar()->showMessage(QStringLiteral("%1 to %2: %3")
                                 .arg(QString::fromStdString(CommandName(end.Command)))
                                 .arg(end.Address)
                                 .arg(AnswerText(end)),
                             CommandMessageMs);
}

void TFormMain::OnErrorMessage(const QString& text) {
    QMessageBox::critical(this, QApplication::applicationName(), text);
}

int TFormMain::SelectedAddress() const {
    return EditAddr->currentIndex();
}

void TFormMain::SelectAddress(int address) {
    EditAddr->setCurrentIndex(address >= 0 && address < EditAddr->count() ? address : -1);
}

// Runs inside frame processing: nothing here may open a box, or replies that keep coming
// would stack boxes inside each other while polling stood still behind them.
void TFormMain::IssueMenuCommand(int tag, int address) {
    if (address < 0) address = SelectedAddress();
    if (address < 0 || address > kBroadcastAddress) {
        Osdp.Log(QStringLiteral("Error: no address selected"));
        return;
    }
    Composer->IssueFromReply(tag, address);
}

void TFormMain::closeEvent(QCloseEvent* event) {
    if (Osdp.Port().IsOpen()) {
        // No wait for an outstanding reply here: nothing is left to receive it.
        if (Osdp.Polling()) Osdp.StopPolling();
        Osdp.ClosePort();
    }
    event->accept();
}

} // namespace quintrel
