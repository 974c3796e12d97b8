// A peer that floods the line with random bytes: the engine keeps a bounded backlog,
// says how much it dropped, keeps polling, and gives the memory back at disconnect.

#include "support/engine_fixture.h"
#include "support/pty_pair.h"

#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTest>

using namespace quintrel;
using namespace quintrel::test;

class TstFlood : public QObject {
    Q_OBJECT

  private slots:
    void RandomBytesIntoTheServerPort();
};

namespace {

// Resident set size of this process in MB.
double ResidentMb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return 0;
}

quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true; // the sanitizer's own bookkeeping dwarfs the figures
#else
constexpr bool kSanitized = false;
#endif

} // namespace

void TstFlood::RandomBytesIntoTheServerPort() {
    if (!TPtyPair::SocatInstalled()) QSKIP("socat is not installed");
    TEngineRig rig;
    const quint16 port = FreePort();
    QVERIFY(rig.Open(QStringLiteral("server:%1").arg(port)));
    const double before = ResidentMb();

    QProcess flood;
    flood.start(QStringLiteral("socat"), {QStringLiteral("-u"), QStringLiteral("OPEN:/dev/urandom"),
                                          QStringLiteral("TCP:127.0.0.1:%1").arg(port)});
    QVERIFY(flood.waitForStarted(3000));
    // Every exchange ends with a text in panel 2: a reply, an invalid one or a time-out.
    int exchanges = 0;
    QObject::connect(&rig.Engine, &TEngine::StatusText,
                     [&](int panel, const QString&) { exchanges += panel == 2 ? 1 : 0; });
    double peak = before;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000) {
        QTest::qWait(250);
        peak = std::max(peak, ResidentMb());
    }
    flood.kill();
    flood.waitForFinished(3000);
    rig.Engine.Disconnect();
    QTest::qWait(200);
    const double after = ResidentMb();
    qInfo("resident: %.1f MB before, %.1f MB peak, %.1f MB after disconnect; %d exchanges; %s",
          before, peak, after, exchanges,
          qPrintable(rig.Log.filter(QStringLiteral("overflow")).join(QLatin1Char('|'))));

    QVERIFY(rig.CountContaining(QStringLiteral("Input overflow: ")) >= 1);
    QVERIFY2(exchanges >= 10, qPrintable(QString::number(exchanges))); // the cycle went on
    QVERIFY(!rig.Engine.Port().IsOpen());
    if (kSanitized) return;
    QVERIFY2(peak < 150, qPrintable(QString::number(peak)));
    QVERIFY2(after <= peak, qPrintable(QString::number(after)));
}

QTEST_GUILESS_MAIN(TstFlood)
#include "tst_flood.moc"
