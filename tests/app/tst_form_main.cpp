// The main window: start-up, the settings file, the controls' states and the log.

#include "logview/log_memo.h"
#include "poll_list.h"
#include "support/modal_answerer.h"
#include "support/window_fixture.h"

#include <QComboBox>
#include <QInputDialog>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSet>
#include <QSplitter>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace quintrel;
using namespace quintrel::test;

namespace {

QComboBox* EditAddr(TFormMain& w) {
    return w.findChild<QComboBox*>(QStringLiteral("EditAddr"));
}
TPollList* EditDevices(TFormMain& w) {
    return w.findChild<TPollList*>(QStringLiteral("EditDevices"));
}

// The selected addresses, after checking that the list shows the engine's selection.
QList<int> Selected(TFormMain& w) {
    QList<int> addresses;
    const TTicks ticks = EditDevices(w)->Ticked();
    for (int a = 0; a < kDeviceCount; ++a) {
        if (ticks[a] != w.Engine().Devices()[a].Selected) return {-1, a};
        if (ticks[a]) addresses << a;
    }
    return addresses;
}

void Tick(TFormMain& w, int address, bool on) {
    EditDevices(w)->item(address)->setCheckState(on ? Qt::Checked : Qt::Unchecked);
}

} // namespace

class TestFormMain : public QObject {
    Q_OBJECT

  private slots:
    void firstStartGivesTheDefaults();
    void settingsSurviveARestart();
    void oddValuesInTheFileAreHarmless();
    void pollButtonsFollowPortAndSelection();
    void pollIntervalPrompt_data();
    void pollIntervalPrompt();
    void logLinesAreStampedAndBatched();
    void shortcutsAndMenus();
    void pollListShowsAllAddressesAndColours();
    void missingVendorListIsReported();
    void installedProgramKeepsItsFilesElsewhere();
    void portForOneRunKeepsTheSavedPort();
};

void TestFormMain::firstStartGivesTheDefaults() {
    TWindowFixture f;
    TFormMain& w = f.Start();
    const TLink& port = w.Engine().Port();
    QCOMPARE(port.GetPortName(), QStringLiteral("COM1"));
    QCOMPARE(QList<int>({port.Baud(), port.DataBits(), port.Parity(), port.StopBits()}),
             QList<int>({9600, 8, 0, 1}));
    QCOMPARE(EditAddr(w)->currentText(), QStringLiteral("0"));
    QCOMPARE(Selected(w), QList<int>{0});
    QVERIFY(w.Engine().UseCrc && w.Keys().UseScbkD && w.Keys().DiversifyMasterkey);
    for (const char* ticked :
         {"mnuUseCRC", "mnuUseSCBK_D", "mnuDiversifyMasterkey", "mnuViewDescription"})
        QVERIFY2(f.Action(ticked)->isChecked(), ticked);
    QVERIFY(!f.Action("mnuViewPoll")->isChecked() && !f.Action("mnuViewRaw")->isChecked());
    QVERIFY(w.Engine().View.Description && !w.Engine().View.Poll && !w.Engine().View.Raw);
    QCOMPARE(w.Engine().MfgId, 8146453u);
    QCOMPARE(w.Engine().PollInterval(), 0);
    QCOMPARE(w.windowTitle(), QStringLiteral("Quintrel v" QUINTREL_VERSION));
    QCOMPARE(f.StatusPanel(0), QStringLiteral("Disconnected"));
    QVERIFY(!w.Engine().Reconnect() && !f.Action("mnuReconnect")->isChecked());
    QVERIFY(w.windowState() & Qt::WindowMaximized);
    QCOMPARE(w.normalGeometry().size(), QSize(800, 640));
}

void TestFormMain::settingsSurviveARestart() {
    TWindowFixture f;
    TFormMain& first = f.Start();
    QVERIFY(first.Engine().Port().SetPortName(QStringLiteral("server:4001")));
    first.Engine().Port().SetBaud(38400);
    EditAddr(first)->setCurrentIndex(127);
    Tick(first, 0, false);
    Tick(first, 5, true);
    Tick(first, 126, true);
    f.Action("mnuUseCRC")->trigger();
    f.Action("mnuDiversifyMasterkey")->trigger();
    f.Action("mnuViewRaw")->trigger();
    f.Action("mnuReconnect")->trigger();
    first.NoteFolder("file_transfer", QStringLiteral("/home/me/updates/a.upd"));
    first.Engine().SetPollInterval(250);
    first.Engine().MfgId = 0x7C4E51;
    first.DfuFileName = QStringLiteral("/home/me/fw v2.kfw");
    // Where the window was and how it shared its height, and the command line's history.
    first.showNormal();
    first.setGeometry(40, 60, 900, 700);
    auto* splitter = first.findChild<QSplitter*>(QStringLiteral("SplitterMain"));
    QTRY_VERIFY(splitter->sizes().value(0) > 0);
    splitter->setSizes({400, 150});
    const QList<int> shared = splitter->sizes();
    auto* history = first.findChild<QComboBox*>(QStringLiteral("EditCmd"));
    history->addItems({QStringLiteral("69 00 01 02"),
                       QStringLiteral("75 01 10 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"),
                       QStringLiteral("64")});
    f.Stop();

    QStringList keys;
    for (const QString& line : QString::fromUtf8(f.ReadFile(f.IniPath())).split(QLatin1Char('\n')))
        if (line.contains(QLatin1Char('='))) keys << line.section(QLatin1Char('='), 0, 0);
    QStringList expected = QStringLiteral("comport baudrate databits parity stopbits address "
                                          "pollinterval use_crc use_scbk_d diversify_masterkey "
                                          "MFG_ID show_desc show_poll show_raw "
                                          "reopen_secure_channel reconnect")
                               .split(QLatin1Char(' '));
    for (int a = 0; a < kDeviceCount; ++a)
        expected << QStringLiteral("addr%1").arg(a);
    expected << QStringLiteral("filename");
    expected << QStringLiteral("left top width height maximized log_height poll_height "
                               "file_transfer count cmd1 cmd2")
                    .split(QLatin1Char(' '));
    QCOMPARE(keys, expected);
    // A key never reaches the file, not even through the history.
    QVERIFY(!f.ReadFile(f.IniPath()).contains("75 01 10"));

    TFormMain& w = f.Start();
    QCOMPARE(w.Engine().Port().GetPortName(), QStringLiteral("server:4001"));
    QCOMPARE(w.Engine().Port().Baud(), 38400);
    QCOMPARE(EditAddr(w)->currentText(), QStringLiteral("BROADCAST"));
    QCOMPARE(Selected(w), QList<int>({5, 126}));
    QVERIFY(!w.Engine().UseCrc && !f.Action("mnuUseCRC")->isChecked());
    QVERIFY(w.Keys().UseScbkD && !w.Keys().DiversifyMasterkey);
    QVERIFY(w.Engine().View.Raw && f.Action("mnuViewRaw")->isChecked());
    QCOMPARE(w.Engine().PollInterval(), 250);
    QCOMPARE(w.Engine().MfgId, 0x7C4E51u);
    QCOMPARE(w.DfuFileName, QStringLiteral("/home/me/fw v2.kfw"));
    QVERIFY(w.Engine().Reconnect() && f.Action("mnuReconnect")->isChecked());
    QCOMPARE(w.Folders.at("file_transfer"), std::string("/home/me/updates"));
    QCOMPARE(w.normalGeometry(), QRect(40, 60, 900, 700));
    QVERIFY(!(w.windowState() & Qt::WindowMaximized));
    w.show();
    QTRY_COMPARE(w.findChild<QSplitter*>(QStringLiteral("SplitterMain"))->sizes(), shared);
    auto* restored = w.findChild<QComboBox*>(QStringLiteral("EditCmd"));
    QCOMPARE(restored->count(), 2);
    QCOMPARE(restored->itemText(0), QStringLiteral("69 00 01 02"));
    QCOMPARE(restored->itemText(1), QStringLiteral("64"));
    QCOMPARE(restored->currentText(), QString()); // nothing typed for the user
}

void TestFormMain::oddValuesInTheFileAreHarmless() {
    TWindowFixture f;
    f.WriteFile(f.IniPath(), "[options]\ncomport=\naddress=500\nbaudrate=-5\npollinterval=-100\n"
                             "databits=99999999999\nparity=7\nuse_crc=00\nshow_raw=yes\n"
                             "MFG_ID=-1\n[poll_select]\naddr0=0\n");
    TFormMain& w = f.Start();
    QCOMPARE(w.SelectedAddress(), -1);
    QCOMPARE(w.Engine().PollInterval(), 0);
    QCOMPARE(w.Engine().Port().Baud(), -5);
    QCOMPARE(w.Engine().Port().DataBits(), 0);
    QVERIFY(!w.Engine().UseCrc);
    QVERIFY(w.Engine().View.Raw && f.Action("mnuViewRaw")->isChecked());
    QVERIFY(Selected(w).isEmpty());

    // The window stays usable, and what it could not use goes back to the file as it came.
    EditAddr(w)->setCurrentIndex(3);
    QCOMPARE(w.SelectedAddress(), 3);
    f.Stop();
    const QByteArray ini = f.ReadFile(f.IniPath());
    QVERIFY(ini.contains("baudrate=-5\n") && ini.contains("address=3\n") &&
            ini.contains("MFG_ID=-1\n"));
    QCOMPARE(f.Start().Engine().MfgId, 0xFFFFFFFFu);
}

void TestFormMain::pollButtonsFollowPortAndSelection() {
    TWindowFixture f;
    TFormMain& w = f.Start();
    QAction* start = f.Action("tbnStartPoll");
    QAction* stop = f.Action("tbnStopPoll");
    const auto openOnly = {"tbnDisconnect",   "mnuDisconnect",         "mnuRDX900_DFU",
                           "mnuRDX900_SetCC", "mnuRDX900_SetVarFlags", "mnuORBA_SetCC",
                           "mnuResetAll"};
    QVERIFY(!start->isEnabled() && !stop->isEnabled() && f.Action("mnuConnect")->isEnabled());
    for (const char* name : openOnly)
        QVERIFY2(!f.Action(name)->isEnabled(), name);

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QVERIFY(w.Engine().Port().SetPortName(QStringLiteral("127.0.0.1:%1").arg(server.serverPort())));
    QVERIFY(w.Engine().OpenPort(nullptr));
    QVERIFY(!start->isEnabled() && stop->isEnabled() && !f.Action("mnuConnect")->isEnabled());
    for (const char* name : openOnly)
        QVERIFY2(f.Action(name)->isEnabled(), name);

    stop->trigger();
    QVERIFY(!w.Engine().Polling() && start->isEnabled() && !stop->isEnabled());
    Tick(w, 0, false);
    QVERIFY(!start->isEnabled());
    Tick(w, 9, true);
    QVERIFY(start->isEnabled());
    start->trigger();
    QVERIFY(w.Engine().Polling());
    f.Action("mnuDisconnect")->trigger();
    QVERIFY(!start->isEnabled() && !stop->isEnabled());
}

void TestFormMain::pollIntervalPrompt_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("expected");
    QTest::addColumn<bool>("refused");
    QTest::newRow("number") << QStringLiteral(" 250 ") << true << 250 << false;
    // Anything but a number in range is refused with a box, and the interval stays.
    QTest::newRow("letters") << QStringLiteral("fast") << true << 75 << true;
    QTest::newRow("digits then letters") << QStringLiteral("12ms") << true << 75 << true;
    QTest::newRow("negative") << QStringLiteral("-20") << true << 75 << true;
    QTest::newRow("too long") << QStringLiteral("3600001") << true << 75 << true;
    QTest::newRow("cancel") << QStringLiteral("999") << false << 75 << false;
}

void TestFormMain::pollIntervalPrompt() {
    QFETCH(QString, typed);
    QFETCH(bool, ok);
    QFETCH(int, expected);
    QFETCH(bool, refused);
    TWindowFixture f;
    TFormMain& w = f.Start();
    w.Engine().SetPollInterval(75);
    QStringList seen;
    std::vector<TModalAnswerer::TAnswer> answers = {[&](QWidget* dialog) {
        auto* input = qobject_cast<QInputDialog*>(dialog);
        if (!input) return Reject(dialog);
        seen << input->windowTitle() << input->labelText() << input->textValue();
        input->setTextValue(typed);
        ok ? Accept(input) : Reject(input);
    }};
    if (refused)
        answers.push_back([&](QWidget* dialog) {
            seen << qobject_cast<QMessageBox*>(dialog)->text();
            Accept(dialog);
        });
    TModalAnswerer answer(answers);
    f.Action("mnuSetPollInterval")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QStringList expectedSeen = {QStringLiteral("Quintrel"),
                                QStringLiteral("Polling interval (ms): "), QStringLiteral("75")};
    if (refused)
        expectedSeen << QStringLiteral(
            "Polling interval (ms): enter a whole number from 0 to 3600000");
    QCOMPARE(seen, expectedSeen);
    QCOMPARE(w.Engine().PollInterval(), expected);
}

void TestFormMain::logLinesAreStampedAndBatched() {
    TWindowFixture f;
    TFormMain& w = f.Start();
    auto* memo = w.findChild<TLogMemo*>(QStringLiteral("MemoComm"));
    emit w.Engine().LogLine(QStringLiteral("START"));
    // Stored at once; the box catches up with the next batch and follows the end.
    QVERIFY(!memo->toPlainText().isEmpty());
    static const QRegularExpression stamped(
        QStringLiteral("^\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d START$"));
    QVERIFY2(stamped.match(memo->toPlainText()).hasMatch(), qPrintable(memo->toPlainText()));

    for (int i = 0; i < 5000; ++i)
        emit w.Engine().LogLine(QString::number(i));
    w.FlushLog();
    QCOMPARE(memo->toPlainText().count(QLatin1Char('\n')) + 1, 5001);
    QCOMPARE(memo->FirstVisibleLine() + memo->VisibleLineCount(), 5001);

    // Clearing drops what is shown and what is still waiting; later lines start afresh.
    emit w.Engine().LogLine(QStringLiteral("waiting"));
    f.Action("mnuViewClear")->trigger();
    emit w.Engine().LogLine(QStringLiteral("STOP"));
    QVERIFY(f.Logged(QStringLiteral("STOP")));
    QCOMPARE(memo->toPlainText().count(QLatin1Char('\n')), 0);
}

void TestFormMain::shortcutsAndMenus() {
    TWindowFixture f;
    TFormMain& w = f.Start();
    QStringList titles;
    QSet<QChar> letters;
    for (QAction* menu : w.menuBar()->actions()) {
        titles << menu->text();
        // Every top-level menu has its own Alt letter, so a press opens one menu, not
        // alternately two.
        const qsizetype amp = menu->text().indexOf(QLatin1Char('&'));
        QVERIFY2(amp >= 0, qPrintable(menu->text()));
        const QChar letter = menu->text().at(amp + 1).toLower();
        QVERIFY2(!letters.contains(letter), qPrintable(menu->text()));
        letters << letter;
    }
    QCOMPARE(titles.join(QLatin1Char(' ')),
             QStringLiteral("&File &View &OSDP &TORVA O&ptions &Help"));
    QCOMPARE(w.findChild<QMenu*>(QStringLiteral("mnuDevice"))->title(), QStringLiteral("&OSDP"));
    // Inside each menu too, every item (and sub-menu) has a letter of its own.
    for (const QMenu* menu : w.menuBar()->findChildren<QMenu*>()) {
        QSet<QChar> used;
        for (const QAction* item : menu->actions()) {
            if (item->isSeparator()) continue;
            const qsizetype amp = item->text().indexOf(QLatin1Char('&'));
            QVERIFY2(amp >= 0 && amp + 1 < item->text().size(), qPrintable(item->text()));
            const QChar letter = item->text().at(amp + 1).toLower();
            QVERIFY2(!used.contains(letter), qPrintable(menu->title() + QLatin1Char(' ') +
                                                        item->text()));
            used << letter;
        }
    }
    QVERIFY(!f.Action("mnuSetCrypt")->isVisible());

    w.showNormal();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_F9);
    QTest::keyClick(&w, Qt::Key_F10);
    QTest::keyClick(&w, Qt::Key_F11);
    QVERIFY(w.Engine().View.Raw && !w.Engine().View.Description && w.Engine().View.Poll);
    emit w.Engine().LogLine(QStringLiteral("line"));
    QTest::keyClick(&w, Qt::Key_Delete, Qt::ControlModifier);
    QCOMPARE(f.LogText(), QString());

    QStringList seen;
    const auto note = [&](QWidget* dialog) {
        auto* box = qobject_cast<QMessageBox*>(dialog);
        seen << (box ? box->text() : dialog->windowTitle());
        Reject(dialog);
    };
    TModalAnswerer answer({note});
    QTest::keyClick(&w, Qt::Key_F2);
    QVERIFY(!f.Action("mnuFileTransfer")->isEnabled()); // nothing to send a file to
    f.Action("mnuFileTransfer")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(seen, QStringList({QStringLiteral("Select Port")}));
}

void TestFormMain::pollListShowsAllAddressesAndColours() {
    TWindowFixture f;
    TFormMain& w = f.Start();
    w.showNormal();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    TPollList* list = EditDevices(w);
    QCOMPARE(list->count(), 127);
    // Ten to a column, 13 columns, every address in sight at the default size.
    const auto rect = [list](int a) { return list->visualItemRect(list->item(a)); };
    QCOMPARE(rect(10).top(), rect(0).top());
    QVERIFY(rect(10).left() > rect(9).left());
    QCOMPARE(rect(120).top(), rect(0).top());
    QVERIFY2(list->viewport()->rect().contains(rect(126)), "address 126 is out of sight");

    // A tick the engine moves (a device that changed its address) shows in the list.
    w.Engine().SetSelected(40, true);
    emit w.Engine().PollListChanged();
    QCOMPARE(Selected(w), QList<int>({0, 40}));

    TDeviceState device;
    QVERIFY(!PollItemColour(true, device)); // not selected
    device.Selected = true;
    QVERIFY(!PollItemColour(false, device)); // polling off
    QCOMPARE(*PollItemColour(true, device), QColor(30, 174, 37));
    device.Session.State = ssEstablished;
    QCOMPARE(*PollItemColour(true, device), QColor(0, 138, 255));
    device.Status = dsTimeout;
    QCOMPARE(*PollItemColour(true, device), QColor(255, 0, 0));
    device.Status = dsError;
    QCOMPARE(*PollItemColour(true, device), QColor(255, 128, 0));
}

void TestFormMain::missingVendorListIsReported() {
    TWindowFixture f;
    QString text;
    TModalAnswerer answer({[&](QWidget* dialog) {
        if (auto* box = qobject_cast<QMessageBox*>(dialog)) text = box->text();
        Accept(dialog);
    }});
    TFormMain& w = f.Start(true);
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(
        text,
        QStringLiteral("Cannot open file \"%1\". No such file or directory").arg(f.VendorPath()));
    QVERIFY(w.isWindow() && w.Engine().Vendors.Size() == 0);
}

// A settings file beside the program makes it a portable copy; without one the settings go to
// the user's configuration folder, even where the program's folder is writable (/usr/bin as
// root). A missing vendor list beside the program is Debian's instead.
void TestFormMain::installedProgramKeepsItsFilesElsewhere() {
    QTemporaryDir config;
    QTemporaryDir programs;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    const QString inConfig = config.filePath(QStringLiteral("quintrel/quintrel.ini"));
    QCOMPARE(TFormMainOptions::BesideExecutable(QStringLiteral("/nonexistent-quintrel/bin/quintrel"))
                 .IniPath,
             inConfig);
    const QString program = programs.filePath(QStringLiteral("quintrel"));
    const TFormMainOptions installed = TFormMainOptions::BesideExecutable(program);
    QCOMPARE(installed.IniPath, inConfig);
    if (QFile::exists(QStringLiteral("/usr/share/ieee-data/oui.csv")))
        QCOMPARE(installed.VendorPath, QStringLiteral("/usr/share/ieee-data/oui.csv"));
    QFile portable(programs.filePath(QStringLiteral("quintrel.ini")));
    QVERIFY(portable.open(QIODevice::WriteOnly));
    portable.close();
    QCOMPARE(TFormMainOptions::BesideExecutable(program).IniPath, portable.fileName());
    qunsetenv("XDG_CONFIG_HOME");
}

// A port named on the command line is used for that run and never replaces the saved one,
// unless the user picks a port of their own.
void TestFormMain::portForOneRunKeepsTheSavedPort() {
    TWindowFixture f;
    f.WriteFile(f.IniPath(), "[options]\ncomport=COM7\n");
    f.PortOverride = QStringLiteral("127.0.0.1:4999");
    QCOMPARE(f.Start().Engine().Port().GetPortName(), QStringLiteral("127.0.0.1:4999"));
    f.Stop();
    QVERIFY(f.ReadFile(f.IniPath()).contains("comport=COM7\n"));
    QVERIFY(f.Start().Engine().Port().SetPortName(QStringLiteral("server:4001")));
    f.Stop();
    QVERIFY(f.ReadFile(f.IniPath()).contains("comport=server:4001\n"));
}

QTEST_MAIN(TestFormMain)
#include "tst_form_main.moc"
