#include "platform/radiobutton.h"

#include <QButtonGroup>
#include <QFocusEvent>
#include <QKeyEvent>

#include <algorithm>

namespace platform {

RadioButton::RadioButton(QWidget* parent) : QRadioButton(parent)
{
    setFocusPolicy(Qt::ClickFocus);
    connect(this, &QAbstractButton::toggled, this, [this](bool checked) {
        // Tab lands on the checked button of a group and on no other; the mouse still gives
        // the focus to any of them.
        setFocusPolicy(checked ? Qt::StrongFocus : Qt::ClickFocus);
        if (checked)
            Q_EMIT Click();
    });
}

void RadioButton::focusInEvent(QFocusEvent* event)
{
    // The focus coming back with the window or from a closed menu is no move onto the button.
    const Qt::FocusReason reason = event->reason();
    if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
        Q_EMIT Enter();
    QRadioButton::focusInEvent(event);
}

void RadioButton::keyPressEvent(QKeyEvent* event)
{
    // Qt checks the neighbour before it gives it the focus; the order wanted here is the other.
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Up:
        MoveToNeighbour(-1);
        break;
    case Qt::Key_Right:
    case Qt::Key_Down:
        MoveToNeighbour(+1);
        break;
    default:
        QRadioButton::keyPressEvent(event);
    }
}

void RadioButton::MoveToNeighbour(int step)
{
    QList<QAbstractButton*> buttons;
    if (group())
        buttons = group()->buttons();
    buttons.erase(
        std::remove_if(buttons.begin(), buttons.end(),
                       [](QAbstractButton* b) { return !b->isVisible() || !b->isEnabled(); }),
        buttons.end());
    std::sort(buttons.begin(), buttons.end(), [](QAbstractButton* a, QAbstractButton* b) {
        return std::make_pair(a->y(), a->x()) < std::make_pair(b->y(), b->x());
    });
    const auto self = std::find(buttons.begin(), buttons.end(), this);
    if (self == buttons.end() || buttons.size() < 2)
        return;
    const int count = static_cast<int>(buttons.size());
    const int index = static_cast<int>(self - buttons.begin());
    QAbstractButton* next = buttons[(index + step + count) % count]; // wraps, like a dialog group
    next->setFocus(step < 0 ? Qt::BacktabFocusReason : Qt::TabFocusReason);
    next->setChecked(true);
}

} // namespace platform
