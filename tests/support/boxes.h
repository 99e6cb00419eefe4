#pragma once

#include <QList>
#include <QMessageBox>

// Message boxes on the screen, oldest first.
QList<QMessageBox*> VisibleMessageBoxes();

// Presses OK on every visible message box.
void CloseMessageBoxes();
