#include "tap_pty.h"

#include "pty_line.h"

#include <QFile>
#include <QSocketNotifier>

#include <algorithm>

#include <cerrno>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace quintrel::sim {

namespace {

// Reads per wake-up, so one busy writer cannot hold the others off.
constexpr int kReadsPerWake = 16;

} // namespace

TTapPty::TTapPty(qint64 backlog, QObject* parent) : QObject(parent), BacklogLimit(backlog) {}

TTapPty::~TTapPty() {
    // The notifiers go before the descriptors they watch.
    delete ReadNotifier;
    delete WriteNotifier;
    delete WatchNotifier;
    if (Watch >= 0) ::close(Watch);
    if (Master >= 0) ::close(Master);
    if (Slave >= 0) ::close(Slave);
    if (!Link.isEmpty()) QFile::remove(Link);
}

bool TTapPty::Create(const QString& linkPath, QString* error) {
    TPtyEnds ends;
    if (!OpenRawPty(ends, error)) return false;
    Master = ends.Master;
    Slave = ends.Slave;
    SlavePath = ends.SlavePath;
    // Watched before it is linked, so no user can come unnoticed.
    Watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (Watch < 0 ||
        ::inotify_add_watch(Watch, SlavePath.toLocal8Bit().constData(), IN_OPEN | IN_CLOSE) < 0) {
        *error = QStringLiteral("cannot watch %1: %2").arg(SlavePath, qt_error_string(errno));
        return false;
    }
    if (!LinkPty(ends, linkPath, error)) return false;
    Link = linkPath;
    ReadNotifier = new QSocketNotifier(Master, QSocketNotifier::Read, this);
    connect(ReadNotifier, &QSocketNotifier::activated, this, &TTapPty::OnReadable);
    WriteNotifier = new QSocketNotifier(Master, QSocketNotifier::Write, this);
    WriteNotifier->setEnabled(false);
    connect(WriteNotifier, &QSocketNotifier::activated, this, &TTapPty::OnWritable);
    WatchNotifier = new QSocketNotifier(Watch, QSocketNotifier::Read, this);
    connect(WatchNotifier, &QSocketNotifier::activated, this, &TTapPty::OnFileEvents);
    return true;
}

void TTapPty::OnReadable() {
    QByteArray heard;
    char chunk[4096];
    for (int i = 0; i < kReadsPerWake; ++i) {
        const ssize_t n = ::read(Master, chunk, sizeof chunk);
        if (n > 0) {
            heard.append(chunk, n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // Holding the terminal side open keeps the line from hanging up; should it end all
        // the same, stop listening rather than wake for ever on the hang-up.
        if (n == 0 || errno != EAGAIN) ReadNotifier->setEnabled(false);
        break;
    }
    if (!heard.isEmpty()) emit Spoke(heard);
}

qint64 TTapPty::Deliver(const QByteArray& bytes) {
    if (Users == 0 || bytes.isEmpty()) return 0;
    qint64 taken = 0;
    if (Backlog.isEmpty()) {
        const ssize_t n = ::write(Master, bytes.constData(), static_cast<size_t>(bytes.size()));
        if (n > 0)
            taken = n;
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return 0;
    }
    // What the terminal cannot take now waits, up to the backlog; the rest is lost.
    const qint64 keep =
        std::min<qint64>(bytes.size() - taken, BacklogLimit - (Backlog.size() - BacklogSent));
    if (keep > 0) {
        Backlog.append(bytes.constData() + taken, keep);
        taken += keep;
    }
    WriteNotifier->setEnabled(BacklogSent < Backlog.size());
    return taken;
}

void TTapPty::OnWritable() {
    while (BacklogSent < Backlog.size()) {
        const ssize_t n = ::write(Master, Backlog.constData() + BacklogSent,
                                  static_cast<size_t>(Backlog.size() - BacklogSent));
        if (n > 0) {
            BacklogSent += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        BacklogSent = Backlog.size(); // the line is gone, and what waited for it
    }
    if (BacklogSent == Backlog.size()) {
        Backlog.clear();
        BacklogSent = 0;
    } else if (BacklogSent > Backlog.size() / 2) {
        // Drop the part sent only now and then, so a long backlog is not moved at every write.
        Backlog.remove(0, BacklogSent);
        BacklogSent = 0;
    }
    WriteNotifier->setEnabled(BacklogSent < Backlog.size());
}

void TTapPty::OnFileEvents() {
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = ::read(Watch, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            inotify_event event;
            std::copy_n(buffer + at, sizeof event, reinterpret_cast<char*>(&event));
            at += static_cast<ssize_t>(sizeof event + event.len);
            if (event.mask & IN_OPEN) {
                if (++Users == 1) emit Opened();
            } else if ((event.mask & IN_CLOSE) && Users > 0) {
                if (--Users == 0) Vacate();
            }
        }
    }
}

// The last user closed the terminal: what it left unread is lost with it, as a serial
// port's input is on closing, and the next user starts afresh.
void TTapPty::Vacate() {
    Backlog.clear();
    BacklogSent = 0;
    WriteNotifier->setEnabled(false);
    ::tcflush(Slave, TCIFLUSH);
    ::ioctl(Slave, TIOCNXCL); // a user that died with the terminal held exclusive
    emit Closed();
}

} // namespace quintrel::sim
