#pragma once
// A composer with scripted answers in place of the dialogs and key prompts, wired to
// an engine whose host issues menu commands through it, as the window does.

#include "composer.h"
#include "support/engine_fixture.h"
#include "support/pd_process.h"

#include <deque>

namespace quintrel::test {

class TScriptedUi : public IComposerUi {
  public:
    std::deque<std::optional<TOutputControl>> Outputs;
    std::deque<std::optional<TLedControl>> Leds;
    std::deque<std::optional<TBuzzerControl>> Buzzers;
    std::deque<std::optional<TComSetChoice>> ComSets;
    std::deque<std::optional<std::string>> Keys;
    QStringList History;
    QStringList Errors;
    QStringList Prompts;
    int Repaints = 0;

    template <typename T> static std::optional<T> Next(std::deque<std::optional<T>>& q) {
        if (q.empty()) return std::nullopt; // no answer scripted: the dialog is closed
        auto v = q.front();
        q.pop_front();
        return v;
    }
    std::optional<TOutputControl> AskOutputControl() override { return Next(Outputs); }
    std::optional<TLedControl> AskLedControl() override { return Next(Leds); }
    std::optional<TBuzzerControl> AskBuzzerControl() override { return Next(Buzzers); }
    std::optional<TComSetChoice> AskComSet() override { return Next(ComSets); }
    std::optional<std::string> AskKey(const std::string& prompt,
                                      const std::string& defaultText) override {
        Prompts << QString::fromStdString(prompt + "|" + defaultText);
        return Next(Keys);
    }
    QString AddToHistory(const QString& text) override {
        const QString t = text.trimmed();
        History.prepend(t);
        return t;
    }
    void ShowError(const QString& text) override { Errors << text; }
    void RepaintPollList() override { ++Repaints; }
};

struct TComposerRig : TEngineRig {
    TScriptedUi Ui;
    TComposer Composer{Engine, Ui};
    TComposerRig() {
        Host.OnIssue = [this](int tag, int address) { Composer.IssueFromReply(tag, address); };
    }
    void Menu(int tag) { Composer.OnSendCmdClick(tag, Host.Selected); }
};

// The same against the simulated reader program over TCP, with every frame in the log.
struct TPdComposerRig : TComposerRig {
    TPdProcess Pd;
    bool Start(const QStringList& args) {
        QString error;
        if (!Pd.Start(args, &error)) {
            qWarning("%s", qPrintable(error));
            return false;
        }
        Engine.View.Raw = true;
        Engine.View.Poll = true;
        return Open(Pd.PortName());
    }
    bool Established(int address) const {
        return Engine.Devices()[address].Session.State == ssEstablished;
    }
    // Starts a handshake with address from the menu and waits for the session to open.
    bool Handshake(int address) {
        Host.Selected = address;
        Menu(0x76);
        const bool ok = QTest::qWaitFor([&] { return Established(address); }, 3000);
        if (!ok) qWarning("%s", qPrintable(Log.join(QLatin1Char('\n'))));
        return ok;
    }
};

// Readers that record what they ran; polling stopped on demand.
struct TStrictRig : TPdComposerRig {
    bool Start(QStringList args, std::initializer_list<int> selection = {0}) {
        Select(selection);
        return TPdComposerRig::Start(args << QStringLiteral("--record"));
    }
    // Stops polling, so each request below goes out alone.
    void Quiet() {
        Engine.StopPolling();
        Engine.WaitExchangeDone();
    }
    bool Send(const TOsdpRequest& request) {
        if (!Engine.QueueRequest(request)) return false;
        Engine.WaitExchangeDone();
        return true;
    }
    // Raw frames sent from log line from on.
    QStringList SentAfter(int from) const { return Log.mid(from).filter(QStringLiteral("> 53 ")); }
    int LogSize() const { return static_cast<int>(Log.size()); }
};

} // namespace quintrel::test
