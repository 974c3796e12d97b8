// Talking to the simulated reader through the window: the OSDP menu and its dialogs,
// the command history, decoded replies, and the secure channel with its key prompts.

#include "poll_list.h"
#include "support/modal_answerer.h"
#include "support/pd_window.h"

#include <QComboBox>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace quintrel;
using namespace quintrel::test;

class TestTalking : public QObject {
    Q_OBJECT

  private slots:
    void decodedRepliesAndCardRead();
    void historyKeepsOneEntryPerCommand();
    void ledDialogRepeatsUntilClosed();
    void closedPortKeepsTheHistoryEntry();
    void secureChannelWithTypedKey();
    void pollListColoursFollowTheDevices();
    void promptsOfTheSecureChannel();
    void setKeySaysWhatIsWrongWithTheKey();
    void numbersOutOfRangeAreRefused();
    void hexLineSendsWhatWasTyped_data();
    void hexLineSendsWhatWasTyped();
    void handshakeAnswerOpensNoBox_data();
    void handshakeAnswerOpensNoBox();
};

namespace {

struct TTalkRig : TPdWindowRig {
    QComboBox* History() const { return Window->findChild<QComboBox*>(QStringLiteral("EditCmd")); }
};

void ClickButton(QWidget* dialog, const char* name) {
    dialog->findChild<QPushButton*>(QLatin1String(name))->click();
}

} // namespace

void TestTalking::decodedRepliesAndCardRead() {
    TTalkRig rig;
    QVERIFY(rig.Start());
    rig.Fixture.Action("mnuGetID")->trigger();
    rig.Fixture.Action("mnuGetCAP")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(rig.Count(QStringLiteral("< addr=0: RES_CAP(")) == 1, 3000);
    QCOMPARE(rig.Count(QStringLiteral("< addr=0: RES_ID(MANUF=7C4E15")), 1);
    rig.Pd.Command(QStringLiteral("card 1234567 26"));
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.Count(QStringLiteral("< addr=0: EVT_RAW(FORMAT=WIEGAND, BITLEN=26, DATA=12D687, 26-bit FC=9 CN=27459)")) == 1,
        3000);
}

void TestTalking::historyKeepsOneEntryPerCommand() {
    TTalkRig rig;
    QVERIFY(rig.Start());
    rig.Fixture.Action("mnuGetLSTAT")->trigger();
    rig.Fixture.Action("mnuGetID")->trigger();
    rig.Fixture.Action("mnuGetLSTAT")->trigger();
    QComboBox* history = rig.History();
    QCOMPARE(history->count(), 2);
    QCOMPARE(history->itemText(0), QStringLiteral("61 00"));
    QCOMPARE(history->itemText(1), QStringLiteral("64"));
    QCOMPARE(history->currentText(), QStringLiteral("64"));
    // Typed hex goes through the same history and shows where it went.
    history->setEditText(QStringLiteral("  64 "));
    QTest::mouseClick(rig.Window->findChild<QPushButton*>(QStringLiteral("btnSend")),
                      Qt::LeftButton);
    QCOMPARE(history->count(), 2);
    QCOMPARE(rig.Fixture.StatusPanel(1).left(12), QStringLiteral("Command to 0"));
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.Count(QStringLiteral("< addr=0: RES_STAT(TAMPER=ok, POWER=ok)")) >= 2, 3000);
}

void TestTalking::ledDialogRepeatsUntilClosed() {
    TTalkRig rig;
    QVERIFY(rig.Start({QStringLiteral("--address"), QStringLiteral("0"),
                       QStringLiteral("--address"), QStringLiteral("5")}));
    auto* address = rig.Window->findChild<QComboBox*>(QStringLiteral("EditAddr"));
    const auto apply = [](QWidget* d) { ClickButton(d, "btnApply"); };
    TModalAnswerer answer({apply,
                           [&](QWidget* d) {
                               address->setCurrentIndex(5); // too late for this command
                               ClickButton(d, "btnApply");
                           },
                           apply, [](QWidget* d) { ClickButton(d, "btnClose"); }});
    rig.Fixture.Action("mnuSetLED")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.Count(QStringLiteral("> addr=0: SET_LED(00 00 02 01 01 02 00 0A 00 00 00 00 01 01)")) ==
            3,
        3000);
    QCOMPARE(rig.Count(QStringLiteral("> addr=5: SET_LED")), 0);
}

void TestTalking::closedPortKeepsTheHistoryEntry() {
    TWindowFixture f;
    TFormMain& w = f.Start();
    QStringList seen;
    TModalAnswerer answer({[&](QWidget* d) {
        if (auto* box = qobject_cast<QMessageBox*>(d)) seen << box->text();
        Accept(d);
    }});
    f.Action("mnuGetOSTAT")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(seen, QStringList{QStringLiteral("Error: no connection")});
    QCOMPARE(w.findChild<QComboBox*>(QStringLiteral("EditCmd"))->itemText(0), QStringLiteral("66"));
}

void TestTalking::secureChannelWithTypedKey() {
    TTalkRig rig;
    QVERIFY(
        rig.Start({QStringLiteral("--scbk"), QStringLiteral("00112233445566778899AABBCCDDEEFF")}));
    rig.Fixture.Action("mnuUseSCBK_D")->trigger();
    rig.Fixture.Action("mnuDiversifyMasterkey")->trigger();
    QVERIFY(!rig.Fixture.Action("mnuUseSCBK_D")->isChecked());
    TModalAnswerer answer(
        {Type(QStringLiteral("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF"))});
    rig.Fixture.Action("mnuSetChlng")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    TEngine& engine = rig.Window->Engine();
    QTRY_VERIFY_WITH_TIMEOUT(engine.Devices()[0].Session.State == ssEstablished, 3000);

    // Drawn blue while polling.
    auto* list = rig.Window->findChild<TPollList*>(QStringLiteral("EditDevices"));
    rig.Window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.Window));
    const QRect item = list->visualItemRect(list->item(0));
    QTRY_COMPARE_WITH_TIMEOUT(
        list->viewport()->grab().toImage().pixelColor(item.right() - 2, item.center().y()),
        QColor(0, 138, 255), 2000);
    rig.Fixture.Action("mnuGetID")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.Count(QStringLiteral("< addr=0: SCS18 - RES_ID(MANUF=7C4E15")) == 1, 3000);
    QCOMPARE(rig.Count(QStringLiteral("> addr=0: SCS17 - GET_ID(00)")), 1);

    // Disconnect and reconnect: no device keeps a session.
    rig.Fixture.Action("mnuDisconnect")->trigger();
    for (const TDeviceState& d : engine.Devices())
        QCOMPARE(d.Session.State, ssNone);
}

void TestTalking::pollListColoursFollowTheDevices() {
    TTalkRig rig;
    QVERIFY(rig.Start({QStringLiteral("--address"), QStringLiteral("0"),
                       QStringLiteral("--address"), QStringLiteral("1")}));
    TEngine& engine = rig.Window->Engine();
    auto* list = rig.Window->findChild<TPollList*>(QStringLiteral("EditDevices"));
    rig.Window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.Window));
    const auto colour = [list](int address) {
        const QRect item = list->visualItemRect(list->item(address));
        return list->viewport()->grab().toImage().pixelColor(item.right() - 2, item.center().y());
    };
    const QColor green(30, 174, 37), red(255, 0, 0), orange(255, 128, 0);

    list->item(1)->setCheckState(Qt::Checked); // as a click on its box
    QTRY_COMPARE_WITH_TIMEOUT(colour(0), green, 2000);
    QTRY_COMPARE_WITH_TIMEOUT(colour(1), green, 2000);
    rig.Pd.Command(QStringLiteral("silent 1"));
    QTRY_COMPARE_WITH_TIMEOUT(colour(1), red, 3000);
    rig.Pd.Command(QStringLiteral("bad-crc-every 1"));
    QTRY_COMPARE_WITH_TIMEOUT(colour(0), orange, 3000);
    QCOMPARE(colour(1), red);

    // Unticked: plain; ticked again: it alone starts afresh.
    list->item(1)->setCheckState(Qt::Unchecked);
    QTRY_VERIFY_WITH_TIMEOUT(colour(1) != red, 2000);
    const QColor plain = colour(1);
    list->item(1)->setCheckState(Qt::Checked);
    QCOMPARE(engine.Devices()[1].Status, dsOk);
    QCOMPARE(engine.Devices()[1].Sequence, 0);
    QCOMPARE(engine.Devices()[0].Status, dsError);

    // Polling off: every address in the window's own colours.
    rig.Fixture.Action("tbnStopPoll")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(colour(0), plain, 2000);
    QCOMPARE(colour(1), plain);
}

void TestTalking::promptsOfTheSecureChannel() {
    TTalkRig rig;
    QVERIFY(rig.Start());
    QStringList prompts;
    const auto note = [&](const QString& text) {
        return [&prompts, text](QWidget* d) {
            auto* input = qobject_cast<QInputDialog*>(d);
            if (!input) return Reject(d);
            prompts << input->labelText() + QLatin1Char('|') + input->textValue();
            if (text.isNull()) return Reject(d);
            input->setTextValue(text);
            Accept(d);
        };
    };
    {
        // With SCBK-D on, no prompt at all.
        TModalAnswerer none({});
        rig.Fixture.Action("mnuSetChlng")->trigger();
        QVERIFY2(none.AllAnswered(), qPrintable(none.Report()));
    }
    rig.Fixture.Action("mnuUseSCBK_D")->trigger();
    const int before = rig.History()->count();
    {
        TModalAnswerer answer({note(QStringLiteral("000102030405060708090A0B0C0D0E0F")),
                               note(QString()), note(QStringLiteral("00 01")),
                               [&](QWidget* d) {
                                   prompts << qobject_cast<QMessageBox*>(d)->text();
                                   Accept(d);
                               },
                               note(QString())});
        rig.Fixture.Action("mnuSetChlng")->trigger(); // accepted: challenge sent
        rig.Fixture.Action("mnuSetChlng")->trigger(); // cancelled
        rig.Fixture.Action("mnuSetChlng")->trigger(); // too short: said, asked again, cancelled
        QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    }
    QCOMPARE(prompts.size(), 5);
    QCOMPARE(prompts[3], QStringLiteral("Error: the key has 4 hex digits; a key is 32 hex digits "
                                        "(16 bytes)"));
    QCOMPARE(prompts[4], QStringLiteral("Masterkey: |00 01")); // kept, to be corrected
    QCOMPARE(prompts[0],
             QStringLiteral("Masterkey: |00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
    QCOMPARE(prompts[1],
             QStringLiteral("Masterkey: |00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"));
    QCOMPARE(rig.History()->count(), before + 1); // only the accepted challenge
}

// "Set encryption key": the prompt shows a whole key, and a key that is no key is named
// and not sent; a good one is.
void TestTalking::setKeySaysWhatIsWrongWithTheKey() {
    TTalkRig rig;
    QVERIFY(rig.Start());
    const QString key = QStringLiteral("DE AD BE EF 0B 8D 4C 7A 95 E3 F1 26 A0 5D C9 3B");
    bool fits = false;
    QString refusal, kept;
    TModalAnswerer answer({
        [&](QWidget* d) {
            auto* edit = d->findChild<QLineEdit*>(QStringLiteral("EditKey"));
            QVERIFY(edit);
            // With the cursor at its end, the key's first digit is still in view.
            edit->setText(key);
            edit->setCursorPosition(static_cast<int>(key.size()));
            edit->repaint();
            fits = edit->cursorPositionAt(
                       QPoint(edit->contentsRect().left() + 1, edit->height() / 2)) == 0;
            Type(key.left(key.size() - 1))(d); // one digit short
        },
        [&](QWidget* d) {
            refusal = qobject_cast<QMessageBox*>(d)->text();
            Accept(d);
        },
        [&](QWidget* d) { // asked again with the digits typed, to be corrected
            kept = qobject_cast<QInputDialog*>(d)->textValue();
            Type(key)(d);
        },
    });
    rig.Fixture.Action("mnuSetKey")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QVERIFY(fits);
    QCOMPARE(refusal, QStringLiteral("Error: the key has 31 hex digits; a key is 32 hex digits "
                                     "(16 bytes)"));
    QCOMPARE(kept, key.left(key.size() - 1));
    QTRY_VERIFY_WITH_TIMEOUT(rig.Count(QStringLiteral("> addr=0: SET_KEY")) == 1, 3000);
    QTest::qWait(300); // a refused key queued before it would have gone out by now
    QCOMPARE(rig.Count(QStringLiteral("> addr=0: SET_KEY")), 1);
}

// A buzzer count of 999 would go out as E7: it is refused, named, and nothing is sent.
void TestTalking::numbersOutOfRangeAreRefused() {
    TTalkRig rig;
    QVERIFY(rig.Start());
    QString text;
    TModalAnswerer answer({
        [](QWidget* d) {
            d->findChild<QLineEdit*>(QStringLiteral("EditCount"))->setText(QStringLiteral("999"));
            QTimer::singleShot(0, [d] { ClickButton(d, "btnApply"); });
        },
        [&](QWidget* d) {
            text = qobject_cast<QMessageBox*>(d)->text();
            Accept(d);
        },
        [](QWidget* d) { ClickButton(d, "btnClose"); },
    });
    rig.Fixture.Action("mnuSetBUZ")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(text, QStringLiteral("Count: enter a whole number from 0 to 255"));
    QTest::qWait(100);
    QCOMPARE(rig.Count(QStringLiteral("SET_BUZ")), 0);
}

void TestTalking::hexLineSendsWhatWasTyped_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("error"); // empty: sent as typed
    QTest::addColumn<QString>("sent");  // the log line of what went
    QTest::newRow("junk") << QStringLiteral("zz 12")
                          << QStringLiteral(
                                 "Error: \"z\" is not a hexadecimal digit; nothing was sent")
                          << QString();
    QTest::newRow("not ASCII")
        << QStringLiteral("6\u00E99")
        << QStringLiteral("Error: \"\u00E9\" is not a hexadecimal digit; nothing was sent")
        << QString();
    QTest::newRow("0X like 0x") << QStringLiteral("0X66") << QString()
                                << QStringLiteral("> addr=0: GET_OSTAT");
    // Typed after "64" went out: "6" stays "6", never the old entry completed, and half a byte
    // is refused.
    QTest::newRow("no completion from the history")
        << QStringLiteral("6")
        << QStringLiteral("Error: \"6\" has an odd number of hex digits; nothing was sent")
        << QString();
    QTest::newRow("06") << QStringLiteral("06") << QString() << QStringLiteral("> addr=0: CMD_06");
}

void TestTalking::hexLineSendsWhatWasTyped() {
    QFETCH(QString, typed);
    QFETCH(QString, error);
    QFETCH(QString, sent);
    TTalkRig rig;
    QVERIFY(rig.Start());
    QComboBox* line = rig.History();
    rig.Window->showNormal(); // keys reach shortcuts only in the active window
    rig.Window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(rig.Window));
    line->setEditText(QStringLiteral("64"));
    line->setFocus();
    QTest::keyClick(line->lineEdit(), Qt::Key_Return); // once, not twice
    QTRY_VERIFY_WITH_TIMEOUT(rig.Count(QStringLiteral("< addr=0: RES_STAT(")) == 1, 3000);
    // Enter in the address box sends too.
    auto* address = rig.Window->findChild<QComboBox*>(QStringLiteral("EditAddr"));
    address->setFocus();
    QTest::keyClick(address, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(rig.Count(QStringLiteral("< addr=0: RES_STAT(")) == 2, 3000);
    QTest::qWait(100);
    QCOMPARE(rig.Count(QStringLiteral("> addr=0: GET_STAT")), 2);
    line->setFocus();
    const int before = static_cast<int>(rig.Lines().size());
    QString seen;
    TModalAnswerer answer(error.isEmpty() ? std::vector<TModalAnswerer::TAnswer>{}
                                          : std::vector<TModalAnswerer::TAnswer>{[&](QWidget* d) {
                                                seen = qobject_cast<QMessageBox*>(d)->text();
                                                Accept(d);
                                            }},
                          1000);
    line->lineEdit()->clear();
    for (const QChar c : typed) // typed key by key, so a completer would have its chance
        if (c.unicode() < 0x80)
            QTest::keyClick(line->lineEdit(), c.toLatin1());
        else
            line->lineEdit()->insert(c);
    QCOMPARE(line->currentText(), typed); // nothing completed from the history
    QTest::keyClick(line->lineEdit(), Qt::Key_Return);
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(seen, error);
    QTest::qWait(100);
    QCOMPARE(rig.Lines().mid(before).filter(QStringLiteral("> addr=0")),
             sent.isEmpty() ? QStringList{} : QStringList{sent});
}

// The automatic osdp_SCRYPT runs inside frame processing: whatever the address box shows
// by then, it goes to the reader that sent osdp_CCRYPT and raises no box.
void TestTalking::handshakeAnswerOpensNoBox_data() {
    QTest::addColumn<int>("boxIndex");
    QTest::newRow("BROADCAST") << 127;
    QTest::newRow("nothing") << -1;
}

void TestTalking::handshakeAnswerOpensNoBox() {
    QFETCH(int, boxIndex);
    TTalkRig rig;
    QVERIFY(rig.Start());
    auto* address = rig.Window->findChild<QComboBox*>(QStringLiteral("EditAddr"));
    address->setCurrentIndex(0);
    rig.Fixture.Action("mnuSetChlng")->trigger();
    address->setCurrentIndex(boxIndex);
    TModalAnswerer none({}, 3000); // any box that shows up is a failure
    QTRY_VERIFY_WITH_TIMEOUT(rig.Count(QStringLiteral("Secure channel with 0 established")) == 1,
                             3000);
    QCOMPARE(rig.Count(QStringLiteral("> addr=0: SCS13 - SET_SCRYPT(")), 1);
    QVERIFY2(none.AllAnswered(), qPrintable(none.Report()));
    QVERIFY(rig.Window->Engine().Polling());
}

QTEST_MAIN(TestTalking)
#include "tst_talking.moc"
