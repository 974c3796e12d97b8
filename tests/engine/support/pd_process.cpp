#include "support/pd_process.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QRegularExpression>

namespace quintrel::test {

TPdProcess::~TPdProcess() {
    Stop();
}

bool TPdProcess::Start(const QStringList& args, QString* error) {
    QStringList all = args;
    const int ptys = static_cast<int>(args.count(QStringLiteral("--pty")));
    const bool listens = args.contains(QStringLiteral("--listen")) ||
                         (!args.contains(QStringLiteral("--serial")) &&
                          !args.contains(QStringLiteral("--connect")) && ptys == 0);
    if (listens && !args.contains(QStringLiteral("--listen")))
        all << QStringLiteral("--listen") << QStringLiteral("0");
    const QString name = QFileInfo(Program).fileName();
    Process.setProcessChannelMode(QProcess::SeparateChannels);
    Process.start(Program, all);
    if (!Process.waitForStarted(5000)) {
        *error = QStringLiteral("%1 did not start: %2").arg(name, Process.errorString());
        return false;
    }
    const QRegularExpression port(QStringLiteral("^listening on [^ ]+:(\\d+)$"));
    const QRegularExpression pty(QStringLiteral("^pty (\\S+)"));
    const QDeadlineTimer deadline(5000);
    const auto ready = [&] {
        Terminals.clear();
        for (const QString& line : std::as_const(Lines)) {
            if (const auto m = pty.match(line); m.hasMatch()) Terminals << m.captured(1);
            if (const auto m = port.match(line); m.hasMatch() && ListenPort == 0)
                ListenPort = m.captured(1).toInt();
        }
        TerminalPath = Terminals.value(0);
        return Terminals.size() >= ptys && (!listens || ListenPort != 0);
    };
    while (!ready()) {
        if (deadline.hasExpired() || Process.state() != QProcess::Running) {
            *error = QStringLiteral("%1 did not report its endpoints: %2 %3")
                         .arg(name, Lines.join(QLatin1Char('\n')),
                              QString::fromUtf8(Process.readAllStandardError()));
            return false;
        }
        Process.waitForReadyRead(100);
        ReadOutput();
    }
    return true;
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

bool TPdProcess::WaitForPrinted(const QString& prefix, int count, int ms) {
    const QDeadlineTimer deadline(ms);
    while (Printed(prefix).size() < count) {
        if (deadline.hasExpired() || Process.state() != QProcess::Running) return false;
        Process.waitForReadyRead(20);
    }
    return true;
}

void TPdProcess::Stop() {
    if (Process.state() == QProcess::NotRunning) return;
    Process.kill();
    Process.waitForFinished(3000);
}

} // namespace quintrel::test
