#pragma once

#include <QRadioButton>

namespace platform {

// A radio button with the event rules of the window toolkit that this program was made for:
// - Click when it becomes the checked one, by the user or from code; never when it is cleared or
//   clicked while already checked;
// - Enter when the input focus moves onto it: at the mouse press (before its Click), on Tab, and
//   on an arrow key, which then checks it as well (Enter first, then Click);
// - of a group, only the checked button is a tab stop; none is while none is checked.
// Put the buttons of one group in a QButtonGroup: exclusivity then holds for hidden buttons too.
class RadioButton : public QRadioButton
{
    Q_OBJECT

public:
    explicit RadioButton(QWidget* parent = nullptr);

Q_SIGNALS:
    void Click();
    void Enter();

protected:
    void focusInEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void MoveToNeighbour(int step);
};

} // namespace platform
