#include "poll_list.h"

#include "crypto/secure_session.h"

#include <QApplication>
#include <QPainter>

namespace quintrel {

std::optional<QColor> PollItemColour(bool polling, const TDeviceState& device, bool heard,
                                    bool heardSession) {
    if (!(polling && device.Selected) && !heard) return std::nullopt;
    switch (device.Status) {
    case dsOk:
        return device.Session.State >= ssEstablished || heardSession ? QColor(0, 138, 255)
                                                                     : QColor(30, 174, 37);
    case dsTimeout:
        return QColor(255, 0, 0);
    case dsError:
        return QColor(255, 128, 0);
    default:
        return std::nullopt;
    }
}

TPollList::TPollList(TStateSource state, QWidget* parent) : QListWidget(parent) {
    setObjectName(QStringLiteral("EditDevices"));
    setItemDelegate(new TPollItemDelegate(std::move(state), this));
    setFlow(QListView::TopToBottom);
    setWrapping(true);
    setResizeMode(QListView::Adjust);
    setUniformItemSizes(true);
    // A selection highlight would hide the state colours.
    setSelectionMode(QAbstractItemView::NoSelection);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // A wrapping column breaks when an item's bottom would pass height - 1.
    setFixedHeight(Rows * ItemHeight + 1 + 2 * frameWidth());
    for (int a = 0; a < kDeviceCount; ++a) {
        auto* item = new QListWidgetItem(QString::number(a), this);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked); // without this the item shows no box at all
    }
    connect(model(), &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex&, const QModelIndex&, const QList<int>& roles) {
                if (Mirroring) return;
                if (roles.isEmpty() || roles.contains(Qt::CheckStateRole)) emit TicksChanged();
            });
}

TTicks TPollList::Ticked() const {
    TTicks ticks{};
    for (int a = 0; a < kDeviceCount && a < count(); ++a)
        ticks[a] = item(a)->checkState() == Qt::Checked;
    return ticks;
}

void TPollList::SetTicked(const TTicks& ticks) {
    Mirroring = true;
    for (int a = 0; a < kDeviceCount && a < count(); ++a) {
        const Qt::CheckState wanted = ticks[a] ? Qt::Checked : Qt::Unchecked;
        if (item(a)->checkState() != wanted) item(a)->setCheckState(wanted);
    }
    Mirroring = false;
}

void TPollList::resizeEvent(QResizeEvent* event) {
    // Columns share the width, so all 127 addresses show at once whatever the window size.
    setGridSize(QSize(qMax(1, viewport()->width() / Columns), ItemHeight));
    QListWidget::resizeEvent(event);
}

TPollItemDelegate::TPollItemDelegate(TPollList::TStateSource state, QObject* parent)
    : QStyledItemDelegate(parent), State(std::move(state)) {}

QSize TPollItemDelegate::sizeHint(const QStyleOptionViewItem& option,
                                  const QModelIndex& index) const {
    return QSize(QStyledItemDelegate::sizeHint(option, index).width(), TPollList::ItemHeight);
}

void TPollItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget* widget = opt.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();

    // The box goes where the style expects it, so clicks on it keep toggling.
    QStyleOptionViewItem check = opt;
    check.rect = style->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, widget);
    check.state = (check.state & ~(QStyle::State_On | QStyle::State_Off)) |
                  (opt.checkState == Qt::Checked ? QStyle::State_On : QStyle::State_Off);
    painter->fillRect(opt.rect, opt.palette.base());
    style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &check, painter, widget);

    const std::optional<QColor> colour = State ? State(index.row()) : std::nullopt;
    QRect area = opt.rect;
    area.setLeft(check.rect.right() + 2);
    area.setTop(area.top() + 1);
    painter->fillRect(area, colour ? *colour : opt.palette.color(QPalette::Base));
    painter->setPen(colour ? QColor(Qt::white) : opt.palette.color(QPalette::Text));
    painter->setFont(opt.font);
    painter->drawText(area.adjusted(1, 0, 0, 0), Qt::AlignLeft | Qt::AlignTop, opt.text);
}

} // namespace quintrel
