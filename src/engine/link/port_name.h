#pragma once
// Port names as the user types them and as the settings file stores them.
// "COM<n>" (1..255) is a numbered serial port, "/dev/..." a serial device by path, and
// every other text is a TCP endpoint "host[:service]", where the host "server" means
// listening. Parsing is kept free of I/O so the rules are testable on their own.

#include <QString>
#include <QStringList>

namespace quintrel {

struct TPortName {
    bool Tcp = false;
    int ComNumber = 1;  // 1..255 for a numbered serial port, 0 for a path device and for TCP
    QString SerialPath; // set only for a serial device given by path
    bool Server = false;
    QString TcpAddress; // client mode only; a server keeps it empty
    QString TcpPort = QStringLiteral("telnet");

    bool operator==(const TPortName&) const = default;
};

inline constexpr int MaxComNumber = 255;

TPortName ParsePortName(const QString& name);
// The inverse of ParsePortName for every name it produces, except that an empty TCP port
// is left out (and so comes back as "telnet").
QString FormatPortName(const TPortName& port);
// What status and error texts show: "COM<n>" for numbered ports, the path for a path
// device, and a TCP endpoint as it is named ("127.0.0.1:4001", "server:4001").
QString PortDisplayName(const TPortName& port);

// Where the system keeps numbered serial port n.
QString SerialDevicePath(int comNumber);
// The inverse for the port list: a numbered device becomes "COM<n>", anything else keeps
// its path.
QString PortNameForDevice(const QString& systemLocation);
// Numbered ports first in numeric order, then the rest alphabetically, a trailing number
// by its value (/dev/ttyS2 before /dev/ttyS10).
void SortPortNames(QStringList& names);

// A decimal number 1..65535 or a service name known to the system (with a small
// fallback when the system has no services database). Returns 0 when unknown.
quint16 ResolveTcpPort(const QString& service);

} // namespace quintrel
