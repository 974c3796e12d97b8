#pragma once
// The window's side of the command composer: the four command dialogs, the key
// prompt, the command line's history and the error box.

#include "composer.h"

#include <QObject>

#include <functional>

class QComboBox;
class QWidget;

namespace quintrel {

class TFormDlgBuzzerControl;
class TFormDlgComConfig;
class TFormDlgLedControl;
class TFormDlgOutputControl;

class TComposerUi : public IComposerUi {
  public:
    // The dialogs are made here, once, so what the user entered stays for the next use.
    TComposerUi(QWidget* window, QComboBox* history, TEngine& engine,
                std::function<int()> selectedAddress, std::function<void()> repaint);

    std::optional<TOutputControl> AskOutputControl() override;
    std::optional<TLedControl> AskLedControl() override;
    std::optional<TBuzzerControl> AskBuzzerControl() override;
    std::optional<TComSetChoice> AskComSet() override;
    std::optional<std::string> AskKey(const std::string& prompt,
                                      const std::string& defaultText) override;
    QString AddToHistory(const QString& text) override;
    void ShowError(const QString& text) override;
    void RepaintPollList() override;

  private:
    QWidget* Window;
    QComboBox* History;
    TEngine& Engine;
    std::function<int()> SelectedAddress;
    std::function<void()> Repaint;
    TFormDlgBuzzerControl* FormDlgBuzzerControl;
    TFormDlgComConfig* FormDlgComConfig;
    TFormDlgLedControl* FormDlgLedControl;
    TFormDlgOutputControl* FormDlgOutputControl;
};

} // namespace quintrel
