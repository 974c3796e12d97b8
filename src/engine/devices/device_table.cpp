#include "devices/device_table.h"

#include "crypto/secure_session.h"
#include "decode/decoders.h"
#include "decode/describe.h"
#include "engine.h"
#include "log/hex.h"

#include <QDateTime>

#include <algorithm>

namespace quintrel {

namespace {

QString Ms(qint64 us) {
    return QString::number(static_cast<double>(us) / 1000.0, 'f', 2);
}

// The capabilities a device has, without the ones it reports as absent.
QString CapabilitySummary(const QByteArray& data) {
    const std::string all = DecodePdcap(reinterpret_cast<const std::uint8_t*>(data.constData()),
                                        static_cast<std::size_t>(data.size()));
    QStringList kept;
    for (const QString& entry : QString::fromStdString(all).split(QStringLiteral(", ")))
        if (!entry.startsWith(QLatin1String("NO-"))) kept << entry;
    return kept.join(QStringLiteral(", "));
}

constexpr std::uint8_t kPoll = 0x60;
constexpr std::uint8_t kAck = 0x40;
constexpr std::uint8_t kNak = 0x41;
constexpr std::uint8_t kBusy = 0x79;

} // namespace

QString AnswerText(const TCommandEnd& end) {
    switch (end.End) {
    case TExchangeEnd::Timeout:
        return QStringLiteral("no reply");
    case TExchangeEnd::BadCheck:
        return QStringLiteral("damaged reply");
    case TExchangeEnd::BadSecurity:
        return QStringLiteral("MAC error");
    case TExchangeEnd::NotSent:
        return QStringLiteral("not sent");
    case TExchangeEnd::Reply:
        break;
    }
    switch (end.Reply) {
    case kAck:
        return QStringLiteral("ACK");
    case kBusy:
        return QStringLiteral("BUSY");
    case kNak: {
        QString text = QStringLiteral("NAK");
        if (!end.Data.isEmpty())
            text += QLatin1Char('(') +
                    QString::fromStdString(
                        BytesToHex(reinterpret_cast<const std::uint8_t*>(end.Data.constData()),
                                   static_cast<std::size_t>(end.Data.size()), true)) +
                    QLatin1Char(')');
        return text;
    }
    default: {
        // A few codes have no name of their own in the log, which shows their data alone.
        const std::string name = ReplyName(end.Reply);
        return name.empty() ? QString::asprintf("RES_%.2X", end.Reply)
                            : QString::fromStdString(name);
    }
    }
}

qint64 TDeviceStats::NakCount() const {
    qint64 n = 0;
    for (const auto& [reason, count] : Naks)
        n += count;
    return n;
}

void TDeviceStats::ResetCounters() {
    LastCommand.clear();
    LastAnswer.clear();
    Polls = Replies = Timeouts = CheckErrors = MacErrors = Repeats = 0;
    Naks.clear();
    RttLastUs = -1;
    RttMinUs = RttMaxUs = RttSumUs = RttCount = 0;
}

TDeviceTable::TDeviceTable(TEngine& engine, std::function<QVariant(int)> colour, QObject* parent)
    : QAbstractTableModel(parent), Engine(engine), Colour(std::move(colour)), Records(kDeviceCount + 1),
      Zone(QTimeZone::systemTimeZone()) {
    Repaint.setSingleShot(true);
    Repaint.setInterval(RepaintMs);
    connect(&Repaint, &QTimer::timeout, this, &TDeviceTable::Refresh);
    connect(&engine, &TEngine::FrameSent, this, &TDeviceTable::OnFrameSent);
    connect(&engine, &TEngine::ExchangeEnded, this, &TDeviceTable::OnExchangeEnded);
    connect(&engine, &TEngine::FrameReceived, this, &TDeviceTable::OnFrameReceived);
    connect(&engine, &TEngine::CommandEnded, this, &TDeviceTable::OnCommandEnded);
    // States, sessions and the selection change with these.
    connect(&engine, &TEngine::PollListChanged, this, &TDeviceTable::Changed);
    connect(&engine, &TEngine::ControlsChanged, this, &TDeviceTable::Changed);
    // A line listened to starts with an empty table: nothing left from another line.
    connect(&engine, &TEngine::ListeningStarted, this, [this] {
        Records.assign(Records.size(), TDeviceStats{});
        Refresh();
    });
    Refresh();
}

// The broadcast address has a record of its own: what was sent to every reader, and the
// answers that came from the broadcast address.
TDeviceStats* TDeviceTable::Device(std::uint8_t address) {
    return address <= kBroadcastAddress ? &Records[address] : nullptr;
}

void TDeviceTable::Changed() {
    if (!Repaint.isActive()) Repaint.start();
}

void TDeviceTable::OnFrameSent(std::uint8_t address, std::uint8_t command, int attempt) {
    TDeviceStats* d = Device(address);
    if (!d) return;
    if (attempt > 1) {
        ++d->Repeats;
    } else if (command == kPoll) {
        ++d->Polls;
    } else {
        d->LastCommand = QString::fromStdString(CommandName(command));
        d->LastAnswer.clear();
    }
    d->Sent = true;
    Changed();
}

void TDeviceTable::OnExchangeEnded(std::uint8_t address, TExchangeEnd end, qint64 roundTripUs) {
    TDeviceStats* d = Device(address);
    if (!d) return;
    switch (end) {
    case TExchangeEnd::Reply:
        ++d->Replies;
        if (roundTripUs >= 0) {
            d->RttLastUs = roundTripUs;
            d->RttMinUs = d->RttCount ? std::min(d->RttMinUs, roundTripUs) : roundTripUs;
            d->RttMaxUs = std::max(d->RttMaxUs, roundTripUs);
            d->RttSumUs += roundTripUs;
            ++d->RttCount;
        }
        break;
    case TExchangeEnd::Timeout:
        ++d->Timeouts;
        break;
    case TExchangeEnd::BadCheck:
        ++d->CheckErrors;
        break;
    case TExchangeEnd::BadSecurity:
        ++d->MacErrors;
        break;
    case TExchangeEnd::NotSent: // no exchange took place
        break;
    }
    Changed();
}

void TDeviceTable::OnFrameReceived(std::uint8_t address, std::uint8_t code,
                                   const QByteArray& data) {
    TDeviceStats* d = Device(address);
    if (!d) return;
    d->Answered = true;
    d->LastSeenMs = QDateTime::currentMSecsSinceEpoch();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.constData());
    const auto length = static_cast<std::size_t>(data.size());
    if (code == 0x45) {
        if (const std::optional<TPdid> id = ParsePdid(bytes, length)) {
            QString vendor = QString::fromStdString(Engine.Vendors.VendorName(id->Vendor));
            d->Vendor = vendor.mid(vendor.indexOf(QLatin1Char('=')) + 1);
            d->Model = QString::asprintf("%.2X (hw %.2X)", id->Model, id->Version);
            d->Serial = QString::asprintf("%.8X", id->Serial);
            d->Firmware =
                QString::asprintf("%d.%d.%d", id->Firmware[0], id->Firmware[1], id->Firmware[2]);
        }
    } else if (code == 0x46 && length >= 3) {
        d->Capabilities = CapabilitySummary(data);
    } else if (code == 0x41) {
        ++d->Naks[length > 0 ? bytes[0] : 0];
    }
    Changed();
}

void TDeviceTable::OnCommandEnded(const TCommandEnd& end) {
    TDeviceStats* d = Device(end.Address);
    if (!d) return;
    d->LastCommand = QString::fromStdString(CommandName(end.Command));
    d->LastAnswer = AnswerText(end);
    Changed();
}

void TDeviceTable::ResetCounters() {
    for (TDeviceStats& d : Records)
        d.ResetCounters();
    Refresh();
}

int TDeviceTable::RowOf(int address) const {
    const auto at = std::find(Shown.begin(), Shown.end(), address);
    return at == Shown.end() ? -1 : static_cast<int>(at - Shown.begin());
}

// Each cell's text is made here, a few times a second, and kept: painting reads the cache.
// Only the runs of cells whose text or colour changed are reported, row by row, so a view
// repaints those cells and not the table.
void TDeviceTable::Refresh() {
    Repaint.stop();
    std::vector<int> wanted;
    for (int a = 0; a < kDeviceCount; ++a)
        if (Engine.Devices()[a].Selected || Records[a].Answered) wanted.push_back(a);
    const TDeviceStats& broadcast = Records[kBroadcastAddress];
    if (broadcast.Sent || broadcast.Answered) wanted.push_back(kBroadcastAddress);
    if (wanted != Shown) {
        ++RepaintCount;
        beginResetModel();
        Shown = std::move(wanted);
        Cache.assign(Shown.size(), TRowCache{});
        for (std::size_t row = 0; row < Shown.size(); ++row)
            Update(row);
        endResetModel();
        for (const TRowCache& row : Cache)
            NoteWidths(row);
        return;
    }
    bool told = false;
    for (std::size_t row = 0; row < Shown.size(); ++row) {
        const std::array<bool, ColumnCount> changed = Update(row);
        if (std::find(changed.begin(), changed.end(), true) == changed.end()) continue;
        const int r = static_cast<int>(row);
        for (int first = 0; first < ColumnCount; ++first) {
            if (!changed[static_cast<std::size_t>(first)]) continue;
            int last = first;
            while (last + 1 < ColumnCount && changed[static_cast<std::size_t>(last + 1)])
                ++last;
            emit dataChanged(index(r, first), index(r, last));
            first = last;
        }
        told = true;
        NoteWidths(Cache[row]);
    }
    if (told) ++RepaintCount;
}

std::array<bool, TDeviceTable::ColumnCount> TDeviceTable::Update(std::size_t row) {
    std::array<bool, ColumnCount> changed{};
    TRowCache& cache = Cache[row];
    const int address = Shown[row];
    for (int column = 0; column < ColumnCount; ++column) {
        const auto c = static_cast<std::size_t>(column);
        if (column == colLastSeen) {
            // Formatted only when it moved: the time of day is the costliest text here.
            const qint64 seen = Records[static_cast<std::size_t>(address)].LastSeenMs;
            if (seen == cache.SeenMs) continue;
            cache.SeenMs = seen;
        }
        QString text = Text(address, column);
        if (text != cache.Text[c]) {
            cache.Text[c] = std::move(text);
            changed[c] = true;
        }
    }
    QVariant colour = Colour && address < kDeviceCount ? Colour(address) : QVariant();
    if (colour != cache.Colour) {
        cache.Colour = std::move(colour);
        changed[colAddress] = true;
    }
    return changed;
}

void TDeviceTable::NoteWidths(const TRowCache& row) {
    for (int column = 0; column < ColumnCount; ++column) {
        const qsizetype length = row.Text[static_cast<std::size_t>(column)].size();
        if (length <= Widest[static_cast<std::size_t>(column)]) continue;
        Widest[static_cast<std::size_t>(column)] = length;
        emit ColumnWidened(column);
    }
}

int TDeviceTable::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(Shown.size());
}

int TDeviceTable::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TDeviceTable::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const kTitles[ColumnCount] = {
        "Address",          "Vendor",       "Model",          "Serial number",
        "Firmware",         "Capabilities", "Secure channel", "Last command",
        "Last seen",        "Polls",        "Replies",        "Time-outs",
        "CRC/cksum errors", "MAC errors",   "NAKs",           "Repeats",
        "RTT last (ms)",    "RTT min (ms)", "RTT mean (ms)",  "RTT max (ms)"};
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount) return {};
    if (role == Qt::DisplayRole) return QString::fromLatin1(kTitles[section]);
    return {};
}

QString TDeviceTable::Text(int address, int column) const {
    const TDeviceStats& d = Records[static_cast<std::size_t>(address)];
    const auto count = [](qint64 n) { return QString::number(n); };
    switch (column) {
    case colAddress:
        return address == kBroadcastAddress ? QStringLiteral("127 (broadcast)")
                                            : QString::number(address);
    case colVendor:
        return d.Vendor;
    case colModel:
        return d.Model;
    case colSerial:
        return d.Serial;
    case colFirmware:
        return d.Firmware;
    case colCapabilities:
        return d.Capabilities;
    case colSession: {
        if (address >= kDeviceCount) return QString(); // no session with every reader
        if (Engine.Listening())
            return Engine.HeardSession(address) ? QStringLiteral("established")
                                                : QStringLiteral("none");
        const std::uint8_t state = Engine.Devices()[address].Session.State;
        return state == ssNone          ? QStringLiteral("none")
               : state >= ssEstablished ? QStringLiteral("established")
                                        : QStringLiteral("handshake");
    }
    case colLastCommand:
        return d.LastAnswer.isEmpty() ? d.LastCommand
                                      : d.LastCommand + QStringLiteral(": ") + d.LastAnswer;
    case colLastSeen:
        return d.LastSeenMs ? QDateTime::fromMSecsSinceEpoch(d.LastSeenMs, Zone)
                                  .toString(QStringLiteral("HH:mm:ss.zzz"))
                            : QString();
    case colPolls:
        return count(d.Polls);
    case colReplies:
        return count(d.Replies);
    case colTimeouts:
        return count(d.Timeouts);
    case colCheckErrors:
        return count(d.CheckErrors);
    case colMacErrors:
        return count(d.MacErrors);
    case colNaks: {
        QString text = count(d.NakCount());
        QStringList reasons;
        for (const auto& [reason, n] : d.Naks)
            reasons << QString::asprintf("%.2X\u00D7%lld", reason, static_cast<long long>(n));
        if (!reasons.isEmpty())
            text += QStringLiteral(" (") + reasons.join(QStringLiteral(", ")) + QLatin1Char(')');
        return text;
    }
    case colRepeats:
        return count(d.Repeats);
    case colRttLast:
        return d.RttLastUs >= 0 ? Ms(d.RttLastUs) : QString();
    case colRttMin:
        return d.RttCount ? Ms(d.RttMinUs) : QString();
    case colRttMean:
        return d.RttCount ? Ms(d.RttSumUs / d.RttCount) : QString();
    case colRttMax:
        return d.RttCount ? Ms(d.RttMaxUs) : QString();
    default:
        return {};
    }
}

QVariant TDeviceTable::SortValue(int address, int column) const {
    const TDeviceStats& d = Records[static_cast<std::size_t>(address)];
    switch (column) {
    case colAddress:
        return address;
    case colLastSeen:
        return d.LastSeenMs;
    case colPolls:
        return d.Polls;
    case colReplies:
        return d.Replies;
    case colTimeouts:
        return d.Timeouts;
    case colCheckErrors:
        return d.CheckErrors;
    case colMacErrors:
        return d.MacErrors;
    case colNaks:
        return d.NakCount();
    case colRepeats:
        return d.Repeats;
    case colRttLast:
        return d.RttLastUs;
    case colRttMin:
        return d.RttCount ? d.RttMinUs : -1;
    case colRttMean:
        return d.RttCount ? d.RttSumUs / d.RttCount : -1;
    case colRttMax:
        return d.RttCount ? d.RttMaxUs : -1;
    default:
        return Text(address, column);
    }
}

QVariant TDeviceTable::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(Shown.size())) return {};
    if (index.column() < 0 || index.column() >= ColumnCount) return {};
    const auto row = static_cast<std::size_t>(index.row());
    const int address = Shown[row];
    switch (role) {
    case Qt::DisplayRole:
        return Cache[row].Text[static_cast<std::size_t>(index.column())];
    case Qt::ToolTipRole:
        // The capabilities in full, one to a line: the column is kept narrower than them.
        if (index.column() != colCapabilities || Cache[row].Text[colCapabilities].isEmpty())
            return {};
        return QString(Cache[row].Text[colCapabilities])
            .replace(QStringLiteral(", "), QStringLiteral("\n"));
    case SortRole:
        return SortValue(address, index.column());
    case Qt::BackgroundRole:
        return index.column() == colAddress ? Cache[row].Colour : QVariant();
    case Qt::TextAlignmentRole:
        return index.column() >= colPolls || index.column() == colAddress
                   ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                   : QVariant();
    default:
        return {};
    }
}

} // namespace quintrel
