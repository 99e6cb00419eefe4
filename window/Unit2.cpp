#include "window/Unit2.h"

#include "platform/error.h"
#include "platform/serialport.h"
#include "window/ert.h"

#include <QComboBox>
#include <QLabel>

TForm2* Form2 = nullptr;

namespace {

QComboBox* MakeList(QWidget* parent, const QString& name, const QStringList& entries, int left)
{
    // A list to choose from, with no typing: only the entries listed can be chosen.
    auto* box = new QComboBox(parent);
    box->setObjectName(name);
    box->addItems(entries);
    box->move(left, 24);
    box->resize(73, box->sizeHint().height());
    return box;
}

} // namespace

TForm2::TForm2(QWidget* parent) : platform::Form(parent)
{
    Q_ASSERT(!Form2);
    Form2 = this;
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Настройка"));
    SetBounds(348, 314, 277, 111);

    Label1 = new QLabel(QStringLiteral("Порт"), Client());
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(DefaultFont(13));
    Label1->move(16, 24);
    Label1->adjustSize();
    ComboBox1 = MakeList(Client(), QStringLiteral("ComboBox1"),
                         {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"),
                          QStringLiteral("COM4")},
                         72);
    ComboBox2 = MakeList(Client(), QStringLiteral("ComboBox2"),
                         {QStringLiteral("4800"), QStringLiteral("9600")}, 160);
    QWidget::setTabOrder(ComboBox1, ComboBox2);

    // activated: the user's choices only, not a selection made from code.
    platform::Bind(ComboBox1, &QComboBox::activated, this, [this] { ComboBox1Change(ComboBox1); });
    platform::Bind(ComboBox2, &QComboBox::activated, this, [this] { ComboBox2Change(ComboBox2); });
}

TForm2::~TForm2()
{
    Form2 = nullptr;
}

void TForm2::ComboBox1Change(QObject*)
{
    Form1->ComPort->SetComNumber(static_cast<std::uint16_t>(ComboBox1->currentIndex() + 1));
}

void TForm2::ComboBox2Change(QObject*)
{
    const QString text = ComboBox2->currentText();
    bool isNumber = false;
    const int baud = text.toInt(&isNumber);
    if (!isNumber)
        throw platform::Error(QStringLiteral("'%1' is not a valid integer value").arg(text));
    Form1->ComPort->SetBaud(baud);
}
