#pragma once
// A pseudo-terminal that the simulator serves itself: it links PATH to the terminal side,
// which the control panel opens like any serial port, and keeps the other side. Since both
// sides share one line setting, the simulator sees the speed the control panel set, and
// can behave as a reader at another speed would: it hears nothing it can use.

#include <QIODevice>
#include <QString>

class QSocketNotifier;

namespace quintrel::sim {

class TPtyLine : public QIODevice {
    Q_OBJECT

  public:
    explicit TPtyLine(QObject* parent = nullptr);
    ~TPtyLine() override;

    bool Create(const QString& linkPath, QString* error);
    // The speed the control panel's side is set to, in baud (0 when unknown).
    int PeerBaud() const;
    // The terminal side's own /dev path.
    QString TerminalPath() const { return SlavePath; }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return Buffer.size() + QIODevice::bytesAvailable(); }

  protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 maxSize) override;

  private:
    void OnReadable();

    int Master = -1;
    int Slave = -1; // held open so the line never hangs up between control panels
    QString LinkPath;
    QString SlavePath;
    QSocketNotifier* Notifier = nullptr;
    QByteArray Buffer;
};

// The output speed of the terminal whose line settings fd shares; 0 when unknown.
int TerminalBaud(int fd);

// Both sides of a new raw pseudo-terminal.
struct TPtyEnds {
    int Master = -1; // non-blocking
    int Slave = -1;  // held by whoever made it, so the line never hangs up between users
    QString SlavePath;
};

// Makes a pseudo-terminal; on failure nothing is left open and error says why.
bool OpenRawPty(TPtyEnds& ends, QString* error);
// Links the terminal side at linkPath, replacing whatever was there.
bool LinkPty(const TPtyEnds& ends, const QString& linkPath, QString* error);

} // namespace quintrel::sim
