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
};

} // namespace quintrel::test
