#include "support/pd_process.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

namespace quintrel::test {

TPdProcess::~TPdProcess() {
    Stop();
}

bool TPdProcess::Start(const QStringList& args, QString* error) {
    QStringList all = args;
    const bool pty = args.contains(QStringLiteral("--pty"));
    const bool listens = !args.contains(QStringLiteral("--serial")) &&
                         !args.contains(QStringLiteral("--connect")) && !pty;
    if (listens && !args.contains(QStringLiteral("--listen")))
        all << QStringLiteral("--listen") << QStringLiteral("0");
    Process.setProcessChannelMode(QProcess::SeparateChannels);
    Process.start(QStringLiteral(QUINTREL_PD_PATH), all);
    if (!Process.waitForStarted(5000)) {
        *error = QStringLiteral("quintrel-pd did not start: %1").arg(Process.errorString());
        return false;
    }
    if (!listens && !pty) return true;
    QByteArray out;
    const QDeadlineTimer deadline(5000);
    const QRegularExpression re(pty ? QStringLiteral("^pty (\\S+)")
                                    : QStringLiteral("listening on [^:]+:(\\d+)"),
                                QRegularExpression::MultilineOption);
    while (!deadline.hasExpired()) {
        Process.waitForReadyRead(100);
        ReadOutput();
        out = Lines.join(QLatin1Char('\n')).toUtf8();
        const auto m = re.match(QString::fromUtf8(out));
        if (m.hasMatch()) {
            if (pty)
                TerminalPath = m.captured(1);
            else
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

void TPdProcess::ReadOutput() {
    Partial += Process.readAllStandardOutput();
    qsizetype nl;
    while ((nl = Partial.indexOf('\n')) >= 0) {
        Lines << QString::fromUtf8(Partial.left(nl));
        Partial.remove(0, nl + 1);
    }
}

bool TPdProcess::Ask(const QString& line) {
    ReadOutput();
    const qsizetype before = Lines.size();
    Command(line);
    const QDeadlineTimer deadline(3000);
    // Every stdin command answers with one line that is not a record.
    const auto answered = [&] {
        for (qsizetype i = before; i < Lines.size(); ++i)
            if (!Lines[i].startsWith(QLatin1String("ran ")) &&
                !Lines[i].startsWith(QLatin1String("delivered ")) &&
                !Lines[i].startsWith(QLatin1String("received "))) {
                LastAnswer = Lines[i];
                return true;
            }
        return false;
    };
    while (!answered() && !deadline.hasExpired()) {
        Process.waitForReadyRead(50);
        ReadOutput();
    }
    return answered();
}

QStringList TPdProcess::Printed(const QString& prefix) {
    Process.waitForReadyRead(0);
    ReadOutput();
    return Lines.filter(QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(prefix)));
}

void TPdProcess::Stop() {
    if (Process.state() == QProcess::NotRunning) return;
    Process.kill();
    Process.waitForFinished(3000);
}

} // namespace quintrel::test
