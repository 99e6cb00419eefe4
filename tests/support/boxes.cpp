#include "tests/support/boxes.h"

#include <QAbstractButton>
#include <QApplication>

QList<QMessageBox*> VisibleMessageBoxes()
{
    QList<QMessageBox*> boxes;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
            boxes.append(box);
    }
    return boxes;
}

void CloseMessageBoxes()
{
    for (QMessageBox* box : VisibleMessageBoxes()) {
        if (QAbstractButton* ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->close();
    }
}
