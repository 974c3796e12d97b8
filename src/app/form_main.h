#pragma once
// The main window: menus, toolbar, the command strip, the message log, the poll selection
// and the status bar. It holds widgets only; the protocol state lives in the engine, which
// the window reads and drives and which asks the window back through IEngineHost.

#include "commands/composer_ui.h"
#include "composer.h"
#include "engine.h"
#include "maintenance/file_transfer_driver.h"
#include "maintenance/maintenance.h"
#include "settings/settings.h"

#include <QMainWindow>
#include <QString>
#include <QTimer>

#include <array>
#include <map>
#include <memory>
#include <optional>

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QSplitter;
class QTabWidget;

class QFileDialog;

namespace quintrel {

// Widens a file dialog's size and date columns to their texts.
void ShowWholeColumns(QFileDialog& dialog);

class TFormAbout;
class TFormDFU;
class TFormFindDevices;
class TFormEditCustCodes;
class TFormEditOptions;
class TFormSelectPort;
class TFormSetup;
class TCaptureWriter;
class TDeviceTable;
class TDevicesView;
class TFindBar;
class TLogMemo;
class TLogView;
class TPollList;

struct TFormMainOptions {
    QString IniPath;
    QString VendorPath;
    // A missing vendor list is reported in a box at start-up; tests switch that off.
    bool ShowStartupErrors = true;
    // The port for this run only (quintrel --port): the saved port is written back unchanged
    // unless the user picks another one.
    QString PortOverride;

    // The settings file beside the program when one stands there already (a portable copy),
    // else in the user's configuration folder ($XDG_CONFIG_HOME/quintrel/); the vendor list
    // beside the program, or else Debian's copy.
    static TFormMainOptions BesideExecutable(const QString& executablePath);
};

class TFormMain : public QMainWindow, public IEngineHost {
    Q_OBJECT

  public:
    static constexpr int DefaultWidth = 800;
    static constexpr int DefaultHeight = 640;
    static constexpr int StatusPanelCount = 4;
    static constexpr int MaxPollIntervalMs = 3600000;
    static constexpr int StatusQuietMs = 250;
    // The panel that counts a capture's frames.
    static constexpr int CapturePanel = 3;
    // How long the answer to a command stays in the status bar.
    static constexpr int CommandMessageMs = 4000;

    // The about box exists first: the caption carries the version its component reads.
    TFormMain(TFormAbout& about, const TFormMainOptions& options, QWidget* parent = nullptr);
    // Writes the settings file.
    ~TFormMain() override;

    TEngine& Engine() { return Osdp; }
    const TEngine& Engine() const { return Osdp; }
    TMaintenance& Maintenance() { return *Torva; }
    TFileTransfer& FileTransfer() { return *Transfer; }

    // Secure channel options (the settings file keeps the two flags, never the master key).
    TKeyOptions& Keys() { return Composer->Keys; }
    // The firmware file last chosen, kept for the settings file.
    QString DfuFileName;
    // The port the settings file holds, kept while --port names another one for this run.
    QString SavedPort;
    // The key tried, besides the default key, on the secure sessions of a capture and of a
    // listened line, as an SCBK and as a master key; kept in memory only.
    std::optional<TAesKey> OverheardKey;
    TFollowerKeys OverheardKeys() const;
    // The folder each file dialog was last used in (settings keys in kFolderKeys).
    std::map<std::string, std::string> Folders;
    QString StartFolder(const char* key) const;
    void NoteFolder(const char* key, const QString& chosenFile);

    void UpdateControls();
    // Writes the log lines that are waiting for the next batch at once.
    void FlushLog();
    // Shows the status texts gathered since the last repaint of the panels at once.
    void FlushStatus();
    // Reads a capture file into the log (what File > Open capture does after its dialog).
    void OpenCapture(const QString& path);
    TCaptureWriter& CaptureWriter() { return *Capture; }
    TDeviceTable& DeviceTable() { return *Devices; }

    // IEngineHost. The address is -1 while the address box has no selection (a settings
    // file can ask for an address that is not in the list).
    int SelectedAddress() const override;
    void SelectAddress(int address) override;
    void IssueMenuCommand(int tag, int address) override;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    // form_main.cpp: building the window
    QAction* NewAction(const char* name, const QString& caption, const QKeySequence& shortcut = {});
    QAction* NewCommandAction(const char* name, const QString& caption, int tag);
    void CreateActions();
    void CreateMenus();
    void CreateToolBar();
    void CreateCentralArea();
    void CreateStatusBar();
    void ConnectEngine();

    // form_main_log.cpp: the log's tools, captures and the Devices tab
    void CreateLogActions();
    void CreateLogTools(QTabWidget* pages, QLayout* comm);
    void mnuStartCaptureClick();
    void mnuOpenCaptureClick();
    void mnuSaveLogClick();

    // form_main_actions.cpp: what the user and the engine trigger
    void btnConnectClick();
    void mnuListenClick();
    void mnuOverheardKeyClick();
    // The "Select Port" dialog, then the port opened as chosen: to talk, or only to listen.
    void OpenChosenPort(bool listen);
    void btnDisconnectClick();
    void tbnStartPollClick();
    void tbnStopPollClick();
    void mnuSetupCommClick();
    void mnuSetPollIntervalClick();
    void mnuAboutClick();
    void mnuUseSCBK_DClick();
    void mnuDiversifyMasterkeyClick();
    void btnSendClick();
    void OnSendCmdClick(int tag);
    void NotYetImplemented();
    // The address box's choice, or -1 (after an error box) when it has none.
    int CommandAddress();
    void OnEditDevicesClick();
    void OnStatusText(int panel, const QString& text);
    void OnCommandEnded(const TCommandEnd& end);
    void OnErrorMessage(const QString& text);
    void SyncPollList();
    // The state colour of an address in the poll list and the Devices tab.
    std::optional<QColor> AddressColour(int address) const;

    // maintenance_actions.cpp: the TORVA menu and the file transfer
    void CreateMaintenance();
    void mnuSetCCClick();
    void mnuRDX900_SetVarFlagsClick();
    void mnuRDX900_DFUClick();
    void mnuFindDevicesClick();
    void OnSendMfgCmdClick(int tag);
    void mnuResetAllClick();
    void mnuFileTransferClick();
    void UpdateProgress();
    // Asks the reader at the address box's choice; false (after the box) without an answer.
    bool AskReader(const TOsdpRequest& request);

    // form_main_settings.cpp: the settings file and the vendor list
    void LoadSettings();
    void SaveSettings();
    void LoadVendorList();
    void ApplyPlacement(const TWindowPlacement& placement);
    TWindowPlacement CurrentPlacement() const;

    TEngine Osdp;
    TFormAbout& About;
    TFormMainOptions Options;
    TFormSelectPort* FormSelectPort = nullptr;
    TFormSetup* FormSetup = nullptr;
    TLogView* Log = nullptr;
    std::unique_ptr<TComposerUi> ComposerUi;
    std::unique_ptr<TComposer> Composer;
    std::unique_ptr<TMaintenance> Torva;
    std::unique_ptr<TFileTransfer> Transfer;
    TFormEditCustCodes* FormEditCustCodes = nullptr;
    TFormEditOptions* FormEditOptions = nullptr;
    TFormDFU* FormDFU = nullptr;
    TFormFindDevices* FormFindDevices = nullptr;
    TFindBar* FindBar = nullptr;
    TCaptureWriter* Capture = nullptr;
    QTimer CaptureStatus;
    TDeviceTable* Devices = nullptr;
    TDevicesView* DevicesView = nullptr;

    QAction* mnuConnect = nullptr;
    QAction* mnuListen = nullptr;
    QAction* mnuDisconnect = nullptr;
    QAction* mnuExit = nullptr;
    QAction* mnuStartCapture = nullptr;
    QAction* mnuStopCapture = nullptr;
    QAction* mnuOpenCapture = nullptr;
    QAction* mnuSaveLog = nullptr;
    QAction* mnuFind = nullptr;
    QAction* mnuViewClear = nullptr;
    QAction* mnuViewRaw = nullptr;
    QAction* mnuViewDescription = nullptr;
    QAction* mnuViewPoll = nullptr;
    QAction* mnuViewKeys = nullptr;
    QAction* mnuGetID = nullptr;
    QAction* mnuGetCAP = nullptr;
    QAction* mnuGetLSTAT = nullptr;
    QAction* mnuGetISTAT = nullptr;
    QAction* mnuGetOSTAT = nullptr;
    QAction* mnuSetOut = nullptr;
    QAction* mnuSetLED = nullptr;
    QAction* mnuSetBUZ = nullptr;
    QAction* mnuSetCOM = nullptr;
    QAction* mnuFileTransfer = nullptr;
    QAction* mnuFindDevices = nullptr;
    QAction* mnuReconnect = nullptr;
    QAction* mnuOverheardKey = nullptr;
    QAction* mnuSetChlng = nullptr;
    QAction* mnuSetCrypt = nullptr;
    QAction* mnuSetKey = nullptr;
    QAction* mnuRDX900_SetCC = nullptr;
    QAction* mnuRDX900_SetVarFlags = nullptr;
    QAction* mnuRDX900_DFU = nullptr;
    QAction* mnuORBA_SetCC = nullptr;
    QAction* mnuResetAll = nullptr;
    QAction* mnuSetupComm = nullptr;
    QAction* mnuSetPollInterval = nullptr;
    QAction* mnuUseCRC = nullptr;
    QAction* mnuReopenSession = nullptr;
    QAction* mnuUseSCBK_D = nullptr;
    QAction* mnuDiversifyMasterkey = nullptr;
    QAction* mnuAbout = nullptr;
    QAction* tbnConnect = nullptr;
    QAction* tbnDisconnect = nullptr;
    QAction* tbnStartPoll = nullptr;
    QAction* tbnStopPoll = nullptr;

    QComboBox* EditAddr = nullptr;
    QComboBox* EditCmd = nullptr;
    QPushButton* btnSend = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    TLogMemo* MemoComm = nullptr;
    TPollList* EditDevices = nullptr;
    QSplitter* SplitterMain = nullptr;
    std::array<QLabel*, StatusPanelCount> StatusPanels{};
    std::array<QString, StatusPanelCount> StatusPending{};
    std::array<bool, StatusPanelCount> StatusDirty{};
    QTimer StatusQuiet;
};

} // namespace quintrel
