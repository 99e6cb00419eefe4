#include "window/ert.h"

#include "link/frame.h"
#include "link/timing.h"
#include "link/worker.h"
#include "platform/edit.h"
#include "platform/error.h"
#include "platform/groupbox.h"
#include "platform/radiobutton.h"
#include "platform/serialport.h"
#include "platform/timer.h"
#include "window/Unit2.h"
#include "window/catalogue.h"
#include "window/pictures.h"

#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>

#include <algorithm>
#include <cstring>

std::uint8_t RequestBuf[70];
std::uint8_t ReplyBuf[72];
std::uint8_t RequestLength;
std::uint8_t ReplyLength;
std::uint8_t RxCount;
std::uint8_t RequestPending;
std::mutex ExchangeLock;

std::uint8_t PollState;
std::uint8_t CurrentModel;
std::uint8_t RangeEntered;
std::uint8_t ScaleClass;

TForm1* Form1 = nullptr;

platform::RadioButton* TForm1::*const TForm1::SelectorMembers[8] = {
    &TForm1::RadioButton4, &TForm1::RadioButton5, &TForm1::RadioButton6,  &TForm1::RadioButton7,
    &TForm1::RadioButton8, &TForm1::RadioButton9, &TForm1::RadioButton10, &TForm1::RadioButton11};
QLabel* TForm1::*const TForm1::LabelMembers[8] = {&TForm1::Label1, &TForm1::Label2, &TForm1::Label3,
                                                  &TForm1::Label4, &TForm1::Label5, &TForm1::Label6,
                                                  &TForm1::Label7, &TForm1::Label8};

namespace {

template <typename Widget> Widget* Named(Widget* widget, const QString& name)
{
    widget->setObjectName(name);
    return widget;
}

template <typename Widget>
Widget* Place(Widget* widget, const char* name, int left, int top, int width, int height)
{
    widget->setGeometry(left, top, width, height);
    return Named(widget, QLatin1String(name));
}

QFont DisplayFont()
{
    QFont font(QStringLiteral("Times New Roman"));
    font.setStyleHint(QFont::Serif);
    font.setPixelSize(64);
    return font;
}

void ResetSharedState()
{
    const std::lock_guard<std::mutex> lock(ExchangeLock);
    std::memset(RequestBuf, 0, sizeof RequestBuf);
    std::memset(ReplyBuf, 0, sizeof ReplyBuf);
    RequestLength = ReplyLength = RxCount = RequestPending = 0;
    PollState = CurrentModel = RangeEntered = ScaleClass = 0;
}

} // namespace

void SendCommand(std::uint8_t code)
{
    const std::lock_guard<std::mutex> lock(ExchangeLock);
    RequestBuf[0] = code;
    if (const CommandInfo* command = FindCommand(code)) {
        RequestLength = command->requestLength;
        ReplyLength = command->replyLength;
    }
    if (RequestLength < 3)
        return; // an unknown code before any known one: no frame to build
    SealRequest(RequestBuf, RequestLength);
    // Any reply to an earlier request that is still waiting belongs to an abandoned exchange.
    Form1->ComPort->FlushInBuffer();
    Form1->ComPort->FlushOutBuffer();
    Form1->ComPort->PutBlock(RequestBuf, RequestLength);
    Form1->timeout->SetEnabled(true); // a running reply timer keeps its period
    RequestPending = 1;
}

void StopPolling()
{
    Form1->interval->SetEnabled(false);
    Form1->timeout->SetEnabled(false);
    PollState = 0;
}

void StopReplyTimer()
{
    const std::lock_guard<std::mutex> lock(ExchangeLock);
    if (!RequestPending)
        Form1->timeout->SetEnabled(false);
}

TForm1::TForm1(QWidget* parent) : platform::Form(parent)
{
    Q_ASSERT(!Form1);
    Form1 = this;
    ResetSharedState();
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Orvanta"));
    setWindowIcon(Pictures::WindowIcon());
    SetBounds(270, 233, 521, 284);

    ComPort = Named(new platform::SerialPort(this), QStringLiteral("ComPort"));
    interval = Named(new platform::Timer(PollPeriod, this), QStringLiteral("interval"));
    timeout = Named(new platform::Timer(ReplyTimeout, this), QStringLiteral("timeout"));
    CreateControls();
    CreateMenu();
    BindHandlers();
}

TForm1::~TForm1()
{
    // The worker may be inside a pass that waits for this window or reads the port.
    delete Worker;
    Worker = nullptr;
    Form1 = nullptr;
}

void TForm1::CreateControls()
{
    QWidget* client = Client();
    Edit1 = Place(new platform::Edit(client), "Edit1", 56, 8, 217, 81);
    Edit2 = Place(new platform::Edit(client), "Edit2", 280, 8, 97, 81);
    for (QLineEdit* edit : {Edit1, Edit2})
        edit->setFont(DisplayFont());

    GroupBox2 = Place(new platform::GroupBox(QStringLiteral("Предел"), client), "GroupBox2", 56,
                      104, 441, 57);
    selectorGroup_ = new QButtonGroup(this);
    for (int k = 0; k < RangeSlots; ++k) {
        auto* label = new QLabel(QStringLiteral("0.075В"), GroupBox2);
        label->setObjectName(QStringLiteral("Label%1").arg(k + 1));
        label->move(8 + 48 * k, 16);
        label->adjustSize();
        label->hide();
        this->*LabelMembers[k] = label;

        auto* selector = new platform::RadioButton(GroupBox2);
        selector->setObjectName(QStringLiteral("RadioButton%1").arg(k + 4));
        selector->setGeometry(16 + 48 * k, 32, 17, 17);
        selector->hide();
        selectorGroup_->addButton(selector, k);
        this->*SelectorMembers[k] = selector;
    }
    Label9 = Named(new QLabel(QStringLiteral("Авт"), GroupBox2), QStringLiteral("Label9"));
    Label9->move(408, 16);
    Label9->adjustSize();
    CheckBox1 = Place(new QCheckBox(GroupBox2), "CheckBox1", 408, 32, 25, 17);

    BitLoad = Place(new QPushButton(Pictures::Read(), QStringLiteral("Чтение показаний"), client),
                    "BitLoad", 136, 176, 137, 25);
    BitLoad->setEnabled(false);
    BitBtnStop = Place(new QPushButton(Pictures::Stop(), QStringLiteral("Стоп"), client),
                       "BitBtnStop", 288, 176, 65, 25);

    QWidget* order[] = {BitLoad,       Edit1,        Edit2,        RadioButton4, RadioButton5,
                        RadioButton6,  RadioButton7, RadioButton8, RadioButton9, RadioButton10,
                        RadioButton11, CheckBox1,    BitBtnStop};
    for (std::size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

void TForm1::CreateMenu()
{
    QMenuBar* bar = Named(Menu(), QStringLiteral("MainMenu"));
    const auto addMenu = [bar](const char* name, const QString& title) {
        QMenu* menu = Named(bar->addMenu(title), QLatin1String(name));
        menu->menuAction()->setObjectName(QLatin1String(name));
        return menu;
    };
    const auto addItem = [](QMenu* menu, const QString& name, const QString& text) {
        return Named(menu->addAction(text), name);
    };
    D1 = addMenu("D1", QStringLiteral("Выбор прибора"));
    QAction** items[] = {&ModelItem1, &ModelItem2, &ModelItem3, &ModelItem4, &ModelItem5};
    for (std::uint8_t model = 1; model <= ModelCount; ++model) {
        *items[model - 1] = addItem(D1, QStringLiteral("ModelItem%1").arg(model),
                                    QString::fromUtf8(Model(model).name));
    }
    N2 = addMenu("N2", QStringLiteral("Настройка"));
    COMport1 = addItem(N2, QStringLiteral("COMport1"), QStringLiteral("Порт"));
    N1 = addMenu("N1", QStringLiteral("?"));
    Version101 = addItem(N1, QStringLiteral("Version101"), QStringLiteral("Version 1.1"));
}

void TForm1::BindHandlers()
{
    using platform::Bind;
    Bind(this, &platform::Form::Activate, this, [this] { FormActivate(this); });
    Bind(ComPort, &platform::SerialPort::Trigger, this, [this] { ComPortTrigger(); });
    Bind(timeout, &platform::Timer::Tick, this, [this] { timeoutTimer(timeout); });
    Bind(interval, &platform::Timer::Tick, this, [this] { intervalTimer(interval); });
    Bind(BitLoad, &QPushButton::clicked, this, [this] { BitLoadClick(BitLoad); });
    Bind(BitBtnStop, &QPushButton::clicked, this, [this] { BitBtnStopClick(BitBtnStop); });
    for (int k = 0; k < RangeSlots; ++k) {
        platform::RadioButton* selector = Selector(k);
        Bind(selector, &platform::RadioButton::Click, this,
             [this, selector] { RadioButton4Click(selector); });
        Bind(selector, &platform::RadioButton::Enter, this,
             [this, selector] { RadioButton9Enter(selector); });
    }
    Bind(CheckBox1, &QCheckBox::toggled, this, [this] { CheckBox1Click(CheckBox1); });
    Bind(ModelItem1, &QAction::triggered, this, [this] { ModelItem1Click(ModelItem1); });
    Bind(ModelItem2, &QAction::triggered, this, [this] { ModelItem2Click(ModelItem2); });
    Bind(ModelItem3, &QAction::triggered, this, [this] { ModelItem3Click(ModelItem3); });
    Bind(ModelItem4, &QAction::triggered, this, [this] { ModelItem4Click(ModelItem4); });
    Bind(ModelItem5, &QAction::triggered, this, [this] { ModelItem5Click(ModelItem5); });
    Bind(COMport1, &QAction::triggered, this, [this] { COMport1Click(COMport1); });
}

int TForm1::CheckedRangeIndex() const
{
    return selectorGroup_->checkedId();
}

bool TForm1::RangeControlsLocked() const
{
    return !RadioButton5->isEnabled();
}

void TForm1::LockRangeControls(bool locked)
{
    for (int k = 0; k < RangeSlots; ++k)
        Selector(k)->setEnabled(!locked);
    CheckBox1->setEnabled(!locked);
}

void TForm1::FormActivate(QObject*)
{
    if (Worker)
        return; // only the first activation initialises
    Worker = new thr;
    PollState = 0;
    CurrentModel = 2;
}

void TForm1::ComPortTrigger()
{
    // Every arrival restarts the 500 ms: a reply coming in pieces is not cut off.
    timeout->SetEnabled(false);
    timeout->SetEnabled(true);
    if (ComPort->InBuffUsed() < ReplyLength)
        return;
    // Outside polling the reply is taken when the timer runs out.
    if (RangeControlsLocked() && Worker)
        Worker->Resume();
}

void TForm1::timeoutTimer(QObject*)
{
    if (Worker)
        Worker->Resume();
}

void TForm1::intervalTimer(QObject*)
{
    interval->SetEnabled(false);
    switch (PollState) {
    case 1:
        SendCommand(CmdStage1);
        PollState = 2;
        break;
    case 2:
        SendCommand(CmdStage2);
        PollState = 3;
        break;
    case 3:
        if (RangeControlsLocked())
            SendCommand(CmdReadValue);
        break;
    default:
        break;
    }
}

void TForm1::BitLoadClick(QObject*)
{
    PollState = 1;
    LockRangeControls(true);
    SendCommand(CmdReadValue);
}

void TForm1::BitBtnStopClick(QObject*)
{
    interval->SetEnabled(false);
    timeout->SetEnabled(false);
    PollState = 0;
    LockRangeControls(false);
}

void TForm1::RadioButton4Click(QObject*)
{
    if (PollState == 3)
        StopPolling();
    const int index = CheckedRangeIndex();
    const auto number = static_cast<std::uint8_t>(index + Model(CurrentModel).rangeOffset);
    if (RangeEntered != 0) {
        RequestBuf[1] = number; // SendCommand's CRC of a 3-byte request overwrote it
        SendCommand(CmdSetRange);
    }
    RangeEntered = 0;
}

void TForm1::RadioButton9Enter(QObject*)
{
    RangeEntered = 1;
}

void TForm1::CheckBox1Click(QObject*)
{
    SendCommand(CheckBox1->isChecked() ? CmdAutoRangeOn : CmdAutoRangeOff);
}

void TForm1::ModelItem1Click(QObject*)
{
    SelectModel(1);
}

void TForm1::ModelItem2Click(QObject*)
{
    SelectModel(2);
}

void TForm1::ModelItem3Click(QObject*)
{
    SelectModel(3);
}

void TForm1::ModelItem4Click(QObject*)
{
    SelectModel(4);
}

void TForm1::ModelItem5Click(QObject*)
{
    SelectModel(5);
}

void TForm1::SelectModel(std::uint8_t model)
{
    CurrentModel = model;
    ShowModelControls();
    const ModelInfo& info = Model(model);
    setWindowTitle(QString::fromUtf8(info.name));
    for (int k = 0; k < info.rangeCount; ++k) {
        RangeLabel(k)->setText(QString::fromUtf8(info.labels[k]));
        RangeLabel(k)->adjustSize();
    }
    for (int k = 5; k < RangeSlots; ++k) {
        RangeLabel(k)->setVisible(k < info.rangeCount);
        Selector(k)->setVisible(k < info.rangeCount);
    }
}

void TForm1::ShowModelControls()
{
    BitLoad->setEnabled(true);
    for (int k = 0; k < 5; ++k) // every model has at least five ranges
        RangeLabel(k)->show();
    for (int k = 0; k < 5; ++k)
        Selector(k)->show();
    Edit2->setText(QString::fromUtf8(Model(CurrentModel).unitText));
}

void TForm1::COMport1Click(QObject*)
{
    // Selecting from code raises neither change handler of the dialog.
    Form2->ComboBox1->setCurrentIndex(ComPort->ComNumber() - 1);
    Form2->ComboBox2->setCurrentIndex(ComPort->Baud() == 9600 ? 1 : 0);
    Form2->ShowModal();
}
