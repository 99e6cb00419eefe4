#pragma once

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

#include <cstdint>
#include <mutex>
#include <vector>

namespace platform {

// The serial port component: one port, opened on its first use and kept open until the
// component goes or the device vanishes. Line: 8 data bits, no parity, 1 stop bit, no flow
// control, DTR on, RTS off, exclusive use, every byte kept (zero bytes too).
//
// Everything but InBuffUsed() and GetBlock() belongs to the thread that owns the component; those
// two may be called from any thread, since received bytes are moved into a buffer of the
// component's own as they arrive. QSerialPort itself is never touched off its thread.
//
// Port number n is the device "COMn" on Windows; elsewhere the device named by the environment
// variable ORVANTA_COMn, or else /dev/ttyS(n-1), the traditional name of COMn on Linux.
class SerialPort : public QObject
{
    Q_OBJECT

public:
    explicit SerialPort(QObject* parent = nullptr);
    ~SerialPort() override;

    std::uint16_t ComNumber() const { return comNumber_; }
    // Closes an open port and opens the new one; on failure the port stays closed and the number
    // stays in effect for the next opening.
    void SetComNumber(std::uint16_t number);
    std::int32_t Baud() const { return baud_; }
    // Applied to an open line at once.
    void SetBaud(std::int32_t baud);

    // The next three open the port when it is closed and raise platform::Error when it cannot be.
    void FlushInBuffer();
    void FlushOutBuffer();
    // Queues the bytes for sending and returns at once.
    void PutBlock(const std::uint8_t* data, std::uint16_t count);

    // Received bytes not yet taken; 0 while the port is closed. Any thread.
    std::uint16_t InBuffUsed() const;
    // Moves the `count` oldest waiting bytes (or as many as wait) into `dest`. Any thread.
    std::uint16_t GetBlock(std::uint8_t* dest, std::uint16_t count);

    bool IsOpen() const { return port_.isOpen(); }
    // The device that port number `number` stands for on this machine.
    static QString DeviceName(std::uint16_t number);

Q_SIGNALS:
    // Newly received bytes have been buffered. Not raised again for bytes that wait unread.
    void Trigger();

private:
    void Open();
    void Close();
    void OpenIfClosed();
    void Receive();
    void OnError(QSerialPort::SerialPortError error);

    QSerialPort port_;
    std::uint16_t comNumber_ = 1;
    std::int32_t baud_ = 9600;

    mutable std::mutex mutex_;
    // Guarded by mutex_. A plain vector, not a QByteArray: implicit sharing would let a buffer
    // that another thread reads be released by this one behind the mutex's back.
    std::vector<std::uint8_t> received_;
};

// The texts of a failed opening.
namespace port_errors {
extern const char* const NoSuchPort;
extern const char* const PortBusy;
QString NoPermission(const QString& device);
} // namespace port_errors

} // namespace platform
