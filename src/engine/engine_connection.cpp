// The engine's port: opening it to talk or to listen, closing it, a lost line and reconnecting.

#include "engine.h"

namespace quintrel {

// The port opened for talking or for listening; whoever opens it ends a reconnection under
// way, and a reconnection after a loss does what this open was for.
bool TEngine::OpenLink(bool listening, QString* error) {
    ReconnectTimer.stop();
    ReconnectListens = listening;
    ShowStatus(0, QString());
    Machine.ResetAssembly();
    CP1.SetListenOnly(listening);
    QString reason;
    if (!CP1.Open(&reason)) {
        if (error) {
            *error = QStringLiteral("Error: failed to open %1").arg(CP1.DisplayName());
            if (!reason.isEmpty()) *error += QLatin1Char('\n') + reason;
        }
        emit ControlsChanged();
        return false;
    }
    LostReported = false;
    return true;
}

bool TEngine::OpenPort(QString* error) {
    if (ListenMode) {
        if (error) *error = QStringLiteral("Error: %1 is already open").arg(CP1.DisplayName());
        return false;
    }
    if (!OpenLink(false, error)) return false;
    SyncLine();
    Machine.PortOpened(NowUs());
    ShowStatus(0, QStringLiteral("Connected to %1").arg(CP1.DisplayName()));
    StartPolling();
    return true;
}

void TEngine::ClosePort() {
    if (Overheard) Overheard->Finish(); // a frame cut short by the close is reported
    Overheard.reset();
    ListenMode = false;
    HeardTimer.stop();
    HeardCommand = THeardCommand{};
    CP1.Close();
    ShowStatus(0, QStringLiteral("Disconnected"));
    // What described the connection ("Polling 3", "Timeout 3") no longer holds; the command
    // awaiting its reply, and every one still queued, ends; so does every session.
    Machine.PortClosed();
    Drain();
    emit PollListChanged();
    emit Disconnected();
}

void TEngine::OnLinkLost(const QString& reason) {
    ConnectionLost(reason);
}

void TEngine::SetReconnect(bool on) {
    ReconnectOn = on;
    if (!on) StopReconnecting();
}

void TEngine::StopReconnecting() {
    if (!ReconnectTimer.isActive()) return;
    ReconnectTimer.stop();
    emit LogLine(QStringLiteral("Reconnection to %1 stopped").arg(CP1.DisplayName()));
    ShowStatus(0, QStringLiteral("Disconnected"));
    emit ControlsChanged();
}

void TEngine::TryReconnect() {
    if (CP1.IsOpen()) return;
    QString error;
    if (ReconnectListens ? StartListening(&error) : OpenPort(&error)) {
        emit LogLine(QStringLiteral("Reconnected to %1").arg(CP1.DisplayName()));
        emit ControlsChanged();
        return;
    }
    // The port's own reason, without the "Error: failed to open X" that this line says.
    const qsizetype reason = error.indexOf(QLatin1Char('\n'));
    if (reason >= 0) error = error.mid(reason + 1);
    emit LogLine(QStringLiteral("Reconnection to %1 failed (%2); next try in %3 s")
                     .arg(CP1.DisplayName(), error)
                     .arg(ReconnectTimer.interval() / 1000.0));
    // The failed open stopped the timer and cleared the panel: both say again that a
    // reconnection is under way, so Disconnect can end it.
    if (ReconnectOn) {
        ReconnectTimer.start();
        ShowStatus(0, ReconnectingText());
    }
    emit ControlsChanged();
}

QString TEngine::ReconnectingText() const {
    return QStringLiteral("Reconnecting to %1").arg(CP1.DisplayName());
}

void TEngine::ShowStatus(int panel, const QString& text) {
    Machine.StatusOverwritten(panel);
    emit StatusText(panel, text);
}

// A broken line while polling must not raise a box for every poll: stop, close and
// say it once until the next successful open. The log keeps why; with reconnection on,
// the log is all there is to say, and the port is tried again.
void TEngine::ConnectionLost(const QString& reason) {
    if (Machine.Polling()) StopPolling();
    const QString port = CP1.DisplayName();
    ClosePort();
    emit LogLine(reason.isEmpty() ? QStringLiteral("Connection to %1 lost").arg(port)
                                  : QStringLiteral("Connection to %1 lost (%2)").arg(port, reason));
    if (ReconnectOn) {
        ReconnectTimer.start();
        ShowStatus(0, ReconnectingText());
        emit LogLine(QStringLiteral("Reconnecting to %1 every %2 s")
                         .arg(port)
                         .arg(ReconnectTimer.interval() / 1000.0));
    }
    emit ControlsChanged();
    if (!LostReported && !ReconnectOn) {
        LostReported = true;
        emit ErrorMessage(QStringLiteral("Error: connection lost"));
    }
}

} // namespace quintrel
