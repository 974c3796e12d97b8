#pragma once
// The simulated reader program run as a child process for a test. It listens on a
// free loopback port (or uses the serial path it is given) and takes commands on
// its standard input. The line tap (quintrel-tap) starts the same way and runs here too.

#include <QProcess>
#include <QString>
#include <QStringList>

namespace quintrel::test {

class TPdProcess {
  public:
    explicit TPdProcess(const QString& program = QStringLiteral(QUINTREL_PD_PATH))
        : Program(program) {}
    ~TPdProcess();
    TPdProcess(const TPdProcess&) = delete;
    TPdProcess& operator=(const TPdProcess&) = delete;

    // With no transport in args, "--listen 0" is added and the port it got is read back;
    // with --pty the terminal's path is read back (each one's, when there are several).
    bool Start(const QStringList& args, QString* error);
    void Stop();
    int Port() const { return ListenPort; }
    QString PortName() const {
        return TerminalPath.isEmpty() ? QStringLiteral("127.0.0.1:%1").arg(ListenPort)
                                      : TerminalPath;
    }
    QStringList TerminalPaths() const { return Terminals; }
    // A command line on its standard input, as a person would type it.
    void Command(const QString& line);
    // The same, waiting until the simulator has answered it (so it takes effect before
    // the next frame); false when no answer came.
    bool Ask(const QString& line);
    // The simulator's answer to the last Ask.
    QString Answer() const { return LastAnswer; }
    // Lines the simulator printed on its standard output that start with prefix (with
    // --record: "ran ADDR CODE DATA", "delivered ADDR CODE DATA").
    QStringList Printed(const QString& prefix);
    // Waits (up to ms) until count lines starting with prefix have been printed.
    bool WaitForPrinted(const QString& prefix, int count = 1, int ms = 5000);
    QString Output() { return QString::fromUtf8(Process.readAllStandardError()); }
    qint64 ProcessId() const { return Process.processId(); }

  private:
    void ReadOutput();
    QString Program;
    QProcess Process;
    int ListenPort = 0;
    QString TerminalPath;
    QStringList Terminals;
    QStringList Lines;
    QString LastAnswer;
    QByteArray Partial;
};

} // namespace quintrel::test
