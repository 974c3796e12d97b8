#include "link/port_name.h"

#include <QtGlobal>

#include <algorithm>

#if defined(Q_OS_WIN)
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#endif

namespace quintrel {

namespace {

const QLatin1String ComPrefix("COM");
const QLatin1String DevPrefix("/dev/");
const QLatin1String ServerHost("server");
#if !defined(Q_OS_WIN)
const QLatin1String NumberedDevicePrefix("/dev/ttyS");
#endif

bool IsAllDigits(QStringView text) {
    return !text.isEmpty() &&
           std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); });
}

// Digits only: toInt() would also take a sign or surrounding blanks, and "COM+7" must
// stay a host name. Returns 0 when the text is no number in 1..limit.
int ParseBoundedNumber(QStringView text, int limit) {
    if (!IsAllDigits(text) || text.size() > 5) return 0;
    const int value = text.toInt();
    return value >= 1 && value <= limit ? value : 0;
}

// Numbered ports are the only names that are not compared as plain text.
int ComNumberOf(const QString& name) {
    if (!name.startsWith(ComPrefix, Qt::CaseInsensitive)) return 0;
    return ParseBoundedNumber(QStringView(name).mid(ComPrefix.size()), MaxComNumber);
}

} // namespace

TPortName ParsePortName(const QString& name) {
    TPortName port;
    if (const int number = ComNumberOf(name); number != 0) {
        port.ComNumber = number;
        return port;
    }
    if (name.startsWith(DevPrefix)) {
        port.ComNumber = 0;
        port.SerialPath = name;
        return port;
    }
    port.Tcp = true;
    port.ComNumber = 0;
    const qsizetype colon = name.indexOf(QLatin1Char(':'));
    const QString host = colon < 0 ? name : name.left(colon);
    port.TcpPort = colon < 0 ? QStringLiteral("telnet") : name.mid(colon + 1);
    port.Server = host.toLower() == ServerHost;
    if (!port.Server) port.TcpAddress = host;
    return port;
}

QString FormatPortName(const TPortName& port) {
    if (!port.Tcp) return port.SerialPath.isEmpty() ? PortDisplayName(port) : port.SerialPath;
    QString name = port.Server ? QString(ServerHost) : port.TcpAddress;
    if (!port.TcpPort.isEmpty()) name += QLatin1Char(':') + port.TcpPort;
    return name;
}

QString PortDisplayName(const TPortName& port) {
    if (port.Tcp) return FormatPortName(port);
    if (!port.SerialPath.isEmpty()) return port.SerialPath;
    return ComPrefix + QString::number(port.ComNumber);
}

QString SerialDevicePath(int comNumber) {
#if defined(Q_OS_WIN)
    return ComPrefix + QString::number(comNumber);
#else
    return NumberedDevicePrefix + QString::number(comNumber - 1);
#endif
}

QString PortNameForDevice(const QString& systemLocation) {
#if defined(Q_OS_WIN)
    const int number = ComNumberOf(systemLocation);
#else
    int number = 0;
    if (systemLocation.startsWith(NumberedDevicePrefix)) {
        // ttyS0 is COM1, so the last numbered port is ttyS254.
        const QStringView digits = QStringView(systemLocation).mid(NumberedDevicePrefix.size());
        if (IsAllDigits(digits) && digits.size() <= 3 && digits.toInt() < MaxComNumber)
            number = digits.toInt() + 1;
    }
#endif
    return number != 0 ? ComPrefix + QString::number(number) : systemLocation;
}

namespace {

// "/dev/ttyUSB10" as "/dev/ttyUSB" and 10, so that ttyUSB2 comes before ttyUSB10.
std::pair<QStringView, qlonglong> SplitTrailingNumber(const QString& name) {
    qsizetype digits = name.size();
    while (digits > 0 && name[digits - 1].isDigit() && name.size() - digits < 18)
        --digits;
    const QStringView stem = QStringView(name).left(digits);
    return {stem, digits < name.size() ? QStringView(name).mid(digits).toLongLong() : -1};
}

} // namespace

void SortPortNames(QStringList& names) {
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int na = ComNumberOf(a);
        const int nb = ComNumberOf(b);
        if ((na != 0) != (nb != 0)) return na != 0;
        if (na != 0) return na < nb;
        const auto [stemA, numberA] = SplitTrailingNumber(a);
        const auto [stemB, numberB] = SplitTrailingNumber(b);
        if (stemA != stemB) return stemA < stemB;
        if (numberA != numberB) return numberA < numberB;
        return a < b;
    });
}

quint16 ResolveTcpPort(const QString& service) {
    if (IsAllDigits(service)) return static_cast<quint16>(ParseBoundedNumber(service, 65535));
    if (service.isEmpty()) return 0;
    const QByteArray serviceName = service.toLatin1();
    if (const servent* entry = ::getservbyname(serviceName.constData(), "tcp"))
        return ntohs(static_cast<quint16>(entry->s_port));
    // Small installs may come without a services database; the names a reader bridge is
    // normally configured with still have to work there.
    struct TKnownService {
        const char* Name;
        quint16 Port;
    };
    static constexpr TKnownService Known[] = {
        {"telnet", 23}, {"http", 80}, {"https", 443}, {"ssh", 22}, {"echo", 7}};
    const QString lower = service.toLower();
    for (const TKnownService& known : Known)
        if (lower == QLatin1String(known.Name)) return known.Port;
    return 0;
}

} // namespace quintrel
