// The hex command line and the OSDP menu, composed into frames on a device inside the
// test process.

#include "support/composer_fixture.h"
#include "support/fake_device.h"

#include <QTest>

using namespace quintrel;
using namespace quintrel::test;

class TstComposer : public QObject {
    Q_OBJECT

  private slots:
    void HexSpellingsGiveTheSameFrame();
    void HexToBroadcastAndOverlongHex();
    void RepeatingDialogSendsUntilClosed();
    void ComSetWithoutRateIsRefused();
    void ClosedPortKeepsTheHistory();
    void SecureCommandsRefuseBroadcast();

  private:
    bool Connect(TComposerRig& rig, TFakeDevice& device) {
        if (!device.Listen() || !rig.Open(device.PortName()) || !device.WaitConnected())
            return false;
        rig.Engine.StopPolling();
        rig.Engine.WaitExchangeDone();
        return true;
    }
};

void TstComposer::HexSpellingsGiveTheSameFrame() {
    TFakeDevice device;
    TComposerRig rig;
    QVERIFY(Connect(rig, device));
    const std::size_t before = device.Frames.size();
    for (const char* text : {"0x69 00 01 02", "69000102", "0x690x000x010x02", "0X69 0X00 0102"}) {
        QVERIFY(rig.Composer.SendHex(QString::fromLatin1(text), 0));
        rig.Engine.WaitExchangeDone();
    }
    QVERIFY(device.WaitFrames(before + 4));
    for (std::size_t i = before; i < before + 4; ++i) {
        QCOMPARE(device.Frames[i].Code, 0x69);
        QCOMPARE(device.Frames[i].Bytes.mid(6, 3), QByteArray::fromHex("000102"));
    }
    QCOMPARE(rig.Status[1], QStringLiteral("Command to 0"));
    QVERIFY(!rig.Composer.SendHex(QStringLiteral("   "), 0)); // blank: nothing at all
    QVERIFY(rig.Ui.Errors.isEmpty());
    // Half a byte is refused, whole groups or not.
    for (const char* odd : {"613", "61 0", "0x6 01"}) {
        QVERIFY(!rig.Composer.SendHex(QString::fromLatin1(odd), 0));
        QVERIFY2(rig.Ui.Errors.last().endsWith(
                     QLatin1String("has an odd number of hex digits; nothing was sent")),
                 qPrintable(rig.Ui.Errors.last()));
    }
    QTest::qWait(50);
    QCOMPARE(device.Frames.size(), before + 4);
}

void TstComposer::HexToBroadcastAndOverlongHex() {
    TFakeDevice device;
    TComposerRig rig;
    QVERIFY(Connect(rig, device));
    QVERIFY(rig.Composer.SendHex(QStringLiteral("60"), 127));
    QCOMPARE(rig.Status[1], QStringLiteral("Command to 127"));
    rig.Engine.WaitExchangeDone();
    QVERIFY(QTest::qWaitFor([&] { return device.Frames.back().Address == 127; }, 2000));

    const std::size_t sent = device.Frames.size();
    QVERIFY(!rig.Composer.SendHex(QStringLiteral("69") + QStringLiteral("00").repeated(2080), 0));
    QVERIFY(rig.Ui.Errors.last().contains(QLatin1String("nothing was sent")));
    // Fits the hex buffer but not a frame: the engine refuses it.
    QVERIFY(!rig.Composer.SendHex(QStringLiteral("69") + QStringLiteral("00").repeated(2075), 0));
    QCOMPARE(rig.Ui.Errors.last(), QStringLiteral("Error: frame too long"));
    QTest::qWait(50);
    QCOMPARE(device.Frames.size(), sent);
}

void TstComposer::RepeatingDialogSendsUntilClosed() {
    TFakeDevice device;
    TComposerRig rig;
    rig.Select({0, 4});
    QVERIFY(device.Listen() && rig.Open(device.PortName()) && device.WaitConnected());
    rig.Host.Selected = 4;
    rig.Ui.Leds = {TLedControl{}, TLedControl{}, TLedControl{}};
    rig.Menu(0x69); // while polling: the three commands wait in the ring
    QCOMPARE(rig.Ui.History.size(), 3);
    QCOMPARE(rig.Ui.History.first(),
             QStringLiteral("69 00 00 02 01 01 02 00 0A 00 00 00 00 01 01"));
    QCOMPARE(rig.Ui.Repaints, 1);
    QTRY_VERIFY_WITH_TIMEOUT(std::count_if(device.Frames.begin(), device.Frames.end(),
                                           [](const TSentFrame& f) { return f.Code == 0x69; }) == 3,
                             3000);
    for (const TSentFrame& f : device.Frames)
        if (f.Code == 0x69) QCOMPARE(f.Address, 4);
}

void TstComposer::ComSetWithoutRateIsRefused() {
    TFakeDevice device;
    TComposerRig rig;
    QVERIFY(Connect(rig, device));
    const std::size_t sent = device.Frames.size();
    rig.Ui.ComSets = {TComSetChoice{5, QString()}};
    rig.Menu(0x6E);
    QCOMPARE(rig.Ui.Errors, QStringList{QStringLiteral("'' is not a valid integer value")});
    QVERIFY(rig.Ui.History.isEmpty());
    rig.Ui.ComSets = {TComSetChoice{5, QStringLiteral("9600")}};
    rig.Menu(0x6E);
    QCOMPARE(rig.Ui.History.first(), QStringLiteral("6E 05 80 25 00 00"));
    QVERIFY(device.WaitFrames(sent + 1));
}

void TstComposer::ClosedPortKeepsTheHistory() {
    TComposerRig rig;
    rig.Menu(0x64);
    QCOMPARE(rig.Ui.History, QStringList{QStringLiteral("64")});
    QCOMPARE(rig.Ui.Errors, QStringList{QStringLiteral("Error: no connection")});
    QCOMPARE(rig.CountContaining(QStringLiteral("GET_STAT")), 0); // not logged as sent
    rig.Ui.Errors.clear();
    // A repeating dialog does not open again after the failed write.
    rig.Ui.Outputs = {TOutputControl{}, TOutputControl{}};
    rig.Menu(0x68);
    QCOMPARE(rig.Ui.Outputs.size(), std::size_t{1});
    QCOMPARE(rig.Ui.Errors.size(), 1);
    QVERIFY(!rig.Composer.SendHex(QStringLiteral("60"), 0));
    QCOMPARE(rig.Ui.History.first(), QStringLiteral("60"));
    QVERIFY(rig.Status[1].isEmpty());
}

void TstComposer::SecureCommandsRefuseBroadcast() {
    TComposerRig rig;
    for (auto& d : rig.Engine.Devices())
        d.Session.State = ssEstablished;
    rig.Ui.Keys = {std::string("00112233445566778899AABBCCDDEEFF")};
    for (int tag : {0x75, 0x76, 0x77})
        rig.Composer.OnSendCmdClick(tag, 127);
    QCOMPARE(rig.Ui.Errors.size(), 3);
    QVERIFY(rig.Ui.History.isEmpty());
    QVERIFY(rig.Ui.Prompts.isEmpty());
    for (const auto& d : rig.Engine.Devices())
        QCOMPARE(d.Session.State, ssEstablished);
}

QTEST_GUILESS_MAIN(TstComposer)
#include "tst_composer.moc"
