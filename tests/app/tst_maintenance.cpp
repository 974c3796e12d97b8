// Reader maintenance through the window against the simulated reader, which keeps the
// state these commands change: customer codes and their mode, options, reset, and a file
// sent from the menu.

#include "maintenance/cust_codes.h"
#include "support/modal_answerer.h"
#include "support/pd_window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

using namespace quintrel;
using namespace quintrel::test;

class TestMaintenance : public QObject {
    Q_OBJECT

  private slots:
    void customerCodesReadEditedWritten();
    void lastCustomerCodeIsAddedAfterYes();
    void silentReaderGivesTheReadError();
    void optionsReadPreviewedWritten_data();
    void optionsReadPreviewedWritten();
    void resetReaderSettings_data();
    void resetReaderSettings();
    void fileTransferFromTheMenu();
    void firmwareUpdateFromTheMenu();
    void invalidFirmwareFileSaysWhy_data();
    void invalidFirmwareFileSaysWhy();
};

namespace {

struct TMaintenanceRig : TPdWindowRig {
    bool Start(QStringList pdArgs = {}) {
        return TPdWindowRig::Start(pdArgs << QStringLiteral("--record"));
    }
    QString Maker() {
        Pd.Ask(QStringLiteral("maker"));
        return Pd.Answer();
    }
};

template <typename T> T* Child(QWidget* dialog, const char* name) {
    return dialog->findChild<T*>(QLatin1String(name));
}

// Runs f once the answer has returned, inside the dialog's own loop, so that a dialog it
// opens is answered by the next answer.
void Later(std::function<void()> f) {
    QTimer::singleShot(0, std::move(f));
}

TModalAnswerer::TAnswer AddFromMenu(const char* item) {
    return [item](QWidget* dialog) {
        Later([dialog, item] { Child<QAction>(dialog, item)->trigger(); });
    };
}

QStringList Rows(QWidget* dialog) {
    auto* list = Child<QTableWidget>(dialog, "ListView1");
    QStringList rows;
    for (int i = 0; i < list->rowCount(); ++i)
        rows << list->item(i, 0)->text();
    return rows;
}

} // namespace

void TestMaintenance::customerCodesReadEditedWritten() {
    TMaintenanceRig rig;
    QVERIFY(rig.Start());
    QStringList seen;
    TModalAnswerer answer({
        [&](QWidget* d) {
            seen << QString::number(Rows(d).size());
            // The mode chosen first survives the adds and the refused entry below.
            auto* mode = Child<QComboBox>(d, "CustCodeEnable");
            seen << QString::number(mode->currentIndex());
            mode->setCurrentIndex(2);
            AddFromMenu("mnuAddDF")(d);
        },
        Type(QStringLiteral("1234")),
        AddFromMenu("mnuAddGF"),
        Type(QStringLiteral("256")),
        [&](QWidget* d) {
            seen << qobject_cast<QMessageBox*>(d)->text();
            Accept(d);
        },
        [&](QWidget* d) { // the prompt comes back with what was typed, to be corrected
            seen << qobject_cast<QInputDialog*>(d)->textValue();
            Type(QStringLiteral("5"))(d);
        },
        [&](QWidget* d) {
            seen << Rows(d).join(QLatin1Char(','));
            seen << QString::number(Child<QComboBox>(d, "CustCodeEnable")->currentIndex());
            Child<QPushButton>(d, "btnOK")->click();
        },
    });
    rig.Fixture.Action("mnuRDX900_SetCC")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(seen,
             QStringLiteral("0|0|Invalid customer code|256|DF1234,GF005|2").split(QLatin1Char('|')));
    // The reader now holds both codes and the mode byte of the third entry, 3.
    QCOMPARE(rig.Maker(), QString::asprintf("codes 06:%.4X,08:0005 mode 3 options 00 18 00",
                                            CodeTable[123] + 4));
}

void TestMaintenance::lastCustomerCodeIsAddedAfterYes() {
    TMaintenanceRig rig;
    QVERIFY(rig.Start());
    QVERIFY(rig.Pd.Ask(QStringLiteral("last-code 08 0007")));
    QString question;
    TModalAnswerer answer({
        [](QWidget* d) {
            Child<QComboBox>(d, "CustCodeEnable")->setCurrentIndex(1);
            Later([d] { Child<QToolButton>(d, "btnCheck")->click(); });
        },
        [&](QWidget* d) {
            auto* box = qobject_cast<QMessageBox*>(d);
            question = box->text();
            box->button(QMessageBox::Yes)->click();
        },
        [](QWidget* d) {
            QCOMPARE(Rows(d), QStringList{QStringLiteral("GF007")});
            Child<QPushButton>(d, "btnOK")->click();
        },
    });
    rig.Fixture.Action("mnuORBA_SetCC")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(
        question,
        QStringLiteral("Last customer code is :\n\nGF007\n\nClick Yes to add this customer-code?"));
    QCOMPARE(rig.Maker(), QStringLiteral("codes 08:0007 mode 1 options 00 18 00"));
}

void TestMaintenance::silentReaderGivesTheReadError() {
    TMaintenanceRig rig;
    QVERIFY(rig.Start({QStringLiteral("--silent")}));
    QString text;
    TModalAnswerer answer({[&](QWidget* d) {
        text = qobject_cast<QMessageBox*>(d)->text();
        Accept(d);
    }});
    rig.Fixture.Action("mnuRDX900_SetCC")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(text, QStringLiteral("Error: failed to read customer codes"));
}

void TestMaintenance::optionsReadPreviewedWritten_data() {
    QTest::addColumn<int>("optionBytes");
    QTest::addColumn<QString>("written");
    // Card type and vehicle/driver id ticked; an ID length of 300 is refused, 44 is written.
    // The reader's flags start as A0: bits the dialog does not show come back as they were.
    QTest::newRow("three option bytes") << 3 << QStringLiteral("options A5 2C 00");
    QTest::newRow("flags only: no lengths shown, none written")
        << 1 << QStringLiteral("options A5");
}

void TestMaintenance::optionsReadPreviewedWritten() {
    QFETCH(int, optionBytes);
    QFETCH(QString, written);
    TMaintenanceRig rig;
    QVERIFY(rig.Start({QStringLiteral("--options-bytes"), QString::number(optionBytes)}));
    QVERIFY(rig.Window->Maintenance().Ask(WriteVarFlags(0x7C4E15, 0, TVarFlags{0xA0, 24, 0})));
    QVERIFY(rig.Maker().contains(QLatin1String("options A0")));
    QStringList preview;
    QString refused;
    bool markup = false; // "<TT>" and the like must not be read as markup
    std::vector<TModalAnswerer::TAnswer> answers{[&](QWidget* d) {
        Child<QCheckBox>(d, "chkAddCardType")->click();
        Child<QCheckBox>(d, "chkAddVIDDID")->click();
        for (const char* label : {"LabelFormat1", "LabelFormat2", "LabelFormat3"}) {
            preview << Child<QLabel>(d, label)->text();
            markup = markup || Child<QLabel>(d, label)->textFormat() != Qt::PlainText;
        }
        auto* length = Child<QLineEdit>(d, "EditIDBitlen1");
        preview << QString::number(length->isVisibleTo(d));
        length->setText(QStringLiteral("300"));
        if (length->isVisibleTo(d)) {
            // The refusal is a box of its own, opened from inside this answer.
            QTimer::singleShot(50, d, [&] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (!box) return;
                refused = box->text();
                Accept(box);
            });
            Child<QPushButton>(d, "btnOK")->click();
        }
        length->setText(QStringLiteral("44"));
        Child<QPushButton>(d, "btnOK")->click();
    }};
    TModalAnswerer answer(answers);
    rig.Fixture.Action("mnuRDX900_SetVarFlags")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    if (optionBytes > 1)
        QCOMPARE(refused, QStringLiteral("Torva Qeno ID length (default 24): enter a whole "
                                         "number from 0 to 255"));
    QVERIFY(!markup);
    const QString visible = optionBytes > 1 ? QStringLiteral("1") : QStringLiteral("0");
    QCOMPARE(preview, QStringLiteral("01 <TT> <IDNO>|01 <TT> <VANTOR-ID>|02 <TT> <CARD-ID>|")
                          .append(visible)
                          .split(QLatin1Char('|')));
    QVERIFY(rig.Maker().endsWith(written));
}

void TestMaintenance::resetReaderSettings_data() {
    QTest::addColumn<bool>("yes");
    QTest::newRow("confirmed") << true;
    QTest::newRow("declined: nothing sent") << false;
}

void TestMaintenance::resetReaderSettings() {
    QFETCH(bool, yes);
    TMaintenanceRig rig;
    QVERIFY(rig.Start());
    TCustCodeList codes;
    codes.Add(8, 5);
    QVERIFY(rig.Window->Maintenance().Ask(WriteCustCodes(0x7C4E15, 0, codes)));
    QVERIFY(rig.Window->Maintenance().Ask(WriteCustCodeMode(0x7C4E15, 0, 1)));
    const QString before = QStringLiteral("codes 08:0005 mode 1 options 00 18 00");
    QCOMPARE(rig.Maker(), before);
    QString question;
    bool noIsDefault = false;
    TModalAnswerer answer({[&](QWidget* d) {
        auto* box = qobject_cast<QMessageBox*>(d);
        question = box->text();
        noIsDefault = box->defaultButton() == box->button(QMessageBox::No);
        box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
    }});
    rig.Fixture.Action("mnuResetAll")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(question, QStringLiteral("Reset the reader at address 0? Its customer codes, check "
                                      "mode and options are erased."));
    QVERIFY(noIsDefault);
    QCOMPARE(rig.Maker(), yes ? QStringLiteral("codes  mode 0 options 00 18 00") : before);
    QCOMPARE(rig.Fixture.LogText().count(QStringLiteral("Reader at address 0: settings reset")),
             yes ? 1 : 0);
}

void TestMaintenance::fileTransferFromTheMenu() {
    TMaintenanceRig rig;
    QVERIFY(rig.Start({QStringLiteral("--ft-delay"), QStringLiteral("300")}));
    QTemporaryDir dir;
    QByteArray bytes(130, '\x5A');
    QFile file(dir.filePath(QStringLiteral("reader.upd")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();
    TModalAnswerer answer({[&](QWidget* d) {
        // Typed as a person would: the dialog's own list fills asynchronously, and a
        // selection made through it before that may not be taken.
        auto* name = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(name);
        name->setText(file.fileName());
        Accept(d);
    }});
    rig.Fixture.Action("mnuFileTransfer")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    // While the device takes its time, the bar shows how far the transfer is.
    auto* bar = rig.Window->findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
    QVERIFY(bar->isVisibleTo(rig.Window));
    QCOMPARE(bar->maximum(), 130);
    QCOMPARE(bar->value(), 64);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.Pd.Printed(QStringLiteral("received ")).isEmpty(), 5000);
    QCOMPARE(rig.Pd.Printed(QStringLiteral("received ")).first(),
             QStringLiteral("received 0 130 %1")
                 .arg(QString::fromLatin1(
                     QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex())));
    QTRY_VERIFY_WITH_TIMEOUT(!bar->isVisibleTo(rig.Window), 3000); // at the last status
    QVERIFY(
        rig.Fixture.LogText().contains(QStringLiteral("File transfer to 0 complete: 130 bytes")));
}

void TestMaintenance::firmwareUpdateFromTheMenu() {
    QTemporaryDir dir;
    TMaintenanceRig rig;
    QVERIFY(rig.Start({QStringLiteral("--pty"), dir.filePath(QStringLiteral("reader"))}));
    QVERIFY(rig.Window->Engine().Polling());
    const QString path = dir.filePath(QStringLiteral("rdx900.kfw"));
    QFile kfw(path);
    QVERIFY(kfw.open(QIODevice::WriteOnly));
    kfw.write("?5244390000\r\n!0102030405\r\n!0x06 0x07\r\n");
    kfw.close();
    QStringList seen;
    // While the update runs, neither the Close button, Esc nor the title bar's close may
    // take the dialog away from under it.
    QTimer meddler;
    QStringList meddled;
    meddler.setInterval(20);
    QObject::connect(&meddler, &QTimer::timeout, [&] {
        auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!d || d->objectName() != QLatin1String("FormDFU") ||
            Child<QPushButton>(d, "btnDownload")->isEnabled())
            return;
        meddled << QStringLiteral("close %1").arg(Child<QPushButton>(d, "btnClose")->isEnabled());
        QTest::keyClick(d, Qt::Key_Escape);
        d->close();
        meddled << QStringLiteral("open %1").arg(d->isVisible());
        meddler.stop();
    });
    const auto startUpdate = [&](QWidget* d) {
        seen << Child<QLabel>(d, "LabelTitle")->text();
        Child<QLineEdit>(d, "EditFile")->setText(path);
        meddler.start();
        Later([d] { Child<QPushButton>(d, "btnDownload")->click(); });
    };
    const auto shown = [&](QWidget* d) {
        seen << QString::number(Child<QPushButton>(d, "btnDownload")->isVisibleTo(d));
        seen << QString::number(Child<QProgressBar>(d, "ProgressBar1")->value());
        Child<QPushButton>(d, "btnClose")->click();
    };
    TModalAnswerer answer({
        startUpdate,
        [&](QWidget* d) {
            seen << qobject_cast<QMessageBox*>(d)->text();
            Accept(d);
        },
        shown,
        shown, // opened again: "Update" is back, the bar at 0
    });
    rig.Fixture.Action("mnuRDX900_DFU")->trigger();
    QVERIFY(rig.Window->Engine().Polling()); // polling is back
    QTRY_VERIFY_WITH_TIMEOUT(!rig.Pd.Printed(QStringLiteral("image 0 2 7 ")).isEmpty(), 3000);
    rig.Fixture.Action("mnuRDX900_DFU")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(
        seen,
        QStringLiteral("RDX900|Download successfully completed|0|2|1|0").split(QLatin1Char('|')));
    QCOMPARE(meddled, QStringList({QStringLiteral("close 0"), QStringLiteral("open 1")}));
    rig.Fixture.Stop(); // the file name is kept for next time
    QVERIFY(rig.Fixture.ReadFile(rig.Fixture.IniPath()).contains("filename=" + path.toUtf8()));
}

void TestMaintenance::invalidFirmwareFileSaysWhy_data() {
    QTest::addColumn<QByteArray>("content"); // written to a kfw file; empty: path names a file
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("text");
    QTest::newRow("not hex") << QByteArray("?5244390000\n!0102\n!01zz\n") << QString()
                             << QStringLiteral("Invalid firmware file\nline 3: not hex");
    QTest::newRow("an endless device")
        << QByteArray() << QStringLiteral("/dev/zero")
        << QStringLiteral("Invalid firmware file\nnot a regular file");
}

// Against the strict reader: the file is refused before the reader is asked for anything.
void TestMaintenance::invalidFirmwareFileSaysWhy() {
    QFETCH(QByteArray, content);
    QFETCH(QString, path);
    QFETCH(QString, text);
    QTemporaryDir dir;
    if (path.isEmpty()) {
        path = dir.filePath(QStringLiteral("bad.kfw"));
        QFile kfw(path);
        QVERIFY(kfw.open(QIODevice::WriteOnly) && kfw.write(content) == content.size());
    }
    TMaintenanceRig rig;
    QVERIFY(rig.Start());
    QString shown;
    TModalAnswerer answer({
        [&](QWidget* d) {
            Child<QLineEdit>(d, "EditFile")->setText(path);
            Later([d] { Child<QPushButton>(d, "btnDownload")->click(); });
        },
        [&](QWidget* d) {
            shown = qobject_cast<QMessageBox*>(d)->text();
            Accept(d);
        },
        [](QWidget* d) { Child<QPushButton>(d, "btnClose")->click(); },
    });
    rig.Fixture.Action("mnuRDX900_DFU")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(shown, text);
    QVERIFY(rig.Pd.Printed(QStringLiteral("bootloader")).isEmpty());
    QVERIFY(rig.Window->Engine().Polling());
}

QTEST_MAIN(TestMaintenance)
#include "tst_maintenance.moc"
