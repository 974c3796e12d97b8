#pragma once
// The maker's maintenance channel on the engine: the program-wide records that every
// osdp_MFGREP updates, the synchronous request-and-wait the editors use, and the generic
// menu handler for a sub-command.

#include "engine.h"
#include "maintenance/mfg_channel.h"

#include <QObject>

namespace quintrel {

class IComposerUi;

class TMaintenance : public QObject {
    Q_OBJECT

  public:
    explicit TMaintenance(TEngine& engine, QObject* parent = nullptr);

    TMaintenanceRecords Records;
    std::uint32_t MfgId() const { return Engine.MfgId; }

    // Queues the request and waits up to a second for osdp_MFGREP from any address; the
    // records are up to date when it returns true.
    bool Ask(const TOsdpRequest& request);

    // "Reset reader settings" and any menu item whose tag is a sub-command: asks for a
    // password where the sub-command needs one, puts the command into the history and
    // queues it without waiting; the answer shows only in the log.
    void OnSendMfgCmdClick(int tag, int address, IComposerUi& ui);

  private:
    TEngine& Engine;
};

} // namespace quintrel
