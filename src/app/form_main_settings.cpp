#include "form_main.h"

#include "logview/log_view.h"
#include "poll_list.h"
#include "settings_file.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QMessageBox>
#include <QSplitter>

#include <string_view>

namespace quintrel {

// Values are taken as they are: the port stores any number (a rate the device refuses makes
// the open fail and says so), and an address outside the list leaves the box without a
// selection.
void TFormMain::LoadSettings() {
    TLink& port = Osdp.Port();
    TSettings current;
    current.ComPort = port.GetPortName().toStdString();
    current.DfuFilename = DfuFileName.toStdString();
    const TSettings s = ReadSettingsFile(Options.IniPath, current);

    SavedPort = QString::fromStdString(s.ComPort);
    port.SetPortName(Options.PortOverride.isEmpty() ? SavedPort : Options.PortOverride);
    port.SetBaud(s.Baudrate);
    port.SetDataBits(s.DataBits);
    port.SetParity(s.Parity);
    port.SetStopBits(s.StopBits);
    SelectAddress(s.Address);
    Osdp.SetPollInterval(s.PollInterval);
    Osdp.UseCrc = s.UseCrc;
    Osdp.ReopenSessions = s.ReopenSessions;
    Osdp.SetReconnect(s.Reconnect);
    Folders = s.Folders;
    Keys().UseScbkD = s.UseScbkD;
    Keys().DiversifyMasterkey = s.DiversifyMasterkey;
    Osdp.MfgId = static_cast<std::uint32_t>(s.MfgId);
    Osdp.View = TViewFlags{.Raw = s.ShowRaw, .Description = s.ShowDesc, .Poll = s.ShowPoll};
    TTicks ticks{};
    std::copy(s.PollSelect.begin(), s.PollSelect.end(), ticks.begin());
    Osdp.SetSelection(ticks);
    DfuFileName = QString::fromStdString(s.DfuFilename);
    EditCmd->clear();
    for (const std::string& entry : s.History)
        EditCmd->addItem(QString::fromStdString(entry));
    EditCmd->setCurrentIndex(-1);
    ApplyPlacement(s.Window);
    UpdateControls();
}

// A saved placement replaces the first start's (maximised, 800 x 640).
void TFormMain::ApplyPlacement(const TWindowPlacement& p) {
    if (p.Width > 0 && p.Height > 0) {
        setWindowState(Qt::WindowNoState);
        setGeometry(p.Left, p.Top, p.Width, p.Height);
        setWindowState(p.Maximized ? Qt::WindowMaximized : Qt::WindowNoState);
    }
    if (p.LogHeight > 0 && p.PollHeight > 0) SplitterMain->setSizes({p.LogHeight, p.PollHeight});
}

TWindowPlacement TFormMain::CurrentPlacement() const {
    const QRect normal = normalGeometry();
    const QList<int> sizes = SplitterMain->sizes();
    return TWindowPlacement{normal.x(),    normal.y(),     normal.width(), normal.height(),
                            isMaximized(), sizes.value(0), sizes.value(1)};
}

void TFormMain::SaveSettings() {
    const TLink& port = Osdp.Port();
    TSettings s;
    const QString name = port.GetPortName();
    const bool overridden = !Options.PortOverride.isEmpty() && name == Options.PortOverride;
    s.ComPort = (overridden ? SavedPort : name).toStdString();
    s.Baudrate = port.Baud();
    s.DataBits = port.DataBits();
    s.Parity = port.Parity();
    s.StopBits = port.StopBits();
    s.Address = SelectedAddress();
    s.PollInterval = Osdp.PollInterval();
    s.UseCrc = Osdp.UseCrc;
    s.ReopenSessions = Osdp.ReopenSessions;
    s.Reconnect = Osdp.Reconnect();
    s.Folders = Folders;
    s.UseScbkD = Keys().UseScbkD;
    s.DiversifyMasterkey = Keys().DiversifyMasterkey;
    s.MfgId = static_cast<int>(Osdp.MfgId);
    s.ShowDesc = Osdp.View.Description;
    s.ShowPoll = Osdp.View.Poll;
    s.ShowRaw = Osdp.View.Raw;
    for (int a = 0; a < kPollSelectCount; ++a)
        s.PollSelect[a] = Osdp.Devices()[a].Selected;
    s.DfuFilename = DfuFileName.toStdString();
    s.Window = CurrentPlacement();
    for (int i = 0; i < EditCmd->count(); ++i)
        s.History.push_back(EditCmd->itemText(i).toStdString());
    QString error;
    if (!WriteSettingsFile(Options.IniPath, s, &error))
        qWarning("Cannot write the settings file %s: %s", qPrintable(Options.IniPath),
                 qPrintable(error));
}

void TFormMain::LoadVendorList() {
    QFile file(Options.VendorPath);
    if (!file.open(QIODevice::ReadOnly)) {
        if (Options.ShowStartupErrors)
            QMessageBox::critical(this, QApplication::applicationName(),
                                  QStringLiteral("Cannot open file \"%1\". %2")
                                      .arg(Options.VendorPath, file.errorString()));
        return;
    }
    const QByteArray text = file.readAll();
    Osdp.Vendors.LoadFromText(
        std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
}

TFormMain::~TFormMain() {
    SaveSettings();
}

} // namespace quintrel
