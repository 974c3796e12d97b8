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
    Master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (Master < 0 || ::grantpt(Master) != 0 || ::unlockpt(Master) != 0) {
        *error = QStringLiteral("cannot create a pseudo-terminal: %1").arg(qt_error_string(errno));
        return false;
    }
    const QString slavePath = QString::fromLocal8Bit(::ptsname(Master));
    SlavePath = slavePath;
    Slave = ::open(::ptsname(Master), O_RDWR | O_NOCTTY);
    termios raw{};
    if (Slave < 0 || ::tcgetattr(Slave, &raw) != 0) {
        *error = QStringLiteral("cannot open %1: %2").arg(slavePath, qt_error_string(errno));
        return false;
    }
    ::cfmakeraw(&raw);
    ::tcsetattr(Slave, TCSANOW, &raw);
    QFile::remove(linkPath);
    if (!QFile::link(slavePath, linkPath)) {
        *error = QStringLiteral("cannot link %1 to %2").arg(linkPath, slavePath);
        return false;
    }
    LinkPath = linkPath;
    Notifier = new QSocketNotifier(Master, QSocketNotifier::Read, this);
    connect(Notifier, &QSocketNotifier::activated, this, &TPtyLine::OnReadable);
    open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    return true;
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
