#include "support/pty_pair.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

namespace quintrel::test {

namespace {

const QString SocatName = QStringLiteral("socat");

} // namespace

TPtyPair::~TPtyPair() {
    Stop();
}

bool TPtyPair::SocatInstalled() {
    return !QStandardPaths::findExecutable(SocatName).isEmpty();
}

bool TPtyPair::Start(QString* error) {
    const auto fail = [this, error](const QString& reason) {
        Stop();
        if (error) *error = reason;
        return false;
    };
    if (!Dir.isValid()) return fail(QStringLiteral("no temporary folder: ") + Dir.errorString());
    const auto end = [](const QString& path) {
        return QStringLiteral("pty,raw,echo=0,link=") + path;
    };
    const QString linkA = Dir.filePath(QStringLiteral("a"));
    const QString linkB = Dir.filePath(QStringLiteral("b"));
    Socat.setStandardOutputFile(QProcess::nullDevice());
    Socat.setStandardErrorFile(QProcess::nullDevice());
    Socat.start(SocatName, {end(linkA), end(linkB)});
    if (!Socat.waitForStarted(5000)) return fail(QStringLiteral("socat: ") + Socat.errorString());
    // socat makes the links only after both terminals exist, so their presence means ready.
    const QDeadlineTimer deadline(5000);
    while (!QFileInfo::exists(linkA) || !QFileInfo::exists(linkB)) {
        if (deadline.hasExpired() || Socat.state() != QProcess::Running)
            return fail(QStringLiteral("socat made no terminals in time"));
        QThread::msleep(5);
    }
    DeviceA = QFileInfo(linkA).canonicalFilePath();
    DeviceB = QFileInfo(linkB).canonicalFilePath();
    if (!DeviceA.startsWith(QStringLiteral("/dev/")) ||
        !DeviceB.startsWith(QStringLiteral("/dev/")))
        return fail(QStringLiteral("socat's terminals are not under /dev: ") + DeviceA);
    return true;
}

void TPtyPair::Stop() {
    if (Socat.state() == QProcess::NotRunning) return;
    Socat.kill();
    Socat.waitForFinished(5000);
}

} // namespace quintrel::test
