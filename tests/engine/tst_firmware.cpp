// The firmware update against the simulated reader's bootloader, on a pseudo-terminal
// whose speed the simulator sees (a reader at another speed hears nothing) and over a
// socat pair. The simulator prints a digest of the image it was given.

#include "maintenance/firmware_updater.h"
#include "support/engine_fixture.h"
#include "support/pd_process.h"
#include "support/pty_pair.h"

#include <QCryptographicHash>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace quintrel;
using namespace quintrel::test;

class TstFirmware : public QObject {
    Q_OBJECT

  private slots:
    void Update_data();
    void Update();
    void OpenReadsOnlyARegularFile_data();
    void OpenReadsOnlyARegularFile();
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

void TstFirmware::OpenReadsOnlyARegularFile_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("refusal"); // empty: read and valid
    QTest::newRow("a kfw file") << QStringLiteral("file") << QString();
    QTest::newRow("a link to one") << QStringLiteral("link") << QString();
    QTest::newRow("no file by that name")
        << QStringLiteral("missing") << QStringLiteral("no such file");
    QTest::newRow("no name at all") << QStringLiteral("empty") << QStringLiteral("no such file");
    QTest::newRow("a folder") << QStringLiteral("folder") << QStringLiteral("not a regular file");
    // Neither ends: reading one would never stop, or never start.
    QTest::newRow("an endless device")
        << QStringLiteral("/dev/zero") << QStringLiteral("not a regular file");
    QTest::newRow("a pipe") << QStringLiteral("pipe") << QStringLiteral("not a regular file");
    // At the limit the file is read (and its first line refused); one byte more, not.
    QTest::newRow("16 MB") << QStringLiteral("16M")
                           << QStringLiteral("line 1: starts with byte 00, "
                                             "not \"!\" or \"?\"");
    QTest::newRow("16 MB and a byte")
        << QStringLiteral("16M+1") << QStringLiteral("larger than 16 MB");
}

void TstFirmware::OpenReadsOnlyARegularFile() {
    QFETCH(QString, kind);
    QFETCH(QString, refusal);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("rdx900.kfw"));
    QFile kfw(file);
    QVERIFY(kfw.open(QIODevice::WriteOnly));
    kfw.write("?5244390000\n!0102\n");
    kfw.close();
    QString path = kind.startsWith(QLatin1Char('/')) ? kind : dir.filePath(kind);
    if (kind == QLatin1String("file")) path = file;
    if (kind == QLatin1String("link")) QVERIFY(QFile::link(file, path));
    if (kind == QLatin1String("empty")) path.clear();
    if (kind == QLatin1String("folder")) QVERIFY(QDir(dir.path()).mkdir(kind));
    if (kind == QLatin1String("pipe")) QCOMPARE(::mkfifo(qPrintable(path), 0600), 0);
    if (kind.startsWith(QLatin1String("16M"))) {
        QFile big(path); // sparse: no 16 MB written
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(16 * 1024 * 1024 + (kind.endsWith(QLatin1String("+1")) ? 1 : 0)));
    }
    const TFirmwareCheck check = OpenFirmwareFile(path, kRdx900DeviceCode);
    QCOMPARE(QString::fromStdString(check.Text()), refusal);
    QCOMPARE(check.File.has_value(), refusal.isEmpty());
    if (check.File) QCOMPARE(check.File->Records.size(), std::size_t{1});
}

QTEST_GUILESS_MAIN(TstFirmware)
#include "tst_firmware.moc"
