#include "support/pd_process.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

namespace quintrel::test {

TPdProcess::~TPdProcess() {
    Stop();
}

bool TPdProcess::Start(const QStringList& args, QString* error) {
    QStringList all = args;
    const bool listens =
        !args.contains(QStringLiteral("--serial")) && !args.contains(QStringLiteral("--connect"));
    if (listens && !args.contains(QStringLiteral("--listen")))
        all << QStringLiteral("--listen") << QStringLiteral("0");
    Process.setProcessChannelMode(QProcess::SeparateChannels);
    Process.start(QStringLiteral(QUINTREL_PD_PATH), all);
    if (!Process.waitForStarted(5000)) {
        *error = QStringLiteral("quintrel-pd did not start: %1").arg(Process.errorString());
        return false;
    }
    if (!listens) return true;
    QByteArray out;
    const QDeadlineTimer deadline(5000);
    static const QRegularExpression re(QStringLiteral("listening on [^:]+:(\\d+)"));
    while (!deadline.hasExpired()) {
        Process.waitForReadyRead(100);
        out += Process.readAllStandardOutput();
        const auto m = re.match(QString::fromUtf8(out));
        if (m.hasMatch()) {
            ListenPort = m.captured(1).toInt();
            return true;
        }
        if (Process.state() != QProcess::Running) break;
    }
    *error = QStringLiteral("quintrel-pd did not report its port: %1 %2")
                 .arg(QString::fromUtf8(out), QString::fromUtf8(Process.readAllStandardError()));
    return false;
}

void TPdProcess::Command(const QString& line) {
    Process.write((line + QLatin1Char('\n')).toUtf8());
    Process.waitForBytesWritten(1000);
}

void TPdProcess::Stop() {
    if (Process.state() == QProcess::NotRunning) return;
    Process.kill();
    Process.waitForFinished(3000);
}

} // namespace quintrel::test
