// File > "Listen to line...": the port chosen as for Connect, opened only to listen; the
// status bar names it, and everything that would send is disabled until Disconnect.

#include "osdp/frame_codec.h"
#include "poll_list.h"
#include "support/modal_answerer.h"
#include "support/pty_pair.h"
#include "support/window_fixture.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QLabel>
#include <QTest>

using namespace quintrel;
using namespace quintrel::test;

namespace {

QByteArray Frame(std::uint8_t code, bool reply, std::initializer_list<std::uint8_t> payload) {
    TOsdpRequest r;
    r.Command = code;
    r.Address = 0;
    std::uint16_t n = 0;
    for (std::uint8_t b : payload)
        r.Payload[n++] = b;
    r.PayloadLength = n;
    TDeviceState device{};
    std::array<std::uint8_t, kFrameBufferSize> tx{};
    const TEncodeResult e = EncodeFrame(r, &device, true, tx.data(), reply);
    return QByteArray(reinterpret_cast<const char*>(tx.data()), static_cast<qsizetype>(e.Length));
}

// Chooses the port in the "Select Port" dialog that the action opens.
bool ListenThrough(TWindowFixture& f, const QString& name) {
    TModalAnswerer answer({[&](QWidget* dialog) {
        auto* port = dialog->findChild<QComboBox*>(QStringLiteral("ComboPort"));
        if (!port) return Reject(dialog);
        port->setEditText(name);
        dialog->findChild<QPushButton*>(QStringLiteral("btnOK"))->click();
    }});
    f.Action("mnuListen")->trigger();
    if (!answer.AllAnswered()) qWarning("%s", qPrintable(answer.Report()));
    return answer.AllAnswered();
}

// Everything that would put a byte on the line.
const char* const kSending[] = {
    "mnuGetID",        "mnuGetCAP",      "mnuGetLSTAT",     "mnuGetISTAT", "mnuGetOSTAT",
    "mnuSetOut",       "mnuSetLED",      "mnuSetBUZ",       "mnuSetCOM",   "mnuSetChlng",
    "mnuSetKey",       "mnuFindDevices", "mnuFileTransfer", "mnuResetAll", "mnuRDX900_DFU",
    "mnuRDX900_SetCC", "mnuORBA_SetCC",  "tbnStartPoll"};

} // namespace

class TestListenWindow : public QObject {
    Q_OBJECT

  private slots:
    void listenOverTcp();
    void statusGivesTheSpeedOfASerialLine();
};

void TestListenWindow::listenOverTcp() {
    TWindowFixture f;
    TFormMain& w = f.Start();
    auto* file = w.findChild<QMenu*>(QStringLiteral("mnuFile"));
    QVERIFY(file->actions().contains(f.Action("mnuListen")));
    QCOMPARE(f.Action("mnuListen")->text(), QStringLiteral("L&isten to line\u2026"));

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const QString name = QStringLiteral("127.0.0.1:%1").arg(server.serverPort());
    QVERIFY(ListenThrough(f, name));
    QVERIFY(w.Engine().Listening());
    QCOMPARE(f.StatusPanel(0), QStringLiteral("Listening on ") + name);
    for (const char* action : kSending)
        QVERIFY2(!f.Action(action)->isEnabled(), action);
    auto* send = w.findChild<QPushButton*>(QStringLiteral("btnSend"));
    QVERIFY(!send->isEnabled());
    QVERIFY(!f.Action("mnuConnect")->isEnabled() && !f.Action("mnuListen")->isEnabled());
    QVERIFY(f.Action("mnuDisconnect")->isEnabled());
    QVERIFY(f.Action("mnuStartCapture")->isEnabled()); // capture works while listening

    // What is heard is logged and colours its address; Enter in the command line sends nothing.
    QTRY_VERIFY(server.hasPendingConnections());
    QTcpSocket* peer = server.nextPendingConnection();
    peer->write(Frame(0x61, false, {0x00}) + Frame(0x48, true, {0x00, 0x00}));
    QTRY_VERIFY_WITH_TIMEOUT(f.Logged(QStringLiteral("< addr=0: RES_STAT(TAMPER=ok, POWER=ok)")),
                             3000);
    QVERIFY(f.Logged(QStringLiteral("> addr=0: GET_ID(00)")));
    QVERIFY(PollItemColour(w.Engine().Polling(), w.Engine().Devices()[0], w.Engine().Heard(0))
                .has_value());
    QVERIFY(!PollItemColour(false, w.Engine().Devices()[1], w.Engine().Heard(1)).has_value());
    auto* command = w.findChild<QComboBox*>(QStringLiteral("EditCmd"));
    command->setEditText(QStringLiteral("61 00"));
    command->setFocus();
    QTest::keyClick(command->lineEdit(), Qt::Key_Return);
    QVERIFY(!peer->waitForReadyRead(300));
    QCOMPARE(peer->bytesAvailable(), 0);

    f.Action("mnuDisconnect")->trigger();
    QVERIFY(!w.Engine().Listening());
    QCOMPARE(f.StatusPanel(0), QStringLiteral("Disconnected"));
    QVERIFY(f.Action("mnuGetID")->isEnabled() && send->isEnabled());
    QVERIFY(f.Action("mnuConnect")->isEnabled() && f.Action("mnuListen")->isEnabled());
}

void TestListenWindow::statusGivesTheSpeedOfASerialLine() {
    if (!TPtyPair::SocatInstalled()) QSKIP("socat is not installed");
    TPtyPair pair;
    QString error;
    QVERIFY2(pair.Start(&error), qPrintable(error));
    TWindowFixture f;
    TFormMain& w = f.Start();
    w.Engine().Port().SetBaud(19200);
    QVERIFY(ListenThrough(f, pair.PathA()));
    QCOMPARE(f.StatusPanel(0), QStringLiteral("Listening on %1 at 19200 baud").arg(pair.PathA()));
    // The panel is as wide as its text, however long the path.
    emit w.Engine().StatusText(0, QStringLiteral("Listening on /dev/serial/by-id/"
                                                 "usb-FTDI_FT232R_USB_UART_A10KX7QZ-if00-port0 at "
                                                 "115200 baud"));
    f.StatusPanel(0);
    auto* panel = w.findChild<QLabel*>(QStringLiteral("StatusPanel0"));
    QVERIFY(panel->maximumWidth() >= panel->fontMetrics().horizontalAdvance(panel->text()));
    QVERIFY(panel->sizeHint().width() >= panel->fontMetrics().horizontalAdvance(panel->text()));
    QVERIFY(!f.Action("tbnStartPoll")->isEnabled());
    f.Action("mnuDisconnect")->trigger();
}

QTEST_MAIN(TestListenWindow)
#include "tst_listen_window.moc"
