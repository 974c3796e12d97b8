// What a person new to the program meets in the first hour, through the real actions, the
// log and the status bar: stopping a reconnection, a second handshake or file transfer, the
// answers to commands, hints on a refusal, the dialogs, and the devices table.

#include "devices/device_table.h"
#include "support/modal_answerer.h"
#include "support/pd_window.h"

#include <QComboBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

using namespace quintrel;
using namespace quintrel::test;

class TestNewUser : public QObject {
    Q_OBJECT

  private slots:
    void disconnectStopsAReconnection();
    void newHandshakeKeepsTheSessionUntilItLeaves();
    void secondFileTransferAsksFirst();
    void answersToCommandsStayInTheLog_data();
    void answersToCommandsStayInTheLog();
    void commandToASilentReaderIsLogged();
    void refusedDefaultKeyGetsAHint();
    void dialogsLookAndRememberAsExpected();
    void findDevicesCanAskEveryAddress_data();
    void findDevicesCanAskEveryAddress();
    void devicesTableResetAndBroadcastRow();
    void firmwareUpdateLeavesATrace_data();
    void firmwareUpdateLeavesATrace();
};

namespace {

template <typename T> T* Child(QWidget* dialog, const char* name) {
    return dialog->findChild<T*>(QLatin1String(name));
}

struct TRig : TPdWindowRig {
    void SendHex(const QString& hex) {
        Window->findChild<QComboBox*>(QStringLiteral("EditCmd"))->setEditText(hex);
        QTest::mouseClick(Window->findChild<QPushButton*>(QStringLiteral("btnSend")),
                          Qt::LeftButton);
    }
    TEngine& Engine() { return Window->Engine(); }
};

QString WriteFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) return {};
    return file.fileName();
}

TModalAnswerer::TAnswer PickFile(const QString& path) {
    return [path](QWidget* d) {
        auto* name = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (!name) return Reject(d);
        name->setText(path);
        Accept(d);
    };
}

TModalAnswerer::TAnswer Answer(QMessageBox::StandardButton button, QString* text = nullptr) {
    return [button, text](QWidget* d) {
        auto* box = qobject_cast<QMessageBox*>(d);
        if (!box) return Reject(d);
        if (text) *text = box->text();
        box->button(button)->click();
    };
}

} // namespace

// With reconnection on and the line gone, the status bar says so and Disconnect ends it,
// also after a failed try.
void TestNewUser::disconnectStopsAReconnection() {
    TWindowFixture f;
    TFormMain& w = f.Start();
    auto server = std::make_unique<QTcpServer>();
    QVERIFY(server->listen(QHostAddress::LocalHost));
    const QString name = QStringLiteral("127.0.0.1:%1").arg(server->serverPort());
    TEngine& engine = w.Engine();
    engine.SetReconnect(true);
    engine.SetReconnectInterval(100);
    engine.Port().SetPortName(name);
    QVERIFY(engine.OpenPort(nullptr));
    QTRY_VERIFY_WITH_TIMEOUT(server->hasPendingConnections(), 2000);
    QTcpSocket* peer = server->nextPendingConnection();
    server->close();
    peer->close();
    const QString failed = QStringLiteral("Reconnection to %1 failed").arg(name);
    QTRY_VERIFY_WITH_TIMEOUT(f.LogText().count(failed) >= 2, 5000);
    QCOMPARE(f.StatusPanel(0), QStringLiteral("Reconnecting to %1").arg(name));
    QVERIFY(f.Action("mnuDisconnect")->isEnabled());
    f.Action("mnuDisconnect")->trigger();
    QVERIFY(f.Logged(QStringLiteral("Reconnection to %1 stopped").arg(name)));
    QTRY_COMPARE_WITH_TIMEOUT(f.StatusPanel(0), QStringLiteral("Disconnected"), 1000);
    QVERIFY(!engine.Reconnecting() && !f.Action("mnuDisconnect")->isEnabled());
    const qsizetype tries = f.LogText().count(failed);
    QTest::qWait(300);
    QCOMPARE(f.LogText().count(failed), tries);
}

// Start secure channel over an open one: the prompt and its Cancel leave the session as it
// was; a challenge that leaves ends it, and says so, before the new handshake's outcome.
void TestNewUser::newHandshakeKeepsTheSessionUntilItLeaves() {
    TRig rig;
    QVERIFY(rig.Start());
    const auto established = [&] { return rig.Engine().Devices()[0].Session.IsEstablished(); };
    rig.Fixture.Action("mnuSetChlng")->trigger(); // the default key: no prompt
    QTRY_VERIFY_WITH_TIMEOUT(established(), 3000);
    rig.Fixture.Action("mnuUseSCBK_D")->trigger();
    bool openDuringPrompt = false;
    TModalAnswerer answer({
        [&](QWidget* d) {
            openDuringPrompt = established();
            Reject(d);
        },
        Type(QStringLiteral("00112233445566778899AABBCCDDEEFF")),
    });
    rig.Fixture.Action("mnuSetChlng")->trigger(); // cancelled
    QTest::qWait(200);
    QVERIFY(openDuringPrompt && established());
    QVERIFY2(rig.Count(QStringLiteral("Secure channel with 0 ")) == 1,
             qPrintable(rig.Lines().join(QLatin1Char('\n'))));
    rig.Fixture.Action("mnuSetChlng")->trigger(); // a master key the reader does not have
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QTRY_VERIFY_WITH_TIMEOUT(rig.Count(QStringLiteral("not established")) == 1, 3000);
    const QStringList ends =
        rig.Lines().filter(QRegularExpression(QStringLiteral("^Secure channel with 0 (ended|not)")));
    QCOMPARE(ends, (QStringList{QStringLiteral("Secure channel with 0 ended (a new handshake)"),
                                QStringLiteral("Secure channel with 0 not established (cryptogram "
                                               "mismatch); the reader's key is not diversified "
                                               "from this master key")}));
}

// A transfer under way is stopped only when the person says so, with a line saying how far
// it came; the next transfer completes on its own last status, not on the late status of a
// fragment of the first (the reader answers 250 ms late, near the time-out and longer than
// the file dialog takes).
void TestNewUser::secondFileTransferAsksFirst() {
    TRig rig;
    QVERIFY(rig.Start({QStringLiteral("--answer-delay"), QStringLiteral("250"),
                       QStringLiteral("--record")}));
    QTemporaryDir dir;
    const QString big = WriteFile(dir, QStringLiteral("big.upd"), QByteArray(64 * 200, 'B'));
    const QString small = WriteFile(dir, QStringLiteral("small.upd"), QByteArray(100, 'S'));
    QString question;
    TModalAnswerer answer({PickFile(big), Answer(QMessageBox::No, &question),
                           Answer(QMessageBox::Yes), PickFile(small)});
    rig.Fixture.Action("mnuFileTransfer")->trigger();
    QTest::qWait(400);
    rig.Fixture.Action("mnuFileTransfer")->trigger(); // No: it goes on
    QVERIFY(question.startsWith(QStringLiteral("A file transfer is running (")));
    QVERIFY(question.endsWith(QStringLiteral(" of 12800 bytes sent). Stop it?")));
    QTest::qWait(400);
    QCOMPARE(rig.Count(QStringLiteral("File transfer to 0 stopped")), 0);
    rig.Fixture.Action("mnuFileTransfer")->trigger(); // Yes, and another file
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(rig.Count(QStringLiteral("File transfer to 0 stopped after ")), 1);
    QVERIFY(rig.Lines().filter(QStringLiteral("stopped after ")).first().endsWith(
        QStringLiteral(" of 12800 bytes")));
    QTRY_VERIFY_WITH_TIMEOUT(rig.Count(QStringLiteral("File transfer to 0 complete: 100 bytes")) ==
                                 1,
                             5000);
    // The reader has the whole small file, and its status was the last heard before the log
    // said so: no answer to a fragment comes after.
    QVERIFY(rig.Pd.WaitForPrinted(QStringLiteral("received 0 100 ")));
    QTest::qWait(400);
    const QStringList lines = rig.Lines();
    const qsizetype complete = lines.indexOf(QRegularExpression(QStringLiteral(".*complete.*")));
    QCOMPARE(lines.mid(complete).filter(QStringLiteral("< addr=0: ")), QStringList{});
    QCOMPARE(rig.Count(QStringLiteral("complete")), 1);
}

// With polls hidden, the ACK to a command still shows; the ACKs to polls do not.
void TestNewUser::answersToCommandsStayInTheLog_data() {
    QTest::addColumn<QString>("hex");
    QTest::addColumn<QString>("name");
    QTest::newRow("output") << QStringLiteral("68 00 01 00 00") << QStringLiteral("SET_OUT");
    QTest::newRow("LED") << QStringLiteral("69 00 00 01 01 01 01 01 00 00 00 00 00 00 00")
                         << QStringLiteral("SET_LED");
    QTest::newRow("buzzer") << QStringLiteral("6A 00 02 01 01 01") << QStringLiteral("SET_BUZ");
}

void TestNewUser::answersToCommandsStayInTheLog() {
    QFETCH(QString, hex);
    QFETCH(QString, name);
    TRig rig;
    QVERIFY(rig.Start());
    QTest::qWait(150); // polls answered with ACK meanwhile
    QCOMPARE(rig.Count(QStringLiteral("< addr=0: ACK")), 0);
    rig.SendHex(hex);
    QTRY_VERIFY_WITH_TIMEOUT(rig.Count(QStringLiteral("< addr=0: ACK")) == 1, 3000);
    const QStringList lines = rig.Lines();
    const qsizetype sent = lines.indexOf(QRegularExpression(QStringLiteral("> addr=0: ") + name + QStringLiteral(".*")));
    QVERIFY2(sent >= 0 && lines.indexOf(QStringLiteral("< addr=0: ACK")) > sent,
             qPrintable(lines.join(QLatin1Char('\n'))));
    QTest::qWait(150);
    QCOMPARE(rig.Count(QStringLiteral("< addr=0: ACK")), 1);
}

// Each command a person sends to a reader that stays silent gets its own line, and the
// TIMEOUT line comes once, when the reader fell silent.
void TestNewUser::commandToASilentReaderIsLogged() {
    TRig rig;
    QVERIFY(rig.Start({QStringLiteral("--silent")}));
    QTRY_VERIFY_WITH_TIMEOUT(rig.Count(QStringLiteral("TIMEOUT (no reply from 0)")) == 1, 3000);
    rig.SendHex(QStringLiteral("61 00"));
    QTRY_VERIFY_WITH_TIMEOUT(rig.Fixture.Logged(QStringLiteral("GET_ID to 0: no reply")), 3000);
    rig.Fixture.Action("mnuGetLSTAT")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(rig.Fixture.Logged(QStringLiteral("GET_STAT to 0: no reply")), 3000);
    QCOMPARE(rig.Count(QStringLiteral("TIMEOUT (no reply from 0)")), 1);
    QCOMPARE(rig.Count(QStringLiteral(": no reply")), 2); // polls are no person's commands
}

// A reader with a key of its own refuses the default key; the log says what to do.
void TestNewUser::refusedDefaultKeyGetsAHint() {
    TRig rig;
    QVERIFY(rig.Start({QStringLiteral("--scbk"), QStringLiteral("000102030405060708090A0B0C0D0E0F")}));
    rig.Fixture.Action("mnuSetChlng")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.Fixture.Logged(QStringLiteral(
            "Secure channel with 0 not established (plain reply); the reader refused the default "
            "key: untick Use default key and give its key")),
        3000);
}

// Buttons look like buttons, a plain answer carries no error icon, and the capture dialogs
// share one folder; the file lists show their size and date columns whole.
void TestNewUser::dialogsLookAndRememberAsExpected() {
    TRig rig;
    QVERIFY(rig.Start());
    QStringList seen;
    {
    TModalAnswerer codes({
        [&](QWidget* d) {
            for (const char* name : {"btnAdd", "btnDelete", "btnCheck"})
                seen << QString::number(Child<QToolButton>(d, name)->autoRaise());
            QTimer::singleShot(0, [d] { Child<QToolButton>(d, "btnCheck")->click(); });
        },
        [&](QWidget* d) {
            auto* box = qobject_cast<QMessageBox*>(d);
            seen << box->text() << QString::number(box->icon() == QMessageBox::Information);
            Accept(d);
        },
        Reject,
    });
    rig.Fixture.Action("mnuRDX900_SetCC")->trigger();
    QVERIFY2(codes.AllAnswered(), qPrintable(codes.Report()));
    }
    QCOMPARE(seen, QStringLiteral("0|0|0|No customer-code found or command not supported|1")
                       .split(QLatin1Char('|')));

    QTemporaryDir dir;
    const QString capture = dir.filePath(QStringLiteral("line.osdpcap"));
    QString openedIn;
    int wholeColumns = 0;
    TModalAnswerer files({
        PickFile(capture),
        [&](QWidget* d) {
            openedIn = qobject_cast<QFileDialog*>(d)->directory().absolutePath();
            QHeaderView* header = Child<QTreeView>(d, "treeView")->header();
            for (int c = 1; c < header->count(); ++c)
                wholeColumns += header->sectionResizeMode(c) == QHeaderView::ResizeToContents;
            Reject(d);
        },
    });
    rig.Fixture.Action("mnuStartCapture")->trigger();
    rig.Fixture.Action("mnuStopCapture")->trigger();
    rig.Fixture.Action("mnuOpenCapture")->trigger();
    QVERIFY2(files.AllAnswered(), qPrintable(files.Report()));
    QCOMPARE(openedIn, QFileInfo(dir.path()).absoluteFilePath());
    QCOMPARE(wholeColumns, 3);
}

// A quick search stops at a reader that answers the broadcast; asking every address also
// finds the one that takes no notice of broadcasts. The summary says which was used.
void TestNewUser::findDevicesCanAskEveryAddress_data() {
    QTest::addColumn<int>("search");
    QTest::addColumn<QString>("summary");
    QTest::newRow("quick") << 0
                           << QStringLiteral("Find devices: 1 found (4), 0 addresses silent; quick "
                                             "search (broadcast first)");
    QTest::newRow("every address")
        << 1
        << QStringLiteral(
               "Find devices: 2 found (4, 12), 14 addresses silent; every address asked");
}

void TestNewUser::findDevicesCanAskEveryAddress() {
    QFETCH(int, search);
    QFETCH(QString, summary);
    TRig rig;
    QVERIFY(rig.Start({QStringLiteral("--broadcast-own-address"), QStringLiteral("--address"),
                       QStringLiteral("4"), QStringLiteral("--address"), QStringLiteral("12"),
                       QStringLiteral("--no-broadcast")}));
    TModalAnswerer answer({[&](QWidget* d) {
        QTimer::singleShot(0, [&, d] {
            Child<QLineEdit>(d, "EditWait")->setText(QStringLiteral("20"));
            Child<QLineEdit>(d, "EditLast")->setText(QStringLiteral("15"));
            Child<QComboBox>(d, "ComboSearch")->setCurrentIndex(search);
            Child<QPushButton>(d, "btnStart")->click();
            Child<QPushButton>(d, "btnClose")->click();
        });
    }});
    rig.Fixture.Action("mnuFindDevices")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QVERIFY2(rig.Fixture.Logged(summary), qPrintable(rig.Fixture.LogText()));
}

// "Reset counters" empties the last command too; a broadcast gets a row of its own.
void TestNewUser::devicesTableResetAndBroadcastRow() {
    TRig rig;
    QVERIFY(rig.Start());
    TDeviceTable& table = rig.Window->DeviceTable();
    rig.SendHex(QStringLiteral("61 00"));
    QTRY_COMPARE_WITH_TIMEOUT(table.Stats(0).LastCommand, QStringLiteral("GET_ID"), 3000);
    QVERIFY(table.Stats(0).Polls > 0);
    rig.Window->findChild<QPushButton*>(QStringLiteral("btnResetCounters"))->click();
    QCOMPARE(table.Stats(0).LastCommand, QString());
    QCOMPARE(table.Stats(0).LastAnswer, QString());
    QCOMPARE(table.data(table.index(table.RowOf(0), TDeviceTable::colLastCommand),
                        Qt::DisplayRole),
             QVariant(QString()));

    QCOMPARE(table.RowOf(kBroadcastAddress), -1);
    rig.Window->SelectAddress(kBroadcastAddress);
    rig.SendHex(QStringLiteral("61 00"));
    QTRY_VERIFY_WITH_TIMEOUT(table.Stats(kBroadcastAddress).LastCommand == QStringLiteral("GET_ID"),
                             3000);
    table.Refresh();
    const int row = table.RowOf(kBroadcastAddress);
    QVERIFY(row >= 0);
    QCOMPARE(table.data(table.index(row, TDeviceTable::colAddress), Qt::DisplayRole),
             QVariant(QStringLiteral("127 (broadcast)")));
}

// The log keeps a firmware update's start, its end or why it failed, and that polling
// stood still for it.
void TestNewUser::firmwareUpdateLeavesATrace_data() {
    QTest::addColumn<QStringList>("pdArgs");
    QTest::addColumn<QString>("end");
    QTest::newRow("done") << QStringList{} << QStringLiteral("done in ");
    QTest::newRow("refused")
        << QStringList{QStringLiteral("--boot-refuse-unlock")} << QStringLiteral("failed after ");
}

void TestNewUser::firmwareUpdateLeavesATrace() {
    QFETCH(QStringList, pdArgs);
    QFETCH(QString, end);
    QTemporaryDir dir;
    TRig rig;
    QVERIFY(rig.Start(pdArgs << QStringLiteral("--pty") << dir.filePath(QStringLiteral("reader"))));
    const QByteArray image = "?5244390000\r\n!0102030405\r\n!0x06 0x07\r\n";
    const QString path = WriteFile(dir, QStringLiteral("rdx900.kfw"), image);
    TModalAnswerer answer({
        [&](QWidget* d) {
            Child<QLineEdit>(d, "EditFile")->setText(path);
            QTimer::singleShot(0, [d] { Child<QPushButton>(d, "btnDownload")->click(); });
        },
        Accept, // the outcome's box
        [](QWidget* d) { Child<QPushButton>(d, "btnClose")->click(); },
    });
    rig.Fixture.Action("mnuRDX900_DFU")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    const QStringList lines = rig.Lines();
    const QString who = QStringLiteral("Firmware update of the reader at 0 ");
    const qsizetype stopped = lines.indexOf(QStringLiteral("Polling stopped for the firmware update"));
    const qsizetype started = lines.indexOf(
        who + QStringLiteral("started: rdx900.kfw (%1 bytes)").arg(image.size()));
    const qsizetype ended = lines.indexOf(QRegularExpression(QRegularExpression::escape(who + end) +
                                                             QStringLiteral(".*")));
    const qsizetype again =
        lines.indexOf(QStringLiteral("Polling started again after the firmware update"));
    QVERIFY2(stopped >= 0 && stopped < started && started < ended && ended < again,
             qPrintable(lines.join(QLatin1Char('\n'))));
}

QTEST_MAIN(TestNewUser)
#include "tst_new_user.moc"
