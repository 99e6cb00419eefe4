#pragma once

#include "platform/form.h"

#include <cstdint>
#include <mutex>

class QAction;
class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;

namespace platform {
class RadioButton;
class SerialPort;
class Timer;
} // namespace platform

// Exchange state, one instance for the program, zero when the main window is created.
// The UI thread writes RequestBuf, RequestLength and ReplyLength. RequestPending is set by
// SendCommand and cleared by the pickup pass, both under ExchangeLock, which also keeps
// SendCommand's flushes and write apart from the pass's count and read of ReplyBuf and RxCount.
extern std::uint8_t RequestBuf[70];
extern std::uint8_t ReplyBuf[72];
extern std::uint8_t RequestLength;
extern std::uint8_t ReplyLength;
extern std::uint8_t RxCount;
extern std::uint8_t RequestPending;
extern std::mutex ExchangeLock;

// Polling and model state; UI thread only.
extern std::uint8_t PollState; // 0 idle, 1 Read pressed, 2 stage 1 sent, 3 polling
extern std::uint8_t CurrentModel;
extern std::uint8_t RangeEntered; // a range selector took the focus since the last selection
extern std::uint8_t ScaleClass;

// Builds the request for `code`, flushes the port, sends the request and arms the reply timer.
// Raises platform::Error when the port cannot be opened: nothing is sent and nothing armed.
void SendCommand(std::uint8_t code);

// Ends the polling cycle without touching the lock of the range controls.
void StopPolling();

// For the pickup pass, on the UI thread, once it has taken the bytes of the pending request:
// stops the reply timer, unless a request sent since has armed it for itself.
void StopReplyTimer();

// The main window.
class TForm1 : public platform::Form
{
    Q_OBJECT

public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override; // ends the worker before the components it uses go

    platform::SerialPort* ComPort;
    platform::Timer* interval; // poll timer, used as a one-shot
    platform::Timer* timeout;  // reply timer

    QLineEdit* Edit1; // the value
    QLineEdit* Edit2; // the unit
    QGroupBox* GroupBox2;
    QLabel *Label1, *Label2, *Label3, *Label4, *Label5, *Label6, *Label7, *Label8, *Label9;
    platform::RadioButton *RadioButton4, *RadioButton5, *RadioButton6, *RadioButton7, *RadioButton8,
        *RadioButton9, *RadioButton10, *RadioButton11;
    QCheckBox* CheckBox1;
    QPushButton* BitLoad;
    QPushButton* BitBtnStop;

    QMenu* D1;
    QAction *ModelItem1, *ModelItem2, *ModelItem3, *ModelItem4, *ModelItem5;
    QMenu* N2;
    QAction* COMport1;
    QMenu* N1;
    QAction* Version101;

    // The selector and the label of range index 0..7.
    platform::RadioButton* Selector(int index) const { return this->*SelectorMembers[index]; }
    QLabel* RangeLabel(int index) const { return this->*LabelMembers[index]; }
    // The range index of the checked selector, -1 when none is.
    int CheckedRangeIndex() const;

    // Polling runs while the range controls are locked; RadioButton5 tells.
    bool RangeControlsLocked() const;
    void LockRangeControls(bool locked);

    void FormActivate(QObject* Sender);
    void ComPortTrigger();
    void timeoutTimer(QObject* Sender);
    void intervalTimer(QObject* Sender);
    void BitLoadClick(QObject* Sender);
    void BitBtnStopClick(QObject* Sender);
    void RadioButton4Click(QObject* Sender);
    void RadioButton9Enter(QObject* Sender);
    void CheckBox1Click(QObject* Sender);
    void ModelItem1Click(QObject* Sender);
    void ModelItem2Click(QObject* Sender);
    void ModelItem3Click(QObject* Sender);
    void ModelItem4Click(QObject* Sender);
    void ModelItem5Click(QObject* Sender);
    void COMport1Click(QObject* Sender);
    void ShowModelControls();

private:
    void CreateControls();
    void CreateMenu();
    void BindHandlers();
    void SelectModel(std::uint8_t model);

    static platform::RadioButton* TForm1::*const SelectorMembers[8];
    static QLabel* TForm1::*const LabelMembers[8];
    QButtonGroup* selectorGroup_ = nullptr;
};

extern TForm1* Form1;
