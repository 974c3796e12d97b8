#pragma once
// Finds the readers on a line: at each speed asked, first (in a quick search) one osdp_ID to
// the broadcast address, listened to for the whole wait (a single reader that answers from its
// own address names it, and nothing more is asked), else osdp_ID to every address of the range with
// sequence 0, moving on at the first valid reply or after a short wait. Afterwards the port is back
// at its speed and polling runs again if it ran before.

#include "engine.h"

#include <QList>
#include <QObject>
#include <QString>

namespace quintrel {

struct TFinderOptions {
    QList<int> Speeds; // empty, or on TCP: the port's own speed only
    int FirstAddress = 0;
    int LastAddress = 126;
    int WaitMs = 100; // per address, at most the normal reply time-out
    // Every address of the range is asked, whatever the broadcast heard: a reader that does
    // not answer broadcasts is found too.
    bool EveryAddress = false;
};

struct TFoundDevice {
    int Baud = 0; // 0 on TCP
    int Address = 0;
    QString Vendor; // empty when the reader did not identify itself
    QString Model;
    QString Serial;
    QString Firmware;
    QString Note; // "damaged reply", "refused osdp_ID"
};

class TDeviceFinder : public QObject {
    Q_OBJECT

  public:
    explicit TDeviceFinder(TEngine& engine, QObject* parent = nullptr);

    // Runs the search with the window alive (the engine's waits); returns what was found.
    QList<TFoundDevice> Run(const TFinderOptions& options);
    // Stops a running search within one wait.
    void Cancel() { Cancelled = true; }
    bool Running() const { return IsRunning; }

  signals:
    void Found(const TFoundDevice& device);
    void Progress(int done, int total);

  private:
    enum class TAnswer { None, Valid, Damaged, Several };
    TAnswer Ask(int address, TFoundDevice& device);
    bool SearchSpeed(int baud, const TFinderOptions& options, int& done, int total);
    QString Summary(int done, int total, bool everyAddress) const;

    TEngine& Engine;
    bool Cancelled = false;
    bool IsRunning = false;
    QList<TFoundDevice> Results;
    int Silent = 0; // addresses asked without an answer
};

} // namespace quintrel
