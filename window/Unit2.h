#pragma once

#include "platform/form.h"

class QComboBox;
class QLabel;

// The port settings dialog. Each choice goes to the main window's port component the moment it
// is made; there is no OK or Cancel, and the dialog keeps no settings of its own.
class TForm2 : public platform::Form
{
    Q_OBJECT

public:
    explicit TForm2(QWidget* parent = nullptr);
    ~TForm2() override;

    QLabel* Label1;
    QComboBox* ComboBox1; // port
    QComboBox* ComboBox2; // speed

    void ComboBox1Change(QObject* Sender);
    void ComboBox2Change(QObject* Sender);
};

extern TForm2* Form2;
