#pragma once
// The Devices view's table: one row per address that is polled or has answered, with what
// the device said about itself (identification, capabilities), its secure-channel state,
// its last command other than osdp_POLL with how it was answered, and the line's record
// with it (polls, replies, time-outs, invalid replies, NAKs by reason, repeats, round-trip
// times). Fed by the engine's signals; the counters change at line speed but the table
// tells its views at most a few times a second, and then only of the cells whose text or
// colour changed.

#include <QAbstractTableModel>
#include <QTimeZone>
#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace quintrel {

class TEngine;
enum class TExchangeEnd;
struct TCommandEnd;

// How a command was answered, in the log's words: "ACK", "NAK(03)" with the device's reason
// code, "BUSY", the reply's name when it answers with data ("RES_ID"), or what came instead
// of a reply ("no reply", "damaged reply", "MAC error").
QString AnswerText(const TCommandEnd& end);

struct TDeviceStats {
    bool Answered = false;
    bool Sent = false; // a frame went to this address
    qint64 LastSeenMs = 0; // since 1970; 0 = never
    // From the last identification and capabilities replies.
    QString Vendor, Model, Serial, Firmware, Capabilities;
    // The last command other than osdp_POLL (named as the log names it) and its answer,
    // empty while it waits for one.
    QString LastCommand, LastAnswer;
    qint64 Polls = 0;
    qint64 Replies = 0;
    qint64 Timeouts = 0;
    qint64 CheckErrors = 0; // CRC or checksum, or the frame's layout
    qint64 MacErrors = 0;   // intact, but its MAC or session did not hold
    qint64 Repeats = 0;
    std::map<std::uint8_t, qint64> Naks; // by reason code
    qint64 RttLastUs = -1;
    qint64 RttMinUs = 0;
    qint64 RttMaxUs = 0;
    qint64 RttSumUs = 0;
    qint64 RttCount = 0;

    qint64 NakCount() const;
    void ResetCounters();
};

class TDeviceTable : public QAbstractTableModel {
    Q_OBJECT

  public:
    enum TColumn {
        colAddress,
        colVendor,
        colModel,
        colSerial,
        colFirmware,
        colCapabilities,
        colSession,
        colLastCommand,
        colLastSeen,
        colPolls,
        colReplies,
        colTimeouts,
        colCheckErrors,
        colMacErrors,
        colNaks,
        colRepeats,
        colRttLast,
        colRttMin,
        colRttMean,
        colRttMax,
        ColumnCount
    };
    static constexpr int RepaintMs = 250;
    // The value a column sorts by (numbers as numbers).
    static constexpr int SortRole = Qt::UserRole;

    // colour gives the address cell's background (the poll list's state colour), or an
    // invalid QVariant for none.
    TDeviceTable(TEngine& engine, std::function<QVariant(int address)> colour,
                 QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    const TDeviceStats& Stats(int address) const {
        return Records.at(static_cast<std::size_t>(address));
    }
    int RowOf(int address) const;
    void ResetCounters();
    // Brings the views up to date now (the timer does so RepaintMs after a change).
    void Refresh();
    // Times the views were told of a change (for the repaint budget).
    qint64 Repaints() const { return RepaintCount; }

  signals:
    // A text in the column is longer than any it held before: its width may no longer do.
    void ColumnWidened(int column);

  private:
    // What the views were last told of a row.
    struct TRowCache {
        std::array<QString, ColumnCount> Text;
        QVariant Colour;
        qint64 SeenMs = -1; // LastSeenMs behind Text[colLastSeen]
    };

    TDeviceStats* Device(std::uint8_t address);
    void Changed();
    void OnFrameSent(std::uint8_t address, std::uint8_t command, int attempt);
    void OnExchangeEnded(std::uint8_t address, TExchangeEnd end, qint64 roundTripUs);
    void OnFrameReceived(std::uint8_t address, std::uint8_t code, const QByteArray& data);
    void OnCommandEnded(const TCommandEnd& end);
    QString Text(int address, int column) const;
    // Brings the row's cache up to date; the columns whose text or colour changed.
    std::array<bool, ColumnCount> Update(std::size_t row);
    void NoteWidths(const TRowCache& row);
    QVariant SortValue(int address, int column) const;

    TEngine& Engine;
    std::function<QVariant(int)> Colour;
    std::vector<TDeviceStats> Records;           // by address
    std::vector<int> Shown;                      // the addresses in the table, in row order
    std::vector<TRowCache> Cache;                // by row
    std::array<qsizetype, ColumnCount> Widest{}; // longest text each column has held
    // Read once: a conversion to local time by the process's zone reads the zone file.
    QTimeZone Zone;
    QTimer Repaint;
    qint64 RepaintCount = 0;
};

} // namespace quintrel
