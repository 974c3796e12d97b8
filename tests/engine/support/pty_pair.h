#pragma once
// Two pseudo-terminals joined back to back by socat: what one end writes, the other reads,
// like two serial ports on one cable. PathA() and PathB() are the terminals' own /dev paths
// (socat's links live in a temporary folder, and only /dev names are serial devices to the
// link). Stopping the pair makes both devices vanish under whoever has them open.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace quintrel::test {

class TPtyPair {
  public:
    TPtyPair() = default;
    ~TPtyPair();
    TPtyPair(const TPtyPair&) = delete;
    TPtyPair& operator=(const TPtyPair&) = delete;

    static bool SocatInstalled();
    // Starts socat and waits (bounded) until both devices exist.
    bool Start(QString* error);
    void Stop();

    QString PathA() const { return DeviceA; }
    QString PathB() const { return DeviceB; }

  private:
    QTemporaryDir Dir;
    QProcess Socat;
    QString DeviceA;
    QString DeviceB;
};

} // namespace quintrel::test
