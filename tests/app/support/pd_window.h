#pragma once
// The real window connected to the simulated reader program over TCP.

#include "support/pd_process.h"
#include "support/window_fixture.h"

namespace quintrel::test {

struct TPdWindowRig {
    TWindowFixture Fixture;
    TPdProcess Pd;
    TFormMain* Window = nullptr;

    bool Start(const QStringList& pdArgs = {}) {
        Window = &Fixture.Start();
        QString error;
        if (!Pd.Start(pdArgs, &error)) {
            qWarning("%s", qPrintable(error));
            return false;
        }
        Window->Engine().Port().SetPortName(Pd.PortName());
        if (!Window->Engine().OpenPort(&error)) return false;
        Window->UpdateControls();
        return true;
    }
    // The log's lines without their time stamps, and how many of them hold needle.
    QStringList Lines() const {
        QStringList out;
        for (const QString& l : Fixture.LogText().split(QLatin1Char('\n')))
            out << l.mid(13);
        return out;
    }
    int Count(const QString& needle) const {
        return static_cast<int>(Lines().filter(needle).size());
    }
};

} // namespace quintrel::test
