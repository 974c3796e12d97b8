#include "pty_line.h"

#include <QFile>
#include <QSocketNotifier>

#include <algorithm>
#include <cstring>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace quintrel::sim {

TPtyLine::TPtyLine(QObject* parent) : QIODevice(parent) {}

TPtyLine::~TPtyLine() {
    if (Master >= 0) ::close(Master);
    if (Slave >= 0) ::close(Slave);
    if (!LinkPath.isEmpty()) QFile::remove(LinkPath);
}

bool TPtyLine::Create(const QString& linkPath, QString* error) {
    TPtyEnds ends;
    if (!OpenRawPty(ends, error)) return false;
    Master = ends.Master;
    Slave = ends.Slave;
    SlavePath = ends.SlavePath;
    if (!LinkPty(ends, linkPath, error)) return false;
    LinkPath = linkPath;
    Notifier = new QSocketNotifier(Master, QSocketNotifier::Read, this);
    connect(Notifier, &QSocketNotifier::activated, this, &TPtyLine::OnReadable);
    open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    return true;
}

bool OpenRawPty(TPtyEnds& ends, QString* error) {
    const auto fail = [&](const QString& reason) {
        if (ends.Master >= 0) ::close(ends.Master);
        if (ends.Slave >= 0) ::close(ends.Slave);
        ends = TPtyEnds{};
        *error = reason;
        return false;
    };
    ends.Master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (ends.Master < 0 || ::grantpt(ends.Master) != 0 || ::unlockpt(ends.Master) != 0)
        return fail(
            QStringLiteral("cannot create a pseudo-terminal: %1").arg(qt_error_string(errno)));
    ends.SlavePath = QString::fromLocal8Bit(::ptsname(ends.Master));
    ends.Slave = ::open(::ptsname(ends.Master), O_RDWR | O_NOCTTY);
    termios raw{};
    if (ends.Slave < 0 || ::tcgetattr(ends.Slave, &raw) != 0)
        return fail(
            QStringLiteral("cannot open %1: %2").arg(ends.SlavePath, qt_error_string(errno)));
    ::cfmakeraw(&raw);
    ::tcsetattr(ends.Slave, TCSANOW, &raw);
    return true;
}

bool LinkPty(const TPtyEnds& ends, const QString& linkPath, QString* error) {
    QFile::remove(linkPath);
    if (QFile::link(ends.SlavePath, linkPath)) return true;
    *error = QStringLiteral("cannot link %1 to %2").arg(linkPath, ends.SlavePath);
    return false;
}

int TPtyLine::PeerBaud() const {
    return Master < 0 ? 0 : TerminalBaud(Master);
}

void TPtyLine::OnReadable() {
    char chunk[4096];
    ssize_t n;
    bool any = false;
    while ((n = ::read(Master, chunk, sizeof chunk)) > 0) {
        Buffer.append(chunk, n);
        any = true;
    }
    if (any) emit readyRead();
}

qint64 TPtyLine::readData(char* data, qint64 maxSize) {
    const qint64 n = std::min<qint64>(maxSize, Buffer.size());
    std::memcpy(data, Buffer.constData(), static_cast<std::size_t>(n));
    Buffer.remove(0, n);
    return n;
}

qint64 TPtyLine::writeData(const char* data, qint64 maxSize) {
    qint64 done = 0;
    while (done < maxSize) {
        const ssize_t n = ::write(Master, data + done, static_cast<std::size_t>(maxSize - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EAGAIN) {
            ::usleep(1000); // the terminal side is full: give the reader a moment
        } else {
            return done > 0 ? done : -1;
        }
    }
    return done;
}

} // namespace quintrel::sim
