// OSDP file transfer end to end against the simulated reader, which checks every offset
// and prints a digest of what it received.

#include "support/composer_fixture.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QTest>

using namespace quintrel;
using namespace quintrel::test;

class TstFileTransfer : public QObject {
    Q_OBJECT

  private slots:
    void FilesArriveWhole_data();
    void FilesArriveWhole();
    void RequestedDelayIsHonoured();
    void NegativeStatusEndsTheTransfer_data();
    void NegativeStatusEndsTheTransfer();
    void DisconnectEndsTheTransfer();
    void SmallerMessagesWhenAsked();
    void ChangedAddressTakesTheRest();
    void DamagedReplyLosesNoFragment_data();
    void DamagedReplyLosesNoFragment();
    void UnreadableFileSendsNothing();
};

namespace {

struct TTransferRig : TPdComposerRig {
    TFileTransfer Transfer{Engine, &Host};
    QTemporaryDir Dir;
    TTransferRig() { Composer.FileTransfer = &Transfer; }

    bool Start(QStringList args, bool polling) {
        if (!TPdComposerRig::Start(args << QStringLiteral("--record"))) return false;
        if (!polling) {
            Engine.StopPolling();
            Engine.WaitExchangeDone();
        }
        return true;
    }
    QByteArray MakeFile(int size, const QString& name = QStringLiteral("update.upd")) {
        QByteArray bytes;
        for (int i = 0; i < size; ++i)
            bytes.append(static_cast<char>((i * 7 + size) & 0xFF));
        QFile file(Dir.filePath(name));
        file.open(QIODevice::WriteOnly);
        file.write(bytes);
        return bytes;
    }
    // What the user does: pick the file, then the first fragment goes from the menu.
    bool Send(const QString& name = QStringLiteral("update.upd")) {
        QString error;
        if (!Transfer.Start(Dir.filePath(name), &error)) return false;
        Menu(0x7C);
        return true;
    }
    QStringList Fragments(int address) const {
        return Log.filter(QRegularExpression(QStringLiteral("^> addr=%1: CMD_7C\\(").arg(address)));
    }
};

QString Received(int address, const QByteArray& bytes) {
    return QStringLiteral("received %1 %2 %3")
        .arg(address)
        .arg(bytes.size())
        .arg(QString::fromLatin1(
            QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()));
}

} // namespace

void TstFileTransfer::FilesArriveWhole_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("polling");
    QTest::addColumn<int>("fragments");
    QTest::newRow("empty: nothing sent") << 0 << true << 0;
    QTest::newRow("130 bytes: 64 + 64 + 2") << 130 << true << 3;
    QTest::newRow("128 bytes: two, then nothing") << 128 << true << 2;
    QTest::newRow("8 kB") << 8 * 1024 << false << 128;
}

void TstFileTransfer::FilesArriveWhole() {
    QFETCH(int, size);
    QFETCH(bool, polling);
    QFETCH(int, fragments);
    TTransferRig rig;
    rig.Engine.View.Raw = false; // an 8 kB transfer logs enough already
    QVERIFY(rig.Start({}, polling));
    const QByteArray bytes = rig.MakeFile(size);
    QVERIFY(rig.Send());
    if (size == 0) {
        QTest::qWait(200);
        QVERIFY(!rig.Transfer.IsOpen());
        QCOMPARE(rig.Fragments(0).size(), 0);
        return;
    }
    QVERIFY(
        WaitUntil([&] { return !rig.Pd.Printed(QStringLiteral("received ")).isEmpty(); }, 20000));
    QCOMPARE(rig.Pd.Printed(QStringLiteral("received ")), QStringList{Received(0, bytes)});
    QTest::qWait(100); // the last status calls for nothing more
    QCOMPARE(rig.Fragments(0).size(), fragments);
    QVERIFY(!rig.Transfer.IsOpen());
    QCOMPARE(rig.Transfer.Offset(), static_cast<quint32>(size));
    // Its end is one line, and no fragment crowds the user's commands out of the history.
    QCOMPARE(
        rig.CountContaining(QStringLiteral("File transfer to 0 complete: %1 bytes in ").arg(size)),
        1);
    QVERIFY(rig.Ui.History.filter(QStringLiteral("7C ")).isEmpty());
    if (size == 130) { // type, total size, offset, length: little-endian
        QVERIFY(rig.Fragments(0)[0].contains(QLatin1String("(01 82 00 00 00 00 00 00 00 40 00")));
        QVERIFY(rig.Fragments(0)[1].contains(QLatin1String("(01 82 00 00 00 40 00 00 00 40 00")));
        QVERIFY(rig.Fragments(0)[2].contains(QLatin1String("(01 82 00 00 00 80 00 00 00 02 00")));
    }
}

void TstFileTransfer::RequestedDelayIsHonoured() {
    TTransferRig rig;
    QVERIFY(rig.Start({QStringLiteral("--ft-delay"), QStringLiteral("150")}, true));
    const QByteArray bytes = rig.MakeFile(200);
    QVERIFY(rig.Send());
    QTRY_VERIFY_WITH_TIMEOUT(!rig.Pd.Printed(QStringLiteral("received ")).isEmpty(), 5000);
    // From each status to the next fragment: never less than the 150 ms asked for.
    qint64 status = -1;
    int gaps = 0;
    for (int i = 0; i < rig.Log.size(); ++i) {
        if (rig.Log[i].startsWith(QLatin1String("< addr=0: RES_7A("))) status = rig.LogTimes[i];
        if (rig.Log[i].startsWith(QLatin1String("> addr=0: CMD_7C(")) && status >= 0) {
            QVERIFY2(rig.LogTimes[i] - status >= 150,
                     qPrintable(QString::number(rig.LogTimes[i] - status)));
            ++gaps;
            status = -1;
        }
    }
    QCOMPARE(gaps, 3);
    QCOMPARE(rig.Pd.Printed(QStringLiteral("received ")), QStringList{Received(0, bytes)});
}

void TstFileTransfer::NegativeStatusEndsTheTransfer_data() {
    QTest::addColumn<int>("size");
    QTest::newRow("the first of many fragments refused") << 1000;
    QTest::newRow("the last fragment refused") << 64;
}

void TstFileTransfer::NegativeStatusEndsTheTransfer() {
    QFETCH(int, size);
    TTransferRig rig;
    QVERIFY(rig.Start({}, false));
    rig.MakeFile(size);
    QVERIFY(rig.Pd.Ask(QStringLiteral("ft-status -2")));
    QVERIFY(rig.Send());
    QTRY_VERIFY_WITH_TIMEOUT(!rig.Transfer.IsOpen(), 3000);
    QCOMPARE(rig.Fragments(0).size(), 1);
    QCOMPARE(rig.CountContaining(QStringLiteral("File transfer to 0 ended by the device (status "
                                                "-2) after 64 of %1 bytes")
                                     .arg(size)),
             1);
    QCOMPARE(rig.CountContaining(QStringLiteral("complete")), 0);
}

// A disconnect in the middle of a transfer, during the delay the device asked for, ends it.
void TstFileTransfer::DisconnectEndsTheTransfer() {
    TTransferRig rig;
    QVERIFY(rig.Start({QStringLiteral("--ft-delay"), QStringLiteral("300")}, false));
    rig.MakeFile(1000);
    QVERIFY(rig.Send());
    QTRY_VERIFY_WITH_TIMEOUT(rig.Transfer.Offset() == 64 && !rig.Engine.QueuedCount(), 3000);
    rig.Engine.WaitExchangeDone();
    rig.Engine.Disconnect();
    QVERIFY(!rig.Transfer.IsOpen());
    QCOMPARE(rig.CountContaining(
                 QStringLiteral("File transfer to 0 ended at disconnect after 64 of 1000 bytes")),
             1);
    QTest::qWait(400); // past the delay: no fragment is built for a closed port
    QCOMPARE(rig.Transfer.Offset(), 64u);
    QCOMPARE(rig.Fragments(0).size(), 1);
}

// A device that asks for smaller messages gets fragments no longer than it asks.
void TstFileTransfer::SmallerMessagesWhenAsked() {
    TTransferRig rig;
    QVERIFY(rig.Start({}, false));
    const QByteArray bytes = rig.MakeFile(100);
    QVERIFY(rig.Pd.Ask(QStringLiteral("ft-max 10")));
    QVERIFY(rig.Send());
    QTRY_VERIFY_WITH_TIMEOUT(!rig.Pd.Printed(QStringLiteral("received ")).isEmpty(), 5000);
    QCOMPARE(rig.Pd.Printed(QStringLiteral("received ")), QStringList{Received(0, bytes)});
    QCOMPARE(rig.Fragments(0).size(), 1 + 4); // 64, then 10 at a time: 10, 10, 10, 6
}

void TstFileTransfer::ChangedAddressTakesTheRest() {
    TTransferRig rig;
    QVERIFY(
        rig.Start({QStringLiteral("--address"), QStringLiteral("0"), QStringLiteral("--address"),
                   QStringLiteral("5"), QStringLiteral("--ft-delay"), QStringLiteral("100")},
                  false));
    rig.MakeFile(1000);
    QVERIFY(rig.Send());
    QTRY_VERIFY_WITH_TIMEOUT(rig.Fragments(0).size() == 2, 3000);
    rig.Host.Selected = 5;
    QTRY_VERIFY_WITH_TIMEOUT(rig.Fragments(5).size() == 1, 3000);
    // It carries on where the transfer was: offset 128. Reader 5 never saw the start and
    // refuses it, which ends the transfer.
    QVERIFY(rig.Fragments(5)[0].contains(QLatin1String("(01 E8 03 00 00 80 00 00 00 40 00")));
    QTRY_VERIFY_WITH_TIMEOUT(!rig.Transfer.IsOpen(), 3000);
    QCOMPARE(
        rig.CountContaining(QStringLiteral("File transfer to 5 ended by the device (status -1)")),
        1);
}

void TstFileTransfer::DamagedReplyLosesNoFragment_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("polling");
    QTest::addColumn<QString>("seen"); // what the log shows of it ...
    QTest::addColumn<int>("times");    // ... and how often
    QTest::newRow("damaged status") << QStringLiteral("corrupt-reply-to 7C") << true
                                    << QStringLiteral("ERROR (crc error from 0)") << 1;
    // The third fragment's status is lost: that fragment goes twice.
    QTest::newRow("status lost whole")
        << QStringLiteral("drop-reply 3") << false
        << QStringLiteral("> addr=0: CMD_7C(01 80 02 00 00 80 00 00 00 40 00") << 2;
}

void TstFileTransfer::DamagedReplyLosesNoFragment() {
    QFETCH(QString, fault);
    QFETCH(bool, polling);
    QFETCH(QString, seen);
    QFETCH(int, times);
    TTransferRig rig;
    QVERIFY(rig.Start({}, polling));
    const QByteArray bytes = rig.MakeFile(640);
    QVERIFY(rig.Pd.Ask(fault));
    QVERIFY(rig.Send());
    QTRY_VERIFY_WITH_TIMEOUT(!rig.Pd.Printed(QStringLiteral("received ")).isEmpty(), 5000);
    QCOMPARE(rig.Pd.Printed(QStringLiteral("received ")), QStringList{Received(0, bytes)});
    QCOMPARE(rig.CountContaining(seen), times);
    QCOMPARE(rig.Pd.Printed(QStringLiteral("ran 0 7C")).size(), 10); // each fragment once
    QCOMPARE(rig.CountContaining(QStringLiteral("TIMEOUT")), 0);
}

void TstFileTransfer::UnreadableFileSendsNothing() {
    TTransferRig rig;
    QVERIFY(rig.Start({}, false));
    QString error;
    QVERIFY(!rig.Transfer.Start(rig.Dir.filePath(QStringLiteral("missing.upd")), &error));
    QVERIFY2(error.startsWith(QLatin1String("Error: cannot open ")), qPrintable(error));
    rig.Menu(0x7C);
    QVERIFY(!rig.Transfer.IsOpen());
    QCOMPARE(rig.Fragments(0).size(), 0);
}

QTEST_GUILESS_MAIN(TstFileTransfer)
#include "tst_file_transfer.moc"
