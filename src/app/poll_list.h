#pragma once
// The poll selection: a check list of the 127 device addresses in 13 columns, each item
// painted in the colour of its device's state while polling runs.

#include "osdp/types.h"

#include <QColor>
#include <QListWidget>
#include <QStyledItemDelegate>

#include <array>
#include <functional>
#include <optional>

namespace quintrel {

using TTicks = std::array<bool, kDeviceCount>;

// The background of a ticked item while polling (text then white); nothing for the plain
// window colours.
// heardSession: while listening, a secure session with the device is read from the line.
std::optional<QColor> PollItemColour(bool polling, const TDeviceState& device, bool heard = false,
                                    bool heardSession = false);

class TPollList : public QListWidget {
    Q_OBJECT

  public:
    static constexpr int Columns = 13;
    static constexpr int Rows = (kDeviceCount + Columns - 1) / Columns;
    static constexpr int ItemHeight = 14;

    // state tells the painter how each address is doing; it is asked at every paint.
    using TStateSource = std::function<std::optional<QColor>(int address)>;
    explicit TPollList(TStateSource state, QWidget* parent = nullptr);

    TTicks Ticked() const;
    // Mirrors the given ticks without reporting them as a change by the user.
    void SetTicked(const TTicks& ticks);

  signals:
    // The user ticked or unticked an address.
    void TicksChanged();

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    bool Mirroring = false;
};

class TPollItemDelegate : public QStyledItemDelegate {
    Q_OBJECT

  public:
    TPollItemDelegate(TPollList::TStateSource state, QObject* parent);
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

  private:
    TPollList::TStateSource State;
};

} // namespace quintrel
