// The firmware update against the simulated reader's bootloader, on a pseudo-terminal
// whose speed the simulator sees (a reader at another speed hears nothing) and over a
// socat pair. The simulator prints a digest of the image it was given.

#include "maintenance/firmware_updater.h"
#include "support/engine_fixture.h"
#include "support/pd_process.h"
#include "support/pty_pair.h"

#include <QCryptographicHash>
#include <QTest>

using namespace quintrel;
using namespace quintrel::test;

class TstFirmware : public QObject {
    Q_OBJECT

  private slots:
    void Update_data();
    void Update();
};

namespace {

// Records of 1 to 54 bytes, and the kfw text that carries them.
struct TImage {
    TFirmwareFile File;
    QByteArray Bytes;
};

TImage MakeImage(int records, bool header) {
    TImage image;
    if (header) image.File.DeviceCode = kRdx900DeviceCode;
    for (int r = 0; r < records; ++r) {
        std::vector<std::uint8_t> record(
            static_cast<std::size_t>(1 + (r * 13) % kBootDataCapacity));
        for (std::size_t i = 0; i < record.size(); ++i)
            record[i] = static_cast<std::uint8_t>(r * 31 + i);
        image.Bytes.append(reinterpret_cast<const char*>(record.data()),
                           static_cast<qsizetype>(record.size()));
        image.File.Records.push_back(record);
    }
    return image;
}

QString Digest(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

} // namespace

void TstFirmware::Update_data() {
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<int>("startBaud");
    QTest::addColumn<bool>("header");
    QTest::addColumn<bool>("socat");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("fastSpeed"); // what the simulator said about 57600
    const QStringList none;
    QTest::newRow("whole update, 9600 to 57600 and back")
        << none << 9600 << true << false << QString() << QStringLiteral("speed 57600");
    QTest::newRow("over a socat pair") << none << 9600 << true << true << QString() << QString();
    QTest::newRow("a record refused five times")
        << QStringLiteral("--boot-fail-record 3:5").split(QLatin1Char(' ')) << 9600 << true << false
        << QString() << QStringLiteral("speed 57600");
    QTest::newRow("a record refused six times")
        << QStringLiteral("--boot-fail-record 3:6").split(QLatin1Char(' ')) << 9600 << true << false
        << QStringLiteral("Error: bootloader communication failed (code 4-3)")
        << QStringLiteral("speed 57600");
    QTest::newRow("no device code in the file")
        << none << 9600 << false << false << QStringLiteral("Error: failed to unlock bootloader")
        << QStringLiteral("speed 57600");
    // The reader stays at 9600: the update carries on there, from a line that ran at 19200.
    QTest::newRow("speed change ignored") << QStringList{QStringLiteral("--boot-ignore-speed")}
                                          << 19200 << true << false << QString() << QString();
    QTest::newRow("a lost reply to the first sync")
        << QStringLiteral("--boot-drop 1").split(QLatin1Char(' ')) << 9600 << true << false
        << QStringLiteral("Error: bootloader communication failed") << QString();
}

void TstFirmware::Update() {
    QFETCH(QStringList, faults);
    QFETCH(int, startBaud);
    QFETCH(bool, header);
    QFETCH(bool, socat);
    QFETCH(QString, error);
    QFETCH(QString, fastSpeed);
    if (socat && !TPtyPair::SocatInstalled()) QSKIP("socat is not installed");
    QTemporaryDir dir;
    TPtyPair pair;
    TPdProcess pd;
    QStringList args = faults;
    args << QStringLiteral("--record") << QStringLiteral("--baud") << QString::number(startBaud);
    QString failure;
    if (socat) {
        QVERIFY2(pair.Start(&failure), qPrintable(failure));
        args << QStringLiteral("--serial") << pair.PathB();
    } else {
        args << QStringLiteral("--pty") << dir.filePath(QStringLiteral("reader"));
    }
    QVERIFY2(pd.Start(args, &failure), qPrintable(failure));
    TEngineRig rig;
    rig.Engine.View.Poll = true;
    rig.Engine.Port().SetBaud(startBaud);
    QVERIFY(rig.Open(socat ? pair.PathA() : pd.PortName()));
    QTRY_VERIFY_WITH_TIMEOUT(rig.Log.contains(QStringLiteral("< addr=0: ACK")), 3000);
    rig.Engine.StopPolling();
    rig.Engine.WaitExchangeDone();

    const TImage image = MakeImage(20, header);
    TFirmwareUpdater updater(rig.Engine);
    int lastWritten = -1;
    updater.Progress = [&](int written, int) { lastWritten = written; };
    const QString result =
        updater.Run(image.File, TBootTarget{kRdx900Password, kRdx900DeviceCode}, 0);
    QCOMPARE(result, error);
    QCOMPARE(rig.Engine.Port().Baud(), startBaud); // restored in every case
    if (!fastSpeed.isEmpty()) QVERIFY(pd.Printed(QStringLiteral("speed 57600")).size() == 1);

    // Once the line is quiet the new firmware starts and polling finds it again.
    QTRY_VERIFY_WITH_TIMEOUT(!pd.Printed(QStringLiteral("image 0 ")).isEmpty(), 3000);
    if (error.isEmpty()) {
        QCOMPARE(lastWritten, 20);
        QCOMPARE(
            pd.Printed(QStringLiteral("image 0 ")).first(),
            QStringLiteral("image 0 20 %1 %2").arg(image.Bytes.size()).arg(Digest(image.Bytes)));
    }
    const int from = static_cast<int>(rig.Log.size());
    rig.Engine.StartPolling();
    QTRY_VERIFY_WITH_TIMEOUT(rig.Log.mid(from).filter(QStringLiteral("< addr=0: ACK")).size() >= 2,
                             5000);
}

QTEST_GUILESS_MAIN(TstFirmware)
#include "tst_firmware.moc"
