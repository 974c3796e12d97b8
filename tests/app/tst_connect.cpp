// Connecting and disconnecting through the window, and the two port dialogs.

#include "link/form_select_port.h"
#include "link/link.h"
#include "support/modal_answerer.h"
#include "support/pty_pair.h"
#include "support/window_fixture.h"

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace quintrel;
using namespace quintrel::test;

namespace {

template <typename T> T* Child(QWidget* dialog, const char* name) {
    return dialog->findChild<T*>(QLatin1String(name));
}

void ClickOk(QWidget* dialog) {
    Child<QPushButton>(dialog, "btnOK")->click();
}

QString SelectedRate(QWidget* dialog) {
    const auto items = Child<QListWidget>(dialog, "ListBaud")->selectedItems();
    return items.isEmpty() ? QString() : items.front()->text();
}

} // namespace

class TestConnect : public QObject {
    Q_OBJECT

  private slots:
    void connectAndDisconnectOverTcp();
    void failedOpenShowsTheReason_data();
    void failedOpenShowsTheReason();
    void statusNamesThePort_data();
    void statusNamesThePort();
    void rateListOnlyForSerialPorts_data();
    void rateListOnlyForSerialPorts();
    void rateOutsideTheListIsKept();
    void typedNameIsKept();
    void systemPortsListedByPath();
    void setupCommunication();
};

void TestConnect::connectAndDisconnectOverTcp() {
    TWindowFixture f;
    TFormMain& w = f.Start();
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const QString name = QStringLiteral("127.0.0.1:%1").arg(server.serverPort());

    QStringList seen;
    TModalAnswerer answer({[&](QWidget* dialog) {
        auto* port = Child<QComboBox>(dialog, "ComboPort");
        auto* rates = Child<QListWidget>(dialog, "ListBaud");
        if (!port) return Reject(dialog);
        seen << dialog->windowTitle() << port->currentText() << SelectedRate(dialog)
             << port->itemText(port->count() - 1);
        const bool rateForCom = rates->isEnabled();
        port->setEditText(name);
        QVERIFY(rateForCom && !rates->isEnabled());
        ClickOk(dialog);
    }});
    f.Action("mnuConnect")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(seen, QStringList({QStringLiteral("Select Port"), QStringLiteral("COM1"),
                                QStringLiteral("9600"), QStringLiteral("hostname:portnumber")}));

    QVERIFY(w.Engine().Port().IsOpen());
    QCOMPARE(w.Engine().Port().GetPortName(), name);
    QCOMPARE(w.Engine().Port().Baud(), 9600);
    QCOMPARE(f.StatusPanel(0), QStringLiteral("Connected to ") + name);
    QVERIFY(f.Logged(QStringLiteral("START")));
    QVERIFY(!f.Action("tbnConnect")->isEnabled() && f.Action("tbnDisconnect")->isEnabled());

    // The poll cycle has begun: the first frame reaches the far end.
    QTRY_VERIFY(server.hasPendingConnections());
    QTcpSocket* peer = server.nextPendingConnection();
    QTRY_VERIFY(peer->bytesAvailable() >= 2);
    QCOMPARE(peer->read(2), QByteArray("\xFF\x53", 2));

    f.Action("mnuDisconnect")->trigger();
    QVERIFY(!w.Engine().Port().IsOpen());
    QCOMPARE(f.StatusPanel(0), QStringLiteral("Disconnected"));
    QVERIFY(f.Logged(QStringLiteral("STOP")));
    QVERIFY(f.Action("tbnConnect")->isEnabled() && !f.Action("tbnDisconnect")->isEnabled());
}

void TestConnect::failedOpenShowsTheReason_data() {
    QTest::addColumn<QString>("missing");
    QTest::newRow("device") << QStringLiteral("/dev/quintrel-no-such-port");
    QTest::newRow("TCP, refused") << QStringLiteral("127.0.0.1:1");
}

void TestConnect::failedOpenShowsTheReason() {
    QFETCH(QString, missing);
    TWindowFixture f;
    TFormMain& w = f.Start();
    QString text;
    TModalAnswerer answer({[&](QWidget* dialog) {
                               Child<QComboBox>(dialog, "ComboPort")->setEditText(missing);
                               ClickOk(dialog);
                           },
                           [&](QWidget* dialog) {
                               if (auto* box = qobject_cast<QMessageBox*>(dialog))
                                   text = box->text();
                               Accept(dialog);
                           }});
    f.Action("tbnConnect")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QVERIFY2(text.startsWith(QStringLiteral("Error: failed to open ") + missing), qPrintable(text));
    QVERIFY(!w.Engine().Port().IsOpen());
    QVERIFY(!w.Engine().Polling());
    QCOMPARE(f.StatusPanel(0), QString());
    QVERIFY(f.Action("tbnConnect")->isEnabled() && !f.Action("tbnDisconnect")->isEnabled());
}

void TestConnect::statusNamesThePort_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("TCP client") << QStringLiteral("client");
    QTest::newRow("TCP server") << QStringLiteral("server");
    if (TPtyPair::SocatInstalled()) QTest::newRow("device path") << QStringLiteral("device");
}

// The port as the user named it, not a made-up COM number; and what described the
// connection is gone once it is closed.
void TestConnect::statusNamesThePort() {
    QFETCH(QString, kind);
    TWindowFixture f;
    TFormMain& w = f.Start();
    QTcpServer peer;
    TPtyPair pair;
    QString name;
    QString error;
    if (kind == QLatin1String("client")) {
        QVERIFY(peer.listen(QHostAddress::LocalHost));
        name = QStringLiteral("127.0.0.1:%1").arg(peer.serverPort());
    } else if (kind == QLatin1String("server")) {
        QVERIFY(peer.listen(QHostAddress::LocalHost)); // only to learn a free port
        name = QStringLiteral("server:%1").arg(peer.serverPort());
        peer.close();
    } else {
        QVERIFY2(pair.Start(&error), qPrintable(error));
        name = pair.PathA();
    }
    w.Engine().Port().SetPortName(name);
    QVERIFY2(w.Engine().OpenPort(&error), qPrintable(error));
    QCOMPARE(f.StatusPanel(0), QStringLiteral("Connected to ") + name);
    // Nobody answers: panel 2 tells of the time-out, panel 1 of the poll.
    QTRY_COMPARE_WITH_TIMEOUT(f.StatusPanel(2), QStringLiteral("Timeout 0"), 2000);
    QCOMPARE(f.StatusPanel(1), QStringLiteral("Polling 0"));
    f.Action("mnuDisconnect")->trigger();
    QCOMPARE(f.StatusPanel(0), QStringLiteral("Disconnected"));
    QCOMPARE(f.StatusPanel(1), QString());
    QCOMPARE(f.StatusPanel(2), QString());
}

void TestConnect::rateListOnlyForSerialPorts_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("applies");
    QTest::newRow("COM1") << QStringLiteral("COM1") << true;
    QTest::newRow("COM256") << QStringLiteral("COM256") << true;
    QTest::newRow("COM0") << QStringLiteral("COM0") << false;
    QTest::newRow("COM") << QStringLiteral("COM") << false;
    QTest::newRow("COMX") << QStringLiteral("COMX") << false;
    QTest::newRow("lower case") << QStringLiteral("com3") << false;
    QTest::newRow("device path") << QStringLiteral("/dev/ttyUSB0") << true;
    QTest::newRow("tcp") << QStringLiteral("127.0.0.1:4001") << false;
    QTest::newRow("server") << QStringLiteral("server:4001") << false;
}

void TestConnect::rateListOnlyForSerialPorts() {
    QFETCH(QString, name);
    QFETCH(bool, applies);
    QCOMPARE(TFormSelectPort::RateApplies(name), applies);
}

// A rate the list does not offer (an osdp_COM reply can set one) shows no selection, and
// OK without a chosen rate keeps the port's rate.
void TestConnect::rateOutsideTheListIsKept() {
    TWindowFixture f;
    TFormMain& w = f.Start();
    w.Engine().Port().SetBaud(14400);
    QString presetRate = QStringLiteral("?");
    TModalAnswerer answer(
        {[&](QWidget* d) {
             presetRate = SelectedRate(d);
             Child<QComboBox>(d, "ComboPort")->setEditText(QStringLiteral("/dev/quintrel-none"));
             ClickOk(d);
         },
         [](QWidget* d) { Accept(d); }});
    f.Action("mnuConnect")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(presetRate, QString());
    QCOMPARE(w.Engine().Port().Baud(), 14400);
}

// A name the list does not hold is put into the box as text and comes back unchanged, also
// when Enter closes the dialog, and also when it is typed over a listed name.
void TestConnect::typedNameIsKept() {
    TFormSelectPort dialog;
    QString shown;
    TModalAnswerer answer({[&](QWidget* d) {
                               auto* port = Child<QComboBox>(d, "ComboPort");
                               shown = port->currentText();
                               QTest::keyClick(port, Qt::Key_Return);
                           },
                           [&](QWidget* d) {
                               auto* port = Child<QComboBox>(d, "ComboPort");
                               shown = port->currentText();
                               port->lineEdit()->selectAll();
                               QTest::keyClicks(port->lineEdit(), QStringLiteral("localhost:4001"));
                               QTest::keyClick(port, Qt::Key_Return);
                           }});
    const auto typed = dialog.Execute({QStringLiteral("server:4001"), 9600});
    QCOMPARE(shown, QStringLiteral("server:4001"));
    QCOMPARE(typed, (TPortChoice{QStringLiteral("server:4001"), 9600}));
    const auto overtyped = dialog.Execute({QStringLiteral("hostname:portnumber"), 9600});
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(shown, QStringLiteral("hostname:portnumber"));
    QCOMPARE(overtyped, (TPortChoice{QStringLiteral("localhost:4001"), 9600}));
}

void TestConnect::setupCommunication() {
    TWindowFixture f;
    TLink& port = f.Start().Engine().Port();
    const auto lists = {"ComboBaud", "ComboDataBits", "ComboParity", "ComboStopBits"};
    QStringList shown;
    const auto choose = [&](QStringList texts, bool ok) {
        return [&shown, lists, texts, ok](QWidget* d) {
            shown.clear();
            int i = 0;
            for (const char* name : lists) {
                auto* combo = Child<QComboBox>(d, name);
                shown << combo->currentText();
                if (!texts[i].isEmpty()) combo->setCurrentText(texts[i]);
                ++i;
            }
            ok ? ClickOk(d) : Reject(d);
        };
    };
    const auto values = [&port] {
        return QList<int>({port.Baud(), port.DataBits(), port.Parity(), port.StopBits()});
    };
    const QStringList keep(4, QString());
    TModalAnswerer answer({choose(QStringLiteral("19200 7 Even 2").split(QLatin1Char(' ')), true),
                           choose(keep, true),
                           choose(QStringLiteral("1200 8 None 1").split(QLatin1Char(' ')), false)});
    QAction* setup = f.Action("mnuSetupComm");
    setup->trigger();
    QCOMPARE(shown.join(QLatin1Char(' ')), QStringLiteral("9600 8 None 1"));
    QCOMPARE(values(), QList<int>({19200, 7, 2, 2}));

    // Values no list offers leave those lists empty, and OK keeps them.
    port.SetBaud(14400);
    port.SetParity(5);
    setup->trigger();
    QCOMPARE(shown.join(QLatin1Char(' ')), QStringLiteral(" 7  2"));
    QCOMPARE(values(), QList<int>({14400, 7, 5, 2}));

    setup->trigger(); // Cancel
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(values(), QList<int>({14400, 7, 5, 2}));
}

// The system's serial ports by their device paths with what the system says of each; a listed
// port chosen comes back as its path, and typed COMn names keep working.
void TestConnect::systemPortsListedByPath() {
    const auto ports = TLink::ListSerialPorts();
    TFormSelectPort dialog;
    QStringList rows;
    QStringList expected;
    for (const auto& port : ports)
        expected << port.Path + QLatin1Char('|') + port.Description;
    expected << QStringLiteral("hostname:portnumber|");
    TModalAnswerer answer({[&](QWidget* d) {
                               auto* port = Child<QComboBox>(d, "ComboPort");
                               const QAbstractItemModel* model = port->model();
                               for (int row = 0; row < model->rowCount(); ++row)
                                   rows << model->index(row, 0).data().toString() +
                                               QLatin1Char('|') +
                                               model->index(row, 1).data().toString();
                               port->setCurrentIndex(0);
                               ClickOk(d);
                           },
                           [&](QWidget* d) { ClickOk(d); }});
    const auto chosen = dialog.Execute({QStringLiteral("COM3"), 9600});
    QCOMPARE(rows, expected);
    QCOMPARE(chosen->PortName, ports.empty() ? QStringLiteral("hostname:portnumber")
                                             : ports.front().Path);
    const auto typed = dialog.Execute({QStringLiteral("COM3"), 9600});
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(typed->PortName, QStringLiteral("COM3"));
    for (const auto& port : ports)
        QVERIFY2(port.Path.startsWith(QLatin1String("/dev/")), qPrintable(port.Path));
}

QTEST_MAIN(TestConnect)
#include "tst_connect.moc"
