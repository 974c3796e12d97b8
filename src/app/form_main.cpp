#include "form_main.h"

#include "about/form_about.h"
#include "about/version_info.h"
#include "commands/composer_ui.h"
#include "link/form_select_port.h"
#include "link/form_setup.h"
#include "logview/log_memo.h"
#include "logview/log_view.h"
#include "poll_list.h"
#include "settings_file.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QSplitter>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QToolBar>
#include <QVBoxLayout>

namespace quintrel {

namespace {

// Each panel fits the longest text it usually shows; the last one counts a capture's frames
// (ten digits: more than three years of a line busy at a hundred frames a second).
const char* const kStatusPanelSamples[TFormMain::StatusPanelCount] = {
    "Connected to 255.255.255.255:65535", "Command to 127", "Invalid message from 127",
    "Capture: 9999999999 frames"};
constexpr int kBroadcastIndex = 127;

QLabel* NewLabel(const char* name, const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    return label;
}

} // namespace

TFormMainOptions TFormMainOptions::BesideExecutable(const QString& executablePath) {
    TFormMainOptions options;
    const QFileInfo program(executablePath);
    options.IniPath = SettingsPathFor(executablePath);
    // Never a new file in the program's folder: that may be /usr/bin, writable as root.
    if (!QFileInfo(options.IniPath).isFile()) {
        const QString config =
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        options.IniPath = QDir(config).filePath(QStringLiteral("quintrel/") +
                                                QFileInfo(options.IniPath).fileName());
    }
    options.VendorPath = program.dir().filePath(QStringLiteral("oui.csv"));
    const QString debianCopy = QStringLiteral("/usr/share/ieee-data/oui.csv");
    if (!QFileInfo::exists(options.VendorPath) && QFileInfo::exists(debianCopy))
        options.VendorPath = debianCopy;
    return options;
}

TFormMain::TFormMain(TFormAbout& about, const TFormMainOptions& options, QWidget* parent)
    : QMainWindow(parent), Osdp(this), About(about), Options(options) {
    setObjectName(QStringLiteral("FormMain"));
    setWindowTitle(QApplication::applicationName() + QStringLiteral(" v") +
                   About.VersionInfo().Value(TVersionInfo::ProductVersion));
    resize(DefaultWidth, DefaultHeight);
    setWindowState(Qt::WindowMaximized);

    CreateActions();
    CreateMenus();
    CreateToolBar();
    CreateCentralArea();
    CreateStatusBar();
    ConnectEngine();
    ComposerUi = std::make_unique<TComposerUi>(
        this, EditCmd, Osdp, [this] { return SelectedAddress(); },
        [this] { EditDevices->viewport()->update(); });
    Composer = std::make_unique<TComposer>(Osdp, *ComposerUi);
    CreateMaintenance();

    EditAddr->setCurrentIndex(0);
    Osdp.SetSelected(0, true);
    LoadSettings();
    UpdateControls();
    LoadVendorList();
    UpdateControls();

    FormSetup = new TFormSetup(this);
    FormSelectPort = new TFormSelectPort(this);
}

QAction* TFormMain::NewAction(const char* name, const QString& caption,
                              const QKeySequence& shortcut) {
    auto* action = new QAction(caption, this);
    action->setObjectName(QLatin1String(name));
    action->setShortcut(shortcut);
    return action;
}

QAction* TFormMain::NewCommandAction(const char* name, const QString& caption, int tag) {
    QAction* action = NewAction(name, caption);
    action->setData(tag);
    connect(action, &QAction::triggered, this, [this, tag] { OnSendCmdClick(tag); });
    return action;
}

void TFormMain::CreateActions() {
    mnuConnect = NewAction("mnuConnect", QStringLiteral("&Connect"), Qt::Key_F2);
    mnuDisconnect =
        NewAction("mnuDisconnect", QStringLiteral("&Disconnect"), Qt::SHIFT | Qt::Key_F2);
    mnuExit = NewAction("mnuExit", QStringLiteral("E&xit"));
    mnuListen = NewAction("mnuListen", QStringLiteral("L&isten to line\u2026"));
    connect(mnuConnect, &QAction::triggered, this, &TFormMain::btnConnectClick);
    connect(mnuListen, &QAction::triggered, this, &TFormMain::mnuListenClick);
    connect(mnuDisconnect, &QAction::triggered, this, &TFormMain::btnDisconnectClick);
    connect(mnuExit, &QAction::triggered, this, &QWidget::close);
    CreateLogActions();

    mnuViewClear =
        NewAction("mnuViewClear", QStringLiteral("&Clear screen"), Qt::CTRL | Qt::Key_Delete);
    mnuViewRaw = NewAction("mnuViewRaw", QStringLiteral("Show &raw messages"), Qt::Key_F9);
    mnuViewDescription =
        NewAction("mnuViewDescription", QStringLiteral("Show message &descriptions"), Qt::Key_F10);
    mnuViewPoll = NewAction("mnuViewPoll", QStringLiteral("Show &polling messages"), Qt::Key_F11);
    // Off at every start: a key shown on the screen goes into every log saved from it.
    mnuViewKeys = NewAction("mnuViewKeys", QStringLiteral("Show &keys"));
    connect(mnuViewClear, &QAction::triggered, this, [this] { Log->Clear(); });
    const auto viewFlag = [this](QAction* item, bool TViewFlags::*flag) {
        item->setCheckable(true);
        connect(item, &QAction::triggered, this, [this, flag](bool on) { Osdp.View.*flag = on; });
    };
    viewFlag(mnuViewRaw, &TViewFlags::Raw);
    viewFlag(mnuViewDescription, &TViewFlags::Description);
    viewFlag(mnuViewPoll, &TViewFlags::Poll);
    viewFlag(mnuViewKeys, &TViewFlags::Keys);

    mnuGetID = NewCommandAction("mnuGetID", QStringLiteral("Get device &ID"), 0x61);
    mnuGetCAP = NewCommandAction("mnuGetCAP", QStringLiteral("Get device &capabilities"), 0x62);
    mnuGetLSTAT = NewCommandAction("mnuGetLSTAT", QStringLiteral("Get device &status"), 0x64);
    mnuGetISTAT = NewCommandAction("mnuGetISTAT", QStringLiteral("Get i&nput status"), 0x65);
    mnuGetOSTAT = NewCommandAction("mnuGetOSTAT", QStringLiteral("Get o&utput status"), 0x66);
    mnuSetOut = NewCommandAction("mnuSetOut", QStringLiteral("&Output control"), 0x68);
    mnuSetLED = NewCommandAction("mnuSetLED", QStringLiteral("&LED control"), 0x69);
    mnuSetBUZ = NewCommandAction("mnuSetBUZ", QStringLiteral("&Buzzer control"), 0x6A);
    mnuSetCOM = NewCommandAction("mnuSetCOM", QStringLiteral("Co&mmunication configuration"), 0x6E);
    mnuFileTransfer = NewAction("mnuFileTransfer", QStringLiteral("&File transfer"));
    mnuFileTransfer->setData(0x7C);
    connect(mnuFileTransfer, &QAction::triggered, this, &TFormMain::mnuFileTransferClick);
    mnuFindDevices = NewAction("mnuFindDevices", QStringLiteral("Fin&d devices\u2026"));
    connect(mnuFindDevices, &QAction::triggered, this, &TFormMain::mnuFindDevicesClick);
    mnuSetChlng =
        NewCommandAction("mnuSetChlng", QStringLiteral("Start S&ecure Channel Communication"), 0x76);
    mnuSetCrypt = NewCommandAction("mnuSetCrypt", QStringLiteral("Set secure c&rypto"), 0x77);
    mnuSetCrypt->setVisible(false); // sent by the handshake itself, never chosen
    mnuSetKey = NewCommandAction("mnuSetKey", QStringLiteral("Set encryption &key"), 0x75);

    mnuRDX900_SetCC = NewAction("mnuRDX900_SetCC", QStringLiteral("Edit &customer codes"));
    mnuRDX900_SetVarFlags = NewAction("mnuRDX900_SetVarFlags", QStringLiteral("Edit &options"));
    mnuRDX900_DFU = NewAction("mnuRDX900_DFU", QStringLiteral("&Firmware update"));
    mnuORBA_SetCC = NewAction("mnuORBA_SetCC", QStringLiteral("Edit &customer codes"));
    mnuResetAll = NewAction("mnuResetAll", QStringLiteral("&Reset reader settings"));
    mnuResetAll->setData(0xEF);
    connect(mnuRDX900_SetCC, &QAction::triggered, this, &TFormMain::mnuSetCCClick);
    connect(mnuORBA_SetCC, &QAction::triggered, this, &TFormMain::mnuSetCCClick);
    connect(mnuRDX900_SetVarFlags, &QAction::triggered, this,
            &TFormMain::mnuRDX900_SetVarFlagsClick);
    connect(mnuRDX900_DFU, &QAction::triggered, this, &TFormMain::mnuRDX900_DFUClick);
    connect(mnuResetAll, &QAction::triggered, this, &TFormMain::mnuResetAllClick);

    mnuSetupComm = NewAction("mnuSetupComm", QStringLiteral("&Setup communication"));
    mnuSetPollInterval = NewAction("mnuSetPollInterval", QStringLiteral("Set polling &interval"));
    mnuUseCRC = NewAction("mnuUseCRC", QStringLiteral("Use C&RC"));
    mnuUseSCBK_D = NewAction("mnuUseSCBK_D", QStringLiteral("Use default &key (SCBK-D)"));
    mnuDiversifyMasterkey =
        NewAction("mnuDiversifyMasterkey", QStringLiteral("&Diversify masterkey"));
    mnuReopenSession =
        NewAction("mnuReopenSession", QStringLiteral("Re&open secure channel after a line failure"));
    mnuOverheardKey =
        NewAction("mnuOverheardKey", QStringLiteral("Key for o&verheard sessions\u2026"));
    connect(mnuOverheardKey, &QAction::triggered, this, &TFormMain::mnuOverheardKeyClick);
    mnuReconnect = NewAction("mnuReconnect", QStringLiteral("Reconnect &automatically"));
    mnuReconnect->setCheckable(true);
    connect(mnuReconnect, &QAction::triggered, this, [this] {
        Osdp.SetReconnect(!Osdp.Reconnect());
        UpdateControls();
    });
    connect(mnuSetupComm, &QAction::triggered, this, &TFormMain::mnuSetupCommClick);
    connect(mnuSetPollInterval, &QAction::triggered, this, &TFormMain::mnuSetPollIntervalClick);
    // The flags are the truth; UpdateControls puts the check marks back in step with them.
    for (QAction* option : {mnuUseCRC, mnuUseSCBK_D, mnuDiversifyMasterkey, mnuReopenSession})
        option->setCheckable(true);
    connect(mnuReopenSession, &QAction::triggered, this, [this] {
        Osdp.ReopenSessions = !Osdp.ReopenSessions;
        UpdateControls();
    });
    connect(mnuUseCRC, &QAction::triggered, this, [this] {
        Osdp.UseCrc = !Osdp.UseCrc;
        UpdateControls();
    });
    connect(mnuUseSCBK_D, &QAction::triggered, this, &TFormMain::mnuUseSCBK_DClick);
    connect(mnuDiversifyMasterkey, &QAction::triggered, this,
            &TFormMain::mnuDiversifyMasterkeyClick);

    mnuAbout = NewAction("mnuAbout", QStringLiteral("&About ..."));
    connect(mnuAbout, &QAction::triggered, this, &TFormMain::mnuAboutClick);

    QStyle* s = style();
    tbnConnect = NewAction("tbnConnect", QStringLiteral("Connect"));
    tbnConnect->setIcon(s->standardIcon(QStyle::SP_DialogYesButton));
    tbnDisconnect = NewAction("tbnDisconnect", QStringLiteral("Disconnect"));
    tbnDisconnect->setIcon(s->standardIcon(QStyle::SP_DialogNoButton));
    tbnStartPoll = NewAction("tbnStartPoll", QStringLiteral("Start polling"));
    tbnStartPoll->setIcon(s->standardIcon(QStyle::SP_MediaPlay));
    tbnStopPoll = NewAction("tbnStopPoll", QStringLiteral("Stop polling"));
    tbnStopPoll->setIcon(s->standardIcon(QStyle::SP_MediaStop));
    connect(tbnConnect, &QAction::triggered, this, &TFormMain::btnConnectClick);
    connect(tbnDisconnect, &QAction::triggered, this, &TFormMain::btnDisconnectClick);
    connect(tbnStartPoll, &QAction::triggered, this, &TFormMain::tbnStartPollClick);
    connect(tbnStopPoll, &QAction::triggered, this, &TFormMain::tbnStopPollClick);
}

void TFormMain::CreateMenus() {
    menuBar()->setObjectName(QStringLiteral("MainMenu1"));
    const auto addMenu = [this](const char* name, const QString& title) {
        QMenu* menu = menuBar()->addMenu(title);
        menu->setObjectName(QLatin1String(name));
        return menu;
    };

    QMenu* file = addMenu("mnuFile", QStringLiteral("&File"));
    file->addActions({mnuConnect, mnuListen, mnuDisconnect});
    file->addSeparator();
    file->addActions({mnuStartCapture, mnuStopCapture, mnuOpenCapture});
    file->addSeparator();
    file->addAction(mnuSaveLog);
    file->addSeparator();
    file->addAction(mnuExit);

    QMenu* view = addMenu("mnuView", QStringLiteral("&View"));
    view->addAction(mnuViewClear);
    view->addSeparator();
    view->addActions({mnuViewRaw, mnuViewDescription, mnuViewPoll, mnuViewKeys});

    QMenu* osdp = addMenu("mnuDevice", QStringLiteral("&OSDP"));
    osdp->addActions({mnuGetID, mnuGetCAP, mnuGetLSTAT, mnuGetISTAT, mnuGetOSTAT});
    osdp->addSeparator();
    osdp->addActions({mnuSetOut, mnuSetLED, mnuSetBUZ});
    osdp->addSeparator();
    osdp->addAction(mnuSetCOM);
    osdp->addSeparator();
    osdp->addAction(mnuFileTransfer);
    osdp->addAction(mnuFindDevices);
    osdp->addSeparator();
    osdp->addActions({mnuSetChlng, mnuSetCrypt, mnuSetKey});

    QMenu* torva = addMenu("mnuTorva", QStringLiteral("&TORVA"));
    QMenu* rdx900 = torva->addMenu(QStringLiteral("R&DX900"));
    rdx900->setObjectName(QStringLiteral("mnuRDX900"));
    rdx900->addActions({mnuRDX900_SetCC, mnuRDX900_SetVarFlags, mnuRDX900_DFU});
    QMenu* orba = torva->addMenu(QStringLiteral("&ORBA"));
    orba->setObjectName(QStringLiteral("mnuORBA"));
    orba->addAction(mnuORBA_SetCC);
    torva->addSeparator();
    torva->addAction(mnuResetAll);

    // Its own letter: "&OSDP" has O, and a shared letter only alternates between the two.
    QMenu* options = addMenu("mnuOptions", QStringLiteral("O&ptions"));
    options->addActions({mnuSetupComm, mnuSetPollInterval});
    options->addSeparator();
    options->addActions({mnuUseCRC, mnuUseSCBK_D, mnuDiversifyMasterkey, mnuReopenSession});
    options->addSeparator();
    options->addAction(mnuReconnect);
    options->addAction(mnuOverheardKey);

    QMenu* help = addMenu("mnuHelp", QStringLiteral("&Help"));
    help->addAction(mnuAbout);
}

void TFormMain::CreateToolBar() {
    QToolBar* bar = addToolBar(QStringLiteral("Toolbar"));
    bar->setObjectName(QStringLiteral("ToolBar1"));
    bar->setMovable(false);
    bar->addActions({tbnConnect, tbnDisconnect});
    bar->addSeparator();
    bar->addActions({tbnStartPoll, tbnStopPoll});
}

void TFormMain::CreateCentralArea() {
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(2, 2, 2, 2);
    setCentralWidget(central);

    // The log and the poll selection share the height; the user decides how.
    SplitterMain = new QSplitter(Qt::Vertical, central);
    SplitterMain->setObjectName(QStringLiteral("SplitterMain"));
    SplitterMain->setChildrenCollapsible(false);
    layout->addWidget(SplitterMain, 1);
    auto* pages = new QTabWidget(SplitterMain);
    pages->setObjectName(QStringLiteral("PageControl1"));
    auto* tsComm = new QWidget(pages);
    tsComm->setObjectName(QStringLiteral("tsComm"));
    pages->addTab(tsComm, QStringLiteral("Communication"));
    SplitterMain->addWidget(pages);

    auto* comm = new QVBoxLayout(tsComm);
    auto* strip = new QHBoxLayout;
    EditAddr = new QComboBox(tsComm);
    EditAddr->setObjectName(QStringLiteral("EditAddr"));
    for (int a = 0; a < kDeviceCount; ++a)
        EditAddr->addItem(QString::number(a));
    EditAddr->addItem(QStringLiteral("BROADCAST"));
    EditAddr->setMaxVisibleItems(20);
    EditCmd = new QComboBox(tsComm);
    EditCmd->setObjectName(QStringLiteral("EditCmd"));
    EditCmd->setEditable(true);
    EditCmd->setInsertPolicy(QComboBox::NoInsert); // the history keeps its own order
    // What is typed is what is sent: no completion from the history behind the user's back.
    EditCmd->setCompleter(nullptr);
    EditCmd->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    btnSend = new QPushButton(QStringLiteral("Send"), tsComm);
    btnSend->setObjectName(QStringLiteral("btnSend"));
    btnSend->setDefault(true);
    connect(btnSend, &QPushButton::clicked, this, &TFormMain::btnSendClick);
    // Send is the window's default action: Enter in the command line or the address box
    // sends, once (the line's own returnPressed comes twice, through the combo box as well).
    for (QWidget* field : {static_cast<QWidget*>(EditCmd), static_cast<QWidget*>(EditAddr)})
        for (const int key : {Qt::Key_Return, Qt::Key_Enter})
            connect(new QShortcut(QKeySequence(key), field, nullptr, nullptr,
                                  Qt::WidgetWithChildrenShortcut),
                    &QShortcut::activated, this, &TFormMain::btnSendClick);
    QLabel* lblAddress = NewLabel("lblAddress", QStringLiteral("Address"), tsComm);
    lblAddress->setBuddy(EditAddr);
    QLabel* lblCommand = NewLabel("lblCommand", QStringLiteral("OSDP command (hex)"), tsComm);
    lblCommand->setBuddy(EditCmd);
    strip->addWidget(lblAddress);
    strip->addWidget(EditAddr);
    strip->addSpacing(12);
    strip->addWidget(lblCommand);
    strip->addWidget(EditCmd, 1);
    strip->addWidget(btnSend);
    comm->addLayout(strip);

    ProgressBar1 = new QProgressBar(tsComm);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setVisible(false);
    comm->addWidget(ProgressBar1);

    Log = new TLogView(this);
    MemoComm = Log->CreateMemo(tsComm);
    MemoComm->setObjectName(QStringLiteral("MemoComm"));
    MemoComm->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    comm->addWidget(MemoComm, 1);
    CreateLogTools(pages, comm);

    auto* panelPoll = new QWidget(SplitterMain);
    panelPoll->setObjectName(QStringLiteral("PanelPoll"));
    auto* poll = new QVBoxLayout(panelPoll);
    poll->setContentsMargins(0, 2, 0, 0);
    poll->setSpacing(2);
    poll->addWidget(NewLabel("lblPollSelection", QStringLiteral("Poll selection:"), panelPoll));
    EditDevices = new TPollList(
        [this](int address) -> std::optional<QColor> {
            return AddressColour(address);
        },
        panelPoll);
    connect(EditDevices, &TPollList::TicksChanged, this, &TFormMain::OnEditDevicesClick);
    EditDevices->setToolTip(QStringLiteral(
        "Ticked addresses are polled. While polling, and for the addresses heard while "
        "listening: green answered, red no reply, orange invalid reply, blue secure session; "
        "plain: not polled."));
    // Made smaller than the whole grid, the selection scrolls rather than squeezing the log.
    auto* scroller = new QScrollArea(panelPoll);
    scroller->setObjectName(QStringLiteral("ScrollPoll"));
    scroller->setWidget(EditDevices);
    scroller->setWidgetResizable(true);
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setMinimumHeight(TPollList::ItemHeight * 2);
    poll->addWidget(scroller, 1);
    SplitterMain->addWidget(panelPoll);
    SplitterMain->setStretchFactor(0, 1);
    SplitterMain->setStretchFactor(1, 0);
}

void TFormMain::CreateStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar1"));
    bar->setSizeGripEnabled(false);
    for (int i = 0; i < StatusPanelCount; ++i) {
        auto* panel = new QLabel(bar);
        panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        panel->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
        const int width =
            panel->fontMetrics().horizontalAdvance(QLatin1String(kStatusPanelSamples[i])) +
            2 * panel->frameWidth() + 12;
        if (i == CapturePanel) {
            // The capture count may only grow: never cut, and it stays in sight while the
            // answer to a command shows in the bar's message area.
            panel->setMinimumWidth(width);
            bar->addPermanentWidget(panel);
        } else if (i == 0) {
            // What the port is doing names the port, however long its path: never cut.
            panel->setMinimumWidth(width);
            bar->addWidget(panel);
        } else {
            panel->setFixedWidth(width);
            bar->addWidget(panel);
        }
        StatusPanels[i] = panel;
    }
    StatusPanels[0]->setText(QStringLiteral("Disconnected")); // as after a disconnect
}

void TFormMain::ConnectEngine() {
    connect(&Osdp, &TEngine::LogLine, Log, &TLogView::LogLine);
    connect(&Osdp, &TEngine::StatusText, this, &TFormMain::OnStatusText);
    StatusQuiet.setSingleShot(true);
    StatusQuiet.setInterval(StatusQuietMs);
    connect(&StatusQuiet, &QTimer::timeout, this, [this] {
        // Texts came during the spell: show them, and the spell goes on.
        if (std::find(StatusDirty.begin(), StatusDirty.end(), true) == StatusDirty.end()) return;
        FlushStatus();
        StatusQuiet.start();
    });
    connect(&Osdp, &TEngine::CommandEnded, this, &TFormMain::OnCommandEnded);
    connect(&Osdp, &TEngine::ControlsChanged, this, &TFormMain::UpdateControls);
    connect(&Osdp, &TEngine::PollListChanged, this, &TFormMain::SyncPollList);
    // The engine reports from inside its own handlers; the box waits until they are done.
    connect(&Osdp, &TEngine::ErrorMessage, this, &TFormMain::OnErrorMessage, Qt::QueuedConnection);
}

void TFormMain::FlushLog() {
    Log->Flush();
}

} // namespace quintrel
