#pragma once
// An engine with a recording host: every log line and status text is kept so a test
// can assert on what a person would have seen.

#include "engine.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <map>

namespace quintrel::test {

class TRecordingHost : public IEngineHost {
  public:
    int Selected = 0;
    QList<int> IssuedCommands;
    std::function<void(int, int)> OnIssue;
    int SelectedAddress() const override { return Selected; }
    void SelectAddress(int address) override { Selected = address; }
    void IssueMenuCommand(int tag, int address) override {
        IssuedCommands << tag;
        if (OnIssue) OnIssue(tag, address < 0 ? Selected : address);
    }
};

struct TEngineRig {
    TRecordingHost Host;
    TEngine Engine{&Host};
    QStringList Log;
    QList<qint64> LogTimes; // ms since the rig was made, one for each line of Log
    QElapsedTimer Clock;
    QStringList Errors;
    std::map<int, QString> Status;

    TEngineRig() {
        Clock.start();
        QObject::connect(&Engine, &TEngine::LogLine, [this](const QString& l) {
            Log << l;
            LogTimes << Clock.elapsed();
        });
        QObject::connect(&Engine, &TEngine::ErrorMessage,
                         [this](const QString& e) { Errors << e; });
        QObject::connect(&Engine, &TEngine::StatusText,
                         [this](int panel, const QString& t) { Status[panel] = t; });
        Select({0}); // as the window starts: only address 0 ticked
    }
    ~TEngineRig() {
        if (Engine.Port().IsOpen()) Engine.Disconnect();
    }

    void Select(std::initializer_list<int> addresses) {
        std::array<bool, kDeviceCount> ticks{};
        for (int a : addresses)
            ticks[a] = true;
        Engine.SetSelection(ticks);
    }
    bool Open(const QString& portName) {
        Engine.Port().SetPortName(portName);
        QString error;
        const bool ok = Engine.OpenPort(&error);
        if (!ok) qWarning("open failed: %s", qPrintable(error));
        return ok;
    }
    int Count(const QString& text) const { return static_cast<int>(Log.count(text)); }
    int CountContaining(const QString& text) const {
        return static_cast<int>(Log.filter(text).size());
    }
    // The longest time between two frames sent (raw lines "> 53 ...") from line from on.
    qint64 LongestGapBetweenSends(int from = 0) const {
        qint64 longest = 0, last = -1;
        for (int i = from; i < Log.size(); ++i) {
            if (!Log[i].startsWith(QLatin1String("> 53 "))) continue;
            if (last >= 0) longest = std::max(longest, LogTimes[i] - last);
            last = LogTimes[i];
        }
        return longest;
    }
    // Frames the engine sent, from the raw log lines ("> 53 ...").
    QList<QByteArray> SentFrames() const {
        QList<QByteArray> frames;
        for (const QString& l : Log)
            if (l.startsWith(QLatin1String("> 53 ")))
                frames << QByteArray::fromHex(l.mid(2).remove(QLatin1Char(' ')).toLatin1());
        return frames;
    }
};

// Runs the event loop until done() holds or ms have passed. Unlike QTest::qWait, which
// sleeps 10 ms between passes, it wakes for every event, so a test of many quick
// exchanges runs at the line's pace.
inline bool WaitUntil(const std::function<bool()>& done, int ms) {
    QEventLoop loop;
    QTimer check;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || clock.elapsed() >= ms) loop.quit();
    });
    check.start(20);
    if (!done()) loop.exec();
    return done();
}

inline TOsdpRequest MakeRequest(std::uint8_t command, std::uint8_t address,
                                std::initializer_list<std::uint8_t> payload = {}) {
    TOsdpRequest r;
    r.Command = command;
    r.Address = address;
    std::uint16_t n = 0;
    for (std::uint8_t b : payload)
        r.Payload[n++] = b;
    r.PayloadLength = n;
    return r;
}

} // namespace quintrel::test
